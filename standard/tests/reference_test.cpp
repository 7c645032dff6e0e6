// The command table against the library and its reference page: every entry
// is exported under its name and checks its arguments under its check name,
// and docs/commands.md lists exactly the table's commands with the table's
// data.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "commands.h"
#include "dialog_log.h"
#include "mrvval.h"
#include "platform/dynlib.h"
#include "platform/text.h"

using namespace standard;

namespace {

const bool kJapanese = (setenv("MRV_COUNTRY", "81", 1), true);

using CommandFn = int32_t (*)(SystemContext*, VarTable*);

std::filesystem::path source_dir() {
  if (const char* dir = std::getenv("MRV_TEST_SOURCE_DIR")) return dir;
  return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
}

std::vector<std::string> file_lines(const std::filesystem::path& p) {
  std::vector<std::string> out;
  std::ifstream f(p);
  for (std::string line; std::getline(f, line);) out.push_back(line);
  return out;
}

// The reference's row of a command.
std::string row(const Command& c) {
  const auto code = [](std::string_view s) { return "`" + std::string(s) + "`"; };
  return "| " + std::string(c.name) + " | " + (c.call.empty() ? "—" : code(c.call)) + " | " +
         code(c.exportName) + " | " +
         (c.checkName.empty() ? "—" : "\"" + std::string(c.checkName) + "\"") + " | " +
         code(signature_text(c.signature)) + " | " + std::string(c.arguments) + " | " +
         std::string(c.result) + " |";
}

TEST(ReferenceTest, TheSummaryTableIsTheCommandTable) {
  const auto lines = file_lines(source_dir() / "docs" / "commands.md");
  ASSERT_FALSE(lines.empty()) << "docs/commands.md not found under " << source_dir();
  std::vector<std::string> rows;
  bool in_table = false;
  for (const std::string& line : lines) {
    if (line.rfind("| Command | Call as |", 0) == 0) {
      in_table = true;
      continue;
    }
    if (!in_table) continue;
    if (line.rfind("|---", 0) == 0) continue;
    if (line.rfind("| ", 0) != 0) break;
    rows.push_back(line);
  }
  std::vector<std::string> expected;
  for (const Command& c : kCommands) expected.push_back(row(c));
  EXPECT_EQ(rows, expected);
}

TEST(ReferenceTest, EveryCommandHasItsSectionInTableOrder) {
  std::vector<std::string> headings;
  for (const std::string& line : file_lines(source_dir() / "docs" / "commands.md")) {
    if (line.rfind("### ", 0) == 0) headings.push_back(line.substr(4));
  }
  std::vector<std::string> expected;
  for (const Command& c : kCommands) expected.emplace_back(c.name);
  EXPECT_EQ(headings, expected);
}

class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kJapanese);
    const char* bin = std::getenv("MRV_TEST_BIN_DIR");
    ASSERT_NE(bin, nullptr);
    lib = plat::lib_load((std::filesystem::path(bin) / "standard.so").c_str());
    ASSERT_NE(lib, 0u);
    ctx = MRVVAL_Create(0);
    ASSERT_NE(ctx, nullptr);
    cells = static_cast<FAQ*>(MRVTASK_AllocMemory(0, MRV_FRAME_CELLS * sizeof(FAQ)));
    ASSERT_NE(cells, nullptr);
    list = VarTable{MRV_WORD(cells), MRV_FRAME_CELLS, 0};
  }
  void TearDown() override {
    if (cells != nullptr) MRVTASK_FreeMemory(0, cells);
    if (ctx != nullptr) MRVVAL_Delete(ctx);
    if (lib != 0) plat::lib_free(lib);
  }
  CommandFn fn(std::string_view name) {
    return reinterpret_cast<CommandFn>(plat::lib_symbol(lib, std::string(name).c_str()));
  }
  // An argument list without arguments, as the interpreter lays it out.
  void no_arguments() {
    std::memset(cells, 0, MRV_FRAME_CELLS * sizeof(FAQ));
    MRVFAQ_Number(ctx, &cells[0], 1, 1, 0);
    cells[1].type = TYPE_OMITTED;
  }

  uint32_t lib = 0;
  SystemContext* ctx = nullptr;
  FAQ* cells = nullptr;
  VarTable list{};
};

TEST_F(LibraryTest, EveryCommandIsExportedAndChecksUnderItsCheckName) {
  for (const Command& c : kCommands) {
    CommandFn f = fn(c.exportName);
    ASSERT_NE(f, nullptr) << c.exportName;
    if (c.checkName.empty() || c.signature[0] == REST) continue;
    mrvtest::DialogLog dialogs;
    no_arguments();
    EXPECT_EQ(f(ctx, &list), 0) << c.exportName;
    const auto boxes = dialogs.boxes();
    ASSERT_EQ(boxes.size(), 1u) << c.exportName;
    EXPECT_EQ(boxes[0].text, "関数(" + std::string(c.checkName) + ")において引数が足りません。")
        << c.exportName;
  }
}

TEST_F(LibraryTest, TheEntriesWithoutACheckSetNoResultButVersion) {
  for (const char* name : {"MRV_Goto", "MRV_SYSTEMINFO", "MRV_DebugVersion", "MRV_Version"}) {
    mrvtest::DialogLog dialogs;
    no_arguments();
    ASSERT_NE(fn(name)(ctx, &list), 0) << name;
    EXPECT_TRUE(dialogs.boxes().empty()) << name;
    char text[MRV_MSGBUF];
    MRVVAL_DisplayValue(ctx, &cells[0], text);
    EXPECT_STREQ(text, std::string_view(name) == "MRV_Version" ? "3.319980601" : "1") << name;
  }
}

}  // namespace
