// Argument checks of the built-in commands: the argument count, the typed
// reads that raise numbered errors naming the argument, object identifiers,
// numbers with an optional percent sign, substrings and "#" constant
// references.
//
// Invariant: a failing check stores the argument's index (or the context
// text) as the error argument before it raises, so the message names it;
// an argument beyond the top is absent, an explicit nil is a value of its
// own type and fails number and string checks.
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "engine/vmcore.h"
#include "engine/engine_private.h"
#include "platform/linux/platform.h"

namespace {

// The language version of the running applet; the current one until the
// start-up reads the applet's header.
int appletVersion = 8;
int appletRevision = 0;

ArgCountProbe argCountProbe = nullptr;

// Longest name of a "#" constant reference.
constexpr size_t CONSTANT_REF_MAX = 64;

[[noreturn]] void argError(VmState* L, ErrorCode code, int index) {
  SetErrorArgNumber(index);
  VmRaiseError(L, code);
}

[[noreturn]] void contextError(VmState* L, ErrorCode code, const char* context) {
  SetErrorArgString(context);
  VmRaiseError(L, code);
}

bool isAbsent(VmState* L, int index) { return VmType(L, index) == VM_TYPE_NONE; }

// Reads a decimal number at the start of s; end gets the first byte after it.
bool readDecimal(const char* s, double* value, const char** end) {
  // Only plain decimal forms: no "inf", "nan" or hexadecimal.
  const char* p = s;
  if (*p == '+' || *p == '-') p++;
  if (!std::isdigit(static_cast<unsigned char>(*p)) && *p != '.') return false;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) return false;
  char* e = nullptr;
  double d = std::strtod(s, &e);
  if (e == s) return false;
  *value = d;
  *end = e;
  return true;
}

bool isNameStart(unsigned char c) { return std::isalpha(c) || c == '_'; }
bool isNameChar(unsigned char c) { return std::isalnum(c) || c == '_' || c == '$' || c == '!'; }

}  // namespace

int VmToTruth(VmState* L, int index) {
  int type = VmType(L, index);
  if (type == VM_TYPE_NUMBER) return VmToNumber(L, index) != 0;
  if (type == VM_TYPE_STRING) return VmStrLen(L, index) != 0;
  return VmToBoolean(L, index) != 0;
}

int VmOptFlag(VmState* L, int index, int def) {
  return isAbsent(L, index) ? def : VmToTruth(L, index);
}

void VmSetAppletVersion(int version, int revision) {
  appletVersion = version;
  appletRevision = revision;
}

int32_t VmNumberToInteger(double d) { return static_cast<int32_t>(VmBits(d)); }

void SetArgCountProbe(ArgCountProbe probe) { argCountProbe = probe; }

VmState* CheckArgCount(VmState* L, int minimum, int maximum, int version, int revision) {
  if (argCountProbe) argCountProbe(L, minimum, maximum);
  int n = VmGetTop(L);
  if (minimum == 0 && maximum == 0) {
    if (n > 0) argError(L, ERR_TOOMANYARGS, n);
  } else {
    if (n < minimum) argError(L, ERR_MISSINGPARAMTR, n);
    if (maximum >= 1 && n > maximum) argError(L, ERR_TOOMANYARGS, n);
  }
  if (version != 0 &&
      (appletVersion < version || (appletVersion == version && appletRevision < revision))) {
    char text[32];
    VmPushFString(L, "%d.%d", version, revision);
    StrCopyBounded(text, sizeof text, VmToString(L, -1));
    VmSetTop(L, -2);
    SetErrorArgString(text);
    VmRaiseError(L, ERR_OLDAPPLET);
  }
  return L;
}

double VmCheckNumber(VmState* L, int index) {
  // A number argument, the usual case, is read in place; strings that
  // convert and pseudo-indexes take the general road.
  if (index > 0) {
    const VmValue* o = L->base + (index - 1);
    if (o < L->top && o->tag == VM_TNUMBER) return VmNumberOf(o);
  }
  if (!VmIsNumber(L, index)) argError(L, ERR_NUMEXPECTED, index);
  return VmToNumber(L, index);
}

int32_t VmCheckInteger(VmState* L, int index) { return VmNumberToInteger(VmCheckNumber(L, index)); }

double VmOptNumber(VmState* L, int index, double def) {
  return isAbsent(L, index) ? def : VmCheckNumber(L, index);
}

int32_t VmOptInteger(VmState* L, int index, int32_t def) {
  return isAbsent(L, index) ? def : VmCheckInteger(L, index);
}

const char* VmCheckString(VmState* L, int index, size_t* len) {
  if (!VmIsString(L, index)) argError(L, ERR_STREXPECTED, index);
  const char* s = VmToString(L, index);
  if (len != nullptr) *len = VmStrLen(L, index);
  return s;
}

const char* VmOptString(VmState* L, int index, const char* def, size_t* len) {
  if (isAbsent(L, index)) {
    if (len != nullptr) *len = def != nullptr ? std::strlen(def) : 0;
    return def;
  }
  return VmCheckString(L, index, len);
}

void VmCheckTable(VmState* L, int index) {
  if (VmType(L, index) != VM_TYPE_TABLE) argError(L, ERR_TABEXPECTED, index);
}

void VmCheckFunction(VmState* L, int index) {
  if (VmType(L, index) != VM_TYPE_FUNCTION) argError(L, ERR_FUNCEXPECTED, index);
}

void* VmCheckUserdata(VmState* L, int index) {
  if (!VmIsUserdata(L, index)) argError(L, ERR_UDEXPECTED, index);
  return VmToUserdata(L, index);
}

void VmCheckType(VmState* L, int index, int tag) {
  if (VmType(L, index) == tag) return;
  switch (tag) {
    case VM_TYPE_NUMBER:
      argError(L, ERR_NUMEXPECTED, index);
    case VM_TYPE_STRING:
      argError(L, ERR_STREXPECTED, index);
    case VM_TYPE_TABLE:
      argError(L, ERR_TABEXPECTED, index);
    case VM_TYPE_FUNCTION:
      argError(L, ERR_FUNCEXPECTED, index);
    default:
      argError(L, ERR_UDEXPECTED, index);
  }
}

double VmCheckNumberInContext(VmState* L, int index, const char* context) {
  if (!VmIsNumber(L, index)) contextError(L, ERR_NUMTABLEARG, context);
  return VmToNumber(L, index);
}

int32_t VmCheckIntegerInContext(VmState* L, int index, const char* context) {
  return VmNumberToInteger(VmCheckNumberInContext(L, index, context));
}

const char* VmCheckStringInContext(VmState* L, int index, const char* context, size_t* len) {
  if (!VmIsString(L, index)) contextError(L, ERR_STRTABLEARG, context);
  const char* s = VmToString(L, index);
  if (len != nullptr) *len = VmStrLen(L, index);
  return s;
}

const char* GetStringArg(VmState* L, int index, size_t* chars, size_t* bytes) {
  size_t len = 0;
  const char* s = VmCheckString(L, index, &len);
  size_t count = len;
  if (unicodeUtf8Mode) {
    int bad = 0;
    count = Utf8Validate(s, len, &bad);
    if (bad) argError(L, ERR_INVALIDUTF8ARG, index);
  }
  if (chars != nullptr) *chars = count;
  if (bytes != nullptr) *bytes = len;
  return s;
}

ObjectId GetObjectIdArg(VmState* L, int index, int* automatic) {
  if (automatic != nullptr) *automatic = 0;
  int t = VmType(L, index);
  if (t == VM_TYPE_LIGHTUSERDATA) return ObjectId{VmToUserdata(L, index), 0};
  if ((t == VM_TYPE_NIL || t == VM_TYPE_NONE) && automatic != nullptr) {
    *automatic = 1;
    return ObjectId{nullptr, 0};
  }
  return ObjectId{nullptr, VmCheckInteger(L, index)};
}

int PushObjectId(VmState* L, ObjectId id) {
  if (id.autoId != nullptr)
    VmPushLightUserdata(L, id.autoId);
  else
    VmPushNumber(L, id.number);
  return 1;
}

double GetNumberArgEx(VmState* L, int index, double base, int allowOver100, int* percent) {
  if (percent != nullptr) *percent = 0;
  int t = VmType(L, index);
  if (t == VM_TYPE_NUMBER) return VmToNumber(L, index);
  if (t == VM_TYPE_NIL || t == VM_TYPE_NONE) argError(L, ERR_NUMEXPECTED, index);
  if (t != VM_TYPE_STRING) argError(L, ERR_STRORNUM, index);
  const char* s = VmToString(L, index);
  double value;
  const char* end;
  if (!readDecimal(s, &value, &end)) argError(L, ERR_PERCENTFORMAT, index);
  if (*end != '%') return value;
  if (!(value >= 0) || (!allowOver100 && value > 100)) argError(L, ERR_PERCENTFORMAT, index);
  if (base != 0) return value * base / 100;
  if (percent != nullptr) *percent = 1;
  return value / 100;
}

void PushSubString(VmState* L, const char* text, size_t start, size_t length, int utf8) {
  if (utf8) {
    size_t from = Utf8ByteOffset(text, static_cast<int64_t>(start));
    size_t to = from + Utf8ByteOffset(text + from, static_cast<int64_t>(length));
    VmPushLString(L, text + from, to - from);
  } else {
    VmPushLString(L, text + start, length);
  }
}

ErrorCode ParseConstantReference(VmState* L, const char* text, size_t* consumed,
                                 const char** string, double* number) {
  if (text[0] != '#') return ERR_WRONGUSAGE;
  if (!isNameStart(static_cast<unsigned char>(text[1]))) return ERR_SYNTAXERROR;
  char name[CONSTANT_REF_MAX + 1];
  size_t n = 0;
  while (n < CONSTANT_REF_MAX && isNameChar(static_cast<unsigned char>(text[1 + n]))) {
    name[n] = text[1 + n];
    n++;
  }
  name[n] = '\0';
  if (!VmFindConstant(L, name, string, number)) return ERR_FINDCST;
  if (consumed != nullptr) *consumed = n + 1;
  return 0;
}

int32_t GetOptionalNumberArg(VmState* L, int index, int* wasNil) {
  int32_t value = VmTruncInt32(VmCheckNumber(L, index));
  if (wasNil != nullptr) *wasNil = 0;
  return value;
}
