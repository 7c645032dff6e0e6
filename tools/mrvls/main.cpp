// mrvls: the language server for scenario sources and definition files,
// speaking the Language Server Protocol on standard input and output.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "server.h"

namespace fs = std::filesystem;

namespace {

constexpr char kHelp[] =
    "usage: mrvls [--stdio] [--program-dir DIR]\n"
    "\n"
    "The language server for mrv33 scenario sources (.SNA) and definition files\n"
    "(mrv.def). An editor starts it and talks to it on standard input and output\n"
    "(the Language Server Protocol). Every source is checked with the compiler\n"
    "library itself, in the title's folder, with the title's mrv.def (else the\n"
    "program directory's) and include files; nothing is written there.\n"
    "\n"
    "  --stdio            talk on standard input and output (the only way; accepted\n"
    "                     because clients pass it)\n"
    "  --program-dir DIR  the engine's program directory, whose mrv.def, scenarios\n"
    "                     and libraries count where a title's folder has none\n"
    "                     (default: the directory of this program)\n"
    "  -h, --help         this text\n";

std::string own_directory() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.parent_path().string();
}

}  // namespace

int main(int argc, char** argv) {
  mrvls::Options options;
  options.programDir = own_directory();
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (a == "--stdio") continue;
    if (a == "--program-dir" && i + 1 < argc) {
      options.programDir = argv[++i];
      continue;
    }
    std::fprintf(stderr, "mrvls: unknown argument %s\n%s", a.c_str(), kHelp);
    return 2;
  }
  // A client that goes away must not kill the server in the middle of a write.
  signal(SIGPIPE, SIG_IGN);
  std::error_code ec;
  std::string tmpl = (fs::temp_directory_path(ec) / "mrvls-XXXXXX").string();
  if (ec || mkdtemp(tmpl.data()) == nullptr) {
    std::fprintf(stderr, "mrvls: cannot make a scratch directory in %s\n", tmpl.c_str());
    return 1;
  }
  options.scratch = tmpl;
  int status = 1;
  {
    mrvls::Channel channel(0, 1);
    mrvls::Server server(channel, options);
    status = server.run();
  }
  fs::remove_all(tmpl, ec);
  return status;
}
