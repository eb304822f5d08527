// The number cells of DATA rows, one by one and four at once.

#include "arvcore/vlndev/detail/cali_numbers.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "arvcore/value/pynum.hpp"

namespace arvcore::vlndev::detail {
namespace {

// The powers of ten a double holds exactly.
// Number cells of lines read where they lie (see value::CsvCells), eight bytes at a time: the
// eight bytes from a cell's start may be read whatever its length. A cell of up to eight
// digits, with an optional leading "-" and, in a float, one dot, is converted here without a
// loop; any other goes to to_int() or to_float().
constexpr std::uint64_t kOnes = 0x0101010101010101;

// The low `n` bytes (1 to 8).
std::uint64_t low_bytes(int n) {
  return ~std::uint64_t{0} >> (64 - 8 * n);
}

// Whether the bytes of `x` under `low` (its low bytes, the others zero) are all ASCII digits.
bool all_digits(std::uint64_t x, std::uint64_t low) {
  const std::uint64_t zeros = 0x30 * kOnes & low;
  return (x & 0xF0 * kOnes) == zeros && ((x + 0x06 * kOnes) & 0xF0 * kOnes & low) == zeros;
}

// The number that the `n` digits in the low bytes of `x` (those under `low`) make, the first
// byte the most significant; the other bytes are zero.
std::uint64_t digits_value(std::uint64_t x, int n, std::uint64_t low) {
  x = (x - (0x30 * kOnes & low)) << (64 - 8 * n);
  x = x * 10 + (x >> 8);
  return (((x & 0x000000FF000000FF) * 0x000F424000000064) +
          (((x >> 16) & 0x000000FF000000FF) * 0x0000271000000001)) >>
         32;
}

// A short cell: up to eight bytes after an optional "-", read at once with the bytes after
// it cleared. Signs are as often one as the other, so nothing branches on them.
struct ShortCell {
  std::uint64_t bytes = 0;
  std::uint64_t low = 0;  // the bytes of the cell in `bytes`
  int size = 0;
  bool neg = false;

  bool read(std::string_view s) {
    neg = !s.empty() && s[0] == '-';
    size = static_cast<int>(s.size()) - static_cast<int>(neg);
    if (size <= 0 || size > 8) {
      return false;
    }
    low = low_bytes(size);
    bytes = load8(s.data() + static_cast<int>(neg)) & low;
    return true;
  }
  std::int64_t signed_value(std::uint64_t v) const {
    const auto minus = static_cast<std::int64_t>(neg);
    return (static_cast<std::int64_t>(v) ^ -minus) + minus;
  }
  double signed_value(double v) const {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(v) ^
                                 (static_cast<std::uint64_t>(neg) << 63));
  }
};

}  // namespace

double to_float(std::string_view s) {
  const char* p = s.data();
  const char* const e = p + s.size();
  const bool neg = p != e && *p == '-';
  p += (p != e && (*p == '-' || *p == '+')) ? 1 : 0;
  const char* const first = p;
  const char* dot = nullptr;
  std::uint64_t m = 0;
  for (; p != e; ++p) {
    const auto d = static_cast<unsigned>(*p - '0');
    if (d < 10) {
      m = m * 10 + d;
    } else if (*p == '.' && dot == nullptr) {
      dot = p;
    } else {
      return value::parse_float(s);
    }
  }
  const auto digits = (e - first) - (dot != nullptr ? 1 : 0);
  if (digits == 0 || digits > 15) {
    return value::parse_float(s);
  }
  // Both operands are exact (m < 2^53, 10^frac <= 10^15), so the one rounding of the
  // division gives the correctly rounded value, as a full decimal conversion would.
  const double v = static_cast<double>(m) / kPow10[dot != nullptr ? e - dot - 1 : 0];
  return neg ? -v : v;
}

std::int64_t to_int(std::string_view s) {
  const char* p = s.data();
  const char* const e = p + s.size();
  const bool neg = p != e && *p == '-';
  p += (p != e && (*p == '-' || *p == '+')) ? 1 : 0;
  if (p == e || e - p > 18) {
    return value::parse_int(s);
  }
  std::int64_t v = 0;
  for (; p != e; ++p) {
    const auto d = static_cast<unsigned>(*p - '0');
    if (d >= 10) {
      return value::parse_int(s);
    }
    v = v * 10 + d;
  }
  return neg ? -v : v;
}

std::int64_t cell_int(std::string_view s) {
  ShortCell c;
  if (!c.read(s) || !all_digits(c.bytes, c.low)) {
    return to_int(s);
  }
  return c.signed_value(digits_value(c.bytes, c.size, c.low));
}

double cell_float(std::string_view s) {
  ShortCell c;
  if (!c.read(s)) {
    return to_float(s);
  }
  const std::uint64_t dots = c.bytes ^ 0x2E * kOnes;
  const std::uint64_t dot_mask = (dots - kOnes) & ~dots & 0x80 * kOnes & c.low;
  std::uint64_t x = c.bytes;
  std::uint64_t low = c.low;
  int digits = c.size;
  int frac = 0;
  if (dot_mask != 0) {
    // The first dot taken out: the bytes after it move down one.
    const std::uint64_t below = ((dot_mask & (0 - dot_mask)) >> 7) - 1;
    x = (x & below) | ((x >> 8) & ~below);
    low >>= 8;
    digits = c.size - 1;
    frac = digits - std::countr_zero(dot_mask) / 8;
  }
  if (digits == 0 || !all_digits(x, low)) {
    return to_float(s);
  }
  // Exact operands, one rounding: as in to_float.
  return c.signed_value(static_cast<double>(digits_value(x, digits, low)) / kPow10[frac]);
}

#if defined(__x86_64__)
namespace {

// cell_int() of the register cells and cell_float() of the gain and phase cells together, one
// cell in each 64-bit lane of a vector, by the same steps as one by one, packed as a step keeps
// them: the packed entry's numbers lie as the lanes do.
static_assert(sizeof(PackedEntry) == 16 && offsetof(PackedEntry, reg0) == 0 &&
              offsetof(PackedEntry, reg1) == 4 && offsetof(PackedEntry, gain) == 8 &&
              offsetof(PackedEntry, phase) == 12);

#define ARVCORE_AVX2 __attribute__((target("avx2,bmi"), always_inline)) inline

ARVCORE_AVX2 __m256i lanes(long long reg0, long long reg1, long long gain, long long phase) {
  return _mm256_set_epi64x(phase, gain, reg1, reg0);
}

// `kByte` in every byte, loaded whole: cheaper than making it.
template <std::uint64_t kByte>
ARVCORE_AVX2 __m256i repeat() {
  alignas(32) static constexpr std::uint64_t kLanes[4] = {kByte * kOnes, kByte * kOnes,
                                                          kByte * kOnes, kByte * kOnes};
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(kLanes));
}

// The digits of the cells, as cell_int() and cell_float() find them: the first dot of a float
// cell taken out (`first_dot` has its top bit), the digits left in the low bytes, `low` over
// them. `plain` is all ones in a lane whose cell those steps convert.
struct DigitLanes {
  __m256i digits, low, count, first_dot, plain;
};

// `bytes` holds each cell's bytes after its sign, `sizes` their number, `lengths` the cell's.
ARVCORE_AVX2 DigitLanes digit_lanes(__m256i bytes, __m256i sizes, __m256i lengths) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i all = _mm256_set1_epi64x(-1);
  DigitLanes d;
  d.low =
      _mm256_srlv_epi64(all, _mm256_sub_epi64(_mm256_set1_epi64x(64), _mm256_slli_epi64(sizes, 3)));
  __m256i x = _mm256_and_si256(bytes, d.low);
  const __m256i dots = _mm256_xor_si256(x, repeat<0x2E>());
  const __m256i float_cells = lanes(0, 0, -1, -1);
  const __m256i dot_bits =
      _mm256_and_si256(_mm256_andnot_si256(dots, _mm256_sub_epi64(dots, repeat<1>())),
                       _mm256_and_si256(_mm256_and_si256(d.low, float_cells), repeat<0x80>()));
  d.first_dot = _mm256_and_si256(dot_bits, _mm256_sub_epi64(zero, dot_bits));
  const __m256i below = _mm256_add_epi64(_mm256_srli_epi64(d.first_dot, 7), all);
  d.digits = _mm256_or_si256(_mm256_and_si256(x, below),
                             _mm256_andnot_si256(below, _mm256_srli_epi64(x, 8)));
  d.low = _mm256_or_si256(_mm256_and_si256(d.low, below),
                          _mm256_andnot_si256(below, _mm256_srli_epi64(d.low, 8)));
  d.count = _mm256_add_epi64(sizes, _mm256_xor_si256(_mm256_cmpeq_epi64(d.first_dot, zero), all));
  // Nothing but digits, as all_digits(); at least one, and no more than the lane holds.
  const __m256i zeros = _mm256_and_si256(d.low, repeat<0x30>());
  const __m256i high = repeat<0xF0>();
  const __m256i digits_only = _mm256_and_si256(
      _mm256_cmpeq_epi64(_mm256_and_si256(d.digits, high), zeros),
      _mm256_cmpeq_epi64(
          _mm256_and_si256(_mm256_and_si256(_mm256_add_epi64(d.digits, repeat<0x06>()), high),
                           d.low),
          zeros));
  const __m256i sized = _mm256_and_si256(_mm256_cmpgt_epi64(sizes, zero),
                                         _mm256_cmpgt_epi64(_mm256_set1_epi64x(9), lengths));
  d.plain =
      _mm256_and_si256(_mm256_and_si256(digits_only, sized), _mm256_cmpgt_epi64(d.count, zero));
  return d;
}

// The number each lane's digits make, the first the most significant, as digits_value(): the
// digits moved to the top of the lane, then joined in pairs, fours and eights. In each half of
// the result, the 32-bit numbers of its two lanes, then the same again.
ARVCORE_AVX2 __m256i digits_values(const DigitLanes& d) {
  const __m256i top =
      _mm256_sllv_epi64(_mm256_sub_epi64(d.digits, _mm256_and_si256(d.low, repeat<0x30>())),
                        _mm256_sub_epi64(_mm256_set1_epi64x(64), _mm256_slli_epi64(d.count, 3)));
  const __m256i pairs = _mm256_maddubs_epi16(top, _mm256_set1_epi16(0x010A));
  const __m256i fours = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00010064));
  return _mm256_madd_epi16(_mm256_packus_epi32(fours, fours), _mm256_set1_epi32(0x00012710));
}

// The digits after the dot of the cell in lane `kLane` (none without a dot), as cell_float()
// counts them.
template <int kLane>
ARVCORE_AVX2 int fraction_digits(const DigitLanes& d) {
  const auto dot = static_cast<std::uint64_t>(_mm256_extract_epi64(d.first_dot, kLane));
  const auto count = static_cast<int>(_mm256_extract_epi64(d.count, kLane));
  return dot == 0 ? 0 : count - std::countr_zero(dot) / 8;
}

}  // namespace

__attribute__((target("avx2,bmi"))) bool entry_numbers_avx2(const value::CsvCells& cells,
                                                            PackedEntry& out) {
  const std::string_view r0 = cells[kReg0Cell];
  const std::string_view r1 = cells[kReg1Cell];
  const std::string_view g = cells[kGainCell];
  const std::string_view p = cells[kPhaseCell];
  auto bytes = [](std::string_view cell) { return static_cast<long long>(load8(cell.data())); };
  auto length = [](std::string_view cell) { return static_cast<long long>(cell.size()); };
  // A leading "-" is read with the bytes, and taken off them (an empty cell's first byte is the
  // separator after it).
  const __m256i raw = lanes(bytes(r0), bytes(r1), bytes(g), bytes(p));
  const __m256i lengths = lanes(length(r0), length(r1), length(g), length(p));
  const __m256i negs = _mm256_srli_epi64(
      _mm256_cmpeq_epi64(_mm256_and_si256(raw, _mm256_set1_epi64x(0xFF)), _mm256_set1_epi64x('-')),
      63);
  const DigitLanes d = digit_lanes(_mm256_srlv_epi64(raw, _mm256_slli_epi64(negs, 3)),
                                   _mm256_sub_epi64(lengths, negs), lengths);
  if (_mm256_movemask_pd(_mm256_castsi256_pd(d.plain)) != 0xF) {
    return false;
  }
  // The four digit values and signs, one to each 32-bit lane. Eight digits at most: the
  // registers fit 32 bits, the floats' digits 27.
  const __m256i values = digits_values(d);
  const __m128i digits =
      _mm_unpacklo_epi64(_mm256_castsi256_si128(values), _mm256_extracti128_si256(values, 1));
  const __m128i signs = _mm256_castsi256_si128(
      _mm256_permutevar8x32_epi32(negs, _mm256_setr_epi32(0, 2, 4, 6, 0, 0, 0, 0)));
  const __m128i ints =
      _mm_add_epi32(_mm_xor_si128(digits, _mm_sub_epi32(_mm_setzero_si128(), signs)), signs);
  const auto fraction = [](int count) {
    return static_cast<int>(PackedEntry::pack_float(false, 0, static_cast<std::uint32_t>(count)));
  };
  const __m128i floats = _mm_or_si128(
      _mm_or_si128(digits, _mm_slli_epi32(signs, 31)),
      _mm_set_epi32(fraction(fraction_digits<3>(d)), fraction(fraction_digits<2>(d)), 0, 0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&out), _mm_blend_epi32(ints, floats, 0b1100));
  return true;
}

#undef ARVCORE_AVX2
#endif

}  // namespace arvcore::vlndev::detail
