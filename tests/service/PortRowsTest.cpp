// The list's rows as the service makes them from the ports' statuses.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "service/PortRows.h"

namespace {

// What a front end was told, in order.
class FrontLog : public PortView {
public:
    void AppendRow(int record, const std::string& name) override { appended.emplace_back(record, name); }
    void DeleteRow(int row) override { deleted.push_back(row); }
    void SetCell(int row, int column, const std::string& text) override { cells.emplace_back(row, column, text); }

    std::vector<std::pair<int, std::string>> appended;
    std::vector<int> deleted;
    std::vector<std::tuple<int, int, std::string>> cells;
};

PortStatus Port(int slot, int number, const std::string& code)
{
    PortStatus port;
    port.slot = slot;
    port.served = true;
    port.config.PortNumber = number;
    port.config.Code = code;
    port.config.PeerIP = "0.0.0.0";
    return port;
}

}  // namespace

TEST(PortRows, RowsKeepTheOrderPortsWentIntoServiceAndOnlyChangedCellsAreSet)
{
    PortRows rows;
    FrontLog front;
    rows.Attach(&front);
    PortStatus a = Port(3, 7, "A1");
    rows.Append(a);
    rows.Append(Port(0, 9, "B2"));
    EXPECT_EQ(rows.RecordAtRow(0), 3);
    EXPECT_EQ(rows.RecordAtRow(1), 0);
    EXPECT_EQ(front.appended, (std::vector<std::pair<int, std::string>>{{3, "COM7"}, {0, "COM9"}}));
    EXPECT_EQ(rows.Cell(0, PortView::ColCode), "A1");

    front.cells.clear();
    rows.Update(a);
    EXPECT_TRUE(front.cells.empty());
    a.statistics.rxBytes = 17;
    rows.Update(a);
    ASSERT_EQ(front.cells.size(), 1u);
    EXPECT_EQ(front.cells[0], std::make_tuple(0, int(PortView::ColReceived), std::string("17")));
    // Months of traffic pass what 32 bits hold; the count goes on, never negative.
    a.statistics.rxBytes = uint64_t{5} << 30;
    rows.Update(a);
    EXPECT_EQ(rows.Cell(0, PortView::ColReceived), "5368709120");

    rows.Remove(3);
    EXPECT_EQ(front.deleted, std::vector<int>{0});
    EXPECT_EQ(rows.RowOf(0), 0);
    rows.Update(a);  // a record without a row: nothing
    EXPECT_EQ(rows.RowCount(), 1);
}

TEST(PortRows, TheLiveCellsFollowTheStatus)
{
    PortStatus port = Port(0, 7, "A1");
    EXPECT_EQ(PortView::LiveText(port, PortView::ColConnection), "");
    EXPECT_EQ(PortView::LiveText(port, PortView::ColReceived), "");
    port.online = true;
    port.statistics.txBytes = 2510;
    EXPECT_EQ(PortView::LiveText(port, PortView::ColConnection), "√");
    EXPECT_EQ(PortView::LiveText(port, PortView::ColSent), "2510");
    port.served = false;
    EXPECT_EQ(PortView::LiveText(port, PortView::ColConnection), "未服务");
}

TEST(PortRows, TheAddressCellShowsTheFixedAddressOrTheLastLoginAndKeepsIt)
{
    PortRows rows;
    PortStatus port = Port(0, 7, "A1");
    rows.Append(port);
    EXPECT_EQ(rows.Cell(0, PortView::ColAddress), "");
    port.online = true;
    port.peer = "127.0.0.8:4000";  // data from elsewhere do not move the cell
    port.loginAddress = "127.0.0.7";
    rows.Update(port);
    EXPECT_EQ(rows.Cell(0, PortView::ColAddress), "127.0.0.7");
    port.online = false;
    rows.Update(port);
    EXPECT_EQ(rows.Cell(0, PortView::ColAddress), "127.0.0.7");

    port.config.UseFixedIP = 1;
    port.config.PeerIP = "10.0.0.9";
    port.loginAddress.clear();
    rows.Update(port);
    EXPECT_EQ(rows.Cell(0, PortView::ColAddress), "10.0.0.9");
    // Dynamic again: the cell keeps what it showed until its DTU logs in.
    port.config.UseFixedIP = 0;
    rows.Update(port);
    EXPECT_EQ(rows.Cell(0, PortView::ColAddress), "10.0.0.9");
}
