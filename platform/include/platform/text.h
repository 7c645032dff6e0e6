// Text in code page 932 (Shift-JIS) and its conversion for people.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/export.h"

namespace plat {

// Country code: MRV_COUNTRY, else "intl"/"iCountry" of the system profile
// (WIN.INI in the Windows directory), else 81.
PLAT_API int32_t country_code();
// The double-byte lead-byte rule for a country code: for 81 (Japan) 0x81..0x9F
// and 0xE0..0xFC, for any other country every byte of 0x81 or more.
PLAT_API bool is_lead_byte(uint8_t b, int32_t country);
// Upper-cases in place as the Japanese system does: ASCII letters only, both
// bytes of a double-byte character untouched. Returns `s`.
PLAT_API char* upper_cp932(char* s);
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
