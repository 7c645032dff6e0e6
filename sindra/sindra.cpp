// Sound library stand-in: every ordinal records its call, while a test has
// switched recording on, and does nothing else.
#include "sindra.h"

#include <atomic>
#include <initializer_list>
#include <mutex>
#include <vector>

namespace {

std::atomic<bool> recording{false};
std::mutex log_mutex;
std::vector<SindraCall> calls;
SindraObserver observer = nullptr;
void* observer_user = nullptr;

void record(int32_t ordinal, std::initializer_list<uint64_t> args) {
  SindraCall c{};
  c.ordinal = ordinal;
  for (uint64_t a : args) c.args[c.argc++] = a;
  SindraObserver obs;
  void* user;
  {
    std::lock_guard lock(log_mutex);
    if (recording.load(std::memory_order_relaxed)) calls.push_back(c);
    obs = observer;
    user = observer_user;
  }
  // Outside the lock, so that the observer may read the log.
  if (obs != nullptr) obs(&c, user);
}

uint64_t addr(const void* p) {
  return reinterpret_cast<uintptr_t>(p);
}

}  // namespace

extern "C" {

void sindra_ordinal_2(uint32_t data) {
  record(2, {data});
}
void sindra_ordinal_3(void) {
  record(3, {});
}
void sindra_ordinal_6(uint32_t word4, void* at264, void* at8, uint32_t word280) {
  record(6, {word4, addr(at264), addr(at8), word280});
}
void sindra_ordinal_7(void) {
  record(7, {});
}
void sindra_ordinal_25(uint32_t block) {
  record(25, {block});
}

int32_t sindra_call_count(void) {
  std::lock_guard lock(log_mutex);
  return static_cast<int32_t>(calls.size());
}

int32_t sindra_call(int32_t i, SindraCall* out) {
  std::lock_guard lock(log_mutex);
  if (i < 0 || static_cast<std::size_t>(i) >= calls.size() || out == nullptr) return 0;
  *out = calls[static_cast<std::size_t>(i)];
  return 1;
}

void sindra_record(int32_t on) {
  recording.store(on != 0, std::memory_order_relaxed);
}

void sindra_clear_calls(void) {
  std::lock_guard lock(log_mutex);
  calls.clear();
}

void sindra_set_observer(SindraObserver obs, void* user) {
  std::lock_guard lock(log_mutex);
  observer = obs;
  observer_user = user;
}

}  // extern "C"
