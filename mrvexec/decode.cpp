// The decoded form of compiled code: a code block's statement lists and
// expressions turned once into a tree that the statement loop walks without
// reading token bytes again. Constants are values already, a variable's
// number is decoded once when it is a constant, and a command call keeps its
// function after the first lookup.
//
// The tree mirrors the order in which the plain evaluator reads the bytes, and
// every operation goes through the evaluator's own pieces (apply, assign,
// get, set, the value manager), so both paths give the same values, counts,
// reports and turns. What the decoder does not recognise, or code that does
// not lie wholly inside its block, is left to the plain evaluator from that
// statement on.
//
// Commands run nested code through MRVEXEC_Mem and MRVEXEC_Calc with a code
// address only. While a decoded call runs, the session keeps it per task;
// when the address asked for is one of that call's blocks or arguments, the
// decoded form of it runs.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "internal.h"
#include "mrvcode.h"
#include "mrvtask.h"
#include "platform/dynlib.h"

namespace mrvexec {

namespace {

struct Expr;
struct List;

// A variable as the code names it; the table is taken at run time, so a
// local variable follows the task's current frame.
struct Var {
  uint8_t token;          // TOK_SYSVAR, TOK_COMVAR or TOK_LOCALVAR
  bool fixed;             // a constant number and no subscript: no work to find it
  int32_t index;          // the constant number's word, or the local's letter
  const Expr* number;     // a number computed at run time (an operand), else null
  const Expr* subscript;  // the [expression], else null
};

enum class Kind : uint8_t { Number, BigInteger, String, Read, Call, Paren, Binary, Assign };
// Operands the evaluator takes without going through eval: a number constant
// without prefixes, a fixed variable read without prefixes or postfix, an
// operation.
enum class Leaf : uint8_t { No, Constant, Fixed, Operation };

struct Arg {
  enum : uint8_t { Value, ByRef, Omitted } kind;
  const char* start;  // the argument's code (cell word5)
  const char* end;    // the byte after its expression
  union {
    Var var;           // ByRef
    const Expr* expr;  // Value
  };
};

// Standard commands whose effect runs in place of the call (see in_place).
enum class InPlace : uint8_t {
  None,
  For,
  If,
  While,
  Loop,
  Switch,
  Case,
  Abs,
  GetBit,
  SetRect,
  SetRectWord,
  GetRectWord
};
constexpr int32_t kInPlaceArgs = 4;  // the most arguments of any of them

struct Call {
  const char* site;
  const char* lib;
  const char* cmd;
  int32_t count;
  Command fn;                // found at the first call
  InPlace inPlace;           // set with fn when it is the standard library's own
  uint8_t word;              // SetRectWord, GetRectWord: the rectangle's word (0..3)
  const char* blockCode[2];  // the first and the else block's code, or null
  const List* block[2];      // their decoded lists
  Arg* args;                 // count of them
};

// The fields a kind does not use share their room with those of other kinds
// (the first member of each union is the largest, so Expr{} zeroes it all).
struct Expr {
  Kind kind;
  Leaf leaf;
  uint8_t op;      // Binary: the operator; Read: OP_INC, OP_DEC or 0
  bool negate;     // "!" prefix
  bool minus;      // "-" prefix
  bool intTree;    // Binary: an integer tree (see integer_tree)
  uint32_t word1;  // Number
  union {
    uint32_t word2;   // Number
    int32_t integer;  // BigInteger
  };
  union {
    const Expr* left;       // Binary; Paren: the expression; Assign: the value
    const uint16_t* units;  // String
    Call* call;             // Call
  };
  union {
    Var var;            // Read, Assign
    const Expr* right;  // Binary
  };
};
static_assert(sizeof(Expr) <= 48);

// One turn of the statement loop: an optional line marker, then a statement
// or the list's end; or the point from which the plain loop goes on.
struct Stmt {
  const char* plain;  // non-null: the plain loop runs from here
  bool hasLine;
  uint16_t line;
  const Expr* expr;  // null: the list's end
};
struct List {
  const Stmt* stmts;  // up to the list's end or its plain rest
};

// Bump storage for a program's nodes, in memory blocks of the code's owner
// (as the code block itself), freed as a whole with the program.
class Arena {
 public:
  explicit Arena(uint32_t owner) : owner_(owner) {}
  ~Arena() {
    while (head_ != nullptr) {
      Chunk* next = head_->next;
      MRVTASK_FreeMemory(owner_, head_);
      head_ = next;
    }
  }
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  void* take(std::size_t n) {
    n = (n + 7) & ~std::size_t{7};
    if (n > left_) {
      const std::size_t size = sizeof(Chunk) + (n > kChunk ? n : kChunk);
      auto* c = static_cast<Chunk*>(MRVTASK_AllocMemory(owner_, static_cast<uint32_t>(size)));
      if (c == nullptr) throw std::bad_alloc();
      c->next = head_;
      head_ = c;
      next_ = reinterpret_cast<unsigned char*>(c + 1);
      left_ = size - sizeof(Chunk);
    }
    void* p = next_;
    next_ += n;
    left_ -= n;
    return p;
  }
  template <typename T>
  T* make() {
    return new (take(sizeof(T))) T{};
  }

 private:
  struct alignas(8) Chunk {
    Chunk* next;
  };
  static constexpr std::size_t kChunk = 16 * 1024 - sizeof(Chunk);
  uint32_t owner_;
  Chunk* head_ = nullptr;
  unsigned char* next_ = nullptr;
  std::size_t left_ = 0;
};

uint8_t byte(const char* p) {
  return static_cast<uint8_t>(*p);
}

// Marks the operands that the evaluator takes without a call. A system
// variable is read through get(), which copies what the main thread writes
// there in the order it is written.
void mark_leaf(Expr* e) {
  if (e->negate || e->minus) return;
  if (e->kind == Kind::Number) e->leaf = Leaf::Constant;
  if (e->kind == Kind::Read && e->var.fixed && e->op == 0 && e->var.token != TOK_SYSVAR)
    e->leaf = Leaf::Fixed;
}

// Operands and operators of an integer tree: integer constants, fixed
// variables and operations on them that the integer arithmetic does inline.
bool in_integer_tree(const Expr* e) {
  return (e->leaf == Leaf::Constant && e->word2 == 0) || e->leaf == Leaf::Fixed ||
         (e->kind == Kind::Binary && e->intTree);
}
bool integer_op(uint8_t op) {
  switch (op) {
    case OP_ADD:
    case OP_SUB:
    case OP_MUL:
    case OP_QUESTION:
    case OP_MOD:
    case OP_GT:
    case OP_LT:
    case OP_GE:
    case OP_LE:
    case OP_EQ:
    case OP_NE:
      return true;
    default:
      return false;
  }
}

class Decoder {
 public:
  Decoder(Arena& arena, const char* base, uint32_t size)
      : arena_(arena), base_(base), limit_(base + size) {}

  const List* list(const char* p);

 private:
  bool in(const char* p, std::size_t n) const {
    return p >= base_ && p <= limit_ && static_cast<std::size_t>(limit_ - p) >= n;
  }
  // A 0-terminated name inside the block.
  bool name(const char* p) const {
    return in(p, 1) && std::memchr(p, 0, static_cast<std::size_t>(limit_ - p)) != nullptr;
  }
  const char* calc(const char* p, const Expr** out);
  const char* rhs(uint8_t op, const char* p, const Expr** out);
  const char* binary(const char* p, const Expr** out);
  const char* term(const char* p, const Expr** out);
  const char* var(const char* p, Var* out);
  const char* postfix(const char* p, Expr* read);
  const char* call(const char* q, Call** out);

  Arena& arena_;
  const char* base_;
  const char* limit_;
};

const char* Decoder::var(const char* p, Var* out) {
  *out = Var{byte(p), false, 0, nullptr, nullptr};
  if (out->token == TOK_LOCALVAR) {
    if (!in(p, 2)) return nullptr;
    out->index = byte(p + 1) - 0x40;
    p += 2;
  } else {
    if (!in(p, 2)) return nullptr;
    const uint8_t number = byte(p + 1);
    if (number == TOK_ZERO) {
      p += 2;
    } else if (number == TOK_INT8 && in(p, 3)) {
      out->index = static_cast<int32_t>(MRVINT_Word(static_cast<int8_t>(p[2])));
      p += 3;
    } else if (number == TOK_INT16 && in(p, 4)) {
      out->index = static_cast<int32_t>(MRVINT_Word(read16(p + 2)));
      p += 4;
    } else {
      p = term(p + 1, &out->number);
      if (p == nullptr) return nullptr;
    }
  }
  if (in(p, 1) && byte(p) == TOK_INDEX) {
    p = calc(p + 1, &out->subscript);
    if (p == nullptr || !in(p, 1)) return nullptr;
    ++p;  // the closing byte
  }
  out->fixed = out->number == nullptr && out->subscript == nullptr;
  return p;
}

const char* Decoder::postfix(const char* p, Expr* read) {
  if (!in(p, 1)) return nullptr;
  if (byte(p) == OP_INC || byte(p) == OP_DEC) read->op = byte(p++);
  return p;
}

const char* Decoder::term(const char* p, const Expr** out) {
  if (!in(p, 1)) return nullptr;
  const bool negate = byte(p) == TOK_NOT;
  if (negate) ++p;
  if (!in(p, 1)) return nullptr;
  const bool minus = byte(p) == TOK_NEG;
  if (minus) ++p;
  if (!in(p, 1)) return nullptr;
  const uint8_t tok = byte(p++);
  Expr* e = arena_.make<Expr>();
  e->negate = negate;
  e->minus = minus;
  auto constant = [&](int32_t v) {
    if (v < -999'999'999 || v > 999'999'999) {
      e->kind = Kind::BigInteger;  // the value manager reports it at every run
      e->integer = v;
    } else {
      e->kind = Kind::Number;
      e->word1 = MRVINT_Word(v);
    }
  };
  switch (tok) {
    case TOK_ZERO:
      constant(0);
      break;
    case TOK_INT8:
      if (!in(p, 1)) return nullptr;
      constant(static_cast<int8_t>(*p));
      p += 1;
      break;
    case TOK_INT16:
      if (!in(p, 2)) return nullptr;
      constant(read16(p));
      p += 2;
      break;
    case TOK_INT32:
      if (!in(p, 4)) return nullptr;
      constant(read32(p));
      p += 4;
      break;
    case TOK_DECIMAL:
      if (!in(p, 8)) return nullptr;
      e->kind = Kind::Number;
      e->word1 = static_cast<uint32_t>(read32(p));
      e->word2 = static_cast<uint32_t>(read32(p + 4));
      p += 8;
      break;
    case TOK_STRING: {
      if (!in(p, 2)) return nullptr;
      const uint16_t n = static_cast<uint16_t>(read16(p));
      if (!in(p, 2 + 2 * std::size_t{n} + 2)) return nullptr;
      const uint16_t len = n < uint16_t{MRVCODE_MAX_STRING} ? n : uint16_t{MRVCODE_MAX_STRING};
      auto* units = static_cast<uint16_t*>(arena_.take((len + 1) * sizeof(uint16_t)));
      std::memcpy(units, p + 2, len * 2u);
      units[len] = 0;
      e->kind = Kind::String;
      e->units = units;
      e->negate = e->minus = false;  // no prefix applies to a string
      p += 2 + 2 * n + 2;
      break;
    }
    case TOK_SYSVAR:
    case TOK_COMVAR:
    case TOK_LOCALVAR:
      e->kind = Kind::Read;
      p = var(p - 1, &e->var);
      if (p != nullptr) p = postfix(p, e);
      break;
    case TOK_CALL:
      e->kind = Kind::Call;
      p = call(p - 1, &e->call);
      break;
    case TOK_PAREN:
      e->kind = Kind::Paren;
      p = calc(p, &e->left);
      if (p == nullptr || !in(p, 1)) return nullptr;
      ++p;  // the closing byte
      break;
    default:
      return nullptr;  // code the plain evaluator reads its own way
  }
  if (p == nullptr) return nullptr;
  mark_leaf(e);
  *out = e;
  return p;
}

// The operator at p with *out as its left operand; *out becomes the node.
const char* Decoder::binary(const char* p, const Expr** out) {
  Expr* b = arena_.make<Expr>();
  b->kind = Kind::Binary;
  b->op = byte(p);
  b->leaf = Leaf::Operation;
  b->left = *out;
  p = rhs(b->op, p + 1, &b->right);
  if (p != nullptr)
    b->intTree = in_integer_tree(b->left) && in_integer_tree(b->right) && integer_op(b->op);
  *out = b;
  return p;
}

// The right operand of `op`: a term and the operators that bind tighter.
const char* Decoder::rhs(uint8_t op, const char* p, const Expr** out) {
  p = term(p, out);
  while (p != nullptr && in(p, 1) && byte(p) >= 0x80 && precedence(byte(p)) > precedence(op)) {
    p = binary(p, out);
  }
  return p;
}

const char* Decoder::calc(const char* p, const Expr** out) {
  if (!in(p, 1)) return nullptr;
  const uint8_t tok = byte(p);
  Expr* head = nullptr;
  if (tok == TOK_SYSVAR || tok == TOK_COMVAR || tok == TOK_LOCALVAR) {
    head = arena_.make<Expr>();
    p = var(p, &head->var);
    if (p == nullptr || !in(p, 1)) return nullptr;
    if (byte(p) == OP_ASSIGN) {
      head->kind = Kind::Assign;
      *out = head;
      return calc(p + 1, &head->left);  // no operator follows an assignment
    }
    head->kind = Kind::Read;
    p = postfix(p, head);
    if (p == nullptr) return nullptr;
    mark_leaf(head);
    *out = head;
  } else {
    p = term(p, out);
  }
  while (p != nullptr && in(p, 1) && byte(p) >= 0x80) {
    p = binary(p, out);
  }
  return p;
}

const char* Decoder::call(const char* q, Call** out) {
  if (!in(q, CALL_HEAD)) return nullptr;
  Call* c = arena_.make<Call>();
  c->site = q;
  c->lib = q + read32(q + CALL_LIBRARY);
  c->cmd = q + read32(q + CALL_COMMAND);
  c->count = read32(q + CALL_ARGCOUNT);
  const char* next = q + read32(q + CALL_LENGTH);
  if (!name(c->lib) || !name(c->cmd) || c->count < 0 || c->count > MRVCODE_MAX_ARGS || next <= q ||
      !in(next, 0)) {
    return nullptr;
  }
  const char* p = q + read32(q + CALL_ARGS);
  c->args = static_cast<Arg*>(arena_.take(sizeof(Arg) * static_cast<std::size_t>(c->count)));
  for (int32_t i = 0; i < c->count; ++i) {
    Arg& a = *new (&c->args[i]) Arg{};
    a.start = p;
    if (!in(p, 1)) return nullptr;
    if (byte(p) == TOK_BYREF) {
      a.kind = Arg::ByRef;
      p = var(p + 1, &a.var);
    } else if (byte(p) == TOK_END) {
      a.kind = Arg::Omitted;
    } else {
      a.kind = Arg::Value;
      p = calc(p, &a.expr);
    }
    if (p == nullptr || !in(p, 1)) return nullptr;
    a.end = p;
    ++p;  // the separator
  }
  // Blocks follow the arguments inside the record, the else block after the
  // first, so decoding always moves forward through the code.
  const char* after = p;
  for (int k = 0; k < 2; ++k) {
    const int32_t off = read32(q + (k == 0 ? CALL_BLOCK : CALL_ELSE));
    if (off == 0) continue;
    c->blockCode[k] = q + off;
    if (c->blockCode[k] < after || c->blockCode[k] >= next) return nullptr;
    after = c->blockCode[k] + 1;
    c->block[k] = list(c->blockCode[k]);
  }
  *out = c;
  return next;
}

const List* Decoder::list(const char* p) {
  std::vector<Stmt> stmts;
  for (;;) {
    Stmt s{};
    const char* at = p;
    if (in(p, 3) && byte(p) == TOK_LINE) {
      s.hasLine = true;
      s.line = static_cast<uint16_t>(read16(p + 1));
      p += 3;
    }
    if (in(p, 1) && byte(p) == TOK_END) {
      stmts.push_back(s);
      break;
    }
    const char* q = in(p, 1) ? calc(p, &s.expr) : nullptr;
    if (q == nullptr) {
      stmts.push_back(Stmt{at, false, 0, nullptr});
      break;
    }
    stmts.push_back(s);
    p = q;
  }
  auto* copy = static_cast<Stmt*>(arena_.take(stmts.size() * sizeof(Stmt)));
  std::memcpy(copy, stmts.data(), stmts.size() * sizeof(Stmt));
  List* l = arena_.make<List>();
  l->stmts = copy;
  return l;
}

// ---- Running the decoded form ----

bool eval(SystemContext* ctx, const Expr* e, FAQ* out);
[[gnu::always_inline]] inline bool operand(SystemContext* ctx, const Expr* e, FAQ* out);

bool resolve_computed(SystemContext* ctx, const Var& v, VarRef* ref);
int32_t run_list(SystemContext* ctx, const List* list);

// The table and index of a variable reference; the work of a computed number
// or a subscript in a function of its own.
[[gnu::always_inline]] inline bool resolve(SystemContext* ctx, const Var& v, VarRef* ref) {
  *ref = VarRef{{0, 0, 0}, v.index, true};
  if (!v.fixed) return resolve_computed(ctx, v, ref);
  const int32_t task = ctx->currentTask;
  if (v.token == TOK_SYSVAR) {
    ref->table = ctx->systemVars;
  } else if (v.token == TOK_COMVAR) {
    ref->table = ctx->commonVars;
  } else if (task >= 0 && task < MRV_TASKS) {
    ref->table = ctx->localVars[task];  // what MRVVAL_GetLocal gives
  }
  return true;
}

[[gnu::noinline]] bool resolve_computed(SystemContext* ctx, const Var& v, VarRef* ref) {
  if (v.token == TOK_LOCALVAR) {
    if (const VarTable* local = MRVVAL_GetLocal(ctx, ctx->currentTask)) ref->table = *local;
  } else {
    if (v.number != nullptr) {
      FAQ n{};
      const bool ok = operand(ctx, v.number, &n);
      ref->index = static_cast<int32_t>(n.word1);  // the raw word: sign bit and magnitude
      release(ctx, &n);
      if (!ok) return false;
    }
    ref->table = v.token == TOK_SYSVAR ? ctx->systemVars : ctx->commonVars;
  }
  if (v.subscript != nullptr) {
    FAQ s{};
    if (!operand(ctx, v.subscript, &s)) {
      release(ctx, &s);
      return false;
    }
    return add_subscript(ctx, ref, &s);
  }
  return true;
}

// The cell of a fixed variable, or null when it lies outside its table (a
// local one in the task's current frame).
[[gnu::always_inline]] inline FAQ* fixed_cell(SystemContext* ctx, const Var& v) {
  const int32_t task = ctx->currentTask;
  if (v.token == TOK_LOCALVAR && (task < 0 || task >= MRV_TASKS)) return nullptr;
  const VarTable& t = v.token == TOK_SYSVAR   ? ctx->systemVars
                      : v.token == TOK_COMVAR ? ctx->commonVars
                                              : ctx->localVars[task];
  const int64_t i = int64_t{v.index} + t.base;
  return i >= 0 && i < t.count ? MRV_CELLS(&t) + i : nullptr;
}

[[gnu::noinline]] bool binary(SystemContext* ctx, const Expr* e, FAQ* out);

// An operand: a constant number or a fixed variable whose value owns
// nothing (the most common operands) without a call, an operation without
// prefixes through its own small function, anything else through eval. The
// reads are what get() and duplicate() do for a cell in the table.
[[gnu::always_inline]] inline bool operand(SystemContext* ctx, const Expr* e, FAQ* out) {
  if (e->leaf == Leaf::Constant) {
    out->type = TYPE_NUMBER;
    out->word1 = e->word1;
    out->word2 = e->word2;
    return true;
  }
  if (e->leaf == Leaf::Fixed) {
    const FAQ* c = fixed_cell(ctx, e->var);
    if (c != nullptr && !owns(c->type)) {
      *out = *c;
      return true;
    }
  }
  if (e->leaf == Leaf::Operation) return binary(ctx, e, out);
  return eval(ctx, e, out);
}

// An integer tree whose operands are all plain integers, worked out on the
// integer words alone. Such a tree reads and changes nothing, so when an
// operand is anything else or a step leaves the number range the general
// path takes the tree from the start. The words the value would keep come
// from `*head`: the cell of the leftmost variable, kZero after a comparison
// (a fresh truth value), or null (a constant: the target's own words stay).
const FAQ kZero{};
bool integer_tree(SystemContext* ctx, const Expr* e, uint32_t* w, const FAQ** head);
[[gnu::always_inline]] inline bool integer_operand(SystemContext* ctx, const Expr* e, uint32_t* w,
                                                   const FAQ** head) {
  if (e->leaf == Leaf::Constant) {
    *w = e->word1;
    *head = nullptr;
    return true;
  }
  if (e->leaf == Leaf::Fixed) {
    const FAQ* c = fixed_cell(ctx, e->var);
    if (c == nullptr || c->type != TYPE_NUMBER || c->word2 != 0) return false;
    *w = c->word1;
    *head = c;
    return true;
  }
  return integer_tree(ctx, e, w, head);
}
bool integer_tree(SystemContext* ctx, const Expr* e, uint32_t* w, const FAQ** head) {
  uint32_t a = 0, b = 0;
  const FAQ* right = nullptr;
  if (!integer_operand(ctx, e->left, &a, head) || !integer_operand(ctx, e->right, &b, &right)) {
    return false;
  }
  constexpr uint32_t kSign = 0x80000000u, kMag = 0x7FFFFFFFu;
  const auto value = [](uint32_t x) {
    const int64_t m = x & 0x7FFFFFFF;
    return (x & 0x80000000u) != 0 ? -m : m;
  };
  const uint32_t ma = a & kMag, mb = b & kMag;
  switch (e->op) {
    case OP_ADD:
    case OP_SUB: {
      const int64_t v = e->op == OP_ADD ? value(a) + value(b) : value(a) - value(b);
      if (v < -MRVINT_MAX || v > MRVINT_MAX) return false;
      *w = MRVINT_Word(v);
      return true;
    }
    case OP_MUL: {
      const uint64_t m = uint64_t{ma} * mb;
      if (m > uint64_t{MRVINT_MAX}) return false;
      *w = ((a ^ b) & kSign) | static_cast<uint32_t>(m);
      return true;
    }
    case OP_QUESTION:
      if (mb == 0 || ma > MRVINT_MAX || mb > MRVINT_MAX) return false;
      *w = ((a ^ b) & kSign) | (ma / mb);
      return true;
    case OP_MOD:
      if (mb == 0) return false;
      *w = (a & kSign) | (ma % mb);
      return true;
    default: {  // a comparison
      const int64_t x = value(a), y = value(b);
      *w = truth_of(e->op, x > y ? 1 : x == y ? 0 : -1) ? 0x80000001u : 0u;
      *head = &kZero;
      return true;
    }
  }
}

// An operation: both operands, then the operator.
[[gnu::noinline]] bool binary(SystemContext* ctx, const Expr* e, FAQ* out) {
  if (e->intTree) {
    uint32_t w = 0;
    const FAQ* head = nullptr;
    if (integer_tree(ctx, e, &w, &head)) {
      if (head != nullptr) *out = *head;
      out->type = TYPE_NUMBER;
      out->word1 = w;
      out->word2 = 0;
      return true;
    }
  }
  if (!operand(ctx, e->left, out)) return false;
  FAQ r{};  // an empty value, as MRVFAQ_NULL makes it
  const bool ok = operand(ctx, e->right, &r) && apply_fast(ctx, e->op, out, &r);
  release(ctx, &r);
  return ok;
}

// One argument of a call into its cell (zero before).
bool fill_arg(SystemContext* ctx, const Arg& a, FAQ& cell) {
  bool ok = true;
  if (a.kind == Arg::ByRef) {
    VarRef ref;
    ok = resolve(ctx, a.var, &ref);
    cell.type = TYPE_VARIABLE;
    cell.word1 = ref.table.cells;
    cell.word2 = static_cast<uint32_t>(ref.table.count);
    cell.word3 = static_cast<uint32_t>(ref.table.base);
    cell.word4 = static_cast<uint32_t>(ref.index);
  } else if (a.kind == Arg::Omitted) {
    cell.type = TYPE_OMITTED;
  } else {
    ok = operand(ctx, a.expr, &cell);
  }
  cell.word5 = MRV_WORD(a.start);
  return ok;
}

InPlace in_place_kind(SystemContext* ctx, const Call* c, uint8_t* word);

// Runs the call's command with its arguments in cells 1..count; the
// command's nested code finds the call in the task's slot until it returns.
bool invoke(SystemContext* ctx, Call* c, const CallCells& frame, FAQ* result) {
  FAQ* cells = frame.cells;
  cells[0].word5 = MRV_WORD(c->site);
  cells[0].type = TYPE_NUMBER;  // the count + 1, as MRVFAQ_Number makes it
  cells[0].word1 = static_cast<uint32_t>(c->count + 1);
  cells[c->count + 1].type = TYPE_OMITTED;  // the terminator (after 26 arguments, the 28th cell)
  if (c->fn == nullptr) c->fn = find_command(ctx, c->site, c->lib, c->cmd);
  if (c->fn == nullptr) return false;
  before_command(ctx, c->lib, c->cmd, cells, c->count);
  VarTable args{MRV_WORD(cells), MRV_FRAME_CELLS, 0};
  const void* saved = *frame.running;
  *frame.running = c;
  const bool ok = c->fn(ctx, &args) != 0;
  *frame.running = saved;
  if (ok) std::memcpy(result, &cells[0], sizeof(FAQ));
  return ok;
}

enum class Done : uint8_t { Yes, Failed, Declined };
Done in_place(SystemContext* ctx, const Call* c, FAQ* a, FAQ* result);

// A call of a standard command run in place: the arguments into cells of
// its own, then the command's effect; when the effect declines (an
// argument of another kind, a trace, a debugger stepping) the arguments go
// into real cells and the command runs as any other.
[[gnu::noinline]] bool call_in_place(SystemContext* ctx, Call* c, FAQ* result) {
  FAQ a[kInPlaceArgs + 1] = {};  // a[0] unused, as cell 0 of a call
  bool ok = true;
  for (int32_t i = 0; ok && i < c->count; ++i) ok = fill_arg(ctx, c->args[i], a[i + 1]);
  if (ok && c->fn == nullptr) {  // the first call: is it one to run in place?
    c->fn = find_command(ctx, c->site, c->lib, c->cmd);
    ok = c->fn != nullptr;
    if (ok) c->inPlace = in_place_kind(ctx, c, &c->word);
  }
  if (ok) {
    constexpr uint32_t kWatching = EXEC_TRACE | EXEC_STEP | EXEC_STEP_OVER;
    const Done done = c->inPlace != InPlace::None && (load_flags(ctx->execFlags) & kWatching) == 0
                          ? in_place(ctx, c, a, result)
                          : Done::Declined;
    if (done == Done::Declined) {
      CallCells frame;
      ok = push_cells(ctx, &frame);
      if (ok) {
        std::memcpy(&frame.cells[1], &a[1], sizeof(FAQ) * static_cast<std::size_t>(c->count));
        std::memset(static_cast<void*>(&a[1]), 0, sizeof(FAQ) * static_cast<std::size_t>(c->count));
        ok = invoke(ctx, c, frame, result);
        pop_cells(ctx, frame, c->count);
      }
    } else {
      ok = done == Done::Yes;
    }
  }
  for (int32_t i = 1; i <= c->count; ++i) release(ctx, &a[i]);
  return ok;
}

[[gnu::noinline]] bool call(SystemContext* ctx, Call* c, FAQ* result) {
  if (c->inPlace != InPlace::None || (c->fn == nullptr && c->count <= kInPlaceArgs)) {
    return call_in_place(ctx, c, result);
  }
  CallCells frame;
  if (!push_cells(ctx, &frame)) return false;
  FAQ* cells = frame.cells;
  cells[0].word5 = MRV_WORD(c->site);
  bool ok = true;
  for (int32_t i = 0; ok && i < c->count; ++i) ok = fill_arg(ctx, c->args[i], cells[i + 1]);
  if (ok) ok = invoke(ctx, c, frame, result);
  pop_cells(ctx, frame, c->count);
  return ok;
}

// A variable operand read through resolve, get and duplicate, then its
// postfix step.
[[gnu::noinline]] bool read(SystemContext* ctx, const Expr* e, FAQ* out) {
  VarRef ref;
  FAQ v;
  if (!resolve(ctx, e->var, &ref) || !get(ctx, &ref, &v) || !duplicate(ctx, out, &v)) {
    return false;
  }
  return e->op == 0 || step_variable(ctx, e->op, &ref);
}

// An assignment: the value into the variable, a duplicate of it into out.
[[gnu::noinline]] bool store(SystemContext* ctx, const Expr* e, FAQ* out) {
  VarRef ref;
  if (!resolve(ctx, e->var, &ref)) return false;
  FAQ v{};
  if (!operand(ctx, e->left, &v)) {
    MRVFAQ_Clear(ctx, &v);
    return false;
  }
  if (e->var.fixed && e->var.token != TOK_SYSVAR && !owns(v.type)) {
    // What assign() does for a value that owns nothing and a cell in the
    // table whose old value owns nothing either. A system variable, which
    // the main thread writes beside the tasks, is stored by assign().
    FAQ* c = cell_of(&ref.table, ref.index);
    if (c != nullptr && !owns(c->type)) {
      v.setCount = static_cast<uint16_t>(v.setCount + 1);
      *c = v;
      *out = v;
      return true;
    }
  }
  return assign(ctx, &ref, &v, out);
}

bool eval(SystemContext* ctx, const Expr* e, FAQ* out) {
  switch (e->kind) {
    case Kind::Number:
      out->type = TYPE_NUMBER;
      out->word1 = e->word1;
      out->word2 = e->word2;
      break;
    case Kind::BigInteger:
      if (!integer(ctx, out, e->integer)) return false;
      break;
    case Kind::String:
      return string_units(ctx, e->units, out);
    case Kind::Read:
      if (!read(ctx, e, out)) return false;
      break;
    case Kind::Call:
      if (!call(ctx, e->call, out)) return false;
      break;
    case Kind::Paren:
      if (!operand(ctx, e->left, out)) return false;
      break;
    case Kind::Binary:
      return binary(ctx, e, out);
    case Kind::Assign:
      return store(ctx, e, out);
  }
  return (!e->negate && !e->minus) || prefixes(ctx, out, e->negate, e->minus);
}

int32_t run_list(SystemContext* ctx, const List* list) {
  const Stmt* s = list->stmts;
  bool paused = false;
  for (;;) {
    if (s->plain != nullptr) return run_plain(ctx, s->plain);  // never while paused
    const int32_t turn = begin_turn(ctx, &paused);
    if (turn == kTurnPaused) continue;
    if (turn != kTurnGo) return turn;
    if (s->hasLine) ctx->taskLine[ctx->currentTask] = s->line;
    if (s->expr == nullptr) return 1;
    if (const int32_t held = debug_hold(ctx, s->hasLine); held != kTurnGo) return held;
    FAQ value{};
    const bool ok =
        s->expr->kind == Kind::Assign ? store(ctx, s->expr, &value) : operand(ctx, s->expr, &value);
    release(ctx, &value);
    if (!ok) return 0;
    ++s;
  }
}

// ---- Standard commands run in place ----
// At a call site bound to the standard library's own For, If, While, Loop,
// Switch, Case, Abs, GetBit or rectangle command, and while nothing traces
// or steps, the call's effect is carried out here, without argument cells,
// the command's check and a fresh statement loop for its blocks. Each effect
// does what the command does, step for step and through the same value
// manager calls, so values, setCounts, reports, the block depth and the
// turns stay the same; whatever it does not take plainly (an argument of
// another kind, a variable outside its table, a result out of range) it
// declines before it has changed anything, and the command runs instead.

struct InPlaceName {
  const char* name;  // the command, as the library exports it after "MRV_"
  InPlace kind;
  uint8_t word;
  int32_t count;  // the arguments its plain signature takes
};
constexpr InPlaceName kInPlace[] = {
    {"FOR", InPlace::For, 0, 4},
    {"IF", InPlace::If, 0, 1},
    {"WHILE", InPlace::While, 0, 1},
    {"LOOP", InPlace::Loop, 0, 1},
    {"SWITCH", InPlace::Switch, 0, 1},
    {"CASE", InPlace::Case, 0, 1},
    {"ABS", InPlace::Abs, 0, 1},
    {"GETBIT", InPlace::GetBit, 0, 2},
    {"SETRECT", InPlace::SetRect, 0, 4},
    {"SETRECTXPOS", InPlace::SetRectWord, 0, 2},
    {"SETRECTYPOS", InPlace::SetRectWord, 1, 2},
    {"SETRECTXSIZE", InPlace::SetRectWord, 2, 2},
    {"SETRECTYSIZE", InPlace::SetRectWord, 3, 2},
    {"GETRECTXPOS", InPlace::GetRectWord, 0, 1},
    {"GETRECTYPOS", InPlace::GetRectWord, 1, 1},
    {"GETRECTXSIZE", InPlace::GetRectWord, 2, 1},
    {"GETRECTYSIZE", InPlace::GetRectWord, 3, 1},
};

// What runs in place of the call's command: only a function of the standard
// library that lists it (MRVSTD_InPlace), so a title's own library keeps its
// own commands of the same names.
InPlace in_place_kind(SystemContext* ctx, const Call* c, uint8_t* word) {
  const uint32_t module = find_library(ctx, c->lib);  // loaded already: found without a report
  if (module == 0) return InPlace::None;
  using Names = const char* const* (*)();
  const auto listed = reinterpret_cast<Names>(plat::lib_symbol(module, "MRVSTD_InPlace"));
  if (listed == nullptr) return InPlace::None;
  for (const InPlaceName& k : kInPlace) {
    if (k.count != c->count) continue;
    bool named = false;
    for (const char* const* n = listed(); *n != nullptr; ++n)
      named = named || std::strcmp(*n, k.name) == 0;
    char symbol[32];
    std::snprintf(symbol, sizeof symbol, "MRV_%s", k.name);
    if (named && reinterpret_cast<void*>(c->fn) == plat::lib_symbol(module, symbol)) {
      *word = k.word;
      return k.kind;
    }
  }
  return InPlace::None;
}

// A block command's frame: the task's block depth one deeper while it runs
// (nothing steps over, so the debugger's bits stay as they are).
class Depth {
 public:
  explicit Depth(SystemContext* ctx) : depth_(ctx->blockDepth[ctx->currentTask]) { ++depth_; }
  ~Depth() { --depth_; }
  Depth(const Depth&) = delete;
  Depth& operator=(const Depth&) = delete;

 private:
  uint32_t& depth_;
};

// One of the call's blocks; an absent block counts as run.
bool run_block(SystemContext* ctx, const Call* c, int k) {
  return c->block[k] == nullptr || run_list(ctx, c->block[k]) != 0;
}

// What a loop does after a run of its body, by the task's request bits.
enum class Next : uint8_t { Fail, Leave, Again };
Next after_body(SystemContext* ctx, int32_t t) {
  const uint32_t flags = load_flags(ctx->taskFlags[t]);
  if ((flags & TASK_END) != 0) return Next::Fail;
  if ((flags & TASK_BREAK) != 0) {
    clear_flags(ctx->taskFlags[t], TASK_BREAK);
    return Next::Leave;
  }
  return (flags & TASK_RETURN) != 0 ? Next::Leave : Next::Again;
}

// The empty result of a block command, as stored once into cell 0.
Done null_result(FAQ* result) {
  *result = FAQ{};
  result->setCount = 1;
  return Done::Yes;
}
// A number result of a value command from an integer in the number range.
Done int_result(FAQ* result, int64_t n) {
  if (n < -MRVINT_MAX || n > MRVINT_MAX) return Done::Declined;  // the command reports it
  *result = FAQ{};
  result->type = TYPE_NUMBER;
  result->setCount = 1;
  result->word1 = MRVINT_Word(n);
  return Done::Yes;
}
int32_t int_of(const FAQ& v) {
  return static_cast<int32_t>(MRVINT_Value(&v));  // what MRVFAQ_Int gives for a number
}

uint32_t FAQ::*const kRectWord[] = {&FAQ::word1, &FAQ::word2, &FAQ::word3, &FAQ::word4};

Done run_for(SystemContext* ctx, const Call* c, FAQ* a, FAQ* result) {
  if (a[1].type != TYPE_VARIABLE || a[2].type != TYPE_NUMBER || a[3].type != TYPE_NUMBER ||
      a[4].type != TYPE_NUMBER) {
    return Done::Declined;
  }
  const int32_t t = ctx->currentTask;
  VarTable table{a[1].word1, static_cast<int32_t>(a[1].word2), static_cast<int32_t>(a[1].word3)};
  const int32_t index = static_cast<int32_t>(a[1].word4);
  FAQ start = a[2], end = a[3], step = a[4];
  const bool descending = int_of(step) < 0;
  MRVVAL_Clear(ctx, &table, index);
  if (!MRVVAL_Set(ctx, &table, index, &start)) return Done::Failed;
  Depth depth(ctx);
  // The variable's cell does not move while the loop runs; outside its
  // table every read and store goes to the value manager, which reports.
  FAQ* const cell = cell_of(&table, index);
  for (;;) {
    FAQ v{};
    if (cell != nullptr) {
      v = *cell;
    } else if (!MRVVAL_Get(ctx, &table, index, &v)) {
      return Done::Failed;
    }
    int32_t cmp = 0;
    if (!MRVINT_Compare(&v, &end, &cmp) && !MRVFAQ_Comp(ctx, &v, &end, &cmp)) return Done::Failed;
    if (descending ? cmp < 0 : cmp > 0) break;
    if (!run_block(ctx, c, 0)) return Done::Failed;
    const Next next = after_body(ctx, t);
    if (next == Next::Fail) return Done::Failed;
    if (next == Next::Leave) break;
    if (cell != nullptr) {
      v = *cell;
    } else if (!MRVVAL_Get(ctx, &table, index, &v)) {
      return Done::Failed;
    }
    if (!MRVINT_Sum(&v, &step, 1) && !MRVFAQ_Add(ctx, &v, &step)) return Done::Failed;
    if (cell != nullptr) {
      v.setCount = static_cast<uint16_t>(v.setCount + 1);
      *cell = v;
    } else if (!MRVVAL_Set(ctx, &table, index, &v)) {
      return Done::Failed;
    }
  }
  return null_result(result);
}

Done run_while(SystemContext* ctx, const Call* c, FAQ* result) {
  // The condition was taken once as the argument; the loop takes it again
  // before every pass, as the command does through MRVEXEC_Calc.
  const int32_t t = ctx->currentTask;
  Depth depth(ctx);
  for (;;) {
    FAQ v{};
    const bool ok = operand(ctx, c->args[0].expr, &v);
    const bool cond = v.word1 != 0;
    release(ctx, &v);
    if (!ok) return Done::Failed;
    if (!cond) break;
    if (!run_block(ctx, c, 0)) return Done::Failed;
    const Next next = after_body(ctx, t);
    if (next == Next::Fail) return Done::Failed;
    if (next == Next::Leave) break;
  }
  return null_result(result);
}

Done run_loop(SystemContext* ctx, const Call* c, int32_t count, FAQ* result) {
  const int32_t t = ctx->currentTask;
  Depth depth(ctx);
  while (count != 0) {
    if (!run_block(ctx, c, 0)) return Done::Failed;
    const Next next = after_body(ctx, t);
    if (next == Next::Fail) return Done::Failed;
    if (next == Next::Leave) break;
    if (count > 0) --count;
  }
  return null_result(result);
}

// Exchanges two cells, each store counted.
void exchange(FAQ* x, FAQ* y) {
  FAQ vx = *x, vy = *y;
  vy.setCount = static_cast<uint16_t>(vy.setCount + 1);
  *x = vy;
  vx.setCount = static_cast<uint16_t>(vx.setCount + 1);
  *y = vx;
}

// Switch: the value goes into the task's register (#180 + task) while the
// body runs; an enclosing Switch's value waits in the argument meanwhile.
Done run_switch(SystemContext* ctx, const Call* c, FAQ* value, FAQ* result) {
  const int32_t t = ctx->currentTask;
  const int32_t reg = 180 + t;
  if (cell_of(&ctx->systemVars, reg) == nullptr) return Done::Declined;
  Depth depth(ctx);
  exchange(cell_of(&ctx->systemVars, reg), value);
  if (!run_block(ctx, c, 0)) return Done::Failed;
  FAQ* cell = cell_of(&ctx->systemVars, reg);
  FAQ gone;
  if (cell == nullptr)
    return MRVVAL_Get(ctx, &ctx->systemVars, reg, &gone) ? Done::Yes : Done::Failed;
  exchange(cell, value);
  clear_flags(ctx->taskFlags[t], TASK_BREAK);
  return null_result(result);
}

Done run_case(SystemContext* ctx, const Call* c, FAQ* value, FAQ* result) {
  const FAQ* reg = cell_of(&ctx->systemVars, 180 + ctx->currentTask);
  if (reg == nullptr) return Done::Declined;
  FAQ v = *reg;
  int32_t cmp = 0;
  if (!MRVINT_Compare(&v, value, &cmp) && !MRVFAQ_Comp(ctx, &v, value, &cmp)) return Done::Failed;
  Depth depth(ctx);
  if (cmp == 0 && !run_block(ctx, c, 0)) return Done::Failed;
  return null_result(result);
}

// The effect of the call's command on its arguments a[1..count].
Done in_place(SystemContext* ctx, const Call* c, FAQ* a, FAQ* result) {
  const int32_t t = ctx->currentTask;
  if (t < 0 || t >= MRV_TASKS) return Done::Declined;
  switch (c->inPlace) {
    case InPlace::None:
      break;
    case InPlace::For:
      return run_for(ctx, c, a, result);
    case InPlace::If: {
      if (a[1].type != TYPE_NUMBER) break;
      Depth depth(ctx);
      if (!run_block(ctx, c, a[1].word1 != 0 ? 0 : 1)) return Done::Failed;
      return null_result(result);
    }
    case InPlace::While:
      if (a[1].type != TYPE_NUMBER) break;
      return run_while(ctx, c, result);
    case InPlace::Loop:
      if (a[1].type != TYPE_NUMBER) break;
      return run_loop(ctx, c, int_of(a[1]), result);
    case InPlace::Switch:
      return run_switch(ctx, c, &a[1], result);
    case InPlace::Case:
      return run_case(ctx, c, &a[1], result);
    case InPlace::Abs:
      if (a[1].type != TYPE_NUMBER) break;
      *result = a[1];  // the argument's words and count go on into the result
      result->word1 &= 0x7FFFFFFFu;
      result->setCount = static_cast<uint16_t>(result->setCount + 1);
      return Done::Yes;
    case InPlace::GetBit: {
      if (a[1].type != TYPE_NUMBER || a[2].type != TYPE_NUMBER) break;
      const int32_t bit = int_of(a[2]);
      if (bit < 0 || bit > 55) return int_result(result, 1);
      const uint32_t w = bit < 28 ? a[1].word1 : a[1].word2;
      return int_result(result, (w >> (bit < 28 ? bit : bit - 28)) & 1);
    }
    case InPlace::SetRect:
      for (int i = 1; i <= 4; ++i) {
        if (a[i].type != TYPE_NUMBER) return Done::Declined;
      }
      *result = FAQ{};
      result->type = TYPE_RECT;
      result->setCount = 1;
      result->word1 = static_cast<uint32_t>(int_of(a[1]));
      result->word2 = static_cast<uint32_t>(int_of(a[2]));
      result->word3 = static_cast<uint32_t>(int_of(a[3]));
      result->word4 = static_cast<uint32_t>(int_of(a[4]));
      return Done::Yes;
    case InPlace::SetRectWord: {
      if (a[1].type != TYPE_VARIABLE || a[2].type != TYPE_NUMBER) break;
      VarTable table{a[1].word1, static_cast<int32_t>(a[1].word2),
                     static_cast<int32_t>(a[1].word3)};
      FAQ* cell = cell_of(&table, static_cast<int32_t>(a[1].word4));
      if (cell == nullptr || cell->type != TYPE_RECT) break;
      FAQ r = *cell;
      r.*kRectWord[c->word] = static_cast<uint32_t>(int_of(a[2]));
      r.setCount = static_cast<uint16_t>(r.setCount + 1);
      *cell = r;
      return null_result(result);
    }
    case InPlace::GetRectWord:
      if (a[1].type != TYPE_RECT) break;
      return int_result(result, static_cast<int32_t>(a[1].*kRectWord[c->word]));
  }
  return Done::Declined;
}

const Call* running(SystemContext* ctx) {
  const void** slot = running_call(ctx);
  return slot != nullptr ? static_cast<const Call*>(*slot) : nullptr;
}

}  // namespace

struct Program {
  explicit Program(uint32_t who) : owner(who), arena(who) {}
  uint32_t owner;
  Arena arena;
  const List* root = nullptr;
};

Program* decode_program(SystemContext* ctx, const char* code, uint32_t size) {
  if (code == nullptr || size == 0) return nullptr;
  const char* off = std::getenv("MRV_DECODE");
  if (off != nullptr && std::strcmp(off, "0") == 0) return nullptr;
  void* block = MRVTASK_AllocMemory(ctx->hwndMain, sizeof(Program));
  if (block == nullptr) return nullptr;
  auto* program = new (block) Program(ctx->hwndMain);
  try {
    program->root = Decoder(program->arena, code, size).list(code);
  } catch (const std::bad_alloc&) {
    free_program(program);  // no room: the plain evaluator runs the code
    return nullptr;
  }
  return program;
}

void free_program(Program* program) {
  if (program == nullptr) return;
  const uint32_t owner = program->owner;
  program->~Program();
  MRVTASK_FreeMemory(owner, program);
}

int32_t run_program(SystemContext* ctx, Program* program) {
  return run_list(ctx, program->root);
}

bool run_decoded_block(SystemContext* ctx, const char* code, int32_t* result) {
  const Call* c = running(ctx);
  if (c == nullptr) return false;
  for (int k = 0; k < 2; ++k) {
    if (c->block[k] != nullptr && code == c->blockCode[k]) {
      *result = run_list(ctx, c->block[k]);
      return true;
    }
  }
  return false;
}

bool calc_decoded(SystemContext* ctx, const char* code, FAQ* result, const char** next) {
  const Call* c = running(ctx);
  if (c == nullptr) return false;
  for (int32_t i = 0; i < c->count; ++i) {
    const Arg& a = c->args[i];
    if (a.kind == Arg::Value && a.start == code) {
      *next = operand(ctx, a.expr, result) ? a.end : nullptr;
      return true;
    }
  }
  return false;
}

}  // namespace mrvexec
