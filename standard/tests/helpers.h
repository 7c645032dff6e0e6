// What the standard library's scenario tests share: the lines scenarios
// send with DebugMessage, and a scenario run in one call.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "scenario.h"

namespace stdtest {

using mrvtest::Lines;
using mrvtest::Scenario;

inline const bool kJapanese = (setenv("MRV_COUNTRY", "81", 1), true);

// The tracer lines that DebugMessage sent ("1171 @B " taken off).
inline Lines said(const Scenario& s) {
  Lines out;
  const std::string prefix = "1171 @B ";
  for (const std::string& line : s.trace()) {
    if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line.substr(prefix.size()));
  }
  return out;
}

// The file lines of the trace ("@N path"), reduced to their file names.
inline Lines files(const Scenario& s) {
  Lines out;
  const std::string prefix = "1171 @N ";
  for (const std::string& line : s.trace()) {
    if (line.compare(0, prefix.size(), prefix) != 0) continue;
    std::string path = line.substr(prefix.size());
    const std::size_t slash = path.find_last_of("/\\");
    out.push_back(slash == std::string::npos ? path : path.substr(slash + 1));
  }
  return out;
}

// Writes MRV.SNA and runs it to its end.
inline ::testing::AssertionResult run(Scenario& s, const std::string& utf8,
                                      uint32_t timeout_ms = 20000) {
  if (!kJapanese) return ::testing::AssertionFailure() << "no country code";
  s.source("MRV", utf8);
  if (!s.run("MRV", timeout_ms)) return ::testing::AssertionFailure() << "tasks still live";
  return ::testing::AssertionSuccess();
}

}  // namespace stdtest
