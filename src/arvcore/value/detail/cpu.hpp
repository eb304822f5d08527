#pragma once
// What the processor offers beyond the build's baseline, looked up once when the library loads.

namespace arvcore::value {

/// Whether AVX2 may be used (x86-64 only). ARVCORE_NO_AVX2 in the environment when the library
/// loads says no on any processor, so that the tests can check the portable paths where AVX2
/// is at hand.
extern const bool kHasAvx2;

/// kHasAvx2, for the readers that ask for every line.
inline bool has_avx2() {
  return kHasAvx2;
}

}  // namespace arvcore::value
