// The "math" library: arithmetic on doubles, rounding, 32-bit word
// operations, rotations, casts, byte swaps, trigonometry, logarithms and
// random numbers.
//
// Invariant: every command reads and checks all its arguments before it
// pushes anything, and every double that becomes an integer goes through
// one of two conversions: T (truncation, -2147483648 when out of range) or
// I (the engine's integer check, keeping the low 32 bits).
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "engine/engine.h"
#include "libs/libs.h"
#include "libs/libs_private.h"
#include "platform/linux/platform.h"
#include "runtime/runtime.h"

namespace {

constexpr double DEG_TO_RAD = 0.017453292519943295;  // pi / 180, used as written
constexpr double LOG10_OF_2 = 0.3010299956639812;
constexpr int32_t TYPE_INTEGER = 1;
constexpr int32_t TYPE_STRING = 3;
constexpr int32_t TYPE_SHORT = 6;
constexpr int32_t TYPE_BYTE = 7;

// T(x): truncation toward zero; out of the signed 32-bit range, or NaN,
// gives -2147483648 (the scripts' long-standing reading of such values,
// which Rnd relies on to refuse ranges above 2147483647).
int32_t truncT(double x) {
  if (!(x > -2147483649.0 && x < 2147483648.0)) return INT32_MIN;
  return VmTruncInt32(x);
}

uint32_t argI(VmState* L, int index) { return static_cast<uint32_t>(VmCheckInteger(L, index)); }
int32_t argT(VmState* L, int index) { return truncT(VmCheckNumber(L, index)); }

int pushNumber(VmState* L, double v) {
  VmPushNumber(L, v);
  return 1;
}
int pushU32(VmState* L, uint32_t v) { return pushNumber(L, static_cast<double>(v)); }
int pushS32(VmState* L, int32_t v) { return pushNumber(L, static_cast<double>(v)); }

using Unary = double (*)(double);

template <Unary F>
int unaryCommand(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  return pushNumber(L, F(VmCheckNumber(L, 1)));
}

double absOf(double x) { return std::fabs(x); }
double sinOf(double x) { return std::sin(x); }
double cosOf(double x) { return std::cos(x); }
double tanOf(double x) { return std::tan(x); }
double asinOf(double x) { return std::asin(x); }
double acosOf(double x) { return std::acos(x); }
double atanOf(double x) { return std::atan(x); }
double ceilOf(double x) { return std::ceil(x); }
double floorOf(double x) { return std::floor(x); }
double sqrtOf(double x) { return std::sqrt(x); }
double ldOf(double x) { return std::log10(x) / LOG10_OF_2; }
double lnOf(double x) { return std::log(x); }
double expOf(double x) { return std::exp(x); }
double degOf(double x) { return x / DEG_TO_RAD; }
double radOf(double x) { return x * DEG_TO_RAD; }
double fracOf(double x) {
  double whole;
  return std::modf(x, &whole);
}

int cmdATan2(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  double y = VmCheckNumber(L, 1);
  return pushNumber(L, std::atan2(y, VmCheckNumber(L, 2)));
}

int cmdMod(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  double b = VmCheckNumber(L, 2);
  if (b == 0) return ERR_ZERODIVISION;
  return pushNumber(L, std::fmod(VmCheckNumber(L, 1), b));
}

int cmdFrExp(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  int e = 0;
  double m = std::frexp(VmCheckNumber(L, 1), &e);
  VmPushNumber(L, m);
  VmPushNumber(L, e);
  return 2;
}

int cmdLdExp(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  double m = VmCheckNumber(L, 1);
  return pushNumber(L, std::ldexp(m, argT(L, 2)));
}

// Min and Max: an argument replaces the current value only when strictly
// smaller (greater), so the first of equal values wins and a NaN never
// replaces anything.
template <bool Greater>
int extremeCommand(VmState* L) {
  CheckArgCount(L, 2, -1, 0, 0);
  int n = VmGetTop(L);
  double best = VmCheckNumber(L, 1);
  for (int i = 2; i <= n; i++) {
    double v = VmCheckNumber(L, i);
    if (Greater ? v > best : v < best) best = v;
  }
  return pushNumber(L, best);
}

using Binary = double (*)(double, double);

template <Binary F>
int binaryCommand(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  double a = VmCheckNumber(L, 1);
  return pushNumber(L, F(a, VmCheckNumber(L, 2)));
}

double logOf(double x, double b) { return std::log10(x) / std::log10(b); }
double powOf(double x, double y) { return std::pow(x, y); }
double addOf(double a, double b) { return a + b; }
double subOf(double a, double b) { return a - b; }
double mulOf(double a, double b) { return a * b; }
double hypotOf(double a, double b) { return std::hypot(a, b); }

int cmdRnd(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  int32_t r = argT(L, 1);
  if (r < 0) return ERR_WRONGUSAGE;
  return pushS32(L, truncT(drand48() * r));
}

int cmdRndF(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  return pushNumber(L, drand48());
}

int cmdDiv(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  double b = VmCheckNumber(L, 2);
  if (b == 0) return ERR_ZERODIVISION;
  return pushNumber(L, VmCheckNumber(L, 1) / b);
}

int cmdRound(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  return pushS32(L, truncT(std::nearbyint(VmCheckNumber(L, 1))));
}

int cmdInt(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  return pushS32(L, argT(L, 1));
}

int cmdShr(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  uint32_t x = argI(L, 1);
  return pushU32(L, x >> (argT(L, 2) & 31));
}

int cmdShl(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  uint32_t x = argI(L, 1);
  return pushU32(L, x << (argT(L, 2) & 31));
}

int cmdSar(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  int32_t x = static_cast<int32_t>(argI(L, 1));
  return pushS32(L, x >> (argT(L, 2) & 31));
}

int cmdRt(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  double n = VmCheckNumber(L, 2);
  if (n == 0) return ERR_ZERODIVISION;
  if (n < 0) return ERR_WRONGUSAGE;
  return pushNumber(L, std::pow(VmCheckNumber(L, 1), 1.0 / n));
}

int cmdWrap(VmState* L) {
  CheckArgCount(L, 3, 3, 0, 0);
  double x = VmCheckNumber(L, 1), low = VmCheckNumber(L, 2), high = VmCheckNumber(L, 3);
  if (x < low) return pushNumber(L, x + (high - low));
  if (x >= high) return pushNumber(L, x - (high - low));
  return pushNumber(L, x);
}

int cmdLimit(VmState* L) {
  CheckArgCount(L, 3, 3, 0, 0);
  double x = VmCheckNumber(L, 1), low = VmCheckNumber(L, 2), high = VmCheckNumber(L, 3);
  if (x < low) return pushNumber(L, low);
  if (x > high) return pushNumber(L, high);
  return pushNumber(L, x);
}

// Reads (x, n) of the bit commands; false when n is no bit number.
bool bitArgs(VmState* L, uint32_t* x, uint32_t* bit) {
  CheckArgCount(L, 2, 2, 0, 0);
  *x = argI(L, 1);
  int32_t n = argT(L, 2);
  if (n < 0 || n > 31) return false;
  *bit = 1u << n;
  return true;
}

int cmdBitSet(VmState* L) {
  uint32_t x, bit;
  if (!bitArgs(L, &x, &bit)) return ERR_WRONGUSAGE;
  return pushU32(L, x | bit);
}

int cmdBitTest(VmState* L) {
  uint32_t x, bit;
  if (!bitArgs(L, &x, &bit)) return ERR_WRONGUSAGE;
  return pushNumber(L, (x & bit) ? 1 : 0);
}

int cmdBitClear(VmState* L) {
  uint32_t x, bit;
  if (!bitArgs(L, &x, &bit)) return ERR_WRONGUSAGE;
  return pushU32(L, x & ~bit);
}

int cmdBitXor(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  uint32_t a = argI(L, 1);
  return pushU32(L, a ^ argI(L, 2));
}

int cmdBitComplement(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  return pushU32(L, ~argI(L, 1));
}

int cmdSgn(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  double x = VmCheckNumber(L, 1);
  return pushNumber(L, x < 0 ? -1 : (x > 0 ? 1 : 0));
}

// Rotation of x by c within the type's width. The narrow widths combine a
// shift by c and a shift by width - c, each count taken modulo 32, and mask
// the result, so counts from 0 to the width rotate.
int rotate(VmState* L, bool left) {
  CheckArgCount(L, 2, 3, 0, 0);
  int32_t c = argT(L, 2);
  int32_t type = VmType(L, 3) == VM_TYPE_NONE ? TYPE_INTEGER : argT(L, 3);
  uint32_t x = argI(L, 1);
  uint32_t width, mask;
  switch (type) {
    case TYPE_INTEGER: {
      uint32_t k = static_cast<uint32_t>(c) & 31;
      if (k == 0) return pushU32(L, x);
      return pushU32(L, left ? (x << k) | (x >> (32 - k)) : (x >> k) | (x << (32 - k)));
    }
    case TYPE_SHORT:
      width = 16;
      mask = 0xFFFF;
      break;
    case TYPE_BYTE:
      width = 8;
      mask = 0xFF;
      break;
    default:
      return ERR_WRONGUSAGE;
  }
  uint32_t v = x & mask;
  uint32_t a = static_cast<uint32_t>(c) & 31;
  uint32_t b = (width - static_cast<uint32_t>(c)) & 31;
  uint32_t r = left ? (v << a) | (v >> b) : (v >> a) | (v << b);
  return pushU32(L, r & mask);
}

int cmdRol(VmState* L) { return rotate(L, true); }
int cmdRor(VmState* L) { return rotate(L, false); }

int cmdCast(VmState* L) {
  CheckArgCount(L, 3, 3, 0, 0);
  uint32_t v = argI(L, 1);
  bool isSigned = argT(L, 2) != 0;
  switch (argT(L, 3)) {
    case TYPE_INTEGER:
      return isSigned ? pushS32(L, static_cast<int32_t>(v)) : pushU32(L, v);
    case TYPE_SHORT:
      return isSigned ? pushS32(L, static_cast<int16_t>(v & 0xFFFF)) : pushU32(L, v & 0xFFFF);
    case TYPE_BYTE:
      return isSigned ? pushS32(L, static_cast<int8_t>(v & 0xFF)) : pushU32(L, v & 0xFF);
    default:
      return ERR_WRONGUSAGE;
  }
}

int cmdEndianSwap(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  uint32_t x = argI(L, 1);
  switch (argT(L, 2)) {
    case 16:
      return pushU32(L, ((x & 0xFF) << 8) | ((x >> 8) & 0xFF));
    case 32:
      return pushU32(L, __builtin_bswap32(x));
    default:
      return ERR_WRONGUSAGE;
  }
}

int cmdRndStrong(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  int32_t type = argT(L, 1);
  uint32_t n = argI(L, 2);
  if (type == TYPE_INTEGER) {
    uint32_t w;
    if (!ReadRandomBytes(&w, sizeof w)) return ERR_RANDOMIZE;
    return pushU32(L, n == UINT32_MAX ? w : w % (n + 1));
  }
  if (type == TYPE_STRING) {
    if (n == 0) return ERR_MEM;
    // Owned, so that it is freed when pushing the string raises.
    OwnedMemory<char> buffer(static_cast<char*>(AllocMemory(n, 0)));
    if (!buffer) return ERR_MEM;
    if (!ReadRandomBytes(buffer.get(), n)) return ERR_RANDOMIZE;
    VmPushLString(L, buffer.get(), n);
    return 1;
  }
  return ERR_WRONGUSAGE;
}

const CommandTableEntry mathCommands[] = {
    {"Abs", unaryCommand<absOf>},
    {"Sin", unaryCommand<sinOf>},
    {"Cos", unaryCommand<cosOf>},
    {"Tan", unaryCommand<tanOf>},
    {"ASin", unaryCommand<asinOf>},
    {"ACos", unaryCommand<acosOf>},
    {"ATan", unaryCommand<atanOf>},
    {"ATan2", cmdATan2},
    {"Ceil", unaryCommand<ceilOf>},
    {"Floor", unaryCommand<floorOf>},
    {"Mod", cmdMod},
    {"FrExp", cmdFrExp},
    {"LdExp", cmdLdExp},
    {"Sqrt", unaryCommand<sqrtOf>},
    {"Min", extremeCommand<false>},
    {"Max", extremeCommand<true>},
    {"Log", binaryCommand<logOf>},
    {"Ld", unaryCommand<ldOf>},
    {"Ln", unaryCommand<lnOf>},
    {"Exp", unaryCommand<expOf>},
    {"Deg", unaryCommand<degOf>},
    {"Pow", binaryCommand<powOf>},
    {"Rad", unaryCommand<radOf>},
    {"Rnd", cmdRnd},
    {"RndF", cmdRndF},
    {"Add", binaryCommand<addOf>},
    {"Sub", binaryCommand<subOf>},
    {"Div", cmdDiv},
    {"Mul", binaryCommand<mulOf>},
    {"Round", cmdRound},
    {"Int", cmdInt},
    {"Frac", unaryCommand<fracOf>},
    {"Shr", cmdShr},
    {"Shl", cmdShl},
    {"Rt", cmdRt},
    {"Wrap", cmdWrap},
    {"Limit", cmdLimit},
    {"BitSet", cmdBitSet},
    {"BitTest", cmdBitTest},
    {"BitClear", cmdBitClear},
    {"BitXor", cmdBitXor},
    {"BitComplement", cmdBitComplement},
    {"Sgn", cmdSgn},
    {"Sar", cmdSar},
    {"Ror", cmdRor},
    {"Rol", cmdRol},
    {"Cast", cmdCast},
    {"Hypot", binaryCommand<hypotOf>},
    {"EndianSwap", cmdEndianSwap},
    {"RndStrong", cmdRndStrong},
    {nullptr, nullptr},
};

const ConstantTableEntry mathConstants[] = {
    {"PI", nullptr, 3.141592653589793},
    {nullptr, nullptr, 0},
};

// Set by tests before the library opens: the seed to use instead of the
// time. Negative: none.
int64_t seedOverride = -1;

}  // namespace

void SeedMathGenerators(int64_t seed) {
  srand48(static_cast<long>(seed));
  std::srand(static_cast<unsigned>(seed));
}

void SetMathSeedOverride(int64_t seed) { seedOverride = seed; }

ErrorCode OpenMathLibrary(VmState* L) {
  ErrorCode err = RegisterLibrary(mathCommands, "math");
  if (err != ERR_NONE) return err;
  VmRegisterFunctions(L, nullptr, mathCommands, 0);
  VmRegisterConstants(L, mathConstants, 0);
  SeedMathGenerators(seedOverride >= 0 ? seedOverride : static_cast<int64_t>(std::time(nullptr)));
  return ERR_NONE;
}
