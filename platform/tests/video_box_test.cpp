// Boxes on a display: the thread that started the graphical backend (the
// video thread, here the test's) shows every box; a box another thread
// raises waits until the video thread serves it and its answer goes back to
// that thread. On an X server of the test's own; skipped, with a message,
// only on a machine without Xvfb.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "dialog_log.h"
#include "platform/clock.h"
#include "platform/dialog.h"
#include "platform/window.h"
#include "xvfb.h"

namespace {

class VideoThreadBoxes : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v Xvfb >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "Xvfb is not installed (Debian package xvfb)";
    // One server for the process: SDL keeps its connection to the end.
    static mrvtest::Xvfb x;
    ASSERT_FALSE(x.display().empty()) << "Xvfb did not start";
    setenv("DISPLAY", x.display().c_str(), 1);
    setenv("MRV_BACKEND", "sdl", 1);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    ASSERT_STREQ(plat::backend_name(), "sdl");  // started here: this is the video thread
  }
};

// Pumps the way `wait` does until `done`, for 30 s at most.
bool pump_until(const std::function<void()>& wait, const std::atomic<bool>& done) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done.load() && std::chrono::steady_clock::now() < limit) wait();
  return done.load();
}

// Every way the video thread waits serves a box raised by another thread:
// until then the box is not shown (nothing logged) and its thread waits.
TEST_F(VideoThreadBoxes, AnotherThreadsBoxIsShownWhenTheVideoThreadServesIt) {
  struct Case {
    const char* how;
    std::function<void()> wait;
  } const cases[] = {
      {"peek_message", [] { plat::peek_message(nullptr); }},
      {"wait_message", [] { plat::wait_message(10); }},
      {"serve_sends_for", [] { plat::serve_sends_for(10); }},
  };
  for (const Case& c : cases) {
    mrvtest::DialogLog log("no");
    std::atomic<bool> answered{false};
    int32_t answer = 0;
    std::thread raiser([&] {
      answer = plat::message_box(0, "from a task", "c", plat::MB_YESNO);
      answered = true;
    });
    plat::sleep_ms(200);
    EXPECT_FALSE(answered.load()) << c.how << ": shown without the video thread";
    EXPECT_TRUE(log.boxes().empty()) << c.how;
    EXPECT_TRUE(pump_until(c.wait, answered)) << c.how;
    raiser.join();
    EXPECT_EQ(answer, plat::IDNO) << c.how;
    const auto boxes = log.boxes();
    ASSERT_EQ(boxes.size(), 1u) << c.how;
    EXPECT_EQ(boxes[0].text, "from a task");
    EXPECT_EQ(boxes[0].answer, "no");
  }
}

// The video thread sends to a window of the thread that raises a box: the
// send's wait serves the box, then the send is served; neither waits for ever.
intptr_t quiet(uint32_t, uint32_t, uintptr_t, intptr_t) {
  return 7;
}

TEST_F(VideoThreadBoxes, ABoxRaisedWhileTheVideoThreadSendsToItsRaiserIsServed) {
  ASSERT_TRUE(plat::register_class("BoxRaiser", quiet));
  mrvtest::DialogLog log("yes");
  std::atomic<uint32_t> window{0};
  std::atomic<bool> answered{false}, stop{false};
  int32_t answer = 0;
  std::thread raiser([&] {
    window = plat::create_window("BoxRaiser", "", 0, plat::Rect{0, 0, 8, 8});
    answer = plat::message_box(0, "t", "c", plat::MB_YESNO);
    answered = true;
    while (!stop.load()) plat::serve_sends_for(10);
  });
  while (window.load() == 0) plat::sleep_ms(1);
  EXPECT_EQ(plat::send_message(window, plat::WM_USER, 0, 0), 7);
  stop = true;
  raiser.join();
  EXPECT_TRUE(answered.load());
  EXPECT_EQ(answer, plat::IDYES);
  EXPECT_EQ(log.boxes().size(), 1u);
}

}  // namespace
