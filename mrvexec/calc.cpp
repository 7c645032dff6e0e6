// The expression evaluator: operands, prefixes, postfix increment and
// decrement, assignment and infix operators by precedence, in one pass over
// the compiled bytes. All arithmetic is the value manager's.
#include <algorithm>
#include <cstring>

#include "internal.h"
#include "mrvcode.h"
#include "mrvint.h"
#include "platform/text.h"

namespace mrvexec {
namespace {
const char* eval_term(SystemContext* ctx, const char* p, FAQ* result);
}  // namespace

int precedence(uint8_t op) {
  switch (op) {
    case OP_ASSIGN:
    case OP_BACKSLASH:
    case OP_INC:
    case OP_DEC:
      return 90;
    case OP_POWER:
      return 80;
    case OP_MUL:
    case OP_DIV:
    case OP_QUESTION:
      return 70;
    case OP_MOD:
      return 60;
    case OP_ADD:
    case OP_SUB:
      return 50;
    case OP_GT:
    case OP_LT:
    case OP_GE:
    case OP_LE:
      return 40;
    case OP_EQ:
    case OP_NE:
      return 30;
    case OP_AND:
    case OP_OR:
    case OP_XOR:
      return 20;
    case OP_LAND:
    case OP_LOR:
      return 10;
    default:
      return 0;
  }
}

namespace {
uint8_t byte(const char* p) {
  return static_cast<uint8_t>(*p);
}
}  // namespace

bool duplicate(SystemContext* ctx, FAQ* target, FAQ* source) {
  if (source->type == TYPE_STRING || source->type == TYPE_CELL || source->type == TYPE_MEMORY ||
      source->type == TYPE_HANDLE || source->type == TYPE_WAVE) {
    return MRVFAQ_Copy(ctx, target, source) != 0;
  }
  *target = *source;
  return true;
}
bool get(SystemContext* ctx, VarRef* ref, FAQ* out) {
  if (const FAQ* c = cell_of(&ref->table, ref->index)) {
    // The main thread writes input into system variables while tasks run.
    *out = ref->table.cells == ctx->systemVars.cells ? mrv::load_cell(*c) : *c;
    return true;
  }
  return MRVVAL_Get(ctx, &ref->table, ref->index, out) != 0;
}
bool set(SystemContext* ctx, VarRef* ref, FAQ* value) {
  // A system variable is stored by MRVVAL_Set, in the order the main thread,
  // which writes input there while tasks run, reads it.
  if (ref->table.cells != ctx->systemVars.cells) {
    if (FAQ* c = cell_of(&ref->table, ref->index)) {
      value->setCount = static_cast<uint16_t>(value->setCount + 1);
      *c = *value;
      return true;
    }
  }
  return MRVVAL_Set(ctx, &ref->table, ref->index, value) != 0;
}

// An integer constant as MRVFAQ_Number makes it; the value manager builds
// (and reports) the ones outside the number range.
bool integer(SystemContext* ctx, FAQ* result, int32_t v) {
  if (v < -MRVINT_MAX || v > MRVINT_MAX) return MRVFAQ_Number(ctx, result, 1, v, 0) != 0;
  result->type = TYPE_NUMBER;
  result->word1 = MRVINT_Word(v);
  result->word2 = 0;
  return true;
}

bool truth_of(uint8_t op, int32_t c) {
  switch (op) {
    case OP_GT:
      return c > 0;
    case OP_LT:
      return c < 0;
    case OP_GE:
      return c >= 0;
    case OP_LE:
      return c <= 0;
    case OP_EQ:
      return c == 0;
    default:
      return c != 0;
  }
}

namespace {

// A comparison's truth into l (as MRVFAQ_Bool makes it: -1 or 0).
bool compare(SystemContext* ctx, uint8_t op, FAQ* l, FAQ* r) {
  int32_t c = 0;
  if (!MRVINT_Compare(l, r, &c) && !MRVFAQ_Comp(ctx, l, r, &c)) return false;
  release(ctx, l);
  set_truth(l, truth_of(op, c));
  return true;
}

}  // namespace

bool apply(SystemContext* ctx, uint8_t op, FAQ* l, FAQ* r) {
  switch (op) {
    case OP_POWER: {
      if (r->word2 != 0) {
        return report(ctx, MRV_CP932("べき乗数は整数しか設定できません。")) != 0;
      }
      int32_t n = 0;
      return MRVFAQ_Int(ctx, r, &n) && MRVFAQ_Power(ctx, l, n);
    }
    case OP_MUL:
      return MRVINT_Product(l, r) || MRVFAQ_Mul(ctx, l, r) != 0;
    case OP_DIV:
      return MRVFAQ_Div(ctx, l, r) != 0;
    case OP_QUESTION:
      if (integer_quotient(l, r)) return true;
      if (!MRVFAQ_Div(ctx, l, r)) return false;
      l->word2 = 0;
      return true;
    case OP_MOD:
      return integer_remainder(l, r) || MRVFAQ_Mod(ctx, l, r) != 0;
    case OP_ADD:
      return MRVINT_Sum(l, r, 1) || MRVFAQ_Add(ctx, l, r) != 0;
    case OP_SUB:
      return MRVINT_Sum(l, r, -1) || MRVFAQ_Sub(ctx, l, r) != 0;
    case OP_GT:
    case OP_LT:
    case OP_GE:
    case OP_LE:
    case OP_EQ:
    case OP_NE:
      return compare(ctx, op, l, r);
    case OP_AND:
      return MRVFAQ_And(ctx, l, r) != 0;
    case OP_OR:
      return MRVFAQ_Or(ctx, l, r) != 0;
    case OP_XOR:
      return MRVFAQ_Xor(ctx, l, r) != 0;
    case OP_LAND:
    case OP_LOR:
      if (!(op == OP_LAND ? MRVFAQ_And(ctx, l, r) : MRVFAQ_Or(ctx, l, r))) return false;
      l->word2 = 0;
      if (l->word1 != 0) l->word1 = 1;
      return true;
    default:
      return true;
  }
}

bool step_variable(SystemContext* ctx, uint8_t op, VarRef* ref) {
  FAQ v;
  FAQ one{};
  if (!get(ctx, ref, &v) || !MRVFAQ_Number(ctx, &one, 1, 1, 0)) return false;
  if (!(op == OP_INC ? MRVFAQ_Add(ctx, &v, &one) : MRVFAQ_Sub(ctx, &v, &one))) return false;
  return set(ctx, ref, &v);
}

bool assign(SystemContext* ctx, VarRef* ref, FAQ* v, FAQ* result) {
  // As MRVVAL_Clear: the index is checked against the count alone. An old
  // value that owns nothing is left for the store to overwrite, so that no
  // cleared cell shows in between (the main thread reads input records).
  if (ref->index >= 0 && ref->index < ref->table.count) {
    if (FAQ* c = cell_of(&ref->table, ref->index); c != nullptr && owns(c->type)) {
      MRVFAQ_Clear(ctx, c);
    }
  }
  if (!set(ctx, ref, v)) {
    release(ctx, v);  // nobody took it
    return false;
  }
  return duplicate(ctx, result, v);
}

bool add_subscript(SystemContext* ctx, VarRef* ref, FAQ* v) {
  const bool number = v->type == TYPE_NUMBER;
  const uint32_t add = v->word1;
  release(ctx, v);
  if (!number) {
    report(ctx, MRV_CP932("配列番号に数値以外の値が指定されています。"));
    return false;
  }
  ref->index = static_cast<int32_t>(static_cast<uint32_t>(ref->index) + add);
  return true;
}

bool string_units(SystemContext* ctx, const uint16_t* units, FAQ* result) {
  return MRVSTR_SetWord(ctx, result, units) != 0;
}

bool prefixes(SystemContext* ctx, FAQ* result, bool negate, bool minus) {
  if (result->type != TYPE_NUMBER) return true;
  if (negate && !MRVFAQ_Not(ctx, result)) return false;
  return !minus || MRVFAQ_Neg(ctx, result) != 0;
}

namespace {

// An infix operator `op` with left value l; `p` is the byte after the code.
const char* eval_binary(SystemContext* ctx, uint8_t op, const char* p, FAQ* l) {
  FAQ r{};  // an empty value, as MRVFAQ_NULL makes it
  p = eval_term(ctx, p, &r);
  while (p != nullptr && byte(p) >= 0x80 && precedence(byte(p)) > precedence(op)) {
    p = eval_binary(ctx, byte(p), p + 1, &r);
  }
  if (p != nullptr && !apply(ctx, op, l, &r)) p = nullptr;
  release(ctx, &r);
  return p;
}

// After a variable operand: "++" or "--" changes the variable; the operand
// keeps the value read before.
const char* postfix(SystemContext* ctx, const char* p, VarRef* ref) {
  const uint8_t op = byte(p);
  if (op != OP_INC && op != OP_DEC) return p;
  return step_variable(ctx, op, ref) ? p + 1 : nullptr;
}

// Reads the variable into `result` (a duplicate of what it holds), then its
// postfix operator.
const char* read_variable(SystemContext* ctx, const char* p, VarRef* ref, FAQ* result) {
  FAQ v;
  if (!get(ctx, ref, &v) || !duplicate(ctx, result, &v)) return nullptr;
  return postfix(ctx, p, ref);
}

// A string constant: 16-bit count, the units, a 16-bit 0. The units are
// copied to aligned storage first (code bytes are not aligned).
[[gnu::noinline]] const char* string_constant(SystemContext* ctx, const char* p, FAQ* result) {
  const uint16_t n = static_cast<uint16_t>(read16(p));
  uint16_t units[MRVCODE_MAX_STRING + 1];
  const uint16_t len = std::min<uint16_t>(n, MRVCODE_MAX_STRING);
  std::memcpy(units, p + 2, len * 2u);
  units[len] = 0;
  if (!string_units(ctx, units, result)) return nullptr;
  return p + 2 + 2 * n + 2;
}

const char* eval_term(SystemContext* ctx, const char* p, FAQ* result) {
  const bool negate = byte(p) == TOK_NOT;
  if (negate) ++p;
  const bool minus = byte(p) == TOK_NEG;
  if (minus) ++p;
  const uint8_t tok = byte(p++);
  bool ok = true;
  switch (tok) {
    case TOK_ZERO:
      ok = integer(ctx, result, 0);
      break;
    case TOK_INT8:
      ok = integer(ctx, result, int32_t{static_cast<int8_t>(*p)});
      p += 1;
      break;
    case TOK_INT16:
      ok = integer(ctx, result, int32_t{read16(p)});
      p += 2;
      break;
    case TOK_INT32:
      ok = integer(ctx, result, read32(p));
      p += 4;
      break;
    case TOK_DECIMAL:
      result->type = TYPE_NUMBER;  // the words exactly as a number holds them
      result->word1 = static_cast<uint32_t>(read32(p));
      result->word2 = static_cast<uint32_t>(read32(p + 4));
      p += 8;
      break;
    case TOK_STRING:
      return string_constant(ctx, p, result);  // no prefix applies to a string
    case TOK_SYSVAR:
    case TOK_COMVAR:
    case TOK_LOCALVAR: {
      VarRef ref;
      p = parse_varref(ctx, p - 1, &ref);
      if (p != nullptr) p = read_variable(ctx, p, &ref, result);
      ok = p != nullptr;
      break;
    }
    case TOK_CALL:
      p = call_command(ctx, p - 1, result);
      ok = p != nullptr;
      break;
    case TOK_PAREN:
      p = calc_plain(ctx, p, result);
      ok = p != nullptr;
      if (ok) ++p;  // the closing byte
      break;
    default:
      break;  // no value: the result stays as it was
  }
  if (!ok || !prefixes(ctx, result, negate, minus)) return nullptr;
  return p;
}

}  // namespace

const char* parse_varref(SystemContext* ctx, const char* p, VarRef* ref) {
  *ref = VarRef{{0, 0, 0}, 0, false};
  const uint8_t tok = byte(p);
  if (tok == TOK_SYSVAR || tok == TOK_COMVAR) {
    const uint8_t number = byte(p + 1);
    if (number == TOK_INT8 || number == TOK_INT16 || number == TOK_ZERO) {
      // A constant variable number: the word MRVFAQ_Number would make of it.
      const int32_t v = number == TOK_ZERO   ? 0
                        : number == TOK_INT8 ? int32_t{static_cast<int8_t>(p[2])}
                                             : int32_t{read16(p + 2)};
      ref->index = static_cast<int32_t>(MRVINT_Word(v));
      p += number == TOK_ZERO ? 2 : number == TOK_INT8 ? 3 : 4;
    } else {
      FAQ n{};
      p = eval_term(ctx, p + 1, &n);
      ref->index = static_cast<int32_t>(n.word1);  // the raw word: sign bit and magnitude
      release(ctx, &n);
      if (p == nullptr) return nullptr;
    }
    ref->table = tok == uint8_t{TOK_SYSVAR} ? ctx->systemVars : ctx->commonVars;
  } else if (tok == TOK_LOCALVAR) {
    if (const VarTable* local = MRVVAL_GetLocal(ctx, ctx->currentTask)) ref->table = *local;
    ref->index = byte(p + 1) - 0x40;
    p += 2;
  } else {
    return p;
  }
  ref->found = true;
  if (byte(p) == TOK_INDEX) {
    FAQ v{};
    p = calc_plain(ctx, p + 1, &v);
    if (p == nullptr) {
      release(ctx, &v);
      return nullptr;
    }
    ++p;  // the closing byte
    if (!add_subscript(ctx, ref, &v)) return nullptr;
  }
  return p;
}

}  // namespace mrvexec

using namespace mrvexec;

const char* mrvexec::calc_plain(SystemContext* ctx, const char* code, FAQ* result) {
  VarRef ref;
  const char* p = parse_varref(ctx, code, &ref);
  if (p == nullptr) return nullptr;
  if (ref.found) {
    if (byte(p) == OP_ASSIGN) {
      FAQ v{};
      p = calc_plain(ctx, p + 1, &v);
      if (p == nullptr) {
        MRVFAQ_Clear(ctx, &v);
        return nullptr;
      }
      return assign(ctx, &ref, &v, result) ? p : nullptr;  // no operator follows an assignment
    }
    p = read_variable(ctx, p, &ref, result);
  } else {
    p = eval_term(ctx, p, result);
  }
  while (p != nullptr && byte(p) >= 0x80) p = eval_binary(ctx, byte(p), p + 1, result);
  return p;
}

// An argument of a decoded command call runs decoded; any other code plain.
extern "C" const char* MRVEXEC_Calc(SystemContext* ctx, const char* code, FAQ* result) {
  const char* next = nullptr;
  if (calc_decoded(ctx, code, result, &next)) return next;
  return calc_plain(ctx, code, result);
}
