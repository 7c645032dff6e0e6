// Generic operations on values of every type: empty, release, duplicate, swap.
// What a value owns, and so what release frees and duplication copies, depends
// on its type: strings (in the string heap), picture cells (a descriptor block
// and its data block), memory blocks, windows and sounds.
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "internal.h"
#include "platform/clock.h"
#include "platform/memory.h"
#include "platform/window.h"
#include "sindra.h"

namespace {

// A picture descriptor is a memory block of 32-bit words; word 9 (counting
// from 1) holds the address of the block with the picture data.
constexpr std::size_t kCellDataWord = 8;
constexpr std::size_t kCellDescriptorMin = (kCellDataWord + 1) * sizeof(uint32_t);

// Release of a window waits for it to be gone, polling at this interval, for
// at most this long (the value is empty afterwards either way). The platform
// hands the destruction to the owner's thread and returns once that thread has
// done it (or has ended), so the poll normally finds the window gone at once;
// an owner that is alive but never pumps blocks the hand-over itself.
constexpr uint32_t kWindowPollMs = 100;
constexpr uint32_t kWindowWaitMs = 10000;

uint32_t* cell_data_word(uint32_t descriptor) {
  void* d = MRV_PTR(descriptor);
  if (descriptor == 0 || plat::mem_size(d) < kCellDescriptorMin) return nullptr;
  return static_cast<uint32_t*>(d) + kCellDataWord;
}

void free_block(SystemContext* ctx, uint32_t address) {
  if (address != 0) MRVTASK_FreeMemory(ctx->hwndMain, MRV_PTR(address));
}

// A duplicate of the block at `address` into `*out`. An address that is not a
// live block owns nothing and is copied as it is. False when the allocation
// was refused (after the retry box).
bool duplicate_block(SystemContext* ctx, uint32_t address, uint32_t* out) {
  if (!plat::mem_is_block(MRV_PTR(address))) {
    *out = address;
    return true;
  }
  void* copy = MRVTASK_DuplicateMemory(ctx->hwndMain, MRV_PTR(address));
  if (copy == nullptr) return false;
  *out = MRV_WORD(copy);
  return true;
}

// A window or a sound cannot be duplicated: a copy shares it. The shares are
// counted, so that the release of a copy (a variable read into an argument,
// the value of an assignment statement) leaves the resource to the values
// still holding it, and only the release of the last one frees it. Only
// resources with more than one holder are listed; a resource that is gone
// (a window closed, a block freed by its library) gets no share.
struct Shares {
  std::mutex mu;
  std::map<std::pair<uint16_t, uint32_t>, uint32_t> extra;  // (type, word1) -> holders - 1
};
Shares& shares() {
  static auto* s = new Shares;  // values may be released while statics go
  return *s;
}

bool shared_type(uint16_t type) {
  return type == TYPE_HANDLE || type == TYPE_WAVE;
}

bool alive(const FAQ& v) {
  return v.type == TYPE_HANDLE ? plat::is_window(v.word1) : plat::mem_is_block(MRV_PTR(v.word1));
}

void add_share(const FAQ& v) {
  if (v.word1 == 0 || !alive(v)) return;
  Shares& s = shares();
  std::lock_guard lock(s.mu);
  ++s.extra[{v.type, v.word1}];
}

// Drops one holder of what `v` names; false when it was the last, so that the
// caller frees the resource.
bool drop_share(const FAQ& v) {
  Shares& s = shares();
  std::lock_guard lock(s.mu);
  auto it = s.extra.find({v.type, v.word1});
  if (it == s.extra.end()) return false;
  if (--it->second == 0) s.extra.erase(it);
  return true;
}

void release_window(uint32_t hwnd) {
  if (hwnd == 0 || !plat::destroy_window(hwnd)) return;
  // The platform routes the destruction to the window's own thread.
  for (uint32_t waited = 0; plat::is_window(hwnd) && waited < kWindowWaitMs;
       waited += kWindowPollMs) {
    plat::sleep_ms(kWindowPollMs);
  }
}

}  // namespace

extern "C" {

int32_t MRVFAQ_NULL(SystemContext* ctx, FAQ* faq) {
  std::memset(faq, 0, sizeof(FAQ));
  return 1;
}

int32_t MRVFAQ_Clear(SystemContext* ctx, FAQ* faq) {
  if (shared_type(faq->type) && faq->word1 != 0 && drop_share(*faq)) {
    std::memset(faq, 0, sizeof(FAQ));
    return 1;
  }
  switch (faq->type) {
    case TYPE_STRING:
      mrvval::string_release(ctx, faq);
      break;
    case TYPE_CELL:
      if (uint32_t* data = cell_data_word(faq->word1)) free_block(ctx, *data);  // data first
      free_block(ctx, faq->word1);
      break;
    case TYPE_MEMORY:
      free_block(ctx, faq->word1);
      break;
    case TYPE_HANDLE:
      release_window(faq->word1);
      break;
    case TYPE_WAVE:
      if (faq->word1 != 0) {
        // The sound library lets go of the block before it is freed.
        sindra_ordinal_25(faq->word1);
        free_block(ctx, faq->word1);
      }
      break;
    default:
      break;
  }
  std::memset(faq, 0, sizeof(FAQ));
  return 1;
}

int32_t MRVFAQ_Copy(SystemContext* ctx, FAQ* target, FAQ* source) {
  const FAQ src = *source;  // target and source may be the same value
  switch (src.type) {
    case TYPE_STRING:
      return mrvval::string_duplicate(ctx, target, &src);
    case TYPE_CELL: {
      // Both blocks are duplicated and the new descriptor names the new data
      // block; the target's words 2 to 5 stay as they are.
      uint32_t descriptor = 0;
      if (!duplicate_block(ctx, src.word1, &descriptor)) return 0;
      if (descriptor != src.word1) {
        if (uint32_t* data = cell_data_word(descriptor)) {
          if (!duplicate_block(ctx, *data, data)) {
            free_block(ctx, descriptor);
            return 0;
          }
        }
      }
      target->type = src.type;
      target->word1 = descriptor;
      return 1;
    }
    case TYPE_MEMORY: {
      uint32_t block = 0;
      if (!duplicate_block(ctx, src.word1, &block)) return 0;
      target->type = src.type;
      target->word1 = block;
      target->word2 = src.word2;
      target->word3 = src.word3;
      return 1;
    }
    case TYPE_HANDLE:
    case TYPE_WAVE:
      add_share(src);
      *target = src;
      return 1;
    default:
      *target = src;  // nothing owned
      return 1;
  }
}

int32_t MRVFAQ_Swap(SystemContext* ctx, FAQ* a, FAQ* b) {
  const FAQ t = *a;
  *a = *b;
  *b = t;
  return 1;
}

}  // extern "C"
