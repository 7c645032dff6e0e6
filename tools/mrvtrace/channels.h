// The receiving end of the tracer and viewer channels, and the tracer's
// requests to the host: UNIX-domain sockets in the runtime directory.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace mrvtrace {

enum class Channel { Tracer, Viewer };

constexpr std::size_t kRecord = 256;  // every record, whatever its text
constexpr int kRequests = 8;          // sub-codes 1 to 8

// Serves RUNTIME/message.sock and RUNTIME/value.sock: accepts any number of
// senders, reads their 256-byte records and acknowledges each with one byte
// once the handler has taken it.
class Server {
 public:
  Server() = default;
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Claims the runtime directory's sockets: refused (false, with the reason)
  // while another tracer serves them. A socket file that nobody listens on
  // is left over from a tracer that died and is replaced.
  bool open(std::string* why);

  // The text of a record up to its NUL, in code page 932 ("%d %s").
  using Handler = std::function<void(Channel, const std::string&)>;
  // Waits up to `timeout_ms` (-1: no limit) for senders, records or input on
  // one of `extra` descriptors, and handles what came. Returns the index of
  // the first readable descriptor of `extra`, or -1.
  int poll(const std::vector<int>& extra, int timeout_ms, const Handler& handler);

  // Senders connected now, per channel.
  int senders(Channel c) const;
  const std::string& dir() const { return dir_; }

 private:
  struct Listener {
    int fd = -1;
    std::string path;
    uint64_t inode = 0;  // of the socket file we made, so we remove only that
  };
  struct Connection {
    int fd;
    Channel channel;
    std::size_t got = 0;
    char buf[kRecord];
  };
  bool listen_on(Listener& l, const char* name, std::string* why);
  void accept_on(const Listener& l, Channel c);
  // False when the connection has ended.
  bool read_from(Connection& c, const Handler& handler);

  std::string dir_;
  Listener tracer_, viewer_;
  std::vector<Connection> conns_;
};

// The requests, by sub-code: 1 trace, 2 args, 3 step, 4 next, 5 run,
// 6 system, 7 common, 8 locals. 0 when `name` is neither a name nor 1-8.
int request_code(const std::string& name);
const char* request_name(int code);

// Sends one request (sub-code and value, little-endian 32-bit each) to the
// host on RUNTIME/control.sock. False with the reason when no host listens.
bool send_request(int code, int32_t value, std::string* why);

}  // namespace mrvtrace
