#pragma once

#include <string>

// The list of ports in service as the link runtime sees it. Rows carry their record index as
// item data. Row operations run on the main thread; SetCell may come from any thread and
// never waits for the main thread (it is queued and applied in order, to the row that holds
// the record at that time; dropped when no row does).
class PortView {
public:
    enum Column { ColName = 0, ColCode, ColAddress, ColConnection, ColReceived, ColSent };
    // The connection cell of a port in service that is not served; the record says why.
    static constexpr const char* NotServedMark = "未服务";

    virtual int AppendRow(int record, const std::string& name) = 0;  // returns the row
    virtual void DeleteRow(int row) = 0;
    virtual int RowCount() const = 0;
    virtual int RecordAtRow(int row) const = 0;
    virtual void SetCell(int record, int column, const std::string& text) = 0;

protected:
    ~PortView() = default;
};
