// The container templates of the packet pool, the thread queues and the network processes.
// Each holds pointers to elements; owning ones destroy their elements.
//
//   AList<T>        ordered array, capacity doubling when full
//   AIndexList<T>   (u32 key, element) pairs in ascending key order, unique keys
//   AQueue<T>       double-ended queue (a growable ring buffer: no allocation in steady use)
//   AAutoQueue<T>   all elements (owning AList) + the empty ones (AQueue): the base of a pool
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "packet/lock_obj.h"

template <typename T>
class AList {
  public:
    // A capacity below 1 becomes 1.
    explicit AList(bool ownsElements = false, int initialCapacity = 10) : owns_(ownsElements) {
        items_.reserve(static_cast<std::size_t>(initialCapacity < 1 ? 1 : initialCapacity));
    }
    virtual ~AList() { Clear(); }
    AList(const AList&) = delete;
    AList& operator=(const AList&) = delete;

    // Appends; the capacity doubles when full.
    void Add(T* element) {
        if (items_.size() == items_.capacity()) items_.reserve(items_.capacity() * 2);
        items_.push_back(element);
    }
    // Into an empty list appends; otherwise the position must lie in 0..Count()-1 (the element
    // takes that place, later ones move up). Returns false when the list was left unchanged.
    bool Insert(int position, T* element) {
        if (items_.empty()) {
            Add(element);
            return true;
        }
        if (position < 0 || position >= Count()) return false;
        if (items_.size() == items_.capacity()) items_.reserve(items_.capacity() * 2);
        items_.insert(items_.begin() + position, element);
        return true;
    }
    // The element at the position, or null outside 0..Count()-1.
    T* At(int position) const {
        if (position < 0 || position >= Count()) return nullptr;
        return items_[static_cast<std::size_t>(position)];
    }
    T* operator[](int position) const { return At(position); }
    int Count() const { return static_cast<int>(items_.size()); }
    int Capacity() const { return static_cast<int>(items_.capacity()); }
    bool OwnsElements() const { return owns_; }
    // Removes every element, destroying them when owning.
    void Clear() {
        if (owns_) {
            for (T* element : items_) delete element;
        }
        items_.clear();
    }

  private:
    std::vector<T*> items_;
    bool owns_;
};

template <typename T>
class AIndexList {
  public:
    explicit AIndexList(bool ownsElements = false) : owns_(ownsElements) {}
    virtual ~AIndexList() { Clear(); }
    AIndexList(const AIndexList&) = delete;
    AIndexList& operator=(const AIndexList&) = delete;

    // Inserts at its key's place; false when the key is already present.
    bool AddEx(std::uint32_t key, T* element) {
        auto it = LowerBound(key);
        if (it != entries_.end() && it->first == key) return false;
        entries_.insert(it, {key, element});
        return true;
    }
    // The element of the key, or null.
    T* Find(std::uint32_t key) const {
        auto it = LowerBound(key);
        return it != entries_.end() && it->first == key ? it->second : nullptr;
    }
    // Removes the key's entry (destroying its element when owning); false when absent.
    bool Delete(std::uint32_t key) {
        auto it = LowerBound(key);
        if (it == entries_.end() || it->first != key) return false;
        T* element = it->second;
        entries_.erase(it);
        if (owns_) delete element;
        return true;
    }
    int Count() const { return static_cast<int>(entries_.size()); }
    // In key order; null outside 0..Count()-1.
    T* At(int position) const {
        if (position < 0 || position >= Count()) return nullptr;
        return entries_[static_cast<std::size_t>(position)].second;
    }
    std::uint32_t KeyAt(int position) const {
        if (position < 0 || position >= Count()) return 0;
        return entries_[static_cast<std::size_t>(position)].first;
    }
    void Clear() {
        if (owns_) {
            for (auto& entry : entries_) delete entry.second;
        }
        entries_.clear();
    }

  private:
    using Entry = std::pair<std::uint32_t, T*>;
    typename std::vector<Entry>::const_iterator LowerBound(std::uint32_t key) const {
        return std::lower_bound(entries_.begin(), entries_.end(), key,
                                [](const Entry& e, std::uint32_t k) { return e.first < k; });
    }
    typename std::vector<Entry>::iterator LowerBound(std::uint32_t key) {
        return std::lower_bound(entries_.begin(), entries_.end(), key,
                                [](const Entry& e, std::uint32_t k) { return e.first < k; });
    }

    std::vector<Entry> entries_;
    bool owns_;
};

// A double-ended queue of element pointers on a power-of-two ring that doubles when full.
template <typename T>
class AQueue {
  public:
    explicit AQueue(std::size_t initialCapacity = 16) {
        std::size_t capacity = 1;
        while (capacity < initialCapacity) capacity *= 2;
        ring_.assign(capacity, nullptr);
    }
    AQueue(const AQueue&) = delete;
    AQueue& operator=(const AQueue&) = delete;

    void PushBack(T* element) {
        if (count_ == ring_.size()) Grow();
        ring_[(head_ + count_) & (ring_.size() - 1)] = element;
        ++count_;
    }
    void PushFront(T* element) {
        if (count_ == ring_.size()) Grow();
        head_ = (head_ + ring_.size() - 1) & (ring_.size() - 1);
        ring_[head_] = element;
        ++count_;
    }
    // Null when empty.
    T* PopFront() {
        if (count_ == 0) return nullptr;
        T* element = ring_[head_];
        head_ = (head_ + 1) & (ring_.size() - 1);
        --count_;
        return element;
    }
    T* PopBack() {
        if (count_ == 0) return nullptr;
        --count_;
        return ring_[(head_ + count_) & (ring_.size() - 1)];
    }
    T* Front() const { return count_ == 0 ? nullptr : ring_[head_]; }
    T* Back() const {
        return count_ == 0 ? nullptr : ring_[(head_ + count_ - 1) & (ring_.size() - 1)];
    }
    std::size_t Count() const { return count_; }
    bool Empty() const { return count_ == 0; }
    void Clear() {
        head_ = 0;
        count_ = 0;
    }

  private:
    void Grow() {
        std::vector<T*> bigger(ring_.size() * 2, nullptr);
        for (std::size_t i = 0; i < count_; ++i)
            bigger[i] = ring_[(head_ + i) & (ring_.size() - 1)];
        ring_.swap(bigger);
        head_ = 0;
    }

    std::vector<T*> ring_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
};

// All elements of a pool (owned) and the queue of the empty ones, under one critical section.
// Derived pools implement taking and giving back; the members below are used under lock_.
template <typename T>
class AAutoQueue {
  public:
    explicit AAutoQueue(int initialCapacity = 10, int growStep = 1000)
        : all_(true, initialCapacity),
          empty_(static_cast<std::size_t>(initialCapacity)),
          growStep_(growStep) {}
    virtual ~AAutoQueue() = default;
    AAutoQueue(const AAutoQueue&) = delete;
    AAutoQueue& operator=(const AAutoQueue&) = delete;

    // Takes ownership; appends to all elements and to the back of the empty queue.
    void AddElement(std::unique_ptr<T> element) {
        TLockObj lock(lock_);
        AddElementLocked(std::move(element));
    }
    int Count() const {
        TLockObj lock(lock_);
        return all_.Count();
    }
    int EmptyCount() const {
        TLockObj lock(lock_);
        return static_cast<int>(empty_.Count());
    }
    int GrowStep() const { return growStep_; }
    void SetGrowStep(int step) { growStep_ = step < 1 ? 1 : step; }

  protected:
    virtual std::unique_ptr<T> CreateElement() { return std::make_unique<T>(); }
    void AddElementLocked(std::unique_ptr<T> element) {
        T* raw = element.release();
        all_.Add(raw);
        empty_.PushBack(raw);
    }
    void GrowLocked() {
        for (int i = 0; i < growStep_; ++i) AddElementLocked(CreateElement());
    }

    mutable CriticalSection lock_;
    AList<T> all_;
    AQueue<T> empty_;
    int growStep_;
};
