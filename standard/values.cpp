// Number, variable, rectangle and bit commands: functions that compute a
// value from their arguments (only Swap and the rectangle setters change the
// variables they are given).
#include <algorithm>
#include <climits>
#include <map>
#include <mutex>
#include <utility>

#include "internal.h"
#include "platform/clock.h"
#include "platform/text.h"

using namespace standard;

namespace {

constexpr uint32_t kSign = 0x80000000u;
constexpr uint32_t kBillion = 1000000000u;

uint32_t randomState = 0;

// Multiply-with-carry whose multiplier is the tick count: not reproducible.
uint32_t next_random() {
  if (randomState == 0) randomState = plat::ticks_ms() * plat::ticks_ms();
  const uint32_t t = plat::ticks_ms();
  randomState = t * (randomState & 0xFFFF) + (randomState >> 16);
  return randomState;
}

uint32_t nonzero_random() {
  uint32_t r;
  do {
    r = next_random();
  } while (r == 0);
  return r;
}

// Argument i as a number cell (the signature made sure of the type).
FAQ number_arg(VarTable* args, int32_t i) {
  return cell(args, i);
}

// A number result: a zero keeps no sign, so that it is never true.
int32_t result_numeric(SystemContext* ctx, VarTable* args, FAQ v) {
  if (v.word1 == kSign && v.word2 == 0) v.word1 = 0;
  return result_value(ctx, args, v);
}

int32_t unary(SystemContext* ctx, VarTable* args, Cmd id, int32_t (*op)(SystemContext*, FAQ*)) {
  if (!check(ctx, args, id)) return 0;
  FAQ v = number_arg(args, 1);
  if (!op(ctx, &v)) return 0;
  return result_numeric(ctx, args, v);
}

int32_t rect_word(SystemContext* ctx, VarTable* args, Cmd id, uint32_t FAQ::*w) {
  if (!check(ctx, args, id)) return 0;
  return result_number(ctx, args, static_cast<int32_t>(cell(args, 1).*w));
}

int32_t set_rect_word(SystemContext* ctx, VarTable* args, Cmd id, uint32_t FAQ::*w) {
  if (!check(ctx, args, id)) return 0;
  int32_t n = 0;
  if (!arg_int(ctx, args, 2, &n)) return 0;
  Ref var = ref(cell(args, 1));
  FAQ r{};
  MRVVAL_Get(ctx, &var.table, var.index, &r);
  r.*w = static_cast<uint32_t>(n);
  MRVVAL_Set(ctx, &var.table, var.index, &r);
  return result_null(ctx, args);
}

bool is_point(const FAQ& r) {
  return r.word3 == 0 && r.word4 == 0;
}

struct Span {
  int64_t from, to;  // from <= x < to
};
Span xs(const FAQ& r) {
  const int64_t x = static_cast<int32_t>(r.word1);
  return {x, x + static_cast<int32_t>(r.word3)};
}
Span ys(const FAQ& r) {
  const int64_t y = static_cast<int32_t>(r.word2);
  return {y, y + static_cast<int32_t>(r.word4)};
}
bool in_span(int64_t p, Span s) {
  return s.from <= p && p < s.to;
}
bool point_in(const FAQ& p, const FAQ& r) {
  return in_span(static_cast<int32_t>(p.word1), xs(r)) &&
         in_span(static_cast<int32_t>(p.word2), ys(r));
}
bool overlap(Span a, Span b) {
  return std::max(a.from, b.from) < std::min(a.to, b.to);
}

// Where a decimal or hexadecimal column lives: the word and the place value.
struct Column {
  uint32_t FAQ::*word;
  uint32_t place;
};
bool decimal_column(int32_t column, Column* out) {
  if (column < 0 || column > 17) return false;
  const int32_t pos = column < 9 ? column : column - 9;
  uint32_t p = 1;
  for (int32_t i = 0; i < pos; ++i) p *= 10;
  *out = {column < 9 ? &FAQ::word1 : &FAQ::word2, p};
  return true;
}
bool hex_column(int32_t column, Column* out) {
  if (column < 0 || column > 13) return false;
  const int32_t pos = column < 7 ? column : column - 7;
  *out = {column < 7 ? &FAQ::word1 : &FAQ::word2, 1u << (4 * pos)};
  return true;
}
// The digits of the integer word are those of its magnitude: the sign bit
// stays where it is.
uint32_t digits_of(const Column& c, uint32_t w) {
  return c.word == &FAQ::word1 ? w & ~kSign : w;
}
uint32_t with_digits(const Column& c, uint32_t old, uint32_t digits) {
  return c.word == &FAQ::word1 ? (old & kSign) | digits : digits;
}

}  // namespace

MRV_COMMAND(MRV_ABS) {
  return unary(ctx, args, Cmd::Abs, MRVFAQ_Abs);
}
MRV_COMMAND(MRV_INT) {
  return unary(ctx, args, Cmd::Int, MRVFAQ_High);
}
MRV_COMMAND(MRV_DECIMAL) {
  return unary(ctx, args, Cmd::Decimal, MRVFAQ_Low);
}

MRV_COMMAND(MRV_RANDOM) {
  if (!check(ctx, args, Cmd::Random)) return 0;
  FAQ low = number_arg(args, 1);
  FAQ range = number_arg(args, 2);
  if (!MRVFAQ_Sub(ctx, &range, &low)) return 0;
  uint32_t r = 1;
  for (int i = 0; i < 4; ++i) r *= nonzero_random();
  const uint32_t f = kBillion - r % kBillion;  // 1 .. 10^9
  // t = f / 10^9; the one draw of 10^9 is exactly 1, which gives high.
  FAQ t{};
  MRVFAQ_Number(ctx, &t, 1, f == kBillion ? 1 : 0, f == kBillion ? 0 : f);
  if (!MRVFAQ_Mul(ctx, &t, &range)) return 0;
  if (!MRVFAQ_Add(ctx, &t, &low)) return 0;
  return result_value(ctx, args, t);
}

// Calc runs code that may call Calc again, itself for one ($A = "Calc($A)").
// Each task may nest it this deep; a deeper call is refused with a message
// instead of exhausting the task's stack.
constexpr int kCalcDepth = 32;

// The Calc calls under way, per context and task.
class CalcDepth {
 public:
  explicit CalcDepth(SystemContext* ctx) : key_{ctx, ctx->currentTask} {
    std::lock_guard lock(mu());
    depth_ = ++levels()[key_];
  }
  ~CalcDepth() {
    std::lock_guard lock(mu());
    auto it = levels().find(key_);
    if (--it->second == 0) levels().erase(it);
  }
  CalcDepth(const CalcDepth&) = delete;
  CalcDepth& operator=(const CalcDepth&) = delete;
  int depth() const { return depth_; }

 private:
  using Key = std::pair<SystemContext*, int32_t>;
  static std::mutex& mu() {
    static std::mutex m;
    return m;
  }
  static std::map<Key, int>& levels() {
    static std::map<Key, int> m;
    return m;
  }
  Key key_;
  int depth_ = 0;
};

MRV_COMMAND(MRV_CALC) {
  if (!check(ctx, args, Cmd::Calc)) return 0;
  const CalcDepth nesting(ctx);
  if (nesting.depth() > kCalcDepth)
    return report(ctx, MRV_CP932("Calc関数の呼び出しが深すぎます。(%d段まで)"), kCalcDepth);
  // The text, ";" and the terminator must fit the 1000-byte source block.
  char text[MRV_MSGBUF];
  if (!arg_text(ctx, args, 1, text, MRV_WORDBUF - 2, Cmd::Calc)) return 0;
  char* source = static_cast<char*>(MRVTASK_AllocMemory(ctx->hwndMain, MRV_WORDBUF));
  if (source == nullptr) return 0;
  std::size_t n = std::strlen(text);
  std::memcpy(source, text, n);
  source[n++] = ';';
  source[n] = 0;

  CompileRequest req{};
  req.hwndOwner = ctx->hwndMain;
  std::snprintf(req.name, sizeof req.name, "%s", MRV_CP932("「Calc関数の式」"));
  req.firstLine = 0;
  req.source = source;
  req.sourceSize = static_cast<uint32_t>(n);
  const int32_t compiled = MRVEXEC_Compile(ctx, &req);
  MRVTASK_FreeMemory(ctx->hwndMain, req.source);
  if (!compiled) {
    MRVTASK_FreeMemory(ctx->hwndMain, req.output);
    return 0;
  }
  FAQ v{};
  const char* next = MRVEXEC_Calc(ctx, req.output, &v);
  MRVTASK_FreeMemory(ctx->hwndMain, req.output);
  if (next == nullptr) {
    MRVFAQ_Clear(ctx, &v);
    return 0;
  }
  return result_value(ctx, args, v);
}

MRV_COMMAND(MRV_SWAP) {
  if (!check(ctx, args, Cmd::Swap)) return 0;
  Ref a = ref(cell(args, 1)), b = ref(cell(args, 2));
  if (!named(ctx, a) || !named(ctx, b)) return 0;
  MRVVAL_Swap(ctx, &a.table, a.index, &b.table, b.index);
  return result_null(ctx, args);
}

MRV_COMMAND(MRV_VALUETYPE) {
  if (!check(ctx, args, Cmd::ValueType)) return 0;
  Ref var = ref(cell(args, 1));
  FAQ v{};
  if (!MRVVAL_Get(ctx, &var.table, var.index, &v)) return 0;
  return result_number(ctx, args, v.type);
}

MRV_COMMAND(MRV_SEARCHVALUE) {
  if (!check(ctx, args, Cmd::SearchValue)) return 0;
  FAQ value = cell(args, 1);
  Ref first = ref(cell(args, 2));
  int32_t count = 0, stride = 0;
  if (!arg_int(ctx, args, 3, &count) || !arg_int(ctx, args, 4, &stride)) return 0;
  int32_t found = -1;
  for (int32_t i = 0; i < count && found < 0; ++i) {
    const int64_t at = static_cast<int64_t>(first.index) + static_cast<int64_t>(i) * stride;
    FAQ e{};
    // An element outside the table is reported by the value manager and
    // counts as no match.
    if (!MRVVAL_Get(ctx, &first.table,
                    static_cast<int32_t>(std::clamp<int64_t>(at, INT32_MIN, INT32_MAX)), &e))
      continue;
    if (e.type != value.type) continue;
    bool match = false;
    switch (value.type) {
      case TYPE_NUMBER:
        match = e.word1 == value.word1 && e.word2 == value.word2;
        break;
      case TYPE_RECT:
        match = e.word1 == value.word1 && e.word2 == value.word2 && e.word3 == value.word3 &&
                e.word4 == value.word4;
        break;
      case TYPE_STRING:
        ctx->msgBuf[0] = ctx->msgBuf2[0] = 0;
        match = MRVSTR_GetByte(ctx, &value, ctx->msgBuf) && MRVSTR_GetByte(ctx, &e, ctx->msgBuf2) &&
                std::strcmp(ctx->msgBuf, ctx->msgBuf2) == 0;
        break;
      default:
        break;
    }
    if (match) found = i;
  }
  return result_number(ctx, args, found);
}

MRV_COMMAND(MRV_SETRECT) {
  if (!check(ctx, args, Cmd::SetRect)) return 0;
  int32_t x = 0, y = 0, w = 0, h = 0;
  if (!arg_int(ctx, args, 1, &x) || !arg_int(ctx, args, 2, &y) || !arg_int(ctx, args, 3, &w) ||
      !arg_int(ctx, args, 4, &h))
    return 0;
  FAQ r{};
  MRVRAQ_Rect(ctx, &r, x, y, w, h);
  return result_value(ctx, args, r);
}

MRV_COMMAND(MRV_SETRECTXPOS) {
  return set_rect_word(ctx, args, Cmd::SetRectXpos, &FAQ::word1);
}
MRV_COMMAND(MRV_SETRECTYPOS) {
  return set_rect_word(ctx, args, Cmd::SetRectYpos, &FAQ::word2);
}
MRV_COMMAND(MRV_SETRECTXSIZE) {
  return set_rect_word(ctx, args, Cmd::SetRectXsize, &FAQ::word3);
}
MRV_COMMAND(MRV_SETRECTYSIZE) {
  return set_rect_word(ctx, args, Cmd::SetRectYsize, &FAQ::word4);
}
MRV_COMMAND(MRV_GETRECTXPOS) {
  return rect_word(ctx, args, Cmd::GetRectXpos, &FAQ::word1);
}
MRV_COMMAND(MRV_GETRECTYPOS) {
  return rect_word(ctx, args, Cmd::GetRectYpos, &FAQ::word2);
}
MRV_COMMAND(MRV_GETRECTXSIZE) {
  return rect_word(ctx, args, Cmd::GetRectXsize, &FAQ::word3);
}
MRV_COMMAND(MRV_GETRECTYSIZE) {
  return rect_word(ctx, args, Cmd::GetRectYsize, &FAQ::word4);
}

MRV_COMMAND(MRV_INRECT) {
  if (!check(ctx, args, Cmd::InRect)) return 0;
  const FAQ a = cell(args, 1), b = cell(args, 2);
  bool in;
  if (is_point(a) && is_point(b))
    in = a.word1 == b.word1 && a.word2 == b.word2;
  else if (is_point(a))
    in = point_in(a, b);
  else if (is_point(b))
    in = point_in(b, a);
  else
    in = overlap(xs(a), xs(b)) && overlap(ys(a), ys(b));
  return result_bool(ctx, args, in);
}

MRV_COMMAND(MRV_PIXEL) {
  if (!check(ctx, args, Cmd::Pixel)) return 0;
  int32_t c[3] = {};
  for (int i = 0; i < 3; ++i) {
    if (!arg_int(ctx, args, i + 1, &c[i])) return 0;
    c[i] = std::clamp(c[i], 0, 31);
  }
  return result_number(ctx, args, c[0] * 1024 + c[1] * 32 + c[2]);
}

MRV_COMMAND(MRV_SETBIT) {
  if (!check(ctx, args, Cmd::SetBit)) return 0;
  int32_t bit = 0, value = 0;
  if (!arg_int(ctx, args, 2, &bit) || !arg_int(ctx, args, 3, &value)) return 0;
  FAQ x = number_arg(args, 1);
  if (bit >= 0 && bit <= 55) {
    uint32_t& w = bit < 28 ? x.word1 : x.word2;
    const uint32_t mask = 1u << (bit < 28 ? bit : bit - 28);
    w = (w & ~mask) | (std::clamp(value, 0, 1) != 0 ? mask : 0);
  }
  if (MRVFAQ_CheckRange(ctx, &x) != 0) return 0;  // a bit set past 999,999,999
  return result_numeric(ctx, args, x);
}

MRV_COMMAND(MRV_GETBIT) {
  if (!check(ctx, args, Cmd::GetBit)) return 0;
  int32_t bit = 0;
  if (!arg_int(ctx, args, 2, &bit)) return 0;
  const FAQ x = number_arg(args, 1);
  if (bit < 0 || bit > 55) return result_number(ctx, args, 1);
  const uint32_t w = bit < 28 ? x.word1 : x.word2;
  return result_number(ctx, args, (w >> (bit < 28 ? bit : bit - 28)) & 1);
}

MRV_COMMAND(MRV_SETCOLUMN) {
  if (!check(ctx, args, Cmd::SetColumn)) return 0;
  int32_t column = 0, digit = 0;
  if (!arg_int(ctx, args, 2, &column) || !arg_int(ctx, args, 3, &digit)) return 0;
  FAQ x = number_arg(args, 1);
  Column c;
  if (decimal_column(column, &c)) {
    const uint64_t w = digits_of(c, x.*c.word), p = c.place;
    const uint64_t d = static_cast<uint64_t>(std::clamp(digit, 0, 9));
    x.*c.word =
        with_digits(c, x.*c.word, static_cast<uint32_t>(w / (10 * p) * (10 * p) + d * p + w % p));
  }
  return result_numeric(ctx, args, x);
}

MRV_COMMAND(MRV_GETCOLUMN) {
  if (!check(ctx, args, Cmd::GetColumn)) return 0;
  int32_t column = 0;
  if (!arg_int(ctx, args, 2, &column)) return 0;
  const FAQ x = number_arg(args, 1);
  Column c;
  if (!decimal_column(column, &c)) return result_number(ctx, args, 0);
  return result_number(ctx, args, static_cast<int32_t>(digits_of(c, x.*c.word) / c.place % 10));
}

MRV_COMMAND(MRV_SETCOLUMNHEX) {
  if (!check(ctx, args, Cmd::SetColumnHex)) return 0;
  int32_t column = 0, digit = 0;
  if (!arg_int(ctx, args, 2, &column) || !arg_int(ctx, args, 3, &digit)) return 0;
  FAQ x = number_arg(args, 1);
  Column c;
  if (hex_column(column, &c)) {
    const uint64_t w = x.*c.word, p = c.place;
    const uint64_t d = static_cast<uint64_t>(std::clamp(digit, 0, 15));
    x.*c.word = static_cast<uint32_t>(w / (16 * p) * (16 * p) + d * p + w % p);
  }
  if (MRVFAQ_CheckRange(ctx, &x) != 0) return 0;  // a digit set past 999,999,999
  return result_numeric(ctx, args, x);
}

MRV_COMMAND(MRV_GETCOLUMNHEX) {
  if (!check(ctx, args, Cmd::GetColumnHex)) return 0;
  int32_t column = 0;
  if (!arg_int(ctx, args, 2, &column)) return 0;
  const FAQ x = number_arg(args, 1);
  Column c;
  if (!hex_column(column, &c)) return result_number(ctx, args, 0);
  return result_number(ctx, args, static_cast<int32_t>((x.*c.word / c.place) & 15));
}
