// Feeds arbitrary bytes to every routine of the Unicode layer in both text
// modes. The sanitizers catch any read past a length or terminator; the
// checks below hold for any input.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/linux/platform.h"
#include "runtime/runtime.h"
#include "platform/linux/unicode_private.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

int sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* raw = reinterpret_cast<const char*>(data);

  // Length-bounded routines see the exact buffer, no terminator.
  int error;
  size_t chars = Utf8Validate(raw, size, &error);
  if (!error) {
    check(Utf8CountChars(raw, size) == chars);
    for (size_t n = 0; n <= chars; n++)
      check(Utf8ByteOffsetN(raw, size, static_cast<int64_t>(n)) <= size);
    check(Utf8ByteOffsetN(raw, size, static_cast<int64_t>(chars)) == size);
  }
  for (const char* p = raw; p < raw + size;) {
    const char* next = Utf8NextChar(p, raw + size);
    check(next > p && next <= raw + size);
    p = next;
  }
  std::string out(size + 1, '\0');
  size_t tracked = size / 2;
  size_t n = Utf8ToLatin1(raw, out.data(), size, &tracked);
  check(n <= size && tracked <= n);

  // Terminated routines: split the input at its first zero byte.
  std::string a(raw, strnlen(raw, size));
  std::string b = size > a.size() ? std::string(raw + a.size() + 1,
                                                strnlen(raw + a.size() + 1, size - a.size() - 1))
                                  : "";
  for (int mode = 0; mode < 2; mode++) {
    unicodeUtf8Mode = mode;
    check(CompareNoCase(a.c_str(), std::string(a).c_str()) == 0);
    check(sign(CompareNoCase(a.c_str(), b.c_str())) == -sign(CompareNoCase(b.c_str(), a.c_str())));
    check(sign(CompareStringMode(a.c_str(), b.c_str(), 1)) ==
          -sign(CompareStringMode(b.c_str(), a.c_str(), 1)));
    check((CompareStringMode(a.c_str(), b.c_str(), 1) == 0) == (a == b));
    std::string up = a;
    StrToUpper(up.data());
    check(up.size() == a.size() && std::strlen(up.c_str()) == a.size());
    char* u = Latin1ToUtf8Dup(a.c_str());
    char* l = Utf8ToLatin1Dup(u);
    if (u && l) check(a == l);  // Latin-1 survives the round trip
    FreeMemory(u);
    FreeMemory(l);
    Utf8ByteOffset(a.c_str(), static_cast<int64_t>(size));
  }
  return 0;
}
