// Code page 932 helpers. The conversions use the C library's iconv tables;
// anything that does not convert is replaced, never passed on half-decoded.
#include "platform/text.h"

#include <iconv.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/profile.h"

namespace plat {
namespace {

// One converter per thread and direction (an iconv descriptor is not
// thread-safe); closed when the thread ends.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts `in`; on an unconvertible input sequence appends `bad` and skips
  // `skip(p, left)` bytes.
  template <typename Skip>
  std::string run(std::string_view in, std::string_view bad, Skip skip) {
    std::string out;
    out.reserve(in.size() * 3 / 2 + 8);
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    char* ip = const_cast<char*>(in.data());
    std::size_t il = in.size();
    char buf[1024];
    while (il > 0) {
      char* op = buf;
      std::size_t ol = sizeof buf;
      std::size_t r = iconv(cd_, &ip, &il, &op, &ol);
      out.append(buf, static_cast<std::size_t>(op - buf));
      if (r != static_cast<std::size_t>(-1)) break;
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL (a sequence cut at the end).
      out.append(bad);
      std::size_t n = skip(reinterpret_cast<const unsigned char*>(ip), il);
      ip += n;
      il -= n;
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
    return out;
  }

 private:
  iconv_t cd_;
};

// Bytes of the UTF-8 sequence at `p` that cannot be converted: the sequence
// as far as it is well formed (also when cut at the end), at least one byte.
std::size_t skip_utf8(const unsigned char* p, std::size_t left) {
  std::size_t n = 1;
  if (p[0] >= 0xF0 && p[0] < 0xF8)
    n = 4;
  else if (p[0] >= 0xE0)
    n = 3;
  else if (p[0] >= 0xC0)
    n = 2;
  std::size_t i = 1;
  while (i < n && i < left && (p[i] & 0xC0) == 0x80) ++i;
  return i;
}

std::size_t skip_one(const unsigned char*, std::size_t) {
  return 1;
}

}  // namespace

namespace {

std::atomic<int32_t> g_country{0};  // 0: not read yet, or nothing set it

int32_t read_country() {
  if (const char* env = std::getenv("MRV_COUNTRY")) {
    char* end = nullptr;
    long v = std::strtol(env, &end, 10);
    if (end != env && v > 0 && v < 100000) return static_cast<int32_t>(v);
  }
  const int32_t v = profile_get_int(system_profile().c_str(), "intl", "iCountry", 0);
  return v > 0 ? v : 0;
}

}  // namespace

int32_t country_code() {
  int32_t c = g_country.load(std::memory_order_acquire);
  if (c != 0) return c;
  c = read_country();
  if (c == 0) return 81;
  g_country.store(c, std::memory_order_release);
  return c;
}

LeadBytes country_lead_bytes() {
  return lead_bytes_of(country_code());
}

char* upper_cp932(char* s) {
  if (s == nullptr) return s;
  for (unsigned char* p = reinterpret_cast<unsigned char*>(s); *p != 0; ++p) {
    if (kCodePage932(*p)) {
      if (p[1] == 0) break;
      ++p;  // the trail byte may look like an ASCII letter: leave it
    } else if (*p >= 'a' && *p <= 'z') {
      *p = static_cast<unsigned char>(*p - 'a' + 'A');
    }
  }
  return s;
}

std::size_t cut_length(const char* s, std::size_t limit) {
  std::size_t i = 0;
  while (s[i] != '\0') {
    const std::size_t step = kCodePage932(static_cast<uint8_t>(s[i])) && s[i + 1] != '\0' ? 2 : 1;
    if (i + step > limit) break;
    i += step;
  }
  return i;
}

std::size_t vformat_cut(char* buf, std::size_t size, const char* fmt, va_list ap) {
  if (size == 0) return 0;
  va_list again;
  va_copy(again, ap);
  const int full = std::vsnprintf(nullptr, 0, fmt, ap);
  if (full < 0) {
    va_end(again);
    buf[0] = '\0';
    return 0;
  }
  if (static_cast<std::size_t>(full) < size) {
    std::vsnprintf(buf, size, fmt, again);
    va_end(again);
    return static_cast<std::size_t>(full);
  }
  std::string whole(static_cast<std::size_t>(full), '\0');
  std::vsnprintf(whole.data(), whole.size() + 1, fmt, again);
  va_end(again);
  const std::size_t n = cut_length(whole.c_str(), size - 1);
  std::memcpy(buf, whole.data(), n);
  buf[n] = '\0';
  return n;
}

std::size_t format_cut(char* buf, std::size_t size, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const std::size_t n = vformat_cut(buf, size, fmt, ap);
  va_end(ap);
  return n;
}

std::string cp932_to_utf8(std::string_view s) {
  thread_local Converter conv("UTF-8", "CP932");
  if (!conv.ok()) {
    // No tables: ASCII passes, the rest is replaced.
    std::string out;
    for (unsigned char c : s) out += c < 0x80 ? std::string(1, char(c)) : "\xEF\xBF\xBD";
    return out;
  }
  return conv.run(s, "\xEF\xBF\xBD", skip_one);
}

std::string utf8_to_cp932(std::string_view s) {
  thread_local Converter conv("CP932", "UTF-8");
  if (!conv.ok()) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
      auto c = static_cast<unsigned char>(s[i]);
      if (c < 0x80) {
        out += char(c);
        ++i;
      } else {
        out += '?';
        i += skip_utf8(reinterpret_cast<const unsigned char*>(s.data()) + i, s.size() - i);
      }
    }
    return out;
  }
  return conv.run(s, "?", skip_utf8);
}

}  // namespace plat
