#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/clock.h"
#include "platform/window.h"

namespace {

TEST(Threads, StartSuspendedAndReportTheirExitCode) {
  static std::atomic<int> runs{0};
  auto proc = [](void* arg) -> uint32_t {
    ++runs;
    return *static_cast<uint32_t*>(arg) + 1;
  };
  uint32_t value = 41, id = 0;
  uint32_t h = plat::thread_create(proc, &value, &id);
  ASSERT_NE(h, 0u);
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, plat::thread_current_id());
  EXPECT_FALSE(plat::thread_wait(h, 50));  // suspended: nothing runs
  EXPECT_EQ(runs.load(), 0);
  uint32_t code = 0;
  EXPECT_FALSE(plat::thread_exit_code(h, &code));
  EXPECT_TRUE(plat::thread_resume(h));
  EXPECT_TRUE(plat::thread_wait(h, ~0u));
  EXPECT_TRUE(plat::thread_exit_code(h, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_TRUE(plat::thread_close(h));
  for (uint32_t bad : {0u, h}) {
    EXPECT_FALSE(plat::thread_resume(bad));
    EXPECT_FALSE(plat::thread_wait(bad, 0));
    EXPECT_FALSE(plat::thread_close(bad));
  }
  EXPECT_EQ(plat::thread_create(nullptr, nullptr, nullptr), 0u);
}

// A thread-local object whose destructor takes its time, so that anything the
// thread leaves to its own thread-local clean-up shows while it runs.
struct SlowGoodbye {
  ~SlowGoodbye() { plat::sleep_ms(100); }
};

TEST(Threads, AnEndedThreadHasNoWindowsLeft) {
  plat::register_class("EndingThreadWin", plat::def_window_proc);
  static std::atomic<uint32_t> hwnd{0};
  uint32_t t = plat::thread_create(
      [](void*) -> uint32_t {
        hwnd = plat::create_window("EndingThreadWin", "", 0, {0, 0, 1, 1});
        thread_local SlowGoodbye slow;  // torn down before the window system's own clean-up
        (void)slow;
        return 7;
      },
      nullptr, nullptr);
  plat::thread_resume(t);
  ASSERT_TRUE(plat::thread_wait(t, 5000));
  ASSERT_NE(hwnd.load(), 0u);
  // Once the thread counts as ended its windows are gone, not some time later.
  EXPECT_FALSE(plat::is_window(hwnd));
  EXPECT_EQ(plat::find_window("EndingThreadWin"), 0u);
  plat::thread_close(t);
}

TEST(Events, NamedManualResetEventsWorkAcrossThreads) {
  uint32_t a = plat::event_create("mrv-task-3", true, false);
  uint32_t b = plat::event_create("mrv-task-3", true, true);  // opens the same one, as it is
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, a);
  EXPECT_FALSE(plat::event_wait(b, 0));
  struct Ctx {
    uint32_t ev;
    uint32_t started;
  } ctx{0, plat::event_create(nullptr, true, false)};
  ctx.ev = plat::event_create("mrv-task-3", true, false);
  uint32_t t = plat::thread_create(
      [](void* p) -> uint32_t {
        auto* c = static_cast<Ctx*>(p);
        plat::event_set(c->started);
        return plat::event_wait(c->ev, 5000) ? 1 : 0;
      },
      &ctx, nullptr);
  plat::thread_resume(t);
  ASSERT_TRUE(plat::event_wait(ctx.started, 5000));
  plat::sleep_ms(20);
  EXPECT_TRUE(plat::event_set(a));  // wakes the waiter on the other handle
  ASSERT_TRUE(plat::thread_wait(t, 5000));
  uint32_t code = 0;
  plat::thread_exit_code(t, &code);
  EXPECT_EQ(code, 1u);
  // Manual reset: stays set for every waiter until reset.
  EXPECT_TRUE(plat::event_wait(b, 0));
  EXPECT_TRUE(plat::event_wait(b, 0));
  EXPECT_TRUE(plat::event_reset(b));
  EXPECT_FALSE(plat::event_wait(a, 10));
  // An auto-reset event lets one wait through per set.
  uint32_t autoev = plat::event_create(nullptr, false, true);
  EXPECT_TRUE(plat::event_wait(autoev, 0));
  EXPECT_FALSE(plat::event_wait(autoev, 0));
  for (uint32_t h : {a, b, ctx.ev, ctx.started, autoev}) EXPECT_TRUE(plat::event_close(h));
  // With every handle closed the name is free: a new event starts afresh.
  uint32_t c = plat::event_create("mrv-task-3", true, true);
  EXPECT_TRUE(plat::event_wait(c, 0));
  plat::event_close(c);
  EXPECT_FALSE(plat::event_set(c));
  EXPECT_FALSE(plat::event_wait(c, 0));
  plat::thread_close(t);
}

TEST(Clock, TicksAdvanceWithSleep) {
  uint32_t t0 = plat::ticks_ms();
  plat::sleep_ms(30);
  uint32_t dt = plat::ticks_ms() - t0;  // unsigned difference survives the wrap
  EXPECT_GE(dt, 30u);
  EXPECT_LT(dt, 2000u);
  plat::LocalTime lt = plat::local_time();
  EXPECT_GE(lt.year, 2024);
  EXPECT_GE(lt.month, 1);
  EXPECT_LE(lt.month, 12);
  EXPECT_LE(lt.dayOfWeek, 6);
  EXPECT_LE(lt.milliseconds, 999);
}

}  // namespace
