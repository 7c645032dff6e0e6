// Helpers of the execution manager's tests.
#pragma once
#include <string>

#include "scenario.h"

namespace exectest {

using mrvtest::Lines;
using mrvtest::Scenario;

// The test library's report lines ("@T ...") without the record tag.
inline Lines reports(const Scenario& s) {
  Lines out;
  for (const std::string& l : s.trace()) {
    if (l.rfind("1171 @T ", 0) == 0) out.push_back(l.substr(8));
  }
  return out;
}

// The trace records other than the test library's, without the record tag.
inline Lines records(const Scenario& s) {
  Lines out;
  for (const std::string& l : s.trace()) {
    if (l.rfind("1171 @T ", 0) != 0) out.push_back(l.substr(5));
  }
  return out;
}

}  // namespace exectest
