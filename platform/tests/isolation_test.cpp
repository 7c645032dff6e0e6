// The test programs' own set-up (testsupport/isolation.cpp): every directory
// a test may write lies inside the build tree, whoever started the program,
// and the developer's session leaks into no test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/profile.h"
#include "platform/window.h"
#include "tempdir.h"

namespace fs = std::filesystem;

namespace {

// The build tree: test programs live in its "tests" directory.
fs::path build_tree() {
  return fs::canonical("/proc/self/exe").parent_path().parent_path();
}

bool inside(const fs::path& dir, const fs::path& tree) {
  const fs::path p = fs::weakly_canonical(dir);
  auto [t, q] = std::mismatch(tree.begin(), tree.end(), p.begin(), p.end());
  return t == tree.end();
}

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

TEST(Isolation, EveryDirectoryATestWritesLiesInsideTheBuildTree) {
  const fs::path tree = build_tree();
  struct Case {
    const char* what;
    std::string dir;
  } cases[] = {{"HOME", env("HOME")},
               {"MRV_WINDIR", env("MRV_WINDIR")},
               {"MRV_RUNTIME_DIR", env("MRV_RUNTIME_DIR")},
               {"TMPDIR", env("TMPDIR")},
               {"temporary directory", fs::temp_directory_path().string()},
               {"Windows directory", plat::windows_dir()},
               {"runtime directory", plat::runtime_dir()},
               {"a scratch directory", mrvtest::TempDir().path().string()}};
  for (const Case& c : cases) {
    EXPECT_FALSE(c.dir.empty()) << c.what;
    EXPECT_TRUE(inside(c.dir, tree)) << c.what << ": " << c.dir << " lies outside " << tree;
  }
}

TEST(Isolation, NothingOfTheSessionReachesATest) {
  for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR",
                        "MRV_DIALOG_ANSWERS", "MRV_TRACE", "MRV_MEMORY_MB", "MRV_COUNTRY"})
    EXPECT_EQ(std::getenv(v), nullptr) << v;
  EXPECT_EQ(env("MRV_BACKEND"), "headless");
  EXPECT_FALSE(fs::exists(fs::path(plat::windows_dir()) / "WIN.INI"));
  EXPECT_TRUE(fs::is_directory(env("MRV_TEST_BIN_DIR")));
  EXPECT_TRUE(fs::is_regular_file(fs::path(env("MRV_TEST_SOURCE_DIR")) / "CMakeLists.txt"));
}

// A death-test child started afresh leaves through std::exit, so no
// destructor of the test removes what it made: it must make it inside the
// directories its parent removes.
TEST(Isolation, ADeathTestChildWritesInsideItsParentsDirectories) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string parent_tmp = env("TMPDIR");
  const fs::path tree = build_tree();
  EXPECT_EXIT(
      {
        mrvtest::TempDir dir;
        const bool ok = env("TMPDIR") == parent_tmp && inside(dir.path(), parent_tmp) &&
                        inside(plat::windows_dir(), tree) && inside(plat::runtime_dir(), tree);
        std::exit(ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
