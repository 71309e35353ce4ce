#include "numeric/isa.h"

namespace zentrel {

bool isa_supported(Isa isa) {
    switch (isa) {
        case Isa::portable:
            return true;
        case Isa::avx2:
#if ZENTREL_HAVE_AVX2
            // Also checks that the operating system saves the AVX registers.
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2") != 0;
#else
            return false;
#endif
        case Isa::avx512:
#if ZENTREL_HAVE_AVX2
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") &&
                   __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") &&
                   __builtin_cpu_supports("avx512bw");
#else
            return false;
#endif
    }
    return false;
}

Isa preferred_isa() {
    static const Isa chosen = isa_supported(Isa::avx512) ? Isa::avx512
                              : isa_supported(Isa::avx2) ? Isa::avx2
                                                         : Isa::portable;
    return chosen;
}

}  // namespace zentrel
