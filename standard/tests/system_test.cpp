// Input, memory, debugging and system commands as scenarios use them: the
// key registers and the platform's key state, memory values, the tracer and
// viewer lines, the debugger's break, message boxes and profile files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>

#include "helpers.h"
#include "platform/clock.h"
#include "platform/window.h"

using namespace stdtest;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

// A window of the test's thread, to inject keys through.
uint32_t key_window() {
  static const bool registered = plat::register_class(
      "StdTestKeys", [](uint32_t h, uint32_t m, uintptr_t w, intptr_t l) -> intptr_t {
        return plat::def_window_proc(h, m, w, l);
      });
  EXPECT_TRUE(registered);
  return plat::create_window("StdTestKeys", "keys", 0, plat::Rect{0, 0, 10, 10});
}

void set_words(Scenario& s, int32_t n, uint32_t w1, uint32_t w2) {
  FAQ& c = MRV_CELLS(&s.ctx->systemVars)[s.ctx->systemVars.base + n];
  c.word1 = w1;
  c.word2 = w2;
}

TEST(KeyTest, SelectorsAndClearingOfTheRegistersTheHostWrites) {
  Scenario s;
  set_words(s, 2, 65, 66);
  set_words(s, 3, 0x1E0001, 2);
  ASSERT_TRUE(run(s, R"(
    DebugMessage(Key(0), Key(1), Shift(0), Shift(1), Key(5), Shift(2.5));
    $1 = ClearKey(3);
    DebugMessage(Key(0), Key(1), Shift(0), Shift(1));
    ClearKey(2);
    DebugMessage(Key(0), Key(1), Shift(0), Shift(1));
    ClearKey(1);
    DebugMessage(Key(0), Key(1), Shift(0), Shift(1));
  )"));
  EXPECT_THAT(said(s), ElementsAre(" 65 66 1966081 2 5 2.5", " 65 66 1966081 2", " 65 0 1966081 0",
                                   " 0 0 0 0"));
  EXPECT_EQ(s.show_common(1), "2");  // ClearKey leaves the interpreter's value
}

TEST(KeyTest, EscapeAndEnterArePolledAndEnterWins) {
  const uint32_t w = key_window();
  ASSERT_NE(w, 0u);
  {
    // Escape pressed and released before the scenario asks.
    plat::inject_key(w, 27, true);
    plat::inject_key(w, 27, false);
    Scenario s;
    ASSERT_TRUE(run(s, R"(
      DebugMessage(Key(0), Key(1));
      ClearKey(1);
      DebugMessage(Key(0), Key(1));
    )"));
    EXPECT_THAT(said(s), ElementsAre(" 27 0", " 0 0"));
  }
  {
    // Escape, Enter and A held.
    for (int32_t k : {27, 13, 65}) plat::inject_key(w, k, true);
    Scenario s;
    ASSERT_TRUE(run(s, "DebugMessage(Key(0), Key(1), ScanKey(65), ScanKey(13), ScanKey(66));"));
    EXPECT_THAT(said(s), ElementsAre(" 13 13 -1 -1 0"));
    for (int32_t k : {27, 13, 65}) plat::inject_key(w, k, false);
  }
  plat::destroy_window(w);
}

TEST(MemoryTest, AllocReplacesTheVariablesValueAndFreeEmptiesIt) {
  Scenario s;
  ASSERT_TRUE(run(s, R"(
    $1 = "text";
    $2 = Alloc(\$1, 100);
    DebugMessage(ValueType(\$1), ValueType(\$2));
    $3 = 5;
    Alloc(\$3, 16);
    $4 = Alloc(\$4, 8);
    Free(\$4);
    DebugMessage(ValueType(\$4));
    Free(\$3);
    Free(\$3);
  )"));
  EXPECT_THAT(said(s), ElementsAre(" 77 77", " 0"));
  EXPECT_EQ(s.show_common(1), "{100(+0)}");
  EXPECT_EQ(s.show_common(2), "{100(+0)}");
  // The variable and the statement's value hold blocks of their own.
  EXPECT_NE(s.common(1).word1, s.common(2).word1);
  EXPECT_EQ(MRVTASK_SizeMemory(0, MRV_PTR(s.common(1).word1)), 100u);
  EXPECT_EQ(MRVTASK_SizeMemory(0, MRV_PTR(s.common(2).word1)), 100u);
  EXPECT_EQ(s.show_common(3), "NULL");
  EXPECT_THAT(s.messages(),
              ElementsAre("関数(Free)において、第1引数はメモリ型でなければなりません。"));
}

TEST(MemoryTest, AnAllocatedBlockOutlivesTheStatement) {
  Scenario s;
  ASSERT_TRUE(run(s, "Alloc(\\$1, 16); $2 = 1;"));
  EXPECT_EQ(s.show_common(1), "{16(+0)}");
  EXPECT_EQ(MRVTASK_SizeMemory(0, MRV_PTR(s.common(1).word1)), 16u);
}

TEST(DebugMessageTest, OneLineOfNumbersStringsAndRectangles) {
  Scenario s;
  ASSERT_TRUE(run(s, R"(
    DebugMessage("a", 1, "b");
    DebugMessage(SetRect(1, -2, 3, 4), 2.5, "日本語", -0.25);
    DebugMessage();
    DebugMessage(\$1, $1);
  )"));
  EXPECT_THAT(said(s), ElementsAre("a 1b", "{1,-2,3,4} 2.5日本語 -0.25", "", ""));
}

TEST(DebugMessageTest, ALongLineIsCutOnACharacterToFitTheTracerRecord) {
  Scenario s;
  // "@B " and 123 double-byte characters are 249 bytes; the next character
  // would pass the 250 bytes that the record leaves after "1171 ".
  ASSERT_TRUE(run(s, R"(
    $1 = "あああああああああああああああああああああああああああああああああああああああああああああああああ";
    $1 = $1 + $1 + $1;
    DebugMessage($1);
  )"));
  Lines lines = said(s);
  ASSERT_EQ(lines.size(), 1u);
  std::string expected;
  for (int i = 0; i < 123; ++i) expected += "あ";
  EXPECT_EQ(lines[0], expected);
}

TEST(DebugValueTest, SendsTheViewerCommand) {
  Scenario s;
  ASSERT_TRUE(run(s,
                  "DebugValue(0); DebugValue(1); DebugValue(2); DebugValue(3); DebugValue(7); "
                  "DebugValue(-1);"));
  EXPECT_THAT(s.viewer(),
              ElementsAre("1171 @0", "1171 @1", "1171 @2", "1171 @3", "1171 @0", "1171 @0"));
}

TEST(DebugBeepTest, PlaysTheSoundOfItsNumber) {
  Scenario s;
  const std::string log = s.file("beeps.log");
  setenv("MRV_BEEP_LOG", log.c_str(), 1);
  const bool ok = run(s, "DebugBeep(2); DebugBeep(0); DebugBeep(4);");
  unsetenv("MRV_BEEP_LOG");
  ASSERT_TRUE(ok);
  std::ifstream f(log);
  Lines kinds;
  for (std::string line; std::getline(f, line);) kinds.push_back(line);
  EXPECT_THAT(kinds, ElementsAre("32", "0", "64"));
}

// With a tracer present, DebugBreak makes the task stop before its next
// command until the debugger grants it a go.
TEST(DebugBreakTest, StopsTheTaskUntilTheHostSaysGo) {
  Scenario s;
  std::atomic_ref<uint32_t> flags(s.ctx->execFlags);
  flags.store(EXEC_STEP_OVER | EXEC_GO | (5u << EXEC_WATCH_SHIFT) | EXEC_TRACE_ARGS);
  s.source("MRV", "DebugMessage(\"before\");\nDebugBreak(0);\nDebugMessage(\"after\");");
  ASSERT_TRUE(MRVVAL_CreateLocal(s.ctx, 0, nullptr));
  ASSERT_EQ(MRVEXEC_ExecuteTask(s.ctx, 0, "MRV"), 0);
  const uint32_t start = plat::ticks_ms();
  while (plat::ticks_ms() - start < 300) MRVEXEC_SystemTask(s.ctx);
  EXPECT_THAT(said(s), ElementsAre("before", "<DebugBreak> Task=0 Line=1"));
  EXPECT_EQ(flags.load(), EXEC_STEP | EXEC_TRACE_ARGS);
  flags.fetch_or(EXEC_GO);
  MRVEXEC_Wake(s.ctx);
  ASSERT_TRUE(s.finish());
  EXPECT_THAT(said(s), ElementsAre("before", "<DebugBreak> Task=0 Line=1", "after"));
}

TEST(MessageBoxTest, StylesButtonsIconsAndAnswers) {
  Scenario s({"standard.so"}, "ok,no,ok,ok,ok,cancel,yes,ok,ok,ok");
  ASSERT_TRUE(run(s, R"(
    $1 = MessageBox("Cap", "one\ntwo", 0);
    $2 = MessageBox("問い", "q", 2);
    $3 = MessageBox("Cap", "s", 1);
    $4 = MessageBox("Cap", "e", 3);
    $5 = MessageBox("Cap", "i", 4);
    $6 = MessageBox("Cap", "r", -1);
    $7 = MessageBox("Cap", "r", -36);
    $8 = MessageBox("Cap", "表no\n", 32768);
    $9 = MessageBox("Cap", "p", 32769);
    $10 = MessageBox("Cap", "p\\n", 5);
  )"));
  const auto boxes = s.boxes();
  ASSERT_EQ(boxes.size(), 10u);
  const char* buttons[] = {"ok",       "yesno", "ok", "ok",       "ok",
                           "okcancel", "yesno", "ok", "okcancel", "ok"};
  const char* icons[] = {"none", "question", "error", "warning", "information",
                         "none", "question", "none",  "none",    "none"};
  const char* results[] = {"1", "7", "1", "1", "1", "2", "6", "1", "1", "1"};
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(boxes[i].buttons, buttons[i]) << i;
    EXPECT_EQ(boxes[i].icon, icons[i]) << i;
    EXPECT_EQ(s.show_common(i + 1), results[i]) << i;
  }
  EXPECT_EQ(boxes[0].text, "one\r\ntwo");
  EXPECT_EQ(boxes[1].caption, "問い");
  EXPECT_EQ(boxes[7].text, "表no\r\n");
  EXPECT_EQ(boxes[9].text, "p\\\r\n");
}

TEST(MessageBoxTest, TheAnswerComesBackWhileAnotherTaskRuns) {
  Scenario s({"standard.so"}, "yes");
  s.source("T", "Loop(5) { DebugMessage(\"t\"); };");
  ASSERT_TRUE(run(s, R"(
    TaskStart(1, "T");
    $1 = MessageBox("Cap", "continue?", 2);
    DebugMessage("answered", $1);
    While(IsTask(1)) { Wait(1); };
    DebugMessage("done");
  )"));
  const Lines lines = said(s);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "t"), 5);
  EXPECT_THAT(lines, ::testing::Contains("answered 6"));
  EXPECT_EQ(lines.back(), "done");
  EXPECT_EQ(s.ctx->taskFlags[0] & TASK_PAUSED, 0u);
}

TEST(IniFileTest, ReadsDefaultsWritesAndReadsBackWithoutRegardToCase) {
  Scenario s;
  ASSERT_TRUE(run(s, R"(
    $1 = GetIniFile("GAME.INI", "Save", "Name", "none");
    SetIniFile("GAME.INI", "Save", "Name", "太郎");
    SetIniFile("GAME.INI", "Save", "Level", "3");
    $2 = GetIniFile("game.ini", "save", "NAME", "none");
    $3 = GetIniFile("GAME.INI", "Save", "Missing", "");
    $4 = GetIniFile("GAME.INI", "Other", "Level", "d");
  )"));
  EXPECT_EQ(s.show_common(1), "\"none\"");
  EXPECT_EQ(s.show_common(2), "\"太郎\"");
  EXPECT_EQ(s.show_common(3), "\"\"");
  EXPECT_EQ(s.show_common(4), "\"d\"");
  std::ifstream f(s.dir() / "win" / "GAME.INI");
  std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  EXPECT_THAT(plat::cp932_to_utf8(all), HasSubstr("Level=3"));
}

TEST(IniFileTest, LongNamesAreRefusedAndLongValuesCutOnACharacter) {
  Scenario s;
  const std::string key(255, 'k');
  const std::string name(256, 'f');
  ASSERT_TRUE(run(s, R"(
    $1 = "あああああああああああああああああああああああああああああああああああああああああああああああああ";
    $1 = $1 + $1; $1 = $1 + $1; $1 = $1 + $1; $1 = $1 + $1;
    SetIniFile("LONG.INI", "S", ")" +
                         key + R"(", $1);
    $2 = GetIniFile("LONG.INI", "S", ")" +
                         key + R"(", "");
    SetIniFile(")" + name +
                         R"(", "S", "K", "v");
    DebugMessage("never");
  )"));
  std::string expected = "\"";
  for (int i = 0; i < 499; ++i) expected += "あ";
  EXPECT_EQ(s.show_common(2), expected + "\"");
  EXPECT_THAT(said(s), IsEmpty());
  EXPECT_THAT(s.messages(),
              ElementsAre("関数(SetIniFile)において、第1引数が255バイトを超えています。"));
}

}  // namespace
