#include "platform/dialog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "dialog_log.h"
#include "platform/text.h"
#include "tempdir.h"

namespace {

using plat::message_box;

TEST(Dialog, WithoutAnswersEveryBoxTakesItsSafeDefault) {
  mrvtest::DialogLog log;
  struct Case {
    uint32_t flags;
    int32_t answer;
    const char* buttons;
  } cases[] = {
      {plat::MB_OK, plat::IDOK, "ok"},
      {plat::MB_OKCANCEL, plat::IDCANCEL, "okcancel"},
      {plat::MB_ABORTRETRYIGNORE, plat::IDABORT, "abortretryignore"},
      {plat::MB_YESNOCANCEL, plat::IDCANCEL, "yesnocancel"},
      {plat::MB_YESNO, plat::IDNO, "yesno"},
      {plat::MB_RETRYCANCEL, plat::IDCANCEL, "retrycancel"},
  };
  for (const Case& c : cases) EXPECT_EQ(message_box(0, "t", "c", c.flags), c.answer) << c.buttons;
  auto boxes = log.boxes();
  ASSERT_EQ(boxes.size(), std::size(cases));
  for (std::size_t i = 0; i < boxes.size(); ++i) EXPECT_EQ(boxes[i].buttons, cases[i].buttons);
}

TEST(Dialog, AnswersAreConsumedInOrderAndUnfitOnesFallBack) {
  mrvtest::DialogLog log("retry, YES,ok,ignore");
  EXPECT_EQ(message_box(0, "a", "c", plat::MB_RETRYCANCEL), plat::IDRETRY);
  EXPECT_EQ(message_box(0, "b", "c", plat::MB_YESNO), plat::IDYES);
  EXPECT_EQ(message_box(0, "c", "c", plat::MB_YESNO), plat::IDNO);  // "ok" fits no yes/no box
  EXPECT_EQ(message_box(0, "d", "c", plat::MB_ABORTRETRYIGNORE), plat::IDIGNORE);
  EXPECT_EQ(message_box(0, "e", "c", plat::MB_RETRYCANCEL), plat::IDCANCEL);  // none left
  std::vector<std::string> answers;
  for (auto& b : log.boxes()) answers.push_back(b.answer);
  EXPECT_EQ(answers, (std::vector<std::string>{"retry", "yes", "no", "ignore", "cancel"}));
  plat::dialog_reset();  // starts the queue again
  EXPECT_EQ(message_box(0, "f", "c", plat::MB_RETRYCANCEL), plat::IDRETRY);
}

TEST(Dialog, LogLineIsValidJsonInUtf8) {
  mrvtest::DialogLog log;
  std::string caption = plat::utf8_to_cp932("『Marovine33』タスクマネージャ(MRVTASK.DLL)");
  std::string text = plat::utf8_to_cp932("ファイル\"a\\b\"\nが見つかりません。\t") + "\x01";
  text += "\xFF\x81";  // not code page 932: still shown, as replacement characters
  message_box(0, text.c_str(), caption.c_str(), plat::MB_ICONWARNING | plat::MB_TASKMODAL);
  message_box(0, "i", "", plat::MB_ICONINFORMATION | plat::MB_OKCANCEL);
  std::string raw = mrvtest::read_file(log.path());
  auto first = raw.substr(0, raw.find('\n'));
  EXPECT_EQ(
      first,
      "{\"caption\":\"『Marovine33』タスクマネージャ(MRVTASK.DLL)\","
      "\"text\":\"ファイル\\\"a\\\\b\\\"\\nが見つかりません。\\t\\u0001\xEF\xBF\xBD\xEF\xBF\xBD\","
      "\"buttons\":\"ok\",\"icon\":\"warning\",\"answer\":\"ok\"}");
  auto boxes = log.boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text.substr(0, 17), "ファイル\"a\\b\"");
  EXPECT_EQ(boxes[1].icon, "information");
  EXPECT_EQ(boxes[1].answer, "cancel");
}

TEST(Dialog, BoxesFromManyThreadsGiveWholeLines) {
  mrvtest::DialogLog log;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < 25; ++i) message_box(0, "x", "y", plat::MB_YESNO | plat::MB_ICONERROR);
    });
  for (auto& t : threads) t.join();
  auto boxes = log.boxes();
  ASSERT_EQ(boxes.size(), 100u);
  for (auto& b : boxes) {
    EXPECT_EQ(b.icon, "error");
    EXPECT_EQ(b.answer, "no");
  }
}

// On a terminal the person answers, also while the boxes are logged; a list of
// answers takes the terminal's place. Runs in a child whose standard input is
// a pseudo-terminal that already holds the typed line.
TEST(Dialog, OnATerminalTheLogAloneStillAsksThePerson) {
  mrvtest::TempDir dir;
  const std::string log = dir.file("boxes.jsonl");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    alarm(10);  // a box that waits for a line never typed ends the child
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) _exit(10);
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    if (slave < 0 || dup2(slave, STDIN_FILENO) < 0 || !isatty(STDIN_FILENO)) _exit(11);
    if (write(master, "retry\n", 6) != 6) _exit(12);
    setenv("MRV_DIALOG_LOG", log.c_str(), 1);
    unsetenv("MRV_DIALOG_ANSWERS");
    plat::dialog_reset();
    if (message_box(0, "t", "c", plat::MB_RETRYCANCEL) != plat::IDRETRY) _exit(1);
    setenv("MRV_DIALOG_ANSWERS", "", 1);  // an empty list: every box takes its default
    plat::dialog_reset();
    if (message_box(0, "t", "c", plat::MB_RETRYCANCEL) != plat::IDCANCEL) _exit(2);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "the child hung or crashed";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::string logged = mrvtest::read_file(log);
  EXPECT_NE(logged.find("\"answer\":\"retry\""), std::string::npos) << logged;
  EXPECT_NE(logged.find("\"answer\":\"cancel\""), std::string::npos) << logged;
}

}  // namespace
