// The runtime and Windows directories hold sockets, the single-instance lock
// and profiles: only a directory of the user's own is used, made 0700 where
// a file is first written, and the functions that only name them create
// nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/profile.h"
#include "platform/window.h"
#include "tempdir.h"

namespace fs = std::filesystem;

namespace {

mode_t mode_of(const fs::path& p) {
  struct stat st {};
  return lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(PrivateDir, ResolvingCreatesNothing) {
  mrvtest::TempDir dir;
  setenv("MRV_RUNTIME_DIR", dir.file("run/deep").c_str(), 1);
  setenv("MRV_WINDIR", dir.file("win/deep").c_str(), 1);
  EXPECT_EQ(plat::runtime_dir(), dir.file("run/deep"));
  EXPECT_EQ(plat::windows_dir(), dir.file("win/deep"));
  plat::system_profile();
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(PrivateDir, IsMadePrivateWhereAFileIsWritten) {
  mrvtest::TempDir dir;
  setenv("MRV_RUNTIME_DIR", dir.file("run").c_str(), 1);
  setenv("MRV_WINDIR", dir.file("win").c_str(), 1);
  ASSERT_TRUE(plat::single_instance_acquire("privatetest"));
  plat::single_instance_release();
  EXPECT_EQ(mode_of(dir.path() / "run"), 0700u);
  ASSERT_TRUE(plat::profile_write_string("GAME.INI", "s", "k", "v"));
  EXPECT_EQ(mode_of(dir.path() / "win"), 0700u);
  EXPECT_TRUE(fs::exists(dir.path() / "win" / "GAME.INI"));
}

// Each directory that is not the user's own is refused with its reason, and
// nothing is put into it.
TEST(PrivateDir, ADirectoryOthersCanReachIsRefusedWithTheReason) {
  mrvtest::TempDir dir;
  struct Case {
    const char* name;
    std::string reason;
    bool (*make)(const fs::path&);
  } cases[] = {
      {"open", " can be written by other users",
       [](const fs::path& p) { return fs::create_directory(p) && chmod(p.c_str(), 0777) == 0; }},
      {"group", " can be written by other users",
       [](const fs::path& p) { return fs::create_directory(p) && chmod(p.c_str(), 0770) == 0; }},
      {"theirs", " belongs to another user",
       [](const fs::path& p) {
         return fs::create_directory(p) && chown(p.c_str(), 65534, 65534) == 0;
       }},
      {"link", " is not a directory",
       [](const fs::path& p) {
         fs::create_directory(p.string() + ".real");
         fs::create_directory_symlink(p.string() + ".real", p);
         return true;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path p = dir.path() / c.name;
    if (!c.make(p)) {
      if (geteuid() != 0) continue;  // giving a directory away needs root
      ADD_FAILURE() << "cannot set up " << p;
      continue;
    }
    std::string why;
    EXPECT_FALSE(plat::private_dir(p.string(), true, &why));
    EXPECT_EQ(why, p.string() + c.reason);
    setenv("MRV_RUNTIME_DIR", p.c_str(), 1);
    setenv("MRV_WINDIR", p.c_str(), 1);
    EXPECT_FALSE(plat::single_instance_acquire("privatetest"));
    EXPECT_FALSE(plat::profile_write_string("GAME.INI", "s", "k", "v"));
    EXPECT_TRUE(fs::is_empty(fs::canonical(p)));
  }
  std::string why;
  EXPECT_FALSE(plat::private_dir(dir.file("missing"), false, &why));
  EXPECT_EQ(why, dir.file("missing") + " does not exist");
  EXPECT_FALSE(fs::exists(dir.file("missing")));
}

}  // namespace
