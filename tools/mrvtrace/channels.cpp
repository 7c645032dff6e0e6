// The tracer's sockets: one listener per channel, a record buffer per
// sender, and a short-lived connection per request to the host.
#include "channels.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/bytes.h"
#include "platform/profile.h"
#include "platform/window.h"

namespace mrvtrace {
namespace {

bool make_address(const std::string& path, sockaddr_un* addr) {
  *addr = {};
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// A connected stream socket to `path`, or -1 (errno tells why).
int connect_to(const std::string& path) {
  sockaddr_un addr;
  if (!make_address(path, &addr)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    const int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

constexpr const char* kNames[kRequests + 1] = {nullptr, "trace",  "args",   "step",  "next",
                                               "run",   "system", "common", "locals"};

}  // namespace

Server::~Server() {
  for (Connection& c : conns_) close(c.fd);
  for (Listener* l : {&tracer_, &viewer_}) {
    if (l->fd < 0) continue;
    close(l->fd);
    struct stat st;
    if (stat(l->path.c_str(), &st) == 0 && st.st_ino == l->inode) unlink(l->path.c_str());
  }
}

bool Server::open(std::string* why) {
  dir_ = plat::runtime_dir();
  // Traces go only into a directory of the user's own.
  if (!plat::private_dir(dir_, true, why)) {
    *why = "the runtime directory " + *why + "; it is not used";
    return false;
  }
  // The lock says another mrvtrace serves; the connect test in listen_on
  // catches any other receiver.
  if (!plat::single_instance_acquire("mrvtrace")) {
    *why = "another mrvtrace already serves " + dir_;
    return false;
  }
  return listen_on(tracer_, "message.sock", why) && listen_on(viewer_, "value.sock", why);
}

bool Server::listen_on(Listener& l, const char* name, std::string* why) {
  l.path = dir_ + "/" + name;
  sockaddr_un addr;
  if (!make_address(l.path, &addr)) {
    *why = l.path + ": path too long for a socket";
    return false;
  }
  struct stat st;
  if (lstat(l.path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      *why = l.path + ": exists and is not a socket";
      return false;
    }
    const int probe = connect_to(l.path);
    if (probe >= 0) {
      close(probe);
      *why = "another receiver already listens on " + l.path;
      return false;
    }
    unlink(l.path.c_str());  // left by a receiver that has gone
  }
  l.fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (l.fd < 0 || bind(l.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(l.fd, 16) != 0) {
    *why = l.path + ": " + std::strerror(errno);
    return false;
  }
  if (stat(l.path.c_str(), &st) == 0) l.inode = st.st_ino;
  return true;
}

void Server::accept_on(const Listener& l, Channel c) {
  for (;;) {
    const int fd = accept4(l.fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    conns_.push_back(Connection{fd, c, 0, {}});
  }
}

bool Server::read_from(Connection& c, const Handler& handler) {
  for (;;) {
    const ssize_t n = recv(c.fd, c.buf + c.got, kRecord - c.got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (n <= 0) return false;
    c.got += std::size_t(n);
    if (c.got < kRecord) continue;
    c.got = 0;
    handler(c.channel, std::string(c.buf, strnlen(c.buf, kRecord)));
    // Taken: the sender may go on.
    const char ack = 'K';
    ssize_t s;
    do {
      s = send(c.fd, &ack, 1, MSG_NOSIGNAL);
    } while (s < 0 && errno == EINTR);
    if (s != 1) return false;
  }
}

int Server::poll(const std::vector<int>& extra, int timeout_ms, const Handler& handler) {
  std::vector<pollfd> fds;
  for (int fd : extra) fds.push_back({fd, POLLIN, 0});
  fds.push_back({tracer_.fd, POLLIN, 0});
  fds.push_back({viewer_.fd, POLLIN, 0});
  for (const Connection& c : conns_) fds.push_back({c.fd, POLLIN, 0});
  if (::poll(fds.data(), fds.size(), timeout_ms) <= 0) return -1;

  const std::size_t base = extra.size() + 2;
  std::vector<Connection> kept;
  for (std::size_t i = 0; i < conns_.size(); ++i) {
    if (fds[base + i].revents != 0 && !read_from(conns_[i], handler)) {
      close(conns_[i].fd);
      continue;
    }
    kept.push_back(conns_[i]);
  }
  conns_.swap(kept);
  if (fds[extra.size()].revents & POLLIN) accept_on(tracer_, Channel::Tracer);
  if (fds[extra.size() + 1].revents & POLLIN) accept_on(viewer_, Channel::Viewer);
  for (std::size_t i = 0; i < extra.size(); ++i) {
    if (fds[i].revents != 0) return int(i);
  }
  return -1;
}

int Server::senders(Channel c) const {
  int n = 0;
  for (const Connection& conn : conns_) n += conn.channel == c ? 1 : 0;
  return n;
}

int request_code(const std::string& name) {
  for (int code = 1; code <= kRequests; ++code) {
    if (name == kNames[code] || name == std::to_string(code)) return code;
  }
  if (name == "continue") return 5;
  return 0;
}

const char* request_name(int code) {
  return code >= 1 && code <= kRequests ? kNames[code] : "?";
}

bool send_request(int code, int32_t value, std::string* why) {
  const std::string path = plat::runtime_dir() + "/control.sock";
  // Requests go only to a host in a directory of the user's own.
  struct stat st;
  if (std::string bad; lstat(plat::runtime_dir().c_str(), &st) == 0 &&
                       !plat::private_dir(plat::runtime_dir(), false, &bad)) {
    *why = "the runtime directory " + bad + "; it is not used";
    return false;
  }
  const int fd = connect_to(path);
  if (fd < 0) {
    *why = "no host listens on " + path + " (" + std::strerror(errno) + ")";
    return false;
  }
  unsigned char record[8];
  plat::put_le32(record, uint32_t(code));
  plat::put_le32(record + 4, uint32_t(value));
  std::size_t done = 0;
  while (done < sizeof record) {
    const ssize_t n = send(fd, record + done, sizeof record - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += std::size_t(n);
  }
  close(fd);
  if (done < sizeof record) {
    *why = "the host closed " + path + " before the request was sent";
    return false;
  }
  return true;
}

}  // namespace mrvtrace
