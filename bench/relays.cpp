#include "bench/relays.h"

#include "engine/records.h"
#include "store/datafile.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace bench {

namespace {

void tcp_server_port(PortConfig& port, std::uint16_t number) {
    port.portType = PORT_TYPE_IP;
    port.ipProtocol = IP_PROTO_TCP;
    port.tcpRole = TCP_ROLE_SERVER;
    port.ipPort = number;
    port.fwdInstant = 1;
    port.active = 1;
}

class Portweave final : public Relay {
public:
    explicit Portweave(std::string binary) : binary_(std::move(binary)) {}
    ~Portweave() override { Portweave::stop(); }

    [[nodiscard]] std::string name() const override { return "portweave"; }

    bool start_tcp_pairs(const std::vector<PortPair>& pairs, std::size_t traced,
                         bool toFile) override {
        LinkTable table{};
        for (std::size_t i = 0; i < pairs.size() && i < MAX_LINKS; ++i) {
            LinkEntry& e = table.entry[i];
            e.inUse = 1;
            std::snprintf(e.config.name, sizeof e.config.name, "Bench%zu", i + 1);
            tcp_server_port(e.config.port[0], pairs[i].first);
            tcp_server_port(e.config.port[1], pairs[i].second);
            e.config.port[0].trace = e.config.port[1].trace = i + traced >= pairs.size() ? 1 : 0;
        }
        return launch(table, "", toFile) && first_ports_listen(pairs);
    }

    bool start_serial_tcp(const std::string& slavePath, std::uint16_t tcpPort) override {
        LinkTable table{};
        LinkEntry& e = table.entry[0];
        e.inUse = 1;
        std::snprintf(e.config.name, sizeof e.config.name, "Serial");
        PortConfig& serial = e.config.port[0];
        serial.portType = PORT_TYPE_SERIAL;
        serial.comIndex = 0;
        serial.baudIndex = 12;    // 115200
        serial.dataBitsIndex = 3; // 8
        serial.parityIndex = 2;   // none
        serial.stopBitsIndex = 0; // 1
        serial.fwdInstant = 1;
        serial.active = 1;
        tcp_server_port(e.config.port[1], tcpPort);
        const int fd = launch(table, "COM1=" + slavePath + "\n") ? connect_retry(tcpPort) : -1;
        if (fd < 0) {
            return false;
        }
        ::close(fd); // the server port serves the next client
        return true;
    }

    [[nodiscard]] std::vector<pid_t> pids() const override { return {child_.pid}; }

    void stop() override { bench::stop(child_); }

    [[nodiscard]] double burst_gap_ms() const override { return 50.0; }

private:
    bool launch(const LinkTable& table, const std::string& portsFile, bool traceToFile = false) {
        namespace fs = std::filesystem;
        std::error_code ec;
        const std::string exe = dir_.str() + "/portweave";
        fs::copy_file(binary_, exe, fs::copy_options::overwrite_existing, ec);
        if (ec) {
            std::fprintf(stderr, "cannot copy %s: %s\n", binary_.c_str(), ec.message().c_str());
            return false;
        }
        SettingsBlock settings{};
        settings.selectedLinkRow = SELECTED_ROW_NONE;
        settings.logTraceToFile = traceToFile ? 1 : 0;
        std::ofstream data(dir_.str() + "/" + DATA_FILE_NAME, std::ios::binary);
        data.write(reinterpret_cast<const char*>(&settings), sizeof settings);
        data.write(reinterpret_cast<const char*>(&table), sizeof table);
        data.close();
        if (!portsFile.empty()) {
            std::ofstream(dir_.str() + "/portweave.ports") << portsFile;
        }
        child_ =
            spawn({exe}, dir_.str(), {"QT_QPA_PLATFORM=offscreen"}, dir_.str() + "/output.log");
        return child_.pid > 0;
    }

    static bool first_ports_listen(const std::vector<PortPair>& pairs) {
        for (const auto& [a, b] : pairs) {
            (void)b;
            const int fd = connect_retry(a);
            if (fd < 0) {
                return false;
            }
            ::close(fd);
        }
        // The probing clients' departures have been seen before the real clients come.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return true;
    }

    std::string binary_;
    TempDir dir_;
    Child child_;
};

class Socat final : public Relay {
public:
    explicit Socat(std::string socat) : socat_(std::move(socat)) {}
    ~Socat() override { Socat::stop(); }

    [[nodiscard]] std::string name() const override { return "socat"; }

    bool start_tcp_pairs(const std::vector<PortPair>& pairs, std::size_t /*traced*/,
                         bool /*toFile*/) override {
        for (const auto& [a, b] : pairs) {
            // One relay per pair, each taking the same 2048-byte chunks as the bridge.
            children_.push_back(spawn({socat_, "-b", "2048",
                                       "TCP-LISTEN:" + std::to_string(a) + ",reuseaddr,nodelay",
                                       "TCP-LISTEN:" + std::to_string(b) + ",reuseaddr,nodelay"},
                                      "", {}));
        }
        // socat listens on the second port only after the first was connected, so readiness of
        // the first port cannot be probed without using up the relay: give it a moment.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return true;
    }

    bool start_serial_tcp(const std::string& slavePath, std::uint16_t tcpPort) override {
        children_.push_back(spawn({socat_, "-b", "2048", slavePath + ",rawer,b115200",
                                   "TCP-LISTEN:" + std::to_string(tcpPort) + ",reuseaddr,nodelay"},
                                  "", {}));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return true;
    }

    [[nodiscard]] std::vector<pid_t> pids() const override {
        std::vector<pid_t> out;
        for (const auto& c : children_) {
            out.push_back(c.pid);
        }
        return out;
    }

    void stop() override {
        for (auto& c : children_) {
            bench::stop(c, 2000);
        }
        children_.clear();
    }

    [[nodiscard]] double burst_gap_ms() const override { return 0.0; }

private:
    std::string socat_;
    std::vector<Child> children_;
};

} // namespace

std::unique_ptr<Relay> make_portweave(const std::string& binary) {
    return std::make_unique<Portweave>(binary);
}

std::unique_ptr<Relay> make_socat(const std::string& socat) {
    return std::make_unique<Socat>(socat);
}

} // namespace bench
