// Atomic accessors for plain shared memory (the session table, command
// buffers and settings keep their fixed layouts; every access that crosses
// threads goes through these).
#pragma once

#include <atomic>
#include <cstddef>

namespace platform {

template <typename T>
inline T Load(const T& field) {
  return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_acquire);
}

template <typename T>
inline void Store(T& field, T value) {
  std::atomic_ref<T>(field).store(value, std::memory_order_release);
}

// Byte-wise relaxed copy into shared memory; the caller publishes it with a
// release store of a flag or first byte.
inline void Store_Bytes(char* dst, const char* src, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    std::atomic_ref<char>(dst[i]).store(src[i], std::memory_order_relaxed);
}

inline void Load_Bytes(char* dst, const char* src, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    dst[i] = std::atomic_ref<char>(const_cast<char&>(src[i])).load(std::memory_order_relaxed);
}

inline void Fill_Bytes(char* dst, char c, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    std::atomic_ref<char>(dst[i]).store(c, std::memory_order_relaxed);
}

}  // namespace platform
