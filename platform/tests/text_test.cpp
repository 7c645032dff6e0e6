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
    EXPECT_EQ(plat::lead_bytes_of(81)(c.b), c.japan) << int(c.b);
    EXPECT_EQ(plat::kCodePage932(c.b), c.japan) << int(c.b);
    EXPECT_EQ(plat::lead_bytes_of(1)(c.b), c.other) << int(c.b);
    EXPECT_EQ(plat::lead_bytes_of(49)(c.b), c.other) << int(c.b);
  }
}

// The country is read on first use and kept; while nothing sets it, it is 81
// and read again. Each case runs in a process of its own.
TEST(Text, CountryIsReadOnFirstUseAndKept) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  mrvtest::TempDir dir;
  setenv("MRV_WINDIR", dir.path().c_str(), 1);
  const auto ini = dir.path() / "win.ini";
  EXPECT_EXIT(
      {
        unsetenv("MRV_COUNTRY");
        bool ok = plat::country_code() == 81;  // no WIN.INI
        mrvtest::write_file(ini, "[intl]\r\niCountry=0\r\n");
        ok = ok && plat::country_code() == 81;                  // 0: read again
        mrvtest::write_file(ini, "[Intl]\r\nICOUNTRY=49\r\n");  // any case
        ok = ok && plat::country_code() == 49;
        mrvtest::write_file(ini, "[intl]\r\niCountry=7\r\n");
        setenv("MRV_COUNTRY", "1", 1);
        ok = ok && plat::country_code() == 49 && !plat::country_lead_bytes().shift_jis;  // kept
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        mrvtest::write_file(ini, "[intl]\r\niCountry=49\r\n");
        setenv("MRV_COUNTRY", "1", 1);  // overrides WIN.INI
        std::exit(plat::country_code() == 1 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  unsetenv("MRV_WINDIR");
}

// Texts are cut to fit on a character boundary of code page 932.
TEST(Text, CutsNeverSplitADoubleByteCharacter) {
  struct Case {
    std::string text;
    std::size_t limit, length;
  } cases[] = {
      {"abcdef", 4, 4},       {"ab\x82\xA0", 3, 2},  // the character would not fit
      {"ab\x82\xA0", 4, 4},   {"a\x82", 2, 2},       // a lead byte at the end is one byte
      {"\xB1\xB2\xB3", 2, 2},                        // single-byte katakana
      {"\x95\x5C\x5C", 2, 2}, {"", 5, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(plat::cut_length(c.text.c_str(), c.limit), c.length) << c.text;

  char buf[8];
  EXPECT_EQ(plat::format_cut(buf, sizeof buf, "%s=%d", "\x82\xA0\x82\xA0\x82\xA0", 5), 7u);
  EXPECT_STREQ(buf, "\x82\xA0\x82\xA0\x82\xA0=");
  EXPECT_EQ(plat::format_cut(buf, sizeof buf, "%s", "ab\x82\xA0\x82\xA0\x82\xA0"), 6u);
  EXPECT_STREQ(buf, "ab\x82\xA0\x82\xA0");
  EXPECT_EQ(plat::format_cut(buf, sizeof buf, "%d", 42), 2u);
  EXPECT_STREQ(buf, "42");
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
