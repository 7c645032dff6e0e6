// Text in code page 932 (Shift-JIS) and its conversion for people.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/export.h"

namespace plat {

// Two double-byte rules are in use. The system's code page 932 decides the
// characters of names, paths and messages: upper-casing, splitting a path at
// its separators, cutting a text to fit. The country code decides what the
// strings, the compiler and the text output count as a double-byte character.
// With country 81 (Japan) the two agree.

// A lead-byte test: Shift-JIS (0x81..0x9F and 0xE0..0xFC), or for a country
// other than Japan every byte of 0x81 or more.
struct LeadBytes {
  bool shift_jis;
  constexpr bool operator()(uint8_t b) const {
    return shift_jis ? (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC) : b >= 0x81;
  }
};
inline constexpr LeadBytes kCodePage932{true};

// The country code: MRV_COUNTRY, else "intl"/"iCountry" of the system profile
// (WIN.INI in the Windows directory). Read on first use and kept for the life
// of the process; while neither sets it, it is 81 and read again next time.
PLAT_API int32_t country_code();
// The lead bytes of a country code, and of the country code.
constexpr LeadBytes lead_bytes_of(int32_t country) {
  return LeadBytes{country == 81};
}
PLAT_API LeadBytes country_lead_bytes();
constexpr bool is_lead_byte(uint8_t b, int32_t country) {
  return lead_bytes_of(country)(b);
}

// Upper-cases in place as the Japanese system does: ASCII letters only, both
// bytes of a double-byte character (code page 932) untouched. Returns `s`.
PLAT_API char* upper_cp932(char* s);
// Length of the longest beginning of `s` of at most `limit` bytes that does
// not end inside a double-byte character (code page 932).
PLAT_API std::size_t cut_length(const char* s, std::size_t limit);
// snprintf into `buf` of `size` bytes, except that a text too long for it is
// cut on a character boundary, so no message ends in half a character.
// Returns the length written.
PLAT_API std::size_t format_cut(char* buf, std::size_t size, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
PLAT_API std::size_t vformat_cut(char* buf, std::size_t size, const char* fmt, va_list ap);
// Conversions; bytes that do not convert become U+FFFD (or '?' towards 932).
PLAT_API std::string cp932_to_utf8(std::string_view s);
PLAT_API std::string utf8_to_cp932(std::string_view s);

}  // namespace plat

// A message text written once in UTF-8 in the source and converted to code
// page 932 once, on first use: MRV_CP932("ファイルが見つかりません。").
#define MRV_CP932(utf8)                                                \
  ([]() -> const char* {                                               \
    static const std::string converted_ = ::plat::utf8_to_cp932(utf8); \
    return converted_.c_str();                                         \
  }())
