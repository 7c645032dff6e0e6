// The host on a real X server: mrv33 runs with the SDL backend on an Xvfb
// display of the test's own and is driven with real input events (xdotool
// through the XTEST extension; the close button as the window manager's
// WM_DELETE_WINDOW message, since Xvfb runs no window manager to draw one).
// Effects are read from the trace log (DebugMessage lines), the dialog log
// and the pixels of a screenshot of the X server. Skipped, with a message,
// only on a machine without Xvfb.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "dialog_log.h"
#include "platform/text.h"
#include "tempdir.h"
#include "xvfb.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

bool send_delete_window(const std::string& display, unsigned long window);
unsigned long window_named(const std::string& display, const std::string& utf8);

using Lines = std::vector<std::string>;

constexpr int kWaitMs = 60000;  // generous: a loaded 2-core machine, sanitizers

long long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool eventually(const std::function<bool()>& done, int ms = kWaitMs) {
  const long long end = now_ms() + ms;
  while (!done()) {
    if (now_ms() > end) return false;
    usleep(20000);
  }
  return true;
}

bool on_path(const char* tool) {
  const std::string cmd = std::string("command -v ") + tool + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

// The output of a shell command ("" when it failed).
std::string output(const std::string& cmd) {
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[4096];
    for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    if (pclose(p) != 0) out.clear();
  }
  return out;
}

using mrvtest::Xvfb;

// A 24-bit BMP of one colour.
std::string solid_bmp(int w, int h, uint8_t r, uint8_t g, uint8_t b) {
  const int row = (w * 3 + 3) & ~3;
  std::string data(static_cast<std::size_t>(row) * h, '\0');
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      char* p = &data[static_cast<std::size_t>(y) * row + x * 3];
      p[0] = static_cast<char>(b), p[1] = static_cast<char>(g), p[2] = static_cast<char>(r);
    }
  auto le = [](uint32_t v, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
  };
  const auto size = static_cast<uint32_t>(data.size());
  return "BM" + le(54 + size, 4) + le(0, 4) + le(54, 4) + le(40, 4) + le(w, 4) + le(h, 4) +
         le(1, 2) + le(24, 2) + le(0, 4) + le(size, 4) + le(2835, 4) + le(2835, 4) + le(0, 4) +
         le(0, 4) + data;
}

// A program directory with the host, the libraries and INJECT, one title,
// and the logs of one run.
class Title {
 public:
  Title() {
    fs::create_directories(prog());
    const fs::path bin = std::getenv("MRV_TEST_BIN_DIR");
    for (const auto& e : fs::directory_iterator(bin)) {
      const std::string name = e.path().filename().string();
      if (name == "mrv33")
        fs::copy_file(e.path(), prog() / name);  // it finds its directory from its own path
      else if (name.find(".so") != std::string::npos)
        fs::create_symlink(e.path(), prog() / name);
    }
    fs::create_symlink(bin.parent_path() / "tests" / "inject.so", prog() / "inject.so");
  }

  fs::path prog() const { return dir_.path() / "prog"; }
  std::string file(const std::string& name) const { return dir_.file(name); }
  void source(const std::string& utf8) const {
    mrvtest::write_file(prog() / "MRV.SNA", plat::utf8_to_cp932(utf8));
  }
  void put(const std::string& name, const std::string& bytes) const {
    mrvtest::write_file(prog() / name, bytes);
  }

  // Starts mrv33 with `backend` ("sdl" on `display`, or "headless").
  void start(const std::string& backend, const std::string& display, const char* answers) {
    std::map<std::string, std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string kv = *e;
      env[kv.substr(0, kv.find('='))] = kv.substr(kv.find('=') + 1);
    }
    env["MRV_BACKEND"] = backend;
    env["DISPLAY"] = display;
    env["MRV_RUNTIME_DIR"] = file("");
    env["MRV_WINDIR"] = file("");
    env["MRV_TRACE_LOG"] = file("trace.log");
    env["MRV_DIALOG_LOG"] = file("dialog.log");
    env["SDL_AUDIODRIVER"] = "dummy";
    env.erase("MRV_TRACE");
    if (answers != nullptr)
      env["MRV_DIALOG_ANSWERS"] = answers;
    else
      env.erase("MRV_DIALOG_ANSWERS");  // the person answers, in the real box
    std::vector<std::string> kvs;
    for (const auto& [k, v] : env) kvs.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (std::string& s : kvs) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string path = (prog() / "mrv33").string();
    char* argv[] = {path.data(), nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, file("stdout.txt").c_str(), O_WRONLY | O_CREAT, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, file("stderr.txt").c_str(), O_WRONLY | O_CREAT, 0644);
    if (posix_spawn(&pid_, path.c_str(), &fa, nullptr, argv, envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
  }

  // The exit status, or -1000 when it did not end in time (then killed).
  int finish() {
    int status = 0;
    const bool ended = eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; });
    if (!ended) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1000;
  }
  ~Title() {
    if (pid_ > 0) finish();
  }
  pid_t pid() const { return pid_; }

  // The DebugMessage lines of the trace log, without "1171 @B ".
  Lines messages() const {
    Lines out;
    std::ifstream f(file("trace.log"));
    for (std::string l; std::getline(f, l);)
      if (l.rfind("1171 @B ", 0) == 0) out.push_back(l.substr(8));
    return out;
  }
  bool said(const std::string& line) const {
    const Lines m = messages();
    return std::find(m.begin(), m.end(), line) != m.end();
  }
  Lines boxes() const {
    Lines out;
    std::ifstream f(file("dialog.log"));
    for (std::string l; std::getline(f, l);) out.push_back(l);
    return out;
  }
  std::string errors() const {
    std::ifstream f(file("stderr.txt"));
    return std::string(std::istreambuf_iterator<char>(f), {});
  }

 private:
  mrvtest::TempDir dir_;
  pid_t pid_ = -1;
};

// What the person does, on the X server.
class Person {
 public:
  explicit Person(std::string display) : display_(std::move(display)) {}

  // The top-level window with exactly this title (0 while there is none).
  // Read by Xlib: SDL's boxes name themselves in UTF-8, which xdotool's search
  // does not read.
  unsigned long window(const std::string& title) const { return window_named(display_, title); }
  std::map<std::string, int> geometry(unsigned long w) const {
    std::map<std::string, int> g;
    std::istringstream in(output(run("xdotool getwindowgeometry --shell " + std::to_string(w))));
    for (std::string l; std::getline(in, l);)
      if (const auto eq = l.find('='); eq != std::string::npos && l[0] != 'S')
        g[l.substr(0, eq)] = std::stoi(l.substr(eq + 1));
    return g;
  }
  bool xdotool(const std::string& args) const {
    return std::system(run("xdotool " + args).c_str()) == 0;
  }
  // The close button: the window manager's request to close the window.
  bool close(unsigned long w) const { return send_delete_window(display_, w); }
  // The pixel (x, y) of the screen as 0xRRGGBB, or -1.
  long pixel(int x, int y, const std::string& shot) const {
    const std::string cmd = run("xwd -root -silent | convert xwd:- " + shot);
    if (std::system(cmd.c_str()) != 0) return -1;
    std::ifstream f(shot, std::ios::binary);
    auto token = [&f] {  // skips "#" comments, as the format allows
      std::string t;
      while (f >> t && t[0] == '#') std::getline(f, t);
      return t;
    };
    const std::string magic = token();
    const int w = std::stoi(token()), h = std::stoi(token());
    token();  // the largest value: 255
    f.get();
    if (magic != "P6" || x < 0 || y < 0 || x >= w || y >= h) return -1;
    f.seekg(static_cast<std::streamoff>(y) * w * 3 + x * 3, std::ios::cur);
    unsigned char rgb[3];
    f.read(reinterpret_cast<char*>(rgb), 3);
    return rgb[0] << 16 | rgb[1] << 8 | rgb[2];
  }

 private:
  std::string run(const std::string& cmd) const {
    return "DISPLAY=" + display_ + " " + cmd + " 2>/dev/null";
  }
  std::string display_;
};

class OnDisplay : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!on_path("Xvfb")) GTEST_SKIP() << "Xvfb is not installed (Debian package xvfb)";
    // The person's tools: a machine without them skips, saying what is missing.
    for (const char* tool : {"xdotool", "xwd"})
      if (!on_path(tool)) GTEST_SKIP() << tool << " is missing: tools/install-deps.sh --test";
    if (output("convert -version").find("Version: ImageMagick") == std::string::npos)
      GTEST_SKIP() << "ImageMagick's convert is missing: tools/install-deps.sh --test";
    x_ = std::make_unique<Xvfb>();
    ASSERT_FALSE(x_->display().empty()) << "Xvfb did not start";
    person_ = std::make_unique<Person>(x_->display());
  }
  std::unique_ptr<Xvfb> x_;
  std::unique_ptr<Person> person_;
};

// Waits for each step of the title before the person acts on it.
const char* kDriven = R"(#13 = "Quit?";
MRVWIN:OPEN(200, 100, "mrvx");
$1 = MRVWIN:PICTURE("RED.BMP", -1);
MRVWIN:DRAW($1, 20, 30);
DebugMessage("ready");
Loop(-1) { If(Key(0) != 0) { Break(0); }; Wait(20); };
Loop(-1) { If(Key(1) == 0) { Break(0); }; Wait(20); };
DebugMessage("key", Key(0), Shift(0), Key(1));
Loop(-1) { If(GetRectYpos(#110) != 0) { If(GetRectXpos(#110) == 0) { Break(0); }; }; Wait(20); };
DebugMessage("click ", #110);
Loop(-1) { If(GetRectYpos(#110) >= 2) { If(GetRectXpos(#110) == 2) { Break(0); }; }; Wait(20); };
DebugMessage("double ", #110);
ClearKey(0);
Loop(-1) { If(Key(0) == 88) { Break(0); }; Wait(20); };
DebugMessage("still running");
Loop(-1) { Wait(1000); };
)";

TEST_F(OnDisplay, RealInputReachesTheTitleAndTheCloseButtonAsksInARealBox) {
  Title t;
  t.source(kDriven);
  t.put("RED.BMP", solid_bmp(16, 16, 255, 0, 0));
  t.start("sdl", x_->display(), nullptr);
  Person& p = *person_;
  ASSERT_TRUE(eventually([&] { return t.said("ready"); })) << t.errors();
  unsigned long w = 0;
  ASSERT_TRUE(eventually([&] { return (w = p.window("mrvx")) != 0; }));
  auto g = p.geometry(w);
  EXPECT_EQ(g["WIDTH"], 200);
  EXPECT_EQ(g["HEIGHT"], 100);

  // The picture drawn: red where the cell went, the black surface around it.
  const std::string shot = t.file("shot.ppm");
  EXPECT_TRUE(eventually([&] { return p.pixel(g["X"] + 27, g["Y"] + 37, shot) == 0xFF0000; }));
  EXPECT_EQ(p.pixel(g["X"] + 20, g["Y"] + 30, shot), 0xFF0000);
  EXPECT_EQ(p.pixel(g["X"] + 35, g["Y"] + 45, shot), 0xFF0000);
  EXPECT_EQ(p.pixel(g["X"] + 36, g["Y"] + 46, shot), 0x000000);
  EXPECT_EQ(p.pixel(g["X"] + 150, g["Y"] + 80, shot), 0x000000);

  // A key: A is virtual key 65 with scan code 0x1E (key data 0x001E0001).
  ASSERT_TRUE(p.xdotool("windowfocus --sync " + std::to_string(w)));
  ASSERT_TRUE(p.xdotool("key a"));
  EXPECT_TRUE(eventually([&] { return t.said("key 65 1966081 0"); }))
      << ::testing::PrintToString(t.messages());
  // A click at (25, 35), then a double-click elsewhere.
  ASSERT_TRUE(p.xdotool("mousemove --window " + std::to_string(w) + " 25 35 click 1"));
  EXPECT_TRUE(eventually([&] { return t.said("click {0,1,25,35}"); }))
      << ::testing::PrintToString(t.messages());
  ASSERT_TRUE(p.xdotool("mousemove --window " + std::to_string(w) +
                        " 60 50 click --repeat 2 --delay 60 1"));
  EXPECT_TRUE(eventually([&] { return t.said("double {2,3,60,50}"); }))
      << ::testing::PrintToString(t.messages());

  // The close button, answered No (Escape) in the real box: the title goes on.
  const std::string caption = "ユーザによる中断";
  unsigned long box = 0;
  ASSERT_TRUE(p.close(w));
  ASSERT_TRUE(eventually([&] { return (box = p.window(caption)) != 0; })) << t.errors();
  ASSERT_TRUE(p.xdotool("windowfocus --sync " + std::to_string(box)));
  ASSERT_TRUE(p.xdotool("key Escape"));
  ASSERT_TRUE(eventually([&] { return t.boxes().size() == 1; }));
  ASSERT_TRUE(p.xdotool("windowfocus --sync " + std::to_string(w)));
  ASSERT_TRUE(p.xdotool("key x"));
  EXPECT_TRUE(eventually([&] { return t.said("still running"); }));

  // Again, answered Yes (Enter, the default button): the program ends.
  ASSERT_TRUE(p.close(w));
  ASSERT_TRUE(eventually([&] { return (box = p.window(caption)) != 0; }));
  ASSERT_TRUE(p.xdotool("windowfocus --sync " + std::to_string(box)));
  ASSERT_TRUE(p.xdotool("key Return"));
  EXPECT_EQ(t.finish(), 0) << t.errors();
  const Lines boxes = t.boxes();
  ASSERT_EQ(boxes.size(), 2u);
  for (const char* part :
       {"\"caption\":\"ユーザによる中断\"", "\"text\":\"Quit?\"", "\"buttons\":\"yesno\""})
    EXPECT_NE(boxes[0].find(part), std::string::npos) << boxes[0];
  EXPECT_NE(boxes[0].find("\"answer\":\"no\""), std::string::npos) << boxes[0];
  EXPECT_NE(boxes[1].find("\"answer\":\"yes\""), std::string::npos) << boxes[1];
}

// The same title with the same input (injected by the title itself, through
// the path the display's events take) traces the same on screen and headless.
TEST_F(OnDisplay, ATitleTracesTheSameOnScreenAndHeadless) {
  const char* scenario = R"(MRVWIN:OPEN(160, 120, "same");
INJECT:KEY(65, 1);
INJECT:KEY(65, 0);
INJECT:MOUSE(0, 513, 30, 40);
INJECT:MOUSE(0, 514, 30, 40);
INJECT:MOUSE(0, 515, 31, 41);
INJECT:MOUSE(0, 514, 31, 41);
INJECT:KEY(13, 1);
Loop(-1) { If(Key(0) == 13) { Break(0); }; Wait(20); };
INJECT:KEY(13, 0);
Loop(-1) { If(Key(1) == 0) { Break(0); }; Wait(20); };
DebugMessage("keys", Key(0), Shift(0), Key(1), Shift(1), ScanKey(65), ScanKey(13));
DebugMessage("left ", #110, " right ", #120);
DebugMessage("box", MessageBox("same", "box", 2));
)";
  std::map<std::string, Lines> traces;
  for (const char* backend : {"headless", "sdl"}) {
    Title t;
    t.source(scenario);
    t.start(backend, x_->display(), "yes");
    EXPECT_EQ(t.finish(), 0) << backend << t.errors();
    traces[backend] = t.messages();
    ASSERT_EQ(t.boxes().size(), 1u) << backend;
  }
  EXPECT_EQ(traces["sdl"], traces["headless"]);
  EXPECT_EQ(traces["sdl"].size(), 3u) << ::testing::PrintToString(traces["sdl"]);
}

// A title whose only task waits uses almost no processor time on screen:
// measured against a title that computes all the time, the same way in the
// same run, so that a loaded machine slows both alike.
TEST_F(OnDisplay, AWaitingTitleIsIdle) {
  // The share of a core that a title uses over three seconds once it runs.
  auto share_of = [&](const char* body) {
    Title t;
    t.source(std::string("MRVWIN:OPEN(160, 120, \"idle\");\nDebugMessage(\"open\");\n") + body);
    t.start("sdl", x_->display(), "");
    EXPECT_TRUE(eventually([&] { return t.said("open"); })) << t.errors();
    auto cpu_ticks = [&] {
      std::ifstream f("/proc/" + std::to_string(t.pid()) + "/stat");
      std::string s((std::istreambuf_iterator<char>(f)), {});
      std::istringstream in(s.substr(s.rfind(')') + 2));
      std::string field;
      long long ticks = 0;
      for (int i = 3; i <= 15 && in >> field; ++i)
        if (i == 14 || i == 15) ticks += std::stoll(field);  // user and system time
      return ticks;
    };
    usleep(500000);  // start-up settles
    const long long before = cpu_ticks(), start = now_ms();
    sleep(3);
    const double seconds = static_cast<double>(cpu_ticks() - before) / sysconf(_SC_CLK_TCK);
    kill(t.pid(), SIGTERM);
    return seconds / ((now_ms() - start) / 1000.0);
  };
  const double waiting = share_of("Loop(-1) { Wait(1000); };\n");
  const double busy = share_of("$1 = 0;\nLoop(-1) { $1 = $1 + 1; };\n");
  RecordProperty("cpu_share_percent", std::to_string(waiting * 100));
  RecordProperty("busy_cpu_share_percent", std::to_string(busy * 100));
  EXPECT_LT(waiting, busy / 10) << "a waiting title used " << waiting * 100
                                << "% of a core, one that computes " << busy * 100 << "%";
}

}  // namespace

// Xlib last: its macros (None, Bool, Status) would clash with the test's.
#include <X11/Xlib.h>

namespace {

// What a window manager sends when its close button is pressed.
bool send_delete_window(const std::string& display, unsigned long window) {
  Display* d = XOpenDisplay(display.c_str());
  if (d == nullptr) return false;
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = window;
  e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
  e.xclient.format = 32;
  e.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
  e.xclient.data.l[1] = CurrentTime;
  const bool sent = XSendEvent(d, window, False, NoEventMask, &e) != 0;
  XCloseDisplay(d);
  return sent;
}

// The child of the root window on screen whose _NET_WM_NAME is `utf8`, or 0.
unsigned long window_named(const std::string& display, const std::string& utf8) {
  Display* d = XOpenDisplay(display.c_str());
  if (d == nullptr) return 0;
  const Atom name = XInternAtom(d, "_NET_WM_NAME", False);
  const Atom type = XInternAtom(d, "UTF8_STRING", False);
  Window root, parent, *children = nullptr;
  unsigned int n = 0;
  unsigned long found = 0;
  if (XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &n) != 0) {
    for (unsigned int i = 0; i < n && found == 0; ++i) {
      // Only a window on screen: focusing one not yet mapped fails.
      XWindowAttributes attrs;
      if (XGetWindowAttributes(d, children[i], &attrs) == 0 || attrs.map_state != IsViewable)
        continue;
      Atom got;
      int format;
      unsigned long count, after;
      unsigned char* value = nullptr;
      if (XGetWindowProperty(d, children[i], name, 0, 1024, False, type, &got, &format, &count,
                             &after, &value) == Success &&
          value != nullptr) {
        if (std::string(reinterpret_cast<char*>(value), count) == utf8) found = children[i];
        XFree(value);
      }
    }
    if (children != nullptr) XFree(children);
  }
  XCloseDisplay(d);
  return found;
}

}  // namespace
