// The system library's table commands (copying, sorting, list editing,
// iteration, packing), the pointer arithmetic on handles, and the commands
// of other platforms that this one lacks.
//
// A list is the run of values from index 0 to the first nil. Every access
// is raw: metamethods of the tables a script hands over play no part.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "libs/libs.h"
#include "libs/libs_private.h"
#include "runtime/runtime.h"

namespace {

// Free stack slots Sort asks for before it starts.
constexpr int SORT_STACK_SLOTS = 40;
// Stack slots one level of a deep copy uses (key, value, the copy).
constexpr int COPY_LEVEL_SLOTS = 4;

bool optFlag(VmState* L, int index) {
  int t = VmType(L, index);
  if (t == VM_TYPE_NONE || t == VM_TYPE_NIL) return false;
  if (t == VM_TYPE_BOOLEAN) return VmToBoolean(L, index) != 0;
  return VmCheckNumber(L, index) != 0;
}

// The number of items from index 0 up to the first nil.
int32_t listCount(VmState* L, int table) {
  int32_t n = 0;
  for (;; n++) {
    VmRawGetI(L, table, n);
    bool empty = VmType(L, -1) == VM_TYPE_NIL;
    VmSetTop(L, -2);
    if (empty || n == INT32_MAX) return n;
  }
}

// ---- CopyTable ----------------------------------------------------------------------------

// A table on the current recursion path and the stack slot of its copy.
struct CopyPathEntry {
  const void* source;
  int copy;
};

// Pushes a copy of the table at index source. Nested tables are copied
// too unless shallow; a nested table that is on the path from the top
// (a cycle) is not copied again but points at the copy made for it, so
// the copy has the same cycle. Tables reached twice by other ways are
// copied twice.
ErrorCode copyTable(VmState* L, int source, bool shallow, std::vector<CopyPathEntry>* path) {
  if (!VmCheckStack(L, COPY_LEVEL_SLOTS)) return ERR_STACK;
  VmNewTable(L);
  int copy = VmGetTop(L);
  path->push_back({VmToPointer(L, source), copy});
  VmPushNil(L);
  while (VmNext(L, source)) {
    // Stack: key, value. The key is pushed again to stay for VmNext.
    if (!shallow && VmType(L, -1) == VM_TYPE_TABLE) {
      const void* inner = VmToPointer(L, -1);
      int found = 0;
      for (const CopyPathEntry& e : *path)
        if (e.source == inner) found = e.copy;
      if (found != 0) {
        VmSetTop(L, -2);
        VmPushValue(L, found);
      } else {
        int value = VmGetTop(L);
        ErrorCode error = copyTable(L, value, false, path);
        if (error) return error;
        VmRemove(L, value);
      }
    }
    VmPushValue(L, -2);
    VmInsert(L, -2);
    VmRawSet(L, copy);
  }
  path->pop_back();
  return ERR_NONE;
}

int cmdCopyTable(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  VmCheckTable(L, 1);
  bool shallow = optFlag(L, 2);
  VmSetTop(L, 1);
  std::vector<CopyPathEntry> path;
  ErrorCode error = copyTable(L, 1, shallow, &path);
  return error ? error : 1;
}

// ---- Sort -----------------------------------------------------------------------------------

// Sorts the list at stack index 1 with the comparison at index 2 (none
// when that slot is nil).
class Sorter {
 public:
  explicit Sorter(VmState* L) : L_(L), function_(VmType(L, 2) == VM_TYPE_FUNCTION) {}

  // Sorts lo..hi, the classic median-of-three quicksort that recurses
  // into the smaller part and loops on the larger one.
  ErrorCode sort(int32_t lo, int32_t hi) {
    while (lo < hi) {
      ErrorCode error;
      bool before;
      // Order t[lo] and t[hi].
      get(lo);
      get(hi);
      if ((error = less(-1, -2, &before))) return error;
      if (before)
        set2(lo, hi);
      else
        VmSetTop(L_, -3);
      if (hi - lo == 1) break;
      int32_t m = lo + (hi - lo) / 2;
      // Median of three: t[m] against t[lo], then against t[hi].
      get(m);
      get(lo);
      if ((error = less(-2, -1, &before))) return error;
      if (before) {
        set2(m, lo);
      } else {
        VmSetTop(L_, -2);
        get(hi);
        if ((error = less(-1, -2, &before))) return error;
        if (before)
          set2(m, hi);
        else
          VmSetTop(L_, -3);
      }
      if (hi - lo == 2) break;
      // The pivot t[m] goes to hi-1; it stays pushed during the scans.
      get(m);
      VmPushValue(L_, -1);
      get(hi - 1);
      set2(m, hi - 1);
      int32_t i = lo, j = hi - 1;
      for (;;) {
        // Up while t[i] comes before the pivot.
        for (;;) {
          get(++i);
          if ((error = less(-1, -2, &before))) return error;
          if (!before) break;
          if (i > hi) return ERR_SORTFUNC;
          VmSetTop(L_, -2);
        }
        // Down while the pivot comes before t[j].
        for (;;) {
          get(--j);
          if ((error = less(-3, -1, &before))) return error;
          if (!before) break;
          if (j < lo) return ERR_SORTFUNC;
          VmSetTop(L_, -2);
        }
        if (j < i) {
          VmSetTop(L_, -4);  // the pivot, t[i] and t[j]
          break;
        }
        set2(i, j);
      }
      // The pivot into place.
      get(hi - 1);
      get(i);
      set2(hi - 1, i);
      int32_t smallLo, smallHi;
      if (i - lo < hi - i) {
        smallLo = lo;
        smallHi = i - 1;
        lo = i + 1;
      } else {
        smallLo = i + 1;
        smallHi = hi;
        hi = i - 1;
      }
      if ((error = sort(smallLo, smallHi))) return error;
    }
    return ERR_NONE;
  }

 private:
  VmState* L_;
  bool function_;

  void get(int32_t i) { VmRawGetI(L_, 1, i); }
  // Pops two values and stores the upper one at a and the lower one at b.
  void set2(int32_t a, int32_t b) {
    VmRawSetI(L_, 1, a);
    VmRawSetI(L_, 1, b);
  }
  // Whether the value at a comes before the one at b (both relative
  // indices below the top, which stays as it was).
  ErrorCode less(int a, int b, bool* out) {
    if (!function_) {
      *out = VmLessThan(L_, a, b, 0) != 0;
      return ERR_NONE;
    }
    VmPushValue(L_, 2);
    VmPushValue(L_, a - 1);
    VmPushValue(L_, b - 2);
    ErrorCode error = VmCall(L_, 2, 1);
    if (error) return error;
    *out = VmToNumber(L_, -1) != 0;
    VmSetTop(L_, -2);
    return ERR_NONE;
  }
};

int cmdSort(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  VmCheckTable(L, 1);
  bool function = VmType(L, 2) > VM_TYPE_NIL;
  if (function) VmCheckFunction(L, 2);
  VmSetTop(L, 2);
  if (!VmCheckStack(L, SORT_STACK_SLOTS)) return ERR_STACK;
  int32_t n = 0;
  for (;; n++) {
    VmRawGetI(L, 1, n);
    bool end = VmType(L, -1) == VM_TYPE_NIL ||
               (!function && VmType(L, -1) == VM_TYPE_STRING && VmStrLen(L, -1) == 0);
    VmSetTop(L, 2);
    if (end || n == INT32_MAX) break;
  }
  Sorter sorter(L);
  return sorter.sort(0, n - 1);
}

// ---- List editing ------------------------------------------------------------------------------

int cmdInsertItem(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  VmCheckTable(L, 1);
  int32_t position = VmOptInteger(L, 3, -1);
  VmSetTop(L, 2);
  int32_t count = listCount(L, 1);
  if (position < 0 || position > count) position = count;
  if (count == INT32_MAX) return ERR_WRONGUSAGE;
  for (int32_t i = count; i > position; i--) {
    VmRawGetI(L, 1, i - 1);
    VmRawSetI(L, 1, i);
  }
  VmPushValue(L, 2);
  VmRawSetI(L, 1, position);
  return 0;
}

int cmdRemoveItem(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  VmCheckTable(L, 1);
  int32_t position = VmOptInteger(L, 2, -1);
  VmSetTop(L, 1);
  int32_t count = listCount(L, 1);
  if (count == 0) return 0;
  if (position < 0 || position >= count) position = count - 1;
  VmRawGetI(L, 1, position);
  for (int32_t i = position; i < count - 1; i++) {
    VmRawGetI(L, 1, i + 1);
    VmRawSetI(L, 1, i);
  }
  VmPushNil(L);
  VmRawSetI(L, 1, count - 1);
  return 1;
}

int cmdConcat(VmState* L) {
  CheckArgCount(L, 1, 4, 0, 0);
  VmCheckTable(L, 1);
  size_t separatorLength = 0;
  const char* separator = VmOptString(L, 2, "", &separatorLength);
  int32_t first = VmOptInteger(L, 3, 0);
  int32_t last = VmOptInteger(L, 4, 0);
  if (last == 0) last = listCount(L, 1) - 1;
  VmStringBuffer b;
  VmBufferInit(L, &b);
  for (int64_t i = first; i <= last; i++) {
    VmRawGetI(L, 1, static_cast<int32_t>(i));
    if (VmType(L, -1) != VM_TYPE_STRING) return ERR_STRINGEXPECTED;
    VmBufferAddValue(&b);
    if (i < last) VmBufferAddBytes(&b, separator, separatorLength);
  }
  VmBufferPushResult(&b);
  return 1;
}

// ---- Counting and iteration ----------------------------------------------------------------

int cmdListItems(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  VmCheckTable(L, 1);
  VmPushNumber(L, listCount(L, 1));
  return 1;
}

int cmdTableItems(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  VmCheckTable(L, 1);
  double n = 0;
  VmPushNil(L);
  while (VmNext(L, 1)) {
    n++;
    VmSetTop(L, -2);
  }
  VmPushNumber(L, n);
  return 1;
}

int cmdIsTableEmpty(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  VmCheckTable(L, 1);
  VmPushNil(L);
  bool empty = VmNext(L, 1) == 0;
  VmPushNumber(L, empty ? 1 : 0);
  return 1;
}

int cmdNextItem(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  VmCheckTable(L, 1);
  VmSetTop(L, 2);
  if (VmNext(L, 1)) return 2;
  VmPushNil(L);
  return 1;
}

int cmdPairs(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  VmCheckTable(L, 1);
  VmPushString(L, "nextitem");
  VmGetTable(L, VM_GLOBALS_INDEX);
  VmPushValue(L, 1);
  VmPushNil(L);
  return 3;
}

int cmdIPairs(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  VmCheckTable(L, 1);
  if (VmGetTop(L) < 2) {
    VmPushCClosure(L, cmdIPairs, 0);
    VmPushValue(L, 1);
    VmPushNumber(L, -1);
    return 3;
  }
  int32_t next = VmCheckInteger(L, 2) + 1;
  VmRawGetI(L, 1, next);
  if (VmType(L, -1) == VM_TYPE_NIL) return 0;
  VmPushNumber(L, next);
  VmInsert(L, -2);
  return 2;
}

// Calls the function at index 2 with the key and value on the top and
// the user data when given; true with the result pushed when it is not
// nil (the key and value are gone then), else the value is popped.
ErrorCode callVisitor(VmState* L, bool withData, bool* stop) {
  int key = VmGetTop(L) - 1;
  VmPushValue(L, 2);
  VmPushValue(L, key);
  VmPushValue(L, key + 1);
  if (withData) VmPushValue(L, 3);
  ErrorCode error = VmCall(L, withData ? 3 : 2, 1);
  if (error) return error;
  *stop = VmType(L, -1) != VM_TYPE_NIL;
  if (*stop) return ERR_NONE;
  VmSetTop(L, -3);
  return ERR_NONE;
}

int cmdForEach(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  VmCheckTable(L, 1);
  VmCheckFunction(L, 2);
  bool withData = VmGetTop(L) >= 3;
  VmSetTop(L, 3);
  VmPushNil(L);
  while (VmNext(L, 1)) {
    bool stop = false;
    ErrorCode error = callVisitor(L, withData, &stop);
    if (error) return error;
    if (stop) return 1;
  }
  return 0;
}

int cmdForEachI(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  VmCheckTable(L, 1);
  VmCheckFunction(L, 2);
  bool withData = VmGetTop(L) >= 3;
  VmSetTop(L, 3);
  for (int32_t i = 0; i < INT32_MAX; i++) {
    VmPushNumber(L, i);
    VmRawGetI(L, 1, i);
    if (VmType(L, -1) == VM_TYPE_NIL) break;
    bool stop = false;
    ErrorCode error = callVisitor(L, withData, &stop);
    if (error) return error;
    if (stop) return 1;
    VmSetTop(L, 3);
  }
  return 0;
}

int cmdHaveItem(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  VmCheckTable(L, 1);
  if (VmType(L, 2) == VM_TYPE_STRING) {
    size_t n = VmStrLen(L, 2);
    std::string lower(VmToString(L, 2), n);
    for (char& c : lower)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    VmPushLString(L, lower.data(), n);
  } else {
    VmPushValue(L, 2);
  }
  VmRawGet(L, 1);
  VmPushNumber(L, VmType(L, -1) == VM_TYPE_NIL ? 0 : 1);
  return 1;
}

int cmdPack(VmState* L) {
  int n = VmGetTop(L);
  VmNewTableSized(L, n, 0);
  for (int i = 1; i <= n; i++) {
    VmPushValue(L, i);
    VmRawSetI(L, -2, i - 1);
  }
  return 1;
}

int cmdUnpack(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  VmCheckTable(L, 1);
  int32_t count = listCount(L, 1);
  if (!VmCheckStack(L, count)) return ERR_STACK;
  for (int32_t i = 0; i < count; i++) VmRawGetI(L, 1, i);
  return count;
}

// ---- Handles ---------------------------------------------------------------------------------

int movePointer(VmState* L, int direction) {
  CheckArgCount(L, 2, 2, 0, 0);
  VmCheckType(L, 1, VM_TYPE_LIGHTUSERDATA);
  intptr_t bytes = static_cast<intptr_t>(VmCheckInteger(L, 2)) * direction;
  auto address = reinterpret_cast<uintptr_t>(VmToUserdata(L, 1));
  VmPushLightUserdata(L, reinterpret_cast<void*>(address + static_cast<uintptr_t>(bytes)));
  return 1;
}

int cmdIncreasePointer(VmState* L) { return movePointer(L, 1); }
int cmdDecreasePointer(VmState* L) { return movePointer(L, -1); }

// Commands of other platforms: they read no arguments.
int cmdUnsupported(VmState*) { return ERR_UNSUPPORTEDFEAT; }

const CommandTableEntry tableCommands[] = {
    {"CopyTable", cmdCopyTable},
    {"Sort", cmdSort},
    {"InsertItem", cmdInsertItem},
    {"RemoveItem", cmdRemoveItem},
    {"Concat", cmdConcat},
    {"ListItems", cmdListItems},
    {"TableItems", cmdTableItems},
    {"IsTableEmpty", cmdIsTableEmpty},
    {"NextItem", cmdNextItem},
    {"Pairs", cmdPairs},
    {"IPairs", cmdIPairs},
    {"ForEach", cmdForEach},
    {"ForEachI", cmdForEachI},
    {"HaveItem", cmdHaveItem},
    {"Pack", cmdPack},
    {"Unpack", cmdUnpack},
    {"IncreasePointer", cmdIncreasePointer},
    {"DecreasePointer", cmdDecreasePointer},
    {"ImageRequest", cmdUnsupported},
    {"PermissionRequest", cmdUnsupported},
    {"ReadRegistryKey", cmdUnsupported},
    {"WriteRegistryKey", cmdUnsupported},
    {"CreateShortcut", cmdUnsupported},
    {"GetIconProperties", cmdUnsupported},
    {"SetIconProperties", cmdUnsupported},
    {"SetWBIcon", cmdUnsupported},
    {"OpenAmigaGuide", cmdUnsupported},
    {"CloseAmigaGuide", cmdUnsupported},
    {"SetTrayIcon", cmdUnsupported},
    {"GetShortcutPath", cmdUnsupported},
    {"ShowToast", cmdUnsupported},
    {"ShowRinghioMessage", cmdUnsupported},
    {"GetApplicationList", cmdUnsupported},
    {"SendApplicationMessage", cmdUnsupported},
    {"ChangeApplicationIcon", cmdUnsupported},
    {"PerformSelector", cmdUnsupported},
    {"Vibrate", cmdUnsupported},
    {"CallJavaMethod", cmdUnsupported},
    {nullptr, nullptr},
};

// The inter-process scripting port commands: kept so that scripts that
// name them load, none of them works here.
const CommandTableEntry arexxCommands[] = {
    {"SendRexxCommand", cmdUnsupported},
    {"RunRexxScript", cmdUnsupported},
    {"CreateRexxPort", cmdUnsupported},
    {nullptr, nullptr},
};

}  // namespace

ErrorCode OpenTableCommands(VmState* L) {
  ErrorCode error = RegisterLibrary(tableCommands, "system");
  if (error) return error;
  VmRegisterFunctions(L, nullptr, tableCommands, 0);
  return ERR_NONE;
}

ErrorCode OpenArexxLibrary(VmState* L) {
  ErrorCode error = RegisterLibrary(arexxCommands, "arexx");
  if (error) return error;
  VmRegisterFunctions(L, nullptr, arexxCommands, 0);
  return ERR_NONE;
}
