// The error and retry boxes: captions, layouts, the queries to the owner
// window, and the cutting of long texts.
#include <gtest/gtest.h>

#include <string>

#include "dialog_log.h"
#include "mrvtask.h"
#include "platform/text.h"
#include "platform/window.h"

namespace {

const std::string kCaption = "『Marovine33』変数マネージャ(MRVVAL.DLL)";

std::string cp932(const std::string& utf8) {
  return plat::utf8_to_cp932(utf8);
}

// What the owner window answers to the three queries.
struct Answers {
  std::string scenario;  // code page 932; written whole (up to 260 bytes with NUL)
  int32_t line = 0;
  int32_t task = 0;
  bool answer = true;
} answers;

intptr_t owner_proc(uint32_t hwnd, uint32_t msg, uintptr_t wparam, intptr_t lparam) {
  if (!answers.answer) return 0;
  switch (msg) {
    case 0x5101: {
      auto* buf = reinterpret_cast<char*>(lparam);
      const std::size_t n = std::min<std::size_t>(answers.scenario.size(), 259);
      answers.scenario.copy(buf, n);
      buf[n] = '\0';
      return 1;
    }
    case 0x5102:
      *reinterpret_cast<int32_t*>(lparam) = answers.line;
      return 1;
    case 0x5104:
      *reinterpret_cast<int32_t*>(lparam) = answers.task;
      return 1;
  }
  return 0;
}

class ErrorBox : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::register_class("MrvTaskTestOwner", owner_proc);
    owner_ = plat::create_window("MrvTaskTestOwner", "", 0, plat::Rect{0, 0, 100, 100});
    ASSERT_NE(owner_, 0u);
    answers = Answers{};
  }
  void TearDown() override { plat::destroy_window(owner_); }
  uint32_t owner_ = 0;
};

TEST_F(ErrorBox, WithoutOwnerShowsTheTextAlone) {
  mrvtest::DialogLog log;
  MRVTASK_ErrorStop(0, cp932(kCaption).c_str(), cp932("変数がありません。").c_str());
  const auto boxes = log.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, kCaption);
  EXPECT_EQ(boxes[0].text, "変数がありません。");
  EXPECT_EQ(boxes[0].buttons, "ok");
  EXPECT_EQ(boxes[0].icon, "error");
}

TEST_F(ErrorBox, WithOwnerShowsScenarioTaskAndLineFromTheOwner) {
  struct Case {
    bool answer;
    std::string scenario;
    int32_t line, task;
    std::string want;
  } cases[] = {
      {true, "MRV.SNA", 12, 3,
       "【シナリオ】\tMRV.SNA\n【タスク】\t3\n【行番号】\t12\n【内容】\t値が違います。"},
      // An owner that does not answer leaves the presets.
      {false, "", 0, 0,
       "【シナリオ】\tシナリオ不定\n【タスク】\t0\n【行番号】\t0\n【内容】\t値が違います。"},
  };
  for (const Case& c : cases) {
    mrvtest::DialogLog log;
    answers = Answers{cp932(c.scenario), c.line, c.task, c.answer};
    MRVTASK_ErrorStop(owner_, cp932(kCaption).c_str(), cp932("値が違います。").c_str());
    const auto boxes = log.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, c.want);
    EXPECT_EQ(boxes[0].caption, kCaption);
    EXPECT_EQ(boxes[0].buttons, "ok");
    EXPECT_EQ(boxes[0].icon, "error");
  }
}

// Long scenario names and texts are cut to the 260-byte box buffer, never in
// the middle of a double-byte character. The odd/even shift makes the cut fall
// on each byte of a character once.
TEST_F(ErrorBox, LongTextsAreCutOnACharacterBoundary) {
  std::string long_text;
  for (int i = 0; i < 300; ++i) long_text += "あ";
  const std::string prefix = cp932("【シナリオ】\t");
  for (int odd = 0; odd < 2; ++odd) {
    SCOPED_TRACE(odd);
    mrvtest::DialogLog log;
    const std::string text = cp932(std::string(odd ? "x" : "") + long_text);
    answers = Answers{std::string(300, 'S'), 1, 2, true};
    MRVTASK_ErrorStop(owner_, cp932(kCaption).c_str(), text.c_str());
    answers.scenario = std::string(odd, 'S');
    MRVTASK_ErrorStop(owner_, cp932(kCaption).c_str(), text.c_str());
    const auto boxes = log.boxes();
    ASSERT_EQ(boxes.size(), 2u);
    // A long scenario name fills the box on its own.
    EXPECT_EQ(cp932(boxes[0].text), prefix + std::string(259 - prefix.size(), 'S'));
    const std::string shown = cp932(boxes[1].text);
    EXPECT_LE(shown.size(), 259u);
    EXPECT_GE(shown.size(), 258u);  // filled up to the limit
    EXPECT_EQ(boxes[1].text.find("\xEF\xBF\xBD"), std::string::npos) << "a split character";
    EXPECT_EQ(boxes[1].text.rfind("あ"), boxes[1].text.size() - 3) << "ends on a whole character";
  }
}

TEST(RetryBox, RetryIsOneAnythingElseZero) {
  const std::string text = "ﾒﾓﾘ不足によりｻｲｽﾞ変更に失敗しました。";
  struct Case {
    const char* answers;
    uint32_t owner;
    int32_t want;
  } cases[] = {{"retry", 0, 1}, {"cancel", 0, 0}, {nullptr, 0, 0}, {"retry", 7, 1}};
  for (const Case& c : cases) {
    mrvtest::DialogLog log(c.answers);
    EXPECT_EQ(MRVTASK_ErrorRetry(c.owner, cp932(kCaption).c_str(), cp932(text).c_str()), c.want)
        << (c.answers ? c.answers : "(none)");
    const auto boxes = log.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, text);
    EXPECT_EQ(boxes[0].caption, kCaption);
    EXPECT_EQ(boxes[0].buttons, "retrycancel");
    EXPECT_EQ(boxes[0].icon, "error");
  }
}

}  // namespace
