#include "protocol.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace mrvls {

namespace {
constexpr std::size_t kMaxHeaderLine = 8192;
}

std::string dump(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool Channel::fill() {
  if (eof_) return false;
  if (pos_ > 0 && pos_ == buf_.size()) {
    buf_.clear();
    pos_ = 0;
  }
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(in_, chunk, sizeof chunk);
    if (n > 0) {
      buf_.append(chunk, static_cast<std::size_t>(n));
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    eof_ = true;
    return false;
  }
}

// A header line without its "\r\n" (or "\n"). A line longer than the limit
// is consumed to its end and flagged.
bool Channel::read_line(std::string* line, bool* tooLong) {
  line->clear();
  *tooLong = false;
  for (;;) {
    const std::size_t nl = buf_.find('\n', pos_);
    const std::size_t end = nl == std::string::npos ? buf_.size() : nl;
    if (!*tooLong) {
      line->append(buf_, pos_, end - pos_);
      if (line->size() > kMaxHeaderLine) {
        *tooLong = true;
        line->clear();
      }
    }
    pos_ = end;
    if (nl != std::string::npos) {
      ++pos_;
      if (!line->empty() && line->back() == '\r') line->pop_back();
      return true;
    }
    if (!fill()) return false;
  }
}

bool Channel::read_body(std::size_t n, std::string* body) {
  if (body) body->clear();
  while (n > 0) {
    if (pos_ == buf_.size() && !fill()) return false;
    const std::size_t take = std::min(n, buf_.size() - pos_);
    if (body) body->append(buf_, pos_, take);
    pos_ += take;
    n -= take;
    if (pos_ == buf_.size()) {
      buf_.clear();
      pos_ = 0;
    }
  }
  return true;
}

Channel::Read Channel::read(json* message, std::string* error) {
  long long length = -1;
  bool bad = false, sawHeader = false;
  std::string line;
  for (;;) {
    bool tooLong = false;
    if (!read_line(&line, &tooLong)) return Read::End;
    if (tooLong) {
      bad = true;
      sawHeader = true;
      continue;
    }
    if (line.empty()) {
      if (!sawHeader) continue;  // blank lines between messages
      break;
    }
    sawHeader = true;
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) {
      bad = true;
      continue;
    }
    std::string name = line.substr(0, colon);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name != "content-length") continue;
    const char* v = line.c_str() + colon + 1;
    while (*v == ' ' || *v == '\t') ++v;
    char* end = nullptr;
    errno = 0;
    const long long n = std::strtoll(v, &end, 10);
    while (end && (*end == ' ' || *end == '\t')) ++end;
    if (end == v || (end && *end != 0) || errno != 0 || n < 0) {
      bad = true;
    } else {
      length = n;
    }
  }
  if (bad || length < 0) {
    *error = "a message header without a valid Content-Length";
    // With a length still known, the body is skipped to stay in step.
    if (length >= 0 && !read_body(static_cast<std::size_t>(length), nullptr)) return Read::End;
    return Read::Broken;
  }
  if (static_cast<unsigned long long>(length) > kMaxBody) {
    *error = "a message of " + std::to_string(length) + " bytes, more than the " +
             std::to_string(kMaxBody) + " this server reads";
    if (!read_body(static_cast<std::size_t>(length), nullptr)) return Read::End;
    return Read::Broken;
  }
  std::string body;
  if (!read_body(static_cast<std::size_t>(length), &body)) return Read::End;
  *message = json::parse(body, nullptr, false);
  if (message->is_discarded()) {
    *error = "a message that is not JSON";
    return Read::Broken;
  }
  return Read::Message;
}

void Channel::write(const json& message) {
  const std::string body = dump(message);
  const std::string frame = "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  const char* p = frame.data();
  std::size_t left = frame.size();
  while (left > 0) {
    const ssize_t n = ::write(out_, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the client has gone; reading will end too
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace mrvls
