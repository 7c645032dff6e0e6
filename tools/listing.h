// The readable listing of compiled code that `mrvc --list` prints.
#pragma once
#include <cstdint>
#include <string>

namespace mrvc {

// The listing of the scenario code[0 .. size), one line per line marker,
// statement, call detail, argument, block brace and list end, each headed by
// its offset; strings in UTF-8. When the code does not walk, the listing goes
// up to the fault and `*error` describes it (empty otherwise).
std::string Listing(const void* code, uint32_t size, std::string* error);

}  // namespace mrvc
