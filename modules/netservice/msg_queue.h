// The service's message queue towards GetMsg: one producer side written by the I/O thread and
// handed over in whole batches to the consumer, so the pump takes one lock per batch.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "modules/net_service.h"

namespace netsvc {

// Messages are kept as small entries plus their data in one byte arena per batch:
//
//   entries: [index type offset length] [..] [..]
//   bytes:   |data of entry 0|data of entry 2|...          (entries without data take none)
//
// push* append to the producer batch under the lock; pop serves the consumer batch without
// it and, when that is used up, swaps the two batches (the emptied vectors keep their capacity).
class MsgQueue {
  public:
    MsgQueue() = default;
    MsgQueue(const MsgQueue&) = delete;
    MsgQueue& operator=(const MsgQueue&) = delete;

    // One message without data (103, 104, 106, 107, 109).
    void push(std::uint32_t index, std::int32_t type) {
        bool first;
        {
            std::lock_guard lock(mutex_);
            first = producer_.entries.empty();
            producer_.entries.push_back({index, type, 0, 0});
        }
        if (first) notify();
    }

    // The callback run when a message lands in an empty producer batch (outside the lock).
    void setNotify(NetMsgNotify notify, void* context) {
        std::lock_guard lock(mutex_);
        notifyContext_.store(context);
        notify_.store(notify);
    }

    // Received bytes, cut into 101 messages of at most kNetMsgDataSize bytes. Returns the
    // number of messages queued.
    std::uint32_t pushData(std::uint32_t index, const std::uint8_t* data, std::size_t length) {
        std::uint32_t count = 0;
        bool first;
        {
            std::lock_guard lock(mutex_);
            auto& batch = producer_;
            first = batch.entries.empty();
            const std::size_t base = batch.bytes.size();
            batch.bytes.insert(batch.bytes.end(), data, data + length);
            for (std::size_t done = 0; done < length; done += kNetMsgDataSize, ++count) {
                const std::size_t piece = std::min<std::size_t>(kNetMsgDataSize, length - done);
                batch.entries.push_back(
                    {index, NET_MSG_ON_RECV, static_cast<std::uint32_t>(piece), base + done});
            }
        }
        if (first) notify();
        return count;
    }

    // Fills the record with the oldest message; false when none waits. One consumer at a
    // time (the caller serialises).
    bool pop(NetMsg* msg) {
        if (next_ == consumer_.entries.size()) {
            consumer_.entries.clear();
            consumer_.bytes.clear();
            next_ = 0;
            {
                std::lock_guard lock(mutex_);
                std::swap(producer_, consumer_);
                producerBytes_ = producer_.reservedBytes();
            }
            consumerBytes_ = consumer_.reservedBytes();
            if (consumer_.entries.empty()) return false;
        }
        const Entry& e = consumer_.entries[next_++];
        msg->index = e.index;
        msg->type = e.type;
        msg->reserved = 0;
        msg->length = e.length;
        if (e.length != 0) std::memcpy(msg->data, consumer_.bytes.data() + e.offset, e.length);
        return true;
    }

    // Gives memory back when a burst left the consumer batch much larger than needed.
    void trim(std::size_t keepBytes) {
        if (next_ != consumer_.entries.size()) return;
        if (consumer_.reservedBytes() > keepBytes) {
            consumer_.entries = {};
            consumer_.bytes = {};
            consumerBytes_ = 0;
        }
    }

    // Bytes reserved by both batches (approximate, read without the consumer's cooperation).
    std::size_t reservedBytes() const { return producerBytes_ + consumerBytes_; }

  private:
    void notify() {
        if (NetMsgNotify callback = notify_.load()) callback(notifyContext_.load());
    }

    std::atomic<NetMsgNotify> notify_{nullptr};
    std::atomic<void*> notifyContext_{nullptr};

    struct Entry {
        std::uint32_t index;
        std::int32_t type;
        std::uint32_t length;
        std::uint64_t offset;
    };
    struct Batch {
        std::vector<Entry> entries;
        std::vector<std::uint8_t> bytes;
        std::size_t reservedBytes() const {
            return entries.capacity() * sizeof(Entry) + bytes.capacity();
        }
    };

    std::mutex mutex_;
    Batch producer_;
    Batch consumer_;
    std::size_t next_ = 0;
    std::atomic<std::size_t> producerBytes_{0};
    std::atomic<std::size_t> consumerBytes_{0};
};

}  // namespace netsvc
