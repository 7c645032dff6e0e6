#include "platform/text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/profile.h"
#include "tempdir.h"

namespace {

TEST(Text, LeadBytesFollowTheCountry) {
  struct Case {
    uint8_t b;
    bool japan, other;
  } cases[] = {{0x40, false, false}, {0x80, false, false}, {0x81, true, true},  {0x9F, true, true},
               {0xA0, false, true},  {0xB1, false, true},  {0xDF, false, true}, {0xE0, true, true},
               {0xFC, true, true},   {0xFD, false, true},  {0xFF, false, true}};
  for (const Case& c : cases) {
    EXPECT_EQ(plat::is_lead_byte(c.b, 81), c.japan) << int(c.b);
    EXPECT_EQ(plat::is_lead_byte(c.b, 1), c.other) << int(c.b);
  }
}

TEST(Text, CountryFromEnvironmentElseWinIniElseJapan) {
  mrvtest::TempDir dir;
  setenv("MRV_WINDIR", dir.path().c_str(), 1);
  unsetenv("MRV_COUNTRY");
  EXPECT_EQ(plat::country_code(), 81);                                       // no WIN.INI
  mrvtest::write_file(dir.path() / "win.ini", "[Intl]\r\niCountry=49\r\n");  // any case
  EXPECT_EQ(plat::country_code(), 49);
  setenv("MRV_COUNTRY", "1", 1);
  EXPECT_EQ(plat::country_code(), 1);
  unsetenv("MRV_COUNTRY");
  unsetenv("MRV_WINDIR");
}

TEST(Text, UpperCasingLeavesDoubleByteCharactersAlone) {
  // 0x83 0x61 is katakana whose trail byte is 'a'; 0x95 0x5C has a backslash.
  std::string s = "abc\x83\x61xyz\x95\x5Cq\xB1z";
  plat::upper_cp932(s.data());
  EXPECT_EQ(s, "ABC\x83\x61XYZ\x95\x5CQ\xB1Z");
  std::string cut = "a\x83";  // a lead byte at the very end
  plat::upper_cp932(cut.data());
  EXPECT_EQ(cut, "A\x83");
  EXPECT_EQ(plat::upper_cp932(nullptr), nullptr);
}

TEST(Text, ConversionsRoundTripAndReplaceWhatDoesNotConvert) {
  const std::string utf8 = "ファイルが見つかりません。ｱ\\~";
  std::string sjis = plat::utf8_to_cp932(utf8);
  EXPECT_EQ(sjis.substr(0, 4), "\x83\x74\x83\x40");  // フ ァ
  EXPECT_EQ(plat::cp932_to_utf8(sjis), utf8);
  EXPECT_EQ(std::string(MRV_CP932("見")), "\x8C\xA9");
  struct Case {
    std::string in, out;
  } to_utf8[] = {{"a\xFF"
                  "b",
                  "a\xEF\xBF\xBD"
                  "b"},
                 {"\x82", "\xEF\xBF\xBD"},  // cut double-byte character
                 {std::string("x\0y", 3), std::string("x\0y", 3)}};
  for (auto& c : to_utf8) EXPECT_EQ(plat::cp932_to_utf8(c.in), c.out);
  Case to_sjis[] = {{"a\xF0\x9F\x98\x80"
                     "b",
                     "a?b"},            // no such character in 932
                    {"\xC3", "?"},      // broken UTF-8
                    {"\xE3\x81", "?"},  // cut at the end
                    {"\xE3\x81"
                     "a",
                     "?a"}};
  for (auto& c : to_sjis) EXPECT_EQ(plat::utf8_to_cp932(c.in), c.out);
}

}  // namespace
