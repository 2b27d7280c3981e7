// ZQAutoLock: the scoped lock around lists shared between threads.
#pragma once

#include <mutex>

// The critical section of the gate: a plain mutex (not recursive).
using CriticalSection = std::mutex;

// Enters the section on construction and leaves it on destruction.
class ZQAutoLock {
  public:
    explicit ZQAutoLock(CriticalSection& section) : section_(section) { section_.lock(); }
    ~ZQAutoLock() { section_.unlock(); }
    ZQAutoLock(const ZQAutoLock&) = delete;
    ZQAutoLock& operator=(const ZQAutoLock&) = delete;

  private:
    CriticalSection& section_;
};
