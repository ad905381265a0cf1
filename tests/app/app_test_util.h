// The application's logic on the real engine without widgets, in a temporary directory; the test
// plays the main thread: pump() does what the widgets do, the view records what they are told.
#pragma once

#include "app/core/link_dialog_logic.h"
#include "app/core/row_queue.h"
#include "app/core/send_buffer.h"
#include "app/core/session.h"
#include "tests/support/datafile_image.h"
#include "tests/support/loopback.h"
#include "tests/support/pty.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <functional>
#include <iterator>
#include <utility>
#include <vector>

namespace apptest {

using namespace pw::app;
using testsupport::Fd;
using testsupport::free_tcp_port;

inline PortConfig Server(std::uint16_t port, bool active = false) { // on 127.0.0.1
    return testsupport::tcp_server_port(port, active);
}

inline PortConfig Client(std::uint16_t port, bool active = false, bool udp = false) {
    PortConfig p = Server(port, active);
    p.tcpRole = TCP_ROLE_CLIENT;
    p.ipProtocol = udp ? IP_PROTO_UDP : IP_PROTO_TCP;
    std::strcpy(p.remoteHost, "127.0.0.1");
    return p;
}

// The form of `start` with TCP servers on p1 and p2, P1 activated on save.
inline LinkForm ServerForm(const LinkConfig& start, const char* name, std::uint16_t p1,
                           std::uint16_t p2) {
    LinkForm form = FormOf(start);
    form.name = name;
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        form.port[p].portType = PORT_TYPE_IP;
        form.port[p].tcpRole = TCP_ROLE_SERVER;
        form.port[p].ipPort = std::to_string(p == 0 ? p1 : p2);
    }
    form.port[0].activateOnSave = true;
    return form;
}

// The event loop's wait for `fd` (poll; on Windows an event handle signalled), from
// app_platform_posix_test.cpp or app_platform_win_test.cpp.
bool WaitReadable(int fd, int timeoutMs);

using testsupport::table_of;
using testsupport::tcp_connect_within;

inline bool Closed(std::uint16_t port) { // the socket layer closes a listener on its own thread
    return testsupport::wait_until([&] { return !testsupport::tcp_connect(port).valid(); });
}

// What the main dialog tells its widgets: "+row" inserted, "~row" changed, "-row" removed,
// "s<row>" selected, "S" statistics, "W" switches, "T" refresh timer started.
class RecordingView final : public MainDialogView {
public:
    void linkRowInserted(int row) override { add("+", row); }
    void linkRowChanged(int row) override { add("~", row); }
    void linkRowRemoved(int row) override { add("-", row); }
    void linkRowSelected(int row) override { add("s", row); }
    void statsChanged() override { calls_ += "S "; }
    void switchesChanged() override { calls_ += "W "; }
    void startRefreshTimer() override { calls_ += "T "; }
    std::string take() { return std::exchange(calls_, {}); }

private:
    void add(const char* what, int row) { calls_.append(what).append(std::to_string(row)) += ' '; }
    std::string calls_;
};

struct App {
    explicit App(EngineCalls calls = {}, pw::LineBufferAllocator allocate = nullptr)
        : log(pw::LogOptions{dir.str(), {}, allocate}),
          session(SessionOptions{dir.str(), &log, calls}), logic(session.state(), log, calls),
          dialog(session.state(), logic, log, calls), send(session.state(), log, calls) {
        logic.setView(&view);
        state().onChange = [this] { told.push_back(session.save()); };
        session.setStatusQueue(&status);
        log.setSink(&rows); // the data file's complaints reach the list too
    }
    ~App() { stop(); }
    bool start(const LinkTable& table, const SettingsBlock& settings = {}) {
        return testsupport::write_data_file(dir.str(), settings, table), start();
    }
    bool start() { // on the data file in dir: the session, then the main dialog's initialisation
        char err[ERR_TEXT_SIZE] = {};
        return session.start(err) && (logic.initialise(), true);
    }
    void stop() {
        log.setSink(nullptr);
        session.stop();
        session.setStatusQueue(nullptr);
    }
    void pump() { // rows to the lists, status reports to the links list
        RowBatch batch = rows.take();
        traceToFileSwitchedOff = traceToFileSwitchedOff || batch.traceToFileSwitchedOff;
        std::vector<QueuedTraceRow> droppedTraces; // reused, as the application does
        Apply(events, std::move(batch.events));
        Apply(traces, std::move(batch.traces), &droppedTraces);
        rows.recycle(droppedTraces);
        for (const LinkStatus& s : status.take()) {
            logic.showLinkStatus(s);
        }
    }
    template <class Row>
    static void Apply(std::deque<Row>& list, ListBatch<Row>&& batch,
                      std::vector<Row>* dropped = nullptr) {
        const auto end = batch.clear
                             ? list.end()
                             : list.begin() + std::min<std::size_t>(batch.dropFront, list.size());
        if (dropped != nullptr) {
            std::move(list.begin(), end, std::back_inserter(*dropped));
        }
        list.erase(list.begin(), end);
        list.insert(list.end(), batch.rows.begin(), batch.rows.end());
    }
    bool waitFor(const std::function<bool()>& pred) {
        return testsupport::wait_until([&] { return pump(), pred(); });
    }
    bool hasEvent(const std::string& text) { // in the event list, after a pump
        pump();
        return std::any_of(events.begin(), events.end(), [&](auto& e) { return e.text == text; });
    }
    std::string row(int index) { // "name|port 1|port 2|status"
        const LinkRow& r = state().links.row(index);
        return r.name + "|" + r.port1 + "|" + r.port2 + "|" + r.status;
    }
    std::string stats(std::uint32_t port) { // the five cells and the activate caption
        const std::string* c = logic.stats().port[port].cell;
        return Format("%s|%s|%s|%s|%s|%s", c[0].c_str(), c[1].c_str(), c[2].c_str(), c[3].c_str(),
                      c[4].c_str(), logic.stats().activateCaption[port]);
    }
    // Checked boxes, P1/P2 "active" and "trace" of `id`, saved and log's event/trace/ASCII
    // switches.
    std::string boxes(std::uint32_t id) {
        const Switches& s = logic.switches();
        const PortConfig* p = entry(id).config.port;
        const SettingsBlock& saved = state().settings;
        return Format("%s%s%s%s%s %u%u %u%u %u%u%u %d%d%d", s.enableTracing ? "tracing " : "",
                      s.logEventsToFile ? "events " : "", s.logTraceToFile ? "trace " : "",
                      s.hex ? "hex" : "", s.ascii ? "ascii" : "", p[0].active, p[1].active,
                      p[0].trace, p[1].trace, saved.logEventsToFile, saved.logTraceToFile,
                      saved.traceAscii, log.eventsToFile(), log.traceToFile(), log.traceAscii());
    }
    AppState& state() { return session.state(); }
    LinkEntry& entry(std::uint32_t id) { return state().table.entry[id]; }
    std::string saved() { return testsupport::read_file(dir.str() + "/" + DATA_FILE_NAME); }
    bool savedNow() { // the data file holds the log's switches, the selected row and the table
        const SettingsBlock s{log.eventsToFile(), log.traceToFile(),
                              state().settings.selectedLinkRow, log.traceAscii()};
        return saved() == testsupport::data_file_image(s, state().table);
    }

    testsupport::TempDir dir;
    std::atomic<int> wakes{0}; // asked for by the two queues
    pw::LogStore log;
    RowQueue rows{[this] { ++wakes; }};
    StatusQueue status{[this] { ++wakes; }};
    Session session;
    RecordingView view;
    MainDialogLogic logic;
    LinkDialogLogic dialog;
    SendBufferLogic send;
    std::deque<QueuedEventRow> events; // the event and trace lists
    std::deque<QueuedTraceRow> traces;
    bool traceToFileSwitchedOff = false;
    std::vector<std::string> told; // one per change saved: the failure a box would show, or ""
};

} // namespace apptest
