// The number-list reader of option tables: a table field holding a list of
// numbers, read into a vector of the caller's element type with the
// caller's error codes.
//
// Invariant: the reader leaves the stack as it found it.
#include <type_traits>

#include "engine/engine.h"
#include "engine/optiontable.h"

template <class T>
ErrorCode ReadNumberList(VmState* L, int table, const char* name, const NumberListRules& rules,
                         std::vector<T>* numbers, bool* given) {
  static_assert(std::is_same_v<T, double> || std::is_same_v<T, int32_t>);
  const int top = VmGetTop(L);
  if (table < 0 && table > VM_REGISTRY_INDEX) table = top + table + 1;
  VmPushString(L, name);
  VmGetTable(L, table);
  const int list = top + 1;
  if (VmType(L, list) == VM_TYPE_NIL) {
    VmSetTop(L, top);
    return ERR_NONE;
  }
  if (VmType(L, list) != VM_TYPE_TABLE) {
    VmSetTop(L, top);
    return rules.wrongType;
  }
  std::vector<T> read;
  VmRawGetI(L, list, 0);
  int index = VmType(L, -1) == VM_TYPE_NIL ? 1 : 0;
  VmSetTop(L, list);
  ErrorCode e = ERR_NONE;
  for (;; ++index) {
    VmRawGetI(L, list, index);
    const int type = VmType(L, -1);
    if (type == VM_TYPE_NIL) break;
    if (type != VM_TYPE_NUMBER) {
      e = rules.wrongType;
      break;
    }
    if (rules.maxCount && read.size() >= rules.maxCount) {
      e = rules.tooMany;
      break;
    }
    const double n = VmToNumber(L, -1);
    if constexpr (std::is_same_v<T, double>)
      read.push_back(n);
    else
      read.push_back(VmTruncInt32(n));
    VmSetTop(L, list);
  }
  VmSetTop(L, top);
  if (e) return e;
  *numbers = std::move(read);
  *given = true;
  return ERR_NONE;
}

template ErrorCode ReadNumberList<double>(VmState*, int, const char*, const NumberListRules&,
                                          std::vector<double>*, bool*);
template ErrorCode ReadNumberList<int32_t>(VmState*, int, const char*, const NumberListRules&,
                                           std::vector<int32_t>*, bool*);
