#pragma once

#include <array>
#include <string>
#include <vector>

#include "link/PortStatus.h"
#include "service/PortView.h"

// The list of ports in service as front ends show it, with or without a window: one row per
// port in the order the ports went into service, every cell made from the port's published
// status. It passes each row and each changed cell on to the window's list while one is
// attached. Main thread only: the data path never touches it.
class PortRows {
public:
    static constexpr int Columns = PortView::ColSent + 1;

    // The window's list, before any row exists; nullptr detaches it.
    void Attach(PortView* shown) { front_ = shown; }

    // A port went into service: a row at the end.
    void Append(const PortStatus& port);
    // The port of this record left service: its row goes.
    void Remove(int record);
    // Brings the record's row up to the port's status; nothing for a record without a row.
    void Update(const PortStatus& port);

    int RowCount() const { return static_cast<int>(rows_.size()); }
    int RecordAtRow(int row) const;
    int RowOf(int record) const;  // -1 when it has none
    std::string Cell(int row, int column) const;

    // The address cell of a port with this status, given what the cell shows now: a fixed
    // address, or where a dynamic UDP port's DTU last logged in from (kept while it is away);
    // else what it shows.
    static std::string AddressText(const PortStatus& port, const std::string& shown);

private:
    struct Row {
        int record = -1;
        std::array<std::string, Columns> cells;
    };
    void SetCells(int row, const PortStatus& port);

    std::vector<Row> rows_;
    PortView* front_ = nullptr;
};
