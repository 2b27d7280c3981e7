// CThreadQueue: the locked first-in-first-out queue that carries pooled packets between
// threads. The queued packets belong to the pool: a cleared or destroyed queue gives them back.
// Lock order: the queue's lock is held while the pool's lock is taken, never the reverse.
#pragma once

#include <atomic>

#include "diag/log.h"
#include "packet/containers.h"
#include "packet/lock_obj.h"
#include "packet/packet_pool.h"

template <typename T>
class CThreadQueue {
  public:
    CThreadQueue() = default;
    CThreadQueue(const CThreadQueue&) = delete;
    CThreadQueue& operator=(const CThreadQueue&) = delete;

    // Gives every queued packet back to the pool.
    virtual ~CThreadQueue() { Clear(); }

    // Moves the oldest packet's content into `packet` (CopyFrom) and gives the queued one back to
    // the pool; returns 1. An empty queue returns 0 and leaves `packet` untouched.
    virtual int PacketPop(T* packet) {
        TLockObj lock(lock_);
        if (queue_.Count() == 0) return 0;
        T* front = queue_.PopFront();
        count_.store(static_cast<int>(queue_.Count()), std::memory_order_relaxed);
        if (front == nullptr) {
            diag::GetLog().logWarn("CThreadQueue<T>::PacketPop(T * Packet)  m_Queue->Pop()== NULL");
            return 0;
        }
        packet->CopyFrom(front);
        FreeToPool(front);
        return 1;
    }
    // Appends at the end; always 1. The queue now owns the packet.
    virtual int Push(T* packet) {
        TLockObj lock(lock_);
        queue_.PushBack(packet);
        count_.store(static_cast<int>(queue_.Count()), std::memory_order_relaxed);
        return 1;
    }
    // Removes and returns the oldest packet (the caller owns it), or null when empty.
    virtual T* Pop() {
        TLockObj lock(lock_);
        T* front = queue_.PopFront();
        count_.store(static_cast<int>(queue_.Count()), std::memory_order_relaxed);
        return front;
    }
    // The oldest packet without removing it, or null; it stays owned by the queue.
    virtual T* Front() {
        TLockObj lock(lock_);
        return queue_.Front();
    }
    virtual void FreeToPool(T* packet) { FreePacket(packet); }
    // Number of queued packets, read without the lock: a hint for consumers.
    virtual int GetCount() { return count_.load(std::memory_order_relaxed); }

    // Removes every queued packet and gives each back to the pool.
    void Clear() {
        TLockObj lock(lock_);
        while (queue_.Count() > 0) {
            T* packet = queue_.PopFront();
            if (packet == nullptr) {
                diag::GetLog().logWarn("CThreadQueue<T>::Clear()  m_Queue->Pop()== NULL");
                continue;
            }
            FreeToPool(packet);
        }
        count_.store(0, std::memory_order_relaxed);
    }

  private:
    CriticalSection lock_;
    AQueue<T> queue_;
    std::atomic<int> count_{0};
};
