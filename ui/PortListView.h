#pragma once

#include <QTableWidget>
#include <functional>

#include "link/PortView.h"

// The list of ports in service (control 1012): six columns, one row per port, the record
// index as item data. Cell updates from worker threads are queued to the window's thread and
// applied in the order they were made.
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

protected:
    bool viewportEvent(QEvent* event) override;

private:
    void ApplyCell(int record, int column, const QString& text);

    std::function<QString(int record)> lineSettings;
};
