// Tasks: the 20 task slots, the hand-over of the single execution turn, the
// host's turn, waiting, and the path from a scenario name to running code.
//
// Every task is a fiber with a stack of its own; all of them run on one
// executor thread, started with the first task. A hand-over is a direct switch
// from the giving fiber to the receiving one (the baton protocol of events and
// waits, without the threads). The executor thread's own context runs only
// while no task is live: it waits there for the host to start one.
//
// When every live task waits for time or for the host (MRVEXEC_IdleTask), the
// task that holds the turn sleeps for all of them until the earliest deadline
// or MRVEXEC_Wake, so a waiting title uses no core.
#include <bit>
#if defined(BOOST_USE_ASAN)
#include <sanitizer/asan_interface.h>
#endif
#if defined(MRV_TSAN)
#include <sanitizer/tsan_interface.h>
#endif
#include <boost/context/fiber.hpp>
#include <boost/context/protected_fixedsize_stack.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "internal.h"
#include "mrvcode.h"
#include "mrvfile.h"
#include "platform/clock.h"
#include "platform/memory.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "platform/window.h"

namespace ctxlib = boost::context;

namespace mrvexec {
namespace {

// A task stack holds the deepest code the compiler accepts, compiled and run
// in the task (nested blocks are nested calls); pages are committed on touch.
#if defined(BOOST_USE_ASAN)
constexpr std::size_t kStackSize = 256u << 20;  // sanitizer frames are several times larger
#else
constexpr std::size_t kStackSize = 64u << 20;
#endif

// ThreadSanitizer is told of every switch between fibers (Debian's Boost does
// not annotate them): each task has a fiber of its own for it, made with the
// task and dropped when the task has ended. Nothing without MRV_TSAN.
#if defined(MRV_TSAN)
void* tsan_fiber_new() {
  return __tsan_create_fiber(0);
}
void* tsan_fiber_current() {
  return __tsan_get_current_fiber();
}
void tsan_switch(void* fiber) {
  __tsan_switch_to_fiber(fiber, 0);  // 0: the switch orders what came before it
}
void tsan_fiber_drop(void* fiber) {
  if (fiber != nullptr) __tsan_destroy_fiber(fiber);
}
#else
constexpr void* tsan_fiber_new() {
  return nullptr;
}
constexpr void* tsan_fiber_current() {
  return nullptr;
}
constexpr void tsan_switch(void*) {}
constexpr void tsan_fiber_drop(void*) {}
#endif

constexpr int kFromMain = -2;       // the executor's own context switched
constexpr int kFromEnded = -3;      // a task ended: nothing to keep
constexpr int kFromAbandoned = -1;  // a task of a deleted context parked for good

// Bits of a session's attention word.
constexpr uint32_t kDoomed = 1;
constexpr uint32_t kHandOverCalls = 2;

// Argument cells of one task: chunks of frames that never move.
constexpr int kCellsPerCall = MRV_FRAME_CELLS + 1;
constexpr int kCallsPerChunk = 64;

struct CellStack {
  std::vector<FAQ*> chunks;
  int depth = 0;  // calls in progress
};

// Command functions found before, by call site; the names are kept so that
// another call site at the same address (code freed and allocated again)
// does not take a wrong entry.
struct CachedCall {
  const char* site = nullptr;
  Command fn = nullptr;
  char lib[MRVCODE_MAX_NAME + 1] = {};
  char cmd[MRVCODE_MAX_NAME + 1] = {};
};
constexpr std::size_t kCallCache = 512;

// The tasks of one context while it runs: their suspended fibers and what the
// scheduler knows about their waits.
struct Session {
  SystemContext* ctx = nullptr;
  // Guarded by the executor's lock: a start of the host waits in the queue
  // (queued) or the executor runs this session's tasks (active). A host
  // start joins the rotation while either holds, else it queues a start.
  bool queued = false;
  bool active = false;
  // What the task that runs attends to at its next hand-over or nap:
  // kDoomed, set under the executor's lock when the context is deleted (it
  // stops there and the executor never comes back into this session, every
  // task abandoned), and kHandOverCalls, calls of the host's waiting in
  // `hostCalls`. One word, so that a hand-over looks at one word for both.
  std::atomic<uint32_t> attention{0};
  std::mutex calls_mu;  // guards hostCalls
  std::vector<std::pair<MRVEXEC_HandOverCall, std::pair<int32_t, int32_t>>> hostCalls;
  ctxlib::fiber fibers[MRV_TASKS];
  void* tsan[MRV_TASKS] = {};  // the tasks' fibers as ThreadSanitizer knows them
  CellStack cells[MRV_TASKS];
  bool idle[MRV_TASKS] = {};  // waiting in MRVEXEC_IdleTask
  uint32_t deadline[MRV_TASKS] = {};
  bool timed[MRV_TASKS] = {};
  std::mutex mu;  // guards woken
  std::condition_variable cv;
  bool woken = false;
  CachedCall calls[kCallCache];
  const void* running[MRV_TASKS] = {};  // the decoded call each task runs (decode.cpp)
  // Bit n set while taskThread[n] is non-zero: the rotation finds the next
  // live task with one bit scan instead of reading 19 slots.
  std::atomic<uint32_t> live{0};
  // Set by MRVEXEC_Closing under the executor's lock: every task started from
  // then on is told to end.
  bool closing = false;
};

// Marks slot t live (handle non-zero) or free, in the context and the mask.
// Both are gates: a new slot's fields (its fiber, file name and flags) are
// written before it is published, and read after it is seen live.
void set_slot(Session* s, int t, uint32_t handle) {
  mrv::store_gate(s->ctx->taskThread[t], handle);
  if (handle != 0) {
    s->live.fetch_or(1u << t, std::memory_order_release);
  } else {
    s->live.fetch_and(~(1u << t), std::memory_order_relaxed);
  }
}

std::size_t call_slot(const char* site) {
  return (reinterpret_cast<uintptr_t>(site) >> 2) % kCallCache;
}

// The executor thread and the sessions it serves.
struct Executor {
  std::mutex mu;  // guards the fields below up to `started`, and sessions' queued and active
  std::condition_variable cv;      // a start was queued
  std::condition_variable parked;  // a session's tasks stopped running (active cleared)
  std::deque<std::pair<std::shared_ptr<Session>, int>> starts;
  std::vector<std::shared_ptr<Session>> sessions;   // by context, the newest last
  std::vector<std::shared_ptr<Session>> abandoned;  // contexts deleted under live tasks
  bool started = false;  // the executor thread runs (for the rest of the process)
  std::atomic<uint32_t> threadId{0};
  // Used on the executor thread only.
  ctxlib::fiber main;
  void* tsanMain = nullptr;   // the executor's own context for ThreadSanitizer
  void* tsanEnded = nullptr;  // an ended task's, dropped by whoever it switched to
  int from = kFromMain;       // who switched last; its continuation arrives with the switch
  std::vector<ctxlib::fiber> graveyard;  // fibers of deleted contexts, never resumed
  uint32_t nextHandle = 0;
};

// Lives as long as the process (fibers may outlive main); made at load time,
// so the hand-over reads it without a guard.
Executor* const g_executor = new Executor;

Executor& executor() {
  return *g_executor;
}

// Publishes the new task t with a fresh handle; told to end at its first
// statement when the host has begun closing. Under the executor's lock, as
// MRVEXEC_Closing sets `closing`: either the host sees the new task live
// after that, or the task sees the close.
void publish_locked(Executor& e, Session* s, int t) {
  uint32_t handle;
  do handle = ++e.nextHandle;
  while (handle == 0);
  set_slot(s, t, handle);
  if (s->closing) set_flags(s->ctx->taskFlags[t], TASK_END);
}

// Set on the executor thread while a task runs. The library is linked by the
// programs, so its thread-local word can live in the static block: reading
// it is one instruction instead of a call.
__attribute__((tls_model("initial-exec"))) thread_local Session* tls_session = nullptr;

// The context's session; the executor's lock is held.
std::shared_ptr<Session> session_locked(Executor& e, const SystemContext* ctx) {
  for (auto it = e.sessions.rbegin(); it != e.sessions.rend(); ++it) {
    if ((*it)->ctx == ctx) return *it;
  }
  return nullptr;
}

// The session of ctx for the caller: the running task's own (alive while the
// executor runs in it), else the context's, which `held` keeps alive.
Session* session_of(SystemContext* ctx, std::shared_ptr<Session>& held) {
  if (tls_session != nullptr && tls_session->ctx == ctx) return tls_session;
  Executor& e = executor();
  std::lock_guard<std::mutex> lock(e.mu);
  held = session_locked(e, ctx);
  return held.get();
}

// Takes the continuation of whoever switched to this fiber.
void receive(Session* s, ctxlib::fiber&& from) {
  Executor& e = executor();
  tsan_fiber_drop(std::exchange(e.tsanEnded, nullptr));
  if (e.from == kFromMain) {
    e.main = std::move(from);
  } else if (e.from >= 0) {
    s->fibers[e.from] = std::move(from);
  }
}

// Never returns: the context is being deleted, so this task is left where it
// stands, without another look at the context, and the executor's own
// context takes over.
[[noreturn]] void abandon() {
  Executor& e = executor();
  e.from = kFromAbandoned;
  tls_session = nullptr;
  for (;;) {
    tsan_switch(e.tsanMain);
    ctxlib::fiber c = std::move(e.main).resume();
    // Nothing resumes an abandoned fiber; if it ever happens, go back.
    e.main = std::move(c);
  }
}

// Runs the calls the host asked for, where no task of the session runs
// beside them.
void run_hand_over_calls(Session* s) {
  decltype(s->hostCalls) calls;
  {
    std::lock_guard<std::mutex> lock(s->calls_mu);
    calls.swap(s->hostCalls);
    s->attention.fetch_and(~kHandOverCalls, std::memory_order_relaxed);
  }
  for (const auto& [fn, args] : calls) fn(s->ctx, args.first, args.second);
}

[[gnu::noinline]] void attend(Session* s) {
  if (s->attention.load(std::memory_order_acquire) & kDoomed) abandon();
  run_hand_over_calls(s);
}

// Called where a task stops (hand-over, nap) before it reads the context
// again: abandons it when its context is being deleted, and runs the host's
// calls.
[[gnu::always_inline]] inline void stop_if_doomed(Session* s) {
  if (s->attention.load(std::memory_order_acquire) != 0) [[unlikely]]
    attend(s);
}

// Switches from task `me` (kFromMain, kFromEnded) to the suspended fiber of
// task j and returns when some task switches back.
[[gnu::always_inline]] inline void switch_to(Session* s, int me, int j) {
  Executor& e = executor();
  e.from = me;
  tsan_switch(s->tsan[j]);
  ctxlib::fiber c = std::move(s->fibers[j]).resume();
  receive(s, std::move(c));
  stop_if_doomed(s);
}

// The next live task after `me` in the rotation (me + 1, ..., 19, 0, ...),
// or -1.
int next_live(const Session* s, int me) {
  const uint32_t others = s->live.load(std::memory_order_acquire) & ~(1u << me);
  if (others == 0) return -1;
  const uint32_t after = others >> (me + 1);  // me + 1 <= 20: the shift is defined
  return after != 0 ? me + 1 + std::countr_zero(after) : std::countr_zero(others);
}

void free_cells(SystemContext* ctx, CellStack& cs) {
  for (FAQ* chunk : cs.chunks) MRVTASK_FreeMemory(ctx->hwndMain, chunk);
  cs.chunks.clear();
  cs.depth = 0;
}

// The body of every task: runs its scenario file, tidies up, frees the slot
// and passes the turn on. Returns the fiber to switch to.
ctxlib::fiber task_body(Session* s, ctxlib::fiber&& caller) {
  tls_session = s;
  receive(s, std::move(caller));
  stop_if_doomed(s);
  SystemContext* ctx = s->ctx;
  debug_task_begins(ctx, ctx->currentTask);
  const int32_t r = MRVEXEC_File(ctx, ctx->taskFile[ctx->currentTask]);
  (void)r;  // the exit code of the task: nobody reads it
  const int me = ctx->currentTask;
  debug_task_ends(ctx, me);
  while (MRVVAL_GetLocal(ctx, me)->base > 0) MRVVAL_DeleteLocal(ctx, me);
  if (ctx->superTask == me) ctx->superTask = -1;
  MRVVAL_Clear(ctx, &ctx->systemVars, 180 + me);
  free_cells(ctx, s->cells[me]);
  Executor& e = executor();
  e.tsanEnded = std::exchange(s->tsan[me], nullptr);
  e.from = kFromEnded;
  int j = next_live(s, me);
  if (j >= 0) set_slot(s, me, 0);
  if (j < 0) {
    // The last task: whether the host's start of a moment ago joined the
    // rotation or the executor leaves the session is decided under the lock
    // that the host's start takes. The slot is freed under it too: a host
    // start into this very slot would otherwise join a rotation that is
    // about to end, and never run.
    run_hand_over_calls(s);
    {
      std::lock_guard<std::mutex> lock(e.mu);
      set_slot(s, me, 0);
      j = next_live(s, me);
      if (j < 0) {
        // A call asked for since is made before the host may delete the
        // context, seeing no task run.
        if (s->attention.load(std::memory_order_relaxed) & kHandOverCalls) run_hand_over_calls(s);
        s->active = false;
        e.parked.notify_all();
      }
    }
    if (j < 0) {
      tls_session = nullptr;
      tsan_switch(e.tsanMain);
      return std::move(e.main);
    }
  }
  ctx->currentTask = j;
  tsan_switch(s->tsan[j]);
  return std::move(s->fibers[j]);
}

// The executor thread: starts the tasks the host asks for and waits while
// none is live.
uint32_t executor_loop(void*) {
  Executor& e = executor();
  e.tsanMain = tsan_fiber_current();
  for (;;) {
    std::shared_ptr<Session> s;
    int t;
    {
      std::unique_lock<std::mutex> lock(e.mu);
      e.cv.wait(lock, [&] { return !e.starts.empty(); });
      s = std::move(e.starts.front().first);
      t = e.starts.front().second;
      e.starts.pop_front();
      s->queued = false;
      s->active = true;  // a deleted context takes its starts out of the queue
    }
    e.from = kFromMain;
    tsan_switch(s->tsan[t]);
    ctxlib::fiber c = std::move(s->fibers[t]).resume();
    tsan_fiber_drop(std::exchange(e.tsanEnded, nullptr));
    tls_session = nullptr;
    if (e.from == kFromAbandoned) {
      e.graveyard.push_back(std::move(c));  // a task of a deleted context stopped here
      std::lock_guard<std::mutex> lock(e.mu);
      s->active = false;
      e.parked.notify_all();
    }
  }
}

bool has_fibers(const Session& s) {
  for (const auto& f : s.fibers) {
    if (f) return true;
  }
  return false;
}

// The session of a context whose task the host starts, made with its first
// task (a deleted context's session went with it).
std::shared_ptr<Session> host_session(SystemContext* ctx) {
  Executor& e = executor();
  std::lock_guard<std::mutex> lock(e.mu);
  if (auto s = session_locked(e, ctx)) return s;
  auto s = std::make_shared<Session>();
  s->ctx = ctx;
  e.sessions.push_back(s);
  if (!e.started) {
    // Its identifier is known before it runs, so that even the first task's
    // taskThreadId, written right after this, names it.
    uint32_t id = 0;
    const uint32_t thread = plat::thread_create(executor_loop, nullptr, &id);
    if (thread != 0) {
      e.threadId = id;
      plat::thread_resume(thread);
      plat::thread_close(thread);
      e.started = true;
    }
  }
  return s;
}

// How long the deletion of a context waits for its running task to reach its
// next hand-over. A task that blocks longer (a command that waits for the
// host's thread, which is deleting) keeps the context: its memory stays.
constexpr auto kDeletePatience = std::chrono::seconds(5);
// How often that wait looks for sends to the deleting thread.
constexpr auto kServeSlice = std::chrono::milliseconds(10);

// The execution manager's part of MRVVAL_Delete: the context's session is
// doomed and taken out of the executor's hands. Returns once no task of it
// runs or ever will (1), or 0 when the running task did not stop in time.
int32_t on_delete(SystemContext* ctx) {
  Executor& e = executor();
  std::unique_lock<std::mutex> lock(e.mu);
  debug_forget(ctx);
  std::shared_ptr<Session> s = session_locked(e, ctx);
  if (s == nullptr) return 1;
  s->attention.fetch_or(kDoomed, std::memory_order_release);
  if (s->queued) {  // a start the executor has not picked up: it never will
    std::erase_if(e.starts, [&](const auto& st) { return st.first == s; });
    s->queued = false;
  }
  {
    std::lock_guard<std::mutex> nap_lock(s->mu);  // a napping task wakes and stops
    s->woken = true;
    s->cv.notify_all();
  }
  const bool own = plat::thread_current_id() == e.threadId.load();
  bool parked = false;
  if (!own) {
    // The running task may wait for this thread (a send to its window, a box
    // it shows): those are served meanwhile, and the time a box is up does
    // not count.
    auto deadline = std::chrono::steady_clock::now() + kDeletePatience;
    while (!(parked = e.parked.wait_for(lock, kServeSlice, [&] { return !s->active; })) &&
           std::chrono::steady_clock::now() < deadline) {
      lock.unlock();
      const auto served = std::chrono::steady_clock::now();
      plat::serve_sends_for(0);
      deadline += std::chrono::steady_clock::now() - served;
      lock.lock();
    }
  }
  std::erase(e.sessions, s);
  // Fibers still suspended in the session are never destroyed (that would
  // unwind them over the freed context): the session is kept with them.
  if (has_fibers(*s)) e.abandoned.push_back(s);
  return parked ? 1 : 0;
}

const bool g_delete_hook = (MRVVAL_SetDeleteHook(&on_delete), true);

// Whether any task but `me` is live, read from the slots (for callers that
// are not tasks).
bool next_live_any(const SystemContext* ctx, int me) {
  for (int j = 0; j < MRV_TASKS; ++j) {
    if (j != me && task_live(ctx, j)) return true;
  }
  return false;
}

bool on_task_fiber(SystemContext* ctx) {
  return tls_session != nullptr && tls_session->ctx == ctx;
}

// A stack from a pool of released stacks, or a new one with a guard page.
class StackPool {
 public:
  ctxlib::stack_context allocate() {
#if !defined(BOOST_USE_ASAN)  // a reused stack would carry stale shadow marks
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!free_.empty()) {
        ctxlib::stack_context sc = free_.back();
        free_.pop_back();
        return sc;
      }
    }
#endif
    ctxlib::stack_context sc = ctxlib::protected_fixedsize_stack(kStackSize).allocate();
#if defined(BOOST_USE_ASAN)
    // A new mapping may lie where an ended task's stack was, whose last
    // frames never returned: their shadow marks must not carry over (the
    // top of the stack, where ordinary frames lie).
    const std::size_t top = sc.size < (16u << 20) ? sc.size : (16u << 20);
    __asan_unpoison_memory_region(static_cast<char*>(sc.sp) - top, top);
#endif
    return sc;
  }
  void deallocate(ctxlib::stack_context& sc) {
#if !defined(BOOST_USE_ASAN)
    std::lock_guard<std::mutex> lock(mu_);
    if (free_.size() < MRV_TASKS) {
      free_.push_back(sc);
      return;
    }
#endif
    ctxlib::protected_fixedsize_stack(kStackSize).deallocate(sc);
  }

 private:
  std::mutex mu_;
  std::vector<ctxlib::stack_context> free_;
};

StackPool& stack_pool() {
  static auto* p = new StackPool;
  return *p;
}

// The allocator handed to each fiber: a stack of the pool whose top is moved
// down by a few hundred bytes, different for each slot. Stacks are mapped at
// large aligned distances, so without it the innermost frames of all tasks
// would fall into the same cache sets and evict each other at every turn.
struct PooledStack {
  std::size_t colour;  // bytes below the stack's top
  ctxlib::stack_context allocate() {
    ctxlib::stack_context sc = stack_pool().allocate();
    sc.sp = static_cast<char*>(sc.sp) - colour;
    sc.size -= colour;
    return sc;
  }
  void deallocate(ctxlib::stack_context& sc) noexcept {
    sc.sp = static_cast<char*>(sc.sp) + colour;
    sc.size += colour;
    stack_pool().deallocate(sc);
  }
};

// Sleeps on behalf of every task when all live tasks wait in
// MRVEXEC_IdleTask, until the earliest deadline, a wake, or one slice.
void sleep_if_all_idle(Session* s, int me, bool timed, uint32_t deadline) {
  SystemContext* ctx = s->ctx;
  const bool alone = ctx->superTask == me;
  for (int j = 0; j < MRV_TASKS && !alone; ++j) {
    if (j == me || !task_live(ctx, j)) continue;
    if (!s->idle[j]) return;
    if (s->timed[j] && (!timed || plat::tick_before(s->deadline[j], deadline))) {
      deadline = s->deadline[j];
      timed = true;
    }
  }
  uint32_t ms = kNapSlice;
  if (timed) {
    const int32_t left = static_cast<int32_t>(deadline - plat::ticks_ms());
    if (left <= 0) return;
    if (static_cast<uint32_t>(left) < ms) ms = static_cast<uint32_t>(left);
  }
  nap(ctx, ms);
}

}  // namespace

int32_t report(SystemContext* ctx, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  plat::vformat_cut(ctx->msgBuf, sizeof ctx->msgBuf, fmt, ap);
  va_end(ap);
  MRVTASK_ErrorStop(ctx->hwndMain, MRV_CP932(MRVEXEC_TITLE_UTF8), ctx->msgBuf);
  return 0;
}

Command cached_command(SystemContext* ctx, const char* site, const char* lib, const char* cmd) {
  Session* s = tls_session;
  if (s == nullptr || s->ctx != ctx) return nullptr;
  const CachedCall& c = s->calls[call_slot(site)];
  if (c.site != site || std::strcmp(c.cmd, cmd) != 0 || std::strcmp(c.lib, lib) != 0) {
    return nullptr;
  }
  return c.fn;
}

void cache_command(SystemContext* ctx, const char* site, const char* lib, const char* cmd,
                   Command fn) {
  Session* s = tls_session;
  if (s == nullptr || s->ctx != ctx) return;
  if (std::strlen(lib) > MRVCODE_MAX_NAME || std::strlen(cmd) > MRVCODE_MAX_NAME) return;
  CachedCall& c = s->calls[call_slot(site)];
  c.site = site;
  c.fn = fn;
  std::strcpy(c.lib, lib);
  std::strcpy(c.cmd, cmd);
}

bool any_task_ending(const SystemContext* ctx) {
  for (int i = 0; i < MRV_TASKS; ++i) {
    if (task_live(ctx, i) && (load_flags(ctx->taskFlags[i]) & TASK_END) != 0) return true;
  }
  return false;
}

bool push_cells(SystemContext* ctx, CallCells* out) {
  std::shared_ptr<Session> held;
  Session* s = session_of(ctx, held);
  const int32_t t = ctx->currentTask;
  if (s == nullptr || t < 0 || t >= MRV_TASKS) return false;
  CellStack& cs = s->cells[t];
  const std::size_t chunk = static_cast<std::size_t>(cs.depth / kCallsPerChunk);
  if (chunk == cs.chunks.size()) {
    void* block = MRVTASK_AllocMemory(ctx->hwndMain, kCallsPerChunk * kCellsPerCall * sizeof(FAQ));
    if (block == nullptr) return false;
    std::memset(block, 0, kCallsPerChunk * kCellsPerCall * sizeof(FAQ));
    cs.chunks.push_back(static_cast<FAQ*>(block));
  }
  out->cells = cs.chunks[chunk] + (cs.depth % kCallsPerChunk) * kCellsPerCall;  // all zero
  out->depth = &cs.depth;
  out->running = &s->running[t];
  ++cs.depth;
  return true;
}

namespace {
// Releases what a cell owns and zeroes it.
void clear_cell(SystemContext* ctx, FAQ* c) {
  const uint16_t t = c->type;
  if (t == TYPE_STRING || t == TYPE_CELL || t == TYPE_MEMORY || t == TYPE_HANDLE ||
      t == TYPE_WAVE) {
    MRVFAQ_Clear(ctx, c);
  }
  *c = FAQ{};
}

// True when any byte of a call's cells is not zero: 16 bytes at a time over
// the whole block, unrolled.
bool any_set(const FAQ* cells) {
  using Lane = uint64_t __attribute__((vector_size(16)));
  constexpr std::size_t kBytes = kCellsPerCall * sizeof(FAQ);
  static_assert(kBytes % sizeof(Lane) == 0);
  const auto* bytes = reinterpret_cast<const unsigned char*>(cells);
  Lane acc = {0, 0};
#pragma GCC unroll 64
  for (std::size_t k = 0; k < kBytes; k += sizeof(Lane)) {
    Lane v;
    std::memcpy(&v, bytes + k, sizeof v);
    acc |= v;
  }
  return (acc[0] | acc[1]) != 0;
}
}  // namespace

void pop_cells(SystemContext* ctx, const CallCells& call, int32_t count) {
  // Cell 0 went to the caller (or is dropped after a failure); the arguments
  // and the terminator are given back. A command seldom stores above the
  // terminator: one look over the block's words, the given-back cells zero
  // already, finds out whether it did.
  FAQ* cells = call.cells;
  const int used = count + 2;
  cells[0] = FAQ{};
  for (int i = 1; i < used; ++i) clear_cell(ctx, &cells[i]);
  if (any_set(cells)) {
    for (int i = used; i < kCellsPerCall; ++i) clear_cell(ctx, &cells[i]);
  }
  --*call.depth;
}

const void** running_call(SystemContext* ctx) {
  std::shared_ptr<Session> held;
  Session* s = session_of(ctx, held);
  if (s == nullptr || ctx->currentTask < 0 || ctx->currentTask >= MRV_TASKS) return nullptr;
  return &s->running[ctx->currentTask];
}

void nap(SystemContext* ctx, uint32_t ms) {
  Session* s = tls_session;
  if (s == nullptr || s->ctx != ctx) {  // not a task: nothing wakes it but time
    plat::sleep_ms(ms);
    return;
  }
  {
    std::unique_lock<std::mutex> lock(s->mu);
    s->cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return s->woken; });
    s->woken = false;
  }
  stop_if_doomed(s);
}

}  // namespace mrvexec

using namespace mrvexec;

extern "C" {

int32_t MRVEXEC_GetFreeTask(SystemContext* ctx, int32_t n) {
  if (n < 0) {
    for (int32_t t = 0; t < MRV_TASKS; ++t) {
      if (!task_live(ctx, t)) return t;
    }
    report(ctx, MRV_CP932("タスクの起動数が20を超えました。"));
    return -1;
  }
  if (n >= MRV_TASKS) {
    report(ctx, MRV_CP932("タスクの指定値が不正です。"));
    return -1;
  }
  if (task_live(ctx, n)) {
    report(ctx, MRV_CP932("タスク %d はすでに起動されています。"), static_cast<int>(n));
    return -1;
  }
  return n;
}

int32_t MRVEXEC_ExecuteTask(SystemContext* ctx, int32_t n, const char* name) {
  const int32_t t = MRVEXEC_GetFreeTask(ctx, n);
  if (t < 0) return -1;
  MRVVAL_Clear(ctx, &ctx->systemVars, 180 + t);
  const bool fromTask = on_task_fiber(ctx);
  std::shared_ptr<Session> owner;
  Session* s = fromTask ? tls_session : nullptr;
  if (s == nullptr) {
    owner = host_session(ctx);
    s = owner.get();
  }
  // Making the fiber runs its first steps on its own stack, as its own fiber
  // for ThreadSanitizer.
  void* const tsan = tsan_fiber_new();
  void* const caller = tsan_fiber_current();
  tsan_switch(tsan);
  try {
    s->fibers[t] = ctxlib::fiber(std::allocator_arg, PooledStack{static_cast<std::size_t>(t) * 704},
                                 [s](ctxlib::fiber&& c) { return task_body(s, std::move(c)); });
  } catch (const std::exception&) {
    tsan_switch(caller);
    tsan_fiber_drop(tsan);
    return -1;  // no stack could be had: the slot stays free
  }
  tsan_switch(caller);
  s->tsan[t] = tsan;
  Executor& e = executor();
  std::snprintf(ctx->taskFile[t], MRV_PATH, "%s", name);
  clear_flags(ctx->taskFlags[t], ~0u);  // the host may still write the ended task's flags
  ctx->blockDepth[t] = 0;
  ctx->taskThreadId[t] = e.threadId;
  if (fromTask) {
    const int32_t prev = ctx->currentTask;
    {
      std::lock_guard<std::mutex> lock(e.mu);
      publish_locked(e, s, t);
    }
    ctx->currentTask = t;
    switch_to(s, prev, t);  // the new task runs first
    ctx->currentTask = prev;
    return t;
  }
  // Started by the host: if the executor runs this context's tasks (or will),
  // the new one takes its turn in the rotation, else the executor picks it
  // up; decided under the lock under which the last task's end leaves.
  std::lock_guard<std::mutex> lock(e.mu);
  const bool join = s->active || s->queued;
  if (!join) ctx->currentTask = t;
  publish_locked(e, s, t);
  if (!join) {
    s->queued = true;
    e.starts.emplace_back(owner, t);
    e.cv.notify_one();
  }
  return t;
}

int32_t MRVEXEC_WaitTask(SystemContext* ctx) {
  Session* s = tls_session;
  const bool task = s != nullptr && s->ctx == ctx;
  if (task) stop_if_doomed(s);
  const int32_t me = ctx->currentTask;
  if (me == ctx->superTask || me < 0) return 1;
  if (!task) return next_live_any(ctx, me) ? 0 : 1;  // not a task
  const int j = next_live(s, me);
  if (j >= 0) {
    ctx->currentTask = j;
    switch_to(s, me, j);
  }
  ctx->currentTask = me;
  return 1;
}

int32_t MRVEXEC_IdleTask(SystemContext* ctx, uint32_t deadline) {
  Session* s = tls_session;
  const int32_t me = ctx->currentTask;
  if (s == nullptr || s->ctx != ctx || me < 0) return MRVEXEC_WaitTask(ctx);
  const bool timed = deadline != ~0u;
  s->idle[me] = true;
  s->timed[me] = timed;
  s->deadline[me] = deadline;
  const int32_t r = MRVEXEC_WaitTask(ctx);
  s->idle[me] = false;
  if (r != 0) sleep_if_all_idle(s, me, timed, deadline);
  return r;
}

void MRVEXEC_Wake(SystemContext* ctx) {
  Executor& e = executor();
  std::lock_guard<std::mutex> lock(e.mu);
  const std::shared_ptr<Session> s = session_locked(e, ctx);
  if (s == nullptr) return;
  std::lock_guard<std::mutex> nap_lock(s->mu);
  s->woken = true;
  s->cv.notify_all();
}

void MRVEXEC_AtHandOver(SystemContext* ctx, MRVEXEC_HandOverCall fn, int32_t a, int32_t b) {
  if (fn == nullptr) return;
  if (on_task_fiber(ctx)) {  // the running task itself
    fn(ctx, a, b);
    return;
  }
  Executor& e = executor();
  {
    std::lock_guard<std::mutex> lock(e.mu);
    const std::shared_ptr<Session> s = session_locked(e, ctx);
    if (s != nullptr && (s->active || s->queued)) {
      {
        std::lock_guard<std::mutex> calls_lock(s->calls_mu);
        s->hostCalls.push_back({fn, {a, b}});
        s->attention.fetch_or(kHandOverCalls, std::memory_order_release);
      }
      std::lock_guard<std::mutex> nap_lock(s->mu);  // a napping task wakes for it
      s->woken = true;
      s->cv.notify_all();
      return;
    }
  }
  fn(ctx, a, b);  // no task runs: only the host's thread could start one
}

void MRVEXEC_Closing(SystemContext* ctx) {
  Executor& e = executor();
  std::lock_guard<std::mutex> lock(e.mu);
  if (const auto s = session_locked(e, ctx)) s->closing = true;
}

int32_t MRVEXEC_SystemTask(SystemContext* ctx) {
  plat::serve_sends_for(20);  // a task's box or send is served at once, not after the sleep
  plat::Message m;
  while (plat::peek_message(&m)) plat::dispatch_message(m);
  for (int32_t i = 0; i < MRV_TASKS; ++i) {
    if (task_live(ctx, i)) return 1;
  }
  return 0;
}

int32_t MRVEXEC_Wait(SystemContext* ctx, int32_t ms) {
  if (ms > 10000) ms = 10000;
  const uint32_t deadline = plat::ticks_ms() + static_cast<uint32_t>(ms);
  do {
    if (!MRVEXEC_IdleTask(ctx, deadline)) return 1;
    if (any_task_ending(ctx)) return 0;
  } while (plat::tick_before(plat::ticks_ms(), deadline));
  return 1;
}

}  // extern "C"
