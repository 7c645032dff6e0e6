// Threads that start suspended, and events with names shared in the process.
#include "platform/thread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "handles.h"
#include "internal.h"

namespace plat {
namespace {

std::atomic<uint32_t> g_next_id{1};
thread_local uint32_t t_id = 0;

struct Thread {
  std::mutex mu;
  std::condition_variable cv;
  bool resumed = false;
  bool ended = false;
  uint32_t code = 0;
  uint32_t id = 0;
};

HandleTable<Thread>& threads() {
  static auto* t = new HandleTable<Thread>(0x1000);
  return *t;
}

// Waits on `cv` until `done()` holds or `timeout_ms` (~0u: forever) passes.
template <typename Done>
bool wait_for(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, uint32_t timeout_ms,
              Done done) {
  if (timeout_ms == ~0u) {
    cv.wait(lock, done);
    return true;
  }
  return cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), done);
}

struct Event {
  std::mutex mu;
  std::condition_variable cv;
  bool manual = true;
  bool signalled = false;
};

struct Events {
  std::mutex mu;
  std::unordered_map<std::string, std::weak_ptr<Event>> named;
  HandleTable<Event> handles{0x2000};
};

Events& events() {
  static auto* e = new Events;
  return *e;
}

}  // namespace

uint32_t thread_current_id() {
  if (t_id == 0) t_id = g_next_id.fetch_add(1);
  return t_id;
}

uint32_t thread_create(ThreadProc proc, void* arg, uint32_t* id) {
  if (proc == nullptr) return 0;
  auto t = std::make_shared<Thread>();
  t->id = g_next_id.fetch_add(1);
  try {
    std::thread([t, proc, arg] {
      t_id = t->id;
      {
        std::unique_lock<std::mutex> lock(t->mu);
        t->cv.wait(lock, [&] { return t->resumed; });
      }
      uint32_t code = proc(arg);
      end_thread_queue();  // whoever sees the thread ended sees its windows gone
      std::lock_guard<std::mutex> lock(t->mu);
      t->code = code;
      t->ended = true;
      t->cv.notify_all();
    }).detach();
  } catch (...) {
    return 0;
  }
  if (id != nullptr) *id = t->id;
  return threads().add(t);
}

bool thread_resume(uint32_t h) {
  auto t = threads().get(h);
  if (!t) return false;
  std::lock_guard<std::mutex> lock(t->mu);
  t->resumed = true;
  t->cv.notify_all();
  return true;
}

bool thread_wait(uint32_t h, uint32_t timeout_ms) {
  auto t = threads().get(h);
  if (!t) return false;
  std::unique_lock<std::mutex> lock(t->mu);
  return wait_for(lock, t->cv, timeout_ms, [&] { return t->ended; });
}

bool thread_exit_code(uint32_t h, uint32_t* code) {
  auto t = threads().get(h);
  if (!t) return false;
  std::lock_guard<std::mutex> lock(t->mu);
  if (!t->ended) return false;
  if (code != nullptr) *code = t->code;
  return true;
}

bool thread_close(uint32_t h) {
  return threads().remove(h) != nullptr;
}

uint32_t event_create(const char* name, bool manual_reset, bool initial) {
  Events& ev = events();
  std::lock_guard<std::mutex> lock(ev.mu);
  std::shared_ptr<Event> e;
  if (name != nullptr && *name != '\0') {
    auto it = ev.named.find(name);
    if (it != ev.named.end()) e = it->second.lock();  // an open name: same event, as is
    if (!e) {
      e = std::make_shared<Event>();
      e->manual = manual_reset;
      e->signalled = initial;
      ev.named[name] = e;
    }
  } else {
    e = std::make_shared<Event>();
    e->manual = manual_reset;
    e->signalled = initial;
  }
  return ev.handles.add(e);
}

bool event_set(uint32_t h) {
  auto e = events().handles.get(h);
  if (!e) return false;
  std::lock_guard<std::mutex> lock(e->mu);
  e->signalled = true;
  if (e->manual)
    e->cv.notify_all();
  else
    e->cv.notify_one();
  return true;
}

bool event_reset(uint32_t h) {
  auto e = events().handles.get(h);
  if (!e) return false;
  std::lock_guard<std::mutex> lock(e->mu);
  e->signalled = false;
  return true;
}

bool event_wait(uint32_t h, uint32_t timeout_ms) {
  auto e = events().handles.get(h);
  if (!e) return false;
  std::unique_lock<std::mutex> lock(e->mu);
  if (!wait_for(lock, e->cv, timeout_ms, [&] { return e->signalled; })) return false;
  if (!e->manual) e->signalled = false;
  return true;
}

bool event_close(uint32_t h) {
  Events& ev = events();
  std::lock_guard<std::mutex> lock(ev.mu);
  if (ev.handles.remove(h) == nullptr) return false;
  // Forget the names whose last handle is gone.
  std::erase_if(ev.named, [](const auto& kv) { return kv.second.expired(); });
  return true;
}

}  // namespace plat
