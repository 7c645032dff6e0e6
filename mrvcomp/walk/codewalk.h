// A walker of compiled code (mrvcode.h) that follows the shape of the code
// exactly as the compiler writes it, reading nothing outside the bytes it is
// given.
//
// It is the one reader of code structure outside the interpreter: loading a
// compiled file checks the code with it before anyone runs it, and the author
// tools print listings with it. A walk succeeds only when the whole scenario
// is a statement list ended by TOK_END inside the bytes, every token is known,
// every constant and string fits, and every command-call record is laid out
// as the compiler lays it out: names of 1 to 32 characters '0'-'9' and 'A'-'Z',
// the argument code, the first block and the else block directly one after
// the other, each offset pointing exactly where its part begins, every part
// ended inside the record, and the record ended inside what holds it.
//
// The walk keeps its own stack on the heap, so deeply nested code cannot
// exhaust the caller's stack (loading runs on a task's stack).
//
// A visitor receives the code in order. Derive from codewalk::Visitor and
// hide the hooks you need; every offset is counted from the start of the code.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "mrvcode.h"
#include "platform/bytes.h"

namespace codewalk {

enum class Fault : uint8_t {
  None,
  Truncated,        // the code ends inside a token, a record or a list
  UnknownToken,     // a byte that starts no operand
  UnknownOperator,  // a byte of 0x80 or more that is no operator code
  BadVariable,      // a local variable other than $@ or $A..$Z, or \ without a variable
  BadString,        // more than 999 units, or no 0 after them
  BadName,          // a library or command name that is not 1..32 of '0'-'9', 'A'-'Z'
  BadRecord,        // an offset, count or length of a command-call record that does not fit
  MissingEnd,       // an argument, (...) or [...] not ended by TOK_END
};

// A few words on a fault, for tools.
inline const char* describe(Fault f) {
  switch (f) {
    case Fault::None:
      return "no fault";
    case Fault::Truncated:
      return "code ends too early";
    case Fault::UnknownToken:
      return "unknown token";
    case Fault::UnknownOperator:
      return "unknown operator";
    case Fault::BadVariable:
      return "malformed variable";
    case Fault::BadString:
      return "malformed string constant";
    case Fault::BadName:
      return "malformed library or command name";
    case Fault::BadRecord:
      return "malformed command-call record";
    case Fault::MissingEnd:
      return "missing end token";
  }
  return "?";
}

// One command-call record; every offset is absolute (from the code's start).
struct Call {
  uint32_t at = 0;           // the TOK_CALL
  const char* library = "";  // NUL-terminated, inside the code
  const char* command = "";
  int32_t argCount = 0;
  uint32_t args = 0;       // the argument code
  uint32_t block = 0;      // first block, 0 if none
  uint32_t elseBlock = 0;  // else block, 0 if none
  uint32_t end = 0;        // first byte after the record
};

// Hooks called in code order; the defaults do nothing.
struct Visitor {
  void line(uint32_t at, uint16_t number) {}
  void statement_begin(uint32_t at) {}
  void statement_end(uint32_t at) {}           // `at`: the first byte after the statement
  void list_end(uint32_t at) {}                // `at`: the TOK_END of the list
  void prefix(uint32_t at, uint8_t token) {}   // TOK_BYREF, TOK_NOT or TOK_NEG
  void integer(uint32_t at, int32_t value) {}  // TOK_ZERO, TOK_INT8/16/32
  void decimal(uint32_t at, uint32_t intWord, uint32_t fraction) {}
  void string(uint32_t at, const uint8_t* units, uint16_t count) {}  // 2 * count bytes, LE
  // TOK_SYSVAR and TOK_COMVAR: the operand of the number follows; TOK_LOCALVAR
  // with its letter.
  void variable(uint32_t at, uint8_t token, uint8_t letter) {}
  void index_begin(uint32_t at) {}
  void index_end(uint32_t at) {}
  void paren_begin(uint32_t at) {}
  void paren_end(uint32_t at) {}
  // An operator code; also TOK_NEG standing after an operand, which the
  // interpreter reads as an operator that does nothing.
  void op(uint32_t at, uint8_t code) {}
  void call_begin(const Call& call) {}
  void arg_begin(const Call& call, int32_t i, uint32_t at, bool omitted) {}  // i from 1
  void arg_end(const Call& call, int32_t i, uint32_t at) {}
  void block_begin(const Call& call, bool isElse) {}
  void block_end(const Call& call, bool isElse) {}
  void call_end(const Call& call) {}
};

struct Result {
  Fault fault = Fault::None;
  uint32_t at = 0;   // where the fault was found
  uint32_t end = 0;  // after success: the first byte after the scenario's TOK_END
  bool ok() const { return fault == Fault::None; }
};

inline bool is_operator(uint8_t b) {
  switch (b) {
    case OP_ASSIGN:
    case OP_BACKSLASH:
    case OP_NOT:
    case OP_POWER:
    case OP_MUL:
    case OP_DIV:
    case OP_MOD:
    case OP_ADD:
    case OP_SUB:
    case OP_QUESTION:
    case OP_EQ:
    case OP_NE:
    case OP_GT:
    case OP_LT:
    case OP_GE:
    case OP_LE:
    case OP_LAND:
    case OP_LOR:
    case OP_AND:
    case OP_OR:
    case OP_XOR:
    case OP_INC:
    case OP_DEC:
    case TOK_NEG:
      return true;
    default:
      return false;
  }
}

namespace detail {

using plat::get_le16;
using plat::get_le32;

template <class V>
class Walker {
 public:
  Walker(const uint8_t* code, uint32_t size, V& v) : c_(code), size_(size), v_(v) {}

  Result run() {
    Result r;
    push(Frame::List, size_);
    Mode mode = Mode::List;
    while (!stack_.empty()) {
      switch (mode) {
        case Mode::List:
          mode = list_step();
          break;
        case Mode::Operand:
          mode = operand();
          break;
        case Mode::Index:
          mode = index();
          break;
        case Mode::Return:
          mode = resume();
          break;
        case Mode::Call:
          mode = call_step();
          break;
        case Mode::Fail:
          r.fault = fault_;
          r.at = faultAt_;
          return r;
      }
    }
    r.end = p_;
    return r;
  }

 private:
  enum class Mode { List, Operand, Index, Return, Call, Fail };
  struct Frame {
    enum Kind : uint8_t { List, Statement, Expr, Ref, VarNumber, IndexClose, ParenClose, CallRec };
    Kind kind;
    uint8_t state = 0;  // CallRec: 0 arguments, 1 first block done, 2 else block done
    int32_t arg = 0;    // CallRec: the argument being read (from 1)
    uint32_t lim;       // nothing of this frame lies at or beyond lim
    Call call;
  };
  enum : uint8_t { kArgs = 0, kAfterBlock = 1, kAfterElse = 2 };

  void push(typename Frame::Kind k, uint32_t lim) {
    Frame f{};
    f.kind = k;
    f.lim = lim;
    stack_.push_back(f);
  }
  Frame& top() { return stack_.back(); }
  uint32_t lim() const { return stack_.back().lim; }
  // True when n bytes from the position lie inside the current frame.
  bool have(uint32_t n) const { return n <= lim() && p_ <= lim() - n; }
  Mode fail(Fault f, uint32_t at) {
    fault_ = f;
    faultAt_ = at;
    return Mode::Fail;
  }

  // At the start of a statement of the list on top, or at its end.
  Mode list_step() {
    if (have(1) && c_[p_] == TOK_LINE) {
      if (!have(3)) return fail(Fault::Truncated, p_);
      v_.line(p_, get_le16(c_ + p_ + 1));
      p_ += 3;
    }
    if (!have(1)) return fail(Fault::Truncated, p_);
    if (c_[p_] == TOK_END) {
      v_.list_end(p_);
      ++p_;
      stack_.pop_back();
      return Mode::Return;
    }
    v_.statement_begin(p_);
    top().kind = Frame::Statement;
    push(Frame::Expr, lim());
    return Mode::Operand;
  }

  Mode operand() {
    if (!have(1)) return fail(Fault::Truncated, p_);
    uint8_t b = c_[p_];
    if (b == TOK_NOT) {
      v_.prefix(p_, b);
      ++p_;
      if (!have(1)) return fail(Fault::Truncated, p_);
      b = c_[p_];
    }
    if (b == TOK_NEG) {
      v_.prefix(p_, b);
      ++p_;
      if (!have(1)) return fail(Fault::Truncated, p_);
      b = c_[p_];
    }
    const uint32_t at = p_;
    switch (b) {
      case TOK_ZERO:
        v_.integer(at, 0);
        p_ += 1;
        return Mode::Return;
      case TOK_INT8:
        if (!have(2)) return fail(Fault::Truncated, at);
        v_.integer(at, static_cast<int8_t>(c_[at + 1]));
        p_ += 2;
        return Mode::Return;
      case TOK_INT16:
        if (!have(3)) return fail(Fault::Truncated, at);
        v_.integer(at, static_cast<int16_t>(get_le16(c_ + at + 1)));
        p_ += 3;
        return Mode::Return;
      case TOK_INT32:
        if (!have(5)) return fail(Fault::Truncated, at);
        v_.integer(at, static_cast<int32_t>(get_le32(c_ + at + 1)));
        p_ += 5;
        return Mode::Return;
      case TOK_DECIMAL:
        if (!have(9)) return fail(Fault::Truncated, at);
        v_.decimal(at, get_le32(c_ + at + 1), get_le32(c_ + at + 5));
        p_ += 9;
        return Mode::Return;
      case TOK_STRING: {
        if (!have(3)) return fail(Fault::Truncated, at);
        const uint16_t n = get_le16(c_ + at + 1);
        if (n > MRVCODE_MAX_STRING) return fail(Fault::BadString, at);
        const uint32_t len = 3u + 2u * n + 2u;
        if (!have(len)) return fail(Fault::Truncated, at);
        if (get_le16(c_ + at + 3 + 2u * n) != 0) return fail(Fault::BadString, at);
        v_.string(at, c_ + at + 3, n);
        p_ += len;
        return Mode::Return;
      }
      case TOK_SYSVAR:
      case TOK_COMVAR:
        v_.variable(at, b, 0);
        ++p_;
        push(Frame::VarNumber, lim());
        return Mode::Operand;
      case TOK_LOCALVAR: {
        if (!have(2)) return fail(Fault::Truncated, at);
        const uint8_t letter = c_[at + 1];
        if (letter != '@' && (letter < 'A' || letter > 'Z')) return fail(Fault::BadVariable, at);
        v_.variable(at, b, letter);
        p_ += 2;
        return Mode::Index;
      }
      case TOK_PAREN:
        v_.paren_begin(at);
        ++p_;
        push(Frame::ParenClose, lim());
        push(Frame::Expr, lim());
        return Mode::Operand;
      case TOK_CALL:
        return call_head();
      default:
        return fail(Fault::UnknownToken, at);
    }
  }

  // After a variable: any number of subscripts.
  Mode index() {
    if (have(1) && c_[p_] == TOK_INDEX) {
      v_.index_begin(p_);
      ++p_;
      push(Frame::IndexClose, lim());
      push(Frame::Expr, lim());
      return Mode::Operand;
    }
    return Mode::Return;
  }

  // Something inside the frame on top has ended; go on with that frame.
  Mode resume() {
    Frame& f = top();
    switch (f.kind) {
      case Frame::Expr:
        if (have(1) && c_[p_] >= 0x80) {
          const uint8_t code = c_[p_];
          if (!is_operator(code)) return fail(Fault::UnknownOperator, p_);
          v_.op(p_, code);
          ++p_;
          if (code == OP_INC || code == OP_DEC) {
            stack_.pop_back();
            return Mode::Return;
          }
          return Mode::Operand;
        }
        stack_.pop_back();
        return Mode::Return;
      case Frame::Statement:
        v_.statement_end(p_);
        f.kind = Frame::List;
        return Mode::List;
      case Frame::VarNumber:
        stack_.pop_back();
        return Mode::Index;
      case Frame::Ref:  // no operator after a by-reference variable
        stack_.pop_back();
        return Mode::Return;
      case Frame::IndexClose:
      case Frame::ParenClose: {
        if (!have(1)) return fail(Fault::Truncated, p_);
        if (c_[p_] != TOK_END) return fail(Fault::MissingEnd, p_);
        const bool isIndex = f.kind == Frame::IndexClose;
        if (isIndex)
          v_.index_end(p_);
        else
          v_.paren_end(p_);
        ++p_;
        stack_.pop_back();
        return isIndex ? Mode::Index : Mode::Return;
      }
      case Frame::CallRec:
        return Mode::Call;
      case Frame::List:
        break;  // a list never waits for a part of its own
    }
    return fail(Fault::Truncated, p_);
  }

  // Reads a name of 1..32 characters and its 0 byte at `at`, below `end`.
  bool name(uint32_t at, uint32_t end, uint32_t* after) const {
    uint32_t i = at;
    while (i < end && c_[i] != 0) {
      const uint8_t ch = c_[i];
      if (!((ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'Z'))) return false;
      if (i - at >= MRVCODE_MAX_NAME) return false;
      ++i;
    }
    if (i >= end || i == at) return false;
    *after = i + 1;
    return true;
  }

  Mode call_head() {
    const uint32_t at = p_;
    if (!have(CALL_HEAD)) return fail(Fault::Truncated, at);
    const auto field = [&](uint32_t off) { return static_cast<int32_t>(get_le32(c_ + at + off)); };
    const int32_t lib = field(CALL_LIBRARY), cmd = field(CALL_COMMAND), args = field(CALL_ARGS);
    const int32_t count = field(CALL_ARGCOUNT), block = field(CALL_BLOCK);
    const int32_t elseBlock = field(CALL_ELSE), length = field(CALL_LENGTH);
    // The record must end inside what holds it.
    if (length <= CALL_HEAD || static_cast<uint32_t>(length) > lim() - at)
      return fail(Fault::BadRecord, at);
    const uint32_t end = at + static_cast<uint32_t>(length);
    if (lib != CALL_HEAD) return fail(Fault::BadRecord, at);
    uint32_t next = 0;
    if (!name(at + CALL_HEAD, end, &next)) return fail(Fault::BadName, at + CALL_HEAD);
    if (static_cast<int64_t>(cmd) != static_cast<int64_t>(next - at))
      return fail(Fault::BadRecord, at);
    const uint32_t cmdAt = next;
    if (!name(cmdAt, end, &next)) return fail(Fault::BadName, cmdAt);
    if (static_cast<int64_t>(args) != static_cast<int64_t>(next - at))
      return fail(Fault::BadRecord, at);
    if (count < 0 || count > MRVCODE_MAX_ARGS) return fail(Fault::BadRecord, at);
    if (block < 0 || elseBlock < 0 || (elseBlock != 0 && block == 0))
      return fail(Fault::BadRecord, at);

    Frame f{};
    f.kind = Frame::CallRec;
    f.lim = end;
    f.state = kArgs;
    f.arg = 0;
    f.call.at = at;
    f.call.library = reinterpret_cast<const char*>(c_ + at + CALL_HEAD);
    f.call.command = reinterpret_cast<const char*>(c_ + cmdAt);
    f.call.argCount = count;
    f.call.args = next;
    f.call.block = block != 0 ? at + static_cast<uint32_t>(block) : 0;
    f.call.elseBlock = elseBlock != 0 ? at + static_cast<uint32_t>(elseBlock) : 0;
    f.call.end = end;
    stack_.push_back(f);
    v_.call_begin(top().call);
    p_ = next;
    if (count == 0) {
      if (!have(1)) return fail(Fault::Truncated, p_);
      if (c_[p_] != TOK_END) return fail(Fault::MissingEnd, p_);
      ++p_;
    }
    return Mode::Call;
  }

  // The next part of the call record on top.
  Mode call_step() {
    Frame& f = top();
    const Call& call = f.call;
    if (f.state == kArgs) {
      if (f.arg > 0) {  // the argument f.arg has been read: its TOK_END
        if (!have(1)) return fail(Fault::Truncated, p_);
        if (c_[p_] != TOK_END) return fail(Fault::MissingEnd, p_);
        v_.arg_end(call, f.arg, p_);
        ++p_;
      }
      if (f.arg < call.argCount) {
        ++f.arg;
        if (!have(1)) return fail(Fault::Truncated, p_);
        const bool omitted = c_[p_] == TOK_END;
        v_.arg_begin(call, f.arg, p_, omitted);
        if (omitted) return Mode::Call;
        if (c_[p_] == TOK_BYREF) return by_reference(call.end);
        push(Frame::Expr, call.end);
        return Mode::Operand;
      }
      f.state = kAfterBlock;
      if (call.block != 0) {
        if (p_ != call.block) return fail(Fault::BadRecord, call.at);
        v_.block_begin(call, false);
        push(Frame::List, call.end);
        return Mode::List;
      }
      return finish_call();
    }
    if (f.state == kAfterBlock) {
      if (call.block != 0) v_.block_end(call, false);
      f.state = kAfterElse;
      if (call.elseBlock != 0) {
        if (p_ != call.elseBlock) return fail(Fault::BadRecord, call.at);
        v_.block_begin(call, true);
        push(Frame::List, call.end);
        return Mode::List;
      }
      return finish_call();
    }
    if (call.elseBlock != 0) v_.block_end(call, true);
    return finish_call();
  }

  // A by-reference argument, as the interpreter reads one: TOK_BYREF and a
  // variable make the whole argument (its TOK_END follows). The token stands
  // nowhere else.
  Mode by_reference(uint32_t end) {
    v_.prefix(p_, TOK_BYREF);
    ++p_;
    push(Frame::Ref, end);
    if (!have(1)) return fail(Fault::Truncated, p_);
    const uint8_t b = c_[p_];
    if (b != TOK_SYSVAR && b != TOK_COMVAR && b != TOK_LOCALVAR)
      return fail(Fault::BadVariable, p_);
    return Mode::Operand;
  }

  Mode finish_call() {
    const Call call = top().call;
    if (p_ != call.end) return fail(Fault::BadRecord, call.at);
    stack_.pop_back();
    v_.call_end(call);
    return Mode::Return;
  }

  const uint8_t* c_;
  uint32_t size_;
  V& v_;
  uint32_t p_ = 0;
  std::vector<Frame> stack_;
  Fault fault_ = Fault::None;
  uint32_t faultAt_ = 0;
};

}  // namespace detail

// Walks the scenario at code[0 .. size) with a visitor.
template <class V>
Result walk(const void* code, uint32_t size, V& visitor) {
  return detail::Walker<V>(static_cast<const uint8_t*>(code), size, visitor).run();
}

// Checks the scenario at code[0 .. size) without visiting.
inline Result check(const void* code, uint32_t size) {
  Visitor none;
  return walk(code, size, none);
}

}  // namespace codewalk
