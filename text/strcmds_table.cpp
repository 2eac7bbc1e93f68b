// The string library's command table in its registration order, joined
// from the tables of the command files.
//
// Invariant: every name of the order list is found in exactly one of the
// file tables (a missing one would leave a hole, so the lookup asserts).
#include <cassert>
#include <cstring>
#include <vector>

#include "text/strcmds.h"

namespace {

constexpr const char* ORDER[] = {
    "LowerStr",
    "UpperStr",
    "Val",
    "StrStr",
    "UnrightStr",
    "UnleftStr",
    "Chr",
    "MidStr",
    "RightStr",
    "LeftStr",
    "FindStr",
    "AddStr",
    "HexStr",
    "Asc",
    "StrLen",
    "ReplaceStr",
    "BinStr",
    "SplitStr",
    "PadNum",
    "StrToArray",
    "TrimStr",
    "ToString",
    "ToNumber",
    "UnmidStr",
    "CountStr",
    "InsertStr",
    "RepeatStr",
    "MD5Str",
    "CRC32Str",
    "FormatStr",
    "PatternFindStr",
    "PatternReplaceStr",
    "Eval",
    "PatternFindStrDirect",
    "PatternFindStrShort",
    "ArrayToStr",
    "Base64Str",
    "ToUserData",
    "ByteOffset",
    "CharOffset",
    "CharWidth",
    "ValidateStr",
    "ConvertStr",
    "ReverseStr",
    "ByteLen",
    "IsAlNum",
    "IsAlpha",
    "IsCntrl",
    "IsDigit",
    "IsGraph",
    "IsLower",
    "IsPrint",
    "IsPunct",
    "IsSpace",
    "IsUpper",
    "IsXDigit",
    "CompareStr",
    "ByteAsc",
    "ByteChr",
    "StartsWith",
    "EndsWith",
    "StripStr",
    "EmptyStr",
    "ByteVal",
    "ByteStrStr",
};

VmCommandFunction lookUp(const char* name) {
  for (const CommandTableEntry* table :
       {stringTextCommands, stringPatternCommands, stringNumberCommands})
    for (const CommandTableEntry* e = table; e->name; e++)
      if (std::strcmp(e->name, name) == 0) return e->function;
  return nullptr;
}

}  // namespace

const CommandTableEntry* StringLibraryCommands(VmCommandFunction toString) {
  static const std::vector<CommandTableEntry> table = [toString] {
    std::vector<CommandTableEntry> t;
    for (const char* name : ORDER) {
      VmCommandFunction f = std::strcmp(name, "ToString") == 0 ? toString : lookUp(name);
      assert(f != nullptr);
      t.push_back({name, f});
    }
    t.push_back({nullptr, nullptr});
    return t;
  }();
  return table.data();
}
