// Cost of the number arithmetic, for integer-only operands (32-bit paths) and
// for operands with fractions (scaled 64/128-bit paths).
#include <benchmark/benchmark.h>

#include <memory>

#include "mrvval.h"

namespace {

FAQ number(uint32_t word1, uint32_t word2) {
  FAQ f{};
  f.type = TYPE_NUMBER;
  f.word1 = word1;
  f.word2 = word2;
  return f;
}

// Operands whose results stay in range, so that no box is ever shown.
const FAQ kIntA = number(123456, 0);
const FAQ kIntB = number(0x80000000u | 789, 0);          // -789
const FAQ kFracA = number(12345, 678901234);             // 12345.678901234
const FAQ kFracB = number(0x80000000u | 78, 500000000);  // -78.5

using Binary = int32_t (*)(SystemContext*, FAQ*, FAQ*);

void BM_Binary(benchmark::State& state, Binary op, const FAQ& a0, const FAQ& b0) {
  auto ctx = std::make_unique<SystemContext>();
  FAQ b = b0;
  for (auto _ : state) {
    FAQ a = a0;
    benchmark::DoNotOptimize(op(ctx.get(), &a, &b));
    benchmark::DoNotOptimize(a);
  }
}

void BM_Comp(benchmark::State& state, const FAQ& a0, const FAQ& b0) {
  auto ctx = std::make_unique<SystemContext>();
  FAQ a = a0, b = b0;
  int32_t out = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(MRVFAQ_Comp(ctx.get(), &a, &b, &out));
    benchmark::DoNotOptimize(out);
  }
}

BENCHMARK_CAPTURE(BM_Binary, add_integer, MRVFAQ_Add, kIntA, kIntB);
BENCHMARK_CAPTURE(BM_Binary, add_fraction, MRVFAQ_Add, kFracA, kFracB);
BENCHMARK_CAPTURE(BM_Binary, mul_integer, MRVFAQ_Mul, kIntA, kIntB);
BENCHMARK_CAPTURE(BM_Binary, mul_fraction, MRVFAQ_Mul, kFracA, kFracB);
BENCHMARK_CAPTURE(BM_Binary, div_integer, MRVFAQ_Div, kIntA, kIntB);
BENCHMARK_CAPTURE(BM_Binary, div_fraction, MRVFAQ_Div, kFracA, kFracB);
BENCHMARK_CAPTURE(BM_Comp, comp_integer, kIntA, kIntB);
BENCHMARK_CAPTURE(BM_Comp, comp_fraction, kFracA, kFracB);

}  // namespace

BENCHMARK_MAIN();
