#include "surfaces/work.h"

#include <atomic>

namespace pv {

namespace {
std::atomic<bool> vectorKernelsWanted{true};
}

bool vectorKernels()
{
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2 && vectorKernelsWanted.load(std::memory_order_relaxed);
#else
    return false;
#endif
}

void useVectorKernels(bool on) { vectorKernelsWanted.store(on); }

} // namespace pv
