// What the parts of the host program share: the one system context, the
// window procedures, the host requests and the sockets other programs reach
// the host through.
#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mrvshare.h"

namespace host {

// The context of the run; the window procedure has no other way to it.
extern SystemContext* g_ctx;

// The main window procedure of the classes "Marovine33" and "Marovine33Sub".
intptr_t main_window_proc(uint32_t hwnd, uint32_t msg, uintptr_t wparam, intptr_t lparam);

// Performs the pending host request, if any, on the main thread.
void serve_host_request(SystemContext* ctx);

// Carries out what other programs asked for since the last call (tracer
// control records, a second start's activation).
void serve_outside_requests(SystemContext* ctx);

// Serves the main thread's messages, host requests and outside requests for
// up to `ms` milliseconds (less when something arrives).
void pump(SystemContext* ctx, uint32_t ms);

// Words a task thread reads or writes while the main thread writes them
// (their kinds and orders: mrvshare.h).
using mrv::sysvar;
using mrv::task_live;

// The host's sockets in the runtime directory:
//   control.sock   the tracer's requests: records of two little-endian 32-bit
//                  numbers (sub-code, value), each posted to the main window
//                  as the tracer-control message 0x4402
//   instance.sock  a second start of the program connects and writes one
//                  byte: the first one brings its main window forward
// A thread accepts and reads; the main thread takes what arrived. Both
// queues are bounded, so that a client that keeps connecting or writing
// cannot grow the host's memory: a tracer connection beyond kMaxClients is
// closed at once, and while kMaxPending requests wait for the main thread the
// connections are not read (their records wait in the socket and the writer
// is held back, nothing is lost; a second start's byte is dropped).
class Listener {
 public:
  static constexpr std::size_t kMaxClients = 8;
  static constexpr std::size_t kMaxPending = 1024;

  struct Request {
    bool activate;  // else a tracer-control record
    int32_t code;
    int32_t value;
    std::string text;  // of the debugger's requests that name something
  };

  ~Listener() { stop(); }
  // Listens in `dir`; false when neither socket could be made.
  bool start(const std::string& dir);
  void stop();
  std::vector<Request> take();

 private:
  void run();

  std::thread thread_;
  int control_ = -1, instance_ = -1;
  int wake_[2] = {-1, -1};
  std::string dir_;
  std::mutex mu_;
  std::vector<Request> pending_;
};

// A second start's message to the first: true when it was delivered.
bool ask_first_instance(const std::string& dir);

extern Listener g_listener;

}  // namespace host
