// Option-table field readers and writers: one named field of a script's
// option table read with its type check and an error naming the field, the
// declarative reader that reads a whole table of such fields by rows, the
// matching writers for result tables, and the related helpers for object
// identifiers, object listings, paths and percent signs.
//
// Invariant: every reader leaves the stack as it found it when it returns;
// a field holding nil reads as absent and leaves the caller's value alone.
#include <cassert>
#include <cstring>

#include "engine/optiontable.h"
#include "engine/vmcore.h"
#include "engine/engine_private.h"
#include "platform/linux/platform.h"

namespace {

int absIndex(VmState* L, int i) {
  return (i > 0 || i <= VM_REGISTRY_INDEX) ? i : VmGetTop(L) + i + 1;
}

// Pushes t[field] (metamethods apply); false and nothing pushed when nil.
bool pushField(VmState* L, int table, const char* field) {
  int t = absIndex(L, table);
  VmPushString(L, field);
  VmGetTable(L, t);
  if (VmType(L, -1) != VM_TYPE_NIL) return true;
  VmSetTop(L, -2);
  return false;
}

int present(int* found) {
  if (found != nullptr) *found = 1;
  return 1;
}

int absent(int* found) {
  if (found != nullptr) *found = 0;
  return 0;
}

// Reads a present field with read (which sees it at the top and may raise)
// and pops it; absent when the field is nil.
template <typename Read>
int readField(VmState* L, int table, const char* field, int* found, Read read) {
  if (!pushField(L, table, field)) return absent(found);
  read();
  VmSetTop(L, -2);
  return present(found);
}

[[noreturn]] void fieldError(VmState* L, ErrorCode code, const char* name) {
  SetErrorArgString(name);
  VmRaiseError(L, code);
}

// The identifier at the top: a light userdata or a number.
ObjectId idAtTop(VmState* L, const char* field) {
  if (VmType(L, -1) == VM_TYPE_LIGHTUSERDATA) return ObjectId{VmToUserdata(L, -1), 0};
  return ObjectId{nullptr, VmTruncInt32(VmCheckNumberInContext(L, -1, field))};
}

LayerNameLookup layerNameLookup = nullptr;

bool findLayerByName(const char* name, int32_t* position) {
  int32_t found = layerNameLookup ? layerNameLookup(name) : 0;
  if (found < 1) return false;
  *position = found;
  return true;
}

// A name option's text is read into a buffer of this many bytes: a longer
// text matches no name (none is as long), and the error argument that
// reports it is cut to it.
constexpr size_t OPTION_NAME_SIZE = 32;

// Stores a row's default as the row's type; only numeric rows have one.
void storeDefault(const OptionField& row) {
  switch (row.type) {
    case OPTION_NUMBER:
      *static_cast<double*>(row.to) = row.defaultValue;
      break;
    case OPTION_BITS:
      *static_cast<uint32_t*>(row.to) = VmBits(row.defaultValue);
      break;
    case OPTION_INT:
    case OPTION_BOOL:
    case OPTION_NAME:
    case OPTION_SIZE:
      *static_cast<int32_t*>(row.to) = VmTruncInt32(row.defaultValue);
      break;
    default:
      assert(!"a default on a row that is not numeric");
      break;
  }
}

// The row's check on a value read; 0 when it passes.
ErrorCode checkValue(const OptionField& row, double value) {
  switch (row.check) {
    case OPTION_RANGE:
      return value >= row.min && value <= row.max ? ERR_NONE : row.rangeError;
    case OPTION_NONZERO:
      if (value != 0) return ERR_NONE;
      SetErrorArgString(row.name);
      return row.rangeError;
    default:
      return ERR_NONE;
  }
}

// Reads one row: 0 or the row's returned error; *present tells whether
// the field was there.
ErrorCode readRow(VmState* L, int table, const OptionField& row, bool* present) {
  int found = 0;
  *present = false;
  switch (row.type) {
    case OPTION_INT:
    case OPTION_SIZE: {
      int32_t v = 0;
      if (row.type == OPTION_INT ? !GetTableFieldInt(L, table, row.name, &v, &found)
                                 : !GetTableFieldSizeOrPercent(L, table, row.name, 0, &v, &found))
        return ERR_NONE;
      *present = true;
      if (ErrorCode error = checkValue(row, v)) return error;
      *static_cast<int32_t*>(row.to) = v;
      return ERR_NONE;
    }
    case OPTION_BITS: {
      uint32_t v = 0;
      if (!GetTableFieldU32(L, table, row.name, &v, &found)) return ERR_NONE;
      *present = true;
      if (ErrorCode error = checkValue(row, v)) return error;
      *static_cast<uint32_t*>(row.to) = v;
      return ERR_NONE;
    }
    case OPTION_NUMBER: {
      double v = 0;
      if (!GetTableFieldNumber(L, table, row.name, &v, &found)) return ERR_NONE;
      *present = true;
      if (ErrorCode error = checkValue(row, v)) return error;
      *static_cast<double*>(row.to) = v;
      return ERR_NONE;
    }
    case OPTION_BOOL:
      if (!pushField(L, table, row.name)) return ERR_NONE;
      *present = true;
      *static_cast<int32_t*>(row.to) = VmToTruth(L, -1) ? 1 : 0;
      VmSetTop(L, -2);
      return ERR_NONE;
    case OPTION_STRING:
      *present = GetTableFieldString(L, table, row.name, static_cast<char*>(row.to), row.size,
                                     &found) != 0;
      return ERR_NONE;
    case OPTION_NAME: {
      char text[OPTION_NAME_SIZE] = "";
      if (!GetTableFieldString(L, table, row.name, text, sizeof text, &found)) return ERR_NONE;
      *present = true;
      const OptionName* entry = FindOptionName(row.names, text, false);
      if (!entry) {
        SetErrorArgString(text);
        return ERR_WRONGUSAGE;
      }
      *static_cast<int32_t*>(row.to) = entry->value;
      return ERR_NONE;
    }
    case OPTION_FLAGS: {
      uint32_t* const* words = static_cast<uint32_t* const*>(row.to);
      for (const OptionFlag* f = row.flags; f->name; f++) {
        if (!pushField(L, table, f->name)) continue;
        *present = true;
        uint32_t& word = *words[f->word];
        word = VmToTruth(L, -1) ? (word | f->bit) : (word & ~f->bit);
        VmSetTop(L, -2);
      }
      return ERR_NONE;
    }
    case OPTION_ID:
      *present = GetTableFieldId(L, table, row.name, static_cast<ObjectId*>(row.to), &found) != 0;
      return ERR_NONE;
  }
  return ERR_NONE;
}

}  // namespace

void SetLayerNameLookup(LayerNameLookup lookup) { layerNameLookup = lookup; }

const OptionName* FindOptionName(const OptionName* list, const char* name, bool ignoreCase) {
  for (; list->name; list++)
    if (ignoreCase ? CompareNoCase(list->name, name) == 0 : std::strcmp(list->name, name) == 0)
      return list;
  return nullptr;
}

const char* OptionNameOf(const OptionName* list, int32_t value) {
  for (; list->name; list++)
    if (list->value == value) return list->name;
  return nullptr;
}

ErrorCode ReadOptionTable(VmState* L, int table, const OptionField* rows, size_t count) {
  table = absIndex(L, table);
  for (size_t i = 0; i < count; i++) {
    const OptionField& row = rows[i];
    bool present = false;
    if (ErrorCode error = readRow(L, table, row, &present)) return error;
    if (present) {
      if (row.given) *row.given = 1;
    } else if (row.required) {
      SetErrorArgString(row.name);
      return ERR_MISSINGPARAMTR;
    } else if (row.hasDefault) {
      storeDefault(row);
    }
  }
  return ERR_NONE;
}

void SetTableFieldFlags(VmState* L, const OptionFlag* set, const uint32_t* words) {
  for (; set->name; set++)
    if (words[set->word] & set->bit) SetTableFieldInt(L, set->name, 1);
}

int GetTableFieldNumber(VmState* L, int table, const char* field, double* value, int* found) {
  return readField(L, table, field, found, [&] { *value = VmCheckNumberInContext(L, -1, field); });
}

int GetTableFieldInt(VmState* L, int table, const char* field, int32_t* value, int* found) {
  return readField(L, table, field, found,
                   [&] { *value = VmTruncInt32(VmCheckNumberInContext(L, -1, field)); });
}

int GetTableFieldU32(VmState* L, int table, const char* field, uint32_t* value, int* found) {
  return readField(L, table, field, found,
                   [&] { *value = VmBits(VmCheckNumberInContext(L, -1, field)); });
}

int GetTableFieldNumberEx(VmState* L, int table, const char* field, double base, int allowOver100,
                          double* value, int* percent, int* found) {
  return readField(L, table, field, found,
                   [&] { *value = GetNumberArgEx(L, VmGetTop(L), base, allowOver100, percent); });
}

int GetTableFieldSizeOrPercent(VmState* L, int table, const char* field, int allowOver100,
                               int32_t* value, int* found) {
  if (!pushField(L, table, field)) return absent(found);
  int t = VmType(L, -1);
  if (t == VM_TYPE_NUMBER) {
    *value = VmTruncInt32(VmToNumber(L, -1));
  } else if (t == VM_TYPE_STRING) {
    const char* s = VmToString(L, -1);
    const char* p = s;
    if (*p == '-' || *p == '+') p++;
    if (!(*p >= '0' && *p <= '9')) fieldError(L, ERR_PERCENTFORMATSTR, field);
    double n = 0;
    while (*p >= '0' && *p <= '9') n = n * 10 + (*p++ - '0');
    if (*p == '.') {
      double scale = 0.1;
      for (p++; *p >= '0' && *p <= '9'; p++, scale /= 10) n += (*p - '0') * scale;
    }
    if (s[0] == '-') n = -n;
    if (*p == '%') {
      if (p[1] != '\0' || n < 0 || (!allowOver100 && n > 100))
        fieldError(L, ERR_PERCENTFORMATSTR, field);
      *value = -VmTruncInt32(n);
    } else if (*p == '\0') {
      *value = VmTruncInt32(n);
    } else {
      fieldError(L, ERR_PERCENTFORMATSTR, field);
    }
  } else {
    fieldError(L, ERR_NUMTABLEARG, field);
  }
  VmSetTop(L, -2);
  return present(found);
}

int GetTableFieldString(VmState* L, int table, const char* field, char* buffer, size_t size,
                        int* found) {
  return readField(L, table, field, found, [&] {
    StrCopyBounded(buffer, size, VmCheckStringInContext(L, -1, field, nullptr));
  });
}

int GetTableFieldId(VmState* L, int table, const char* field, ObjectId* value, int* found) {
  return readField(L, table, field, found, [&] { *value = idAtTop(L, field); });
}

int GetTableFieldRef(VmState* L, int table, const char* field, VmRef* value, int* found) {
  if (!pushField(L, table, field)) return absent(found);
  *value = VmCreateReference(L, VM_REGISTRY_INDEX);
  return present(found);
}

int GetTableFieldLayer(VmState* L, int table, const char* field, int32_t* value, int* found) {
  if (!pushField(L, table, field)) return absent(found);
  int t = VmType(L, -1);
  if (t == VM_TYPE_NUMBER) {
    *value = VmTruncInt32(VmToNumber(L, -1));
  } else if (t == VM_TYPE_STRING) {
    const char* name = VmToString(L, -1);
    if (!findLayerByName(name, value)) fieldError(L, ERR_FINDLAYER, name);
  } else {
    VmRaiseError(L, ERR_WRONGUSAGE);
  }
  VmSetTop(L, -2);
  return present(found);
}

// A field that is no table names the argument that holds the options
// table ("Table expected in argument %d!"); a missing item is a number the
// field lacks and is named with the field, as every other table field's
// error is: "Not enough arguments!" would not tell which table is short.
int GetTableFieldMatrix(VmState* L, int table, const char* field, double matrix[4], int* found) {
  int argument = table <= VM_REGISTRY_INDEX ? 0 : absIndex(L, table);
  if (!pushField(L, table, field)) return absent(found);
  if (VmType(L, -1) != VM_TYPE_TABLE) {
    SetErrorArgNumber(argument);
    fieldError(L, ERR_TABEXPECTED, field);
  }
  double m[4];
  for (int i = 0; i < 4; i++) {
    VmRawGetI(L, -1, i);
    if (!VmIsNumber(L, -1)) fieldError(L, ERR_NUMTABLEARG, field);
    m[i] = VmToNumber(L, -1);
    VmSetTop(L, -2);
  }
  std::memcpy(matrix, m, sizeof m);
  VmSetTop(L, -2);
  return present(found);
}

int GetTableFieldIdList(VmState* L, int table, const char* tableName, ObjectId* ids,
                        size_t capacity, size_t* count) {
  static const char field[] = "images";
  *count = 0;
  if (!pushField(L, table, field)) return 0;
  if (VmType(L, -1) != VM_TYPE_TABLE) fieldError(L, ERR_TABEXPECTED2, tableName);
  size_t n = 0;
  for (;; n++) {
    VmRawGetI(L, -1, static_cast<int>(n));
    if (VmType(L, -1) == VM_TYPE_NIL) {
      VmSetTop(L, -2);
      break;
    }
    // The caller's array has room for capacity identifiers only.
    if (n >= capacity) VmRaiseError(L, ERR_WRONGUSAGE);
    ids[n] = idAtTop(L, field);
    VmSetTop(L, -2);
  }
  VmSetTop(L, -2);
  *count = n;
  return 0;
}

void SetTableFieldString(VmState* L, const char* key, const char* text) {
  VmPushString(L, key);
  VmPushString(L, text);
  VmSetTable(L, -3);
}

void SetTableFieldNumber(VmState* L, const char* key, double n) {
  VmPushString(L, key);
  VmPushNumber(L, n);
  VmSetTable(L, -3);
}

void SetTableFieldInt(VmState* L, const char* key, int32_t n) { SetTableFieldNumber(L, key, n); }

void SetTableFieldU32(VmState* L, const char* key, uint32_t n) { SetTableFieldNumber(L, key, n); }

void SetTableFieldId(VmState* L, const char* key, ObjectId id) {
  VmPushString(L, key);
  PushObjectId(L, id);
  VmSetTable(L, -3);
}

char* EscapePercentSigns(const char* text, ErrorCode* error) {
  if (error != nullptr) *error = 0;
  size_t len = std::strlen(text);
  size_t count = 0;
  for (size_t i = 0; i < len; i++) count += text[i] == '%';
  if (count == 0) return nullptr;
  // len + count + 1 cannot overflow: both are sizes of one string.
  char* copy = static_cast<char*>(AllocMemory(len + count + 1, 0));
  if (copy == nullptr) {
    // Told apart from "nothing to escape": a caller must not go on
    // with the unescaped text.
    if (error != nullptr) *error = ERR_MEM;
    return nullptr;
  }
  char* q = copy;
  for (size_t i = 0; i < len; i++) {
    *q++ = text[i];
    if (text[i] == '%') *q++ = '%';
  }
  *q = '\0';
  return copy;
}
