// The rings of fixed chunks on their own.
#include "serial/serio_internal.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace pw::serio;

std::vector<std::uint8_t> bytes(std::uint32_t n, std::uint8_t first) {
    std::vector<std::uint8_t> v(n);
    for (std::uint32_t i = 0; i < n; ++i) {
        v[i] = static_cast<std::uint8_t>(first + i);
    }
    return v;
}

TEST(PortQueue, ChunksWrapAroundAndKeepTheirBoundaries) {
    PortQueue q;
    EXPECT_FALSE(queue_put_chunk(q, bytes(1, 0).data(), 1)) << "not prepared";
    EXPECT_EQ(queue_free_bytes(q), 0u);
    ASSERT_TRUE(queue_prepare(q, 4));
    std::uint8_t out[SERIO_CHUNK_SIZE];
    EXPECT_EQ(queue_peek(q, out), 0u);
    // Several rounds so that head and tail wrap.
    for (std::uint8_t round = 0; round < 5; ++round) {
        for (std::uint32_t i = 0; i < 3; ++i) {
            const auto chunk = bytes(i + 1, static_cast<std::uint8_t>(round * 10 + i));
            ASSERT_TRUE(queue_put_chunk(q, chunk.data(), i + 1));
        }
        EXPECT_EQ(queue_count(q), 3u);
        EXPECT_FALSE(queue_put_chunk(q, out, 1)) << "limit is capacity minus one";
        for (std::uint32_t i = 0; i < 3; ++i) {
            ASSERT_EQ(queue_peek(q, out), i + 1);
            EXPECT_EQ(std::vector<std::uint8_t>(out, out + i + 1),
                      bytes(i + 1, static_cast<std::uint8_t>(round * 10 + i)));
            // Peeking does not remove.
            ASSERT_EQ(queue_peek(q, out), i + 1);
            queue_drop_front(q);
        }
        EXPECT_EQ(queue_count(q), 0u);
    }
    EXPECT_FALSE(queue_put_chunk(q, out, 0));
    EXPECT_FALSE(queue_put_chunk(q, out, SERIO_CHUNK_SIZE + 1));
    queue_release(q);
    EXPECT_EQ(queue_count(q), 0u);
    EXPECT_EQ(queue_peek(q, out), 0u);
}

TEST(PortQueue, AppendFillsTheNewestEntryFirstAndIsAllOrNothing) {
    PortQueue q;
    ASSERT_TRUE(queue_prepare(q, 3)); // two entries can wait
    EXPECT_EQ(queue_free_bytes(q), 2 * SERIO_CHUNK_SIZE);
    const auto a = bytes(1000, 0);
    ASSERT_TRUE(queue_append(q, a.data(), 1000));
    ASSERT_TRUE(queue_append(q, a.data(), 1000));
    EXPECT_EQ(queue_count(q), 1u);
    EXPECT_EQ(queue_free_bytes(q), 2 * SERIO_CHUNK_SIZE - 2000);
    // Spills over into a second entry.
    ASSERT_TRUE(queue_append(q, a.data(), 1000));
    EXPECT_EQ(queue_count(q), 2u);
    EXPECT_EQ(queue_free_bytes(q), 2 * SERIO_CHUNK_SIZE - 3000);
    // Too much for the rest: nothing is taken.
    const auto big = bytes(SERIO_CHUNK_SIZE, 7);
    EXPECT_FALSE(queue_append(q, big.data(), 2 * SERIO_CHUNK_SIZE - 2999));
    EXPECT_EQ(queue_free_bytes(q), 2 * SERIO_CHUNK_SIZE - 3000);
    std::uint8_t out[SERIO_CHUNK_SIZE];
    ASSERT_EQ(queue_peek(q, out), SERIO_CHUNK_SIZE);
    queue_drop_front(q);
    ASSERT_EQ(queue_peek(q, out), 3000u - SERIO_CHUNK_SIZE);
    // Taking an entry frees a whole entry's room.
    EXPECT_EQ(queue_free_bytes(q), 2 * SERIO_CHUNK_SIZE - (3000 - SERIO_CHUNK_SIZE));
}

} // namespace
