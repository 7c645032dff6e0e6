#include "platform/window.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/thread.h"
#include "tempdir.h"

namespace {

// What the test procedure saw, in order.
struct Seen {
  uint32_t hwnd, msg, tid;
  uintptr_t wparam;
};
std::vector<Seen> g_seen;
std::mutex g_seen_mu;

intptr_t record_proc(uint32_t hwnd, uint32_t msg, uintptr_t wparam, intptr_t lparam) {
  {
    std::lock_guard<std::mutex> lock(g_seen_mu);
    g_seen.push_back({hwnd, msg, plat::thread_current_id(), wparam});
  }
  if (msg == plat::WM_USER + 1) return static_cast<intptr_t>(wparam) * 2;
  return plat::def_window_proc(hwnd, msg, wparam, lparam);
}

class Window : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { plat::register_class("TestWin", record_proc); }
  void SetUp() override {
    std::lock_guard<std::mutex> lock(g_seen_mu);
    g_seen.clear();
  }
  static std::vector<Seen> seen(uint32_t msg) {
    std::lock_guard<std::mutex> lock(g_seen_mu);
    std::vector<Seen> r;
    for (auto& s : g_seen)
      if (s.msg == msg) r.push_back(s);
    return r;
  }
  static void pump() {
    plat::Message m;
    while (plat::peek_message(&m)) plat::dispatch_message(m);
  }
};

TEST_F(Window, SendFromAnotherThreadIsAnsweredWhileTheOwnerPumps) {
  uint32_t w = plat::create_window("testwin", "t", 0, {0, 0, 10, 10});
  ASSERT_NE(w, 0u);
  EXPECT_EQ(seen(plat::WM_CREATE).size(), 1u);
  std::atomic<intptr_t> result{-1};
  std::thread sender([&] { result = plat::send_message(w, plat::WM_USER + 1, 21, 0); });
  while (result == -1) plat::wait_message(10);
  sender.join();
  EXPECT_EQ(result, 42);
  auto calls = seen(plat::WM_USER + 1);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].tid, plat::thread_current_id());  // ran on the owner's thread
  // A send on the own thread calls the procedure directly.
  EXPECT_EQ(plat::send_message(w, plat::WM_USER + 1, 5, 0), 10);
  EXPECT_TRUE(plat::destroy_window(w));
}

TEST_F(Window, SendToAThreadThatEndsWithoutPumpingFails) {
  uint32_t ready = plat::event_create(nullptr, true, false);
  uint32_t go = plat::event_create(nullptr, true, false);
  std::atomic<uint32_t> w{0};
  std::thread owner([&] {
    w = plat::create_window("TestWin", "o", 0, {0, 0, 1, 1});
    plat::event_set(ready);
    plat::event_wait(go, ~0u);  // ends without ever pumping
  });
  ASSERT_TRUE(plat::event_wait(ready, 5000));
  std::thread sender([&] {
    plat::sleep_ms(50);
    plat::event_set(go);
  });
  EXPECT_EQ(plat::send_message(w, plat::WM_USER + 1, 1, 0), 0);  // waits, then fails
  owner.join();
  sender.join();
  EXPECT_FALSE(plat::is_window(w));  // the window went with its thread
  EXPECT_EQ(plat::send_message(w, plat::WM_USER + 1, 1, 0), 0);
  EXPECT_TRUE(seen(plat::WM_USER + 1).empty());
  plat::event_close(ready);
  plat::event_close(go);
}

// Thread-local clean-up that runs after the window system's own (it was
// constructed first) and still talks to a window of another thread.
struct LateSender {
  uint32_t target = 0;
  std::atomic<intptr_t>* result = nullptr;
  ~LateSender() {
    if (target == 0) return;
    *result = plat::send_message(target, plat::WM_USER + 1, 4, 0);
    plat::post_message(0, plat::WM_USER, 0, 0);  // to its own, long gone queue
    plat::Message m;
    while (plat::peek_message(&m)) {
    }
    EXPECT_EQ(plat::create_window("TestWin", "late", 0, {}), 0u);  // no owner to pump it
  }
};

TEST_F(Window, AThreadPastItsEndCanStillSend) {
  uint32_t w = plat::create_window("TestWin", "w", 0, {0, 0, 1, 1});
  std::atomic<intptr_t> result{-1};
  std::thread t([&] {
    thread_local LateSender late;  // before the thread has a queue
    late.target = w;
    late.result = &result;
    plat::peek_message(nullptr);  // now it has a queue, torn down before `late`
  });
  while (result == -1) plat::wait_message(10);
  t.join();
  EXPECT_EQ(result, 8);
  plat::destroy_window(w);
}

// Threads that send to each other's windows, each send relayed on through
// further windows (a send served while its own send waits), and that destroy
// the windows of others: nothing locks up and every answer comes back.
constexpr int kRelayThreads = 4;
std::atomic<uint32_t> g_relay[kRelayThreads], g_extra[kRelayThreads];

intptr_t relay_proc(uint32_t hwnd, uint32_t msg, uintptr_t hops, intptr_t next) {
  if (msg != plat::WM_USER + 3) return plat::def_window_proc(hwnd, msg, hops, next);
  if (hops == 0) return 1;
  uint32_t to = g_relay[static_cast<std::size_t>(next) % kRelayThreads];
  return 1 + plat::send_message(to, msg, hops - 1, next * 7 + 3);
}

TEST_F(Window, CrossSendsAndDestroysBetweenThreadsDoNotLockUp) {
  plat::register_class("Relay", relay_proc);
  std::atomic<int> ready{0}, finished{0}, wrong{0};
  auto run = [&](int me) {
    g_relay[me] = plat::create_window("Relay", "", 0, {});
    g_extra[me] = plat::create_window("Relay", "", 0, {});  // destroyed by a neighbour
    ++ready;
    while (ready < kRelayThreads) plat::wait_message(1);
    for (int i = 0; i < 150; ++i) {
      uint32_t to = g_relay[(me + 1 + i % (kRelayThreads - 1)) % kRelayThreads];
      if (plat::send_message(to, plat::WM_USER + 3, 3, i + me) != 4) ++wrong;
      if (i == 75 && !plat::destroy_window(g_extra[(me + 1) % kRelayThreads])) ++wrong;
    }
    ++finished;
    plat::Message m;
    while (finished < kRelayThreads)  // go on answering the others
      if (plat::wait_message(1) && plat::peek_message(&m)) plat::dispatch_message(m);
    EXPECT_FALSE(plat::is_window(g_extra[me]));
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kRelayThreads; ++t) threads.emplace_back(run, t);
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  for (auto& w : g_relay) EXPECT_FALSE(plat::is_window(w));  // went with their threads
}

TEST_F(Window, DestroyFromAnotherThreadRunsOnTheOwner) {
  uint32_t parent = plat::create_window("TestWin", "p", 0, {0, 0, 100, 100});
  uint32_t child = plat::create_window("TestWin", "c", parent, {10, 10, 20, 20});
  std::atomic<bool> done{false};
  std::thread killer([&] {
    EXPECT_TRUE(plat::destroy_window(parent));
    done = true;
  });
  while (!done) plat::wait_message(10);
  killer.join();
  EXPECT_FALSE(plat::is_window(parent));
  EXPECT_FALSE(plat::is_window(child));
  auto d = seen(plat::WM_DESTROY);
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(d[0].hwnd, parent);
  EXPECT_EQ(d[1].hwnd, child);
  for (auto& s : d) EXPECT_EQ(s.tid, plat::thread_current_id());
  EXPECT_FALSE(plat::destroy_window(parent));
}

TEST_F(Window, PostedMessagesComeInOrderThenQuit) {
  uint32_t a = plat::create_window("TestWin", "a", 0, {0, 0, 1, 1});
  uint32_t b = plat::create_window("TestWin", "b", 0, {0, 0, 1, 1});
  plat::post_message(a, plat::WM_USER + 2, 1, 0);
  plat::post_quit(7);
  plat::post_message(b, plat::WM_USER + 2, 2, 0);
  plat::post_message(a, plat::WM_USER + 2, 3, 0);
  plat::destroy_window(b);  // its waiting message is dropped
  plat::Message m;
  std::vector<uintptr_t> order;
  while (plat::peek_message(&m) && m.msg != plat::WM_QUIT) order.push_back(m.wparam);
  EXPECT_EQ(order, (std::vector<uintptr_t>{1, 3}));
  EXPECT_EQ(m.msg, plat::WM_QUIT);
  EXPECT_EQ(m.wparam, 7u);
  EXPECT_FALSE(plat::peek_message(&m));
  EXPECT_FALSE(plat::wait_message(20));
  EXPECT_FALSE(plat::post_message(b, plat::WM_USER, 0, 0));
  plat::destroy_window(a);
}

TEST_F(Window, InjectedInputReachesStateAndProcedure) {
  uint32_t w = plat::create_window("TestWin", "w", 0, {100, 50, 300, 250});
  uint32_t over = plat::create_window("TestWin", "o", 0, {150, 60, 160, 70});
  const int32_t kKey = 'Q';
  EXPECT_TRUE(plat::inject_key(w, kKey, true));
  EXPECT_EQ(plat::async_key_state(kKey) & 0x8001, 0x8001);
  EXPECT_EQ(plat::async_key_state(kKey) & 0x8001, 0x8000);  // "pressed since" is used up
  EXPECT_TRUE(plat::inject_key(w, kKey, false));
  EXPECT_EQ(plat::async_key_state(kKey), 0);
  EXPECT_EQ(plat::key_state(kKey) & 0x8000, 0);

  EXPECT_TRUE(plat::inject_mouse(w, plat::WM_LBUTTONDOWN, 55, 15));
  int32_t x, y;
  plat::cursor_pos(&x, &y);
  EXPECT_EQ(x, 155);
  EXPECT_EQ(y, 65);
  EXPECT_EQ(plat::window_from_point(x, y), over);  // the newer one is on top
  plat::minimise_window(over);
  EXPECT_TRUE(plat::is_minimised(over));
  EXPECT_EQ(plat::window_from_point(x, y), w);
  EXPECT_TRUE(plat::screen_to_client(w, &x, &y));
  EXPECT_EQ(x, 55);
  EXPECT_EQ(plat::window_from_point(99, 50), 0u);
  plat::restore_window(over);
  EXPECT_FALSE(plat::is_minimised(over));
  auto sizes = seen(plat::WM_SIZE);
  ASSERT_EQ(sizes.size(), 2u);
  EXPECT_EQ(sizes[0].wparam, plat::SIZE_MINIMIZED);
  EXPECT_EQ(sizes[1].wparam, plat::SIZE_RESTORED);
  plat::cursor_pos(&x, &y);
  EXPECT_EQ(plat::window_from_point(x, y), over);
  EXPECT_TRUE(plat::bring_to_top(w));  // the older window goes above the newer one
  EXPECT_EQ(plat::window_from_point(x, y), w);
  EXPECT_TRUE(plat::bring_to_top(over));
  EXPECT_EQ(plat::window_from_point(x, y), over);
  EXPECT_FALSE(plat::bring_to_top(0x7FFFFFFF));

  EXPECT_TRUE(plat::inject_close(w));
  pump();  // WM_CLOSE through def_window_proc destroys
  ASSERT_EQ(seen(plat::WM_KEYDOWN).size(), 1u);
  EXPECT_EQ(seen(plat::WM_KEYDOWN)[0].wparam, static_cast<uintptr_t>(kKey));
  EXPECT_EQ(seen(plat::WM_LBUTTONDOWN)[0].wparam, plat::MK_LBUTTON);
  EXPECT_FALSE(plat::is_window(w));
  plat::destroy_window(over);
}

TEST_F(Window, KeyDataCarriesTheScanCodeOfTheKeyboard) {
  uint32_t w = plat::create_window("TestWin", "w", 0, {0, 0, 10, 10});
  struct Row {
    int32_t vkey;
    uint32_t down, up;  // lParam of the key-down and the key-up message
  } rows[] = {
      {'A', 0x001E0001, 0xC01E0001},  {'0', 0x000B0001, 0xC00B0001},
      {0x0D, 0x001C0001, 0xC01C0001}, {0x25, 0x014B0001, 0xC14B0001},  // left: extended
      {0x70, 0x003B0001, 0xC03B0001}, {0xBD, 0x000C0001, 0xC00C0001},
      {0xE5, 0x00000001, 0xC0000001},  // a code without a key: no scan code
  };
  for (const Row& r : rows) {
    ASSERT_TRUE(plat::inject_key(w, r.vkey, true));
    ASSERT_TRUE(plat::inject_key(w, r.vkey, false));
    plat::Message m;
    ASSERT_TRUE(plat::peek_message(&m));
    EXPECT_EQ(static_cast<uint32_t>(m.lparam), r.down) << r.vkey;
    ASSERT_TRUE(plat::peek_message(&m));
    EXPECT_EQ(static_cast<uint32_t>(m.lparam), r.up) << r.vkey;
  }
  EXPECT_STREQ(plat::backend_name(), "headless");  // what tests run on
  plat::destroy_window(w);
}

TEST_F(Window, LookupsAndBadHandles) {
  EXPECT_FALSE(plat::register_class("TESTWIN", record_proc));  // names ignore case
  EXPECT_EQ(plat::create_window("NoSuchClass", "", 0, {}), 0u);
  EXPECT_EQ(plat::create_window("TestWin", "", 12345, {}), 0u);  // no such parent
  uint32_t w = plat::create_window("TestWin", "w", 0, {0, 0, 64, 32});
  EXPECT_EQ(plat::find_window("TESTWIN"), w);
  EXPECT_EQ(plat::window_thread(w), plat::thread_current_id());
  EXPECT_EQ(plat::set_user_data(w, 99), 0);
  EXPECT_EQ(plat::get_user_data(w), 99);
  plat::Rect r;
  ASSERT_TRUE(plat::client_rect(w, &r));
  EXPECT_EQ(r.right, 64);
  EXPECT_EQ(r.bottom, 32);
  plat::destroy_window(w);
  EXPECT_EQ(plat::find_window("TestWin"), 0u);
  for (uint32_t bad : {0u, w, 0xFFFFFFFFu}) {
    EXPECT_FALSE(plat::is_window(bad));
    EXPECT_FALSE(plat::client_rect(bad, &r));
    EXPECT_FALSE(plat::post_message(bad == 0 ? 1 : bad, 1, 0, 0));
    EXPECT_EQ(plat::send_message(bad, plat::WM_USER + 1, 1, 0), 0);
    EXPECT_FALSE(plat::inject_key(bad, 'A', true));
    EXPECT_FALSE(plat::minimise_window(bad));
    EXPECT_EQ(plat::dispatch_message({bad, plat::WM_USER + 1, 1, 0}), 0);
  }
}

TEST(SingleInstance, ASecondProcessIsRefused) {
  mrvtest::TempDir dir;
  setenv("MRV_RUNTIME_DIR", dir.path().c_str(), 1);
  ASSERT_TRUE(plat::single_instance_acquire("mrv33"));
  auto child_result = [] {
    pid_t pid = fork();
    if (pid == 0) _exit(plat::single_instance_acquire("mrv33") ? 1 : 0);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(child_result(), 0);  // held by this process
  plat::single_instance_release();
  EXPECT_EQ(child_result(), 1);  // free again
  unsetenv("MRV_RUNTIME_DIR");
}

}  // namespace
