#include "service/PortRows.h"

std::string PortRows::AddressText(const PortStatus& port, const std::string& shown)
{
    if (port.config.UseFixedIP)
        return port.FixedAddress();
    return port.loginAddress.empty() ? shown : port.loginAddress;
}

void PortRows::Append(const PortStatus& port)
{
    Row& row = rows_.emplace_back();
    row.record = port.slot;
    row.cells[PortView::ColName] = port.Name();
    if (front_)
        front_->AppendRow(port.slot, row.cells[PortView::ColName]);
    SetCells(RowCount() - 1, port);
}

void PortRows::Remove(int record)
{
    const int row = RowOf(record);
    if (row < 0)
        return;
    rows_.erase(rows_.begin() + row);
    if (front_)
        front_->DeleteRow(row);
}

void PortRows::Update(const PortStatus& port)
{
    const int row = RowOf(port.slot);
    if (row >= 0)
        SetCells(row, port);
}

void PortRows::SetCells(int row, const PortStatus& port)
{
    std::array<std::string, Columns>& cells = rows_[static_cast<size_t>(row)].cells;
    std::array<std::string, Columns> now;
    now[PortView::ColName] = port.Name();
    now[PortView::ColCode] = port.config.Code;
    now[PortView::ColAddress] = AddressText(port, cells[PortView::ColAddress]);
    for (int column = PortView::ColConnection; column <= PortView::ColSent; ++column)
        now[static_cast<size_t>(column)] = PortView::LiveText(port, column);
    for (int column = 0; column < Columns; ++column) {
        std::string& cell = cells[static_cast<size_t>(column)];
        if (cell == now[static_cast<size_t>(column)])
            continue;
        cell = std::move(now[static_cast<size_t>(column)]);
        if (front_)
            front_->SetCell(row, column, cell);
    }
}

int PortRows::RecordAtRow(int row) const
{
    return row >= 0 && row < RowCount() ? rows_[static_cast<size_t>(row)].record : -1;
}

int PortRows::RowOf(int record) const
{
    for (size_t row = 0; row < rows_.size(); ++row) {
        if (rows_[row].record == record)
            return static_cast<int>(row);
    }
    return -1;
}

std::string PortRows::Cell(int row, int column) const
{
    if (row < 0 || row >= RowCount() || column < 0 || column >= Columns)
        return {};
    return rows_[static_cast<size_t>(row)].cells[static_cast<size_t>(column)];
}
