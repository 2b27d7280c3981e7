// Worker threads: loop states, the stop handshake, ending on -1, CPU samples, events.
#include "thread/thread_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/support/child_process.h"

namespace {

using testing_support::WaitUntil;

struct Counter {
    std::atomic<int> calls{0};
    int result = 0;
    int endAfter = 0;  // > 0: return -1 on that call
};

int CountingWorker(void* data, int) {
    auto* counter = static_cast<Counter*>(data);
    int call = ++counter->calls;
    if (counter->endAfter > 0 && call == counter->endAfter) return -1;
    return counter->result;
}

// The counters live in the fixture: workers may still call in until TearDown has ended them.
class ThreadManagerTest : public ::testing::Test {
  protected:
    void TearDown() override { ThreadManager::instance().exitAll(); }
    Counter& makeCounter(int result, int endAfter = 0) {
        Counter& c = counters_[used_++];
        c.result = result;
        c.endAfter = endAfter;
        return c;
    }
    ThreadManager& manager = ThreadManager::instance();

  private:
    Counter counters_[4];
    int used_ = 0;
};

TEST_F(ThreadManagerTest, StatesFollowTheCallbackResult) {
    Counter& sleeper = makeCounter(50);
    Counter& busy = makeCounter(0);
    manager.addThread("sleeper", CountingWorker, &sleeper);
    manager.addThread("busy", CountingWorker, &busy);
    ASSERT_EQ(manager.threadCount(), 2);
    EXPECT_EQ(manager.threadAt(0)->index(), 0);
    EXPECT_EQ(manager.threadAt(1)->index(), 1);
    EXPECT_EQ(manager.threadAt(2), nullptr);

    manager.startAll();
    ASSERT_TRUE(WaitUntil([&] { return sleeper.calls >= 3 && busy.calls >= 3; }, 5000));
    EXPECT_TRUE(WaitUntil([&] { return manager.threadAt(0)->stateText() == "Not Busy :)"; }, 2000));
    EXPECT_EQ(manager.threadAt(1)->stateText(), "Busy");

    // About 20 calls a second for a 50 ms sleep; a generous band keeps this steady on a busy box.
    int before = sleeper.calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    int inHalfSecond = sleeper.calls - before;
    EXPECT_GE(inHalfSecond, 3);
    EXPECT_LE(inHalfSecond, 11);

    manager.stopAll();
    EXPECT_EQ(manager.threadAt(0)->stateText(), "Suspended");
    EXPECT_EQ(manager.threadAt(1)->stateText(), "Suspended");
    int paused = busy.calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(busy.calls, paused);

    // A second start resumes the paused workers.
    manager.startAll();
    EXPECT_TRUE(WaitUntil([&] { return busy.calls > paused; }, 2000));
}

TEST_F(ThreadManagerTest, MinusOneEndsTheWorkerAfterExactlyThatCall) {
    Counter& worker = makeCounter(0, 3);
    manager.addThread("ender", CountingWorker, &worker);
    manager.startAll();
    ASSERT_TRUE(WaitUntil([&] { return manager.threadAt(0) == nullptr; }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(worker.calls, 3);
    ThreadRow row = ThreadManagerView::instance().row(0);
    EXPECT_FALSE(row.present);
    EXPECT_EQ(row.name, "ERROR");
}

TEST_F(ThreadManagerTest, StopAllOnWorkersNeverStartedPausesThem) {
    Counter& worker = makeCounter(1);
    manager.addThread("idle", CountingWorker, &worker);
    manager.stopAll();  // resumes, then waits for the pause: must return
    EXPECT_EQ(manager.threadAt(0)->stateText(), "Suspended");
    manager.exitAll();
    EXPECT_EQ(manager.threadCount(), 0);
}

TEST_F(ThreadManagerTest, ExitAllEndsWorkersThatNeverRan) {
    Counter& worker = makeCounter(0);
    manager.addThread("never", CountingWorker, &worker);
    manager.exitAll();
    EXPECT_EQ(manager.threadCount(), 0);
    EXPECT_EQ(worker.calls, 0);
}

TEST_F(ThreadManagerTest, CpuSharesStayZeroUntilTheSecondSample) {
    Counter& worker = makeCounter(0);
    manager.addThread("spinner", CountingWorker, &worker);
    manager.startAll();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(manager.threadAt(0)->cpuUsage(), 0);
    EXPECT_EQ(manager.threadAt(0)->kernelCpuUsage(), 0);
    // A spinning worker uses most of the process's CPU time once a second sample exists.
    EXPECT_TRUE(WaitUntil([&] { return manager.threadAt(0)->cpuUsage() > 20; }, 4000))
        << manager.threadAt(0)->cpuUsage() << " " << manager.threadAt(0)->kernelCpuUsage();
    EXPECT_LE(manager.threadAt(0)->cpuUsage(), 100);
}

TEST(ZRThreadEventTest, WaitsSignalsAndAnswersAbandonedOnceDisabled) {
    ZRThreadEvent event;
    EXPECT_EQ(event.waitFor(10), WaitResult::kTimeout);
    std::thread setter([&] { event.setEvent(); });
    EXPECT_EQ(event.waitFor(5000), WaitResult::kSignaled);
    setter.join();
    event.resetEvent();
    event.setEnabled(false);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(event.waitFor(-1), WaitResult::kAbandoned);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(ZRThreadStateText, EveryStateHasItsText) {
    const std::pair<int, const char*> cases[] = {
        {0, "Suspended"},
        {1, "Not Busy :)"},
        {2, "Busy"},
        {3, "Initing.."},
        {4, "UnIniting..."},
        {5, "Terminate!"},
        {6, "Exception Error"},
        {7, "ZRThread UnDefined State"},
        {-1, "ZRThread UnDefined State"},
    };
    for (auto [state, text] : cases) EXPECT_STREQ(ZRThreadStateText(state), text) << state;
}

}  // namespace

namespace {

// A worker that asks for long pauses still runs at once when woken, and a wake that comes
// while it works makes its next pause end at once.
TEST_F(ThreadManagerTest, WakeEndsAPauseEarly) {
    Counter& worker = makeCounter(10000);
    SingleThread& thread = manager.addThread("sleeper", CountingWorker, &worker);
    manager.startAll();
    ASSERT_TRUE(WaitUntil([&] { return worker.calls == 1; }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto start = std::chrono::steady_clock::now();
    thread.wake();
    ASSERT_TRUE(WaitUntil([&] { return worker.calls == 2; }, 5000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    // exitAll must not wait for the 10-second pause either.
    start = std::chrono::steady_clock::now();
    manager.exitAll();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
