#pragma once

#include <QTableWidget>
#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "link/PortView.h"

// The list of ports in service (control 1012): six columns, one row per port, the record
// index as item data. Cell updates from worker threads are queued to the window's thread and
// applied in the order they were made. The connection and byte count cells follow the
// records' live state, read a few times a second; only cells whose text changed are set.
class PortListView : public QTableWidget, public PortView {
    Q_OBJECT
public:
    explicit PortListView(QWidget* parent = nullptr);

    int AppendRow(int record, const std::string& name) override;
    void DeleteRow(int row) override;
    int RowCount() const override;
    int RecordAtRow(int row) const override;
    void SetCell(int record, int column, const std::string& text) override;

    // The first selected row, or -1.
    int SelectedRow() const;
    // Tooltip of a row's name cell: the device an application opens.
    void SetNameToolTip(int row, const QString& text);
    // Where the name cell's tooltip learns a record's current line settings ("" when none
    // are known); asked each time the tooltip shows, since applications change them at will.
    void SetLineSettingsSource(std::function<QString(int record)> source);
    // The name cell's tooltip as it shows now: the device, then the line settings if known.
    QString NameToolTip(int row) const;
    // Tooltip of every cell of a row but the name: why the port is not served, or none.
    void SetStateToolTip(int row, const QString& text);
    // Where the list reads a record's status (none for a record out of service); called on
    // the window's thread.
    void SetStatusSource(std::function<std::optional<PortStatus>(int record)> source);
    // Brings the live cells of every row up to date (the refresh timer's work).
    void RefreshLiveCells();

    static constexpr int RefreshIntervalMs = 250;

protected:
    bool viewportEvent(QEvent* event) override;

private:
    void ApplyCell(int record, int column, const QString& text);
    void RefreshRow(int row, int record);

    std::function<QString(int record)> lineSettings;
    std::function<std::optional<PortStatus>(int record)> status;
    // What the live cells (connection, received, sent) of each record's row show now, by
    // record index.
    std::vector<std::array<std::string, 3>> shown;
    // The record of each row, as the rows' item data says, kept so the refresh reads no items.
    std::vector<int> rowRecords;
};
