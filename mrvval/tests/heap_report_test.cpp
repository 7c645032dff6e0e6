// A refused string must not keep the string heap locked while its message is
// up: the error box asks the host's main thread for the task's position, and
// that thread may at the same moment be displaying a value for the viewer.
//
// This program takes the place of MRVTASK_ErrorStop (the value manager's
// reference binds to the executable's definition): while the "box" is up, a
// second thread displays a string, and the box waits a while for it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "mrvval.h"

namespace {

SystemContext* g_ctx = nullptr;
FAQ g_shown{};                    // a good string that the "viewer" displays
std::vector<bool> g_display_ran;  // one entry per box: the display finished while it was up
std::vector<std::future<void>> g_pending;

}  // namespace

extern "C" MRV_API int32_t MRVTASK_ErrorStop(uint32_t, const char*, const char*) {
  auto display = std::async(std::launch::async, [] {
    char out[MRV_MSGBUF];
    FAQ copy = g_shown;
    MRVVAL_DisplayValue(g_ctx, &copy, out);
  });
  g_display_ran.push_back(display.wait_for(std::chrono::seconds(2)) == std::future_status::ready);
  // Waited for only after the report has returned (and the lock, if it was
  // held, has been let go).
  g_pending.push_back(std::move(display));
  return 0;
}

namespace {

TEST(HeapReport, RefusedStringsReportWithoutHoldingTheHeap) {
  g_ctx = MRVVAL_Create(0);
  ASSERT_NE(g_ctx, nullptr);
  ASSERT_EQ(MRVSTR_SetByte(g_ctx, &g_shown, "shown"), 1);
  FAQ bogus = g_shown;
  bogus.word2 += 2;  // inside the text: no block starts there
  FAQ good{};
  ASSERT_EQ(MRVSTR_SetByte(g_ctx, &good, "good"), 1);

  uint16_t units[MRV_WORDBUF];
  int32_t order = 0;
  const std::vector<std::pair<const char*, std::function<int32_t()>>> ops = {
      {"GetWord", [&] { return MRVSTR_GetWord(g_ctx, &bogus, units); }},
      {"Clear", [&] { return MRVSTR_Clear(g_ctx, &bogus); }},
      {"Comp", [&] { return MRVFAQ_Comp(g_ctx, &good, &bogus, &order); }},
      {"Copy",
       [&] {
         FAQ target{};
         return MRVFAQ_Copy(g_ctx, &target, &bogus);
       }},
  };
  for (const auto& [name, op] : ops) {
    g_display_ran.clear();
    EXPECT_EQ(op(), 0) << name;
    for (auto& f : g_pending) f.wait();
    g_pending.clear();
    ASSERT_EQ(g_display_ran.size(), 1u) << name;
    EXPECT_TRUE(g_display_ran[0]) << name << ": the heap stayed locked while the box was up";
  }
  MRVFAQ_Clear(g_ctx, &good);
  MRVFAQ_Clear(g_ctx, &g_shown);
  MRVVAL_Delete(g_ctx);
}

}  // namespace
