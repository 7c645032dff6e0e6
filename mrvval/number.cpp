// Exact decimal numbers: nine integer and nine fractional digits.
//
// A number keeps its integer part in sign-and-magnitude form in word1 (bit 31
// the sign) and its fraction as a count of 10^-9 in word2. Arithmetic that
// only involves integer parts works on 32-bit values; anything with a fraction
// works on the value scaled to a count of 10^-9 (64 bits, 128 for products and
// quotients). word3..word5 are never touched.
#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdint>
#include <cstdio>

#include "internal.h"
#include "platform/text.h"

namespace {

__extension__ typedef unsigned __int128 u128;  // exact 128-bit work values

constexpr uint32_t kSignBit = 0x80000000u;
constexpr uint32_t kMagnitudeMask = 0x7FFFFFFFu;
constexpr uint32_t kMaxDigits = 999999999u;  // largest magnitude and fraction
constexpr uint64_t kScale = 1000000000u;     // 10^9, one unit of the integer part
// The largest valid scaled value (999999999.999999999) times 10^9: a product
// above it cannot be a valid number once divided back.
constexpr u128 kMaxScaledProduct = static_cast<u128>(999999999999999999ull) * kScale;

// Shows a message (code page 932) with the value manager's caption; 0.
int32_t fail(SystemContext* ctx, const char* text) {
  return mrvval::report(ctx, "%s", text);
}

const char* msg_not_number() {
  return MRV_CP932("指定されたFAQは数値ではありません。");
}
const char* msg_pair_not_number() {
  return MRV_CP932("指定された2つのFAQの型が数値型ではありません。");
}

uint32_t magnitude(const FAQ* f) {
  return f->word1 & kMagnitudeMask;
}
bool negative(const FAQ* f) {
  return (f->word1 & kSignBit) != 0;
}
bool is_number(const FAQ* f) {
  return f->type == TYPE_NUMBER;
}

// A sign and a magnitude as word1. A magnitude that does not fit the 31 bits
// (an overflowing product or quotient, the most negative integer) is kept at
// the largest 31-bit magnitude, so that it still fails the range check
// instead of wrapping around into a valid-looking value.
uint32_t pack(bool neg, uint64_t mag) {
  uint32_t m = mag > kMagnitudeMask ? kMagnitudeMask : static_cast<uint32_t>(mag);
  return neg ? (m | kSignBit) : m;
}

// The integer part as a machine integer (two's complement).
int64_t int_value(const FAQ* f) {
  int64_t m = magnitude(f);
  return negative(f) ? -m : m;
}
void set_int_value(FAQ* f, int64_t v) {
  f->word1 = v < 0 ? pack(true, static_cast<uint64_t>(-v)) : pack(false, static_cast<uint64_t>(v));
}
// The integer part as 32 unsigned bits, for the bit operations and formatters.
uint32_t int_bits(const FAQ* f) {
  return static_cast<uint32_t>(int_value(f));
}

// |value| as a count of 10^-9.
uint64_t abs_scaled(const FAQ* f) {
  return magnitude(f) * kScale + f->word2;
}
int64_t scaled(const FAQ* f) {
  int64_t s = static_cast<int64_t>(abs_scaled(f));
  return negative(f) ? -s : s;
}
// Splits an absolute scaled value back into magnitude and fraction.
void set_scaled(FAQ* f, bool neg, u128 abs) {
  f->word1 = pack(neg, abs / kScale > kMagnitudeMask ? uint64_t{kMagnitudeMask}
                                                     : static_cast<uint64_t>(abs / kScale));
  f->word2 = static_cast<uint32_t>(abs % kScale);
}
// A zero result is a plain zero.
void set_scaled_signed(FAQ* f, int64_t v) {
  set_scaled(f, v < 0, static_cast<uint64_t>(v < 0 ? -v : v));
}

// Number check for one operand.
bool check_number(SystemContext* ctx, const FAQ* f) {
  if (is_number(f)) return true;
  fail(ctx, msg_not_number());
  return false;
}
// Pair check: equal types, then both numbers.
bool check_pair(SystemContext* ctx, const FAQ* a, const FAQ* b) {
  if (a->type != b->type) {
    fail(ctx, msg_pair_not_number());
    return false;
  }
  return check_number(ctx, a) && check_number(ctx, b);
}

// Range check of a result; on failure the operation's own message follows the
// range message.
int32_t finish(SystemContext* ctx, FAQ* f, const char* overflow) {
  if (MRVFAQ_CheckRange(ctx, f) == 0) return 1;
  return fail(ctx, overflow);
}

void set_number(FAQ* f, uint32_t word1, uint32_t word2) {
  f->type = TYPE_NUMBER;
  f->word1 = word1;
  f->word2 = word2;
}

void toggle_sign(FAQ* f) {
  if (f->word1 != 0 || f->word2 != 0) f->word1 ^= kSignBit;
}

// Sign as MRVFAQ_Sign gives it.
int32_t sign_of(const FAQ* f) {
  if (negative(f)) return -1;
  return (magnitude(f) != 0 || f->word2 != 0) ? 1 : 0;
}

// The result of a bitwise operation on two integer values.
int32_t bit_result(SystemContext* ctx, FAQ* a, uint32_t bits, const char* overflow) {
  set_int_value(a, static_cast<int32_t>(bits));
  a->word2 = 0;
  return finish(ctx, a, overflow);
}

// Union and intersection of system rectangles, by the system's rules: a
// rectangle is empty when right <= left or bottom <= top, and an empty result
// is all zeros.
bool empty(const MRVRECT& r) {
  return r.right <= r.left || r.bottom <= r.top;
}
MRVRECT rect_union(const MRVRECT& a, const MRVRECT& b) {
  if (empty(a)) return empty(b) ? MRVRECT{0, 0, 0, 0} : b;
  if (empty(b)) return a;
  return {std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right),
          std::max(a.bottom, b.bottom)};
}
MRVRECT rect_intersection(const MRVRECT& a, const MRVRECT& b) {
  MRVRECT c{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
            std::min(a.bottom, b.bottom)};
  if (empty(a) || empty(b) || empty(c)) return {0, 0, 0, 0};
  return c;
}
// Or and And of two RAQs: their system rectangles combined, stored into a.
int32_t combine_rects(SystemContext* ctx, FAQ* a, FAQ* b,
                      MRVRECT (*op)(const MRVRECT&, const MRVRECT&)) {
  MRVRECT ra, rb;
  MRVRAQ_RaqToRect(ctx, &ra, a);
  MRVRAQ_RaqToRect(ctx, &rb, b);
  MRVRECT r = op(ra, rb);
  return MRVRAQ_RectToRaq(ctx, a, &r);
}

// Shared body of Add and Sub on two numbers (`sign` is +1 or -1 for b).
int32_t add_numbers(SystemContext* ctx, FAQ* a, const FAQ* b, int sign, const char* overflow) {
  if (a->word2 == 0 && b->word2 == 0) {
    set_int_value(a, int_value(a) + sign * int_value(b));
  } else {
    set_scaled_signed(a, scaled(a) + sign * scaled(b));
  }
  return finish(ctx, a, overflow);
}

char* write_decimal(char* p, uint64_t v) {
  return std::to_chars(p, p + 20, v).ptr;
}

}  // namespace

extern "C" {

MRV_API int32_t MRVFAQ_CheckRange(SystemContext* ctx, FAQ* faq) {
  if (magnitude(faq) > kMaxDigits) {
    fail(ctx, MRV_CP932("整数部が有効桁を超えました。"));
    return 1;
  }
  if (faq->word2 > kMaxDigits) {
    fail(ctx, MRV_CP932("小数部が有効桁を超えました。"));
    return 2;
  }
  return 0;
}

MRV_API int32_t MRVFAQ_Bool(SystemContext* ctx, FAQ* out, int32_t flag) {
  set_number(out, flag != 0 ? (kSignBit | 1u) : 0u, 0);
  return 0;
}

MRV_API int32_t MRVFAQ_Number(SystemContext* ctx, FAQ* out, int32_t mode, int32_t integer,
                              uint32_t fraction) {
  if (mode < -1 || mode > 1) return fail(ctx, MRV_CP932("符号の設定が誤っています。"));
  if (mode == 0) {
    integer = 0;
    fraction = 0;
  }
  int64_t value = integer;
  if (value < 0) {
    mode = -1;
    value = -value;
  }
  set_number(out, pack(mode == -1, static_cast<uint64_t>(value)), fraction);
  return MRVFAQ_CheckRange(ctx, out) == 0 ? 1 : 0;
}

MRV_API const char* MRVFAQ_GetNumber(SystemContext* ctx, FAQ* out, const char* text) {
  set_number(out, 0, 0);
  const char* p = text;
  bool minus = *p == '-';
  if (minus) ++p;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    // A bit pattern: straight into word1, bit 31 included.
    p += 2;
    uint32_t bits = 0;
    for (;; ++p) {
      uint32_t d;
      if (*p >= '0' && *p <= '9') {
        d = static_cast<uint32_t>(*p - '0');
      } else if (*p >= 'a' && *p <= 'f') {
        d = static_cast<uint32_t>(*p - 'a' + 10);
      } else if (*p >= 'A' && *p <= 'F') {
        d = static_cast<uint32_t>(*p - 'A' + 10);
      } else {
        break;
      }
      bits = (bits << 4) | d;
    }
    out->word1 = bits;
  } else if (p[0] == '0' && (p[1] == 'b' || p[1] == 'B')) {
    p += 2;
    uint32_t bits = 0;
    for (; *p == '0' || *p == '1'; ++p) bits = (bits << 1) | static_cast<uint32_t>(*p - '0');
    out->word1 = bits;
  } else {
    // The integer part saturates at the largest 31-bit magnitude, so that a
    // long literal fails the range check instead of wrapping around.
    uint64_t integer = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
      integer = std::min<uint64_t>(integer * 10 + static_cast<uint64_t>(*p - '0'), kMagnitudeMask);
    }
    out->word1 = static_cast<uint32_t>(integer);
    if (*p == '.') {
      ++p;
      uint32_t weight = 100000000u;
      uint32_t fraction = 0;
      // Digits past the ninth have weight 0: consumed and dropped.
      for (; *p >= '0' && *p <= '9'; ++p) {
        fraction += static_cast<uint32_t>(*p - '0') * weight;
        weight /= 10;
      }
      out->word2 = fraction;
    }
  }
  if (minus) toggle_sign(out);
  if (MRVFAQ_CheckRange(ctx, out) != 0) return nullptr;
  return p;
}

// Writes at most 23 bytes including the NUL ("-" + 10 digits + "." + 10
// digits; only an out-of-range fraction has a tenth fractional digit).
MRV_API int32_t MRVFAQ_String(SystemContext* ctx, FAQ* faq, char* out) {
  if (!check_number(ctx, faq)) return 0;
  char* p = out;
  if (negative(faq) && (magnitude(faq) != 0 || faq->word2 != 0)) *p++ = '-';
  p = write_decimal(p, magnitude(faq));
  if (faq->word2 != 0) {
    *p++ = '.';
    char digits[16];
    int n = std::snprintf(digits, sizeof digits, "%09u", faq->word2);
    while (n > 0 && digits[n - 1] == '0') --n;
    p = std::copy(digits, digits + n, p);
  }
  *p = '\0';
  return 1;
}

// Writes at most 33 bytes including the NUL.
MRV_API int32_t MRVFAQ_StringBin(SystemContext* ctx, FAQ* faq, char* out, int32_t mode) {
  if (!check_number(ctx, faq)) return 0;
  uint32_t bits = int_bits(faq);
  int top = 31;
  if (mode != 0) {
    while (top > 0 && (bits >> top) == 0) --top;
  }
  char* p = out;
  for (int i = top; i >= 0; --i) *p++ = static_cast<char>('0' + ((bits >> i) & 1u));
  *p = '\0';
  return 1;
}

// Writes at most 9 bytes including the NUL.
MRV_API int32_t MRVFAQ_StringHex(SystemContext* ctx, FAQ* faq, char* out, int32_t mode) {
  if (!check_number(ctx, faq)) return 0;
  uint32_t bits = int_bits(faq);
  switch (mode) {
    case 1:
      std::snprintf(out, 9, "%08x", bits);
      break;
    case 2:
      std::snprintf(out, 9, "%X", bits);
      break;
    case 3:
      std::snprintf(out, 9, "%08X", bits);
      break;
    default:
      std::snprintf(out, 9, "%x", bits);
      break;
  }
  return 1;
}

MRV_API int32_t MRVFAQ_Int(SystemContext* ctx, FAQ* faq, int32_t* out) {
  if (!check_number(ctx, faq)) return 0;
  *out = static_cast<int32_t>(int_value(faq));
  return 1;
}

MRV_API int32_t MRVFAQ_Abs(SystemContext* ctx, FAQ* faq) {
  if (!check_number(ctx, faq)) return 0;
  faq->word1 &= kMagnitudeMask;
  return 1;
}

MRV_API int32_t MRVFAQ_Sign(SystemContext* ctx, FAQ* faq, int32_t* out) {
  if (!check_number(ctx, faq)) return 0;
  *out = sign_of(faq);
  return 1;
}

MRV_API int32_t MRVFAQ_Neg(SystemContext* ctx, FAQ* faq) {
  if (!check_number(ctx, faq)) return 0;
  toggle_sign(faq);
  return 1;
}

MRV_API int32_t MRVFAQ_Reverce(SystemContext* ctx, FAQ* faq) {
  if (!check_number(ctx, faq)) return 0;
  FAQ divisor = *faq;
  faq->word1 = 1;
  faq->word2 = 0;
  return MRVFAQ_Div(ctx, faq, &divisor);
}

// A power may take up to 2^31 products (half a minute): every so many it
// looks whether the running task has been told to end (the execution
// manager's TASK_END), and fails at once then, so that closing the program
// does not wait for it.
namespace {
constexpr int64_t kPowerLook = 4096;
constexpr uint32_t kTaskEnd = 0x08;

bool task_ending(SystemContext* ctx) {
  if (ctx == nullptr) return false;
  const int32_t t = ctx->currentTask;
  if (t < 0 || t >= MRV_TASKS) return false;
  return (std::atomic_ref<uint32_t>(ctx->taskFlags[t]).load(std::memory_order_acquire) &
          kTaskEnd) != 0;
}
}  // namespace

MRV_API int32_t MRVFAQ_Power(SystemContext* ctx, FAQ* faq, int32_t exponent) {
  if (!check_number(ctx, faq)) return 0;
  if (exponent == 0) {
    set_number(faq, 1, 0);
    return 1;
  }
  FAQ base = *faq;
  int64_t times = exponent > 0 ? int64_t{exponent} - 1 : -int64_t{exponent} - 1;
  for (int64_t i = 0; i < times; ++i) {
    if (i % kPowerLook == kPowerLook - 1 && task_ending(ctx)) return 0;
    uint32_t before_mag = magnitude(faq), before_frac = faq->word2;
    if (!MRVFAQ_Mul(ctx, faq, &base)) return 0;
    if (magnitude(faq) == before_mag && faq->word2 == before_frac) {
      // A fixed point (0, a factor of 1, or a product truncated back to the
      // same value): every further product keeps the magnitude and only
      // flips the sign when the base is negative.
      if (negative(&base) && ((times - i - 1) & 1) != 0) faq->word1 ^= kSignBit;
      break;
    }
  }
  if (exponent < 0) return MRVFAQ_Reverce(ctx, faq);
  return 1;
}

MRV_API int32_t MRVFAQ_High(SystemContext* ctx, FAQ* faq) {
  if (!check_number(ctx, faq)) return 0;
  faq->word2 = 0;
  return 1;
}

MRV_API int32_t MRVFAQ_Low(SystemContext* ctx, FAQ* faq) {
  if (!check_number(ctx, faq)) return 0;
  faq->word1 &= kSignBit;
  return 1;
}

MRV_API int32_t MRVFAQ_Not(SystemContext* ctx, FAQ* faq) {
  if (!check_number(ctx, faq)) return 0;
  return bit_result(ctx, faq, ~int_bits(faq),
                    MRV_CP932("論理否定により、数値が有効桁を超えました。"));
}

MRV_API int32_t MRVFAQ_Or(SystemContext* ctx, FAQ* a, FAQ* b) {
  if (a->type == TYPE_NUMBER && b->type == TYPE_NUMBER) {
    return bit_result(ctx, a, int_bits(a) | int_bits(b),
                      MRV_CP932("論理和により、数値が有効桁を超えました。"));
  }
  if (a->type == TYPE_RECT && b->type == TYPE_RECT) {
    return combine_rects(ctx, a, b, rect_union);
  }
  return fail(ctx, MRV_CP932("論理和された2つのFAQの型が異なっています。"));
}

MRV_API int32_t MRVFAQ_And(SystemContext* ctx, FAQ* a, FAQ* b) {
  if (a->type == TYPE_NUMBER && b->type == TYPE_NUMBER) {
    return bit_result(ctx, a, int_bits(a) & int_bits(b),
                      MRV_CP932("論理積により、数値が有効桁を超えました。"));
  }
  if (a->type == TYPE_RECT && b->type == TYPE_RECT) {
    return combine_rects(ctx, a, b, rect_intersection);
  }
  return fail(ctx, MRV_CP932("論理積された2つのFAQの型が異なっています。"));
}

MRV_API int32_t MRVFAQ_Xor(SystemContext* ctx, FAQ* a, FAQ* b) {
  if (!check_pair(ctx, a, b)) return 0;
  return bit_result(ctx, a, int_bits(a) ^ int_bits(b),
                    MRV_CP932("排他的論理和により、数値が有効桁を超えました。"));
}

MRV_API int32_t MRVFAQ_Comp(SystemContext* ctx, FAQ* a, FAQ* b, int32_t* out) {
  if (a->type == TYPE_NUMBER && b->type == TYPE_NUMBER) {
    if (a->word2 == 0 && b->word2 == 0) {
      int64_t x = int_value(a), y = int_value(b);
      *out = x > y ? 1 : x == y ? 0 : -1;
      return 1;
    }
    int32_t sa = sign_of(a), sb = sign_of(b);
    if (sa != sb) {
      *out = sa > sb ? 1 : -1;
      return 1;
    }
    int64_t d = scaled(a) - scaled(b);
    *out = d == 0 ? 0 : d > 0 ? 1 : -1;
    return 1;
  }
  if (a->type == TYPE_STRING && b->type == TYPE_STRING)
    return mrvval::string_compare(ctx, a, b, out);
  if (a->type == TYPE_RECT && b->type == TYPE_RECT) {
    bool same = a->word1 == b->word1 && a->word2 == b->word2 && a->word3 == b->word3 &&
                a->word4 == b->word4;
    *out = same ? 0 : -1;
    return 1;
  }
  return fail(ctx, MRV_CP932("指定された2つのFAQの型が異なっています。"));
}

MRV_API int32_t MRVFAQ_Add(SystemContext* ctx, FAQ* a, FAQ* b) {
  if (a->type == TYPE_NUMBER && b->type == TYPE_NUMBER) {
    return add_numbers(ctx, a, b, 1, MRV_CP932("加算により、数値が有効桁を超えました。"));
  }
  if (a->type == TYPE_STRING && b->type == TYPE_STRING) return mrvval::string_concat(ctx, a, b);
  if (a->type == TYPE_POINTER && b->type == TYPE_NUMBER) {
    a->word2 += int_bits(b);
    return 1;
  }
  return fail(ctx, MRV_CP932("加算されている2つのFAQの型が異なっています。"));
}

MRV_API int32_t MRVFAQ_Sub(SystemContext* ctx, FAQ* a, FAQ* b) {
  if (a->type == TYPE_NUMBER && b->type == TYPE_NUMBER) {
    return add_numbers(ctx, a, b, -1, MRV_CP932("減算により、数値が有効桁を超えました。"));
  }
  if (a->type == TYPE_POINTER && b->type == TYPE_NUMBER) {
    a->word2 -= int_bits(b);
    return 1;
  }
  return fail(ctx, MRV_CP932("減算されている2つのFAQの型が異なっています。"));
}

MRV_API int32_t MRVFAQ_Mul(SystemContext* ctx, FAQ* a, FAQ* b) {
  if (!check_pair(ctx, a, b)) return 0;
  const char* overflow = MRV_CP932("乗算により、数値が有効桁を超えました。");
  bool neg = negative(a) != negative(b);
  if (a->word2 == 0 && b->word2 == 0) {
    a->word1 = pack(neg, uint64_t{magnitude(a)} * magnitude(b));
    return finish(ctx, a, overflow);
  }
  u128 product = static_cast<u128>(abs_scaled(a)) * abs_scaled(b);
  if (product > kMaxScaledProduct) return fail(ctx, overflow);
  set_scaled(a, neg, product / kScale);
  return finish(ctx, a, overflow);
}

MRV_API int32_t MRVFAQ_Div(SystemContext* ctx, FAQ* a, FAQ* b) {
  if (!check_pair(ctx, a, b)) return 0;
  uint64_t divisor = abs_scaled(b);
  if (divisor == 0) return fail(ctx, MRV_CP932("０で除算しています。"));
  bool neg = negative(a) != negative(b);
  a->word1 &= kMagnitudeMask;
  set_scaled(a, neg, static_cast<u128>(abs_scaled(a)) * kScale / divisor);
  return finish(ctx, a, MRV_CP932("除算により、数値が有効桁を超えました。"));
}

MRV_API int32_t MRVFAQ_Mod(SystemContext* ctx, FAQ* a, FAQ* b) {
  if (!check_pair(ctx, a, b)) return 0;
  if (magnitude(b) == 0) return fail(ctx, MRV_CP932("０で剰余しています。"));
  a->word1 = (a->word1 & kSignBit) | (magnitude(a) % magnitude(b));
  a->word2 = 0;
  return 1;
}

}  // extern "C"
