#pragma once

#include <cstdint>
#include <string>

#include "link/PortStatus.h"

// A front end's list of the ports in service (the window's), as PortRows fills it on the main
// thread: one row per port, its record index as item data, only cells whose text changed set.
class PortView {
public:
    enum Column { ColName = 0, ColCode, ColAddress, ColConnection, ColReceived, ColSent };
    // The connection cell of a port in service that is not served; its status says why.
    static constexpr const char* NotServedMark = "未服务";
    static constexpr const char* OnlineMark = "√";

    // The text of a live cell (ColConnection, ColReceived, ColSent): a count stays empty
    // until something was counted.
    static std::string LiveText(const PortStatus& status, int column)
    {
        auto count = [](uint64_t n) { return n == 0 ? std::string() : std::to_string(n); };
        switch (column) {
        case ColConnection: return !status.served ? NotServedMark : status.online ? OnlineMark : "";
        case ColReceived: return count(status.statistics.rxBytes);
        case ColSent: return count(status.statistics.txBytes);
        default: return {};
        }
    }

    virtual void AppendRow(int record, const std::string& name) = 0;
    virtual void DeleteRow(int row) = 0;
    virtual void SetCell(int row, int column, const std::string& text) = 0;

protected:
    ~PortView() = default;
};
