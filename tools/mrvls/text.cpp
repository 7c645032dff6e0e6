#include "text.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>

namespace mrvls {

Text::Text(std::string utf8) : text_(std::move(utf8)) {
  starts_.push_back(0);
  for (std::size_t i = 0; i < text_.size(); ++i) {
    if (text_[i] == '\n') starts_.push_back(i + 1);
  }
}

std::string_view Text::line(int n) const {
  if (n < 0 || n >= lines()) return {};
  const std::size_t b = starts_[n];
  std::size_t e = n + 1 < lines() ? starts_[n + 1] - 1 : text_.size();
  if (e > b && text_[e - 1] == '\r') --e;
  return std::string_view(text_).substr(b, e - b);
}

namespace {

// Length of the UTF-8 sequence at s[i], 1 for a broken one; `units` gets
// its UTF-16 units.
std::size_t step(std::string_view s, std::size_t i, int* units) {
  const auto c = static_cast<uint8_t>(s[i]);
  std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
  if (n == 0 || i + n > s.size()) n = 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((static_cast<uint8_t>(s[i + k]) & 0xC0) != 0x80) n = 0;
  }
  if (n == 0) {
    *units = 1;
    return 1;
  }
  *units = n == 4 ? 2 : 1;
  return n;
}

}  // namespace

int utf16_length(std::string_view s) {
  int total = 0;
  for (std::size_t i = 0; i < s.size();) {
    int u = 0;
    i += step(s, i, &u);
    total += u;
  }
  return total;
}

std::size_t Text::offset(int line_no, int utf16) const {
  if (line_no < 0) return 0;
  if (line_no >= lines()) return text_.size();
  const std::string_view l = line(line_no);
  std::size_t i = 0;
  int units = 0;
  while (i < l.size() && units < utf16) {
    int u = 0;
    i += step(l, i, &u);
    units += u;
  }
  return starts_[line_no] + i;
}

int Text::utf16_column(int line_no, std::size_t column) const {
  const std::string_view l = line(line_no);
  return utf16_length(l.substr(0, std::min(column, l.size())));
}

int Text::line_of(std::size_t off) const {
  const auto it = std::upper_bound(starts_.begin(), starts_.end(), off);
  return static_cast<int>(it - starts_.begin()) - 1;
}

namespace {

class Iconv {
 public:
  Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Iconv() {
    if (ok()) iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  // Converts as much of `in` as converts; returns the bytes of `in` used
  // and appends the output. Stops at the first sequence that does not.
  std::size_t run(std::string_view in, std::string* out) {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    char* ip = const_cast<char*>(in.data());
    std::size_t il = in.size();
    char buf[4096];
    while (il > 0) {
      char* op = buf;
      std::size_t ol = sizeof buf;
      const std::size_t r = iconv(cd_, &ip, &il, &op, &ol);
      out->append(buf, static_cast<std::size_t>(op - buf));
      if (r == static_cast<std::size_t>(-1) && errno != E2BIG) break;
    }
    char* op = buf;
    std::size_t ol = sizeof buf;
    iconv(cd_, nullptr, nullptr, &op, &ol);
    out->append(buf, static_cast<std::size_t>(op - buf));
    return in.size() - il;
  }

 private:
  iconv_t cd_;
};

}  // namespace

std::string to_cp932(std::string_view utf8, std::vector<std::size_t>* bad) {
  static Iconv cp932("CP932", "UTF-8");
  // A few characters have a second Unicode form that editors' Shift-JIS
  // decoders produce (the wave dash, say); the Shift-JIS table knows them.
  static Iconv sjis("SHIFT_JIS", "UTF-8");
  std::string out;
  out.reserve(utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) {
    i += cp932.run(utf8.substr(i), &out);
    if (i >= utf8.size()) break;
    int u = 0;
    const std::size_t n = step(utf8, i, &u);
    std::string one;
    if (n > 1 && sjis.run(utf8.substr(i, n), &one) == n && !one.empty()) {
      out += one;
    } else {
      if (bad) bad->push_back(i);
      out += '?';
    }
    i += n;
  }
  return out;
}

std::string from_cp932(std::string_view cp932) {
  static Iconv conv("UTF-8", "CP932");
  std::string out;
  std::size_t i = 0;
  while (i < cp932.size()) {
    i += conv.run(cp932.substr(i), &out);
    if (i >= cp932.size()) break;
    out += "\xEF\xBF\xBD";
    ++i;
  }
  return out;
}

std::size_t invalid_cp932(std::string_view bytes) {
  static Iconv conv("UTF-8", "CP932");
  std::string sink;
  const std::size_t used = conv.run(bytes, &sink);
  return used < bytes.size() ? used : std::string_view::npos;
}

}  // namespace mrvls
