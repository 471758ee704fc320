#pragma once

#include <cstdint>
#include <string>

#include "link/PortStatus.h"

// The list of ports in service as the link runtime sees it. Rows carry their record index as
// item data. Row operations run on the main thread; SetCell may come from any thread and
// never waits for the main thread (it is queued and applied in order, to the row that holds
// the record at that time; dropped when no row does). The connection and byte count cells
// are not set: the list shows them from the ports' statuses.
class PortView {
public:
    enum Column { ColName = 0, ColCode, ColAddress, ColConnection, ColReceived, ColSent };
    // The connection cell of a port in service that is not served; the record says why.
    static constexpr const char* NotServedMark = "未服务";
    static constexpr const char* OnlineMark = "√";

    // The text of a live cell (ColConnection, ColReceived, ColSent): a count stays empty
    // until something was counted.
    static std::string LiveText(const PortStatus& status, int column)
    {
        auto count = [](int64_t n) { return n == 0 ? std::string() : std::to_string(n); };
        switch (column) {
        case ColConnection:
            return !status.served ? NotServedMark : status.online ? OnlineMark : "";
        case ColReceived:
            return count(status.rx);
        case ColSent:
            return count(status.tx);
        default:
            return {};
        }
    }

    virtual int AppendRow(int record, const std::string& name) = 0;  // returns the row
    virtual void DeleteRow(int row) = 0;
    virtual int RowCount() const = 0;
    virtual int RecordAtRow(int row) const = 0;
    virtual void SetCell(int record, int column, const std::string& text) = 0;

protected:
    ~PortView() = default;
};
