// The tables hold 200 entries each; one more is refused with a message
// instead of being written past the table.
#include <gtest/gtest.h>

#include <filesystem>

#include "comp_support.h"
#include "dialog_log.h"
#include "tempdir.h"

namespace {

TEST(DefineLimit, TwoHundredAndOneEntries) {
  mrvtest::DialogLog log;
  mrvtest::TempDir dir;
  // An include item holds at most 63 bytes: the file is named relative to
  // the working directory.
  const std::filesystem::path saved = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  const std::string inc = "i.txt";
  mrvtest::write_file(inc, "1");
  std::string body;
  for (int i = 0; i < 200 - 15; ++i) body += "#define 'M" + std::to_string(i) + "' '1'\n";
  for (int i = 0; i < 200; ++i) body += "#include 'I" + std::to_string(i) + "' '" + inc + "'\n";
  mrvtest::write_file(dir.file("full.def"), body);
  ASSERT_EQ(MRVCOMP_DefineFile(0, dir.file("full.def").c_str()), 1);
  EXPECT_TRUE(log.boxes().empty());

  mrvtest::write_file(dir.file("m.def"), "\n#define 'ONEMORE' '1'\n");
  EXPECT_EQ(MRVCOMP_DefineFile(0, dir.file("m.def").c_str()), 0);
  mrvtest::write_file(dir.file("i.def"), "#include 'ONEMORE' '" + inc + "'\n");
  EXPECT_EQ(MRVCOMP_DefineFile(0, dir.file("i.def").c_str()), 0);
  const auto boxes = log.boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, "マクロの定義が200個を越えています。(line2)");
  EXPECT_EQ(boxes[1].text, "インクルードの定義が200個を越えています。(line1)");

  // The full tables still work: the last macro and include in table order.
  comptest::Compiled r = comptest::Compile("F(M184,I199);");
  ASSERT_EQ(r.ok, 1) << r.message;
  using comptest::operator+;
  EXPECT_EQ(r.code, (comptest::Std("F", {{TOK_INT8, 1}, {TOK_INT8, 1}}) + comptest::Bytes{0}));
  std::filesystem::current_path(saved);
}

}  // namespace
