// A shell command run by a tool's test: its exit status and what it wrote.
#pragma once
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "tempdir.h"

namespace mrvtest {

struct ShellResult {
  int rc = -1;  // the exit status, -1 when killed by a signal
  std::string out, err;
};

// Runs `command` with sh, standard input from /dev/null; its output is
// caught in files of `io` (overwritten by the next command).
inline ShellResult shell(const std::string& command, const TempDir& io) {
  const std::string out = io.file("shell.out"), err = io.file("shell.err");
  const std::string cmd = "(" + command + ") >'" + out + "' 2>'" + err + "' </dev/null";
  ShellResult r;
  const int status = std::system(cmd.c_str());
  r.rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = read_file(out);
  r.err = read_file(err);
  return r;
}

}  // namespace mrvtest
