// mrvc: compiles scenario sources into compiled scenario files and prints
// listings of compiled code, for authors.
//
// The tool runs without a window and never waits for an answer: every box
// that the libraries show goes to standard error and takes its safe default
// (Cancel where there is one). Numbered compile errors are not shown as a box
// at all: the tool reads them from the compiler's state and prints the
// compiler's own message.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "listing.h"
#include "mrvcomp.h"
#include "mrvfile.h"
#include "mrvtask.h"
#include "platform/dialog.h"
#include "platform/file.h"
#include "platform/text.h"

namespace fs = std::filesystem;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr char kUsage[] =
    "usage: mrvc SOURCE.SNA [-o OUTPUT.SNB] [-d DEFINITIONS]\n"
    "       mrvc --check SOURCE.SNA [-d DEFINITIONS]\n"
    "       mrvc --list FILE [-d DEFINITIONS]\n"
    "       mrvc --help\n";

constexpr char kHelp[] =
    "\n"
    "Compiles a scenario source (Shift-JIS text, usually .SNA) into a compiled\n"
    "scenario file (.SNB), which the engine prefers to a source of the same name.\n"
    "\n"
    "  SOURCE.SNA        compile into OUTPUT (default: SOURCE with the extension .SNB,\n"
    "                    or .snb when the source's extension has lower-case letters)\n"
    "  -o OUTPUT.SNB     name of the compiled file to write\n"
    "  --check SOURCE    compile without writing anything\n"
    "  --list FILE       print the code of FILE, a source or a compiled file (named\n"
    "                    .SNB, or any RIFF file), as a listing: each line starts with\n"
    "                    the offset of the code it shows (hexadecimal); line markers,\n"
    "                    each statement in source form, then every call in it with its\n"
    "                    library, command, argument count and the offsets of its\n"
    "                    arguments and blocks, each argument, and the statements of the\n"
    "                    blocks, indented. Strings are shown in UTF-8.\n"
    "  -d DEFINITIONS    definition file with #define and #include lines (default:\n"
    "                    mrv.def beside the source, when there is one)\n"
    "  -h, --help        this text\n"
    "\n"
    "Sources are compiled in their own directory, so include files named in the\n"
    "definition file are found as when the engine runs the title from there.\n"
    "Line numbers count from 0, as when the engine compiles a source itself.\n"
    "\n"
    "A compile error prints the compiler's message on standard error, as\n"
    "NAME:PASS(p):LINE(l):TEXT (l counted from 0), followed by the same error in\n"
    "the form compilers use, FILE:LINE:1: error: TEXT, with LINE counted from 1\n"
    "(the compiler tells no column), for editors and CI logs. Other reports of the engine's "
    "libraries (a file\n"
    "that cannot be read, a number out of range, a broken compiled file) are\n"
    "printed on standard error as the engine's boxes and answered with their\n"
    "default, so the tool never waits for input.\n"
    "\n"
    "Exit status: 0 success, 1 the source or file failed, 2 wrong usage.\n";

enum class Mode { Compile, Check, List };

struct Options {
  Mode mode = Mode::Compile;
  bool help = false;
  std::string input, output, defs;
};

int UsageError(const std::string& what) {
  std::fprintf(stderr, "mrvc: %s\n%sTry 'mrvc --help' for more.\n", what.c_str(), kUsage);
  return kExitUsage;
}

// Parses the command line; an empty result is success, else the usage error.
std::string ParseArgs(int argc, char** argv, Options* o) {
  bool modeSet = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      o->help = true;
    } else if (a == "--check" || a == "--list") {
      if (modeSet) return "--check and --list cannot be combined";
      modeSet = true;
      o->mode = a == "--check" ? Mode::Check : Mode::List;
    } else if (a == "-o" || a == "-d") {
      if (i + 1 >= argc) return "option " + a + " needs a file name";
      std::string& slot = a == "-o" ? o->output : o->defs;
      if (!slot.empty()) return "option " + a + " given twice";
      slot = argv[++i];
      if (slot.empty()) return "option " + a + " needs a file name";
    } else if (a.size() > 1 && a[0] == '-') {
      return "unknown option " + a;
    } else {
      if (!o->input.empty()) return "only one file can be given";
      o->input = a;
    }
  }
  if (o->help) return {};
  if (o->input.empty()) return "no file given";
  if (o->mode != Mode::Compile && !o->output.empty()) return "-o only goes with a compile";
  return {};
}

// Texts are code page 932 inside the engine. Paths are not converted: the
// file manager opens them byte for byte, as the names stand on disk.
std::string Sjis(const std::string& utf8) {
  return plat::utf8_to_cp932(utf8);
}

// The compiled file beside the source: its name with the extension .SNB,
// written in lower case when the source's extension has lower-case letters.
fs::path DefaultOutput(const fs::path& source) {
  const std::string ext = source.extension().string();
  bool lower = false;
  for (const char c : ext) lower = lower || (c >= 'a' && c <= 'z');
  return fs::path(source).replace_extension(lower ? ".snb" : ".SNB");
}

// A block of compiled code owned by the tool.
struct Code {
  char* block = nullptr;
  uint32_t length = 0;
  Code() = default;
  Code(const Code&) = delete;
  Code& operator=(const Code&) = delete;
  ~Code() { MRVTASK_FreeMemory(0, block); }
};

// One error as compilers print them, "FILE:LINE:COLUMN: error: TEXT", for
// make, editors' problem matchers and CI annotations.
void PrintLocated(const std::string& file, int32_t line, const std::string& text) {
  std::fprintf(stderr, "%s:%d:1: error: %s\n", file.c_str(), line, text.c_str());
}

// Compiles `source` (a path the engine can open) into `code`; the request is
// named `name` in messages. False after the error has been printed.
bool Compile(const std::string& source, const std::string& name, Code* code) {
  CompileRequest rq{};
  rq.hwndOwner = 0;
  std::snprintf(rq.name, sizeof rq.name, "%s", Sjis(name).c_str());
  rq.firstLine = 0;
  rq.source = static_cast<char*>(MRVFILE_ReadBlock(0, source.c_str(), 1));
  if (rq.source == nullptr) return false;
  // The block holds the file and the end mark: the size the compiler wants.
  rq.sourceSize = MRVTASK_SizeMemory(0, rq.source);
  const bool ok = MRVCOMP_Comp(&rq) != 0;
  if (ok) {
    code->block = rq.output;
    code->length = static_cast<uint32_t>(rq.outputPos - rq.output);
    rq.output = nullptr;
  } else {
    // Without an error number the failure has been reported by the library
    // that found it (a number out of range, say); the message then only
    // tells where the compile stopped.
    char msg[2048] = {};
    MRVCOMP_MakeErrorMessage(&rq, msg);
    const bool numbered = MRVCOMP_GetError() > 0;
    std::fprintf(stderr, "%s%s\n", plat::cp932_to_utf8(msg).c_str(),
                 numbered ? "" : "(reported above)");
    // The same for editors and CI logs: lines and columns from 1; the
    // compiler knows the line only.
    std::string text = "the compile stopped here (reported above)";
    if (numbered) {
      const std::string m = msg;
      const std::size_t lineAt = m.find("):LINE(", std::strlen(rq.name));
      const std::size_t textAt = lineAt == std::string::npos ? lineAt : m.find("):", lineAt + 7);
      if (textAt != std::string::npos) text = plat::cp932_to_utf8(m.substr(textAt + 2));
    }
    PrintLocated(name, MRVCOMP_GetLine() + 1, text);
  }
  MRVTASK_FreeMemory(0, rq.source);
  MRVTASK_FreeMemory(0, rq.output);
  return ok;
}

// A compiled file by its extension .SNB (any case) or by its RIFF header.
bool IsCompiledFile(const fs::path& path) {
  std::string ext = path.extension().string();
  plat::upper_cp932(ext.data());
  if (ext == ".SNB") return true;
  std::ifstream f(path, std::ios::binary);
  char head[4] = {};
  return f.read(head, sizeof head) && std::memcmp(head, "RIFF", 4) == 0;
}

int PrintListing(const std::string& shown, const void* code, uint32_t size, const char* kind) {
  std::string error;
  const std::string text = mrvc::Listing(code, size, &error);
  std::printf("; %s: %s\n", shown.c_str(), kind);
  std::fputs(text.c_str(), stdout);
  if (!error.empty()) {
    std::fprintf(stderr, "mrvc: %s: %s\n", shown.c_str(), error.c_str());
    return kExitFailed;
  }
  return kExitOk;
}

// The file that the file manager writes for `path`: it opens the upper-cased
// name, which lands on an existing file of any case or makes a new one.
fs::path WrittenFor(const fs::path& path) {
  std::string opened = path.string();
  plat::upper_cp932(opened.data());
  return plat::resolve_path(opened.c_str());
}

int Run(const Options& o) {
  // Files are opened from the source's directory; everything named relative
  // to the directory of the call is made absolute first.
  // Names are matched on disk without regard to case, as the engine does.
  std::error_code ec;
  const fs::path input = fs::absolute(plat::resolve_path(o.input.c_str()), ec);
  if (!fs::is_regular_file(input, ec)) {
    std::fprintf(stderr, "mrvc: %s: %s\n", o.input.c_str(),
                 fs::is_directory(input, ec) ? "is a directory" : "no such file");
    return kExitFailed;
  }
  const bool compiled = IsCompiledFile(input);
  if (compiled && o.mode != Mode::List) {
    std::fprintf(stderr, "mrvc: %s is a compiled file; --list shows its code\n", o.input.c_str());
    return kExitFailed;
  }
  fs::path defs;
  if (!o.defs.empty()) {
    defs = fs::absolute(plat::resolve_path(o.defs.c_str()), ec);
    if (!fs::is_regular_file(defs, ec)) {
      std::fprintf(stderr, "mrvc: %s: %s\n", o.defs.c_str(),
                   fs::is_directory(defs, ec) ? "is a directory" : "no such definition file");
      return kExitFailed;
    }
  }
  fs::path output;
  if (o.mode == Mode::Compile) {
    output = o.output.empty() ? DefaultOutput(input) : fs::absolute(o.output);
    if (WrittenFor(output) == input) return UsageError("the output would overwrite the source");
  }
  const std::string dir = input.parent_path().string();
  if (::chdir(dir.c_str()) != 0) {
    std::fprintf(stderr, "mrvc: cannot enter %s\n", dir.c_str());
    return kExitFailed;
  }
  const std::string file = input.filename().string();

  if (compiled) {
    void* block = MRVCOMP_Unpack(0, file.c_str());
    if (block == nullptr) return kExitFailed;
    const int rc = PrintListing(o.input, block, MRVTASK_SizeMemory(0, block), "compiled file");
    MRVTASK_FreeMemory(0, block);
    return rc;
  }

  const std::string defsPath = defs.empty() ? std::string("mrv.def") : defs.string();
  if (!MRVCOMP_DefineFile(0, defsPath.c_str())) {
    PrintLocated(o.defs.empty() ? (fs::path(o.input).parent_path() / "mrv.def").string() : o.defs,
                 MRVCOMP_GetLine(), "the definition file failed (reported above)");
    return kExitFailed;
  }

  Code code;
  if (!Compile(file, o.input, &code)) return kExitFailed;
  switch (o.mode) {
    case Mode::Check:
      std::printf("%s: ok, %u bytes of code\n", o.input.c_str(), code.length);
      return kExitOk;
    case Mode::List:
      return PrintListing(o.input, code.block, code.length, "source");
    case Mode::Compile:
      break;
  }
  const uint32_t length = code.length;
  if (!MRVCOMP_Pack(0, output.c_str(), code.block, length)) return kExitFailed;
  // The author gets the name asked for, not the upper-cased one.
  const fs::path written = WrittenFor(output);
  if (written != output) {
    fs::rename(written, output, ec);
    if (ec) {
      std::fprintf(stderr, "mrvc: cannot rename %s to %s: %s\n", written.c_str(), output.c_str(),
                   ec.message().c_str());
      return kExitFailed;
    }
  }
  std::printf("%s: %u bytes of code written to %s\n", o.input.c_str(), length, output.c_str());
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  const std::string err = ParseArgs(argc, argv, &o);
  if (!err.empty()) return UsageError(err);
  if (o.help) {
    std::fputs(kUsage, stdout);
    std::fputs(kHelp, stdout);
    return kExitOk;
  }
  // No box may wait for an answer: with an answer list (empty unless the
  // caller gave one) every box takes its default.
  setenv("MRV_DIALOG_ANSWERS", "", 0);
  plat::dialog_reset();
  return Run(o);
}
