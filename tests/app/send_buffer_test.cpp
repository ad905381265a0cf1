// The hex pair conversion, the send buffer dialog's texts and bytes, and Send on the real engine
// through live TCP connections.
#include "app/core/hex_pairs.h"
#include "app/core/send_buffer.h"
#include "tests/app/app_harness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace apptest;
using namespace pw::app;
using Bytes = std::vector<std::uint8_t>;
using testsupport::Fd;

Bytes Hex(const std::string& text, bool* ok = nullptr) {
    Bytes out(text.size() / 2 + 1, 0xEE); // one sentinel byte past the result
    const bool converted = HexPairsToBytes(text.data(), text.size(), out.data());
    if (ok != nullptr) {
        *ok = converted;
    }
    EXPECT_EQ(out.back(), 0xEE) << "wrote past half the length";
    out.pop_back();
    return out;
}

TEST(HexPairsTest, PairsDigitsAndEverythingElse) {
    bool ok = false;
    EXPECT_EQ(Hex("0d0A", &ok), (Bytes{13, 10}));
    EXPECT_TRUE(ok);
    EXPECT_EQ(Hex("0D0G"), (Bytes{13, 0})); // not a digit: 0
    EXPECT_EQ(Hex("fF7e"), (Bytes{0xFF, 0x7E}));
    EXPECT_EQ(Hex("1 2-"), (Bytes{0x10, 0x20})); // separators are digits of value 0
    EXPECT_EQ(Hex("zz\xff\x80"), (Bytes{0, 0}));
    Hex("", &ok);
    EXPECT_TRUE(ok);

    // An odd length fails and writes nothing.
    std::uint8_t untouched[3] = {1, 2, 3};
    EXPECT_FALSE(HexPairsToBytes("0D 0A", 5, untouched));
    EXPECT_EQ(untouched[0], 1);
    EXPECT_EQ(untouched[2], 3);

    const std::uint8_t all[] = {0x00, 0x0d, 0xa0, 0xff};
    EXPECT_EQ(BytesToHexText(all, sizeof all), "000da0ff");
    EXPECT_EQ(Hex(BytesToHexText(all, sizeof all)), Bytes(std::begin(all), std::end(all)));
}

TEST(SendTextsTest, LinkLineAndPortEntries) {
    LinkConfig link{};
    std::strcpy(link.name, "Plant");
    EXPECT_EQ(SendLinkLine(4, link), "Link (4) name: Plant");
    EXPECT_EQ(SendPortEntry(0, SerialPortConfig(2)), "P1 Serial COM3");
    EXPECT_EQ(SendPortEntry(1, TcpServerPort(1001, false)), "P2 IP TCP Server 1001");
    EXPECT_EQ(SendPortEntry(0, TcpClientPort(80, false)), "P1 IP TCP Client 80");
    EXPECT_EQ(SendPortEntry(1, UdpPort(502, false)), "P2 IP UDP 502");
    PortConfig big = TcpServerPort(0, false);
    big.ipPort = 70000; // printed as configured
    EXPECT_EQ(SendPortEntry(0, big), "P1 IP TCP Server 70000");
}

TEST(SendPlanTest, BytesFromHexOrAsciiWithTheOptionalCr) {
    SendPlan plan = PlanSend(0, "0d0A", false, false);
    ASSERT_TRUE(plan.ok);
    EXPECT_EQ(plan.bytes, (Bytes{13, 10}));
    plan = PlanSend(1, "0D 0A", false, true);
    EXPECT_FALSE(plan.ok);
    EXPECT_EQ(plan.failureEvent, "cannot send buffer: error converting from hex");
    plan = PlanSend(0, "", false, true);
    EXPECT_EQ(plan.bytes, (Bytes{13}));
    plan = PlanSend(0, "", false, false);
    ASSERT_TRUE(plan.ok);
    EXPECT_TRUE(plan.bytes.empty()); // the engine is asked for zero bytes
    plan = PlanSend(1, "ABC", true, true);
    EXPECT_EQ(plan.bytes, (Bytes{'A', 'B', 'C', 13}));
    plan = PlanSend(1, "0D", true, false); // ASCII: the characters themselves
    EXPECT_EQ(plan.bytes, (Bytes{'0', 'D'}));
    for (const int none : {-1, 2}) {
        plan = PlanSend(none, "00", false, false);
        EXPECT_FALSE(plan.ok);
        EXPECT_EQ(plan.failureEvent, "cannot send buffer: no port selected");
    }
    // Only the first 198 characters count: 99 bytes of hex, 198 of text, then the CR.
    EXPECT_EQ(PlanSend(0, std::string(400, 'a'), false, true).bytes.size(), 100u);
    EXPECT_EQ(PlanSend(0, std::string(400, 'a'), true, false).bytes.size(), 198u);
    EXPECT_FALSE(PlanSend(0, std::string(197, 'a'), false, false).ok);
    EXPECT_TRUE(PlanSend(0, std::string(199, 'a'), false, false).ok); // cut to 198: even
}

// One app with two TCP server links, both ports of link 0 active.
struct SendFixture : ::testing::Test {
    void SetUp() override {
        LinkTable table{};
        SetLink(table, 0, "Alpha", TcpServerPort(a1, true), TcpServerPort(a2, false));
        SetLink(table, 3, "Beta", TcpServerPort(b1, true), TcpServerPort(b2, true));
        ASSERT_TRUE(app.start(SettingsBlock{}, table));
        app.logic.initialise();
    }
    AppHarness app;
    std::uint16_t a1 = testsupport::free_tcp_port();
    std::uint16_t a2 = testsupport::free_tcp_port();
    std::uint16_t b1 = testsupport::free_tcp_port();
    std::uint16_t b2 = testsupport::free_tcp_port();
    SendBufferLogic send{app.state(), app.log};
};

TEST_F(SendFixture, HexBufferReachesTheClientOfTheSelectedLink) {
    Fd client = ConnectWhenListening(a1);
    ASSERT_TRUE(client.valid());
    ASSERT_TRUE(app.waitFor([&] { return app.statusText(0) == "P1 (Up) P2 (Down)"; }));
    ASSERT_TRUE(send.open());
    EXPECT_TRUE(app.state().dialogOpen);
    EXPECT_EQ(send.linkLine(), "Link (0) name: Alpha");
    EXPECT_EQ(send.portEntry(0), "P1 IP TCP Server " + std::to_string(a1));
    EXPECT_EQ(send.portEntry(1), "P2 IP TCP Server " + std::to_string(a2));
    EXPECT_FALSE(send.open()); // one dialog at a time

    send.send(0, "48690d0A", false, true);
    EXPECT_FALSE(send.isOpen());
    EXPECT_FALSE(app.state().dialogOpen);
    std::uint8_t got[5] = {};
    ASSERT_TRUE(testsupport::read_exact(client.get(), got, sizeof got));
    EXPECT_EQ(Bytes(got, got + 5), (Bytes{'H', 'i', 13, 10, 13}));
    app.pump();
    EXPECT_TRUE(app.model.hasEvent("Test buffer sent on Link (0) Alpha P1"));
}

TEST_F(SendFixture, OutcomesEndInEventsAndTheDialogAlwaysCloses) {
    // A port that is not activated: the engine's reason.
    ASSERT_TRUE(send.open());
    send.send(1, "00", false, false);
    EXPECT_FALSE(app.state().dialogOpen);
    ASSERT_TRUE(send.open());
    send.send(-1, "00", false, false); // the list without a selection
    ASSERT_TRUE(send.open());
    send.send(0, "abc", false, false);
    app.pump();
    EXPECT_TRUE(app.model.hasEvent("Buffer tx Link (0) P2 failed: port not activated"));
    EXPECT_TRUE(app.model.hasEvent("cannot send buffer: no port selected"));
    EXPECT_TRUE(app.model.hasEvent("cannot send buffer: error converting from hex"));

    // Another link selected while the dialog is open: Send uses it, although the link line
    // still names the first.
    Fd beta = ConnectWhenListening(b2);
    ASSERT_TRUE(beta.valid());
    ASSERT_TRUE(app.waitFor([&] { return app.statusText(1) == "P1 (Listening) P2 (Up)"; }));
    ASSERT_TRUE(send.open());
    EXPECT_EQ(send.linkLine(), "Link (0) name: Alpha");
    app.logic.rowClicked(1);
    send.send(1, "OK", true, false);
    char got[2] = {};
    ASSERT_TRUE(testsupport::read_exact(beta.get(), got, sizeof got));
    EXPECT_EQ(std::string(got, 2), "OK");
    app.pump();
    EXPECT_TRUE(app.model.hasEvent("Test buffer sent on Link (3) Beta P2"));

    // No selection at opening: nothing opens; at Send: it closes without a word.
    app.logic.currentRowChanged(-1);
    const std::size_t events = app.model.events.size();
    EXPECT_FALSE(send.open());
    EXPECT_FALSE(app.state().dialogOpen);
    app.logic.rowClicked(0);
    ASSERT_TRUE(send.open());
    app.logic.currentRowChanged(-1);
    send.send(0, "00", false, false);
    EXPECT_FALSE(app.state().dialogOpen);
    app.pump();
    EXPECT_EQ(app.model.events.size(), events);
}

} // namespace
