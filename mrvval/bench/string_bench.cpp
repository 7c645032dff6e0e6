// Cost of storing and releasing a string while many others are held: the
// first-fit search looks at free blocks only, so the cost should not grow
// with the number of held strings.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "mrvval.h"

namespace {

void BM_StoreAndClear(benchmark::State& state) {
  SystemContext* ctx = MRVVAL_Create(0);
  std::vector<FAQ> held(static_cast<std::size_t>(state.range(0)));
  std::string text(20, 'a');
  for (FAQ& f : held) MRVSTR_SetByte(ctx, &f, text.c_str());
  std::string longer(40, 'b');  // fits none of the holes in front
  for (auto _ : state) {
    FAQ f{};
    MRVSTR_SetByte(ctx, &f, longer.c_str());
    MRVSTR_Clear(ctx, &f);
  }
  for (FAQ& f : held) MRVSTR_Clear(ctx, &f);
  MRVVAL_Delete(ctx);
}
BENCHMARK(BM_StoreAndClear)->Arg(10)->Arg(1000)->Arg(10000);

void BM_ReadString(benchmark::State& state) {
  SystemContext* ctx = MRVVAL_Create(0);
  FAQ f{};
  std::string text(static_cast<std::size_t>(state.range(0)), 'r');
  MRVSTR_SetByte(ctx, &f, text.c_str());
  char out[2000];
  for (auto _ : state) {
    MRVSTR_GetByte(ctx, &f, out);
    benchmark::DoNotOptimize(out);
  }
  MRVSTR_Clear(ctx, &f);
  MRVVAL_Delete(ctx);
}
BENCHMARK(BM_ReadString)->Arg(10)->Arg(999);

}  // namespace
BENCHMARK_MAIN();
