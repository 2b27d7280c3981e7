// The container templates, the packet pool and the thread queue. The pool is process-wide, so
// the tests compare counts before and after instead of assuming a fresh pool.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "packet/containers.h"
#include "packet/packet_pool.h"
#include "packet/thread_queue.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using MMORPG::MMORPGPacket;
using testing_support::LogCapture;

struct Counted {
    explicit Counted(int* alive) : alive(alive) { ++*alive; }
    virtual ~Counted() { --*alive; }
    int* alive;
};

TEST(AList, InsertRulesAndOwnership) {
    int alive = 0;
    {
        AList<Counted> list(true, 0);
        EXPECT_EQ(list.Capacity(), 1);
        auto* a = new Counted(&alive);
        auto* b = new Counted(&alive);
        auto* c = new Counted(&alive);
        EXPECT_TRUE(list.Insert(5, a));  // empty list: appended whatever the position
        EXPECT_TRUE(list.Insert(0, b));
        auto* d = new Counted(&alive);
        EXPECT_FALSE(list.Insert(2, d));  // == count: refused
        EXPECT_FALSE(list.Insert(-1, d));
        delete d;
        list.Add(c);
        EXPECT_EQ(list.Count(), 3);
        EXPECT_EQ(list.At(0), b);
        EXPECT_EQ(list.At(1), a);
        EXPECT_EQ(list.At(2), c);
        EXPECT_EQ(list.At(3), nullptr);
        EXPECT_EQ(list.At(-1), nullptr);
        EXPECT_GE(list.Capacity(), 3);
    }
    EXPECT_EQ(alive, 0);
    AList<Counted> borrowed(false, 4);
    Counted kept(&alive);
    borrowed.Add(&kept);
    borrowed.Clear();
    EXPECT_EQ(alive, 1);
}

TEST(AIndexList, SortedUniqueKeys) {
    int alive = 0;
    AIndexList<Counted> index(true);
    for (std::uint32_t key : {50u, 10u, 30u, 0xFFFFFFFFu}) {
        EXPECT_TRUE(index.AddEx(key, new Counted(&alive)));
    }
    auto* dup = new Counted(&alive);
    EXPECT_FALSE(index.AddEx(30, dup));
    delete dup;
    EXPECT_EQ(index.Count(), 4);
    EXPECT_EQ(index.KeyAt(0), 10u);
    EXPECT_EQ(index.KeyAt(3), 0xFFFFFFFFu);
    EXPECT_NE(index.Find(30), nullptr);
    EXPECT_EQ(index.Find(31), nullptr);
    EXPECT_TRUE(index.Delete(30));
    EXPECT_FALSE(index.Delete(30));
    EXPECT_EQ(alive, 3);
    EXPECT_EQ(index.At(4), nullptr);
    index.Clear();
    EXPECT_EQ(alive, 0);
}

TEST(AQueue, BothEndsAcrossGrowth) {
    AQueue<int> q(2);
    int v[40];
    for (int i = 0; i < 40; ++i) v[i] = i;
    for (int i = 0; i < 20; ++i) q.PushBack(&v[i]);
    for (int i = 20; i < 40; ++i) q.PushFront(&v[i]);
    EXPECT_EQ(q.Count(), 40u);
    EXPECT_EQ(*q.Front(), 39);
    EXPECT_EQ(*q.Back(), 19);
    for (int i = 39; i >= 20; --i) EXPECT_EQ(*q.PopFront(), i);
    for (int i = 19; i >= 0; --i) EXPECT_EQ(*q.PopBack(), i);
    EXPECT_EQ(q.PopFront(), nullptr);
    EXPECT_EQ(q.PopBack(), nullptr);
}

TEST(PacketPool, TakeAndGiveBackLastInFirstOut) {
    MMORPGPacketPool& pool = GetPacketPool();
    EXPECT_EQ(&pool, &GetPacketPool());
    const int start = pool.InUseCount();
    MMORPGPacket* a = AllocPacket();
    MMORPGPacket* b = AllocPacket();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_TRUE(a->IsInUse());
    EXPECT_EQ(pool.InUseCount(), start + 2);
    EXPECT_GE(pool.PeakInUse(), start + 2);
    a->SetSessionID(77);
    a->ReadData(Bytes{1, 2});
    a->SetBodyOnly(true);
    FreePacket(a);
    EXPECT_FALSE(a->IsInUse());
    EXPECT_EQ(a->BodyLength(), 0u);
    EXPECT_FALSE(a->IsBodyOnly());
    MMORPGPacket* again = AllocPacket();
    EXPECT_EQ(again, a);                   // the packet given back last comes first
    EXPECT_EQ(again->GetSessionID(), 0u);  // head zeroed on taking
    FreePacket(again);
    FreePacket(b);
    EXPECT_EQ(pool.InUseCount(), start);
}

TEST(PacketPool, DoubleReturnAndStackPacketsAreRefused) {
    LogCapture log;
    MMORPGPacketPool& pool = GetPacketPool();
    const int start = pool.InUseCount();
    MMORPGPacket* a = AllocPacket();
    const int empty = pool.EmptyCount();
    const int count = pool.Count();
    FreePacket(a);
    FreePacket(a);
    EXPECT_TRUE(log.Has(kLevelError, "MMORPGPacketPool::Free  MMORPGPacket * pack is Not Used"));
    EXPECT_EQ(pool.EmptyCount(), empty + 1);  // put back once
    EXPECT_EQ(pool.Count(), count);
    EXPECT_EQ(pool.InUseCount(), start - 1);  // the refused return still counted

    MMORPG::MMORPGPacket_Stack stack;
    FreePacket(&stack);
    EXPECT_TRUE(log.Has(kLevelError, "MMORPGPacketPool::Free  MMORPGPacket * pack can't free"));
    EXPECT_EQ(pool.InUseCount(), start - 1);
    EXPECT_EQ(pool.EmptyCount(), empty + 1);

    // Back to a consistent count for the tests that follow.
    MMORPGPacket* b = AllocPacket();
    MMORPG::IncrementPacketsInUse();
    FreePacket(b);
    EXPECT_EQ(pool.InUseCount(), start);
}

TEST(PacketPool, GrowsByFiveHundredWhenEmpty) {
    MMORPGPacketPool& pool = GetPacketPool();
    const int start = pool.InUseCount();
    const int count = pool.Count();
    EXPECT_GE(count, MMORPGPacketPool::kInitialPackets);
    std::vector<MMORPGPacket*> taken;
    while (pool.EmptyCount() > 0) taken.push_back(AllocPacket());
    taken.push_back(AllocPacket());
    EXPECT_EQ(pool.Count(), count + 500);
    EXPECT_EQ(pool.EmptyCount(), 499);
    for (MMORPGPacket* p : taken) {
        ASSERT_NE(p, nullptr);
        FreePacket(p);
    }
    EXPECT_EQ(pool.InUseCount(), start);
    EXPECT_EQ(pool.EmptyCount(), pool.Count());
}

TEST(ThreadQueue, PacketPopCopiesAndReturnsToThePool) {
    MMORPGPacketPool& pool = GetPacketPool();
    const int start = pool.InUseCount();
    CThreadQueue<MMORPGPacket> queue;
    MMORPG::MMORPGPacket_Stack work;
    work.SetSessionID(5);
    EXPECT_EQ(queue.PacketPop(&work), 0);
    EXPECT_EQ(work.GetSessionID(), 5u);

    MMORPGPacket* p = AllocPacket();
    p->SetSessionID(42);
    p->SetPackType(3);
    p->ReadData(Bytes{9, 9, 9});
    p->SetLastPack(true);
    EXPECT_EQ(queue.Push(p), 1);
    EXPECT_EQ(queue.GetCount(), 1);
    EXPECT_EQ(queue.Front(), p);
    EXPECT_EQ(queue.PacketPop(&work), 1);
    EXPECT_EQ(work.GetSessionID(), 42u);
    EXPECT_EQ(work.GetPackType(), 3);
    EXPECT_EQ(Bytes(work.Body().begin(), work.Body().end()), (Bytes{9, 9, 9}));
    EXPECT_TRUE(work.IsLastPack());
    EXPECT_FALSE(p->IsInUse());
    EXPECT_EQ(queue.GetCount(), 0);
    EXPECT_EQ(pool.InUseCount(), start);
    EXPECT_EQ(queue.Pop(), nullptr);
    EXPECT_EQ(queue.Front(), nullptr);
}

TEST(ThreadQueue, DestroyingAQueueGivesItsPacketsBack) {
    LogCapture log;
    MMORPGPacketPool& pool = GetPacketPool();
    const int start = pool.InUseCount();
    {
        CThreadQueue<MMORPGPacket> queue;
        for (int i = 0; i < 10; ++i) queue.Push(AllocPacket());
        queue.Push(nullptr);  // a broken slot is logged and skipped
        EXPECT_EQ(pool.InUseCount(), start + 10);
    }
    EXPECT_EQ(pool.InUseCount(), start);
    EXPECT_TRUE(log.Has(kLevelWarn, "CThreadQueue<T>::Clear()  m_Queue->Pop()== NULL"));
}

TEST(ThreadQueue, TwoThreadsPassPacketsInOrder) {
    MMORPGPacketPool& pool = GetPacketPool();
    const int start = pool.InUseCount();
    CThreadQueue<MMORPGPacket> queue;
    constexpr std::uint32_t kPackets = 20000;
    std::thread producer([&] {
        for (std::uint32_t i = 0; i < kPackets; ++i) {
            MMORPGPacket* p = AllocPacket();
            p->SetSessionID(i);
            p->ReadData(&i, 4);
            queue.Push(p);
        }
    });
    MMORPG::MMORPGPacket_Stack work;
    std::uint32_t expected = 0;
    bool ordered = true;
    while (expected < kPackets) {
        if (queue.GetCount() > 0 && queue.PacketPop(&work) == 1) {
            std::uint32_t body = 0;
            std::memcpy(&body, work.BodyData(), 4);
            ordered = ordered && work.GetSessionID() == expected && body == expected;
            ++expected;
        } else {
            std::this_thread::yield();
        }
    }
    producer.join();
    EXPECT_TRUE(ordered);
    EXPECT_EQ(queue.GetCount(), 0);
    EXPECT_EQ(pool.InUseCount(), start);
}

TEST(PacketPool, ConcurrentTakersNeverShareAPacket) {
    MMORPGPacketPool& pool = GetPacketPool();
    const int start = pool.InUseCount();
    std::atomic<bool> shared{false};
    auto worker = [&] {
        std::vector<MMORPGPacket*> mine;
        for (int round = 0; round < 200; ++round) {
            for (int i = 0; i < 20; ++i) {
                MMORPGPacket* p = AllocPacket();
                if (p->GetTargetIndex() != 0) shared = true;
                p->SetTargetIndex(1);
                mine.push_back(p);
            }
            for (MMORPGPacket* p : mine) FreePacket(p);
            mine.clear();
        }
    };
    std::thread t1(worker), t2(worker);
    t1.join();
    t2.join();
    EXPECT_FALSE(shared);
    EXPECT_EQ(pool.InUseCount(), start);
}

}  // namespace
