#include "platform/file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/dynlib.h"
#include "platform/memory.h"
#include "platform/profile.h"
#include "tempdir.h"

namespace {

class Files : public ::testing::Test {
 protected:
  mrvtest::TempDir dir;
  std::string at(const std::string& rel) { return dir.path().string() + rel; }
};

TEST_F(Files, ResolverMatchesEachComponentWithoutCasePreferringExact) {
  mrvtest::write_file(at("/Data/Scene/A.SNA"), "upper");
  mrvtest::write_file(at("/Data/Scene/a.sna"), "lower");
  mrvtest::write_file(at("/Data/Scene/Mixed.Txt"), "m");
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"\\DATA\\scene\\a.sna", "/Data/Scene/a.sna"},  // exact name wins
      {"/data/SCENE/A.SNA", "/Data/Scene/A.SNA"},
      {"\\data/scene\\MIXED.TXT", "/Data/Scene/Mixed.Txt"},
      {"\\data\\\\scene\\new.TXT", "/Data/Scene/new.TXT"},  // missing: the case given
      {"\\nodir\\x.txt", "/nodir/x.txt"},
  };
  for (const Case& c : cases) EXPECT_EQ(plat::resolve_path(at(c.in).c_str()), at(c.out)) << c.in;
  EXPECT_EQ(plat::resolve_path(nullptr), "");
}

// Names once looked up are remembered per directory, but a directory whose
// entries change is read again: a file that appears, goes or is renamed is
// seen at the next lookup.
TEST_F(Files, TheResolverSeesEntriesThatChangeBetweenLookups) {
  mrvtest::write_file(at("/Dir/keep"), "k");
  EXPECT_EQ(plat::resolve_path(at("/DIR/NEW.SNA").c_str()), at("/Dir/NEW.SNA"));
  mrvtest::write_file(at("/Dir/new.sna"), "n");
  EXPECT_EQ(plat::resolve_path(at("/DIR/NEW.SNA").c_str()), at("/Dir/new.sna"));
  ASSERT_EQ(std::rename(at("/Dir/new.sna").c_str(), at("/Dir/New.Sna").c_str()), 0);
  EXPECT_EQ(plat::resolve_path(at("/DIR/NEW.SNA").c_str()), at("/Dir/New.Sna"));
  ASSERT_EQ(std::remove(at("/Dir/New.Sna").c_str()), 0);
  EXPECT_EQ(plat::resolve_path(at("/DIR/NEW.SNA").c_str()), at("/Dir/NEW.SNA"));
  ASSERT_EQ(std::rename(at("/Dir").c_str(), at("/dir2").c_str()), 0);
  mrvtest::write_file(at("/diR/x"), "x");  // another directory under the old name
  EXPECT_EQ(plat::resolve_path(at("/DIR/X").c_str()), at("/diR/x"));
}

TEST_F(Files, OpenReadWriteSeekAndErrorCodes) {
  int32_t err = -1;
  uint32_t h = plat::file_open(at("/Out.bin").c_str(), plat::FileMode::Create, &err);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(plat::file_write(h, "hello world", 11), 11);
  EXPECT_EQ(plat::file_read(h, nullptr, 0), 0);
  EXPECT_TRUE(plat::file_close(h));
  EXPECT_FALSE(plat::file_close(h));

  h = plat::file_open(at("/OUT.BIN").c_str(), plat::FileMode::ReadWrite, &err);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(plat::file_size(h), 11);
  EXPECT_EQ(plat::file_seek(h, 6, 0), 6);
  char buf[16] = {};
  EXPECT_EQ(plat::file_read(h, buf, sizeof buf), 5);
  EXPECT_STREQ(buf, "world");
  EXPECT_EQ(plat::file_seek(h, -5, 2), 6);
  EXPECT_EQ(plat::file_write(h, "WORLD!", 6), 6);
  EXPECT_EQ(plat::file_seek(h, 0, 1), 12);
  EXPECT_EQ(plat::file_seek(h, 0, 3), -1);
  plat::file_close(h);
  EXPECT_EQ(mrvtest::read_file(at("/Out.bin")), "hello WORLD!");

  struct Case {
    std::string path;
    plat::FileMode mode;
    int32_t code;
  } cases[] = {
      {at("/missing.txt"), plat::FileMode::Read, 2},
      {at("/nodir/missing.txt"), plat::FileMode::Read, 3},
      {at("/nodir/new.txt"), plat::FileMode::Create, 3},
      {at("/Out.bin/x"), plat::FileMode::Read, 3},  // a file used as a directory
      {dir.path().string(), plat::FileMode::Read, 5},
      {"", plat::FileMode::Read, 2},
  };
  for (const Case& c : cases) {
    err = -1;
    EXPECT_EQ(plat::file_open(c.path.c_str(), c.mode, &err), 0u) << c.path;
    EXPECT_EQ(err, c.code) << c.path;
  }
  if (geteuid() != 0) {  // root reads everything
    mrvtest::write_file(at("/locked"), "x");
    chmod(at("/locked").c_str(), 0);
    EXPECT_EQ(plat::file_open(at("/locked").c_str(), plat::FileMode::Read, &err), 0u);
    EXPECT_EQ(err, 5);
  }
  EXPECT_FALSE(plat::file_delete(at("/nodir/x").c_str(), &err));
  EXPECT_EQ(err, 3);
  EXPECT_TRUE(plat::file_delete(at("/out.BIN").c_str(), &err));
  EXPECT_FALSE(plat::file_delete(at("/Out.bin").c_str(), &err));
  EXPECT_EQ(err, 2);
  for (uint32_t bad : {0u, h, 0xFFFFFFFFu}) {
    EXPECT_EQ(plat::file_read(bad, buf, 1), -1);
    EXPECT_EQ(plat::file_write(bad, buf, 1), -1);
    EXPECT_EQ(plat::file_seek(bad, 0, 0), -1);
    EXPECT_EQ(plat::file_size(bad), -1);
  }
}

TEST(FileErrors, AWriteTheDeviceRefusesIsAnError) {
  // A full disk must read as a failure, not as a huge byte count.
  uint32_t h = plat::file_open("/dev/full", plat::FileMode::ReadWrite, nullptr);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(plat::file_write(h, "abc", 3), -1);
  plat::file_close(h);
}

TEST(ErrorCodes, ErrnoMapsOntoMsDosCodes) {
  struct Case {
    int err, code;
  } cases[] = {{ENOENT, 2},   {ENOTDIR, 3},   {EMFILE, 4},    {ENFILE, 4},   {EACCES, 5},
               {EPERM, 5},    {EISDIR, 5},    {EEXIST, 0x50}, {EBUSY, 0x20}, {ETXTBSY, 0x20},
               {EROFS, 0x13}, {EINVAL, 0x57}, {EIO, 0x1F}};
  for (const Case& c : cases) EXPECT_EQ(plat::dos_error_from_errno(c.err), c.code) << c.err;
}

TEST_F(Files, ProfileWriteKeepsTheOtherLines) {
  setenv("MRV_WINDIR", dir.path().c_str(), 1);
  const std::string before =
      "; settings\r\n[Game]\r\nName = Mrv \r\nLevel=3\r\n\r\n[Other]\r\nlevel=9\r\n";
  mrvtest::write_file(at("/GAME.INI"), before);
  char buf[32];
  EXPECT_EQ(plat::profile_get_string("game.ini", "GAME", "name", "d", buf, sizeof buf), 3u);
  EXPECT_STREQ(buf, "Mrv");
  EXPECT_EQ(plat::profile_get_string("game.ini", "game", "none", "def  ", buf, sizeof buf), 3u);
  EXPECT_STREQ(buf, "def");
  EXPECT_EQ(plat::profile_get_string("game.ini", "game", "name", "", buf, 3), 2u);  // cut
  EXPECT_STREQ(buf, "Mr");
  EXPECT_EQ(plat::profile_get_int("game.ini", "other", "LEVEL", -1), 9);
  EXPECT_EQ(plat::profile_get_int("game.ini", "other", "gone", -1), -1);

  ASSERT_TRUE(plat::profile_write_string("game.ini", "game", "LEVEL", "4"));
  ASSERT_TRUE(plat::profile_write_string("game.ini", "Game", "New", "x"));
  ASSERT_TRUE(plat::profile_write_string("game.ini", "Third", "k", "v"));
  EXPECT_EQ(mrvtest::read_file(at("/GAME.INI")),
            "; settings\r\n[Game]\r\nName = Mrv \r\nLEVEL=4\r\nNew=x\r\n\r\n[Other]\r\nlevel=9\r\n"
            "\r\n[Third]\r\nk=v\r\n");
  ASSERT_TRUE(plat::profile_write_string("game.ini", "game", "name", nullptr));
  ASSERT_TRUE(plat::profile_write_string("game.ini", "other", nullptr, nullptr));
  EXPECT_EQ(mrvtest::read_file(at("/GAME.INI")),
            "; settings\r\n[Game]\r\nLEVEL=4\r\nNew=x\r\n\r\n[Third]\r\nk=v\r\n");
  // A new file is created in the Windows directory.
  ASSERT_TRUE(plat::profile_write_string("fresh.ini", "s", "k", "1"));
  EXPECT_EQ(plat::profile_get_int(at("/FRESH.ini").c_str(), "S", "K", 0), 1);
  EXPECT_EQ(plat::system_profile(), at("/WIN.INI"));
  EXPECT_FALSE(plat::profile_write_string(at("/nodir/x.ini").c_str(), "s", "k", "v"));
  EXPECT_FALSE(plat::profile_write_string(nullptr, "s", "k", "v"));
  unsetenv("MRV_WINDIR");
}

TEST(Modules, LibrariesLoadByPathAndTheProgramKnowsItself) {
  EXPECT_EQ(plat::module_file_name(0), plat::program_dir() + "/platform_file_test");
  const char* bin = std::getenv("MRV_TEST_BIN_DIR");
  std::string lib = std::string(bin ? bin : plat::program_dir() + "/../bin") + "/LIBPLATFORM.SO";
  uint32_t h = plat::lib_load(lib.c_str());  // found without regard to case
  ASSERT_NE(h, 0u);
  EXPECT_EQ(plat::lib_load(lib.c_str()), h);
  EXPECT_EQ(plat::module_file_name(h).substr(plat::module_file_name(h).size() - 14),
            "libplatform.so");
  EXPECT_EQ(plat::lib_symbol(h, "_ZN4plat9mem_allocEm"), reinterpret_cast<void*>(&plat::mem_alloc));
  EXPECT_EQ(plat::lib_symbol(h, "no_such_symbol"), nullptr);
  EXPECT_TRUE(plat::lib_free(h));
  EXPECT_TRUE(plat::lib_free(h));
  EXPECT_FALSE(plat::lib_free(h));
  EXPECT_EQ(plat::lib_symbol(h, "_ZN4plat9mem_allocEm"), nullptr);
  EXPECT_EQ(plat::lib_load("/no/such/lib.so"), 0u);
  EXPECT_EQ(plat::lib_load(nullptr), 0u);
  EXPECT_NE(plat::program_instance(), 0u);
}

// Loading and freeing run the library's own start-up and clean-up code, which
// may load and free libraries in turn. Run in a child with an alarm, so that a
// lock-up fails the test instead of hanging it.
TEST(Modules, ALibraryMayLoadAndFreeLibrariesFromItsOwnStartAndEnd) {
  const char* bin = std::getenv("MRV_TEST_BIN_DIR");
  std::string dep = std::string(bin ? bin : plat::program_dir() + "/../bin") + "/libplatform.so";
  setenv("MRV_FIXTURE_DEPENDENCY", dep.c_str(), 1);
  pid_t pid = fork();
  if (pid == 0) {
    alarm(5);
    uint32_t h = plat::lib_load(MRV_REENTRANT_MODULE);
    auto dependency = reinterpret_cast<uint32_t (*)()>(plat::lib_symbol(h, "fixture_dependency"));
    uint32_t d = dependency ? dependency() : 0;
    bool ok = h != 0 && d != 0 && d != h && plat::module_file_name(d) == dep;
    ok = plat::lib_free(h) && ok;
    ok = ok && plat::lib_symbol(d, "_ZN4plat9mem_allocEm") == nullptr;  // freed by the library
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  unsetenv("MRV_FIXTURE_DEPENDENCY");
}

}  // namespace
