// Values for table-driven command tests: numbers, byte strings and nil,
// pushed as arguments and collected back from the stack as results, and
// a readable form for failure messages.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "tests/support/command_call.h"

namespace testcall {

struct V {
  enum Kind { NIL, NUM, STR, OTHER } kind;
  double n = 0;
  std::string s;
  V(double v) : kind(NUM), n(v) {}
  V(int v) : kind(NUM), n(v) {}
  V(const char* v) : kind(STR), s(v) {}
  V(std::string v) : kind(STR), s(std::move(v)) {}
  static V Nil() {
    V v(0);
    v.kind = NIL;
    return v;
  }
  bool operator==(const V& o) const {
    if (kind != o.kind) return false;
    return kind == NUM ? (n == o.n || (n != n && o.n != o.n)) : s == o.s;
  }
};

inline void Push(VmState* L, const V& v) {
  if (v.kind == V::NUM)
    VmPushNumber(L, v.n);
  else if (v.kind == V::STR)
    VmPushLString(L, v.s.data(), v.s.size());
  else
    VmPushNil(L);
}

// Takes every value from the stack (bottom first) and empties it.
inline std::vector<V> Collect(VmState* L) {
  std::vector<V> out;
  for (int i = 1; i <= VmGetTop(L); i++) {
    int t = VmType(L, i);
    if (t == VM_TYPE_NUMBER)
      out.push_back(V(VmToNumber(L, i)));
    else if (t == VM_TYPE_STRING)
      out.push_back(V(std::string(VmToString(L, i), VmStrLen(L, i))));
    else if (t == VM_TYPE_NIL)
      out.push_back(V::Nil());
    else {
      V v(0);
      v.kind = V::OTHER;
      out.push_back(v);
    }
  }
  VmSetTop(L, 0);
  return out;
}

inline std::string Show(const std::vector<V>& values) {
  std::string text = "{";
  for (const V& v : values) {
    if (text.size() > 1) text += ", ";
    if (v.kind == V::NUM) {
      char b[40];
      std::snprintf(b, sizeof b, "%.17g", v.n);
      text += b;
    } else if (v.kind == V::STR) {
      text += '"';
      for (unsigned char c : v.s) {
        if (c >= 32 && c < 127 && c != '\\' && c != '"') {
          text += static_cast<char>(c);
        } else {
          char b[8];
          std::snprintf(b, sizeof b, "\\x%02x", c);
          text += b;
        }
      }
      text += '"';
    } else {
      text += v.kind == V::NIL ? "nil" : "<other>";
    }
  }
  return text + "}";
}

// Calls the global command with the arguments; the results go to *results.
inline ErrorCode Run(VmState* L, const char* name, const std::vector<V>& args,
                     std::vector<V>* results) {
  std::string lower(name);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  VmSetTop(L, 0);
  for (const V& a : args) Push(L, a);
  ErrorCode err = Call(L, lower.c_str(), static_cast<int>(args.size()));
  vmRun.quit = 0;  // a raised error asks the interpreter to stop
  *results = Collect(L);
  return err;
}

}  // namespace testcall
