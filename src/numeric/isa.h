// Which build of the vectorised loops runs. Every variant computes the same
// bits (IEEE operations element by element, no fused multiply-add); they
// differ only in vector width and instructions. The AVX2 variants exist
// where GCC or Clang target x86; everywhere else (e.g. MSVC) only the
// portable loop is built. The AVX-512 variants are the AVX2 loops built
// with AVX-512's mask registers and 32 vector registers, still 256 bits
// wide (512-bit vectors made the fits no faster); stages without one of
// their own take the AVX2 loop there.
#pragma once

namespace zentrel {

enum class Isa { portable, avx2, avx512 };

// True when this build has the variant and the processor runs it.
bool isa_supported(Isa isa);

// The widest supported variant, chosen once.
Isa preferred_isa();

}  // namespace zentrel

// Pointers that are the only way to reach their data (every supported
// compiler spells it this way).
#define ZENTREL_RESTRICT __restrict

// ZENTREL_PLAIN_LOOPS builds only what a compiler without GCC's vector
// extensions gets (as MSVC does), to test that path anywhere.
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__)) && \
    !defined(ZENTREL_PLAIN_LOOPS)
#define ZENTREL_HAVE_AVX2 1
#define ZENTREL_TARGET_AVX2 __attribute__((target("avx2")))
#define ZENTREL_TARGET_AVX512 __attribute__((target("avx2,avx512f,avx512dq,avx512vl,avx512bw")))
#define ZENTREL_FORCE_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define ZENTREL_HAVE_AVX2 0
#define ZENTREL_FORCE_INLINE __forceinline
#elif defined(__GNUC__) || defined(__clang__)
#define ZENTREL_HAVE_AVX2 0
#define ZENTREL_FORCE_INLINE inline __attribute__((always_inline))
#else
#define ZENTREL_HAVE_AVX2 0
#define ZENTREL_FORCE_INLINE inline
#endif
