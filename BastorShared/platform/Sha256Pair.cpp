#include "BastorShared/platform/Sha256Pair.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "BastorShared/platform/Sha256.h"

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace bastor::Sha256Pair {

namespace {

void writeHex(const std::uint32_t state[8], char* out) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (int word = 0; word < 8; ++word)
        for (int nibble = 0; nibble < 8; ++nibble)
            out[8 * word + nibble] = kDigits[(state[word] >> (28 - 4 * nibble)) & 0x0f];
}

void separately(Input first, Input second, char* firstOut, char* secondOut) {
    thread_local Sha256 hasher;
    hasher.reset();  // after a throw, it may hold part of an earlier input
    hasher.update(first.head);
    hasher.update(first.tail);
    hasher.finishHex(firstOut);
    hasher.update(second.head);
    hasher.update(second.tail);
    hasher.finishHex(secondOut);
}

#if defined(__x86_64__)

// The 64-byte blocks of head, tail and SHA-256's padding: read in place where
// a block lies wholly inside one piece, else put together in a scratch block.
class PaddedInput {
  public:
    explicit PaddedInput(Input input)
        : head_(input.head),
          tail_(input.tail),
          size_(head_.size() + tail_.size()),
          blocks_((size_ + 8) / 64 + 1) {}

    [[nodiscard]] std::size_t blocks() const { return blocks_; }

    [[nodiscard]] const unsigned char* block(std::size_t index, unsigned char* scratch) const {
        const std::size_t begin = 64 * index;
        if (begin + 64 <= head_.size()) return bytes(head_) + begin;
        if (begin >= head_.size() && begin + 64 <= size_)
            return bytes(tail_) + (begin - head_.size());
        std::memset(scratch, 0, 64);
        copyOverlap(head_, 0, begin, scratch);
        copyOverlap(tail_, head_.size(), begin, scratch);
        if (size_ >= begin && size_ < begin + 64) scratch[size_ - begin] = 0x80;
        if (index + 1 == blocks_) {
            const std::uint64_t bits = static_cast<std::uint64_t>(size_) * 8;
            for (int i = 0; i < 8; ++i)
                scratch[63 - i] = static_cast<unsigned char>(bits >> (8 * i));
        }
        return scratch;
    }

  private:
    static const unsigned char* bytes(std::string_view piece) {
        return reinterpret_cast<const unsigned char*>(piece.data());
    }
    // The bytes of `piece`, which starts at `offset` of the input, that fall
    // in the block starting at `begin`.
    static void copyOverlap(std::string_view piece, std::size_t offset, std::size_t begin,
                            unsigned char* scratch) {
        const std::size_t low = std::max(begin, offset);
        const std::size_t high = std::min(begin + 64, offset + piece.size());
        if (low < high)
            std::memcpy(scratch + (low - begin), bytes(piece) + (low - offset), high - low);
    }

    std::string_view head_;
    std::string_view tail_;
    std::size_t size_;
    std::size_t blocks_;
};

alignas(16) constexpr std::uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
constexpr std::uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

#define BASTOR_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

// The working state as the SHA instructions take it: ABEF and CDGH.
struct Lane {
    __m128i abef;
    __m128i cdgh;
};

BASTOR_SHA_TARGET Lane initialLane() {
    __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kInitialState[0]));
    __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kInitialState[4]));
    low = _mm_shuffle_epi32(low, 0xB1);    // CDAB
    high = _mm_shuffle_epi32(high, 0x1B);  // EFGH
    return {_mm_alignr_epi8(low, high, 8), _mm_blend_epi16(high, low, 0xF0)};
}

BASTOR_SHA_TARGET void finalState(const Lane& lane, std::uint32_t state[8]) {
    const __m128i feba = _mm_shuffle_epi32(lane.abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(lane.cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), _mm_alignr_epi8(dchg, feba, 8));
}

// One block into each of `N` lanes, their rounds interleaved.
template <int N>
BASTOR_SHA_TARGET inline __attribute__((always_inline)) void compress(
    Lane* lanes, const unsigned char* const* blocks) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    __m128i schedule[N][4];  // the last four groups of four message words
    Lane saved[N];
    for (int n = 0; n < N; ++n) {
        saved[n] = lanes[n];
        for (int i = 0; i < 4; ++i)
            schedule[n][i] = _mm_shuffle_epi8(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks[n] + 16 * i)), byteSwap);
    }
#pragma GCC unroll 16
    for (int group = 0; group < 16; ++group) {
        const __m128i constants =
            _mm_load_si128(reinterpret_cast<const __m128i*>(&kRoundConstants[4 * group]));
        for (int n = 0; n < N; ++n) {
            __m128i* w = schedule[n];
            if (group >= 4) {
                __m128i next = _mm_sha256msg1_epu32(w[group & 3], w[(group + 1) & 3]);
                next =
                    _mm_add_epi32(next, _mm_alignr_epi8(w[(group + 3) & 3], w[(group + 2) & 3], 4));
                w[group & 3] = _mm_sha256msg2_epu32(next, w[(group + 3) & 3]);
            }
            __m128i words = _mm_add_epi32(w[group & 3], constants);
            lanes[n].cdgh = _mm_sha256rnds2_epu32(lanes[n].cdgh, lanes[n].abef, words);
            words = _mm_shuffle_epi32(words, 0x0E);
            lanes[n].abef = _mm_sha256rnds2_epu32(lanes[n].abef, lanes[n].cdgh, words);
        }
    }
    for (int n = 0; n < N; ++n) {
        lanes[n].abef = _mm_add_epi32(lanes[n].abef, saved[n].abef);
        lanes[n].cdgh = _mm_add_epi32(lanes[n].cdgh, saved[n].cdgh);
    }
}

BASTOR_SHA_TARGET void interleaved(Input first, Input second, char* firstOut, char* secondOut) {
    const PaddedInput inputs[2] = {PaddedInput(first), PaddedInput(second)};
    alignas(16) unsigned char scratch[2][64];
    Lane lanes[2] = {initialLane(), initialLane()};
    const std::size_t together = std::min(inputs[0].blocks(), inputs[1].blocks());
    for (std::size_t i = 0; i < together; ++i) {
        const unsigned char* blocks[2] = {inputs[0].block(i, scratch[0]),
                                          inputs[1].block(i, scratch[1])};
        compress<2>(lanes, blocks);
    }
    for (int n = 0; n < 2; ++n) {
        for (std::size_t i = together; i < inputs[n].blocks(); ++i) {
            const unsigned char* block = inputs[n].block(i, scratch[n]);
            compress<1>(&lanes[n], &block);
        }
    }
    std::uint32_t state[8];
    finalState(lanes[0], state);
    writeHex(state, firstOut);
    finalState(lanes[1], state);
    writeHex(state, secondOut);
}

#undef BASTOR_SHA_TARGET

bool hasShaInstructions() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    const bool ssse3 = (ecx & bit_SSSE3) != 0;
    const bool sse41 = (ecx & bit_SSE4_1) != 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
    return ssse3 && sse41 && (ebx & bit_SHA) != 0;
}

#endif

}  // namespace

void hexDigests(Input first, Input second, char* firstOut, char* secondOut) {
#if defined(__x86_64__)
    static const bool shaInstructions = hasShaInstructions();
    if (shaInstructions) return interleaved(first, second, firstOut, secondOut);
#endif
    separately(first, second, firstOut, secondOut);
}

}  // namespace bastor::Sha256Pair
