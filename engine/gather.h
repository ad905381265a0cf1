// Gathering received bytes under a port's forwarding conditions (frame end, full buffer,
// inter-character time), apart from ports, layers and locks, so that the per-byte path can be
// checked against a model and measured on its own. The engine calls it with its mutex held.
#pragma once

#include "engine/records.h"

#include <cstdint>

// The forwarding conditions of one port, as the gathering reads them.
struct GatherRule {
    bool bufferFull;            // pass the gathered bytes on when `limit` are gathered
    bool frameEnd;              // pass them on when `frameEndChar` arrives (it is included)
    bool interChar;             // the inter-character timer runs while bytes are gathered
    std::uint32_t limit;        // bytes gathered at most, 1 to RECEIVE_BUFFER_SIZE
    std::uint32_t frameEndChar; // 0 to 255; a larger stored value never matches a byte
};

// Reads the rule of a port's configuration. A stored buffer size outside 1 to
// RECEIVE_BUFFER_SIZE (only a damaged data file holds one) counts as a full buffer, and without
// fwdBufferFull the limit is a full buffer too: so nothing is ever written past the buffer.
inline GatherRule GatherRuleOf(const PortConfig& config) {
    GatherRule rule{};
    rule.bufferFull = config.fwdBufferFull != 0;
    rule.frameEnd = config.fwdFrameEnd != 0;
    rule.interChar = config.fwdInterChar != 0;
    const std::uint32_t size = config.bufferSize;
    rule.limit =
        rule.bufferFull && size != 0 && size <= RECEIVE_BUFFER_SIZE ? size : RECEIVE_BUFFER_SIZE;
    rule.frameEndChar = config.frameEndChar;
    return rule;
}

// What the port's inter-character timer should do after a chunk.
enum class GatherTimer {
    Keep,    // untouched
    Stop,    // the gathered bytes went on (or were discarded) and nothing is gathered now
    Restart, // bytes are gathered and the quiet time counts from now
};

// Gathers `length` bytes into `buffer` (RECEIVE_BUFFER_SIZE bytes, `count` of them in use), one
// at a time: a frame end character passes the gathered bytes on with it; reaching the limit
// passes them on with fwdBufferFull and discards them otherwise. `emit(data, length)` is called
// for every passing on, with the start of `buffer`; `count` is 0 again afterwards. A `count`
// above a limit that has shrunk since is handled at the next byte.
template <class Emit>
GatherTimer GatherChunk(const GatherRule& rule, std::uint8_t* buffer, std::uint32_t& count,
                        const std::uint8_t* data, std::uint32_t length, Emit&& emit) {
    bool emptied = false;
    for (std::uint32_t i = 0; i < length; ++i) {
        const std::uint8_t byte = data[i];
        buffer[count++] = byte;
        if (rule.frameEnd && byte == rule.frameEndChar) {
            emit(buffer, count);
            count = 0;
            emptied = true;
        } else if (count >= rule.limit) {
            if (rule.bufferFull) {
                emit(buffer, count);
            }
            count = 0;
            emptied = true;
        }
    }
    if (count > 0 && rule.interChar) {
        return GatherTimer::Restart;
    }
    return emptied ? GatherTimer::Stop : GatherTimer::Keep;
}
