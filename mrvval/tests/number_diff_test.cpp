// Differential check of the number arithmetic: random operand pairs, with the
// edge magnitudes over-represented, against a small reference that works on
// whole values in units of 10^-9 with 128-bit integers.
//
// Boxes are counted by taking the place of MRVTASK_ErrorStop in this program
// (the value manager's reference to it binds to the executable's definition),
// so that a few hundred thousand failing cases stay cheap; the real box path
// is checked in number_test.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "mrvval.h"
#include "platform/text.h"

namespace {
std::vector<std::string> g_boxes;
}

extern "C" MRV_API int32_t MRVTASK_ErrorStop(uint32_t, const char*, const char* text) {
  g_boxes.emplace_back(text);
  return 1;
}

namespace {

__extension__ typedef __int128 i128;

constexpr uint32_t kNeg = 0x80000000u;
constexpr i128 kUnit = 1000000000;
constexpr i128 kLimit = 999999999;  // largest magnitude

enum class Op { Add, Sub, Mul, Div, Mod, Comp };

// A whole number value in units of 10^-9; a negative zero is 0 here.
i128 value(const FAQ& f) {
  i128 v = static_cast<i128>(f.word1 & 0x7FFFFFFFu) * kUnit + f.word2;
  return (f.word1 & kNeg) ? -v : v;
}
i128 absolute(i128 v) {
  return v < 0 ? -v : v;
}

struct Expected {
  int32_t result = 1;
  uint32_t word1 = 0, word2 = 0;
  std::vector<const char*> boxes;
  int32_t compare = 0;
};

// Sign and magnitude of a result; a magnitude beyond 31 bits is stored as the
// largest 31-bit one (the value manager's rule for values that cannot be held).
void store(Expected& e, bool neg, i128 magnitude, i128 fraction) {
  uint32_t m = magnitude > 0x7FFFFFFF ? 0x7FFFFFFFu : static_cast<uint32_t>(magnitude);
  e.word1 = m | (neg ? kNeg : 0u);
  e.word2 = static_cast<uint32_t>(fraction);
}

Expected reference(Op op, const FAQ& a, const FAQ& b) {
  static const std::string int_range = plat::utf8_to_cp932("整数部が有効桁を超えました。");
  static const std::string add = plat::utf8_to_cp932("加算により、数値が有効桁を超えました。");
  static const std::string sub = plat::utf8_to_cp932("減算により、数値が有効桁を超えました。");
  static const std::string mul = plat::utf8_to_cp932("乗算により、数値が有効桁を超えました。");
  static const std::string div = plat::utf8_to_cp932("除算により、数値が有効桁を超えました。");
  static const std::string div0 = plat::utf8_to_cp932("０で除算しています。");
  static const std::string mod0 = plat::utf8_to_cp932("０で剰余しています。");
  Expected e;
  e.word1 = a.word1;
  e.word2 = a.word2;
  const i128 va = value(a), vb = value(b);
  const bool sign_a = (a.word1 & kNeg) != 0, sign_b = (b.word1 & kNeg) != 0;
  switch (op) {
    case Op::Add:
    case Op::Sub: {
      i128 v = op == Op::Add ? va + vb : va - vb;  // a zero sum is a plain zero
      store(e, v < 0, absolute(v) / kUnit, absolute(v) % kUnit);
      if (absolute(v) / kUnit > kLimit) {
        e.result = 0;
        e.boxes = {int_range.c_str(), (op == Op::Add ? add : sub).c_str()};
      }
      break;
    }
    case Op::Mul: {
      i128 product = absolute(va) * absolute(vb);  // units of 10^-18
      bool neg = sign_a != sign_b;                 // also on a zero product
      if (a.word2 == 0 && b.word2 == 0) {
        i128 magnitude = product / (kUnit * kUnit);
        store(e, neg, magnitude, 0);
        if (magnitude > kLimit) {
          e.result = 0;
          e.boxes = {int_range.c_str(), mul.c_str()};
        }
      } else if (product > (kLimit * kUnit + kLimit) * kUnit) {
        e.result = 0;  // refused before anything is stored
        e.boxes = {mul.c_str()};
      } else {
        i128 q = product / kUnit;
        store(e, neg, q / kUnit, q % kUnit);
      }
      break;
    }
    case Op::Div: {
      if (vb == 0) {
        e.result = 0;
        e.boxes = {div0.c_str()};
        break;
      }
      i128 q = absolute(va) * kUnit / absolute(vb);
      store(e, sign_a != sign_b, q / kUnit, q % kUnit);
      if (q / kUnit > kLimit) {
        e.result = 0;
        e.boxes = {int_range.c_str(), div.c_str()};
      }
      break;
    }
    case Op::Mod: {
      uint32_t ma = a.word1 & 0x7FFFFFFFu, mb = b.word1 & 0x7FFFFFFFu;
      if (mb == 0) {
        e.result = 0;
        e.boxes = {mod0.c_str()};
        break;
      }
      e.word1 = (a.word1 & kNeg) | (ma % mb);
      e.word2 = 0;
      break;
    }
    case Op::Comp:
      e.compare = va > vb ? 1 : va < vb ? -1 : 0;
      break;
  }
  return e;
}

// Operands: edge magnitudes and fractions often, random ones of every length
// otherwise; either sign, so negative zeros occur.
class Generator {
 public:
  explicit Generator(uint64_t seed) : rng_(seed) {}

  FAQ operand() {
    static const uint32_t kMagnitudes[] = {0,         1,         2,      3,       10,    999999999,
                                           999999998, 500000000, 31622,  31623,   44721, 44722,
                                           65535,     65536,     100000, 1000000, 999999};
    static const uint32_t kFractions[] = {1, 2, 999999999, 999999998, 500000000, 1000, 100000000};
    FAQ f{};
    f.type = TYPE_NUMBER;
    uint32_t magnitude = below(10) < 4 ? pick(kMagnitudes) : random_digits(9);
    uint32_t fraction = 0;
    switch (below(10)) {
      case 0:
      case 1:
      case 2:
      case 3:
        break;  // integers take their own paths
      case 4:
      case 5:
        fraction = pick(kFractions);
        break;
      default:
        fraction = random_digits(9);
        // Short decimals (0.5, 0.25, ...) as well as full-length ones.
        if (below(2) == 0) fraction = fraction / 10000 * 10000;
        break;
    }
    f.word1 = magnitude | (below(2) ? kNeg : 0u);
    f.word2 = fraction;
    f.word3 = 0x33333333u;
    f.word4 = 0x44444444u;
    f.word5 = 0x55555555u;
    return f;
  }

 private:
  uint32_t below(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }
  template <size_t N>
  uint32_t pick(const uint32_t (&table)[N]) {
    return table[below(N)];
  }
  // A number of 0 to `digits` decimal digits.
  uint32_t random_digits(uint32_t digits) {
    uint32_t limit = 1;
    for (uint32_t n = below(digits + 1); n > 0; --n) limit *= 10;
    return below(limit);
  }
  std::mt19937_64 rng_;
};

std::string show(const FAQ& f) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "{%08x, %u}", f.word1, f.word2);
  return buf;
}

TEST(NumberDifferential, ArithmeticMatchesTheReference) {
  auto ctx = std::make_unique<SystemContext>();
  const struct {
    Op op;
    const char* name;
    int32_t (*fn)(SystemContext*, FAQ*, FAQ*);
  } ops[] = {{Op::Add, "add", MRVFAQ_Add}, {Op::Sub, "sub", MRVFAQ_Sub},
             {Op::Mul, "mul", MRVFAQ_Mul}, {Op::Div, "div", MRVFAQ_Div},
             {Op::Mod, "mod", MRVFAQ_Mod}, {Op::Comp, "comp", nullptr}};
  constexpr int kPairs = 60000;
  for (const auto& o : ops) {
    Generator gen(0x5eed0000u + static_cast<uint32_t>(o.op));
    int failures = 0, mismatches = 0;
    for (int i = 0; i < kPairs && mismatches < 10; ++i) {
      const FAQ a0 = gen.operand(), b0 = gen.operand();
      FAQ a = a0, b = b0;
      const Expected e = reference(o.op, a0, b0);
      g_boxes.clear();
      int32_t result, compare = 0;
      if (o.op == Op::Comp) {
        result = MRVFAQ_Comp(ctx.get(), &a, &b, &compare);
      } else {
        result = o.fn(ctx.get(), &a, &b);
      }
      bool ok = result == e.result && g_boxes.size() == e.boxes.size() &&
                std::memcmp(&b, &b0, sizeof b) == 0 && a.type == TYPE_NUMBER &&
                a.word3 == a0.word3 && a.word4 == a0.word4 && a.word5 == a0.word5;
      if (o.op == Op::Comp) {
        ok = ok && compare == e.compare && std::memcmp(&a, &a0, sizeof a) == 0;
      } else {
        ok = ok && a.word1 == e.word1 && a.word2 == e.word2;
      }
      for (size_t k = 0; ok && k < e.boxes.size(); ++k) ok = g_boxes[k] == e.boxes[k];
      if (e.result == 0) ++failures;
      if (!ok) {
        ++mismatches;
        ADD_FAILURE() << o.name << " " << show(a0) << ", " << show(b0) << ": got " << result << " "
                      << show(a) << " cmp " << compare << " boxes " << g_boxes.size()
                      << "; expected " << e.result << " {" << std::hex << e.word1 << std::dec
                      << ", " << e.word2 << "} cmp " << e.compare << " boxes " << e.boxes.size();
      }
    }
    // The operand mix must reach the failure paths of every operation that has one.
    if (o.op != Op::Comp) {
      EXPECT_GT(failures, 20) << o.name;
    }
  }
}

}  // namespace
