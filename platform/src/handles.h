// A table of objects behind 32-bit handles, shared by the platform's sources.
// Handles are never 0 and are not reused while the table holds them.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace plat {

// Hands out the handle after `last` that is neither 0 nor taken (`taken(h)`):
// after the counter wraps, live handles are passed over.
template <typename Taken>
uint32_t take_handle(uint32_t& last, Taken taken) {
  do {
    ++last;
  } while (last == 0 || taken(last));
  return last;
}

template <typename T>
class HandleTable {
 public:
  explicit HandleTable(uint32_t first) : next_(first - 1) {}

  uint32_t add(std::shared_ptr<T> obj) {
    std::lock_guard<std::mutex> lock(mu_);
    const uint32_t h = take_handle(next_, [&](uint32_t k) { return map_.count(k) != 0; });
    map_.emplace(h, std::move(obj));
    return h;
  }
  // The object, or nullptr for a handle that is not in the table.
  std::shared_ptr<T> get(uint32_t h) const {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = map_.find(h);
    return it == map_.end() ? nullptr : it->second;
  }
  std::shared_ptr<T> remove(uint32_t h) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = map_.find(h);
    if (it == map_.end()) return nullptr;
    auto obj = std::move(it->second);
    map_.erase(it);
    return obj;
  }
  // Calls f(handle, object) under the lock until it returns true; that handle, or 0.
  template <typename F>
  uint32_t find_if(F f) const {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& [h, obj] : map_)
      if (f(h, *obj)) return h;
    return 0;
  }

 private:
  mutable std::mutex mu_;
  uint32_t next_;
  std::unordered_map<uint32_t, std::shared_ptr<T>> map_;
};

}  // namespace plat
