// The far ends of the chaotic links, all on one thread: clients of the engine's TCP server ports
// that connect, stream, read or stop reading, and leave by closing, by a reset, by half-closing or
// by vanishing with unread data; listeners for the engine's TCP client ports that accept, stall
// and close; UDP senders for the engine's UDP ports; and pseudo-terminals behind symbolic links as
// COM devices, fed, drained, ignored and now and then hung up and replaced by a new one.
// Nothing here is checked: it only has to keep the engine busy and surprised.
#pragma once

#include "tests/soak/soak_plan.h"
#include "tests/support/loopback.h"
#include "tests/support/pty.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace soak {

class ChaosPeers {
public:
    ChaosPeers(std::uint64_t seed, std::string dir);
    ~ChaosPeers();
    ChaosPeers(const ChaosPeers&) = delete;
    ChaosPeers& operator=(const ChaosPeers&) = delete;

    // The surroundings of one engine IP port: clients and datagrams for `enginePort`, and a
    // listener on `listenPort` (0: none) for when the port is a TCP client.
    void addIpPort(std::uint16_t enginePort, std::uint16_t listenPort);
    // A pseudo-terminal behind a symbolic link in the directory; returns the link's path.
    std::string addSerialPort(std::uint32_t com);

    void start();
    void stop();

    // The most descriptors the peers hold at any moment.
    [[nodiscard]] std::size_t descriptorBound() const;

    struct Summary {
        std::uint64_t connects = 0;      // connections to engine server ports that completed
        std::uint64_t accepts = 0;       // connections of engine client ports accepted
        std::uint64_t closes = 0;        // orderly closes
        std::uint64_t resets = 0;        // closes with a reset
        std::uint64_t vanishes = 0;      // closes with unread data left behind
        std::uint64_t halfCloses = 0;    // write sides shut down first
        std::uint64_t peerEnded = 0;     // connections the engine ended
        std::uint64_t datagrams = 0;     // datagrams sent
        std::uint64_t bytesOut = 0;      // bytes written to the engine
        std::uint64_t bytesIn = 0;       // bytes read from the engine
        std::uint64_t hangUps = 0;       // pseudo-terminals hung up and replaced
        std::uint64_t listenerDowns = 0; // listeners closed for a while
    };
    // After stop().
    [[nodiscard]] Summary summary() const { return sum_; }

private:
    enum class Ending { Close, Reset, Vanish, HalfClose };
    struct Conn {
        testsupport::Fd fd;
        bool connecting = false;
        bool reading = true;
        bool writing = false;
        bool halfClosed = false;
        Ending ending = Ending::Close;
        std::int64_t endAt = 0;     // µs
        std::int64_t nextWrite = 0; // µs
    };
    struct IpSide {
        std::uint16_t enginePort = 0;
        std::uint16_t listenPort = 0;
        testsupport::Fd listener;
        bool accepting = true;
        std::int64_t listenerBackAt = 0; // µs; while the listener is closed
        std::vector<Conn> clients;       // ours, to the engine's server port
        std::vector<Conn> accepted;      // the engine's, accepted by our listener
        testsupport::Fd udp;
        bool udpReading = true;
        std::int64_t nextAction = 0; // µs
    };
    struct SerialSide {
        std::string link; // the symbolic link the COM name maps to
        std::unique_ptr<testsupport::PtyPair> pty;
        bool reading = true;
        std::int64_t writeUntil = 0; // µs; writes a burst until then
        std::int64_t nextAction = 0; // µs
        std::int64_t nextHangUp = 0; // µs; not before
    };

    void run();
    void actIp(IpSide& side, std::int64_t now);
    void actSerial(SerialSide& side, std::int64_t now);
    void newConn(std::vector<Conn>& list, testsupport::Fd fd, bool connecting, std::int64_t now);
    void endConn(Conn& c);
    void writeConn(Conn& c, std::int64_t now);
    bool readFd(int fd); // false when the far side ended or failed
    void pointLink(SerialSide& side);
    void reopenListener(IpSide& side);
    void sweep(std::vector<Conn>& list, std::int64_t now);

    Rng rng_;
    std::string dir_;
    std::vector<IpSide> ips_;
    std::vector<SerialSide> serials_;
    std::vector<std::uint8_t> noise_;
    std::vector<std::uint8_t> sink_;
    Summary sum_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace soak
