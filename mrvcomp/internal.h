// Compiler state shared by the definition file and the passes.
#pragma once
#include <cstddef>
#include <cstdint>

#include "mrvcomp.h"
#include "platform/text.h"

namespace mrvcomp {

constexpr int kTableEntries = 200;
constexpr int kNameSize = 32;   // macro and include names: 31 characters + 0
constexpr int kTextSize = 100;  // macro replacement texts: 99 + 0
constexpr int kFileSize = 64;   // include file names: 63 + 0

struct MacroEntry {
  char name[kNameSize];
  char text[kTextSize];
};
struct MacroTable {
  int32_t count;
  MacroEntry entries[kTableEntries];
};
struct IncludeEntry {
  char name[kNameSize];
  char file[kFileSize];
};
struct IncludeTable {
  int32_t count;
  IncludeEntry entries[kTableEntries];
};

// The tables, kept in descending byte order after every addition, so that a
// name comes before every shorter name that is a beginning of it.
extern MacroTable g_macros;
extern IncludeTable g_includes;
// Grows at every change of the tables; pass 1 rebuilds its index when it moved.
extern uint32_t g_tableVersion;

// compileError, compileLine, compilePass.
extern int32_t g_error;
extern int32_t g_line;
extern int32_t g_pass;

// Caption of every report of this library (code page 932).
const char* Title();
// Shows `text` under the compiler's caption; returns 0.
int32_t Report(uint32_t owner, const char* text);
// Sets compileError and returns the failure value of the pass (0 or -1 given).
inline int32_t Fail(int32_t number, int32_t result = 0) {
  g_error = number;
  return result;
}
// Starts a pass: compilePass, compileLine := firstLine, compileError := 0.
void StartPass(const CompileRequest* req, int32_t pass);

// Scans a string constant whose opening quote is just behind `p`, for passes
// 1 and 2: every byte up to the closing quote must be a tab or at least 0x20
// (error 2), and at most 1000 bytes may stand between the quotes (error 6).
// Returns the position after the closing quote, or nullptr with the error set.
const char* ScanString(const char* p, const char* end);

// Makes sure `need` bytes are free behind outputPos, enlarging output (and
// moving outputPos with it) when they are not. false after the memory
// services reported a shortage.
bool Reserve(CompileRequest* req, size_t need);

// Lives while MRVCOMP_Comp runs: pass 1 then reads each include file once
// for the whole compile instead of once per replacement.
struct CompileScope {
  CompileScope();
  ~CompileScope();
  CompileScope(const CompileScope&) = delete;
  CompileScope& operator=(const CompileScope&) = delete;
};

// Line of the first replacement of the last run of pass 1 (-1: none).
extern int32_t g_firstReplaceLine;

// The lead bytes of the country, taken when a pass starts (StartPass).
extern plat::LeadBytes g_lead;
inline bool IsLead(uint8_t b) {
  return g_lead(b);
}

}  // namespace mrvcomp
