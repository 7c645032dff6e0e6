// The host's sockets: the tracer's control requests and the activation
// request of a second start. One thread waits on all of them with poll and
// hands complete requests to the main thread.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "host.h"
#include "mrvexec.h"
#include "platform/bytes.h"

namespace host {
namespace {

constexpr std::size_t kRecord = 8;     // sub-code and value, little-endian 32-bit each
constexpr std::size_t kMaxText = 255;  // of the text pieces before a request

// A tracer connection: its partial record, the text its MRV_DEBUG_TEXT pieces
// make for its next request, and whether a debugger holds it
// (MRV_DEBUG_ATTACH), so that its end lets every stopped task go on.
struct Client {
  std::string buf;
  std::string text;
  bool attached = false;
};

bool socket_address(const std::string& path, sockaddr_un* a) {
  std::memset(a, 0, sizeof *a);
  a->sun_family = AF_UNIX;
  if (path.size() >= sizeof a->sun_path) return false;
  std::memcpy(a->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// A listening socket at `path`. The host holds the single-instance lock, so a
// socket file left there belongs to a copy that has gone.
int listen_at(const std::string& path) {
  sockaddr_un a;
  if (!socket_address(path, &a)) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  unlink(path.c_str());
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 8) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

Listener g_listener;

bool Listener::start(const std::string& dir) {
  dir_ = dir;
  control_ = listen_at(dir + "/control.sock");
  instance_ = listen_at(dir + "/instance.sock");
  if (control_ < 0 && instance_ < 0) return false;
  if (pipe2(wake_, O_CLOEXEC) != 0) {
    stop();
    return false;
  }
  thread_ = std::thread([this] { run(); });
  return true;
}

void Listener::stop() {
  if (thread_.joinable()) {
    const char b = 0;
    [[maybe_unused]] ssize_t n = write(wake_[1], &b, 1);
    thread_.join();
  }
  for (int* fd : {&control_, &instance_, &wake_[0], &wake_[1]}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  if (!dir_.empty()) {
    unlink((dir_ + "/control.sock").c_str());
    unlink((dir_ + "/instance.sock").c_str());
    dir_.clear();
  }
}

std::vector<Listener::Request> Listener::take() {
  std::lock_guard lock(mu_);
  std::vector<Request> out;
  out.swap(pending_);
  return out;
}

void Listener::run() {
  std::map<int, Client> clients;  // tracer connections
  for (;;) {
    std::size_t room = 0;  // requests the main thread's queue can still take
    {
      std::lock_guard lock(mu_);
      room = kMaxPending - std::min(pending_.size(), kMaxPending);
    }
    // With the queue full the connections are left unread until the main
    // thread has taken what waits; poll again shortly to see whether it has.
    std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {control_, POLLIN, 0}, {instance_, POLLIN, 0}};
    if (room != 0)
      for (auto& [fd, client] : clients) fds.push_back({fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), room != 0 ? -1 : 20) < 0) continue;
    if (fds[0].revents != 0) break;
    if (fds[1].revents & POLLIN) {
      int c = accept4(control_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0 && clients.size() >= kMaxClients)
        close(c);  // the client sees the connection end
      else if (c >= 0)
        clients.emplace(c, Client());
    }
    if (fds[2].revents & POLLIN) {
      int c = accept4(instance_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0) {
        std::lock_guard lock(mu_);
        if (pending_.size() < kMaxPending) pending_.push_back(Request{true, 0, 0, {}});
        close(c);
      }
    }
    for (std::size_t i = 3; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      Client& client = clients[fds[i].fd];
      std::string& buf = client.buf;
      std::lock_guard lock(mu_);
      if (pending_.size() >= kMaxPending) break;
      // No more bytes than make the records the queue has room for, so
      // it never holds more than kMaxPending and a partial record stays short.
      char chunk[256];
      const std::size_t want =
          std::min(sizeof chunk, (kMaxPending - pending_.size()) * kRecord - buf.size());
      const ssize_t n = read(fds[i].fd, chunk, want);
      if (n <= 0) {  // hung up: a partial record goes with the connection
        if (client.attached) pending_.push_back(Request{false, MRV_DEBUG_RELEASE, 0, {}});
        close(fds[i].fd);
        clients.erase(fds[i].fd);
        continue;
      }
      buf.append(chunk, static_cast<std::size_t>(n));
      while (buf.size() >= kRecord) {
        Request r{false,
                  static_cast<int32_t>(plat::get_le32(buf.data())),
                  static_cast<int32_t>(plat::get_le32(buf.data() + 4)),
                  {}};
        buf.erase(0, kRecord);
        if (r.code == MRV_DEBUG_TEXT) {
          char piece[5] = {};
          plat::put_le32(piece, static_cast<uint32_t>(r.value));
          if (client.text.size() + 4 <= kMaxText) client.text += piece;
        } else {
          r.text.swap(client.text);
        }
        if (r.code == MRV_DEBUG_ATTACH) client.attached = r.value != 0;
        pending_.push_back(std::move(r));
      }
    }
  }
  for (auto& [fd, client] : clients) close(fd);
}

bool ask_first_instance(const std::string& dir) {
  sockaddr_un a;
  if (!socket_address(dir + "/instance.sock", &a)) return false;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const char b = 1;
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                  send(fd, &b, 1, MSG_NOSIGNAL) == 1;  // the first copy may hang up before reading
  close(fd);
  return ok;
}

}  // namespace host
