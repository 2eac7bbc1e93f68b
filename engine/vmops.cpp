// The value operations behind the interpreter and the command API: number
// and string conversion, equality and ordering with their nil rules,
// arithmetic and bit operations with their metamethod fallbacks,
// concatenation, and table access through __index and __newindex chains.
//
// Invariant: every operation that can call a metamethod copies its operands
// first and addresses stack slots by offset across the call, since the call
// may reallocate the stack.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/vmcore.h"
#include "engine/engine_private.h"
#include "platform/linux/platform.h"

namespace {

// Longest __index / __newindex chain that is followed.
constexpr int MAXTAGLOOP = 100;

// A concatenation result must stay below this length.
constexpr size_t MAXCONCAT = 0xFFFFFFFEu;
// Values joined in one step of a concatenation; a longer run (only the
// command API makes one) is joined in several steps with the same result.
constexpr int CONCAT_STEP = 256;

// Stores a concatenation's result. The interpreter copies the slot on at
// once as one 16-byte value; written as one 16-byte store it can be
// forwarded to that copy, while a tag and a pointer written apart make the
// copy wait until every store before them (the bytes of the new string,
// into memory not yet cached) has reached the cache.
inline void setResult(VmValue* slot, VmString* s) {
#if defined(__SSE2__)
  static_assert(sizeof(VmValue) == 16, "a value is a tag word and an 8-byte payload");
  _mm_storeu_si128(
      reinterpret_cast<__m128i*>(slot),
      _mm_set_epi64x(static_cast<int64_t>(reinterpret_cast<uintptr_t>(s)), VM_TSTRING));
#else
  VmSetString(slot, s);
#endif
}

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads digits after a "$" or "0x" prefix: unsigned 32-bit, saturating.
bool readHex(const char* s, const char* end, double* out) {
  uint64_t v = 0;
  const char* p = s;
  while (p < end && hexDigit(*p) >= 0) {
    v = v * 16 + static_cast<uint64_t>(hexDigit(*p));
    if (v > 0xFFFFFFFFu) v = 0x100000000u;
    p++;
  }
  if (p == s) return false;  // "$" or "0x" without digits is no number
  while (p < end && isSpace(*p)) p++;
  if (p != end) return false;
  *out = static_cast<double>(v > 0xFFFFFFFFu ? 0xFFFFFFFFu : v);
  return true;
}

// Decimal grammar: [ws][+-](digits[.digits]|.digits)([eE][+-]digits)[ws].
// Checked by hand so that strtod's extras (hex floats, "inf", "nan") are not
// taken for numbers.
bool isDecimal(const char* p, const char* end) {
  while (p < end && isSpace(*p)) p++;
  if (p < end && (*p == '+' || *p == '-')) p++;
  bool digits = false;
  while (p < end && isDigit(*p)) {
    p++;
    digits = true;
  }
  if (p < end && *p == '.') {
    p++;
    while (p < end && isDigit(*p)) {
      p++;
      digits = true;
    }
  }
  if (!digits) return false;
  if (p < end && (*p == 'e' || *p == 'E')) {
    p++;
    if (p < end && (*p == '+' || *p == '-')) p++;
    if (p == end || !isDigit(*p)) return false;
    while (p < end && isDigit(*p)) p++;
  }
  while (p < end && isSpace(*p)) p++;
  return p == end;
}

// Calls handler f with a and b and stores its one result into the stack
// slot at offset res.
void callTMres(VmState* L, ptrdiff_t res, const VmValue* f, const VmValue* a, const VmValue* b) {
  VmValue fv = *f, av = *a, bv = *b;
  VmEnsureStack(L, 3);
  VmValue* top = L->top;
  top[0] = fv;
  top[1] = av;
  top[2] = bv;
  L->top = top + 3;
  ErrorCode err = VmCallValue(L, L->top - 3, 1);
  if (err != 0) RaiseCommandError(L, err);
  L->top--;
  *VmRestoreStack(L, res) = *L->top;
}

// Calls f(a, b, c) for its side effect.
void callTM(VmState* L, const VmValue* f, const VmValue* a, const VmValue* b, const VmValue* c) {
  VmValue fv = *f, av = *a, bv = *b, cv = *c;
  VmEnsureStack(L, 4);
  VmValue* top = L->top;
  top[0] = fv;
  top[1] = av;
  top[2] = bv;
  top[3] = cv;
  L->top = top + 4;
  ErrorCode err = VmCallValue(L, L->top - 4, 0);
  if (err != 0) RaiseCommandError(L, err);
}

// Compares two strings chunk by chunk across embedded zero bytes; cmp
// compares two zero-terminated chunks.
int compareStrings(const VmString* ls, const VmString* rs, int (*cmp)(const char*, const char*)) {
  const char* l = VmStringData(ls);
  size_t ll = ls->len;
  const char* r = VmStringData(rs);
  size_t lr = rs->len;
  for (;;) {
    int c = cmp(l, r);
    if (c != 0) return c;
    size_t len = std::strlen(l);  // both chunks are equal up to here
    if (len == lr) return len == ll ? 0 : 1;
    if (len == ll) return -1;
    len++;  // step past the zero byte
    l += len;
    ll -= len;
    r += len;
    lr -= len;
  }
}

int byteCompare(const char* a, const char* b) { return std::strcmp(a, b); }
int collateCompare(const char* a, const char* b) { return CompareStringMode(a, b, 1); }

void keyText(const VmValue* key, char* buf, size_t size) {
  if (key->tag == VM_TSTRING)
    std::snprintf(buf, size, "\"%s\"", VmStringData(VmStringOf(key)));
  else if (key->tag == VM_TNUMBER)
    std::snprintf(buf, size, "%g", key->value.n);
  else if (key->tag == VM_TNIL)
    std::snprintf(buf, size, "0");
  else
    std::snprintf(buf, size, "%s", VmTypeName(nullptr, static_cast<int>(key->tag)));
}

[[noreturn]] void fieldMissing(VmState* L, const VmValue* key) {
  char buf[ERROR_ARG_MAX + 1];
  keyText(key, buf, sizeof buf);
  SetErrorArgString(buf);
  VmRaiseError(L, ERR_FIELDINIT);
}

const VmValue* tableEvent(VmState* L, VmTable* mt, VmEvent e) {
  if (mt == nullptr) return nullptr;
  const VmValue* h;
  if (e <= VM_TM_EQ)
    h = VmFastEvent(L, mt, e);
  else
    h = VmTableGetStr(mt, VmG(L)->tmname[e]);
  return (h == nullptr || h->tag == VM_TNIL) ? nullptr : h;
}

const VmValue* valueEvent(VmState* L, const VmValue* o, VmEvent e) {
  if (o->tag == VM_TTABLE) return tableEvent(L, VmTableOf(o)->metatable, e);
  if (o->tag == VM_TUSERDATA) return tableEvent(L, VmUserdataOf(o)->metatable, e);
  return nullptr;
}

VmEvent arithEvent(VmOpcode op) {
  switch (op) {
    case OP_ADD:
      return VM_TM_ADD;
    case OP_SUB:
      return VM_TM_SUB;
    case OP_MUL:
      return VM_TM_MUL;
    case OP_DIV:
      return VM_TM_DIV;
    case OP_INTDIV:
      return VM_TM_DIVINT;
    case OP_MOD:
      return VM_TM_MOD;
    case OP_SHL:
      return VM_TM_LSH;
    case OP_SHR:
      return VM_TM_RSH;
    case OP_BITOR:
      return VM_TM_OR;
    case OP_BITAND:
      return VM_TM_AND;
    case OP_BITXOR:
      return VM_TM_XOR;
    case OP_POW:
      return VM_TM_POW;
    case OP_NEG:
      return VM_TM_UNM;
    default:
      return VM_TM_NOT;
  }
}

}  // namespace

bool VmStrToNumber(const char* s, size_t len, double* out) {
  const char* end = s + len;
  if (len >= 1 && s[0] == '$') return readHex(s + 1, end, out);
  if (len >= 3 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) return readHex(s + 2, end, out);
  if (!isDecimal(s, end)) return false;
  // The text is zero-terminated (every VmString is); an embedded zero has
  // already failed the grammar check above.
  *out = std::strtod(s, nullptr);
  return true;
}

int VmNumberToText(double n, char* buf) {
  // Whole numbers below 10^14 in magnitude print as their plain digits
  // under "%.14g" (fourteen significant digits, no exponent), so they are
  // written directly; -0 and everything else goes through the format.
  if (n > -1e14 && n < 1e14 && (n != 0 || !std::signbit(n))) {
    int64_t v = static_cast<int64_t>(n);
    if (static_cast<double>(v) == n) {
      char digits[20];
      int nd = 0;
      uint64_t u = v < 0 ? static_cast<uint64_t>(-v) : static_cast<uint64_t>(v);
      do {
        digits[nd++] = static_cast<char>('0' + u % 10);
        u /= 10;
      } while (u != 0);
      int len = 0;
      if (v < 0) buf[len++] = '-';
      while (nd > 0) buf[len++] = digits[--nd];
      buf[len] = '\0';
      return len;
    }
  }
  return std::snprintf(buf, 32, "%.14g", n);
}

bool VmToStringValue(VmState* L, VmValue* o) {
  if (o->tag == VM_TSTRING) return true;
  if (o->tag == VM_TNUMBER) {
    char buf[32];
    int n = VmNumberToText(o->value.n, buf);
    VmSetString(o, VmNewString(L, buf, static_cast<size_t>(n)));
    return true;
  }
  if (o->tag == VM_TNIL) {
    VmSetString(o, VmNewString(L, "", 0));
    return true;
  }
  return false;
}

VmTable* VmMetatableOf(VmState* L, const VmValue* o) {
  if (o->tag == VM_TTABLE) return VmTableOf(o)->metatable;
  if (o->tag == VM_TUSERDATA) return VmUserdataOf(o)->metatable;
  return nullptr;
}

const VmValue* VmGetEventHandler(VmState* L, const VmValue* o, VmEvent e) {
  const VmValue* h = valueEvent(L, o, e);
  return h ? h : &vmNilValue;
}

bool VmRawEqualValues(const VmValue* a, const VmValue* b) {
  if (a->tag != b->tag) return false;
  switch (a->tag) {
    case VM_TNIL:
      return true;
    case VM_TNUMBER:
      return a->value.n == b->value.n;
    case VM_TBOOLEAN:
      return a->value.b == b->value.b;
    case VM_TLIGHTUSERDATA:
      return a->value.p == b->value.p;
    default:
      return a->value.gc == b->value.gc;
  }
}

bool VmEqualValues(VmState* L, const VmValue* a, const VmValue* b) {
  if (a->tag != b->tag) {
    if (a->tag == VM_TNIL || b->tag == VM_TNIL) {
      const VmValue* o = a->tag == VM_TNIL ? b : a;
      if (o->tag == VM_TNUMBER) return o->value.n == 0;
      if (o->tag == VM_TSTRING) return VmStringOf(o)->len == 0;
      return false;
    }
    if ((a->tag == VM_TNUMBER && b->tag == VM_TSTRING) ||
        (a->tag == VM_TSTRING && b->tag == VM_TNUMBER))
      VmRaiseError(L, ERR_NUMSTRCMP);
    VmRaiseError(L, ERR_WRONGOP);
  }
  if (a->tag != VM_TTABLE && a->tag != VM_TUSERDATA) return VmRawEqualValues(a, b);
  if (a->value.gc == b->value.gc) return true;
  const VmValue* tm1 = valueEvent(L, a, VM_TM_EQ);
  if (tm1 == nullptr) return false;
  const VmValue* tm2 = valueEvent(L, b, VM_TM_EQ);
  if (tm2 == nullptr || !VmRawEqualValues(tm1, tm2)) return false;
  VmEnsureStack(L, 1);
  ptrdiff_t res = VmSaveStack(L, L->top);
  L->top++;  // the result slot
  callTMres(L, res, tm1, a, b);
  L->top--;
  const VmValue* r = VmRestoreStack(L, res);
  if (r->tag == VM_TNIL) return false;
  if (r->tag == VM_TNUMBER) return r->value.n != 0;
  return true;
}

namespace {

// The order handler call: 1 true, 0 false, -1 no handler.
int callOrderTM(VmState* L, const VmValue* a, const VmValue* b, VmEvent e) {
  const VmValue* tm = valueEvent(L, a, e);
  if (tm == nullptr) tm = valueEvent(L, b, e);
  if (tm == nullptr) return -1;
  VmEnsureStack(L, 1);
  ptrdiff_t res = VmSaveStack(L, L->top);
  L->top++;
  callTMres(L, res, tm, a, b);
  L->top--;
  return VmIsFalse(VmRestoreStack(L, res)) ? 0 : 1;
}

// Mixed-type ordering: 1 true, 0 false; raises for types that do not order.
int mixedOrder(VmState* L, const VmValue* a, const VmValue* b, bool orEqual) {
  if (a->tag == VM_TNIL || b->tag == VM_TNIL) {
    if (a->tag == VM_TNIL && b->tag == VM_TNIL) return orEqual ? 1 : 0;
    const VmValue* o = a->tag == VM_TNIL ? b : a;
    if (o->tag == VM_TSTRING) return 0;
    if (o->tag != VM_TNUMBER) VmRaiseError(L, ERR_WRONGOP);
    double x = a->tag == VM_TNIL ? 0 : a->value.n;
    double y = b->tag == VM_TNIL ? 0 : b->value.n;
    return orEqual ? x <= y : x < y;
  }
  if ((a->tag == VM_TNUMBER && b->tag == VM_TSTRING) ||
      (a->tag == VM_TSTRING && b->tag == VM_TNUMBER))
    VmRaiseError(L, ERR_NUMSTRCMP);
  VmRaiseError(L, ERR_WRONGOP);
}

}  // namespace

bool VmLessThanValues(VmState* L, const VmValue* a, const VmValue* b, bool collate) {
  if (a->tag != b->tag || a->tag == VM_TNIL) return mixedOrder(L, a, b, false) != 0;
  if (a->tag == VM_TNUMBER) return a->value.n < b->value.n;
  if (a->tag == VM_TSTRING)
    return compareStrings(VmStringOf(a), VmStringOf(b), collate ? collateCompare : byteCompare) < 0;
  int r = callOrderTM(L, a, b, VM_TM_LT);
  if (r < 0) VmRaiseError(L, ERR_WRONGOP);
  return r != 0;
}

bool VmLessEqualValues(VmState* L, const VmValue* a, const VmValue* b) {
  if (a->tag != b->tag || a->tag == VM_TNIL) return mixedOrder(L, a, b, true) != 0;
  if (a->tag == VM_TNUMBER) return a->value.n <= b->value.n;
  if (a->tag == VM_TSTRING) return compareStrings(VmStringOf(a), VmStringOf(b), byteCompare) <= 0;
  int r = callOrderTM(L, a, b, VM_TM_LE);
  if (r >= 0) return r != 0;
  r = callOrderTM(L, b, a, VM_TM_LT);
  if (r < 0) VmRaiseError(L, ERR_WRONGOP);
  return r == 0;
}

double VmArithNumbers(VmState* L, VmOpcode op, double x, double y) {
  switch (op) {
    case OP_ADD:
      return x + y;
    case OP_SUB:
      return x - y;
    case OP_MUL:
      return x * y;
    case OP_DIV:
      if (y == 0) VmRaiseError(L, ERR_ZERODIVISION);
      return x / y;
    case OP_INTDIV:
    case OP_MOD: {
      // In 64 bits, so that -2147483648 / -1 gives 2147483648 and
      // -2147483648 % -1 gives 0 instead of trapping.
      int64_t a = VmTruncInt32(x);
      int64_t b = VmTruncInt32(y);
      if (b == 0) VmRaiseError(L, ERR_ZERODIVISION);
      return static_cast<double>(op == OP_INTDIV ? a / b : a % b);
    }
    case OP_SHL:
      return static_cast<double>(static_cast<uint32_t>(VmBits(x) << (VmTruncInt32(y) & 31)));
    case OP_SHR:
      return static_cast<double>(VmBits(x) >> (VmTruncInt32(y) & 31));
    case OP_BITOR:
      return static_cast<double>(VmBits(x) | VmBits(y));
    case OP_BITAND:
      return static_cast<double>(VmBits(x) & VmBits(y));
    case OP_BITXOR:
      return static_cast<double>(VmBits(x) ^ VmBits(y));
    case OP_POW:
      return std::pow(x, y);
    case OP_NEG:
      return -x;
    default:
      return static_cast<double>(~VmBits(x));
  }
}

void VmArith(VmState* L, VmValue* res, const VmValue* a, const VmValue* b, VmOpcode op) {
  double x, y;
  bool unary = op == OP_NEG || op == OP_BITNOT;
  if (VmToNumberValue(a, &x) && (unary || VmToNumberValue(b, &y))) {
    VmSetNumber(res, VmArithNumbers(L, op, x, unary ? 0 : y));
    return;
  }
  VmEvent e = arithEvent(op);
  const VmValue* tm = valueEvent(L, a, e);
  if (tm == nullptr && !unary) tm = valueEvent(L, b, e);
  if (tm == nullptr) VmRaiseError(L, ERR_WRONGOP);
  callTMres(L, VmSaveStack(L, res), tm, a, unary ? &vmNilValue : b);
}

void VmConcatValues(VmState* L, int total, int last) {
  do {
    VmValue* top = L->base + last + 1;
    int n = 2;
    bool lowerText =
        top[-2].tag == VM_TSTRING || top[-2].tag == VM_TNUMBER || top[-2].tag == VM_TNIL;
    bool upperText =
        top[-1].tag == VM_TSTRING || top[-1].tag == VM_TNUMBER || top[-1].tag == VM_TNIL;
    if (!lowerText || !upperText) {
      const VmValue* tm = valueEvent(L, &top[-2], VM_TM_CONCAT);
      if (tm == nullptr) tm = valueEvent(L, &top[-1], VM_TM_CONCAT);
      if (tm == nullptr) VmRaiseError(L, ERR_CONCAT);
      callTMres(L, VmSaveStack(L, top - 2), tm, &top[-2], &top[-1]);
    } else if (top[-1].tag == VM_TNIL ||
               (top[-1].tag == VM_TSTRING && VmStringOf(&top[-1])->len == 0)) {
      // An empty upper value leaves the lower one, converted.
      VmToStringValue(L, &top[-2]);
    } else {
      // Join the run of convertible values below the top in one
      // step. Numbers are formatted into scratch rather than interned
      // as strings of their own; nil adds nothing.
      char numbers[CONCAT_STEP][32];
      size_t lens[CONCAT_STEP];
      size_t tl = 0;
      n = 0;
      while (n < total && n < CONCAT_STEP) {
        const VmValue* o = &top[-n - 1];
        if (o->tag == VM_TSTRING)
          lens[n] = VmStringOf(o)->len;
        else if (o->tag == VM_TNUMBER)
          lens[n] = static_cast<size_t>(VmNumberToText(o->value.n, numbers[n]));
        else if (o->tag == VM_TNIL)
          lens[n] = 0;
        else
          break;
        tl += lens[n];
        n++;
      }
      if (tl >= MAXCONCAT) VmRaiseError(L, ERR_INTERNAL);
      // The joined string's table hash follows from the parts'; the
      // parts are copied straight into the new record, if one is made.
      VmStringPart parts[CONCAT_STEP];
      int np = 0;
      uint64_t sh = 0;
      for (int i = n; i > 0; i--) {
        const VmValue* o = &top[-i];
        size_t len = lens[i - 1];
        if (len == 0) continue;
        if (o->tag == VM_TSTRING) {
          const VmString* ps = VmStringOf(o);
          parts[np] = {VmStringData(ps), len};
          sh = VmStringSlotHashJoin(sh, ps->slotHash, len);
        } else {
          parts[np] = {numbers[i - 1], len};
          sh = VmStringSlotHashJoin(sh, VmStringSlotHash(numbers[i - 1], len), len);
        }
        np++;
      }
      setResult(&top[-n], VmStringFromParts(L, parts, np, tl, sh));
    }
    total -= n - 1;
    last -= n - 1;
  } while (total > 1);
}

void VmGetTableValue(VmState* L, const VmValue* t, const VmValue* key, VmValue* val,
                     VmMissing missing) {
  ptrdiff_t vr = VmSaveStack(L, val);
  const VmValue* orig = t;
  VmValue tv = *t;
  VmValue kv = *key;
  for (int loop = 0;; loop++) {
    const VmValue* tm;
    if (tv.tag == VM_TTABLE) {
      VmTable* h = VmTableOf(&tv);
      const VmValue* v = VmTableGet(h, &kv);
      if (v->tag != VM_TNIL) {
        *VmRestoreStack(L, vr) = *v;
        return;
      }
      tm = tableEvent(L, h->metatable, VM_TM_INDEX);
      if (tm == nullptr) {
        if (missing == VM_MISSING_ERROR) fieldMissing(L, &kv);
        VmSetNil(VmRestoreStack(L, vr));
        return;
      }
    } else {
      tm = valueEvent(L, &tv, VM_TM_INDEX);
      if (tm == nullptr) VmTypeError(L, loop == 0 ? orig : &tv, ERR_TABLEDECLA, "{}");
    }
    if (tm->tag == VM_TFUNCTION) {
      callTMres(L, vr, tm, &tv, &kv);
      return;
    }
    if (loop >= MAXTAGLOOP) {
      SetErrorArgString("#1");
      VmRaiseError(L, ERR_INTERNAL1);
    }
    tv = *tm;
  }
}

void VmRawSetValue(VmState* L, VmTable* t, const VmValue* key, const VmValue* val) {
  VmValue kv = *key;
  if (kv.tag == VM_TNIL)
    VmSetNumber(&kv, 0);
  else if (kv.tag == VM_TNUMBER && kv.value.n != kv.value.n)
    VmRaiseError(L, ERR_TABLEINDEX);
  VmValue vv = *val;
  *VmTableSet(L, t, &kv) = vv;
}

void VmSetTableValue(VmState* L, const VmValue* t, const VmValue* key, const VmValue* val) {
  const VmValue* orig = t;
  VmValue tv = *t;
  VmValue kv = *key;
  VmValue vv = *val;
  for (int loop = 0;; loop++) {
    const VmValue* tm;
    if (tv.tag == VM_TTABLE) {
      VmTable* h = VmTableOf(&tv);
      const VmValue* v = VmTableGet(h, &kv);
      if (v->tag != VM_TNIL) {
        *const_cast<VmValue*>(v) = vv;
        if (kv.tag != VM_TNUMBER) h->flags = 0;  // the key may be an event name
        return;
      }
      tm = tableEvent(L, h->metatable, VM_TM_NEWINDEX);
      if (tm == nullptr) {
        VmRawSetValue(L, h, &kv, &vv);
        return;
      }
    } else {
      tm = valueEvent(L, &tv, VM_TM_NEWINDEX);
      if (tm == nullptr) VmTypeError(L, loop == 0 ? orig : &tv, ERR_TABLEDECLA, "{}");
    }
    if (tm->tag == VM_TFUNCTION) {
      callTM(L, tm, &tv, &kv, &vv);
      return;
    }
    if (loop >= MAXTAGLOOP) {
      SetErrorArgString("#2");
      VmRaiseError(L, ERR_INTERNAL1);
    }
    tv = *tm;
  }
}
