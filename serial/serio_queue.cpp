// The serial layer's rings of fixed chunks. The callers hold the owning port's lock.
#include "serial/serio_internal.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace pw::serio {

namespace {
std::uint32_t next_index(const PortQueue& q, std::uint32_t i) {
    return i + 1 == q.capacity ? 0 : i + 1;
}
} // namespace

bool queue_prepare(PortQueue& q, std::uint32_t capacity) {
    queue_release(q);
    if (capacity < 2) {
        return false;
    }
    q.entries.reset(new (std::nothrow) QueueEntry[capacity]);
    if (!q.entries) {
        return false;
    }
    q.capacity = capacity;
    q.limit = capacity - 1;
    for (std::uint32_t i = 0; i < capacity; ++i) {
        q.entries[i].length = 0;
    }
    return true;
}

void queue_release(PortQueue& q) {
    q.entries.reset();
    q.head = 0;
    q.tail = 0;
    q.capacity = 0;
    q.limit = 0;
}

std::uint32_t queue_count(const PortQueue& q) {
    if (q.tail <= q.head) {
        return q.head - q.tail;
    }
    return q.capacity - q.tail + q.head;
}

bool queue_put_chunk(PortQueue& q, const std::uint8_t* data, std::uint32_t length) {
    if (!q.entries || data == nullptr || length == 0 || length > SERIO_CHUNK_SIZE ||
        queue_count(q) >= q.limit) {
        return false;
    }
    QueueEntry& e = q.entries[q.head];
    std::memcpy(e.data, data, length);
    e.length = length;
    q.head = next_index(q, q.head);
    return true;
}

std::uint32_t queue_peek(const PortQueue& q, std::uint8_t* out) {
    if (!q.entries || q.head == q.tail) {
        return 0;
    }
    const QueueEntry& e = q.entries[q.tail];
    std::memcpy(out, e.data, e.length);
    return e.length;
}

void queue_drop_front(PortQueue& q) {
    if (q.entries && q.head != q.tail) {
        q.tail = next_index(q, q.tail);
    }
}

std::uint32_t queue_free_bytes(const PortQueue& q) {
    if (!q.entries) {
        return 0;
    }
    const std::uint32_t held = queue_count(q);
    std::uint32_t room = (q.limit - held) * SERIO_CHUNK_SIZE;
    if (held > 0) {
        const std::uint32_t newest = q.head == 0 ? q.capacity - 1 : q.head - 1;
        room += SERIO_CHUNK_SIZE - q.entries[newest].length;
    }
    return room;
}

bool queue_append(PortQueue& q, const std::uint8_t* data, std::uint32_t length) {
    if (data == nullptr || length == 0 || length > queue_free_bytes(q)) {
        return false;
    }
    if (queue_count(q) > 0) {
        QueueEntry& newest = q.entries[q.head == 0 ? q.capacity - 1 : q.head - 1];
        const std::uint32_t n = std::min(SERIO_CHUNK_SIZE - newest.length, length);
        std::memcpy(newest.data + newest.length, data, n);
        newest.length += n;
        data += n;
        length -= n;
    }
    while (length > 0) {
        const std::uint32_t n = std::min(SERIO_CHUNK_SIZE, length);
        // Room was checked above, so this cannot fail.
        if (!queue_put_chunk(q, data, n)) {
            return false;
        }
        data += n;
        length -= n;
    }
    return true;
}

} // namespace pw::serio
