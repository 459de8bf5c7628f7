#include "MeskKernels.h"

bool truncSatWith(int path, float t, std::int32_t& out) {
    switch (path) {
        case simd::kPortable:
            out = meskkernels::truncSatPortable(t);
            return true;
#if BRINDLEX_X86_SIMD
        case simd::kSse2:
            out = meskkernels::truncSatSse2(t);
            return true;
#endif
        default:
            return false;
    }
}
