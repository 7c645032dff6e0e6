// The host program from end to end: the real mrv33 process runs small titles
// in a program directory of its own and is driven with input that the
// scenario injects into its windows through the test library INJECT (posted
// to the main thread's queue, as the window system's backend posts input).
// Effects are read from the trace, viewer and dialog logs and from the
// PNG image the title saves.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <png.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fixtures.h"
#include "platform/bytes.h"
#include "title.h"

namespace {

using mrvtest::eventually;
using mrvtest::kOpen;
using mrvtest::Lines;
using mrvtest::Title;
namespace fs = std::filesystem;

long long now_us() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// ---- Start-up ---------------------------------------------------------------

TEST(StartUp, RunsTheScenarioTheCommandLineNamesAndExitsWithZero) {
  struct Row {
    std::vector<std::string> args;
    std::string scenario;
  } rows[] = {
      {{}, "MRV"},
      {{"   "}, "MRV"},
      {{"  SUB"}, "SUB"},
      {{"two", "words"}, "TWO WORDS"},
  };
  for (const Row& r : rows) {
    Title t;
    for (const char* name : {"MRV", "SUB", "TWO WORDS"})
      t.source(name, std::string("DebugMessage(\"ran ") + name + "\");\n");
    EXPECT_EQ(t.run(r.args), 0) << r.scenario << t.errors();
    EXPECT_EQ(t.messages(), Lines{"ran " + r.scenario}) << r.scenario;
  }
}

TEST(StartUp, GivesTheSystemVariablesTheirStartValues) {
  Title t;
  t.source("MRV",
           "DebugMessage(#0);\n"
           "DebugMessage(ValueType(\\#1), ValueType(\\#2), ValueType(\\#3), ValueType(\\#7),"
           " ValueType(\\#17), ValueType(\\#19));\n"
           "DebugMessage(\"[\", #10, \"][\", #11, \"][\", #18, \"]\");\n");
  ASSERT_EQ(t.run(), 0) << t.errors();
  std::string prog = t.prog().string();
  plat::upper_cp932(prog.data());
  EXPECT_EQ(t.messages(), (Lines{" 1171", " 78 78 78 78 72 82",
                                 "[" + t.file("win").string() + "][" + prog + "][]"}));
}

TEST(StartUp, ReadsTheDefinitionFileOfTheProgramDirectory) {
  {
    Title t;
    t.definitions("#define 'GREETING' '\"defined\"'\n");
    t.source("MRV", "DebugMessage(GREETING);\n");
    ASSERT_EQ(t.run(), 0) << t.errors();
    EXPECT_EQ(t.messages(), Lines{"defined"});
  }
  {
    Title t;  // a definition file that fails to load: no task runs
    t.definitions("#bogus\n");
    t.source("MRV", "DebugMessage(\"ran\");\n");
    ASSERT_EQ(t.run(), 0) << t.errors();
    EXPECT_TRUE(t.trace().empty());
    ASSERT_EQ(t.boxes().size(), 1u);
    EXPECT_NE(t.boxes()[0].text.find("定義ファイル"), std::string::npos) << t.boxes()[0].text;
  }
}

TEST(StartUp, TraceSwitchesComeFromTheEnvironment) {
  struct Row {
    const char* value;
    const char* line;
  } rows[] = {
      {"1", "1171 TASK00    1 DEBUGMESSAGE"},
      {"2", "1171 TASK00    1 DEBUGMESSAGE( 5 )"},
  };
  for (const Row& r : rows) {
    Title t;
    t.source("MRV", "DebugMessage(5);\n");
    ASSERT_EQ(t.run({}, {{"MRV_TRACE", r.value}}), 0);
    EXPECT_TRUE(t.traced(r.line)) << r.value << "\n" << ::testing::PrintToString(t.trace());
  }
}

// Start-up to the first statement on an empty title: from the moment the
// process is spawned to the first statement's stamp.
TEST(StartUp, ReportsTheTimeToTheFirstStatement) {
  std::vector<long long> took;
  for (int i = 0; i < 5; ++i) {
    Title t;
    t.source("MRV", "INJECT:STAMP();\n");
    const long long before = now_us();
    ASSERT_EQ(Title::finish(t.start({})), 0) << t.errors();
    for (const std::string& l : t.trace()) {
      if (l.rfind("1171 @T stamp ", 0) == 0) took.push_back(std::stoll(l.substr(14)) - before);
    }
  }
  ASSERT_EQ(took.size(), 5u);
  std::sort(took.begin(), took.end());
  // Reported only (in the output and the test's XML properties): how long it
  // takes depends on the machine, its load and the sanitizers.
  std::printf("start-up to the first statement: median %lld us (fastest %lld us)\n", took[2],
              took[0]);
  RecordProperty("startup_median_us", std::to_string(took[2]));
  for (long long us : took) EXPECT_GT(us, 0) << "a stamp before the start";
}

// ---- Input -------------------------------------------------------------------

TEST(Input, KeysClicksDoubleClicksAndCommandsReachTheSystemVariables) {
  Title t;
  t.source("MRV", std::string(kOpen) +
                      "INJECT:KEY(65, 1);\n"
                      "While(Key(1) != 65) { Wait(10); };\n"
                      "DebugMessage(\"down\", INJECT:WORDS(2));\n"
                      "INJECT:KEY(65, 0);\n"
                      "While(Key(1) != 0) { Wait(10); };\n"
                      "DebugMessage(\"up\", INJECT:WORDS(2), GetRectXpos(INJECT:WORDS(3)) != 0,"
                      " GetRectYpos(INJECT:WORDS(3)));\n"
                      "INJECT:SCALE(0, 50, 200);\n"
                      "INJECT:MOUSE(0, 0x201, 150, 80);\n"
                      // The host writes the state word before the position:
                      // wait for both, as a title reading a click must.
                      "While(GetRectXpos(INJECT:WORDS(110)) == 0 ||"
                      " GetRectXsize(INJECT:WORDS(110)) == 0) { Wait(10); };\n"
                      "DebugMessage(\"left down\", INJECT:WORDS(110));\n"
                      "INJECT:MOUSE(0, 0x202, 150, 80);\n"
                      "While(GetRectXpos(INJECT:WORDS(110)) != 0) { Wait(10); };\n"
                      "DebugMessage(\"left up\", INJECT:WORDS(110));\n"
                      "INJECT:MOUSE(0, 0x203, 150, 80);\n"
                      "While(GetRectXpos(INJECT:WORDS(110)) == 0) { Wait(10); };\n"
                      "DebugMessage(\"left double\", INJECT:WORDS(110));\n"
                      "INJECT:MOUSE(0, 0x206, 30, 60);\n"
                      "While(GetRectXpos(INJECT:WORDS(120)) == 0 ||"
                      " GetRectXsize(INJECT:WORDS(120)) != 60) { Wait(10); };\n"
                      "DebugMessage(\"right double\", INJECT:WORDS(120));\n"
                      "INJECT:MOUSE(0, 0x204, 10, 10);\n"
                      "While(GetRectXpos(INJECT:WORDS(120)) != 3 ||"
                      " GetRectXsize(INJECT:WORDS(120)) != 20) { Wait(10); };\n"
                      "DebugMessage(\"right down\", INJECT:WORDS(120));\n"
                      "INJECT:COMMAND(101);\n"
                      "INJECT:COMMAND(5);\n"
                      "While(GetRectXsize(INJECT:WORDS(5)) == 0) { Wait(10); };\n"
                      "DebugMessage(\"command\", INJECT:WORDS(5), INJECT:WORDS(101));\n");
  ASSERT_EQ(t.run(), 0) << t.errors();
  EXPECT_EQ(t.messages(), (Lines{
                              "down{65,65,0,0}",
                              "up{65,0,0,0} -1 0",  // key data kept in word1, word2 cleared
                              "left down{1,1,300,40}",
                              "left up{0,1,300,40}",
                              "left double{2,3,300,40}",  // 100 x 150 / 50, 100 x 80 / 200
                              "right double{2,2,60,30}",
                              "right down{3,3,20,5}",
                              "command{0,0,1,0}{0,0,0,0}",
                          }));
}

// ---- Closing -----------------------------------------------------------------

TEST(Closing, TheQuestionAnsweredYesEndsEveryTask) {
  Title t;
  t.source("MRV", std::string("#13 = \"終わりますか？\";\n") + kOpen +
                      "$1 = TaskStart(-1, \"BUSY\");\n"
                      "INJECT:CLOSE(0, 0);\n"
                      "Loop(-1) { Wait(10000); };\n");
  t.source("BUSY", "Loop(-1) { Wait(10000); };\n");
  ASSERT_EQ(t.run({}, {{"MRV_DIALOG_ANSWERS", "yes"}}), 0) << t.errors();
  const auto boxes = t.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "ユーザによる中断");
  EXPECT_EQ(boxes[0].text, "終わりますか？");
  EXPECT_EQ(boxes[0].buttons, "yesno");
  EXPECT_EQ(boxes[0].answer, "yes");
}

TEST(Closing, TheQuestionAnsweredNoLetsTheTitleGoOn) {
  Title t;
  // The third argument sends the close and waits until it has been handled.
  t.source("MRV", std::string("#13 = \"終わりますか？\";\n") + kOpen +
                      "$1 = TaskStart(-1, \"COUNT\");\n"
                      "INJECT:CLOSE(0, 0, 1);\n"
                      "DebugMessage(\"went on\");\n"
                      "While(IsTask($1)) { Wait(10); };\n");
  t.source("COUNT", "$2 = 0; While($2 < 20) { $2 = $2 + 1; Wait(5); }; DebugMessage($2);\n");
  ASSERT_EQ(t.run({}, {{"MRV_DIALOG_ANSWERS", "no"}}), 0) << t.errors();
  EXPECT_EQ(t.messages(), (Lines{"went on", " 20"}));
  ASSERT_EQ(t.boxes().size(), 1u);
  EXPECT_EQ(t.boxes()[0].answer, "no");
}

TEST(Closing, WithoutAQuestionOrWithTheSkipParameterNoBoxIsShown) {
  struct Row {
    const char* question;
    const char* close;
  } rows[] = {
      {"", "INJECT:CLOSE(0, 0);\n"},                    // #13 holds no string
      {"#13 = \"Quit?\";\n", "INJECT:CLOSE(0, 1);\n"},  // non-zero first parameter
  };
  for (const Row& r : rows) {
    Title t;
    t.source("MRV", std::string(r.question) + kOpen + r.close + "Loop(-1) { Wait(10000); };\n");
    ASSERT_EQ(t.run(), 0) << r.close << t.errors();
    EXPECT_TRUE(t.boxes().empty()) << r.close;
  }
}

// Once the close has begun every task ends, also the ones started after it:
// here each task starts the next one, in the slots of ended ones.
TEST(Closing, EndsTasksThatKeepStartingTasks) {
  Title t;
  t.source("MRV", std::string(kOpen) +
                      "TaskStart(-1, \"T0\");\nTaskStart(-1, \"T0\");\n"
                      "Wait(100);\nINJECT:CLOSE(0, 1);\nLoop(-1) { Wait(10000); };\n");
  t.source("T0", "TaskStart(-1, \"T0\");\n");
  ASSERT_EQ(Title::finish(t.start({}, {}), 10000), 0) << t.errors();
}

TEST(Closing, ASubWindowIsMinimisedAndStaysOpen) {
  Title t;
  t.source("MRV", std::string(kOpen) +
                      "INJECT:SUB(1);\n"
                      "INJECT:CLOSE(1, 0, 1);\n"
                      "DebugMessage(INJECT:MINIMISED(1), GetRectXpos(INJECT:WORDS(21)) != 0);\n");
  ASSERT_EQ(t.run(), 0) << t.errors();
  EXPECT_EQ(t.messages(), Lines{" -1 -1"});
}

// Closing must end every task, whatever it is doing, without locking up.
TEST(Closing, EndsTasksThatWaitReportOrAskTheHost) {
  struct Row {
    const char* busy;    // the second task
    const char* answer;  // for the box the task shows, if any
    std::function<void(const Title&)> check;
  } rows[] = {
      {"Loop(-1) { Wait(10000); };", "", nullptr},
      {"WaitStart(60000); WaitEnd(0);", "", nullptr},
      {"MRVWIN:TEXT(\"@W[5000]abcdef\");", "", nullptr},
      {"MessageBox(\"busy\", \"a box\", 0); Loop(-1) { Wait(10000); };", "ok", nullptr},
      {"INJECT:ERRORWHENENDING();", "ok",
       [](const Title& t) {
         // The error box got its answers from the main window while it was
         // waiting for the task: the scenario, the task and the line.
         const auto boxes = t.boxes();
         ASSERT_EQ(boxes.size(), 1u);
         EXPECT_NE(boxes[0].text.find("BUSY.SNA"), std::string::npos) << boxes[0].text;
         EXPECT_NE(boxes[0].text.find("【タスク】\t1\n【行番号】\t1\n【内容】\tlate error"),
                   std::string::npos)
             << boxes[0].text;
       }},
      {"INJECT:REQUESTWHENENDING();", "",
       [](const Title& t) { EXPECT_TRUE(t.traced("1171 @T request served")); }},
  };
  for (const Row& r : rows) {
    Title t;
    t.source("MRV", std::string(kOpen) +
                        "$1 = TaskStart(-1, \"BUSY\");\n"
                        "Wait(50);\n"
                        "INJECT:CLOSE(0, 0);\n"
                        "Loop(-1) { Wait(10000); };\n");
    t.source("BUSY", r.busy);
    EXPECT_EQ(t.run({}, {{"MRV_DIALOG_ANSWERS", r.answer}}), 0) << r.busy << t.errors();
    if (r.check) r.check(t);
  }
}

// ---- Host requests -------------------------------------------------------------

// The host completes every request, so the task that asked goes on: one it
// cannot carry out gets the failure result (-1; 0 for a window) and is not
// read beyond its block. A well-formed request keeps its data word.
TEST(HostRequests, AnUnknownOrMalformedRequestFailsAndTheTaskGoesOn) {
  Title t;
  t.source("MRV",
           "DebugMessage(\"unknown\", INJECT:REQUEST(99, 0, 0), INJECT:REQUEST(6, 284, 0));\n"
           "DebugMessage(\"window\", INJECT:REQUEST(1, 39, 0), INJECT:REQUEST(1, 0, 0));\n"
           "DebugMessage(\"names\", INJECT:REQUEST(1, 40, 120));\n"
           "DebugMessage(\"play\", INJECT:REQUEST(4, 283, 0), INJECT:REQUEST(4, 0, 0));\n"
           "DebugMessage(\"play name\", INJECT:REQUEST(4, 284, 120));\n"
           "DebugMessage(\"stop\", INJECT:REQUEST(5, 0, 0));\n"
           "DebugMessage(\"opened\", MRVWIN:OPEN(64, 48, \"t\"));\n");
  ASSERT_EQ(t.run(), 0) << t.errors();
  EXPECT_EQ(t.messages(), (Lines{
                              "unknown -1 -1",
                              "window 0 0",  // too small, no block
                              "names 0",     // "xxxx" as addresses: no text there
                              "play -1 -1",
                              "play name -1",  // 256 bytes without an end
                              "stop 0",
                              "opened -1",
                          }));
}

// ---- A second start ------------------------------------------------------------

TEST(SecondStart, RestoresTheFirstCopysWindowAndEndsWithMinusOne) {
  Title t;
  t.source("MRV", std::string(kOpen) +
                      "INJECT:MINIMISE(0);\n"
                      "DebugMessage(\"minimised\");\n"
                      "While(INJECT:MINIMISED(0)) { Wait(10); };\n"
                      "DebugMessage(\"restored\");\n");
  const pid_t first = t.start({});
  ASSERT_TRUE(eventually([&] { return t.traced("1171 @B minimised"); })) << t.errors();
  EXPECT_EQ(Title::finish(t.start({"OTHER"})), 255);  // exit code -1
  // It says why on standard error, naming the directory of the lock.
  EXPECT_TRUE(eventually([&] {
    return t.errors().find("mrv33: another copy is running (its lock is in " +
                           t.file("run").string() + ")\n") != std::string::npos;
  })) << t.errors();
  EXPECT_EQ(Title::finish(first), 0);
  EXPECT_EQ(t.messages(), (Lines{"minimised", "restored"}));
}

// ---- The tracer's requests ------------------------------------------------------

TEST(Tracer, ControlRecordsSwitchTheTraceAndDumpVariablesToTheViewer) {
  Title t;
  // The title runs until the test writes E2E.INI into the Windows directory.
  t.source("MRV", std::string(kOpen) +
                      "$5 = 12; $A = 7;\n"
                      "DebugMessage(\"ready\");\n"
                      "While(GetIniFile(\"E2E.INI\", \"t\", \"done\", \"0\") == \"0\") {"
                      " Wait(10); };\n");
  const pid_t pid = t.start({});
  ASSERT_TRUE(eventually([&] { return t.traced("1171 @B ready"); })) << t.errors();
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::snprintf(a.sun_path, sizeof a.sun_path, "%s", t.file("run/control.sock").c_str());
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  auto send = [&](int32_t code, int32_t p) {
    char rec[8];
    plat::put_le32(rec, static_cast<uint32_t>(code));
    plat::put_le32(rec + 4, static_cast<uint32_t>(p));
    ASSERT_EQ(write(fd, rec, sizeof rec), 8);
  };
  send(6, 0);
  send(7, 0);
  send(8, 0);
  send(1, 0);  // the trace on for task 0 (p is the watched task and, here, the switch)
  send(1, 1);
  auto has = [&](const Lines& l, const std::string& s) {
    return std::find(l.begin(), l.end(), s) != l.end();
  };
  EXPECT_TRUE(eventually([&] {
    const Lines v = t.viewer();
    return has(v, "1171 $A\t数値\t7");
  }));
  EXPECT_TRUE(eventually([&] {
    for (const std::string& l : t.trace())
      if (l.find("TASK00") != std::string::npos) return true;
    return false;
  }));
  close(fd);
  mrvtest::write_file(t.file("win/E2E.INI"), "[t]\ndone=1\n");
  ASSERT_EQ(Title::finish(pid), 0) << t.errors();
  const Lines v = t.viewer();
  EXPECT_EQ(std::count(v.begin(), v.end(), "1171 @C"), 3);
  EXPECT_TRUE(has(v, "1171 #00000\t数値\t1171"));
  EXPECT_TRUE(has(v, "1171 $00005\t数値\t12"));
  EXPECT_TRUE(std::any_of(v.begin(), v.end(), [](const std::string& l) {
    return l.rfind("1171 #00011\t文字列\t", 0) == 0;
  }));
}

// ---- Error boxes -----------------------------------------------------------------

TEST(ErrorBox, ShowsTheScenarioTaskAndLineOnceTheMainWindowExists) {
  Title t;
  t.source("MRV", std::string(kOpen) + "\nKey(\"x\");\n");
  ASSERT_EQ(t.run(), 0) << t.errors();
  const auto boxes = t.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_NE(boxes[0].text.find("【シナリオ】\t"), std::string::npos) << boxes[0].text;
  EXPECT_NE(boxes[0].text.find("MRV.SNA\n【タスク】\t0\n【行番号】\t3\n【内容】\t関数(Key)"),
            std::string::npos)
      << boxes[0].text;
}

// ---- Drawing ---------------------------------------------------------------------

struct Image {
  int w = 0, h = 0;
  std::vector<uint8_t> rgb;
  uint32_t at(int x, int y) const {
    const uint8_t* p = &rgb[(static_cast<std::size_t>(y) * w + x) * 3];
    return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
  }
};

Image read_png(const fs::path& path) {
  Image img;
  png_image pi{};
  pi.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&pi, path.c_str())) return img;
  pi.format = PNG_FORMAT_RGB;
  img.w = static_cast<int>(pi.width);
  img.h = static_cast<int>(pi.height);
  img.rgb.resize(PNG_IMAGE_SIZE(pi));
  if (!png_image_finish_read(&pi, nullptr, img.rgb.data(), 0, nullptr)) img = Image{};
  return img;
}

TEST(Drawing, TheTitlesTextColoursAndPausesReachTheSavedImage) {
  Title t;
  t.source("MRV",
           "MRVWIN:OPEN(160, 64, \"e2e\");\n"
           "MRVWIN:TEXT(\"@E[0,0,31]@C[31,0,0]I@C[0,31,0]-\");\n"
           "$1 = SystemTime(1);\n"
           "MRVWIN:TEXT(\"@L@W[40]@C[31,31,31]abcde@W[0]\");\n"
           "DebugMessage(SystemTime(1) - $1 >= 200);\n"
           "DebugMessage(MRVWIN:SAVE(\"out.png\"));\n");
  ASSERT_EQ(t.run({}, {{"MRV_KORVEX_FONT", "builtin"}}), 0) << t.errors();
  EXPECT_EQ(t.messages(), (Lines{" -1", " -1"}));  // five pauses of 40 ms; saved
  const Image img = read_png(t.work() / "out.png");
  ASSERT_EQ(img.w, 160);
  ASSERT_EQ(img.h, 64);
  const uint32_t blue = 0x0000FF, red = 0xFF0000, green = 0x00FF00, white = 0xFFFFFF;
  // Cells are 8 x 16 pixels. The built-in 'I' is a bar three pixels from the
  // left of its cell over rows 0-13 with short serifs at rows 0-1 and 12-13;
  // '-' is a line over pixels 0-6 at rows 6-7 of the second cell.
  for (int y = 0; y < 14; ++y) EXPECT_EQ(img.at(3, y), red) << y;
  EXPECT_EQ(img.at(3, 14), blue);
  EXPECT_EQ(img.at(2, 0), red);
  EXPECT_EQ(img.at(2, 2), blue);
  EXPECT_EQ(img.at(0, 0), blue);
  for (int x = 8; x < 15; ++x) EXPECT_EQ(img.at(x, 6), green) << x;
  EXPECT_EQ(img.at(15, 6), blue);
  EXPECT_EQ(img.at(8, 5), blue);
  // The second line: white letters in the first five cells of row 1 only.
  int white_in = 0, white_out = 0;
  for (int y = 0; y < img.h; ++y) {
    for (int x = 0; x < img.w; ++x) {
      if (img.at(x, y) != white) continue;
      (y >= 16 && y < 32 && x < 40 ? white_in : white_out)++;
    }
  }
  EXPECT_GT(white_in, 20);
  EXPECT_EQ(white_out, 0);
  EXPECT_EQ(img.at(100, 50), blue);
}

// A title's library reads its files through the file manager: from an
// archive (here the program directory's, the name as given finding nothing)
// as well as from a folder of the current directory.
TEST(Drawing, PicturesAndSoundsComeFromTheTitlesArchives) {
  Title t;
  const fs::path assets = std::getenv("MRV_TEST_BIN_DIR");  // the default title's files
  auto asset = [&](const char* name) { return mrvtest::read_file(assets / name); };
  mrvtest::write_file(t.prog() / "DATA.vfs", fixture::archive({{"BALL.PNG", asset("BALL.PNG")},
                                                               {"CHIME.WAV", asset("CHIME.WAV")},
                                                               {"TILE.BMP", asset("TILE.BMP")}}));
  fs::create_directories(t.work() / "img");
  mrvtest::write_file(t.work() / "img" / "tile.bmp", asset("TILE.BMP"));
  t.source("MRV",
           "MRVWIN:OPEN(64, 32, \"vfs\");\n"
           "DebugMessage(MRVWIN:DRAW(MRVWIN:PICTURE(\"DATA\\TILE.BMP\", -1), 0, 0));\n"
           "DebugMessage(MRVWIN:DRAW(MRVWIN:PICTURE(\"data\\ball.png\", 31775), 16, 0));\n"
           "DebugMessage(MRVWIN:DRAW(MRVWIN:PICTURE(\"IMG\\TILE.BMP\", -1), 32, 0));\n"
           "DebugMessage(MRVWIN:DRAW(MRVWIN:PICTURE(\"DATA\\NONE.BMP\", -1), 0, 0));\n"
           "DebugMessage(MRVWIN:PLAY(MRVWIN:SOUND(\"DATA\\CHIME.WAV\"), 1));\n"
           "DebugMessage(MRVWIN:PLAY(MRVWIN:SOUND(\"DATA\\NONE.WAV\"), 1));\n");
  ASSERT_EQ(t.run({}), 0) << t.errors();
  EXPECT_EQ(t.messages(), (Lines{" -1", " -1", " -1", " 0", " -1", " 0"}));
  EXPECT_TRUE(t.boxes().empty());
}

// ---- The launcher ----------------------------------------------------------------

TEST(Launcher, StartsTheHostOnMrvFromItsDirectoryAndEndsAtOnce) {
  Title t;
  t.source("MRV", "DebugMessage(\"started\");\n");
  t.source("OTHER", "DebugMessage(\"wrong\");\n");
  EXPECT_EQ(Title::finish(t.start({"OTHER", "x"}, {}, "starter")), 0);
  EXPECT_TRUE(eventually([&] { return t.traced("1171 @B started"); })) << t.errors();
  // The host ends by itself: its single-instance lock goes with it.
  const std::string lock = t.file("run/mrv33.lock");
  EXPECT_TRUE(eventually([&] {
    const int fd = open(lock.c_str(), O_RDWR);
    if (fd < 0) return false;
    const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free;
  }));
}

}  // namespace
