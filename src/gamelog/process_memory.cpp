#include "gamelog/process_memory.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TIDEMARK_FIND_AVX2 1
#include <immintrin.h>
#endif

namespace tidemark {

std::int32_t ProcessMemory::readU32(std::uint64_t address) const {
    std::uint8_t bytes[4];
    if (readMemory(address, bytes, sizeof bytes) < sizeof bytes) return -1;
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | bytes[i];
    return static_cast<std::int32_t>(value);
}

std::uint64_t ProcessMemory::readPointer(std::uint64_t address) const {
    std::uint8_t bytes[8];
    if (readMemory(address, bytes, sizeof bytes) < sizeof bytes) return ~std::uint64_t{0};
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
    return value;
}

namespace {

// Whether the pattern starts at `data`, its first and last bytes being
// already known to match.
inline bool matchesAt(const std::uint8_t* data, const std::uint8_t* pattern, std::size_t length) {
    return length <= 2 || std::memcmp(data + 1, pattern + 1, length - 2) == 0;
}

#if defined(__SSE2__)
// Candidate starts among the 16 at `data`, as set bytes: first byte and last
// byte of the pattern both in place. Testing both keeps the candidates rare
// even when the first byte is a frequent separator.
inline __m128i candidates16(const std::uint8_t* data, std::size_t lastOffset, __m128i first, __m128i last) {
    __m128i head = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
    __m128i tail = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + lastOffset));
    return _mm_and_si128(_mm_cmpeq_epi8(head, first), _mm_cmpeq_epi8(tail, last));
}

inline std::uint64_t bits(__m128i candidates) {
    return static_cast<std::uint32_t>(_mm_movemask_epi8(candidates));
}
#endif

#if defined(TIDEMARK_FIND_AVX2)
#define TIDEMARK_AVX2 __attribute__((target("avx2")))

TIDEMARK_AVX2 inline __m256i candidates32(const std::uint8_t* data, std::size_t lastOffset, __m256i first,
                                          __m256i last) {
    const __m256i head = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data));
    const __m256i tail = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + lastOffset));
    return _mm256_and_si256(_mm256_cmpeq_epi8(head, first), _mm256_cmpeq_epi8(tail, last));
}

TIDEMARK_AVX2 inline std::uint64_t bits64(__m256i low, __m256i high) {
    return std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(low))} |
           std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(high))} << 32;
}

// The same scan over 128 starts at a time where the processor has the wider
// registers: with half the instructions per byte it keeps up with memory,
// which the 16-byte scan does not quite. Advances `position` past every
// block it searched.
TIDEMARK_AVX2 std::size_t findInWideBlocks(const std::uint8_t* pattern, std::size_t patternLength,
                                           const std::uint8_t* data, std::size_t lastStart, std::size_t& position) {
    const std::size_t lastOffset = patternLength - 1;
    const __m256i first = _mm256_set1_epi8(static_cast<char>(pattern[0]));
    const __m256i last = _mm256_set1_epi8(static_cast<char>(pattern[lastOffset]));
    // As in the narrow scan, the last load of a block ends on the data's last byte at most.
    while (position + 127 <= lastStart) {
        const std::uint8_t* block = data + position;
        const __m256i c0 = candidates32(block, lastOffset, first, last);
        const __m256i c1 = candidates32(block + 32, lastOffset, first, last);
        const __m256i c2 = candidates32(block + 64, lastOffset, first, last);
        const __m256i c3 = candidates32(block + 96, lastOffset, first, last);
        const __m256i any = _mm256_or_si256(_mm256_or_si256(c0, c1), _mm256_or_si256(c2, c3));
        if (!_mm256_testz_si256(any, any)) {
            for (std::size_t half = 0; half < 2; ++half) {
                std::uint64_t mask = half == 0 ? bits64(c0, c1) : bits64(c2, c3);
                while (mask != 0) {
                    const std::size_t start = position + 64 * half + static_cast<std::size_t>(std::countr_zero(mask));
                    if (matchesAt(data + start, pattern, patternLength)) return start;
                    mask &= mask - 1;
                }
            }
        }
        position += 128;
    }
    return kNotFound;
}

bool hasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

}  // namespace

std::size_t findBytes(const std::uint8_t* pattern, std::size_t patternLength, const std::uint8_t* data,
                      std::size_t dataLength) {
    if (patternLength == 0) return 0;
    if (patternLength > dataLength) return kNotFound;
    // Every start from 0 to lastStart leaves room for the whole pattern, so
    // a match ending on the last byte of the data is found too.
    const std::size_t lastStart = dataLength - patternLength;
    const std::size_t lastOffset = patternLength - 1;
    std::size_t position = 0;

#if defined(TIDEMARK_FIND_AVX2)
    if (hasAvx2())
        if (const std::size_t start = findInWideBlocks(pattern, patternLength, data, lastStart, position);
            start != kNotFound)
            return start;
#endif
#if defined(__SSE2__)
    // The loads of a block stay inside the data: its 16th start is at most
    // lastStart, so its last byte is at most the data's last byte.
    const __m128i first = _mm_set1_epi8(static_cast<char>(pattern[0]));
    const __m128i last = _mm_set1_epi8(static_cast<char>(pattern[lastOffset]));
    while (position + 63 <= lastStart) {
        const std::uint8_t* block = data + position;
        __m128i c0 = candidates16(block, lastOffset, first, last);
        __m128i c1 = candidates16(block + 16, lastOffset, first, last);
        __m128i c2 = candidates16(block + 32, lastOffset, first, last);
        __m128i c3 = candidates16(block + 48, lastOffset, first, last);
        // Most blocks hold no candidate: one test for all 64 starts.
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(c0, c1), _mm_or_si128(c2, c3))) != 0) {
            std::uint64_t mask = bits(c0) | bits(c1) << 16 | bits(c2) << 32 | bits(c3) << 48;
            while (mask != 0) {  // lowest bit first: the lowest occurrence wins
                std::size_t start = position + static_cast<std::size_t>(std::countr_zero(mask));
                if (matchesAt(data + start, pattern, patternLength)) return start;
                mask &= mask - 1;
            }
        }
        position += 64;
    }
    while (position + 15 <= lastStart) {
        std::uint64_t mask = bits(candidates16(data + position, lastOffset, first, last));
        while (mask != 0) {
            std::size_t start = position + static_cast<std::size_t>(std::countr_zero(mask));
            if (matchesAt(data + start, pattern, patternLength)) return start;
            mask &= mask - 1;
        }
        position += 16;
    }
#endif

    // The last few starts (or every start without SSE2): jump from one
    // first byte to the next and compare the whole pattern there.
    while (position <= lastStart) {
        const void* hit = std::memchr(data + position, pattern[0], lastStart - position + 1);
        if (hit == nullptr) return kNotFound;
        std::size_t start = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - data);
        if (std::memcmp(data + start, pattern, patternLength) == 0) return start;
        position = start + 1;
    }
    return kNotFound;
}

}  // namespace tidemark
