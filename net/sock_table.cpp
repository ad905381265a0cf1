// The socket tables and record allocation.
#include "net/sock_state.h"

#include <new>

void SocketTable::append(SocketRecord* record) {
    std::lock_guard<std::mutex> lock(mutex_);
    record->table = this;
    record->prev = last_;
    record->next = nullptr;
    if (last_ != nullptr) {
        last_->next = record;
    } else {
        first_ = record;
    }
    last_ = record;
}

SocketRecord* SocketTable::remove_and_free(SocketRecord* record) {
    SocketRecord* following = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        following = record->next;
        if (record->prev != nullptr) {
            record->prev->next = record->next;
        } else {
            first_ = record->next;
        }
        if (record->next != nullptr) {
            record->next->prev = record->prev;
        } else {
            last_ = record->prev;
        }
    }
    free_record(record);
    return following;
}

SocketRecord* SocketTable::first() {
    std::lock_guard<std::mutex> lock(mutex_);
    return first_;
}

SocketRecord* SocketTable::next_of(const SocketRecord* record) {
    std::lock_guard<std::mutex> lock(mutex_);
    return record->next;
}

void SocketTable::close_all() {
    SocketRecord* record = first();
    while (record != nullptr) {
        sockos::close(record->socket);
        record = remove_and_free(record);
    }
}

SocketRecord* make_record(sockos::Fd socket, void* context, bool withOutputQueue) {
    auto* record = new (std::nothrow) SocketRecord;
    if (record == nullptr) {
        return nullptr;
    }
    if (withOutputQueue) {
        record->outData = new (std::nothrow) std::uint8_t[SOCK_SEND_QUEUE_SIZE];
        if (record->outData == nullptr) {
            delete record;
            return nullptr;
        }
    }
    record->socket = socket;
    record->context.store(context);
    record->receiveSize = SOCK_RECEIVE_SIZE;
    return record;
}

void free_record(SocketRecord* record) {
    delete[] record->outData;
    delete record;
}
