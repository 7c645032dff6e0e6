// Pass 3: parses statements, expressions, variables, constants and command
// calls and writes the compiled code (mrvcode.h) in one recursive descent.
#include <cstring>

#include "internal.h"
#include "mrvtask.h"
#include "mrvval.h"
#include "platform/bytes.h"

using namespace mrvcomp;

namespace {

// Operands may nest MRVCOMP_MAX_DEPTH deep (brackets, blocks, variable
// numbers such as ###1): far more than any author or generator writes, while
// the recursion stays within the stack of the task that compiles.
constexpr int kMaxDepth = MRVCOMP_MAX_DEPTH;

bool IsNameChar(uint8_t c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z');
}

class Pass3 {
 public:
  Pass3(CompileRequest* req, const char* end) : req_(req), end_(end) {
    std::memset(&ctx_, 0, sizeof ctx_);
    ctx_.hwndMain = req->hwndOwner;  // the only field the number parser uses
  }

  // After a failed enlargement the parse may still run into a fault of the
  // text; the shortage has been reported, so the pass fails with error 0.
  bool Run() {
    const bool ok = StatementList(0);
    if (!outOfMemory_) return ok;
    g_error = 0;
    return false;
  }

 private:
  // ---- Reading ----
  uint8_t Peek(size_t k = 0) const {
    const char* q = req_->sourcePos + k;
    return q < end_ ? static_cast<uint8_t>(*q) : 0;
  }
  void Next(size_t k = 1) {
    if (req_->sourcePos + k <= end_) req_->sourcePos += k;
  }
  void SkipLineFeeds() { MRVCOMP_CheckLineFeed(req_); }

  // ---- Writing ----
  // After a failed enlargement nothing more is written; the parse stops at
  // the next operand with compileError 0 (the memory services reported it).
  void Put(const void* data, size_t n) {
    if (outOfMemory_) return;
    if (!Reserve(req_, n)) {
      outOfMemory_ = true;
      return;
    }
    std::memcpy(req_->outputPos, data, n);
    req_->outputPos += n;
  }
  void Put8(uint8_t v) { Put(&v, 1); }
  void Put16(uint16_t v) {
    uint8_t b[2];
    plat::put_le16(b, v);
    Put(b, 2);
  }
  void Put32(uint32_t v) {
    uint8_t b[4];
    plat::put_le32(b, v);
    Put(b, 4);
  }
  size_t Offset() const { return static_cast<size_t>(req_->outputPos - req_->output); }
  void Patch16(size_t at, uint16_t v) {
    if (!outOfMemory_) plat::put_le16(req_->output + at, v);
  }
  void Patch32(size_t at, uint32_t v) {
    if (!outOfMemory_) plat::put_le32(req_->output + at, v);
  }

  static bool Error(int32_t number) {
    g_error = number;
    return false;
  }

  // ---- Grammar ----
  bool StatementList(uint8_t end) {
    for (;;) {
      if (Peek() == '\n') {
        SkipLineFeeds();
        Put8(TOK_LINE);
        Put16(static_cast<uint16_t>(g_line));
      }
      if (Peek() == end) {
        Put8(TOK_END);
        return true;
      }
      const int32_t line = g_line;
      if (!Expression()) return false;
      SkipLineFeeds();
      if (Peek() != ';') {
        g_line = line;
        return Error(MRVCOMP_ERR_SEMICOLON);
      }
      Next();
    }
  }

  bool Expression() {
    for (;;) {
      SkipLineFeeds();
      const int32_t line = g_line;
      if (!Operand()) return false;
      SkipLineFeeds();
      const uint8_t c = Peek();
      if (c == 0 || c == ',' || c == ';' || c == ')' || c == ']') return true;
      const uint8_t op = Operator();
      if (op == 0) {
        g_line = line;
        return Error(MRVCOMP_ERR_SEMICOLON);
      }
      Put8(op);
      if (op == OP_INC || op == OP_DEC) return true;
    }
  }

  // Reads an operator of one or two bytes; 0 when there is none.
  uint8_t Operator() {
    const uint8_t c = Peek();
    const uint8_t d = Peek(1);
    struct Pair {
      uint8_t first, second, both, single;
    };
    static constexpr Pair kPairs[] = {{'=', '=', OP_EQ, OP_ASSIGN}, {'!', '=', OP_NE, OP_NOT},
                                      {'>', '=', OP_GE, OP_GT},     {'<', '=', OP_LE, OP_LT},
                                      {'&', '&', OP_LAND, OP_AND},  {'|', '|', OP_LOR, OP_OR},
                                      {'+', '+', OP_INC, OP_ADD},   {'-', '-', OP_DEC, OP_SUB}};
    for (const Pair& p : kPairs) {
      if (c != p.first) continue;
      if (d == p.second) {
        Next(2);
        return p.both;
      }
      Next();
      return p.single;
    }
    uint8_t op = 0;
    switch (c) {
      case '^':
        op = OP_POWER;
        break;
      case '*':
        op = OP_MUL;
        break;
      case '/':
        op = OP_DIV;
        break;
      case '%':
        op = OP_MOD;
        break;
      case '?':
        op = OP_QUESTION;
        break;
      case '~':
        op = OP_XOR;
        break;
      case '\\':
        op = OP_BACKSLASH;
        break;
      default:
        return 0;
    }
    Next();
    return op;
  }

  bool Operand() {
    if (outOfMemory_) return false;
    if (depth_ >= kMaxDepth) return Error(MRVCOMP_ERR_EXPR);
    ++depth_;
    const bool ok = OperandBody();
    --depth_;
    return ok;
  }

  bool OperandBody() {
    uint8_t c = Peek();
    if (c == '"') return String();
    if (c == '\\') return Error(MRVCOMP_ERR_VARTYPE);  // only a whole argument is by reference
    if (c == '!') {
      Put8(TOK_NOT);
      Next();
      c = Peek();
    }
    if (c == '+') {
      Next();
    } else if (c == '-') {
      Put8(TOK_NEG);
      Next();
    }
    c = Peek();
    if ((c >= '0' && c <= '9') || c == '.') return Number();
    if (c == '(') {
      Put8(TOK_PAREN);
      Next();
      if (!Expression()) return false;
      if (Peek() != ')') return Error(MRVCOMP_ERR_EXPR);
      Next();
      Put8(TOK_END);
      return true;
    }
    if (c == '#' || c == '$') return Variable();
    return Call();
  }

  bool Number() {
    FAQ value{};
    const char* after = MRVFAQ_GetNumber(&ctx_, &value, req_->sourcePos);
    if (after == nullptr) return false;  // reported by the number parser
    req_->sourcePos = const_cast<char*>(after);
    if (value.word2 != 0) {
      Put8(TOK_DECIMAL);
      Put32(value.word1);
      Put32(value.word2);
      return true;
    }
    int32_t v = 0;
    if (!MRVFAQ_Int(&ctx_, &value, &v)) return false;
    if (v == 0) {
      Put8(TOK_ZERO);
    } else if (v >= -127 && v <= 127) {
      Put8(TOK_INT8);
      Put8(static_cast<uint8_t>(v));
    } else if (v >= -32767 && v <= 32767) {
      Put8(TOK_INT16);
      Put16(static_cast<uint16_t>(v));
    } else {
      Put8(TOK_INT32);
      Put32(static_cast<uint32_t>(v));
    }
    return true;
  }

  // A lead byte and the byte after it are one unit; a lead byte right before
  // the closing quote (or before a byte no string holds) stands alone, so the
  // string still ends where passes 1 and 2 saw it end.
  bool String() {
    Put8(TOK_STRING);
    Next();
    const size_t countAt = Offset();
    Put16(0);
    uint16_t units = 0;
    for (;;) {
      const uint8_t c = Peek();
      if (c == '"') break;
      if (c < 0x20 && c != '\t') return Error(MRVCOMP_ERR_CONTROL);  // unterminated
      uint16_t unit = c;
      const uint8_t d = Peek(1);
      if (IsLead(c) && d != '"' && (d >= 0x20 || d == '\t')) {
        unit = static_cast<uint16_t>(c << 8 | d);
        Next(2);
      } else {
        Next();
      }
      if (++units > MRVCODE_MAX_STRING) return Error(MRVCOMP_ERR_STRLONG);
      Put16(unit);
    }
    Next();
    Put16(0);
    Patch16(countAt, units);
    return true;
  }

  // The failure of a variable number is error 16, unless it has been
  // reported already (number parser, memory).
  bool VariableNumber() {
    if (Operand()) return true;
    if (g_error != 0) g_error = MRVCOMP_ERR_VARNAME;
    return false;
  }

  bool Variable() {
    const uint8_t c = Peek();
    Next();
    if (c == '#') {
      Put8(TOK_SYSVAR);
      if (!VariableNumber()) return false;
    } else if (c == '$') {
      const uint8_t d = Peek();
      if (d == '@' || (d >= 'A' && d <= 'Z')) {
        Put8(TOK_LOCALVAR);
        Put8(d);
        Next();
      } else {
        Put8(TOK_COMVAR);
        if (!VariableNumber()) return false;
      }
    } else {
      return Error(MRVCOMP_ERR_VARTYPE);
    }
    if (Peek() == '[') {
      Next();
      Put8(TOK_INDEX);
      if (!Expression()) return false;
      if (Peek() != ']') return Error(MRVCOMP_ERR_NESTING);
      Next();
      Put8(TOK_END);
    }
    return true;
  }

  // Reads a library or command name of 1 to 32 characters.
  bool Name(const char*& start, size_t& length) {
    start = req_->sourcePos;
    length = 0;
    while (IsNameChar(Peek(length))) {
      if (length == MRVCODE_MAX_NAME) return Error(MRVCOMP_ERR_NAMELONG);
      ++length;
    }
    if (length == 0) return Error(MRVCOMP_ERR_NAME);
    Next(length);
    return true;
  }

  bool Call() {
    const size_t start = Offset();
    const uint8_t head[CALL_HEAD] = {TOK_CALL};
    Put(head, sizeof head);
    const char* library = MRVCODE_DEFAULT_LIBRARY;
    size_t libraryLength = std::strlen(library);
    const char* command = nullptr;
    size_t commandLength = 0;
    if (!Name(command, commandLength)) return false;
    if (Peek() == ':') {
      Next();
      library = command;
      libraryLength = commandLength;
      if (!Name(command, commandLength)) return false;
    }
    const size_t libraryAt = Offset() - start;
    Put(library, libraryLength);
    Put8(0);
    const size_t commandAt = Offset() - start;
    Put(command, commandLength);
    Put8(0);

    if (Peek() != '(') return Error(MRVCOMP_ERR_NOPAREN);
    Next();
    const size_t argsAt = Offset() - start;
    uint32_t count = 0;
    if (Peek() == ')') {
      Next();
      Put8(TOK_END);
    } else {
      for (;;) {
        SkipLineFeeds();
        if (Peek() == '\\') {
          // A by-reference argument is the variable alone.
          Put8(TOK_BYREF);
          Next();
          if (!Variable()) return false;
          SkipLineFeeds();
        } else if (Peek() != ',' && Peek() != ')') {
          if (!Expression()) return false;
          SkipLineFeeds();
        }
        Put8(TOK_END);
        if (++count > MRVCODE_MAX_ARGS) return Error(MRVCOMP_ERR_ARGCOUNT);
        if (Peek() != ',') break;
        Next();
      }
      if (Peek() != ')') return Error(MRVCOMP_ERR_ARGS);
      Next();
    }

    size_t blockAt = 0;
    size_t elseAt = 0;
    SkipLineFeeds();
    if (Peek() == '{') {
      blockAt = Offset() - start;
      Next();
      SkipLineFeeds();
      if (!StatementList('}')) return false;
      Next();
      SkipLineFeeds();
      if (Peek(0) == 'E' && Peek(1) == 'L' && Peek(2) == 'S' && Peek(3) == 'E') {
        elseAt = Offset() - start;
        Next(4);
        SkipLineFeeds();
        if (Peek() != '{') return Error(MRVCOMP_ERR_ELSE);
        Next();
        if (!StatementList('}')) return false;
        Next();
      }
    }
    const size_t endAt = Offset() - start;
    Patch32(start + CALL_LIBRARY, static_cast<uint32_t>(libraryAt));
    Patch32(start + CALL_COMMAND, static_cast<uint32_t>(commandAt));
    Patch32(start + CALL_ARGS, static_cast<uint32_t>(argsAt));
    Patch32(start + CALL_ARGCOUNT, count);
    Patch32(start + CALL_BLOCK, static_cast<uint32_t>(blockAt));
    Patch32(start + CALL_ELSE, static_cast<uint32_t>(elseAt));
    Patch32(start + CALL_LENGTH, static_cast<uint32_t>(endAt));
    return true;
  }

  CompileRequest* req_;
  const char* end_;
  SystemContext ctx_;
  int depth_ = 0;
  bool outOfMemory_ = false;
};

}  // namespace

extern "C" MRV_API int32_t MRVCOMP_Pass3(CompileRequest* req) {
  if (req == nullptr) return 0;
  StartPass(req, 3);
  // The text must end with a 0 inside its block (pass 1 writes one); a block
  // without one gets it appended, so that no reader runs past the block.
  if (req->source == nullptr) {  // no text: the empty scenario
    req->sourceSize = 0;
    req->source = static_cast<char*>(MRVTASK_AllocMemory(req->hwndOwner, 1));
    if (req->source == nullptr) return 0;
    req->sourceSize = 1;
  }
  uint32_t length = 0;
  {
    const void* zero = std::memchr(req->source, 0, req->sourceSize);
    if (zero == nullptr) {
      void* grown = MRVTASK_ResizeMemory(req->hwndOwner, req->source, req->sourceSize + 1);
      if (grown == nullptr) return 0;
      req->source = static_cast<char*>(grown);
      req->source[req->sourceSize] = 0;
      req->sourceSize += 1;
      zero = req->source + req->sourceSize - 1;
    }
    length = static_cast<uint32_t>(static_cast<const char*>(zero) - req->source);
  }
  const uint32_t size = req->sourceSize > 4096 ? req->sourceSize : 4096;
  void* block = MRVTASK_AllocMemory(req->hwndOwner, size);
  if (block == nullptr) return 0;
  req->output = static_cast<char*>(block);
  req->outputPos = req->output;
  req->outputSize = size;
  req->sourcePos = req->source;
  const bool ok = Pass3(req, req->source + length).Run();
  if (!ok) {
    MRVTASK_FreeMemory(req->hwndOwner, req->output);
    req->output = nullptr;
    req->outputPos = nullptr;
    req->outputSize = 0;
    return 0;
  }
  return 1;
}
