#include "arvcore/value/detail/cpu.hpp"

#include <cstdlib>

namespace arvcore::value {

const bool kHasAvx2 = [] {
#if defined(__x86_64__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0 && std::getenv("ARVCORE_NO_AVX2") == nullptr;
#else
  return false;
#endif
}();

}  // namespace arvcore::value
