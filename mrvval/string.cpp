// Rectangles, strings and the string heap.
//
// The heap is one platform memory block (its handle is ctx->stringHeap and the
// word1 of every SAQ) divided into consecutive blocks, each with a 12-byte
// header {next, prev, size}: next is the offset of the following block (0 for
// the last), prev the offset of the preceding one (the first block's prev
// names the last block), size the data bytes after the header, positive when
// free and negated while the block holds a string. A string of n characters
// holds exactly 2n + 2 bytes (its units and a 0 unit). Allocation is first fit
// in address order with splitting; a freed block merges at once with free
// neighbours; when nothing fits the heap grows by 65536 bytes, which become one
// free block linked after the last. Held blocks never move inside the heap,
// but the heap itself may move when it grows, so texts are reached through the
// handle and the offset only.
//
// Length limit: a string holds at most 999 characters (the scratch buffers
// hold 1000 units). The conversions MRVSTR_Word and MRVSTR_Byte cut a longer
// text after 999 characters; storing one (MRVSTR_SetWord, MRVSTR_SetByte) is
// refused with a message, so no text is shortened silently in the heap.
//
// A SAQ handed in from outside is checked before its text is touched: the
// handle must be this context's heap and the offset and length must name a
// held block whose header agrees with its neighbours. Anything else is
// refused with a message.
//
// Heap work is serialised by one lock, so that the value viewer on the host's
// main thread can read a string while a task stores or releases others. No
// message is shown while the lock is held.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <unordered_map>

#include "internal.h"
#include "platform/memory.h"
#include "platform/text.h"
#include "string_internal.h"

namespace mrvval {
namespace {

constexpr uint32_t kHeader = 12;
constexpr uint32_t kGrowth = 65536;
constexpr uint32_t kMaxChars = MRV_WORDBUF - 1;  // 999

std::mutex g_heap_lock;

// Header fields are read and written byte-wise: offsets are even but not
// aligned to 4.
struct Header {
  int32_t next;
  int32_t prev;
  int32_t size;
};

Header load(const uint8_t* heap, uint32_t off) {
  Header h;
  std::memcpy(&h, heap + off, sizeof h);
  return h;
}

void store(uint8_t* heap, uint32_t off, const Header& h) {
  std::memcpy(heap + off, &h, sizeof h);
}

uint32_t magnitude(int32_t size) {
  return size < 0 ? 0u - static_cast<uint32_t>(size) : size;
}

// The heap's current address and its used length (the end of its last
// block), or false when the block or its first header is not plausible.
bool heap_view(uint32_t handle, uint8_t** heap, uint32_t* end) {
  void* p = handle ? plat::mem_address(handle) : nullptr;
  if (!p) return false;
  std::size_t phys = plat::mem_size(p);
  auto* base = static_cast<uint8_t*>(p);
  if (phys < kHeader) return false;
  Header first = load(base, 0);
  if (first.prev < 0 || static_cast<std::size_t>(first.prev) + kHeader > phys) return false;
  Header last = load(base, static_cast<uint32_t>(first.prev));
  std::size_t e = static_cast<std::size_t>(first.prev) + kHeader + magnitude(last.size);
  if (last.next != 0 || e > phys) return false;
  *heap = base;
  *end = static_cast<uint32_t>(e);
  return true;
}

// Finds the held block of a SAQ; false when the SAQ does not name one.
bool locate(const SystemContext* ctx, const FAQ* saq, uint8_t** heap, uint32_t* block) {
  uint32_t end = 0;
  if (saq->word1 != ctx->stringHeap || !heap_view(saq->word1, heap, &end)) return false;
  uint32_t len = saq->word3, data = saq->word2;
  if (len > kMaxChars || data < kHeader || data > end) return false;
  uint32_t n = 2 * len + 2, b = data - kHeader;
  if (n > end - data) return false;
  Header h = load(*heap, b);
  if (h.size != -static_cast<int32_t>(n)) return false;
  if (h.next == 0 ? data + n != end : static_cast<uint32_t>(h.next) != data + n) return false;
  // The first block's prev names the last block (checked by heap_view); any
  // other block's predecessor must name it as its next.
  if (b != 0) {
    if (h.prev < 0 || static_cast<uint32_t>(h.prev) + kHeader > b) return false;
    if (static_cast<uint32_t>(load(*heap, static_cast<uint32_t>(h.prev)).next) != b) return false;
  }
  uint16_t terminator;
  std::memcpy(&terminator, *heap + data + 2 * len, 2);
  if (terminator != 0) return false;
  *block = b;
  return true;
}

// Sets the prev of the block after `b` (or, when `b` is last, the first
// block's prev) to `to`.
void relink_after(uint8_t* heap, uint32_t next_of_b, uint32_t to) {
  uint32_t target = next_of_b;  // 0: the first block
  Header h = load(heap, target);
  h.prev = static_cast<int32_t>(to);
  store(heap, target, h);
}

// The offsets of the free blocks of each heap, in address order. First fit
// over this index finds the same block as a walk over every block (held
// blocks never fit) without passing the held ones. Built from the chain when
// a heap is first seen; kept in step by heap_alloc and heap_free.
using FreeIndex = std::set<uint32_t>;
std::unordered_map<uint32_t, FreeIndex> g_free;

FreeIndex& free_index(uint32_t handle, const uint8_t* heap) {
  auto [it, fresh] = g_free.try_emplace(handle);
  if (fresh) {
    uint32_t off = 0;
    for (;;) {
      Header h = load(heap, off);
      if (h.size >= 0) it->second.insert(off);
      if (h.next <= static_cast<int32_t>(off)) break;
      off = static_cast<uint32_t>(h.next);
    }
  }
  return it->second;
}

// Takes free block `off` (of size s >= n) for n bytes, splitting off the
// rest when it is at least a header.
void take(uint8_t* heap, FreeIndex& index, uint32_t off, uint32_t n) {
  Header h = load(heap, off);
  uint32_t s = static_cast<uint32_t>(h.size);
  index.erase(off);
  if (s != n) {
    uint32_t split = off + kHeader + n;
    store(heap, split,
          Header{h.next, static_cast<int32_t>(off), static_cast<int32_t>(s - n - kHeader)});
    index.insert(split);
    h.next = static_cast<int32_t>(split);
    h.size = -static_cast<int32_t>(n);
    store(heap, off, h);
    relink_after(heap, static_cast<uint32_t>(load(heap, split).next), split);
  } else {
    h.size = -static_cast<int32_t>(n);
    store(heap, off, h);
  }
}

// Takes n bytes from the heap and copies `data` there; the data offset, or 0
// when the heap cannot grow. Caller holds the lock.
uint32_t heap_alloc(uint32_t handle, const void* data, uint32_t n) {
  uint8_t* heap = nullptr;
  uint32_t end = 0;
  if (!heap_view(handle, &heap, &end)) return 0;
  FreeIndex& index = free_index(handle, heap);
  uint32_t found = UINT32_MAX;
  for (uint32_t off : index) {
    uint32_t s = static_cast<uint32_t>(load(heap, off).size);
    if (s == n || s >= n + kHeader) {
      found = off;
      break;
    }
  }
  if (found == UINT32_MAX) {
    // Nothing fits: grow by one region, linked after the last block.
    if (end > UINT32_MAX - kGrowth) return 0;
    void* grown = plat::mem_resize(heap, std::size_t{end} + kGrowth);
    if (!grown) return 0;
    heap = static_cast<uint8_t*>(grown);
    uint32_t last = static_cast<uint32_t>(load(heap, 0).prev);
    store(heap, end,
          Header{0, static_cast<int32_t>(last), static_cast<int32_t>(kGrowth - kHeader)});
    Header l = load(heap, last);
    l.next = static_cast<int32_t>(end);
    store(heap, last, l);
    relink_after(heap, 0, end);
    index.insert(end);
    found = end;  // a region holds any string
  }
  take(heap, index, found, n);
  std::memcpy(heap + found + kHeader, data, n);
  return found + kHeader;
}

// Merges the free block after `b` into the free block `b`.
void absorb_next(uint8_t* heap, FreeIndex& index, uint32_t b) {
  Header h = load(heap, b);
  index.erase(static_cast<uint32_t>(h.next));
  Header after = load(heap, static_cast<uint32_t>(h.next));
  h.size += static_cast<int32_t>(kHeader) + after.size;
  h.next = after.next;
  store(heap, b, h);
  relink_after(heap, static_cast<uint32_t>(h.next), b);
}

// Frees the held block at `b` and merges it with free neighbours. Caller
// holds the lock and has checked the block.
void heap_free(uint32_t handle, uint8_t* heap, uint32_t b) {
  FreeIndex& index = free_index(handle, heap);
  Header h = load(heap, b);
  h.size = static_cast<int32_t>(magnitude(h.size));
  store(heap, b, h);
  index.insert(b);
  if (h.next != 0 && load(heap, static_cast<uint32_t>(h.next)).size >= 0)
    absorb_next(heap, index, b);
  // The first block is a neighbour like any other: merging into it keeps two
  // free blocks from ever lying side by side.
  if (b != 0) {
    uint32_t p = static_cast<uint32_t>(h.prev);
    if (load(heap, p).size >= 0) absorb_next(heap, index, p);
  }
}

int32_t bad_string(SystemContext* ctx) {
  return report(ctx, MRV_CP932("指定されたSAQの文字列は文字列ヒープにありません。"));
}

}  // namespace

uint32_t bytes_to_units(const char* text, uint16_t* out, uint32_t max_chars, bool* cut) {
  const plat::LeadBytes lead = plat::country_lead_bytes();
  const auto* s = reinterpret_cast<const uint8_t*>(text ? text : "");
  uint32_t n = 0;
  if (cut) *cut = false;
  while (*s) {
    if (n == max_chars) {
      if (cut) *cut = true;
      break;
    }
    uint8_t c = *s++;
    if (lead(c) && *s != 0) {
      out[n++] = static_cast<uint16_t>(c << 8 | *s++);
    } else {
      out[n++] = c;  // also a lead byte just before the terminator
    }
  }
  out[n] = 0;
  return n;
}

uint32_t units_to_bytes(const uint16_t* units, char* out, uint32_t max_chars, uint32_t cap) {
  uint32_t n = 0, w = 0;
  if (cap == 0) return 0;
  for (; units[n] != 0 && n < max_chars; ++n) {
    uint16_t u = units[n];
    uint32_t need = u < 256 ? 1 : 2;
    if (w + need > cap - 1) break;  // never split a character, keep room for the NUL
    if (u >= 256) out[w++] = static_cast<char>(u >> 8);
    out[w++] = static_cast<char>(u & 0xFF);
  }
  out[w] = 0;
  return w;
}

int32_t read_units(SystemContext* ctx, const FAQ* saq, uint16_t* out, bool quiet) {
  {
    std::lock_guard<std::mutex> guard(g_heap_lock);
    uint8_t* heap = nullptr;
    uint32_t b = 0;
    if (locate(ctx, saq, &heap, &b)) {
      std::memcpy(out, heap + b + kHeader, 2 * saq->word3 + 2);
      return 1;
    }
  }
  // Reported with the lock let go: the box asks the main thread, which may
  // be waiting for the heap to display a value.
  out[0] = 0;
  return quiet ? 0 : bad_string(ctx);
}

// Stores n units (n <= 999) and a terminator into the heap; 0 after a report.
static int32_t store_units(SystemContext* ctx, FAQ* out, const uint16_t* units, uint32_t n) {
  uint32_t data;
  {
    std::lock_guard<std::mutex> guard(g_heap_lock);
    data = heap_alloc(ctx->stringHeap, units, 2 * n + 2);
  }
  if (data == 0) return report(ctx, MRV_CP932("文字列ヒープがオーバーフローしました。"));
  out->type = TYPE_STRING;
  out->word1 = ctx->stringHeap;
  out->word2 = data;
  out->word3 = n;
  return 1;
}

static int32_t too_long(SystemContext* ctx) {
  return report(ctx, MRV_CP932("文字列の長さが1000文字を超えました。"));
}

bool heap_create(SystemContext* ctx) {
  void* p = plat::mem_alloc(kGrowth);
  if (!p) return false;
  store(static_cast<uint8_t*>(p), 0, Header{0, 0, static_cast<int32_t>(kGrowth - kHeader)});
  ctx->stringHeap = plat::mem_handle(p);
  std::lock_guard<std::mutex> guard(g_heap_lock);
  g_free.erase(ctx->stringHeap);  // a handle of an earlier heap may come back
  return true;
}

void heap_destroy(SystemContext* ctx) {
  std::lock_guard<std::mutex> guard(g_heap_lock);
  g_free.erase(ctx->stringHeap);
  if (void* p = ctx->stringHeap ? plat::mem_address(ctx->stringHeap) : nullptr) plat::mem_free(p);
  ctx->stringHeap = 0;
}

int32_t string_release(SystemContext* ctx, FAQ* faq) {
  {
    std::lock_guard<std::mutex> guard(g_heap_lock);
    uint8_t* heap = nullptr;
    uint32_t b = 0;
    if (locate(ctx, faq, &heap, &b)) {
      heap_free(faq->word1, heap, b);
      std::memset(faq, 0, sizeof *faq);
      return 1;
    }
  }
  return bad_string(ctx);  // with the lock let go, as in read_units
}

int32_t string_duplicate(SystemContext* ctx, FAQ* target, const FAQ* source) {
  // Read through a local buffer: this may run while a caller's text sits in
  // the scratch buffers.
  uint16_t units[MRV_WORDBUF];
  if (!read_units(ctx, source, units, false)) return 0;
  return store_units(ctx, target, units, source->word3);
}

int32_t string_concat(SystemContext* ctx, FAQ* a, FAQ* b) {
  if (a->type != TYPE_STRING || b->type != TYPE_STRING)
    return report(ctx, MRV_CP932("接続される2つのSAQは文字列ではありません。"));
  uint32_t la = a->word3, lb = b->word3;
  if (!read_units(ctx, a, ctx->wordBuf1, false) || !read_units(ctx, b, ctx->wordBuf2, false))
    return 0;
  if (!string_release(ctx, a)) return 0;
  if (la + lb >= MRV_WORDBUF) return report(ctx, MRV_CP932("文字列の連結で1000文字を超えました。"));
  std::memcpy(ctx->wordBuf1 + la, ctx->wordBuf2, 2 * lb + 2);
  return store_units(ctx, a, ctx->wordBuf1, la + lb);
}

int32_t string_compare(SystemContext* ctx, FAQ* a, FAQ* b, int32_t* out) {
  if (!read_units(ctx, a, ctx->wordBuf1, false) || !read_units(ctx, b, ctx->wordBuf2, false))
    return 0;
  const uint16_t* x = ctx->wordBuf1;
  const uint16_t* y = ctx->wordBuf2;
  // Equality only: a prefix gives 1, any other difference -1.
  int32_t r = 0;
  for (uint32_t i = 0; i < MRV_WORDBUF; ++i) {
    if (x[i] != y[i]) {
      r = (x[i] == 0 || y[i] == 0) ? 1 : -1;
      break;
    }
    if (x[i] == 0) break;
  }
  *out = r;
  return 1;
}

}  // namespace mrvval

using namespace mrvval;

extern "C" {

MRV_API int32_t MRVRAQ_CheckMode(SystemContext* ctx, FAQ* faq) {
  if (faq->type == TYPE_RECT) return 1;
  return report(ctx, MRV_CP932("指定されたRAQは領域ではありません。"));
}

MRV_API int32_t MRVRAQ_Rect(SystemContext* ctx, FAQ* out, int32_t x, int32_t y, int32_t width,
                            int32_t height) {
  out->type = TYPE_RECT;
  out->word1 = static_cast<uint32_t>(x);
  out->word2 = static_cast<uint32_t>(y);
  out->word3 = static_cast<uint32_t>(width);
  out->word4 = static_cast<uint32_t>(height);
  return 1;
}

MRV_API int32_t MRVRAQ_RaqToRect(SystemContext* ctx, MRVRECT* out, FAQ* faq) {
  if (!MRVRAQ_CheckMode(ctx, faq)) return 0;
  // Wrapping 32-bit sums, as the words are stored.
  out->left = static_cast<int32_t>(faq->word1);
  out->top = static_cast<int32_t>(faq->word2);
  out->right = static_cast<int32_t>(faq->word1 + faq->word3);
  out->bottom = static_cast<int32_t>(faq->word2 + faq->word4);
  return 1;
}

MRV_API int32_t MRVRAQ_RectToRaq(SystemContext* ctx, FAQ* out, const MRVRECT* rect) {
  auto l = static_cast<uint32_t>(rect->left), t = static_cast<uint32_t>(rect->top);
  return MRVRAQ_Rect(ctx, out, rect->left, rect->top,
                     static_cast<int32_t>(static_cast<uint32_t>(rect->right) - l),
                     static_cast<int32_t>(static_cast<uint32_t>(rect->bottom) - t));
}

MRV_API int32_t MRVSTR_CheckMode(SystemContext* ctx, FAQ* faq) {
  if (faq->type == TYPE_STRING) return 1;
  return report(ctx, MRV_CP932("指定されたSAQは文字列ではありません。"));
}

MRV_API int32_t MRVSTR_Word(SystemContext* ctx, uint16_t* out, const char* text) {
  bytes_to_units(text, out, kMaxChars, nullptr);
  return 1;
}

MRV_API int32_t MRVSTR_Byte(SystemContext* ctx, char* out, const uint16_t* text) {
  units_to_bytes(text, out, kMaxChars, 2 * kMaxChars + 1);
  return 1;
}

MRV_API int32_t MRVSTR_SetWord(SystemContext* ctx, FAQ* out, const uint16_t* text) {
  static const uint16_t empty[1] = {0};
  if (!text) text = empty;
  uint32_t n = 0;
  while (text[n] != 0) {
    if (n == kMaxChars) return too_long(ctx);
    ++n;
  }
  return store_units(ctx, out, text, n);
}

MRV_API int32_t MRVSTR_SetByte(SystemContext* ctx, FAQ* out, const char* text) {
  bool cut = false;
  uint32_t n = bytes_to_units(text, ctx->wordBuf1, kMaxChars, &cut);
  if (cut) return too_long(ctx);
  return store_units(ctx, out, ctx->wordBuf1, n);
}

MRV_API int32_t MRVSTR_GetWord(SystemContext* ctx, FAQ* faq, uint16_t* out) {
  if (!MRVSTR_CheckMode(ctx, faq)) return 0;
  return read_units(ctx, faq, out, false);
}

MRV_API int32_t MRVSTR_GetByte(SystemContext* ctx, FAQ* faq, char* out) {
  if (!MRVSTR_GetWord(ctx, faq, ctx->wordBuf1)) return 0;
  return MRVSTR_Byte(ctx, out, ctx->wordBuf1);
}

MRV_API int32_t MRVSTR_Clear(SystemContext* ctx, FAQ* faq) {
  if (!MRVSTR_CheckMode(ctx, faq)) return 0;
  return string_release(ctx, faq);
}

MRV_API int32_t MRVSTR_Append(SystemContext* ctx, FAQ* a, FAQ* b) {
  return string_concat(ctx, a, b);
}

}  // extern "C"
