// TLockObj: the scoped lock of the pool and the thread queues (enters on construction, leaves
// on destruction), the same as ZQAutoLock.
#pragma once

#include "thread/zq_auto_lock.h"

class TLockObj {
  public:
    explicit TLockObj(CriticalSection& section) : section_(section) { section_.lock(); }
    ~TLockObj() { section_.unlock(); }
    TLockObj(const TLockObj&) = delete;
    TLockObj& operator=(const TLockObj&) = delete;

  private:
    CriticalSection& section_;
};
