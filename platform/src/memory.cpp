// The block region: one anonymous mapping below 4 GiB, carved into blocks.
//
// Invariant: every byte of the region that is not inside a live block's
// requested size is zero. Fresh pages are zero already; a freed or shrunk
// range is cleared when it is released (small ranges by memset, the page
// interior of large ones by MADV_DONTNEED, which also gives the memory back).
// So a new block never needs clearing, and growth in place only clears the
// few slack bytes that a caller could have written.
//
// Sanitized builds (MRV_MEMORY_GUARDS) keep a guard zone behind every block
// and poison, through AddressSanitizer's manual interface, everything that is
// not inside a live block's requested size: the slack, the guard zone and
// every freed range. AddressSanitizer cannot see the bounds of blocks carved
// out of one mapping by itself; so an overrun into the next block or a read
// of a freed one is reported where it happens.
#include "platform/memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>
#include <utility>

#include "handles.h"

#if defined(__SANITIZE_ADDRESS__)
#define MRV_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MRV_ASAN 1
#endif
#endif
#ifdef MRV_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace plat {
namespace {

constexpr std::size_t kAlign = 16;
constexpr std::size_t kMiB = 1024 * 1024;
constexpr std::size_t kDefaultMiB = 1024;
// Ranges at least this large are returned to the system instead of cleared.
constexpr std::size_t kAdviseMin = 64 * 1024;
// AddressSanitizer's shadow starts at 0x7fff8000 on x86-64; the first choice
// of placement stays below it, higher ones are tried when it is not there.
constexpr uintptr_t kPlacements[] = {0x10000000, 0x20000000, 0x40000000, 0x80000000,
                                     0x100000000};  // the last one only as an end bound
constexpr uintptr_t k4GiB = uintptr_t{1} << 32;
#ifdef MRV_MEMORY_GUARDS
constexpr std::size_t kGuard = 32;  // bytes behind every block, never handed out
#else
constexpr std::size_t kGuard = 0;
#endif

// Marks a range as usable (expose) or as off limits (fence) for
// AddressSanitizer; without it both do nothing.
void expose(uintptr_t at, std::size_t len) {
#ifdef MRV_ASAN
  __asan_unpoison_memory_region(reinterpret_cast<void*>(at), len);
#else
  (void)at, (void)len;
#endif
}
void fence(uintptr_t at, std::size_t len) {
#if defined(MRV_ASAN) && defined(MRV_MEMORY_GUARDS)
  __asan_poison_memory_region(reinterpret_cast<void*>(at), len);
#else
  (void)at, (void)len;
#endif
}

struct Block {
  uint32_t handle;
  std::size_t size;   // as asked
  std::size_t alloc;  // rounded, with the guard zone: what the block occupies
};

// Only the requested bytes of a block at `at` are usable.
void settle(uintptr_t at, const Block& b) {
  expose(at, b.size);
  fence(at + b.size, b.alloc - b.size);
}

class Region {
 public:
  void* alloc(std::size_t size) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!init()) return nullptr;
    std::size_t need = round(size);
    if (need < size) return nullptr;  // overflow
    uintptr_t at = take(need);
    if (at == 0) return nullptr;
    uint32_t h = new_handle();
    const Block& b = blocks_.emplace(at, Block{h, size, need}).first->second;
    settle(at, b);
    handles_.emplace(h, at);
    live_bytes_ += size;
    return reinterpret_cast<void*>(at);
  }

  void* resize(void* p, std::size_t size) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = find(p);
    if (it == blocks_.end()) return nullptr;
    Block& b = it->second;
    uintptr_t at = it->first;
    std::size_t need = round(size);
    if (need < size) return nullptr;
    if (size <= b.size) {
      // Shrink: clear what was given up (and any stray slack writes), give
      // back whole trailing chunks.
      clear(at + size, b.alloc - size);
      if (need < b.alloc) {
        give(at + need, b.alloc - need, /*dirty=*/false);
        b.alloc = need;
      }
      live_bytes_ -= b.size - size;
      b.size = size;
      settle(at, b);
      return p;
    }
    // Grow: the slack between size and alloc may hold stray writes.
    clear(at + b.size, b.alloc - b.size);
    if (need <= b.alloc || extend(at + b.alloc, need - b.alloc)) {
      b.alloc = std::max(b.alloc, need);
      live_bytes_ += size - b.size;
      b.size = size;
      settle(at, b);
      return p;
    }
    uintptr_t to = take(need);
    if (to == 0) {
      settle(at, b);  // the slack was cleared, and so opened
      return nullptr;
    }
    Block moved{b.handle, size, need};
    settle(to, moved);
    std::memcpy(reinterpret_cast<void*>(to), p, b.size);
    live_bytes_ += size - b.size;
    give(at, b.alloc, /*dirty=*/true);
    blocks_.erase(it);
    blocks_.emplace(to, moved);
    handles_[moved.handle] = to;
    return reinterpret_cast<void*>(to);
  }

  bool free(void* p) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = find(p);
    if (it == blocks_.end()) return false;
    live_bytes_ -= it->second.size;
    give(it->first, it->second.alloc, /*dirty=*/true);
    handles_.erase(it->second.handle);
    blocks_.erase(it);
    return true;
  }

  std::size_t size(const void* p) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = find(p);
    return it == blocks_.end() ? 0 : it->second.size;
  }

  uint32_t handle(const void* p) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = find(p);
    return it == blocks_.end() ? 0 : it->second.handle;
  }

  void* address(uint32_t h) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = handles_.find(h);
    return it == handles_.end() ? nullptr : reinterpret_cast<void*>(it->second);
  }

  bool is_block(const void* p) {
    std::lock_guard<std::mutex> lock(mu_);
    return find(p) != blocks_.end();
  }

  std::size_t live_blocks() {
    std::lock_guard<std::mutex> lock(mu_);
    return blocks_.size();
  }
  std::size_t live_bytes() {
    std::lock_guard<std::mutex> lock(mu_);
    return live_bytes_;
  }
  uintptr_t begin() {
    std::lock_guard<std::mutex> lock(mu_);
    init();
    return base_;
  }
  uintptr_t end() {
    std::lock_guard<std::mutex> lock(mu_);
    init();
    return base_ + length_;
  }

 private:
  // What a block of n bytes occupies; less than n on overflow.
  static std::size_t round(std::size_t n) {
    if (n == 0) n = 1;  // every block has an address of its own
    const std::size_t r = (n + kAlign - 1) & ~(kAlign - 1);
    return r < n ? 0 : r + kGuard < r ? 0 : r + kGuard;
  }

  std::unordered_map<uintptr_t, Block>::iterator find(const void* p) {
    return blocks_.find(reinterpret_cast<uintptr_t>(p));
  }

  // Maps the region on first use. The size is read from MRV_MEMORY_MB once.
  bool init() {
    if (tried_) return base_ != 0;
    tried_ = true;
    std::size_t mib = kDefaultMiB;
    if (const char* env = std::getenv("MRV_MEMORY_MB")) {
      char* endp = nullptr;
      unsigned long long v = std::strtoull(env, &endp, 10);
      if (endp != env && *endp == '\0' && v > 0) mib = v < 4096 ? v : 4096;
    }
    std::size_t want = mib * kMiB;
    // Try the preferred placements at the asked size, then halve: a smaller
    // region is better than none (the size is a limit, not a promise).
    for (std::size_t len = want; len >= kMiB; len /= 2) {
      if (map_at(len)) return true;
    }
    return false;
  }

  bool map_at(std::size_t len) {
    const int prot = PROT_READ | PROT_WRITE;
    const int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
    const std::size_t mapped = len + kGuard;
    for (std::size_t i = 0; i + 1 < sizeof(kPlacements) / sizeof(kPlacements[0]); ++i) {
      uintptr_t hint = kPlacements[i];
      if (hint + mapped > k4GiB) break;
      void* m =
          mmap(reinterpret_cast<void*>(hint), mapped, prot, flags | MAP_FIXED_NOREPLACE, -1, 0);
      if (m == MAP_FAILED) continue;
      // Kernels without MAP_FIXED_NOREPLACE take the address as a hint only.
      if (reinterpret_cast<uintptr_t>(m) != hint) {
        if (reinterpret_cast<uintptr_t>(m) + mapped <= k4GiB) return adopt(m, len);
        munmap(m, mapped);
        continue;
      }
      return adopt(m, len);
    }
#ifdef MAP_32BIT
    void* m = mmap(nullptr, mapped, prot, flags | MAP_32BIT, -1, 0);
    if (m != MAP_FAILED) {
      if (reinterpret_cast<uintptr_t>(m) + mapped <= k4GiB) return adopt(m, len);
      munmap(m, mapped);
    }
#endif
    return false;
  }

  // The mapping holds a guard zone beyond the region's end, so that one
  // block can still fill the whole region.
  bool adopt(void* m, std::size_t len) {
    base_ = reinterpret_cast<uintptr_t>(m);
    length_ = len;
    insert_free(base_, len + kGuard);
    return true;
  }

  uint32_t new_handle() {
    return take_handle(next_handle_, [&](uint32_t h) { return handles_.count(h) != 0; });
  }

  // Best fit from the free ranges; 0 when nothing is large enough.
  uintptr_t take(std::size_t need) {
    auto it = by_size_.lower_bound({need, 0});
    if (it == by_size_.end()) return 0;
    auto [len, at] = *it;
    erase_free(at, len);
    if (len > need) insert_free(at + need, len - need);
    return at;
  }

  // Takes [at, at + n) when it lies wholly inside one free range.
  bool extend(uintptr_t at, std::size_t n) {
    auto it = by_addr_.find(at);
    if (it == by_addr_.end() || it->second < n) return false;
    std::size_t len = it->second;
    erase_free(at, len);
    if (len > n) insert_free(at + n, len - n);
    return true;
  }

  // Returns a range to the free list, coalescing with its neighbours; a
  // `dirty` one is cleared first. Freed memory is off limits.
  void give(uintptr_t at, std::size_t len, bool dirty) {
    if (dirty) clear(at, len);
    fence(at, len);
    auto next = by_addr_.find(at + len);
    if (next != by_addr_.end()) {
      std::size_t nlen = next->second;
      erase_free(at + len, nlen);
      len += nlen;
    }
    auto prev = by_addr_.lower_bound(at);
    if (prev != by_addr_.begin()) {
      --prev;
      if (prev->first + prev->second == at) {
        uintptr_t pat = prev->first;
        std::size_t plen = prev->second;
        erase_free(pat, plen);
        at = pat;
        len += plen;
      }
    }
    insert_free(at, len);
  }

  // Zeroes a range; the page-aligned interior of a large one is handed back
  // to the system, which then reads as zero without being touched.
  static void clear(uintptr_t at, std::size_t len) {
    if (len == 0) return;
    expose(at, len);
    static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    if (len >= kAdviseMin) {
      uintptr_t lo = (at + page - 1) & ~(page - 1);
      uintptr_t hi = (at + len) & ~(page - 1);
      if (hi > lo && madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_DONTNEED) == 0) {
        std::memset(reinterpret_cast<void*>(at), 0, lo - at);
        std::memset(reinterpret_cast<void*>(hi), 0, at + len - hi);
        return;
      }
    }
    std::memset(reinterpret_cast<void*>(at), 0, len);
  }

  void insert_free(uintptr_t at, std::size_t len) {
    by_addr_.emplace(at, len);
    by_size_.emplace(len, at);
  }
  void erase_free(uintptr_t at, std::size_t len) {
    by_addr_.erase(at);
    by_size_.erase({len, at});
  }

  std::mutex mu_;
  bool tried_ = false;
  uintptr_t base_ = 0;
  std::size_t length_ = 0;
  std::size_t live_bytes_ = 0;
  uint32_t next_handle_ = 0;
  std::unordered_map<uintptr_t, Block> blocks_;
  std::unordered_map<uint32_t, uintptr_t> handles_;
  std::map<uintptr_t, std::size_t> by_addr_;             // free ranges by start
  std::set<std::pair<std::size_t, uintptr_t>> by_size_;  // free ranges by size
};

// Never destroyed: blocks may be freed by static destructors of other libraries.
Region& region() {
  static Region* r = new Region;
  return *r;
}

}  // namespace

void* mem_alloc(std::size_t size) {
  return region().alloc(size);
}
void* mem_resize(void* p, std::size_t size) {
  return region().resize(p, size);
}
bool mem_free(void* p) {
  return region().free(p);
}
std::size_t mem_size(const void* p) {
  return region().size(p);
}
uint32_t mem_handle(const void* p) {
  return region().handle(p);
}
void* mem_address(uint32_t h) {
  return region().address(h);
}
bool mem_is_block(const void* p) {
  return region().is_block(p);
}
std::size_t mem_live_blocks() {
  return region().live_blocks();
}
std::size_t mem_live_bytes() {
  return region().live_bytes();
}
uintptr_t mem_region_begin() {
  return region().begin();
}
uintptr_t mem_region_end() {
  return region().end();
}
std::size_t mem_guard_size() {
  return kGuard;
}

}  // namespace plat
