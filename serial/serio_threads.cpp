// The serial layer's threads: per open port a reader (device to receive ring) and a writer
// (transmit ring to device), and one delivery thread that hands received chunks to the owners.
// Every wait includes a stop signal, and no wait is a short periodic timer while idle.
#include "base/platform.h"
#include "serial/serio_internal.h"

#include <chrono>
#include <thread>

namespace pw::serio {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int READER_IDLE_WAIT_MS = 500;  // reader's wait limit with no chunk in progress
constexpr int WRITER_IDLE_WAIT_MS = 500;  // writer's wait limit with nothing to write
constexpr int WRITER_HELD_WAIT_MS = 1000; // writer's wait step while output is held
constexpr int DELIVERY_RETRY_MS = 1;      // re-offer delay for a chunk an owner could not take
constexpr auto FAILED_WAIT_PAUSE = std::chrono::milliseconds(100); // after a failed wait
constexpr auto BURST_GAP = std::chrono::milliseconds(SERIO_BURST_GAP_MS);

thread_local bool t_onDelivery = false;

// A wait that fails once will likely fail again: report it once, and pause so that the loop
// around it cannot spin.
void after_failed_wait(bool* reported, const char* text) {
    if (!*reported) {
        pw::diag(text);
        *reported = true;
    }
    std::this_thread::sleep_for(FAILED_WAIT_PAUSE);
}

// Blocks until the stop signal. False only when the wait failed (the caller retries).
bool wait_for_stop(os::Handle stopFd, bool* reported, const char* text) {
    const Wake w = os::wait_for(stopFd, os::NO_HANDLE, false, -1);
    if (w == Wake::Stop) {
        return true;
    }
    if (w == Wake::Failed) {
        after_failed_wait(reported, text);
    }
    return false;
}

void mark_done(PortRun& run, bool reader) {
    {
        std::lock_guard<std::mutex> lk(run.doneMutex);
        (reader ? run.readerDone : run.writerDone) = true;
    }
    run.doneCv.notify_all();
}

// Puts a finished chunk into the receive ring. False when the ring is full.
bool put_received(SerialPort& port, PortRun& run, const std::uint8_t* data, std::uint32_t len) {
    {
        std::lock_guard<std::mutex> lk(port.lock);
        if (!queue_put_chunk(run.rx, data, len)) {
            return false;
        }
    }
    if (os::raise_signal(run.layer->dataFd) != 0) {
        pw::diag("SetEvent error\n");
    }
    return true;
}

// Takes the oldest transmit entry into `buf` under the port lock (transmit may be appending to
// it). Returns its length, 0 when nothing waits.
std::uint32_t take_transmit(SerialPort& port, PortRun& run, std::uint8_t* buf) {
    std::lock_guard<std::mutex> lk(port.lock);
    const std::uint32_t len = queue_peek(run.tx, buf);
    queue_drop_front(run.tx);
    return len;
}

int ms_until(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    // Rounded up: waking a little late is harmless, waking early only costs another wait.
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

// Tells the delivery thread that the port's device failed; it tells the owner once the chunks
// read before the failure are delivered.
void mark_faulted(PortRun& run) {
    if (!run.faulted.exchange(true)) {
        (void)os::raise_signal(run.layer->dataFd);
    }
}

enum class Offer { None, Taken, Held };

// Removes the front chunk of a receive ring; wakes the reader if the ring was full.
void drop_received(PortRun& run) {
    const bool wasFull = queue_count(run.rx) >= run.rx.limit;
    queue_drop_front(run.rx);
    if (wasFull) {
        (void)os::raise_signal(run.spaceFd);
    }
}

// With the receive ring empty: tells the owner of a failed device, once per open. Called and
// returning with the port lock held; the callback runs without it.
Offer report_fault(SerialPort& port, std::unique_lock<std::mutex>& lk) {
    PortRun& run = *port.run;
    SerioFaultFn fn = fault_callback();
    if (!run.faulted.load() || run.faultReported || fn == nullptr) {
        return Offer::None;
    }
    run.faultReported = true;
    void* context = port.context;
    port.callbackBusy = true;
    lk.unlock();
    fn(context);
    lk.lock();
    port.callbackBusy = false;
    port.callbackDone.notify_all();
    return Offer::Taken;
}

// Offers the front chunk of one port's receive ring to its owner; removes it once taken.
Offer offer_chunk(SerialPort& port, std::uint8_t* buf) {
    if (port.isOpen.load(std::memory_order_relaxed) == 0) {
        return Offer::None;
    }
    SerioDataFn fn = nullptr;
    void* context = nullptr;
    std::uint32_t generation = 0;
    std::uint32_t len = 0;
    {
        std::unique_lock<std::mutex> lk(port.lock);
        if (port.isOpen.load() == 0 || !port.run) {
            return Offer::None;
        }
        len = queue_peek(port.run->rx, buf);
        if (len == 0) {
            return report_fault(port, lk);
        }
        fn = port.dataFn;
        if (fn == nullptr) {
            drop_received(*port.run);
            return Offer::Taken;
        }
        context = port.context;
        generation = port.generation;
        port.callbackBusy = true;
    }
    const std::uint32_t taken = fn(context, buf, len);
    {
        std::lock_guard<std::mutex> lk(port.lock);
        port.callbackBusy = false;
        // The port may have been closed, or closed and opened again, during the callback; then
        // the ring the chunk came from is gone and nothing is removed.
        if (taken != 0 && port.isOpen.load() != 0 && port.generation == generation && port.run) {
            drop_received(*port.run);
        }
    }
    port.callbackDone.notify_all();
    return taken != 0 ? Offer::Taken : Offer::Held;
}

} // namespace

bool on_delivery_thread() {
    return t_onDelivery;
}

void reader_main(SerialPort* port, std::shared_ptr<PortRun> runRef) {
    PortRun& run = *runRef;
    std::uint8_t buf[SERIO_CHUNK_SIZE];
    std::uint32_t len = 0;        // bytes of the chunk in progress
    Clock::time_point lastByte{}; // when the newest byte of the chunk was read
    bool chunkDone = false;       // buf holds a finished chunk that waits for ring room
    bool deviceGone = false;      // the device hung up or failed; it is not read again
    bool waitReported = false;
    for (;;) {
        if (chunkDone) {
            if (put_received(*port, run, buf, len)) {
                len = 0;
                chunkDone = false;
                continue;
            }
            // The ring is full because the owner holds chunks back. The chunk waits here and
            // further bytes wait in the device, where flow control can hold the sender.
            const Wake w = os::wait_for(run.stopFd, run.spaceFd, false, READER_IDLE_WAIT_MS);
            if (w == Wake::Stop) {
                break;
            }
            if (w == Wake::Ready) {
                os::clear_signal(run.spaceFd);
            } else if (w == Wake::Failed) {
                after_failed_wait(&waitReported, "WaitForSingleObject(Reader handles)");
            }
            continue;
        }
        if (deviceGone) {
            // Only now: every chunk read before the failure is in the ring.
            mark_faulted(run);
            if (wait_for_stop(run.stopFd, &waitReported, "WaitForSingleObject(Reader handles)")) {
                break;
            }
            continue;
        }
        // With a chunk in progress, wait no longer than until its burst gap has passed.
        const int timeout = len > 0 ? ms_until(lastByte + BURST_GAP) : READER_IDLE_WAIT_MS;
        const Wake w = os::wait_for(run.stopFd, run.device, false, timeout);
        if (w == Wake::Stop) {
            break;
        }
        if (w == Wake::Timeout) {
            chunkDone = len > 0 && Clock::now() - lastByte >= BURST_GAP;
            continue;
        }
        if (w == Wake::Failed) {
            after_failed_wait(&waitReported, "WaitForSingleObject(Reader handles)");
            continue;
        }
        std::uint32_t got = 0;
        const Io r = os::read_device(run.device, buf + len, SERIO_CHUNK_SIZE - len, &got);
        if (r == Io::Done) {
            len += got;
            lastByte = Clock::now();
            chunkDone = len == SERIO_CHUNK_SIZE;
            continue;
        }
        if (r == Io::Again && w == Wake::Ready) {
            continue;
        }
        // Hang-up (a pulled adapter, the far side of a pseudo-terminal closed) or a read error:
        // the device stays readable-with-error forever, so report once, hand on what was read
        // and only wait for the stop from now on.
        pw::diag("ReadFile in ReaderAndStatusProc");
        deviceGone = true;
        chunkDone = len > 0;
    }
    mark_done(run, true);
}

void writer_main(SerialPort* port, std::shared_ptr<PortRun> runRef) {
    PortRun& run = *runRef;
    std::uint8_t buf[SERIO_CHUNK_SIZE];
    bool stop = false;
    bool deviceGone = false; // a write failed: the device is not written again
    bool waitReported = false;
    while (!stop) {
        if (deviceGone) {
            stop = wait_for_stop(run.stopFd, &waitReported, "WaitForSingleObject(ghWriterEvent)\n");
            continue;
        }
        // Take before waiting: bytes queued while the writer was busy need no further signal.
        const std::uint32_t len = take_transmit(*port, run, buf);
        if (len == 0) {
            const Wake w = os::wait_for(run.stopFd, run.writeFd, false, WRITER_IDLE_WAIT_MS);
            if (w == Wake::Stop) {
                stop = true;
            } else if (w == Wake::Ready) {
                os::clear_signal(run.writeFd);
            } else if (w == Wake::Failed) {
                after_failed_wait(&waitReported, "WaitForSingleObject(ghWriterEvent)\n");
            }
            continue;
        }
        std::uint32_t done = 0;
        bool hungUp = false;
        while (done < len && !stop && !deviceGone) {
            std::uint32_t moved = 0;
            const Io r = os::write_device(run.device, buf + done, len - done, &moved);
            if (r == Io::Done) {
                done += moved;
                hungUp = false;
                continue;
            }
            if (r == Io::Again && !hungUp) {
                // Output is held (flow control, full driver buffer). The rest of this chunk goes
                // first, so keep waiting in steps, watching the stop signal.
                const Wake w = os::wait_for(run.stopFd, run.device, true, WRITER_HELD_WAIT_MS);
                if (w == Wake::Stop) {
                    stop = true;
                } else if (w == Wake::Hangup) {
                    hungUp = true;
                } else if (w == Wake::Failed) {
                    after_failed_wait(&waitReported, "WaitForSingleObject(osWrite.hEvent)\n");
                }
                continue;
            }
            // The device failed or hung up: the chunk is lost, and so would every later one be.
            // Stop taking, so that the ring fills and transmits are refused, not silently lost.
            pw::diag("WriteFile\n");
            deviceGone = true;
            mark_faulted(run);
        }
    }
    mark_done(run, false);
}

void delivery_main(std::shared_ptr<LayerRun> runRef) {
    t_onDelivery = true;
    LayerRun& layer = *runRef;
    SerialPort* ports = port_table();
    std::uint8_t buf[SERIO_CHUNK_SIZE];
    int timeout = -1;
    bool waitReported = false;
    for (;;) {
        // Sleeps until a reader puts a chunk; polls every DELIVERY_RETRY_MS only while an owner
        // holds a chunk back, and sweeps again at once after a sweep that delivered something.
        const Wake w = os::wait_for(layer.stopFd, layer.dataFd, false, timeout);
        if (w == Wake::Stop) {
            break;
        }
        if (w == Wake::Ready) {
            // Cleared before the sweep: a chunk put during the sweep raises it again.
            os::clear_signal(layer.dataFd);
        } else if (w == Wake::Failed) {
            after_failed_wait(&waitReported, "SERIO: delivery wait failed");
        }
        bool delivered = false;
        bool held = false;
        for (std::uint32_t i = 0; i < SERIO_PORT_COUNT && !layer.stopping.load(); ++i) {
            const Offer o = offer_chunk(ports[i], buf);
            delivered = delivered || o == Offer::Taken;
            held = held || o == Offer::Held;
        }
        timeout = delivered ? 0 : (held ? DELIVERY_RETRY_MS : -1);
    }
}

} // namespace pw::serio
