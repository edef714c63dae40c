// Bounded copies and appends. Every engine write into a fixed-size character
// buffer goes through these, so no input can run past a buffer: a text that
// does not fit is not written (or cut, for the *_Cut forms) and the caller
// learns it from the result.
#pragma once

#include <cstddef>
#include <cstring>

namespace bounded {

// Copies src (NUL-terminated) into dst[cap]; false, with dst left as the
// empty string, when src plus its NUL does not fit.
inline bool Copy(char* dst, std::size_t cap, const char* src) {
  if (cap == 0) return false;
  std::size_t n = std::strlen(src);
  if (n >= cap) {
    dst[0] = '\0';
    return false;
  }
  std::memcpy(dst, src, n + 1);
  return true;
}

// Copies at most cap - 1 characters of src and terminates; returns the length.
inline std::size_t Copy_Cut(char* dst, std::size_t cap, const char* src) {
  if (cap == 0) return 0;
  std::size_t n = std::strlen(src);
  if (n >= cap) n = cap - 1;
  std::memcpy(dst, src, n);
  dst[n] = '\0';
  return n;
}

// Copies exactly n bytes of src as a string (src need not be terminated).
inline bool Copy_N(char* dst, std::size_t cap, const char* src, std::size_t n) {
  if (n >= cap) {
    if (cap) dst[0] = '\0';
    return false;
  }
  std::memcpy(dst, src, n);
  dst[n] = '\0';
  return true;
}

// Appends src to the string in dst[cap]; false, with dst unchanged, when the
// result would not fit.
inline bool Append(char* dst, std::size_t cap, const char* src) {
  std::size_t have = strnlen(dst, cap);
  if (have >= cap) return false;
  std::size_t n = std::strlen(src);
  if (have + n >= cap) return false;
  std::memcpy(dst + have, src, n + 1);
  return true;
}

// Appends n bytes of src.
inline bool Append_N(char* dst, std::size_t cap, const char* src, std::size_t n) {
  std::size_t have = strnlen(dst, cap);
  if (have >= cap || have + n >= cap) return false;
  std::memcpy(dst + have, src, n);
  dst[have + n] = '\0';
  return true;
}

// Appends one character.
inline bool Append_Char(char* dst, std::size_t cap, char c) {
  return Append_N(dst, cap, &c, 1);
}

template <std::size_t N>
inline bool Copy(char (&dst)[N], const char* src) { return Copy(dst, N, src); }
template <std::size_t N>
inline std::size_t Copy_Cut(char (&dst)[N], const char* src) { return Copy_Cut(dst, N, src); }
template <std::size_t N>
inline bool Append(char (&dst)[N], const char* src) { return Append(dst, N, src); }
template <std::size_t N>
inline bool Append_Char(char (&dst)[N], char c) { return Append_Char(dst, N, c); }

}  // namespace bounded
