// The serial layer's control calls: start and stop of the layer, open, close, modem lines and
// transmit. The thread bodies are in serio_threads.cpp, the platform calls in serio_posix.cpp.
#include "base/platform.h"
#include "serial/serio_internal.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <system_error>
#include <utility>

using namespace pw::serio;

namespace {

constexpr std::uint32_t DELIVERY_STOP_WAIT_MS = 1000; // how long shutdown waits for delivery

// The layer's state. Allocated once and never freed, so that no thread of the layer can outlive
// it, also at program exit.
struct Layer {
    std::mutex control;      // serialises the control calls; never taken by the layer's threads
    bool tableBuilt = false; // ports have their device names
    char names[SERIO_PORT_COUNT][DEVICE_PATH_SIZE]{}; // device path per port index
    SerialPort ports[SERIO_PORT_COUNT];               // the port table
    std::shared_ptr<LayerRun> run;                    // non-null while the layer is initialised
    std::thread delivery;                             // the delivery thread of `run`
};

Layer& layer() {
    static Layer* const instance = new Layer;
    return *instance;
}

std::atomic<SerioFaultFn> g_faultFn{nullptr};

// The port a handle names, or null when it is not one of the table's records.
SerialPort* port_of(SerialPort* handle) {
    const auto p = reinterpret_cast<std::uintptr_t>(handle);
    const auto first = reinterpret_cast<std::uintptr_t>(&layer().ports[0]);
    const auto end = reinterpret_cast<std::uintptr_t>(&layer().ports[SERIO_PORT_COUNT]);
    if (p < first || p >= end || (p - first) % sizeof(SerialPort) != 0) {
        return nullptr;
    }
    return handle;
}

void diag_errno(const char* what, int err) {
    char text[160];
    std::snprintf(text, sizeof text, "SERIO: %s (errno %d)", what, err);
    pw::diag(text);
}

// Ends the threads of a port that did not open after all, and releases what they held.
void stop_started_threads(SerialPort& port, PortRun& run) {
    (void)os::raise_signal(run.stopFd);
    if (port.readerThread.joinable()) {
        port.readerThread.join();
    }
    if (port.writerThread.joinable()) {
        port.writerThread.join();
    }
}

// Starts a thread; 0 or the errno of the failure.
template <typename Fn>
int start_thread(std::thread& slot, Fn fn, SerialPort* port, const std::shared_ptr<PortRun>& run) {
    try {
        slot = std::thread(fn, port, run);
    } catch (const std::system_error& e) {
        return e.code().value() != 0 ? e.code().value() : EAGAIN;
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
    return 0;
}

// Waits for both port threads after their stop was raised; joins those that ended. 0 or
// SERIO_WAIT_TIMEOUT.
std::uint32_t wait_port_threads(SerialPort& port, PortRun& run, std::uint32_t timeoutMs) {
    (void)os::raise_signal(run.stopFd);
    bool readerDone = false;
    bool writerDone = false;
    {
        std::unique_lock<std::mutex> lk(run.doneMutex);
        run.doneCv.wait_for(lk, std::chrono::milliseconds(timeoutMs),
                            [&run] { return run.readerDone && run.writerDone; });
        readerDone = run.readerDone;
        writerDone = run.writerDone;
    }
    if (readerDone && port.readerThread.joinable()) {
        port.readerThread.join();
    }
    if (writerDone && port.writerThread.joinable()) {
        port.writerThread.join();
    }
    if (readerDone && writerDone) {
        return 0;
    }
    if (!readerDone) {
        pw::diag("Reader Thread didn't exit.\n");
    }
    if (!writerDone) {
        pw::diag("Writer Thread didn't exit.\n");
    }
    return SERIO_WAIT_TIMEOUT;
}

std::uint32_t close_port(SerialPort& port) {
    std::shared_ptr<PortRun> run = port.run;
    if (wait_port_threads(port, *run, SERIO_CLOSE_WAIT_MS) != 0) {
        pw::diag("Threads did not exit\n");
    }
    // A thread that is still running keeps its own reference to the run, so the device, the
    // signals and the rings outlive it; detaching only gives up the join.
    if (port.readerThread.joinable()) {
        port.readerThread.detach();
    }
    if (port.writerThread.joinable()) {
        port.writerThread.detach();
    }
    {
        std::unique_lock<std::mutex> lk(port.lock);
        port.isOpen.store(0);
        // A callback of this open that already started finishes before the owner may reuse its
        // context; none starts later, since the port is no longer open.
        if (!on_delivery_thread() &&
            !port.callbackDone.wait_for(lk, std::chrono::milliseconds(SERIO_CLOSE_WAIT_MS),
                                        [&port] { return !port.callbackBusy; })) {
            pw::diag("SERIO: data callback did not return\n");
        }
        (void)os::set_modem_line(run->device, SERIO_LINE_DTR, false);
        (void)os::write_settings(run->device, run->saved);
        os::purge_device(run->device);
        port.run.reset();
        port.dataFn = nullptr;
        port.context = nullptr;
    }
    // The last reference closes the device and the signals and frees the rings.
    run.reset();
    return 0;
}

} // namespace

namespace pw::serio {

SerialPort* port_table() {
    return layer().ports;
}

LayerRun::~LayerRun() {
    os::close_signal(stopFd);
    os::close_signal(dataFd);
}

PortRun::~PortRun() {
    os::close_device(device);
    os::close_signal(stopFd);
    os::close_signal(writeFd);
    os::close_signal(spaceFd);
}

SerioFaultFn fault_callback() {
    return g_faultFn.load();
}

} // namespace pw::serio

std::uint32_t serio_assign_device(std::uint32_t portIndex, const std::string& path) {
    if (portIndex >= SERIO_PORT_COUNT || path.empty() || path.size() >= DEVICE_PATH_SIZE ||
        path.find_first_of("\r\n") != std::string::npos) {
        return EINVAL;
    }
    Layer& L = layer();
    std::lock_guard<std::mutex> control(L.control);
    std::string text;
    if (const int err = read_text_file(DEVICE_MAP_FILE, &text); err != 0 && err != ENOENT) {
        return static_cast<std::uint32_t>(err);
    }
    if (const int err =
            os::replace_text_file(DEVICE_MAP_FILE, assign_name_line(text, portIndex, path));
        err != 0) {
        return static_cast<std::uint32_t>(err);
    }
    // Read only by serio_open, under the same control lock; an open port holds its descriptor.
    std::memcpy(L.names[portIndex], path.c_str(), path.size() + 1);
    return 0;
}

std::string serio_port_device(std::uint32_t portIndex) {
    Layer& L = layer();
    std::lock_guard<std::mutex> control(L.control);
    if (portIndex >= SERIO_PORT_COUNT || !L.tableBuilt) {
        return {};
    }
    const SerialPort& port = L.ports[portIndex];
    return port.isOpen.load() != 0 ? port.openedPath : port.devicePath;
}

std::vector<SerioDevice> serio_find_devices(const std::string& devDir) {
    return os::find_devices(devDir);
}

bool serio_device_present(const std::string& path) {
    return os::device_present(path);
}

void serio_set_fault_callback(SerioFaultFn fn) {
    g_faultFn.store(fn);
}

std::uint32_t serio_init() {
    Layer& L = layer();
    std::lock_guard<std::mutex> control(L.control);
    if (L.run) {
        return 1;
    }
    // The names are read again at every start, so a changed name file takes effect.
    load_device_names(L.names, DEVICE_MAP_FILE);
    if (!L.tableBuilt) {
        for (std::uint32_t i = 0; i < SERIO_PORT_COUNT; ++i) {
            L.ports[i].devicePath = L.names[i];
            L.ports[i].isOpen.store(0);
        }
        L.tableBuilt = true;
    }
    std::shared_ptr<LayerRun> run;
    try {
        run = std::make_shared<LayerRun>();
    } catch (const std::bad_alloc&) {
        return 0;
    }
    if (const int err = os::make_signal(&run->stopFd); err != 0) {
        diag_errno("layer stop signal", err);
        return 0;
    }
    if (const int err = os::make_signal(&run->dataFd); err != 0) {
        diag_errno("layer data signal", err);
        return 0;
    }
    try {
        L.delivery = std::thread([run] {
            delivery_main(run);
            {
                std::lock_guard<std::mutex> lk(run->doneMutex);
                run->deliveryDone = true;
            }
            run->doneCv.notify_all();
        });
    } catch (const std::system_error& e) {
        diag_errno("delivery thread", e.code().value());
        return 0;
    }
    L.run = std::move(run);
    return 1;
}

void serio_shutdown() {
    Layer& L = layer();
    std::lock_guard<std::mutex> control(L.control);
    if (!L.run) {
        return;
    }
    for (SerialPort& port : L.ports) {
        if (port.isOpen.load() != 0) {
            (void)close_port(port);
        }
    }
    LayerRun& run = *L.run;
    run.stopping.store(true);
    (void)os::raise_signal(run.stopFd);
    bool ended = false;
    {
        std::unique_lock<std::mutex> lk(run.doneMutex);
        ended = run.doneCv.wait_for(lk, std::chrono::milliseconds(DELIVERY_STOP_WAIT_MS),
                                    [&run] { return run.deliveryDone; });
    }
    if (ended) {
        L.delivery.join();
    } else {
        // It is inside a data callback; it holds its own reference to the run and ends by itself.
        pw::diag("SERIO: delivery thread did not exit\n");
        L.delivery.detach();
    }
    L.run.reset();
}

std::uint32_t serio_open(std::uint32_t portIndex, std::uint32_t baudRate, std::uint8_t dataBits,
                         std::uint8_t parity, std::uint8_t stopBits, std::uint32_t flowControl,
                         void* context, SerialPort** handle, SerioDataFn dataFn,
                         std::uint32_t* extCode) {
    std::lock_guard<std::mutex> control(layer().control);
    if (portIndex >= SERIO_PORT_COUNT || !layer().run) {
        return SERIO_RC_BAD_ARG;
    }
    SerialPort& port = layer().ports[portIndex];
    if (port.isOpen.load() != 0) {
        return SERIO_RC_ALREADY_OPEN;
    }
    if (handle == nullptr || extCode == nullptr) {
        return SERIO_RC_BAD_ARG;
    }
    auto fail = [extCode](std::uint32_t rc, int err) {
        *extCode = static_cast<std::uint32_t>(err);
        return rc;
    };

    os::Handle device = os::NO_HANDLE;
    if (const int err = os::open_device(port.devicePath, &device); err != 0) {
        return fail(SERIO_RC_OPEN_FAILED, err);
    }
    SavedLine saved{};
    if (const int err = os::read_settings(device, &saved); err != 0) {
        os::close_device(device);
        return fail(SERIO_RC_TIMEOUTS, err);
    }
    SavedLine current{};
    if (const int err = os::read_settings(device, &current); err != 0) {
        os::close_device(device);
        return fail(SERIO_RC_GET_STATE, err);
    }
    const LineSettings settings{baudRate, dataBits, parity, stopBits, flowControl};
    SavedLine wanted{};
    int err = os::compose_settings(current, settings, &wanted);
    if (err == 0) {
        err = os::write_settings(device, wanted);
    }
    if (err != 0) {
        (void)os::write_settings(device, saved);
        os::close_device(device);
        return fail(SERIO_RC_SET_STATE, err);
    }
    // Undoes what the steps so far changed on the device before it is released.
    auto release = [&saved](os::Handle fd) {
        (void)os::write_settings(fd, saved);
        os::close_device(fd);
    };
    if (const int dtrErr = os::set_modem_line(device, SERIO_LINE_DTR, true); dtrErr != 0) {
        release(device);
        return fail(SERIO_RC_SET_DTR, dtrErr);
    }

    std::shared_ptr<PortRun> run;
    try {
        run = std::make_shared<PortRun>();
    } catch (const std::bad_alloc&) {
        release(device);
        return SERIO_RC_NO_MEMORY;
    }
    run->saved = saved;
    run->layer = layer().run;
    if (!queue_prepare(run->tx, SERIO_TX_ENTRIES) || !queue_prepare(run->rx, SERIO_RX_ENTRIES)) {
        release(device);
        return SERIO_RC_NO_MEMORY;
    }
    for (os::Handle* fd : {&run->stopFd, &run->writeFd, &run->spaceFd}) {
        if (const int sigErr = os::make_signal(fd); sigErr != 0) {
            release(device);
            return fail(SERIO_RC_EVENT, sigErr);
        }
    }
    // From here the run owns the device: dropping the run closes it.
    run->device = device;
    if (const int thrErr = start_thread(port.readerThread, reader_main, &port, run); thrErr != 0) {
        (void)os::write_settings(device, saved);
        return fail(SERIO_RC_THREAD, thrErr);
    }
    if (const int thrErr = start_thread(port.writerThread, writer_main, &port, run); thrErr != 0) {
        stop_started_threads(port, *run);
        (void)os::write_settings(device, saved);
        return fail(SERIO_RC_THREAD, thrErr);
    }

    std::memcpy(port.openedPath, port.devicePath, DEVICE_PATH_SIZE);
    std::lock_guard<std::mutex> lk(port.lock);
    port.dataFn = dataFn;
    port.context = context;
    port.run = std::move(run);
    ++port.generation;
    // The handle is in place before the delivery thread can see the port open.
    *handle = &port;
    port.isOpen.store(1);
    return SERIO_OK;
}

std::uint32_t serio_close(SerialPort* handle) {
    std::lock_guard<std::mutex> control(layer().control);
    SerialPort* port = port_of(handle);
    if (port == nullptr || port->isOpen.load() == 0) {
        return 1;
    }
    return close_port(*port);
}

std::uint32_t serio_wait_for_threads(SerialPort* handle, std::uint32_t timeoutMs) {
    std::lock_guard<std::mutex> control(layer().control);
    SerialPort* port = port_of(handle);
    if (port == nullptr || port->isOpen.load() == 0) {
        return 1;
    }
    return wait_port_threads(*port, *port->run, timeoutMs);
}

std::uint32_t serio_set_line(SerialPort* handle, std::uint32_t line, std::uint32_t state) {
    std::lock_guard<std::mutex> control(layer().control);
    SerialPort* port = port_of(handle);
    if (port == nullptr || port->isOpen.load() == 0 ||
        (line != SERIO_LINE_RTS && line != SERIO_LINE_DTR)) {
        return 0;
    }
    return os::set_modem_line(port->run->device, line, state != 0) == 0 ? 1 : 0;
}

std::uint32_t serio_transmit(SerialPort* handle, const std::uint8_t* data, std::uint32_t length) {
    SerialPort* port = port_of(handle);
    if (port == nullptr || data == nullptr || length == 0 || length > SERIO_CHUNK_SIZE) {
        return 0;
    }
    std::lock_guard<std::mutex> lk(port->lock);
    if (port->isOpen.load() == 0 || !port->run) {
        return 0;
    }
    if (!queue_append(port->run->tx, data, length)) {
        return 0;
    }
    // Under the lock: the run, and so the signal, cannot be released meanwhile.
    if (os::raise_signal(port->run->writeFd) != 0) {
        pw::diag("SetEvent error\n");
    }
    return 1;
}

std::uint32_t serio_tx_space(SerialPort* handle) {
    SerialPort* port = port_of(handle);
    if (port == nullptr) {
        return 0;
    }
    std::lock_guard<std::mutex> lk(port->lock);
    if (port->isOpen.load() == 0 || !port->run) {
        return 0;
    }
    return queue_free_bytes(port->run->tx);
}
