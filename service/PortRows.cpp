#include "service/PortRows.h"

#include <mutex>

void PortRows::Attach(PortView* shown)
{
    std::unique_lock hold(frontGuard);
    front = shown;
}

int PortRows::AppendRow(int record, const std::string& name)
{
    records.push_back(record);
    std::shared_lock hold(frontGuard);
    if (front)
        front->AppendRow(record, name);
    return static_cast<int>(records.size()) - 1;
}

void PortRows::DeleteRow(int row)
{
    if (row < 0 || row >= RowCount())
        return;
    records.erase(records.begin() + row);
    std::shared_lock hold(frontGuard);
    if (front)
        front->DeleteRow(row);
}

int PortRows::RowCount() const
{
    return static_cast<int>(records.size());
}

int PortRows::RecordAtRow(int row) const
{
    return row >= 0 && row < RowCount() ? records[row] : -1;
}

void PortRows::SetCell(int record, int column, const std::string& text)
{
    // The cells live in the window; without one the records hold all there is to know.
    std::shared_lock hold(frontGuard);
    if (front)
        front->SetCell(record, column, text);
}
