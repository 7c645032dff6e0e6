// JSON-RPC messages with Content-Length headers, as the Language Server
// Protocol frames them, on a pair of file descriptors.
#pragma once
#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>

namespace mrvls {

using json = nlohmann::json;

// The largest message body read; a larger one is skipped and answered with
// an error.
constexpr std::size_t kMaxBody = 64u << 20;

class Channel {
 public:
  Channel(int in, int out) : in_(in), out_(out) {}

  enum class Read { Message, Broken, End };
  // Reads one message. Broken: the frame or its JSON was unusable (`error`
  // says why); the channel stays in step with the next header where it can.
  Read read(json* message, std::string* error);
  // Writes one message (invalid UTF-8 in strings is replaced).
  void write(const json& message);

 private:
  bool fill();
  bool read_line(std::string* line, bool* tooLong);
  bool read_body(std::size_t n, std::string* body);

  int in_, out_;
  std::string buf_;
  std::size_t pos_ = 0;
  bool eof_ = false;
};

// Serialises with invalid UTF-8 replaced instead of throwing.
std::string dump(const json& j);

}  // namespace mrvls
