#include "store/line_scan.h"

#include <cstddef>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace lodemig {

namespace {

using Scanner = const char* (*)(const char* from, const char* end, int lineStart);

// One LF at a time, for the bytes the vector loops leave; the byte before
// `from` is readable.
const char* scanTail(const char* from, const char* end, int lineStart) {
  for (const char* p = from; p < end; ++p) {
    p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    if (p == nullptr) {
      return end;
    }
    if (p[-1] != '\r' || p + 1 == end || static_cast<unsigned char>(p[1]) == lineStart) {
      return p;
    }
  }
  return end;
}

#if defined(__x86_64__)

// SSE2 is part of every x86-64 processor.
const char* scanSse2(const char* from, const char* end, int lineStart) {
  const __m128i lineFeed = _mm_set1_epi8('\n');
  const __m128i carriageReturn = _mm_set1_epi8('\r');
  const __m128i startByte = _mm_set1_epi8(static_cast<char>(lineStart));
  const bool anyStart = lineStart >= 0;
  const char* p = from;
  // Each step reads one byte before and one byte after its 16.
  for (; end - p > 16; p += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const int feeds = _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, lineFeed));
    if (feeds == 0) {
      continue;
    }
    const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p - 1));
    int notable = ~_mm_movemask_epi8(_mm_cmpeq_epi8(before, carriageReturn));
    if (anyStart) {
      const __m128i after = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
      notable |= _mm_movemask_epi8(_mm_cmpeq_epi8(after, startByte));
    }
    notable &= feeds;
    if (notable != 0) {
      return p + __builtin_ctz(static_cast<unsigned>(notable));
    }
  }
  return scanTail(p, end, lineStart);
}

__attribute__((target("avx2"))) const char* scanAvx2(const char* from, const char* end,
                                                     int lineStart) {
  const __m256i lineFeed = _mm256_set1_epi8('\n');
  const __m256i carriageReturn = _mm256_set1_epi8('\r');
  const __m256i startByte = _mm256_set1_epi8(static_cast<char>(lineStart));
  const bool anyStart = lineStart >= 0;
  const char* p = from;
  for (; end - p > 32; p += 32) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const unsigned feeds =
        static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, lineFeed)));
    if (feeds == 0) {
      continue;
    }
    const __m256i before = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p - 1));
    unsigned notable =
        ~static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(before, carriageReturn)));
    if (anyStart) {
      const __m256i after = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 1));
      notable |= static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(after, startByte)));
    }
    notable &= feeds;
    if (notable != 0) {
      return p + __builtin_ctz(notable);
    }
  }
  return scanSse2(p, end, lineStart);
}

Scanner chooseScanner() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? scanAvx2 : scanSse2;
}

#else

Scanner chooseScanner() {
  return scanTail;
}

#endif

}  // namespace

const char* findNotableLineFeed(const char* begin, const char* from, const char* end,
                                int lineStart) {
  if (from >= end) {
    return end;
  }
  if (from == begin) {
    if (*from == '\n') {
      return from;
    }
    ++from;
  }
  static const Scanner scan = chooseScanner();
  return scan(from, end, lineStart);
}

}  // namespace lodemig
