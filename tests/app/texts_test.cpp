// Texts of the links list, the statistics list, the buttons and the link events; the geometry
// arithmetic; the name tables.
#include "app/core/geometry.h"
#include "app/core/texts.h"
#include "tests/app/app_harness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

namespace {

using namespace pw::app;
using apptest::SerialPortConfig;
using apptest::TcpClientPort;
using apptest::TcpServerPort;
using apptest::UdpPort;

TEST(PortStateTextTest, FollowsThePortKindAndItsFlags) {
    const PortConfig serial = SerialPortConfig(0);
    const PortConfig server = TcpServerPort(1000, false);
    const PortConfig client = TcpClientPort(1000, false);
    const PortConfig udp = UdpPort(502, false);
    for (const PortConfig* port : {&serial, &server, &client, &udp}) {
        EXPECT_STREQ(PortStateText(*port, 0, 0), "Down");
        EXPECT_STREQ(PortStateText(*port, 0, 1), "Down");
        EXPECT_STREQ(PortStateText(*port, 1, 1), "Up");
    }
    EXPECT_STREQ(PortStateText(serial, 1, 0), "Up");
    EXPECT_STREQ(PortStateText(udp, 1, 0), "Up");
    EXPECT_STREQ(PortStateText(server, 1, 0), "Listening");
    EXPECT_STREQ(PortStateText(client, 1, 0), "Connecting");
    EXPECT_EQ(StatusColumnText("Up", "Listening"), "P1 (Up) P2 (Listening)");
}

TEST(LinkTextsTest, PortColumnsAndLinkEvents) {
    BuildNameTables();
    EXPECT_EQ(PortColumnText(SerialPortConfig(2)), "COM3");
    // An index a damaged file may carry is still named, never read past the table.
    EXPECT_EQ(PortColumnText(SerialPortConfig(99)), "COM100");
    EXPECT_EQ(PortColumnText(TcpClientPort(1, false)), "TCP Client");
    EXPECT_EQ(PortColumnText(TcpServerPort(1, false)), "TCP Server");
    EXPECT_EQ(PortColumnText(UdpPort(502, false)), "UDP port 502");

    LinkConfig plant{};
    std::strcpy(plant.name, "Plant");
    plant.port[0] = SerialPortConfig(2);
    plant.port[1] = TcpServerPort(1001, false);
    EXPECT_EQ(LinkEventText(ADDED_LINK_VERB, 0, plant),
              "Added link 0 (Plant) Port 0 (COM3) Port 1 (TCP Server)");
    EXPECT_EQ(LinkEventText(UPDATED_LINK_VERB, 7, plant),
              "Updated link 7 (Plant) Port 0 (COM3) Port 1 (TCP Server)");
    EXPECT_EQ(RemovedLinkText(7, plant), "Removed link 7 (Plant)");

    // A name that lost its terminating zero reads as its first 40 characters.
    LinkConfig full{};
    std::memset(full.name, 'x', sizeof(full.name));
    EXPECT_EQ(NameOf(full), std::string(LINK_NAME_MAX, 'x'));
}

TEST(StatsTextsTest, SerialAndIpPorts) {
    PortStats stats{};
    stats.txBytes = 12;
    stats.rxBytes = 0xFFFFFFFFu;
    PortStatsTexts serial = StatsTexts(SerialPortConfig(4), stats);
    EXPECT_EQ(serial.cell[STATS_ROW_PORT_TYPE], "Serial");
    EXPECT_EQ(serial.cell[STATS_ROW_PORT_DETAILS], "COM5");
    EXPECT_EQ(serial.cell[STATS_ROW_PORT_STATUS], "Disconnected");
    EXPECT_EQ(serial.cell[STATS_ROW_TX_BYTES], "12 ");
    EXPECT_EQ(serial.cell[STATS_ROW_RX_BYTES], "4294967295 ");
    stats.activated = 1;
    EXPECT_EQ(StatsTexts(SerialPortConfig(4), stats).cell[STATS_ROW_PORT_STATUS], "Connected");

    PortStatsTexts server = StatsTexts(TcpServerPort(1001, false), stats);
    EXPECT_EQ(server.cell[STATS_ROW_PORT_TYPE], "IP");
    EXPECT_EQ(server.cell[STATS_ROW_PORT_DETAILS], "TCP Server Port 1001");
    EXPECT_EQ(server.cell[STATS_ROW_PORT_STATUS], "Activated, IP not connected");
    stats.connected = 1;
    EXPECT_EQ(StatsTexts(TcpClientPort(80, false), stats).cell[STATS_ROW_PORT_DETAILS],
              "TCP Client Port 80");
    EXPECT_EQ(StatsTexts(UdpPort(502, false), stats).cell[STATS_ROW_PORT_DETAILS], "UDP Port 502");
    EXPECT_EQ(StatsTexts(UdpPort(502, false), stats).cell[STATS_ROW_PORT_STATUS],
              "Activated, IP connected");
    stats.activated = 0;
    stats.connected = 0;
    EXPECT_EQ(StatsTexts(UdpPort(502, false), stats).cell[STATS_ROW_PORT_STATUS],
              "Not activated, IP not connected");

    EXPECT_STREQ(ActivateCaption(0, false), "Activate Port 1");
    EXPECT_STREQ(ActivateCaption(0, true), "Deactivate Port 1");
    EXPECT_STREQ(ActivateCaption(1, false), "Activate Port 2");
    EXPECT_STREQ(ActivateCaption(1, true), "Deactivate Port 2");
}

TEST(NameTablesTest, ComNamesAndHexTextsEndWithNull) {
    BuildNameTables();
    const NameTables& names = Names();
    EXPECT_STREQ(names.comPortNames[0], "COM1");
    EXPECT_STREQ(names.comPortNames[31], "COM32");
    EXPECT_EQ(names.comPortNames[32], nullptr);
    EXPECT_STREQ(names.byteHexTexts[0], "00");
    EXPECT_STREQ(names.byteHexTexts[0x0d], "0d");
    EXPECT_STREQ(names.byteHexTexts[255], "ff");
    EXPECT_EQ(names.byteHexTexts[256], nullptr);
}

TEST(GeometryTest, ColumnsCentringAndDialogUnits) {
    EXPECT_EQ(ColumnWidths(352, {22}), std::vector<int>{77});
    EXPECT_EQ(ColumnWidths(100, {26, 22, 22, 30}), (std::vector<int>{26, 22, 22, 30}));
    EXPECT_EQ(ColumnWidths(99, {33, 33}), (std::vector<int>{32, 32}));
    // The filled lists leave room for their filling column; the others add up to the list.
    auto sum = [](const auto& columns) {
        int total = 0;
        for (const ColumnSpec& c : columns) {
            total += c.percent;
        }
        return total;
    };
    EXPECT_EQ(sum(LINKS_COLUMNS), 100);
    EXPECT_EQ(sum(STATS_COLUMNS), 100);
    EXPECT_EQ(sum(TRACE_COLUMNS), 78);

    const Point centred = CenteredTopLeft(Rect{100, 50, 400, 300}, 200, 100);
    EXPECT_EQ(centred.x, 200);
    EXPECT_EQ(centred.y, 150);
    // Larger than the owner: above and left of its corner; halves round toward zero.
    const Point larger = CenteredTopLeft(Rect{100, 50, 400, 300}, 503, 401);
    EXPECT_EQ(larger.x, 49);
    EXPECT_EQ(larger.y, 0);

    const DialogUnits du{6, 13}; // the classic 8-point dialog font
    EXPECT_EQ(du.x(718), 1077);
    EXPECT_EQ(du.y(375), 609);
    EXPECT_EQ(du.x(4), 6);
    EXPECT_EQ(du.y(8), 13);
}

} // namespace
