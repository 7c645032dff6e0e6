// The tracer and viewer channels over sockets: the record, the presence test,
// the wait for the receiver and a receiver that goes away.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "mrvexec.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "scenario.h"

namespace {

// A receiver listening on one channel's socket.
class Receiver {
 public:
  explicit Receiver(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    unlink(path.c_str());
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 4) != 0) {
      ADD_FAILURE() << "cannot listen on " << path;
    }
  }
  ~Receiver() { close(fd_); }
  int accept_one() const { return accept(fd_, nullptr, nullptr); }
  // Accepts one sender and takes `n` records (acknowledging each, unless
  // `cut` is set: then it reads `cut` bytes of the next one and hangs up).
  std::thread serve(int n, std::vector<std::string>* out, int cut = 0) {
    return std::thread([=, this] {
      const int c = accept(fd_, nullptr, nullptr);
      for (int i = 0; i < n; ++i) {
        char rec[256];
        std::size_t got = 0;
        while (got < sizeof rec) {
          const ssize_t k = read(c, rec + got, sizeof rec - got);
          if (k <= 0) break;
          got += std::size_t(k);
        }
        out->push_back(std::string(rec, got));
        write(c, "K", 1);
      }
      if (cut > 0) {
        char part[256];
        read(c, part, std::size_t(cut));
      }
      close(c);
    });
  }

 private:
  int fd_;
};

class Channels : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("MRV_TRACE_LOG");  // the sockets, not the logs
    unsetenv("MRV_VIEWER_LOG");
  }
  mrvtest::Scenario s{{}};  // a context with #0 = 1171 and its own runtime directory
  std::string run = s.file("run");
};

TEST_F(Channels, WithoutAReceiverNothingIsSentAndNoTracerIsPresent) {
  EXPECT_EQ(MRVEXEC_SendTracer(s.ctx, nullptr), 0);
  EXPECT_EQ(MRVEXEC_SendTracer(s.ctx, "x"), 0);
  EXPECT_EQ(MRVEXEC_SendViewer(s.ctx, "x"), 0);
}

TEST_F(Channels, RecordsAre256BytesTakenInOrder) {
  Receiver r(run + "/message.sock");
  std::vector<std::string> got;
  std::thread t = r.serve(2, &got);
  EXPECT_EQ(MRVEXEC_SendTracer(s.ctx, nullptr), 1);
  EXPECT_EQ(MRVEXEC_SendTracer(s.ctx, "@N MAIN"), 1);
  EXPECT_EQ(MRVEXEC_SendTracer(s.ctx, "second"), 1);
  t.join();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].size(), 256u);
  EXPECT_EQ(std::string(got[0].c_str()), "1171 @N MAIN");
  EXPECT_EQ(std::string(got[1].c_str()), "1171 second");
}

TEST_F(Channels, TheViewerChannelHasItsOwnSocket) {
  Receiver r(run + "/value.sock");
  std::vector<std::string> got;
  std::thread t = r.serve(1, &got);
  EXPECT_EQ(MRVEXEC_SendViewer(s.ctx, "@C"), 1);
  t.join();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].substr(0, 8), std::string("1171 @C\0", 8));
}

// A line too long for the record is cut after its last whole character.
TEST_F(Channels, ALongLineIsCutOnACharacterBoundary) {
  Receiver r(run + "/message.sock");
  std::vector<std::string> got;
  std::thread t = r.serve(1, &got);
  std::string wide;
  for (int i = 0; i < 200; ++i) wide += "あ";
  const std::string line = "x" + plat::utf8_to_cp932(wide);
  EXPECT_EQ(MRVEXEC_SendTracer(s.ctx, line.c_str()), 1);
  t.join();
  ASSERT_EQ(got.size(), 1u);
  const std::string text = got[0].c_str();
  EXPECT_EQ(text.size(), 254u);  // "1171 x" and 124 characters of two bytes; one more would not fit
  EXPECT_EQ(text.substr(0, 6), "1171 x");
}

// A receiver that hangs up in the middle of a record fails the send at once.
TEST_F(Channels, AReceiverThatGoesAwayFailsTheSendWithoutAHang) {
  Receiver r(run + "/message.sock");
  std::vector<std::string> got;
  std::thread t = r.serve(0, &got, 100);
  EXPECT_EQ(MRVEXEC_SendTracer(s.ctx, "lost"), 0);
  t.join();
  EXPECT_EQ(MRVEXEC_SendTracer(s.ctx, nullptr), 1);  // the socket still listens
}

// A receiver that takes a record and never acknowledges it: the send fails
// once the patience has run out, and while it waits the channel is not held
// (the presence test answers at once from another thread); the next record
// goes over a fresh connection.
TEST_F(Channels, AStalledReceiverFailsTheSendInTimeWithoutHoldingTheChannel) {
  Receiver r(run + "/message.sock");
  std::vector<std::string> got;
  std::atomic<bool> sending{true};
  std::thread t([&] {  // takes the record and never answers while it is sent
    const int c = r.accept_one();
    char rec[256];
    read(c, rec, sizeof rec);
    while (sending) plat::sleep_ms(10);
    close(c);
  });
  int32_t result = -1;
  const auto start = std::chrono::steady_clock::now();
  std::thread sender([&] {
    result = MRVEXEC_SendTracer(s.ctx, "stalled");
    sending = false;
  });
  plat::sleep_ms(200);
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(MRVEXEC_SendTracer(s.ctx, nullptr), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1));
  EXPECT_TRUE(sending);
  sender.join();
  EXPECT_EQ(result, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
  t.join();
  std::thread next = r.serve(1, &got);
  EXPECT_EQ(MRVEXEC_SendTracer(s.ctx, "next"), 1);
  next.join();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_STREQ(got[0].c_str(), "1171 next");
}

TEST_F(Channels, TheLogTakesEveryRecordAsALineInUtf8) {
  setenv("MRV_TRACE_LOG", s.file("t.log").c_str(), 1);
  EXPECT_EQ(MRVEXEC_SendTracer(s.ctx, nullptr), 1);
  EXPECT_EQ(MRVEXEC_SendTracer(s.ctx, plat::utf8_to_cp932("@B 日本").c_str()), 1);
  EXPECT_EQ(mrvtest::read_file(s.file("t.log")), "1171 @B 日本\n");
}

}  // namespace
