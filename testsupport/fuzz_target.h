// Support of the coverage-guided fuzz targets (libFuzzer): a headless
// environment, a scratch directory for the files an input becomes, and the
// check that an input leaves no memory block and no file open.
//
//   extern "C" int LLVMFuzzerInitialize(int*, char***) { mrvfuzz::prepare(); return 0; }
//   extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
//     mrvfuzz::LeakCheck check;
//     ... feed the input ...
//     return 0;                        // the check runs when it goes out of scope
//   }
#pragma once
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzzing.h"
#include "platform/dialog.h"
#include "platform/memory.h"

namespace mrvfuzz {

namespace detail {
inline std::string& scratch_path() {
  static std::string path;
  return path;
}
inline void remove_scratch() {
  std::error_code ec;
  std::filesystem::remove_all(scratch_path(), ec);
}
}  // namespace detail

// The scratch directory of this process (under TMPDIR, removed at exit).
inline const std::string& scratch() {
  return detail::scratch_path();
}

// A path inside the scratch directory.
inline std::string file(const std::string& name) {
  return scratch() + "/" + name;
}

// The scratch directory as short as it can be named: relative to the current
// directory when that is shorter (definition files hold file names of at
// most 63 bytes).
inline std::string short_scratch() {
  std::error_code ec;
  const std::string rel = std::filesystem::relative(scratch(), ec).string();
  return !ec && !rel.empty() && rel.size() < scratch().size() ? rel : scratch();
}

// Sets up a run that no box can stop: every box takes its safe default, and
// the Windows and runtime directories are the scratch directory's own, so no
// input touches the user's files. The country is 81 unless MRV_COUNTRY says
// otherwise.
inline void prepare() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "mrvfuzz-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) {
    std::perror("mrvfuzz: mkdtemp");
    std::abort();
  }
  detail::scratch_path() = tmpl;
  std::atexit(detail::remove_scratch);
  std::filesystem::create_directories(file("win"));
  std::filesystem::create_directories(file("run"));
  setenv("MRV_DIALOG_ANSWERS", "", 1);
  unsetenv("MRV_DIALOG_LOG");
  setenv("MRV_WINDIR", file("win").c_str(), 1);
  setenv("MRV_RUNTIME_DIR", file("run").c_str(), 1);
  setenv("MRV_COUNTRY", "81", 0);
  plat::dialog_reset();
}

// Writes bytes as the whole file `path`.
inline void write(const std::string& path, const void* data, std::size_t size) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!f) {
    std::fprintf(stderr, "mrvfuzz: cannot write %s\n", path.c_str());
    std::abort();
  }
}
inline void write(const std::string& path, const std::string& text) {
  write(path, text.data(), text.size());
}

// Writes an input as the scratch file `name`; its path.
inline std::string input_file(const char* name, const uint8_t* data, std::size_t size) {
  const std::string path = file(name);
  write(path, data, size);
  return path;
}

// Aborts (so that libFuzzer keeps the input) when the memory blocks or the
// file descriptors at its end differ from those at its start.
class LeakCheck {
 public:
  LeakCheck() = default;
  ~LeakCheck() {
    const std::size_t blocks = plat::mem_live_blocks();
    const std::size_t fds = mrvtest::open_fds();
    if (blocks == blocks_ && fds == fds_) return;
    std::fprintf(stderr, "mrvfuzz: the input left %zd memory blocks and %zd file descriptors\n",
                 static_cast<std::ptrdiff_t>(blocks - blocks_),
                 static_cast<std::ptrdiff_t>(fds - fds_));
    std::abort();
  }
  LeakCheck(const LeakCheck&) = delete;
  LeakCheck& operator=(const LeakCheck&) = delete;

 private:
  std::size_t blocks_ = plat::mem_live_blocks();
  std::size_t fds_ = mrvtest::open_fds();
};

// Aborts with `what` when `ok` is false: an input broke a promise of the code
// under test.
inline void expect(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "mrvfuzz: %s\n", what);
  std::abort();
}

}  // namespace mrvfuzz
