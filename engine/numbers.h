// Conversions of a script's or a peer's number to an integer of any width.
// Every command that reads a number into an integer type goes through
// these (or through VmTruncInt32 and the argument checks of
// engine/engine.h, which saturate or keep a 32-bit pattern), so no NaN,
// infinity or value out of range ever reaches a conversion that the
// language leaves undefined.
#pragma once

#include <cstdint>
#include <limits>
#include <type_traits>

#include "engine/engine.h"

// The integer of type T that d truncates to (toward zero); false, with *out
// untouched, for NaN, infinities and values whose truncation T cannot hold.
// The bounds are powers of two, exact as doubles; every double of 2^53 or
// more in magnitude is whole, so 64-bit types compare without rounding.
template <typename T>
inline bool VmIntegerOf(double d, T* out) {
  static_assert(std::is_integral_v<T>, "an integer type");
  constexpr int BITS = std::numeric_limits<T>::digits;
  constexpr double ABOVE = static_cast<double>(uintmax_t{1} << (BITS - 1)) * 2.0;  // 2^BITS
  bool fits;
  if constexpr (!std::is_signed_v<T>)
    fits = d > -1.0 && d < ABOVE;
  else if constexpr (BITS < 53)
    fits = d > -ABOVE - 1.0 && d < ABOVE;
  else
    fits = d >= -ABOVE && d < ABOVE;
  if (!fits) return false;
  *out = static_cast<T>(d);
  return true;
}

// d truncated toward zero into T, saturating at T's ends; NaN gives 0.
// The form for the places where a value is clamped rather than refused
// (VmTruncInt32 is its 32-bit case).
template <typename T>
inline T VmSaturateInt(double d) {
  T value = 0;
  if (VmIntegerOf(d, &value) || d != d) return value;
  return d > 0 ? std::numeric_limits<T>::max() : std::numeric_limits<T>::min();
}

// A number argument as an integer of type T, truncated toward zero, for the
// commands that need a width or a range the 32-bit pattern of
// VmCheckInteger cannot give (positions, sizes, counts of 64 bits). A value
// that is no number raises 1138 as VmCheckNumber does; NaN, infinities and
// values outside T's range are returned as bad (the command's error for a
// bad value), with *out untouched.
template <typename T>
ErrorCode VmCheckIntegerOf(VmState* L, int index, T* out, ErrorCode bad = ERR_WRONGUSAGE) {
  return VmIntegerOf(VmCheckNumber(L, index), out) ? ERR_NONE : bad;
}
