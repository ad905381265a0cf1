// Fuzz target: the gathering of received bytes, fed random forwarding conditions (stored values
// out of range included), random chunk sequences and configuration changes between chunks, is
// checked against a plain model: every transmission and every timer decision must equal the
// model's, and the gathered count never leaves the buffer.
#include "engine/gather.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Reads the fuzzer's bytes as a stream of numbers; zeros once it is used up.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    [[nodiscard]] bool empty() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint32_t u16() { return static_cast<std::uint32_t>(byte()) << 8 | byte(); }
    const std::uint8_t* take(std::size_t n, std::size_t* got) {
        *got = std::min(n, size_ - std::min(pos_, size_));
        const std::uint8_t* p = data_ + pos_;
        pos_ += *got;
        return p;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

PortConfig RandomConfig(Input& in) {
    PortConfig config{};
    const std::uint8_t flags = in.byte();
    config.fwdBufferFull = flags & 1u;
    config.fwdFrameEnd = (flags >> 1) & 1u;
    config.fwdInterChar = (flags >> 2) & 1u;
    // Sizes around the edges, and beyond them as a damaged file could hold.
    switch (in.byte() % 4) {
    case 0:
        config.bufferSize = in.byte() % 8;
        break;
    case 1:
        config.bufferSize = RECEIVE_BUFFER_SIZE - 2 + in.byte() % 4;
        break;
    case 2:
        config.bufferSize = in.u16();
        break;
    default:
        config.bufferSize = 0xFFFFFFFFu - in.byte();
        break;
    }
    config.frameEndChar = in.byte() % 3 == 0 ? 256 + in.byte() : in.byte();
    return config;
}

// The model: what a port with these conditions does, written plainly.
struct Model {
    std::vector<std::uint8_t> pending;
    std::vector<std::vector<std::uint8_t>> sent;

    GatherTimer receive(const PortConfig& config, const std::uint8_t* data, std::size_t length) {
        std::size_t limit = RECEIVE_BUFFER_SIZE;
        if (config.fwdBufferFull != 0 && config.bufferSize >= 1 &&
            config.bufferSize <= RECEIVE_BUFFER_SIZE) {
            limit = config.bufferSize;
        }
        bool emptied = false;
        for (std::size_t i = 0; i < length; ++i) {
            pending.push_back(data[i]);
            const bool frameEnds = config.fwdFrameEnd != 0 && data[i] == config.frameEndChar;
            if (frameEnds || pending.size() >= limit) {
                if (frameEnds || config.fwdBufferFull != 0) {
                    sent.push_back(pending);
                }
                pending.clear();
                emptied = true;
            }
        }
        if (!pending.empty() && config.fwdInterChar != 0) {
            return GatherTimer::Restart;
        }
        return emptied ? GatherTimer::Stop : GatherTimer::Keep;
    }
};

void Check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    PortConfig config = RandomConfig(in);
    // The buffer is exactly as large as the engine's, so that any overrun is caught.
    std::vector<std::uint8_t> buffer(RECEIVE_BUFFER_SIZE);
    std::uint32_t count = 0;
    std::vector<std::vector<std::uint8_t>> sent;
    Model model;
    while (!in.empty()) {
        const std::uint8_t op = in.byte();
        if (op % 8 == 0) {
            // A configuration change between chunks (the limit may shrink under gathered bytes).
            config = RandomConfig(in);
            continue;
        }
        if (op % 8 == 1) {
            // The inter-character flush passes on what is gathered.
            if (count > 0) {
                sent.emplace_back(buffer.begin(), buffer.begin() + count);
                count = 0;
            }
            if (!model.pending.empty()) {
                model.sent.push_back(model.pending);
                model.pending.clear();
            }
            continue;
        }
        std::size_t length = 1 + (op % 2 == 0 ? in.u16() % RECEIVE_BUFFER_SIZE : in.byte() % 16);
        std::size_t got = 0;
        const std::uint8_t* chunk = in.take(length, &got);
        if (got == 0) {
            break;
        }
        const GatherTimer timer = GatherChunk(GatherRuleOf(config), buffer.data(), count, chunk,
                                              static_cast<std::uint32_t>(got),
                                              [&sent](const std::uint8_t* bytes, std::uint32_t n) {
                                                  Check(n >= 1 && n <= RECEIVE_BUFFER_SIZE);
                                                  sent.emplace_back(bytes, bytes + n);
                                              });
        Check(timer == model.receive(config, chunk, got));
        Check(count < RECEIVE_BUFFER_SIZE);
        Check(count == model.pending.size());
        Check(std::equal(model.pending.begin(), model.pending.end(), buffer.begin()));
        Check(sent == model.sent);
    }
    return 0;
}
