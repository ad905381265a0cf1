// Fuzz target: gathering under random forwarding conditions (out of range ones too) that change
// between chunks, against a plain model of every passing on, timer decision and gathered byte.
#include "engine/gather.h"
#include "tests/fuzz/fuzz_input.h"

#include <algorithm>
#include <vector>

static PortConfig RandomConfig(FuzzInput& in) {
    PortConfig c{};
    c.fwdBufferFull = in.byte() & 1;
    c.fwdFrameEnd = in.last >> 1 & 1;
    c.fwdInterChar = in.last >> 2 & 1;
    c.bufferSize = in.last >> 3 & 3 ? in.u16() % 2050 : 0xFFFFFFFFu - in.u16(); // 0 to 2049 mostly
    c.frameEndChar = in.u16() % 300; // above 255 it never matches
    return c;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in{data, size};
    PortConfig c = RandomConfig(in);
    std::vector<std::uint8_t> buffer(RECEIVE_BUFFER_SIZE), pending; // overruns of it show
    std::vector<std::vector<std::uint8_t>> sent, expected;
    std::uint32_t count = 0;
    while (in.at < size) {
        if (in.byte() % 8 == 0) {
            c = RandomConfig(in); // the limit may shrink under gathered bytes
            continue;
        }
        const std::size_t length = in.last % 2 ? in.last % 16 + 1 : in.u16() % 2048 + 1;
        const std::size_t got = std::min(length, size - in.at);
        const std::uint8_t* chunk = data + in.at;
        in.at += got;
        // The model: a frame end passes the bytes on, a full buffer only with fwdBufferFull.
        const bool sized = c.fwdBufferFull && c.bufferSize >= 1 && c.bufferSize <= 2048;
        const std::size_t limit = sized ? std::size_t{c.bufferSize} : RECEIVE_BUFFER_SIZE;
        bool emptied = false;
        for (std::size_t i = 0; i < got; ++i) {
            pending.push_back(chunk[i]);
            const bool frameEnds = c.fwdFrameEnd && chunk[i] == c.frameEndChar;
            if (frameEnds || pending.size() >= limit) {
                if (frameEnds || c.fwdBufferFull) {
                    expected.push_back(pending);
                }
                pending.clear();
                emptied = true;
            }
        }
        const GatherTimer timer = !pending.empty() && c.fwdInterChar ? GatherTimer::Restart
                                  : emptied                          ? GatherTimer::Stop
                                                                     : GatherTimer::Keep;
        REQUIRE(timer == GatherChunk(GatherRuleOf(c), buffer.data(), count, chunk,
                                     static_cast<std::uint32_t>(got),
                                     [&sent](const std::uint8_t* bytes, std::uint32_t n) {
                                         sent.emplace_back(bytes, bytes + n);
                                     }));
        REQUIRE(sent == expected && count == pending.size() && count < RECEIVE_BUFFER_SIZE &&
                std::equal(pending.begin(), pending.end(), buffer.begin()));
    }
    return 0;
}
