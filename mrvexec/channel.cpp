// The tracer and value-viewer channels: 256-byte records over UNIX-domain
// sockets in the runtime directory, each acknowledged by the receiver before
// the sender goes on, or appended to a log file named by the environment.
//
// Protocol (both channels): the receiver listens on RUNTIME/message.sock
// (tracer) or RUNTIME/value.sock (viewer), stream sockets. A sender connects
// once and keeps the connection; per record it writes exactly 256 bytes ("%d
// %s" of #0's integer word and the line, NUL-terminated, in code page 932)
// and waits for one byte back, which says the record has been taken. A
// receiver that closes the connection ends the wait: the send fails. So does
// one that has not answered within kAckPatienceMs: the connection is dropped
// (the next record connects anew). The channel's lock is not held while a
// sender waits, so a stalled receiver holds up only the senders that wait
// for it, each for the patience at most, and a presence test not at all.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "internal.h"
#include "platform/profile.h"
#include "platform/text.h"
#include "platform/window.h"

namespace mrvexec {
namespace {

constexpr std::size_t kRecord = 256;
constexpr int kAckPatienceMs = 5000;  // longest wait for a receiver's acknowledgement
constexpr int kAckPollMs = 20;        // a waiting sender looks again this often

struct Channel {
  Channel(const char* socket, const char* variable) : socketName(socket), logVariable(variable) {}
  const char* socketName;
  const char* logVariable;
  std::mutex mu;  // guards the fields below; a record is written whole under it
  int fd = -1;
  uint32_t connection = 0;  // counts the connections dropped: a wait on a dropped one fails
  uint64_t sent = 0;        // records written on the connection
  uint64_t taken = 0;       // acknowledgements read from it
};

Channel tracer("message.sock", "MRV_TRACE_LOG");
Channel viewer("value.sock", "MRV_VIEWER_LOG");

const char* log_path(const Channel& ch) {
  const char* p = std::getenv(ch.logVariable);
  return p != nullptr && *p != '\0' ? p : nullptr;
}

int connect_channel(const Channel& ch) {
  // Records go only to a receiver in a directory of the user's own.
  if (!plat::private_dir(plat::runtime_dir(), false, nullptr)) return -1;
  const std::string path = plat::runtime_dir() + "/" + ch.socketName;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return -1;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// True while the receiver keeps the connection open.
bool connection_alive(int fd) {
  pollfd p{fd, POLLIN | POLLRDHUP, 0};
  if (poll(&p, 1, 0) < 0) return false;
  return (p.revents & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL)) == 0;
}

void drop(Channel& ch) {
  if (ch.fd >= 0) close(ch.fd);
  ch.fd = -1;
  ++ch.connection;
  ch.sent = ch.taken = 0;
}

// Writes the whole record; false when the connection failed.
bool write_record(int fd, const char* record) {
  for (std::size_t done = 0; done < kRecord;) {
    const ssize_t n = send(fd, record + done, kRecord - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Waits until the receiver has acknowledged record number `mine` of the
// connection, looking at the socket under the lock and waiting for it
// without. False when the connection went away or the patience ran out (the
// connection is dropped then: its acknowledgements would come out of step).
bool wait_taken(Channel& ch, std::unique_lock<std::mutex>& lock, uint64_t mine) {
  const uint32_t connection = ch.connection;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kAckPatienceMs);
  for (;;) {
    if (ch.connection != connection) return false;
    if (ch.taken >= mine) return true;
    char acks[64];
    const ssize_t n = recv(ch.fd, acks, sizeof acks, MSG_DONTWAIT);
    if (n > 0) {
      ch.taken += static_cast<uint64_t>(n);
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      drop(ch);
      return false;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      drop(ch);
      return false;
    }
    pollfd p{ch.fd, POLLIN | POLLRDHUP, 0};
    lock.unlock();
    // Another sender may drop the connection meanwhile; the number of the
    // connection tells after the lock is taken again.
    poll(&p, 1, static_cast<int>(left < kAckPollMs ? left : kAckPollMs));
    lock.lock();
  }
}

void append_log(const char* path, const char* record) {
  const std::string line = plat::cp932_to_utf8(record) + "\n";
  const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  for (std::size_t done = 0; done < line.size();) {
    const ssize_t n = write(fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  close(fd);
}

int32_t send_record(SystemContext* ctx, Channel& ch, const char* text) {
  char record[kRecord] = {};
  const FAQ& tag = MRV_CELLS(&ctx->systemVars)[ctx->systemVars.base];  // #0
  int n = std::snprintf(record, kRecord, "%d ", static_cast<int>(tag.word1));
  // The line is cut after its last whole character that fits the record.
  std::memcpy(record + n, text, plat::cut_length(text, kRecord - 1 - static_cast<std::size_t>(n)));
  std::unique_lock<std::mutex> lock(ch.mu);
  if (const char* path = log_path(ch)) {
    append_log(path, record);
    return 1;
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    const bool reused = ch.fd >= 0;
    if (!reused) ch.fd = connect_channel(ch);
    if (ch.fd < 0) return 0;
    // Once the record has left, a failure is not retried.
    if (write_record(ch.fd, record)) return wait_taken(ch, lock, ++ch.sent) ? 1 : 0;
    drop(ch);
    // A kept connection may have outlived its receiver: try a fresh one once.
    if (!reused) return 0;
  }
  return 0;
}

}  // namespace
}  // namespace mrvexec

using namespace mrvexec;

extern "C" {

int32_t MRVEXEC_SendTracer(SystemContext* ctx, const char* text) {
  if (text != nullptr) return send_record(ctx, tracer, text);
  std::lock_guard<std::mutex> lock(tracer.mu);
  if (log_path(tracer) != nullptr) return 1;
  if (tracer.fd >= 0 && !connection_alive(tracer.fd)) drop(tracer);
  if (tracer.fd < 0) tracer.fd = connect_channel(tracer);
  return tracer.fd >= 0 ? 1 : 0;
}

int32_t MRVEXEC_SendViewer(SystemContext* ctx, const char* text) {
  return text != nullptr ? send_record(ctx, viewer, text) : 0;
}

}  // extern "C"
