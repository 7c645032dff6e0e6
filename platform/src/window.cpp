// The window system: classes, window records, queues and sends, the same for
// every backend; what a window looks like and where input comes from is the
// backend's (backend.h).
//
// All state sits behind one mutex. Window procedures are always called with
// the mutex released, so a procedure may call back into anything here.
// Every thread that owns a window or sends a message gets a queue; when the
// thread ends, its queue dies with it: its windows go away and any send still
// waiting for it fails instead of hanging.
#include "platform/window.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "backend.h"
#include "handles.h"
#include "internal.h"
#include "platform/clock.h"
#include "platform/profile.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace plat {
namespace {

struct Queue;

struct SendItem {
  Message m{};
  bool destroy = false;        // a destroy routed to the owning thread
  std::function<void()> call;  // else a call run by the owning thread (a box)
  intptr_t result = 0;
  bool done = false;
  std::shared_ptr<Queue> reply_to;
};

struct Queue {
  uint32_t tid = 0;
  bool alive = true;
  std::deque<Message> posted;
  std::deque<std::shared_ptr<SendItem>> sends;
  std::condition_variable cv;
  bool quit = false;
  int32_t quit_code = 0;
};

struct Window {
  std::string cls;  // upper case
  WndProc proc = nullptr;
  std::string title;
  uint32_t parent = 0;
  uint32_t tid = 0;
  intptr_t user = 0;
  Rect rect{};  // client area in screen coordinates
  bool minimised = false;
  bool dying = false;
  uint64_t z = 0;      // stacking order: the highest is on top
  bool shown = false;  // the backend shows it (on the video thread)
  bool dirty = false;  // its picture changed since the last presentation
  PaintSource paint = nullptr;
  void* paint_user = nullptr;
};

struct Class {
  WndProc proc = nullptr;
  bool shown = false;
};

struct KeyState {
  bool down = false;
  bool pressed = false;  // since the previous async query
  bool toggled = false;
};

struct State {
  std::mutex mu;
  std::map<std::string, Class> classes;
  std::map<uint32_t, Window> windows;  // ordered: creation order
  std::map<uint32_t, std::shared_ptr<Queue>> queues;
  uint32_t last_hwnd = 0xFFFF;  // the first window is 0x10000
  uint64_t last_z = 0;
  int32_t cursor_x = 0, cursor_y = 0;
  KeyState keys[256];
  uint32_t video_tid = 0;  // the thread whose windows the backend shows
  bool any_dirty = false;
};

State& st() {
  static auto* s = new State;  // never destroyed: threads may outlive statics
  return *s;
}

std::string upper(const char* s) {
  std::string r = s ? s : "";
  upper_cp932(r.data());
  return r;
}

void fail_pending(Queue& q) {
  for (auto& item : q.sends) {
    item->done = true;
    item->result = 0;
    if (item->reply_to) item->reply_to->cv.notify_all();
  }
  q.sends.clear();
}

// The calling thread's queue. It ends with the thread: explicitly before a
// platform thread counts as ended, else when its thread-locals go. After that
// the thread owns nothing; it can still send to others, but not receive.
struct QueueGuard {
  std::shared_ptr<Queue> q;
  ~QueueGuard() { end_thread_queue(); }
};
thread_local QueueGuard t_queue;
thread_local bool t_queue_ended = false;  // trivially destructible: valid to the very end

// The calling thread's queue (created on first use), or nullptr once the
// thread's queue has ended. Needs the lock.
std::shared_ptr<Queue> my_queue(State& s) {
  if (t_queue_ended) return nullptr;
  if (!t_queue.q) {
    auto q = std::make_shared<Queue>();
    q->tid = thread_current_id();
    s.queues[q->tid] = q;
    t_queue.q = q;
  }
  return t_queue.q;
}

std::shared_ptr<Queue> queue_of(State& s, uint32_t tid) {
  auto it = s.queues.find(tid);
  return it == s.queues.end() || !it->second->alive ? nullptr : it->second;
}

Window* find(State& s, uint32_t hwnd) {
  auto it = s.windows.find(hwnd);
  return it == s.windows.end() ? nullptr : &it->second;
}

void destroy_here(uint32_t hwnd);

// Runs the sends waiting in `q`, releasing the lock around each procedure.
bool serve_sends(State& s, Queue& q, std::unique_lock<std::mutex>& lock) {
  bool any = false;
  while (!q.sends.empty()) {
    auto item = q.sends.front();
    q.sends.pop_front();
    any = true;
    WndProc proc = nullptr;
    if (Window* w = find(s, item->m.hwnd)) proc = w->proc;
    lock.unlock();
    intptr_t r = 0;
    if (item->destroy) {
      destroy_here(item->m.hwnd);
      r = 1;
    } else if (item->call) {
      item->call();
      r = 1;
    } else if (proc) {
      r = proc(item->m.hwnd, item->m.msg, item->m.wparam, item->m.lparam);
    }
    lock.lock();
    item->result = r;
    item->done = true;
    if (item->reply_to) item->reply_to->cv.notify_all();
  }
  return any;
}

// Queues `item` for the thread of `owner` and waits until it has been
// served, meanwhile serving the sends addressed to this thread (two threads
// sending to each other do not lock up). Its result; 0 when the owner ended
// first.
intptr_t hand_over(State& s, Queue& owner, const std::shared_ptr<SendItem>& item,
                   std::unique_lock<std::mutex>& lock) {
  auto me = my_queue(s);
  if (!me) me = std::make_shared<Queue>();  // only to wait for the answer on
  item->reply_to = me;
  owner.sends.push_back(item);
  owner.cv.notify_all();
  while (!item->done) {
    if (serve_sends(s, *me, lock)) continue;
    me->cv.wait(lock);
  }
  return item->result;
}

// Sends to the owner of `hwnd`: directly on the own thread, otherwise queued
// for the owner.
intptr_t send(uint32_t hwnd, uint32_t msg, uintptr_t wparam, intptr_t lparam, bool destroy) {
  State& s = st();
  std::unique_lock<std::mutex> lock(s.mu);
  Window* w = find(s, hwnd);
  if (w == nullptr) return 0;
  if (w->tid == thread_current_id()) {
    WndProc proc = w->proc;
    lock.unlock();
    if (destroy) {
      destroy_here(hwnd);
      return 1;
    }
    return proc ? proc(hwnd, msg, wparam, lparam) : 0;
  }
  auto owner = queue_of(s, w->tid);
  if (!owner) return 0;
  auto item = std::make_shared<SendItem>();
  item->m = Message{hwnd, msg, wparam, lparam};
  item->destroy = destroy;
  return hand_over(s, *owner, item, lock);
}

// Destroys a window of the calling thread: WM_DESTROY to it, then its
// children, then it is gone.
void destroy_here(uint32_t hwnd) {
  State& s = st();
  WndProc proc = nullptr;
  std::vector<uint32_t> children;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    Window* w = find(s, hwnd);
    if (w == nullptr || w->dying) return;
    w->dying = true;
    proc = w->proc;
    for (auto& [h, c] : s.windows)
      if (c.parent == hwnd) children.push_back(h);
  }
  if (proc) proc(hwnd, WM_DESTROY, 0, 0);
  for (uint32_t c : children) destroy_window(c);
  bool shown;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    Window* w = find(s, hwnd);
    shown = w != nullptr && w->shown;
    s.windows.erase(hwnd);
  }
  if (shown) window_backend().destroy(hwnd);
}

// Whether `hwnd` is shown by the backend and the caller may talk to it.
bool shown_here(uint32_t hwnd) {
  State& s = st();
  std::lock_guard<std::mutex> lock(s.mu);
  Window* w = find(s, hwnd);
  return w != nullptr && w->shown && s.video_tid == thread_current_id();
}

// Reads the backend's events and presents the windows whose pictures changed.
// The paint sources are called without the lock (they take their own).
void pump_backend() {
  WindowBackend& b = window_backend();
  if (!b.graphical() || !on_video_thread()) return;
  b.pump();
  State& s = st();
  std::vector<std::pair<uint32_t, std::pair<PaintSource, void*>>> todo;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    if (!s.any_dirty) return;
    s.any_dirty = false;
    for (auto& [h, w] : s.windows) {
      if (!w.dirty || !w.shown) continue;
      w.dirty = false;
      if (w.paint != nullptr) todo.push_back({h, {w.paint, w.paint_user}});
    }
  }
  Frame f;
  for (auto& [h, src] : todo) {
    if (src.first(h, src.second, &f)) b.present(h, f);
  }
}

intptr_t size_lparam(const Rect& r) {
  auto w = static_cast<uint32_t>(r.right - r.left) & 0xFFFF;
  auto h = static_cast<uint32_t>(r.bottom - r.top) & 0xFFFF;
  return static_cast<intptr_t>(w | (h << 16));
}

bool post(uint32_t hwnd, uint32_t msg, uintptr_t wparam, intptr_t lparam) {
  State& s = st();
  std::lock_guard<std::mutex> lock(s.mu);
  std::shared_ptr<Queue> q;
  if (hwnd == 0) {
    q = my_queue(s);  // none once the thread's queue has ended
  } else {
    Window* w = find(s, hwnd);
    if (w == nullptr) return false;
    q = queue_of(s, w->tid);
  }
  if (!q) return false;
  q->posted.push_back(Message{hwnd, msg, wparam, lparam});
  q->cv.notify_all();
  return true;
}

}  // namespace

void end_thread_queue() {
  if (t_queue_ended) return;
  t_queue_ended = true;
  std::shared_ptr<Queue> q = std::move(t_queue.q);
  if (!q) return;
  State& s = st();
  std::vector<uint32_t> shown;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    q->alive = false;
    fail_pending(*q);
    for (auto& [h, w] : s.windows)
      if (w.tid == q->tid && w.shown) shown.push_back(h);
    std::erase_if(s.windows, [&](const auto& kv) { return kv.second.tid == q->tid; });
    s.queues.erase(q->tid);
  }
  for (uint32_t h : shown) window_backend().destroy(h);
}

bool register_class(const char* name, WndProc proc, bool shown) {
  if (name == nullptr || *name == '\0' || proc == nullptr) return false;
  State& s = st();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.classes.emplace(upper(name), Class{proc, shown}).second;  // a class exists once
}

uint32_t create_window(const char* class_name, const char* title, uint32_t parent, Rect rect) {
  State& s = st();
  // The first window starts the backend (SDL's video): before the lock, which
  // other threads need meanwhile.
  const bool graphical = window_backend().graphical();
  uint32_t hwnd;
  WndProc proc;
  bool show = false;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    auto it = s.classes.find(upper(class_name));
    if (it == s.classes.end()) return 0;
    if (!my_queue(s)) return 0;  // a thread past its end would own it forever
    if (parent != 0 && find(s, parent) == nullptr) return 0;
    proc = it->second.proc;
    // The backend shows the windows of one thread, the first that makes one.
    if (it->second.shown && graphical) {
      if (s.video_tid == 0) s.video_tid = thread_current_id();
      show = s.video_tid == thread_current_id();
    }
    hwnd = take_handle(s.last_hwnd, [&](uint32_t h) { return s.windows.count(h) != 0; });
    Window w;
    w.cls = it->first;
    w.proc = proc;
    w.title = title ? title : "";
    w.parent = parent;
    w.tid = thread_current_id();
    w.rect = rect;
    w.z = ++s.last_z;  // a new window is created on top
    s.windows.emplace(hwnd, std::move(w));
  }
  // A procedure that refuses WM_CREATE (-1) gets no window.
  if (proc(hwnd, WM_CREATE, 0, 0) == -1) {
    destroy_here(hwnd);
    return 0;
  }
  if (show) {
    window_backend().create(hwnd, cp932_to_utf8(title ? title : ""), rect);
    std::lock_guard<std::mutex> lock(s.mu);
    if (Window* w = find(s, hwnd)) w->shown = true;
  }
  return hwnd;
}

bool destroy_window(uint32_t hwnd) {
  if (!is_window(hwnd)) return false;
  send(hwnd, 0, 0, 0, /*destroy=*/true);
  return true;
}

intptr_t def_window_proc(uint32_t hwnd, uint32_t msg, uintptr_t, intptr_t) {
  if (msg == WM_CLOSE) destroy_window(hwnd);
  return 0;
}

bool is_window(uint32_t hwnd) {
  State& s = st();
  std::lock_guard<std::mutex> lock(s.mu);
  return find(s, hwnd) != nullptr;
}

uint32_t window_thread(uint32_t hwnd) {
  State& s = st();
  std::lock_guard<std::mutex> lock(s.mu);
  Window* w = find(s, hwnd);
  return w ? w->tid : 0;
}

uint32_t find_window(const char* class_name) {
  State& s = st();
  std::lock_guard<std::mutex> lock(s.mu);
  std::string cls = upper(class_name);
  for (auto& [h, w] : s.windows)
    if (w.cls == cls && !w.dying) return h;
  return 0;
}

intptr_t get_user_data(uint32_t hwnd) {
  State& s = st();
  std::lock_guard<std::mutex> lock(s.mu);
  Window* w = find(s, hwnd);
  return w ? w->user : 0;
}

intptr_t set_user_data(uint32_t hwnd, intptr_t value) {
  State& s = st();
  std::lock_guard<std::mutex> lock(s.mu);
  Window* w = find(s, hwnd);
  if (w == nullptr) return 0;
  intptr_t old = w->user;
  w->user = value;
  return old;
}

bool client_rect(uint32_t hwnd, Rect* out) {
  State& s = st();
  std::lock_guard<std::mutex> lock(s.mu);
  Window* w = find(s, hwnd);
  if (w == nullptr || out == nullptr) return false;
  *out = Rect{0, 0, w->rect.right - w->rect.left, w->rect.bottom - w->rect.top};
  return true;
}

bool window_rect(uint32_t hwnd, Rect* out) {
  State& s = st();
  std::lock_guard<std::mutex> lock(s.mu);
  Window* w = find(s, hwnd);
  if (w == nullptr || out == nullptr) return false;
  *out = w->rect;
  return true;
}

bool set_client_rect(uint32_t hwnd, Rect rect) {
  {
    State& s = st();
    std::lock_guard<std::mutex> lock(s.mu);
    Window* w = find(s, hwnd);
    if (w == nullptr) return false;
    w->rect = rect;
  }
  if (shown_here(hwnd)) window_backend().move(hwnd, rect);
  send(hwnd, WM_SIZE, 0, size_lparam(rect), false);
  return true;
}

bool screen_to_client(uint32_t hwnd, int32_t* x, int32_t* y) {
  State& s = st();
  std::lock_guard<std::mutex> lock(s.mu);
  Window* w = find(s, hwnd);
  if (w == nullptr || x == nullptr || y == nullptr) return false;
  *x -= w->rect.left;
  *y -= w->rect.top;
  return true;
}

static bool set_minimised(uint32_t hwnd, bool on) {
  Rect r;
  {
    State& s = st();
    std::lock_guard<std::mutex> lock(s.mu);
    Window* w = find(s, hwnd);
    if (w == nullptr) return false;
    w->minimised = on;
    r = w->rect;
  }
  if (shown_here(hwnd)) window_backend().minimise(hwnd, on);
  send(hwnd, WM_SIZE, uintptr_t{on ? SIZE_MINIMIZED : SIZE_RESTORED}, on ? 0 : size_lparam(r),
       false);
  return true;
}

bool minimise_window(uint32_t hwnd) {
  return set_minimised(hwnd, true);
}
bool restore_window(uint32_t hwnd) {
  return set_minimised(hwnd, false);
}

bool is_minimised(uint32_t hwnd) {
  State& s = st();
  std::lock_guard<std::mutex> lock(s.mu);
  Window* w = find(s, hwnd);
  return w && w->minimised;
}

bool bring_to_top(uint32_t hwnd) {
  State& s = st();
  std::lock_guard<std::mutex> lock(s.mu);
  Window* w = find(s, hwnd);
  if (w == nullptr) return false;
  w->z = ++s.last_z;
  if (w->shown && s.video_tid == thread_current_id()) window_backend().raise(hwnd);
  return true;
}

bool post_message(uint32_t hwnd, uint32_t msg, uintptr_t wparam, intptr_t lparam) {
  return post(hwnd, msg, wparam, lparam);
}

bool post_quit(int32_t code) {
  State& s = st();
  std::lock_guard<std::mutex> lock(s.mu);
  auto q = my_queue(s);
  if (!q) return false;
  q->quit = true;
  q->quit_code = code;
  q->cv.notify_all();
  return true;
}

intptr_t send_message(uint32_t hwnd, uint32_t msg, uintptr_t wparam, intptr_t lparam) {
  return send(hwnd, msg, wparam, lparam, false);
}

bool peek_message(Message* out) {
  pump_backend();
  State& s = st();
  std::unique_lock<std::mutex> lock(s.mu);
  auto q = my_queue(s);
  if (!q) return false;
  serve_sends(s, *q, lock);
  while (!q->posted.empty()) {
    Message m = q->posted.front();
    q->posted.pop_front();
    if (m.hwnd != 0 && find(s, m.hwnd) == nullptr) continue;  // its window is gone
    if (out) *out = m;
    return true;
  }
  if (q->quit) {
    q->quit = false;
    if (out) *out = Message{0, WM_QUIT, static_cast<uintptr_t>(q->quit_code), 0};
    return true;
  }
  return false;
}

bool wait_message(uint32_t timeout_ms) {
  // The video thread also waits for the backend's events: it looks for them
  // every 10 ms (an event from the display cannot wake the condition).
  const bool video = window_backend().graphical() && on_video_thread();
  pump_backend();
  State& s = st();
  std::unique_lock<std::mutex> lock(s.mu);
  auto q = my_queue(s);
  if (!q) return false;  // nothing can arrive any more
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (serve_sends(s, *q, lock)) return true;
    if (!q->posted.empty() || q->quit) return true;
    if (video) {
      auto slice = std::chrono::steady_clock::now() + std::chrono::milliseconds(10);
      if (timeout_ms != ~0u && deadline < slice) slice = deadline;
      q->cv.wait_until(lock, slice);
      lock.unlock();
      pump_backend();
      lock.lock();
      if (timeout_ms != ~0u && std::chrono::steady_clock::now() >= deadline && q->sends.empty() &&
          q->posted.empty() && !q->quit)
        return false;
    } else if (timeout_ms == ~0u)
      q->cv.wait(lock);
    else if (q->cv.wait_until(lock, deadline) == std::cv_status::timeout && q->sends.empty() &&
             q->posted.empty() && !q->quit)
      return false;
  }
}

intptr_t dispatch_message(const Message& m) {
  WndProc proc = nullptr;
  {
    State& s = st();
    std::lock_guard<std::mutex> lock(s.mu);
    if (Window* w = find(s, m.hwnd)) proc = w->proc;
  }
  return proc ? proc(m.hwnd, m.msg, m.wparam, m.lparam) : 0;
}

void cursor_pos(int32_t* x, int32_t* y) {
  State& s = st();
  std::lock_guard<std::mutex> lock(s.mu);
  if (x) *x = s.cursor_x;
  if (y) *y = s.cursor_y;
}

void set_cursor_pos(int32_t x, int32_t y) {
  State& s = st();
  std::lock_guard<std::mutex> lock(s.mu);
  s.cursor_x = x;
  s.cursor_y = y;
}

uint32_t window_from_point(int32_t x, int32_t y) {
  State& s = st();
  std::lock_guard<std::mutex> lock(s.mu);
  // New windows go on top (children are created after their parents), and
  // bring_to_top lifts one above the others.
  uint32_t top = 0;
  uint64_t top_z = 0;
  for (const auto& [h, w] : s.windows) {
    if (!w.minimised && !w.dying && x >= w.rect.left && x < w.rect.right && y >= w.rect.top &&
        y < w.rect.bottom && w.z > top_z) {
      top = h;
      top_z = w.z;
    }
  }
  return top;
}

int16_t async_key_state(int32_t vkey) {
  if (vkey < 0 || vkey > 255) return 0;
  State& s = st();
  std::lock_guard<std::mutex> lock(s.mu);
  KeyState& k = s.keys[vkey];
  int r = (k.down ? 0x8000 : 0) | (k.pressed ? 1 : 0);
  k.pressed = false;
  return static_cast<int16_t>(r);
}

int16_t key_state(int32_t vkey) {
  if (vkey < 0 || vkey > 255) return 0;
  State& s = st();
  std::lock_guard<std::mutex> lock(s.mu);
  const KeyState& k = s.keys[vkey];
  return static_cast<int16_t>((k.down ? 0x8000 : 0) | (k.toggled ? 1 : 0));
}

bool inject_key(uint32_t hwnd, int32_t vkey, bool down) {
  if (vkey < 0 || vkey > 255 || !is_window(hwnd)) return false;
  bool repeat;
  {
    State& s = st();
    std::lock_guard<std::mutex> lock(s.mu);
    KeyState& k = s.keys[vkey];
    repeat = down && k.down;
    if (down && !k.down) k.toggled = !k.toggled;
    if (down) k.pressed = true;
    k.down = down;
  }
  // lParam as Windows builds it: repeat count 1, scan code and extended flag,
  // previous state bit 30, transition bit 31.
  uint32_t lp = 1u | key_data_scan(vkey) | (repeat || !down ? 1u << 30 : 0) | (down ? 0 : 1u << 31);
  return post(hwnd, down ? WM_KEYDOWN : WM_KEYUP, static_cast<uintptr_t>(vkey),
              static_cast<intptr_t>(lp));
}

bool inject_mouse(uint32_t hwnd, uint32_t msg, int32_t x, int32_t y) {
  if (msg < WM_MOUSEMOVE || msg > WM_RBUTTONDBLCLK) return false;
  uintptr_t buttons;
  {
    State& s = st();
    std::lock_guard<std::mutex> lock(s.mu);
    Window* w = find(s, hwnd);
    if (w == nullptr) return false;
    s.cursor_x = w->rect.left + x;
    s.cursor_y = w->rect.top + y;
    const bool ldown = msg == WM_LBUTTONDOWN || msg == WM_LBUTTONDBLCLK;
    const bool rdown = msg == WM_RBUTTONDOWN || msg == WM_RBUTTONDBLCLK;
    if (ldown || msg == WM_LBUTTONUP) s.keys[1].down = ldown;
    if (rdown || msg == WM_RBUTTONUP) s.keys[2].down = rdown;
    if (ldown) s.keys[1].pressed = true;
    if (rdown) s.keys[2].pressed = true;
    buttons =
        (s.keys[1].down ? uintptr_t{MK_LBUTTON} : 0) | (s.keys[2].down ? uintptr_t{MK_RBUTTON} : 0);
  }
  auto lp = static_cast<intptr_t>((static_cast<uint32_t>(x) & 0xFFFF) |
                                  ((static_cast<uint32_t>(y) & 0xFFFF) << 16));
  return post(hwnd, msg, buttons, lp);
}

bool inject_close(uint32_t hwnd) {
  return post(hwnd, WM_CLOSE, 0, 0);
}

bool set_paint_source(uint32_t hwnd, PaintSource source, void* user) {
  State& s = st();
  std::lock_guard<std::mutex> lock(s.mu);
  Window* w = find(s, hwnd);
  if (w == nullptr) return false;
  w->paint = source;
  w->paint_user = user;
  w->dirty = s.any_dirty = source != nullptr;
  return true;
}

void invalidate_window(uint32_t hwnd) {
  State& s = st();
  std::lock_guard<std::mutex> lock(s.mu);
  if (Window* w = find(s, hwnd); w != nullptr && w->shown) w->dirty = s.any_dirty = true;
}

const char* backend_name() {
  return window_backend().name();
}

bool on_video_thread() {
  State& s = st();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.video_tid != 0 && s.video_tid == thread_current_id();
}

void claim_video_thread() {
  State& s = st();
  std::lock_guard<std::mutex> lock(s.mu);
  if (s.video_tid == 0 && my_queue(s)) s.video_tid = thread_current_id();
}

VideoCall call_on_video_thread(std::function<void()> fn) {
  State& s = st();
  std::unique_lock<std::mutex> lock(s.mu);
  if (s.video_tid == 0 || s.video_tid == thread_current_id()) return VideoCall::kCallerRuns;
  auto video = queue_of(s, s.video_tid);
  if (!video) return VideoCall::kGone;
  auto item = std::make_shared<SendItem>();
  item->call = std::move(fn);
  return hand_over(s, *video, item, lock) != 0 ? VideoCall::kDone : VideoCall::kGone;
}

void serve_sends_for(uint32_t ms) {
  State& s = st();
  std::unique_lock<std::mutex> lock(s.mu);
  auto q = my_queue(s);
  if (!q) {
    lock.unlock();
    sleep_ms(ms);
    return;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  do serve_sends(s, *q, lock);
  while (q->cv.wait_until(lock, deadline) != std::cv_status::timeout);
  serve_sends(s, *q, lock);
}

// What a person does reaches the window as injected input does.
void input_key(uint32_t hwnd, int32_t vkey, bool down) {
  inject_key(hwnd, vkey, down);
}
void input_mouse(uint32_t hwnd, uint32_t msg, int32_t x, int32_t y) {
  inject_mouse(hwnd, msg, x, y);
}
void input_close(uint32_t hwnd) {
  inject_close(hwnd);
}

void input_placed(uint32_t hwnd, Rect client) {
  bool resized;
  {
    State& s = st();
    std::lock_guard<std::mutex> lock(s.mu);
    Window* w = find(s, hwnd);
    if (w == nullptr) return;
    const Rect& o = w->rect;
    resized = client.right - client.left != o.right - o.left ||
              client.bottom - client.top != o.bottom - o.top;
    w->rect = client;
  }
  if (resized) send(hwnd, WM_SIZE, SIZE_RESTORED, size_lparam(client), false);
}

void input_minimised(uint32_t hwnd, bool on) {
  Rect r;
  {
    State& s = st();
    std::lock_guard<std::mutex> lock(s.mu);
    Window* w = find(s, hwnd);
    if (w == nullptr || w->minimised == on) return;  // the title did it itself
    w->minimised = on;
    r = w->rect;
  }
  send(hwnd, WM_SIZE, uintptr_t{on ? SIZE_MINIMIZED : SIZE_RESTORED}, on ? 0 : size_lparam(r),
       false);
}

void input_focus(uint32_t hwnd, bool on) {
  {
    State& s = st();
    std::lock_guard<std::mutex> lock(s.mu);
    Window* w = find(s, hwnd);
    if (w == nullptr) return;
    if (on) w->z = ++s.last_z;
  }
  post(hwnd, WM_ACTIVATE, on ? WA_ACTIVE : WA_INACTIVE, 0);
}

void input_exposed(uint32_t hwnd) {
  invalidate_window(hwnd);
}

// The lock file lives in the per-user runtime directory and is held with
// flock for the life of the process (the kernel drops it when the process
// ends, however it ends).
namespace {
struct InstanceLock {
  std::mutex mu;
  std::map<std::string, int> fds;
  pid_t pid = 0;  // a forked child holds nothing of its parent's
};
InstanceLock& instance_lock() {
  static auto* l = new InstanceLock;
  return *l;
}
}  // namespace

std::string runtime_dir() {
  std::string dir;
  if (const char* r = std::getenv("MRV_RUNTIME_DIR"); r && *r) {
    dir = r;
  } else if (const char* x = std::getenv("XDG_RUNTIME_DIR"); x && *x) {
    dir = std::string(x) + "/mrv33";
  } else {
    const char* t = std::getenv("TMPDIR");
    dir = std::string(t && *t ? t : "/tmp") + "/mrv33-" + std::to_string(getuid());
  }
  return dir;
}

bool single_instance_acquire(const char* name) {
  std::string n = name && *name ? name : "mrv33";
  for (char& c : n)
    if (c == '/' || c == '\\') c = '_';
  InstanceLock& l = instance_lock();
  std::lock_guard<std::mutex> lock(l.mu);
  if (l.pid != getpid()) {
    for (auto& [k, fd] : l.fds) close(fd);
    l.fds.clear();
    l.pid = getpid();
  }
  if (l.fds.count(n)) return true;
  if (!private_dir(runtime_dir(), true, nullptr)) return false;
  std::string path = runtime_dir() + "/" + n + ".lock";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return false;
  }
  l.fds.emplace(n, fd);
  return true;
}

void single_instance_release() {
  InstanceLock& l = instance_lock();
  std::lock_guard<std::mutex> lock(l.mu);
  if (l.pid == getpid())
    for (auto& [k, fd] : l.fds) close(fd);
  l.fds.clear();
}

}  // namespace plat
