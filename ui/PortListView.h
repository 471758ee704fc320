#pragma once

#include <QTableWidget>
#include <functional>
#include <optional>
#include <string>

#include "service/PortView.h"

// The list of ports in service (control 1012): six columns, one row per port, the record
// index as item data. The port service fills it on the window's thread from the ports'
// statuses.
class PortListView : public QTableWidget, public PortView {
    Q_OBJECT
public:
    explicit PortListView(QWidget* parent = nullptr);

    void AppendRow(int record, const std::string& name) override;
    void DeleteRow(int row) override;
    void SetCell(int row, int column, const std::string& text) override;
    int RowCount() const;
    int RecordAtRow(int row) const;

    // The first selected row, or -1.
    int SelectedRow() const;
    // Tooltip of a row's name cell: the device an application opens.
    void SetNameToolTip(int row, const QString& text);
    // Where the name cell's tooltip learns a record's current line settings ("" when none
    // are known); asked each time the tooltip shows, since applications change them at will.
    void SetLineSettingsSource(std::function<QString(int record)> source);
    // The name cell's tooltip as it shows now: the device, then the line settings if known.
    QString NameToolTip(int row) const;
    // Tooltip of every cell of a row but the name: why the port is not served or cannot hear
    // or reach its DTU, or none.
    void SetStateToolTip(int row, const QString& text);
    // Where the name cell's tooltip reads a record's status (none for a record out of
    // service); called on the window's thread.
    void SetStatusSource(std::function<std::optional<PortStatus>(int record)> source);

signals:
    // A row's context menu: "监视…" was chosen for the record's port.
    void MonitorRequested(int record);

protected:
    bool viewportEvent(QEvent* event) override;
    // A row's context menu ("rowMenu"): "监视…", then the window's own entries; elsewhere
    // the window's own menu.
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    std::function<QString(int record)> lineSettings_;
    std::function<std::optional<PortStatus>(int record)> status_;
};
