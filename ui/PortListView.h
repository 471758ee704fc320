#pragma once

#include <QTableWidget>

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
    // Tooltip of every cell of a row but the name: why the port is not served, or none.
    void SetStateToolTip(int row, const QString& text);

private:
    void ApplyCell(int record, int column, const QString& text);
};
