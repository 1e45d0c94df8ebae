#include "keydb/Sha256Blocks.h"

#if defined(__x86_64__) || defined(__i386__)

#include <cpuid.h>
#include <immintrin.h>

#define KS_SHA_TARGET __attribute__((target("sha,sse4.1")))

namespace {

// Four rounds with the message words in m[g % 4], and the schedule step that this group feeds:
// finishing the words of group g + 1 (msg2) and starting those of group g + 3 (msg1).
template <int g>
KS_SHA_TARGET __attribute__((always_inline)) inline void Rounds4(__m128i& state0, __m128i& state1,
                                                                 __m128i (&m)[4]) {
    const __m128i k =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kSha256RoundConstants[4 * g]));
    __m128i msg = _mm_add_epi32(m[g % 4], k);
    state1 = _mm_sha256rnds2_epu32(state1, state0, msg);
    if constexpr (g >= 3 && g <= 14) {
        const __m128i tmp = _mm_alignr_epi8(m[g % 4], m[(g + 3) % 4], 4);
        m[(g + 1) % 4] = _mm_add_epi32(m[(g + 1) % 4], tmp);
        m[(g + 1) % 4] = _mm_sha256msg2_epu32(m[(g + 1) % 4], m[g % 4]);
    }
    msg = _mm_shuffle_epi32(msg, 0x0E);
    state0 = _mm_sha256rnds2_epu32(state0, state1, msg);
    if constexpr (g >= 1 && g <= 12) {
        m[(g + 3) % 4] = _mm_sha256msg1_epu32(m[(g + 3) % 4], m[g % 4]);
    }
}

}  // namespace

bool Sha256CpuHasShaNi() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
        return false;
    }
    const bool ssse3 = (ecx & bit_SSSE3) != 0;
    const bool sse41 = (ecx & bit_SSE4_1) != 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) {
        return false;
    }
    const bool sha = (ebx & bit_SHA) != 0;
    return ssse3 && sse41 && sha;
}

KS_SHA_TARGET void Sha256BlocksShaNi(uint32_t state[8], const uint8_t* blocks, size_t count) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);

    // The instructions keep the state as ABEF and CDGH.
    __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));     // DCBA
    __m128i state1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));  // HGFE
    tmp = _mm_shuffle_epi32(tmp, 0xB1);                                             // CDAB
    state1 = _mm_shuffle_epi32(state1, 0x1B);                                       // EFGH
    __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);                               // ABEF
    state1 = _mm_blend_epi16(state1, tmp, 0xF0);                                    // CDGH

    for (; count > 0; --count, blocks += 64) {
        const __m128i abefSave = state0;
        const __m128i cdghSave = state1;
        __m128i m[4];
        for (int i = 0; i < 4; ++i) {
            m[i] = _mm_shuffle_epi8(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * i)), byteSwap);
        }
        Rounds4<0>(state0, state1, m);
        Rounds4<1>(state0, state1, m);
        Rounds4<2>(state0, state1, m);
        Rounds4<3>(state0, state1, m);
        Rounds4<4>(state0, state1, m);
        Rounds4<5>(state0, state1, m);
        Rounds4<6>(state0, state1, m);
        Rounds4<7>(state0, state1, m);
        Rounds4<8>(state0, state1, m);
        Rounds4<9>(state0, state1, m);
        Rounds4<10>(state0, state1, m);
        Rounds4<11>(state0, state1, m);
        Rounds4<12>(state0, state1, m);
        Rounds4<13>(state0, state1, m);
        Rounds4<14>(state0, state1, m);
        Rounds4<15>(state0, state1, m);
        state0 = _mm_add_epi32(state0, abefSave);
        state1 = _mm_add_epi32(state1, cdghSave);
    }

    tmp = _mm_shuffle_epi32(state0, 0x1B);        // FEBA
    state1 = _mm_shuffle_epi32(state1, 0xB1);     // DCHG
    state0 = _mm_blend_epi16(tmp, state1, 0xF0);  // DCBA
    state1 = _mm_alignr_epi8(state1, tmp, 8);     // HGFE
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), state0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), state1);
}

#else

bool Sha256CpuHasShaNi() {
    return false;
}

void Sha256BlocksShaNi(uint32_t state[8], const uint8_t* blocks, size_t count) {
    Sha256BlocksPortable(state, blocks, count);
}

#endif
