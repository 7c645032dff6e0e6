// Linked into every test program: before any test runs, the process sets up
// its own environment, whatever the caller (ctest, a shell, a debugger)
// handed it. It gets a home, Windows, runtime and temporary directory of its
// own inside the build tree (MRV_TEST_SCRATCH, compiled in) and the headless
// backend; its Windows directory starts empty, so the country is the default
// (81) and read afresh until a test sets one; the developer's MRV_*, XDG_* and display
// variables are dropped so that nothing of theirs is read or written. ctest
// runs every test case as a process of its own, so cases that run at the same
// time or one after the other share no profile, socket, lock or file; the
// directories go when the process ends.
//
// A child started again from a test program (a death test run in the
// "threadsafe" style) keeps the environment of the process that started it:
// what it writes lands in that process's directories, which are removed by
// it, even when the child leaves through std::exit and runs no destructor of
// its own test.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

// Set in the environment of every process below an isolated test program.
constexpr const char* kMarker = "MRV_TEST_ISOLATED";

// Variables of the developer's session that a test must never see. Only a
// deliberate knob for reproducing a test run survives.
bool dropped(const std::string& name) {
  if (name == "MRV_FUZZ_SEED") return false;
  return name.rfind("MRV_", 0) == 0 || name.rfind("XDG_", 0) == 0 || name == "DISPLAY" ||
         name == "WAYLAND_DISPLAY";
}

struct Isolation {
  pid_t owner = getpid();
  std::string root;  // removed when the owner ends; empty in a child

  Isolation() {
    if (std::getenv(kMarker) != nullptr) return;  // the parent's set-up holds
    std::vector<std::string> names;
    for (char** e = environ; *e != nullptr; ++e) {
      const char* eq = std::strchr(*e, '=');
      if (eq != nullptr) names.emplace_back(*e, static_cast<std::size_t>(eq - *e));
    }
    for (const std::string& n : names)
      if (dropped(n)) unsetenv(n.c_str());

    root = std::string(MRV_TEST_SCRATCH) + "/p" + std::to_string(owner);
    const struct {
      const char* var;
      const char* sub;
    } dirs[] = {
        {"HOME", "home"}, {"MRV_WINDIR", "win"}, {"MRV_RUNTIME_DIR", "run"}, {"TMPDIR", "tmp"}};
    for (const auto& d : dirs) {
      const std::string dir = root + "/" + d.sub;
      std::error_code ec;
      std::filesystem::create_directories(dir, ec);
      setenv(d.var, dir.c_str(), 1);
    }
    setenv("MRV_TEST_BIN_DIR", MRV_TEST_BIN_DIR_DEFAULT, 1);
    setenv("MRV_TEST_SOURCE_DIR", MRV_TEST_SOURCE_DIR_DEFAULT, 1);
    setenv("MRV_BACKEND", "headless", 1);
    setenv(kMarker, root.c_str(), 1);
  }
  ~Isolation() {
    // A forked child (a death test in the "fast" style) leaves its parent's
    // directories alone.
    if (root.empty() || getpid() != owner) return;
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
};

// Constructed before the other static objects of the test program, which may
// read the environment.
__attribute__((init_priority(101))) const Isolation isolation;

}  // namespace
