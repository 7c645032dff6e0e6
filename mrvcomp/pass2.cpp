// Pass 2: checks that brackets and string quotes are properly nested. The
// text is not changed.
#include <vector>

#include "internal.h"

using namespace mrvcomp;

namespace {

// Walks the text with an explicit stack of awaited closing bytes, so that
// deep nesting cannot exhaust the machine stack. Returns false with the error
// set.
bool CheckNesting(const char* p, const char* end) {
  std::vector<char> awaited{0};
  while (!awaited.empty()) {
    const char c = p < end ? *p : 0;  // a text without its final 0 ends here
    ++p;
    if (c == awaited.back()) {
      awaited.pop_back();
      continue;
    }
    switch (c) {
      case 0:
      case ')':
      case ']':
      case '}':
        g_error = MRVCOMP_ERR_NESTING;
        return false;
      case '\n':
        ++g_line;
        break;
      case '"':
        p = ScanString(p, end);
        if (p == nullptr) return false;
        break;
      case '(':
        awaited.push_back(')');
        break;
      case '[':
        awaited.push_back(']');
        break;
      case '{':
        awaited.push_back('}');
        break;
      default:
        break;
    }
  }
  return true;
}

}  // namespace

extern "C" MRV_API int32_t MRVCOMP_Pass2(CompileRequest* req) {
  if (req == nullptr) return 0;
  StartPass(req, 2);
  req->sourcePos = req->source;
  const char* end = req->source + (req->source != nullptr ? req->sourceSize : 0);
  if (!CheckNesting(req->source, end)) return 0;
  req->output = req->source;
  req->outputSize = req->sourceSize;
  req->outputPos = req->output;
  req->source = nullptr;
  req->sourcePos = nullptr;
  req->sourceSize = 0;
  return 1;
}
