// Script values built in tests: numbers, strings, booleans and tables
// (named fields, or lists from index 0 as option tables hold them), pushed
// onto the VM stack as one value.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"

struct Value {
  enum Kind { NUMBER, STRING, BOOLEAN, TABLE } kind = NUMBER;
  double number = 0;
  std::string text;
  std::vector<std::pair<Value, Value>> fields;

  Value(double n) : number(n) {}
  Value(int n) : number(n) {}
  Value(const char* t) : kind(STRING), text(t) {}
  Value(bool b) : kind(BOOLEAN), number(b) {}
  static Value Table(std::vector<std::pair<Value, Value>> fields) {
    Value v(0);
    v.kind = TABLE;
    v.fields = std::move(fields);
    return v;
  }
  static Value List(std::vector<Value> items) {
    Value v(0);
    v.kind = TABLE;
    for (size_t i = 0; i < items.size(); ++i)
      v.fields.emplace_back(Value(static_cast<int>(i)), items[i]);
    return v;
  }
};

inline void PushValue(VmState* L, const Value& v) {
  switch (v.kind) {
    case Value::NUMBER:
      VmPushNumber(L, v.number);
      return;
    case Value::STRING:
      VmPushString(L, v.text.c_str());
      return;
    case Value::BOOLEAN:
      VmPushBoolean(L, v.number != 0);
      return;
    case Value::TABLE:
      VmNewTable(L);
      for (const auto& [key, value] : v.fields) {
        PushValue(L, key);
        PushValue(L, value);
        VmSetTable(L, -3);
      }
      return;
  }
}
