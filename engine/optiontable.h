// Declarative option tables: a command describes the fields of a script's
// option table as rows (field name, type, destination, range, default) and
// one reader reads them in row order with the errors of the single-field
// readers. The name lists and flag sets that rows refer to are declared
// once, by the library that owns the names, and reused by whatever else
// writes or parses the same names (start-up, preload).
//
// Invariant: the reader leaves the stack as it found it; a row whose field
// is absent or nil leaves its destination alone unless it has a default.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/linux/errors.h"

struct VmState;

// A name and the code it stands for; a list ends with a null name.
struct OptionName {
  const char* name;
  int32_t value;
};

// One flag of a flag set: the name of its boolean option, its bit and the
// flag word that holds it (an index into the words the caller passes); a
// set ends with a null name.
struct OptionFlag {
  const char* name;
  uint32_t bit;
  uint8_t word;
};

// The entry of that name (compared exactly, or ignoring ASCII case), or
// null.
const OptionName* FindOptionName(const OptionName* list, const char* name, bool ignoreCase);
// The first name of that code, or null when the list has none.
const char* OptionNameOf(const OptionName* list, int32_t value);

enum OptionType : uint8_t {
  OPTION_INT,     // int32_t: a number, truncated
  OPTION_BITS,    // uint32_t: a number's 32-bit pattern (colours)
  OPTION_NUMBER,  // double
  OPTION_BOOL,    // int32_t 1 or 0: script truth, where 0 and "" are false too
  OPTION_STRING,  // char[size]: the text cut to the buffer
  OPTION_NAME,    // int32_t: the code of a name of `names`, compared exactly
  OPTION_FLAGS,   // each flag of `flags` is a boolean option: true sets its bit
                  // in *words[flag.word], false clears it (to: uint32_t* const*)
  OPTION_ID,      // ObjectId: a light userdata or a number
  OPTION_SIZE,    // int32_t: a number, or a text "n%" stored as -n (n <= 100)
};

// What a value read must satisfy; a value that fails is not stored.
enum OptionCheck : uint8_t {
  OPTION_ANY = 0,
  OPTION_RANGE = 1,    // min <= value <= max, else rangeError (no argument)
  OPTION_NONZERO = 2,  // value != 0, else rangeError naming the field
};

struct OptionField {
  const char* name;  // none for OPTION_FLAGS, whose flags carry their names
  OptionType type;
  void* to;
  size_t size = 0;                    // OPTION_STRING: the buffer's bytes
  const OptionName* names = nullptr;  // OPTION_NAME
  const OptionFlag* flags = nullptr;  // OPTION_FLAGS
  OptionCheck check = OPTION_ANY;     // numeric types only
  double min = 0, max = 0;
  ErrorCode rangeError = ERR_WRONGUSAGE;
  bool required = false;  // absent: ERR_MISSINGPARAMTR naming the field
  bool hasDefault = false;
  double defaultValue = 0;  // stored when absent (numeric types only)
  int* given = nullptr;     // set to 1 when the field is present
};

// Reads the rows in order from the table at index table. Returns 0, or
// the first returned error (an unknown name: ERR_WRONGUSAGE with the text
// as error argument; a failed check; a missing required field), after
// which no later row is read. A value of the wrong type raises, naming
// the field, as the single-field readers do.
ErrorCode ReadOptionTable(VmState* L, int table, const OptionField* rows, size_t count);

template <size_t N>
ErrorCode ReadOptionTable(VmState* L, int table, const OptionField (&rows)[N]) {
  return ReadOptionTable(L, table, rows, N);
}

// Writes name = 1 into the table at the top of the stack for each flag of
// the set whose bit is set in words[flag.word].
void SetTableFieldFlags(VmState* L, const OptionFlag* set, const uint32_t* words);

// A list of numbers in a table field: t[name][0] (or [1] when [0] is nil),
// then each next index up to the first nil. The errors are the caller's:
// wrongType for a field that is not a table or an element that is not a
// number, tooMany for an element after maxCount numbers (0: no limit).
struct NumberListRules {
  ErrorCode wrongType;
  size_t maxCount = 0;
  ErrorCode tooMany = ERR_NONE;
};

// Reads the list of field name of the table at index table into *numbers
// (replaced) and sets *given; an absent or nil field leaves both alone.
// The first error ends the walk, and numbers is left alone then too.
// Integer elements are truncated as VmTruncInt32 does. Instantiated for
// double and int32_t.
template <class T>
ErrorCode ReadNumberList(VmState* L, int table, const char* name, const NumberListRules& rules,
                         std::vector<T>* numbers, bool* given);
extern template ErrorCode ReadNumberList<double>(VmState*, int, const char*, const NumberListRules&,
                                                 std::vector<double>*, bool*);
extern template ErrorCode ReadNumberList<int32_t>(VmState*, int, const char*,
                                                  const NumberListRules&, std::vector<int32_t>*,
                                                  bool*);
