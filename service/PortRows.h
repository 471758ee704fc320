#pragma once

#include <shared_mutex>
#include <string>
#include <vector>

#include "link/PortView.h"

// The list of ports in service as the port table keeps it, with or without a window: it
// holds the row order itself and passes every row and cell change on to the window's list
// while one is attached. Row operations run on the main thread; SetCell may come from any
// thread.
class PortRows : public PortView {
public:
    // The window's list, before any row exists; nullptr detaches it once the links are gone.
    // Waits for cell updates on their way to the list that goes.
    void Attach(PortView* shown);

    int AppendRow(int record, const std::string& name) override;
    void DeleteRow(int row) override;
    int RowCount() const override;
    int RecordAtRow(int row) const override;
    void SetCell(int record, int column, const std::string& text) override;

private:
    std::vector<int> records;
    PortView* front = nullptr;
    mutable std::shared_mutex frontGuard;
};
