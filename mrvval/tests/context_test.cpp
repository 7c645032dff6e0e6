// The system context and the variable store: creation, range checks with
// their messages, setCount, copying and swapping, local frames, variable
// names, and deletion freeing every block.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "dialog_log.h"
#include "mrvval.h"
#include "platform/dynlib.h"
#include "platform/memory.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "tempdir.h"

namespace {

const std::string kCaption = "『Marovine33』変数マネージャ(MRVVAL.DLL)";

FAQ number(uint32_t n) {
  FAQ f{};
  f.type = TYPE_NUMBER;
  f.word1 = n;
  return f;
}

FAQ memory_value(uint32_t size, char fill) {
  FAQ f{};
  f.type = TYPE_MEMORY;
  void* p = MRVTASK_AllocMemory(0, size);
  std::memset(p, fill, size);
  f.word1 = MRV_WORD(p);
  f.word2 = size;
  return f;
}

class Context : public ::testing::Test {
 protected:
  void SetUp() override {
    live_ = plat::mem_live_blocks();
    ctx = MRVVAL_Create(plat::program_instance());
    ASSERT_NE(ctx, nullptr);
  }
  void TearDown() override {
    MRVVAL_Delete(ctx);
    EXPECT_EQ(plat::mem_live_blocks(), live_) << "blocks leaked";
  }
  FAQ cell(VarTable* t, int32_t i) {
    FAQ f{};
    EXPECT_EQ(MRVVAL_Get(ctx, t, i, &f), 1);
    return f;
  }
  std::string text_of(VarTable* t, int32_t i) {
    FAQ f = cell(t, i);
    char buf[2048] = {};
    EXPECT_EQ(f.type, TYPE_STRING);
    MRVSTR_GetByte(ctx, &f, buf);
    return buf;
  }
  void set_string(VarTable* t, int32_t i, const char* s) {
    FAQ f{};
    ASSERT_EQ(MRVSTR_SetByte(ctx, &f, s), 1);
    ASSERT_EQ(MRVVAL_Set(ctx, t, i, &f), 1);
  }
  SystemContext* ctx = nullptr;
  std::size_t live_ = 0;
};

TEST_F(Context, FreshContextHasItsInitialState) {
  EXPECT_EQ(ctx->reserved, 0u);
  EXPECT_EQ(ctx->hwndMain, 0u);
  EXPECT_EQ(ctx->hInstance, plat::program_instance());
  EXPECT_EQ(ctx->currentTask, -1);
  EXPECT_EQ(ctx->superTask, -1);
  const struct {
    VarTable* t;
    int32_t count, base;
  } tables[] = {{&ctx->systemVars, 200, 0}, {&ctx->commonVars, 10000, 0}};
  for (const auto& want : tables) {
    EXPECT_EQ(want.t->count, want.count);
    EXPECT_EQ(want.t->base, want.base);
    ASSERT_GE(MRVTASK_SizeMemory(0, MRV_CELLS(want.t)), want.count * sizeof(FAQ));
    const auto* bytes = reinterpret_cast<const unsigned char*>(MRV_CELLS(want.t));
    std::size_t nonzero = 0;
    for (std::size_t i = 0; i < want.count * sizeof(FAQ); ++i) nonzero += bytes[i] != 0;
    EXPECT_EQ(nonzero, 0u);
  }
  for (int t = 0; t < MRV_TASKS; ++t) {
    EXPECT_EQ(ctx->localVars[t].count, 540);
    EXPECT_EQ(ctx->localVars[t].base, -27);
    EXPECT_GE(MRVTASK_SizeMemory(0, MRV_CELLS(&ctx->localVars[t])), 540 * sizeof(FAQ));
    EXPECT_STREQ(ctx->libName[t], "");
    EXPECT_NE(ctx->taskEvent[t], 0u);
    EXPECT_EQ(ctx->taskThread[t], 0u);
    for (int u = 0; u < t; ++u) EXPECT_NE(ctx->taskEvent[t], ctx->taskEvent[u]);
  }
  EXPECT_NE(ctx->stringHeap, 0u);
  // The program's directory, upper-cased, without the file name or a trailing '/'.
  std::string dir = plat::module_file_name(0);
  dir.resize(dir.find_last_of('/'));
  plat::upper_cp932(dir.data());
  EXPECT_EQ(std::string(ctx->programDir), dir);
  EXPECT_NE(dir, "");
}

// Each task's event is the manual-reset event named "MRVEVENTnn", created
// non-signalled: opening the name reaches the same event.
TEST_F(Context, TaskEventsAreNamedPerTaskAndStartUnsignalled) {
  for (int t : {0, 7, 19}) {
    SCOPED_TRACE(t);
    char name[16];
    std::snprintf(name, sizeof name, "MRVEVENT%02d", t);
    EXPECT_FALSE(plat::event_wait(ctx->taskEvent[t], 0));
    const uint32_t opened = plat::event_create(name, true, false);
    ASSERT_NE(opened, 0u);
    ASSERT_TRUE(plat::event_set(opened));
    EXPECT_TRUE(plat::event_wait(ctx->taskEvent[t], 0));
    EXPECT_TRUE(plat::event_wait(ctx->taskEvent[t], 0)) << "manual reset stays signalled";
    EXPECT_FALSE(plat::event_wait(ctx->taskEvent[(t + 1) % MRV_TASKS], 0));
    plat::event_reset(opened);
    plat::event_close(opened);
  }
}

// The program directory is that of the module named by the instance handle,
// cut at the last separator of the whole path, also when the full file name
// is longer than the field.
TEST(ContextProgramDir, ComesFromTheInstanceModuleAndSurvivesALongFileName) {
  const char* bin = std::getenv("MRV_TEST_BIN_DIR");
  ASSERT_NE(bin, nullptr);
  mrvtest::TempDir tmp;
  const std::string root = tmp.path().string();
  const std::string dir = root + "/" + std::string(200 - root.size(), 'd');
  const std::string lib = dir + "/" + std::string(100, 'n') + ".so";
  std::filesystem::create_directories(dir);
  std::filesystem::copy_file(std::string(bin) + "/libsindra.so", lib);
  const uint32_t module = plat::lib_load(lib.c_str());
  ASSERT_NE(module, 0u);
  ASSERT_GT(plat::module_file_name(module).size(), 259u);
  SystemContext* ctx = MRVVAL_Create(module);
  ASSERT_NE(ctx, nullptr);
  std::string want = dir;
  plat::upper_cp932(want.data());
  EXPECT_EQ(std::string(ctx->programDir), want);
  MRVVAL_Delete(ctx);
  plat::lib_free(module);
}

// Out-of-range reads and writes name the variable as scenarios write it.
TEST_F(Context, OutOfRangeAccessIsReportedWithTheVariableName) {
  struct Case {
    VarTable* table;
    int32_t index;
    std::string name;
  } cases[] = {
      {&ctx->commonVars, 10000, "$10000"},
      {&ctx->systemVars, -1, "#-1"},
      {&ctx->systemVars, 200, "#200"},
      {&ctx->localVars[3], 1, "$&"},  // $A without a frame: cell -26
      {&ctx->localVars[3], 0, "$@"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    mrvtest::DialogLog log;
    FAQ out = number(77);
    EXPECT_EQ(MRVVAL_Get(ctx, c.table, c.index, &out), 0);
    EXPECT_EQ(out.word1, 77u);
    FAQ v = number(5);
    EXPECT_EQ(MRVVAL_Set(ctx, c.table, c.index, &v), 0);
    EXPECT_EQ(v.setCount, 1);  // counted before the range check
    const auto boxes = log.boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].caption, kCaption);
    EXPECT_EQ(boxes[0].text, "参照している変数(" + c.name + ")は存在しません。");
    EXPECT_EQ(boxes[1].caption, kCaption);
    EXPECT_EQ(boxes[1].text, "設定しようとしている変数(" + c.name + ")は存在しません。");
  }
  // The neighbours of the bad indexes are untouched.
  EXPECT_EQ(cell(&ctx->commonVars, 9999).type, TYPE_NULL);
  EXPECT_EQ(cell(&ctx->systemVars, 0).type, TYPE_NULL);
}

TEST_F(Context, SetCountsEachStoreAndWraps) {
  FAQ v = number(9);
  v.setCount = 0xFFFE;
  ASSERT_EQ(MRVVAL_Set(ctx, &ctx->commonVars, 5, &v), 1);
  EXPECT_EQ(v.setCount, 0xFFFF);
  EXPECT_EQ(cell(&ctx->commonVars, 5).setCount, 0xFFFF);
  ASSERT_EQ(MRVVAL_Set(ctx, &ctx->commonVars, 5, &v), 1);
  const FAQ stored = cell(&ctx->commonVars, 5);
  EXPECT_EQ(stored.setCount, 0);
  EXPECT_EQ(std::memcmp(&stored, &v, sizeof(FAQ)), 0);
  // NULL stores an empty value through Set, without releasing anything.
  EXPECT_EQ(MRVVAL_NULL(ctx, &ctx->commonVars, 5), 1);
  EXPECT_EQ(cell(&ctx->commonVars, 5).type, TYPE_NULL);
  EXPECT_EQ(cell(&ctx->commonVars, 5).word1, 0u);
}

TEST_F(Context, ClearReleasesInRangeAndIgnoresOutOfRange) {
  mrvtest::DialogLog log;
  FAQ m = memory_value(32, 'm');
  ASSERT_EQ(MRVVAL_Set(ctx, &ctx->commonVars, 0, &m), 1);
  const std::size_t live = plat::mem_live_blocks();
  for (int32_t bad : {-1, 10000, 20000}) EXPECT_EQ(MRVVAL_Clear(ctx, &ctx->commonVars, bad), 1);
  EXPECT_EQ(plat::mem_live_blocks(), live);
  EXPECT_EQ(MRVVAL_Clear(ctx, &ctx->commonVars, 0), 1);
  EXPECT_EQ(plat::mem_live_blocks(), live - 1);
  EXPECT_FALSE(plat::mem_is_block(MRV_PTR(m.word1)));
  EXPECT_EQ(cell(&ctx->commonVars, 0).type, TYPE_NULL);
  EXPECT_TRUE(log.boxes().empty());
}

TEST_F(Context, CopyDuplicatesOwnedResources) {
  set_string(&ctx->commonVars, 1, "abc");
  ASSERT_EQ(MRVVAL_Copy(ctx, &ctx->commonVars, 2, &ctx->commonVars, 1), 1);
  EXPECT_EQ(text_of(&ctx->commonVars, 2), "abc");
  MRVVAL_Clear(ctx, &ctx->commonVars, 2);
  EXPECT_EQ(text_of(&ctx->commonVars, 1), "abc");

  FAQ m = memory_value(16, 'q');
  m.word3 = 4;
  m.word4 = 0x44;
  ASSERT_EQ(MRVVAL_Set(ctx, &ctx->systemVars, 7, &m), 1);
  ASSERT_EQ(MRVVAL_Copy(ctx, &ctx->commonVars, 3, &ctx->systemVars, 7), 1);
  const FAQ copy = cell(&ctx->commonVars, 3);
  EXPECT_EQ(copy.type, TYPE_MEMORY);
  EXPECT_NE(copy.word1, m.word1);
  EXPECT_EQ(std::memcmp(MRV_PTR(copy.word1), MRV_PTR(m.word1), 16), 0);
  EXPECT_EQ(copy.word2, 16u);
  EXPECT_EQ(copy.word3, 4u);
}

TEST_F(Context, CopyToAMissingVariableFailsWithoutLeaking) {
  set_string(&ctx->commonVars, 1, "abc");
  FAQ m = memory_value(16, 'q');
  ASSERT_EQ(MRVVAL_Set(ctx, &ctx->commonVars, 2, &m), 1);
  mrvtest::DialogLog log;
  const std::size_t live = plat::mem_live_blocks();
  EXPECT_EQ(MRVVAL_Copy(ctx, &ctx->commonVars, 10000, &ctx->commonVars, 2), 0);
  EXPECT_EQ(MRVVAL_Copy(ctx, &ctx->systemVars, 200, &ctx->commonVars, 1), 0);
  EXPECT_EQ(MRVVAL_Copy(ctx, &ctx->commonVars, 3, &ctx->commonVars, -1), 0);
  EXPECT_EQ(plat::mem_live_blocks(), live);
  const auto boxes = log.boxes();
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[0].text, "設定しようとしている変数($10000)は存在しません。");
  EXPECT_EQ(boxes[1].text, "設定しようとしている変数(#200)は存在しません。");
  EXPECT_EQ(boxes[2].text, "参照している変数($-1)は存在しません。");
  EXPECT_EQ(cell(&ctx->commonVars, 3).type, TYPE_NULL);
  // A string duplicated and given back leaves the heap usable.
  EXPECT_EQ(text_of(&ctx->commonVars, 1), "abc");
}

TEST_F(Context, SwapInTheSecondFrameExchangesOnlyTheTwoCells) {
  VarTable* local = MRVVAL_GetLocal(ctx, 4);
  ASSERT_EQ(local, &ctx->localVars[4]);
  ASSERT_EQ(MRVVAL_CreateLocal(ctx, 4, nullptr), 1);
  ASSERT_EQ(MRVVAL_CreateLocal(ctx, 4, nullptr), 1);
  ASSERT_EQ(local->base, 27);
  FAQ* cells = MRV_CELLS(local);
  for (int32_t i = 0; i < 81; ++i) cells[i] = number(static_cast<uint32_t>(i));
  ASSERT_EQ(MRVVAL_Swap(ctx, local, 1, local, 2), 1);
  for (int32_t i = 0; i < 81; ++i) {
    const uint32_t want = i == 28 ? 29 : i == 29 ? 28 : static_cast<uint32_t>(i);
    EXPECT_EQ(cells[i].word1, want) << "cell " << i;
    EXPECT_EQ(cells[i].setCount, (i == 28 || i == 29) ? 1 : 0) << "cell " << i;
  }
  mrvtest::DialogLog log;
  EXPECT_EQ(MRVVAL_Swap(ctx, local, 1, &ctx->commonVars, 10000), 0);
  EXPECT_EQ(cells[28].word1, 29u);
  EXPECT_EQ(log.boxes().size(), 1u);
}

TEST_F(Context, TwentyFramesFitTheTwentyFirstIsRefused) {
  ctx->currentTask = 6;
  VarTable* local = &ctx->localVars[6];
  for (int k = 0; k < 20; ++k) ASSERT_EQ(MRVVAL_CreateLocal(ctx, 6, nullptr), 1) << k;
  EXPECT_EQ(local->base, 513);
  mrvtest::DialogLog log;
  EXPECT_EQ(MRVVAL_CreateLocal(ctx, 6, nullptr), 0);
  EXPECT_EQ(local->base, 513);
  const auto boxes = log.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, kCaption);
  EXPECT_EQ(boxes[0].text, "タスク(6)でローカル変数領域が制限以上(20)消費されました。");
  // Popping every frame, and one more, which finds none and does nothing.
  for (int k = 0; k < 21; ++k) EXPECT_EQ(MRVVAL_DeleteLocal(ctx, 6), 1);
  EXPECT_EQ(local->base, -27);
  EXPECT_EQ(MRVVAL_CreateLocal(ctx, 6, nullptr), 1);
  EXPECT_EQ(local->base, 0);
  EXPECT_EQ(log.boxes().size(), 1u);
}

TEST_F(Context, FrameTakesOverAnArgumentList) {
  VarTable list{MRV_WORD(MRVTASK_AllocMemory(0, 27 * sizeof(FAQ))), 27, 0};
  FAQ* args = MRV_CELLS(&list);
  args[0] = number(3);
  args[1] = memory_value(8, 'a');
  args[2] = number(42);
  const uint32_t block = args[1].word1;
  ctx->localVars[2].base = 0;  // a frame is already there: the new one is the second
  MRV_CELLS(&ctx->localVars[2])[1] = number(99);
  ASSERT_EQ(MRVVAL_CreateLocal(ctx, 2, &list), 1);
  VarTable* local = &ctx->localVars[2];
  EXPECT_EQ(local->base, 27);
  EXPECT_EQ(args[0].word1, 3u);
  for (int i = 1; i < 27; ++i) EXPECT_EQ(args[i].type, TYPE_NULL) << i;
  EXPECT_EQ(cell(local, 0).word1, 3u);
  EXPECT_EQ(cell(local, 1).word1, block);
  EXPECT_EQ(cell(local, 2).word1, 42u);
  EXPECT_EQ(cell(local, 3).type, TYPE_NULL);
  // Dropping the frame frees what it took over and uncovers the first frame.
  EXPECT_EQ(MRVVAL_DeleteLocal(ctx, 2), 1);
  EXPECT_FALSE(plat::mem_is_block(MRV_PTR(block)));
  EXPECT_EQ(cell(local, 1).word1, 99u);
  MRVTASK_FreeMemory(0, MRV_PTR(list.cells));
}

TEST_F(Context, VariableNames) {
  VarTable local = ctx->localVars[0];
  local.base = 0;
  VarTable second = local;
  second.base = 27;
  VarTable copied = ctx->commonVars;  // a 'V' value's copy is named like its table
  copied.base = 100;
  struct Case {
    VarTable* table;
    int32_t index;
    const char* want;
  } cases[] = {{&ctx->commonVars, 5, "$5"}, {&ctx->systemVars, 199, "#199"},
               {&local, 0, "$@"},           {&local, 1, "$A"},
               {&local, 26, "$Z"},          {&second, 1, "$A"},
               {&copied, 5, "$105"},        {&ctx->commonVars, -2147483647 - 1, "$-2147483648"}};
  for (const Case& c : cases) {
    char out[64];
    EXPECT_EQ(MRVVAL_StringValue(ctx, c.table, c.index, out),
              static_cast<int32_t>(std::strlen(c.want)));
    EXPECT_STREQ(out, c.want);
  }
}

TEST(ContextLifetime, DeleteFreesEveryBlockItOwns) {
  const std::size_t live = plat::mem_live_blocks();
  SystemContext* ctx = MRVVAL_Create(0);
  ASSERT_NE(ctx, nullptr);
  FAQ v{};
  ASSERT_EQ(MRVSTR_SetByte(ctx, &v, "text"), 1);
  MRVVAL_Set(ctx, &ctx->commonVars, 0, &v);
  v = memory_value(100, 'x');
  MRVVAL_Set(ctx, &ctx->commonVars, 9999, &v);
  v = FAQ{};
  v.type = TYPE_CELL;
  auto* desc = static_cast<uint32_t*>(MRVTASK_AllocMemory(0, 64));
  desc[8] = MRV_WORD(MRVTASK_AllocMemory(0, 400));
  v.word1 = MRV_WORD(desc);
  MRVVAL_Set(ctx, &ctx->systemVars, 199, &v);
  v = FAQ{};
  v.type = TYPE_WAVE;
  v.word1 = MRV_WORD(MRVTASK_AllocMemory(0, 50));
  MRVVAL_Set(ctx, &ctx->systemVars, 0, &v);
  ASSERT_EQ(MRVVAL_CreateLocal(ctx, 19, nullptr), 1);
  ASSERT_EQ(MRVSTR_SetByte(ctx, &v, "local"), 1);
  MRVVAL_Set(ctx, &ctx->localVars[19], 26, &v);
  v = memory_value(10, 'y');
  MRVVAL_Set(ctx, &ctx->localVars[0], 27 + 5, &v);  // not in a frame, but still a cell
  v = number(1);
  MRVVAL_Set(ctx, &ctx->commonVars, 1, &v);
  ctx->taskThread[3] = 1234;  // a live task is abandoned, not waited for
  MRVVAL_Delete(ctx);
  EXPECT_EQ(plat::mem_live_blocks(), live);
}

}  // namespace
