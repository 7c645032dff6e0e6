// Compile throughput on a generated source of about 1 MB: with the built-in
// macros only, and with the macro table filled up by the definition file.
// A naive name scan (every table entry tried at every position, the way the
// matching was first described) is measured alongside for comparison.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "mrvcomp.h"
#include "mrvtask.h"

namespace {

constexpr int kUserMacros = 185;  // with the 15 built-in ones the table is full

std::string UserName(int i) {
  return std::string(1, char('A' + i % 26)) + "MAC" + std::to_string(i);
}

// About 1 MB of statements that use every kind of token, comments, blank
// space and (when `user`) the user macros.
const std::string& Source(bool user) {
  static std::string cache[2];
  std::string& s = cache[user];
  if (!s.empty()) return s;
  for (int i = 0; s.size() < 1000000; ++i) {
    s += "// statement group " + std::to_string(i) + "\r\n";
    s += "IF ($A == " + std::to_string(i % 300) + ") {\r\n";
    s += "    wait(30); $B = $B + 0x10 * 2.5 - #5[$C];\r\n";
    s += "    Print(\"hello, world\", MRVRED, TRUE, , \\$D);\r\n";
    s += "} ELSE {\r\n    $(" + std::to_string(i % 9999) + ")++;\r\n";
    if (user)
      s += "    F(" + UserName(i % kUserMacros) + ", " + UserName((i * 7) % kUserMacros) + ");\r\n";
    s += "    lib:Cmd(NULL, FALSE && !$E, -12345678);\r\n};\r\n";
  }
  return s;
}

void DefineUserMacros() {
  static bool done = false;
  if (done) return;
  done = true;
  char path[] = "/tmp/mrvcompbench-XXXXXX";
  const int fd = mkstemp(path);
  std::string body;
  for (int i = 0; i < kUserMacros; ++i)
    body += "#define '" + UserName(i) + "' '" + std::to_string(i) + "'\n";
  if (fd >= 0) {
    if (write(fd, body.data(), body.size()) != static_cast<ssize_t>(body.size())) std::abort();
    close(fd);
  }
  if (!MRVCOMP_DefineFile(0, path)) std::abort();
  unlink(path);
}

void CompileOnce(const std::string& text, benchmark::State& state) {
  CompileRequest req{};
  std::strcpy(req.name, "BENCH");
  req.sourceSize = static_cast<uint32_t>(text.size() + 2);
  req.source = static_cast<char*>(MRVTASK_AllocMemory(0, req.sourceSize));
  std::memcpy(req.source, text.data(), text.size());
  req.source[text.size()] = 0x1A;
  if (!MRVCOMP_Comp(&req)) state.SkipWithError("compile failed");
  benchmark::DoNotOptimize(req.outputPos);
  MRVTASK_FreeMemory(0, req.output);
  MRVTASK_FreeMemory(0, req.source);
}

void BM_CompileBuiltInMacros(benchmark::State& state) {
  const std::string& text = Source(false);
  for (auto _ : state) CompileOnce(text, state);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

void BM_CompileFullMacroTable(benchmark::State& state) {
  DefineUserMacros();
  const std::string& text = Source(true);
  for (auto _ : state) CompileOnce(text, state);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

// Only the name matching of one pass-1 run, done naively: every one of the 200
// macro names (and 200 include names, here absent) tried at every position.
void BM_NaiveNameScanFullTable(benchmark::State& state) {
  const std::string& text = Source(true);
  std::vector<std::string> names = {"NULL",     "TRUE",    "FALSE",     "MRVBLACK", "MRVRED",
                                    "MRVGREEN", "MRVBLUE", "MRVYELLOW", "MRVCIAN",  "MRVMAZENDA",
                                    "MRVWHITE", "MRVGRAY", "MRVORANGE", "MRVHREV",  "MRVVREV"};
  for (int i = 0; i < kUserMacros; ++i) names.push_back(UserName(i));
  for (auto _ : state) {
    size_t hits = 0;
    for (size_t p = 0; p < text.size(); ++p) {
      for (const std::string& n : names) {
        if (text.compare(p, n.size(), n) == 0) {
          ++hits;
          break;
        }
      }
    }
    benchmark::DoNotOptimize(hits);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

}  // namespace

// The built-in run must come first: the tables only ever grow.
BENCHMARK(BM_CompileBuiltInMacros)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompileFullMacroTable)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NaiveNameScanFullTable)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
