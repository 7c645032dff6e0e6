// The host's listener under a client that does not stop: its queues stay
// bounded, what a tracer writes arrives whole and in order, and a connection
// beyond the limit is closed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "host.h"
#include "platform/bytes.h"
#include "processes.h"
#include "tempdir.h"

namespace {

using host::Listener;

int connect_control(const std::string& dir) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  const std::string path = dir + "/control.sock";
  std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Record i of a test stream: sub-code i, value -i.
std::string record(uint32_t i) {
  char r[8];
  plat::put_le32(r, i);
  plat::put_le32(r + 4, 0u - i);
  return std::string(r, sizeof r);
}

TEST(Listener, ATracerThatKeepsWritingIsHeldBackAndLosesNothing) {
  mrvtest::TempDir dir;
  Listener l;
  ASSERT_TRUE(l.start(dir.path().string()));
  const int fd = connect_control(dir.path().string());
  ASSERT_GE(fd, 0);
  // Far more than the queue and the socket's buffers hold together.
  constexpr uint32_t kRecords = 100000;
  std::string stream;
  for (uint32_t i = 0; i < kRecords; ++i) stream += record(i);

  // Written without blocking until the listener stops reading: with the
  // queue unbounded it would read on and take the whole stream.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  std::size_t sent = 0;
  bool held_back = false;
  while (sent < stream.size() && !held_back) {
    const ssize_t n = send(fd, stream.data() + sent, stream.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << std::strerror(errno);
    pollfd p{fd, POLLOUT, 0};
    held_back = poll(&p, 1, 1000) == 0;
  }
  ASSERT_TRUE(held_back) << "the whole stream was read without being taken";
  std::vector<Listener::Request> got = l.take();
  EXPECT_EQ(got.size(), Listener::kMaxPending);

  // The rest follows as the main thread takes what waits.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::thread writer([&] {
    while (sent < stream.size()) {
      const ssize_t n = send(fd, stream.data() + sent, stream.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
  });
  std::size_t largest = 0;
  mrvtest::eventually([&] {
    const auto more = l.take();
    largest = std::max(largest, more.size());
    got.insert(got.end(), more.begin(), more.end());
    return got.size() >= kRecords;
  });
  writer.join();
  close(fd);
  EXPECT_LE(largest, Listener::kMaxPending);
  ASSERT_EQ(got.size(), kRecords);
  for (uint32_t i = 0; i < kRecords; ++i) {
    ASSERT_FALSE(got[i].activate);
    ASSERT_EQ(got[i].code, static_cast<int32_t>(i));
    ASSERT_EQ(got[i].value, -static_cast<int32_t>(i));
  }
}

TEST(Listener, AConnectionBeyondTheLimitIsClosedAndTheOthersAreServed) {
  mrvtest::TempDir dir;
  Listener l;
  ASSERT_TRUE(l.start(dir.path().string()));
  std::vector<int> clients;
  for (std::size_t i = 0; i <= Listener::kMaxClients; ++i) {
    clients.push_back(connect_control(dir.path().string()));
    ASSERT_GE(clients.back(), 0);
  }
  // The last one is refused: it reads the end of the connection.
  pollfd p{clients.back(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, mrvtest::kPatienceMs), 1);
  char b = 0;
  EXPECT_EQ(read(clients.back(), &b, 1), 0);
  close(clients.back());
  clients.pop_back();
  for (std::size_t i = 0; i < clients.size(); ++i) {
    const std::string r = record(static_cast<uint32_t>(i));
    ASSERT_EQ(send(clients[i], r.data(), r.size(), MSG_NOSIGNAL), 8);
  }
  std::vector<int32_t> codes;
  EXPECT_TRUE(mrvtest::eventually([&] {
    for (const auto& r : l.take()) codes.push_back(r.code);
    return codes.size() >= clients.size();
  }));
  std::sort(codes.begin(), codes.end());
  for (std::size_t i = 0; i < clients.size(); ++i) EXPECT_EQ(codes[i], static_cast<int32_t>(i));
  for (int fd : clients) close(fd);
}

}  // namespace
