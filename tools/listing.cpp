// Listing of compiled code: the walker's events turned into source-like text.
//
// Every statement is one line in source form (calls written LIB:NAME(...),
// the library left out for STANDARD, blocks shown as {...}); the details of
// the calls it contains, their arguments and the statements of their blocks
// follow it, indented. A statement's own line can only be written once the
// statement has ended, so each open statement gathers its detail lines and
// hands them to the enclosing one (or to the listing) when it ends.
#include "listing.h"

#include <cstdio>
#include <string>
#include <vector>

#include "codewalk.h"
#include "mrvcode.h"
#include "platform/text.h"

namespace mrvc {
namespace {

std::string Hex6(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%06X", v);
  return buf;
}

std::string Indent(int levels) {
  return std::string(static_cast<size_t>(levels) * 2, ' ');
}

const char* OperatorText(uint8_t code) {
  switch (code) {
    case OP_ASSIGN:
      return " = ";
    case OP_BACKSLASH:
      return " \\ ";
    case OP_NOT:
      return " ! ";
    case OP_POWER:
      return " ^ ";
    case OP_MUL:
      return " * ";
    case OP_DIV:
      return " / ";
    case OP_MOD:
      return " % ";
    case OP_ADD:
      return " + ";
    case OP_SUB:
      return " - ";
    case OP_QUESTION:
      return " ? ";
    case OP_EQ:
      return " == ";
    case OP_NE:
      return " != ";
    case OP_GT:
      return " > ";
    case OP_LT:
      return " < ";
    case OP_GE:
      return " >= ";
    case OP_LE:
      return " <= ";
    case OP_LAND:
      return " && ";
    case OP_LOR:
      return " || ";
    case OP_AND:
      return " & ";
    case OP_OR:
      return " | ";
    case OP_XOR:
      return " ~ ";
    case OP_INC:
      return "++";
    case OP_DEC:
      return "--";
    case TOK_NEG:
      return " (-) ";  // a minus prefix read as an operator that does nothing
    default:
      return " ?? ";
  }
}

// A string constant in source form, converted to UTF-8. The language has no
// escapes, so a tab and a backslash stand as they are; other control bytes
// (which only damaged code holds) are shown as \xNN.
std::string StringText(const uint8_t* units, uint16_t count) {
  std::string sjis;
  for (uint16_t i = 0; i < count; ++i) {
    const unsigned u = units[2 * i] | (units[2 * i + 1] << 8);
    if (u > 0xFF) sjis += static_cast<char>(u >> 8);
    sjis += static_cast<char>(u & 0xFF);
  }
  std::string out = "\"";
  for (char ch : plat::cp932_to_utf8(sjis)) {
    const auto c = static_cast<unsigned char>(ch);
    if (c != '\t' && (c < 0x20 || c == 0x7F)) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

// A number value's two words (sign bit and magnitude, fraction in 10^-9).
std::string DecimalText(uint32_t intWord, uint32_t fraction) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%s%u.%09u", (intWord & 0x80000000u) ? "-" : "",
                intWord & 0x7FFFFFFFu, fraction);
  std::string s = buf;
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s;
}

class Lister : public codewalk::Visitor {
 public:
  std::vector<std::string> out;

  void line(uint32_t at, uint16_t number) {
    sink().push_back(Hex6(at) + "  " + Indent(depth_) + "line " + std::to_string(number));
  }
  void statement_begin(uint32_t at) { stmts_.push_back(Stmt{at, depth_, {}, {}, 0}); }
  void statement_end(uint32_t) {
    Stmt s = std::move(stmts_.back());
    stmts_.pop_back();
    auto& to = sink();
    to.push_back(Hex6(s.at) + "  " + Indent(s.depth) + s.text);
    for (auto& l : s.lines) to.push_back(std::move(l));
  }
  void list_end(uint32_t at) {
    sink().push_back(Hex6(at) + "  " + Indent(depth_ > 0 ? depth_ - 1 : 0) +
                     (depth_ > 0 ? "}" : "end"));
  }
  void prefix(uint32_t, uint8_t token) {
    text() += token == TOK_BYREF ? "\\" : token == TOK_NOT ? "!" : "-";
  }
  void integer(uint32_t, int32_t value) { text() += std::to_string(value); }
  void decimal(uint32_t, uint32_t intWord, uint32_t fraction) {
    text() += DecimalText(intWord, fraction);
  }
  void string(uint32_t, const uint8_t* units, uint16_t count) {
    text() += StringText(units, count);
  }
  void variable(uint32_t, uint8_t token, uint8_t letter) {
    if (token == TOK_SYSVAR)
      text() += "#";
    else if (token == TOK_COMVAR)
      text() += "$";
    else
      text() += std::string("$") + static_cast<char>(letter);
  }
  void index_begin(uint32_t) { text() += "["; }
  void index_end(uint32_t) { text() += "]"; }
  void paren_begin(uint32_t) { text() += "("; }
  void paren_end(uint32_t) { text() += ")"; }
  void op(uint32_t, uint8_t code) { text() += OperatorText(code); }

  void call_begin(const codewalk::Call& c) {
    const std::string lib = c.library;
    if (lib != MRVCODE_DEFAULT_LIBRARY) text() += lib + ":";
    text() += std::string(c.command) + "(";
    // A call of the statement itself is detailed below the statement, with
    // its blocks at the statement's indent; a call inside an argument below
    // that argument, with its blocks below its own detail line.
    Stmt& s = stmt();
    const bool nested = s.openCalls > 0;
    const int level = nested ? calls_.back().level + 2 : s.depth + 1;
    const int brace = nested ? level + 1 : s.depth;
    std::string d = Hex6(c.at) + "  " + Indent(level) + "call " + lib + ":" + c.command + ", " +
                    std::to_string(c.argCount) + (c.argCount == 1 ? " argument" : " arguments") +
                    " at " + Hex6(c.args);
    if (c.block != 0) d += ", block at " + Hex6(c.block);
    if (c.elseBlock != 0) d += ", else at " + Hex6(c.elseBlock);
    d += ", next at " + Hex6(c.end);
    s.lines.push_back(std::move(d));
    ++s.openCalls;
    calls_.push_back(Open{level, brace, depth_, 0, 0, false});
  }
  void arg_begin(const codewalk::Call&, int32_t i, uint32_t at, bool) {
    Stmt& s = stmt();
    Open& o = calls_.back();
    if (i > 1) s.text += ", ";
    o.argLine = s.lines.size();
    o.argText = s.text.size();
    s.lines.push_back(Hex6(at) + "  " + Indent(o.level + 1) + "arg " + std::to_string(i) + ": ");
  }
  void arg_end(const codewalk::Call&, int32_t, uint32_t) {
    Stmt& s = stmt();
    const Open& o = calls_.back();
    const std::string a = s.text.substr(o.argText);
    s.lines[o.argLine] += a.empty() ? "(omitted)" : a;
  }
  void block_begin(const codewalk::Call& c, bool isElse) {
    close_args();
    text() += isElse ? " ELSE {...}" : " {...}";
    const Open& o = calls_.back();
    sink().push_back(Hex6(isElse ? c.elseBlock : c.block) + "  " + Indent(o.brace) +
                     (isElse ? "ELSE {" : "{"));
    depth_ = o.brace + 1;
  }
  void block_end(const codewalk::Call&, bool) { depth_ = calls_.back().outerDepth; }
  void call_end(const codewalk::Call&) {
    close_args();
    calls_.pop_back();
    --stmt().openCalls;
  }

 private:
  struct Stmt {
    uint32_t at;
    int depth;
    std::string text;
    std::vector<std::string> lines;
    int openCalls;
  };
  struct Open {
    int level;       // indent of the call's detail line
    int brace;       // indent of the braces of its blocks
    int outerDepth;  // the statement indent to go back to after a block
    size_t argLine;  // the line of the argument being read
    size_t argText;  // where its text starts in the statement's text
    bool closed;     // ")" written
  };

  void close_args() {
    if (calls_.empty() || calls_.back().closed) return;
    calls_.back().closed = true;
    text() += ")";
  }
  // The statement being read (an operand outside any statement cannot occur
  // in a walk; the fallback keeps the lister total).
  Stmt& stmt() {
    if (stmts_.empty()) stmts_.push_back(Stmt{0, depth_, {}, {}, 0});
    return stmts_.back();
  }
  std::string& text() { return stmt().text; }
  // Where finished lines go: into the enclosing statement, or the listing.
  std::vector<std::string>& sink() { return stmts_.empty() ? out : stmts_.back().lines; }

  std::vector<Stmt> stmts_;
  std::vector<Open> calls_;
  int depth_ = 0;
};

}  // namespace

std::string Listing(const void* code, uint32_t size, std::string* error) {
  Lister l;
  const codewalk::Result r = codewalk::walk(code, size, l);
  std::string text;
  // After a fault the listing holds the statements finished before it.
  for (const auto& line : l.out) text += line + "\n";
  if (error != nullptr) {
    error->clear();
    if (!r.ok()) *error = std::string(codewalk::describe(r.fault)) + " at " + Hex6(r.at);
  }
  return text;
}

}  // namespace mrvc
