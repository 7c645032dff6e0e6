// One check of a source with the compiler library itself: the definition
// file, the three passes, and what the compiled code calls. It runs in a
// child process of its own: the compiler's tables only grow while the
// library is loaded, a check must see exactly one definition file, and a
// check that fails or runs away cannot take the server down or hang it.
#pragma once
#include <string>
#include <utility>
#include <vector>

namespace mrvls {

struct CheckRequest {
  std::string dir;      // the current directory of the compile: the title's folder
  std::string defs;     // the definition file to read first; empty: none
  std::string name;     // the scenario name shown in the compiler's message
  std::string source;   // the text in code page 932
  bool compile = true;  // false: read the definition file only
  std::string scratch;  // a private directory for the check's own files
};

// A box that a library showed during the check (UTF-8).
struct Box {
  std::string caption, text;
};

// An argument of a call, as far as the code shows its kind without running.
struct Arg {
  char kind = '?';   // 'S' string constant, 'N' number constant, '\\' by reference,
                     // 'Z' left empty, '?' anything computed
  std::string text;  // a string constant's text (UTF-8)
};

struct Call {
  int line = 0;  // the line marker in force (counted from 0)
  std::string library, command;
  std::vector<Arg> args;
};

struct CheckResult {
  std::string failure;  // the check itself failed (the child crashed or ran too long)
  bool defsOk = true;
  int defsLine = 0;  // the definition file's line after a failure (from 1)
  std::vector<Box> defsBoxes;
  bool compiled = false;
  int error = 0, pass = 0, line = 0;  // the numbered error, its pass and line (from 0)
  std::string message;                // the compiler's message, as the engine shows it
  std::string errorText;              // the error's own text
  std::vector<Box> boxes;             // reports of other libraries during the compile
  std::vector<Call> calls;            // every call of the compiled code, in code order
  std::vector<std::pair<std::string, std::string>> macros, includes;  // name, text (UTF-8)
};

// Runs the check in a child process; gives up after `timeoutMs`.
CheckResult run_check(const CheckRequest& rq, int timeoutMs);

}  // namespace mrvls
