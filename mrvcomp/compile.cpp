// The compile driver, the compiler-wide state, error texts and messages.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "internal.h"
#include "mrvtask.h"
#include "platform/text.h"

namespace mrvcomp {

int32_t g_error = 0;
int32_t g_line = 0;
int32_t g_pass = 0;
int32_t g_firstReplaceLine = -1;

namespace {

// Texts of the numbered errors, indexed by compileError; each carries its
// number.
const char* ErrorText(int32_t number) {
  static const char* const kUtf8[MRVCOMP_ERR_COUNT] = {
      "",
      "コード中に全角コードが混在しています。(1)",
      "コード中に制御コードが混在しています。(2)",
      "文字列中に制御コードが混在しています。(3)",
      "括弧の階層が誤っています。(4)",
      "不正な演算子が使用されています。(5)",
      "文字列が1000ワードを越えています。(6)",
      "関数あるいは式の終端記号「;」がありません。(7)",
      "関数に引数括弧「(」がありません。(8)",
      "関数の引数に不正記号が含まれています。(9)",
      "式の構文に誤りがあります。(10)",
      "関数名が不正です。(11)",
      "関数の引数が26を越えています。(12)",
      "関数名は32文字までです。(13)",
      "変数の型が不正です。(14)",
      "関数の構文に誤りがあります。(15)",
      "変数名が不正です。(16)",
      "マクロまたはインクルードの置き換えが終わりません。(17)",
  };
  static const auto* const kTexts = [] {
    auto* t = new std::string[MRVCOMP_ERR_COUNT];
    for (int i = 0; i < MRVCOMP_ERR_COUNT; ++i) t[i] = plat::utf8_to_cp932(kUtf8[i]);
    return t;
  }();
  if (number < 0 || number >= MRVCOMP_ERR_COUNT) return "";
  return kTexts[number].c_str();
}

}  // namespace

const char* Title() {
  return MRV_CP932(MRVCOMP_TITLE_UTF8);
}

int32_t Report(uint32_t owner, const char* text) {
  MRVTASK_ErrorStop(owner, Title(), text);
  return 0;
}

void StartPass(const CompileRequest* req, int32_t pass) {
  g_pass = pass;
  g_line = req->firstLine;
  g_error = 0;
  g_lead = plat::country_lead_bytes();
}

const char* ScanString(const char* p, const char* end) {
  for (int count = 0;; ++p, ++count) {
    if (p >= end) {
      g_error = MRVCOMP_ERR_CONTROL;  // the text ends inside the string
      return nullptr;
    }
    const auto c = static_cast<uint8_t>(*p);
    if (c == '"') return p + 1;
    if (c < 0x20 && c != '\t') {
      g_error = MRVCOMP_ERR_CONTROL;
      return nullptr;
    }
    if (count >= 1000) {
      g_error = MRVCOMP_ERR_STRLONG;
      return nullptr;
    }
  }
}

bool Reserve(CompileRequest* req, size_t need) {
  const size_t used = static_cast<size_t>(req->outputPos - req->output);
  const size_t free = req->outputSize - used;
  if (free >= need) return true;
  // Grow by half the block at least, so that a long text costs few moves.
  const size_t grow = std::max<size_t>({4096, need - free, req->outputSize / 2});
  if (req->outputSize + grow > UINT32_MAX) {
    Report(req->hwndOwner, MRV_CP932("メモリが不足しています。"));
    return false;
  }
  const auto size = static_cast<uint32_t>(req->outputSize + grow);
  void* block = MRVTASK_ResizeMemory(req->hwndOwner, req->output, size);
  if (block == nullptr) return false;  // reported by the memory services
  req->output = static_cast<char*>(block);
  req->outputPos = req->output + used;
  req->outputSize = size;
  return true;
}

plat::LeadBytes g_lead = plat::kCodePage932;

}  // namespace mrvcomp

using namespace mrvcomp;

namespace {

// Hands the text a pass produced over to the next pass.
void MoveOutputToSource(CompileRequest* req) {
  req->source = req->output;
  req->sourceSize = req->outputSize;
  req->sourcePos = req->source;
  req->output = nullptr;
  req->outputPos = nullptr;
  req->outputSize = 0;
}

}  // namespace

extern "C" {

MRV_API int32_t MRVCOMP_Comp(CompileRequest* req) {
  if (req == nullptr) return 0;
  const CompileScope scope;
  // Pass 1 runs until a run replaces nothing. A name whose text holds the
  // name again would make it run for ever: after MRVCOMP_MAX_RUNS runs the
  // compile fails at the line of the last run's first replacement.
  for (int32_t runs = 1;; ++runs) {
    const int32_t count = MRVCOMP_Pass1(req);
    if (count < 0) return 0;
    MoveOutputToSource(req);
    if (count == 0) break;
    if (runs >= MRVCOMP_MAX_RUNS) {
      g_line = g_firstReplaceLine;
      g_error = MRVCOMP_ERR_RUNAWAY;
      return 0;
    }
  }
  if (!MRVCOMP_Pass2(req)) return 0;
  MoveOutputToSource(req);
  return MRVCOMP_Pass3(req);
}

MRV_API int32_t MRVCOMP_GetError(void) {
  return g_error;
}
MRV_API int32_t MRVCOMP_SetError(int32_t number) {
  return g_error = number;
}
MRV_API int32_t MRVCOMP_GetLine(void) {
  return g_line;
}
MRV_API int32_t MRVCOMP_SetLine(int32_t number) {
  return g_line = number;
}

MRV_API int32_t MRVCOMP_MakeErrorMessage(CompileRequest* req, char* text) {
  if (text == nullptr) return 0;
  const std::string name =
      req != nullptr ? std::string(req->name, strnlen(req->name, sizeof req->name)) : "";
  const int n = std::sprintf(text, "%s:PASS(%d):LINE(%d):%s", name.c_str(), g_pass, g_line,
                             ErrorText(g_error));
  return n < 0 ? 0 : n;
}

MRV_API char* MRVCOMP_CheckLineFeed(CompileRequest* req) {
  if (req == nullptr) return nullptr;
  const char* end = req->source + req->sourceSize;
  while (req->sourcePos != nullptr && req->sourcePos < end && *req->sourcePos == '\n') {
    ++req->sourcePos;
    ++g_line;
  }
  return req->sourcePos;
}

}  // extern "C"
