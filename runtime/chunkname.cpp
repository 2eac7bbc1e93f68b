// Linked-data names: the ":::chunk" and ":::chunkS" texts, the ":::memory"
// records, extensions and display names, and the look-up of files linked
// into the applet. Invariant: a parsed chunk name's offset + size never
// overflows, and every text handed out fits the buffer it was given.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "engine/engine.h"
#include "runtime/runtime.h"
#include "runtime/stream_private.h"
#include "runtime/context_private.h"

namespace {

constexpr char CHUNK_PREFIX[] = ":::chunk";
constexpr size_t CHUNK_PREFIX_LENGTH = sizeof CHUNK_PREFIX - 1;
constexpr char MEMORY_TAG[] = ":::memory";
constexpr char FONT_PREFIX[] = "::font:";
constexpr size_t FONT_PREFIX_LENGTH = sizeof FONT_PREFIX - 1;
constexpr size_t NAME_BUFFER = 1024;    // names the resolver compares and returns
constexpr size_t FONT_NAME_KEEP = 255;  // characters kept of a ".font" name

// Result buffers: each holds a name only until the next call.
char displayName[NAME_BUFFER];
char resolvedName[NAME_BUFFER];

// Decimal digits at *p into *value; false for none or overflow.
bool parseNumber(const char** p, uint64_t* value) {
  const char* s = *p;
  uint64_t v = 0;
  if (*s < '0' || *s > '9') return false;
  for (; *s >= '0' && *s <= '9'; s++) {
    if (v > (UINT64_MAX - static_cast<uint64_t>(*s - '0')) / 10) return false;
    v = v * 10 + static_cast<uint64_t>(*s - '0');
  }
  *p = s;
  *value = v;
  return true;
}

bool copyRange(char* buffer, size_t size, const char* begin, size_t length) {
  if (!buffer) return true;
  if (length >= size) return false;
  std::memcpy(buffer, begin, length);
  buffer[length] = '\0';
  return true;
}

// The extension of the text [begin, end): from its last '.' on, within its
// file part; empty without a dot.
bool extensionOf(char* buffer, size_t size, const char* begin, const char* end) {
  const char* dot = nullptr;
  for (const char* p = begin; p < end; p++) {
    if (*p == '.') dot = p;
    if (*p == '/' || *p == '\\' || *p == ':') dot = nullptr;
  }
  if (!dot) return copyRange(buffer, size, begin, 0);
  return copyRange(buffer, size, dot, static_cast<size_t>(end - dot));
}

bool endsWithNoCase(const char* text, const char* tail) {
  size_t a = std::strlen(text), b = std::strlen(tail);
  return a >= b && CompareNoCase(text + a - b, tail) == 0;
}

// Names compared with '\' as '/' and without regard to case.
bool sameLinkedName(const char* a, const char* b) {
  char x[NAME_BUFFER], y[NAME_BUFFER];
  StrCopyBounded(x, sizeof x, a);
  StrCopyBounded(y, sizeof y, b);
  for (char* p = x; *p; p++)
    if (*p == '\\') *p = '/';
  for (char* p = y; *p; p++)
    if (*p == '\\') *p = '/';
  return CompareNoCase(x, y) == 0;
}

}  // namespace

void MakeMemoryFileName(MemoryFileName* record, const void* address, size_t size) {
  std::memset(record->text, 0, sizeof record->text);
  std::memcpy(record->text, MEMORY_TAG, sizeof MEMORY_TAG);
  record->address = address;
  record->size = size;
  ReleaseMemoryFileName(record);
  // The oldest record is forgotten when every slot is taken: opening it
  // then fails cleanly instead of reading a record that may be gone.
  std::memmove(runtimeContext.liveMemoryNames + 1, runtimeContext.liveMemoryNames,
               sizeof runtimeContext.liveMemoryNames - sizeof runtimeContext.liveMemoryNames[0]);
  runtimeContext.liveMemoryNames[0] = record;
}

void ReleaseMemoryFileName(MemoryFileName* record) {
  for (auto*& slot : runtimeContext.liveMemoryNames)
    if (slot == record) slot = nullptr;
}

bool IsMemoryFileName(const char* name) {
  // Pointers are only compared, never followed.
  for (const MemoryFileName* slot : runtimeContext.liveMemoryNames)
    if (slot && reinterpret_cast<const char*>(slot) == name) return true;
  return false;
}

bool IsChunkName(const char* name) {
  return name && std::strncmp(name, CHUNK_PREFIX, CHUNK_PREFIX_LENGTH) == 0;
}

int ParseChunkName(const char* name, uint64_t* offset, uint64_t* size, char* nameBuffer,
                   size_t nameSize, char* extra, size_t extraSize, char* extension,
                   size_t extensionSize, VirtualFile** file) {
  if (!IsChunkName(name)) return 0;
  const char* p = name + CHUNK_PREFIX_LENGTH;
  const bool isString = *p == 'S';
  if (isString) p++;
  uint64_t first = 0, length = 0;
  if (!parseNumber(&p, &first) || *p++ != ':' || !parseNumber(&p, &length) || *p++ != '*') return 0;
  const char* stored = p;
  const char* question = std::strchr(stored, '?');
  if (!question) return 0;
  VirtualFile* virtualFile = nullptr;
  if (isString) {
    if (first > INT32_MAX) return 0;
    virtualFile = FindVirtualStringFile(static_cast<int32_t>(first));
    if (!virtualFile) return 0;
  } else if (first > UINT64_MAX - length) {
    return 0;
  }
  if (!copyRange(nameBuffer, nameSize, stored, static_cast<size_t>(question - stored))) return 0;
  const char* extraText = isString ? question + std::strlen(question) : question + 1;
  if (!copyRange(extra, extraSize, extraText, std::strlen(extraText))) return 0;
  if (extension && !extensionOf(extension, extensionSize, stored, question)) return 0;
  if (offset) *offset = isString ? 0 : first;
  if (size) *size = (isString && file) ? virtualFile->size : length;
  if (file) *file = virtualFile;
  return 1;
}

int MakeChunkName(const char* name, char* buffer, size_t size, int64_t offset, uint64_t length,
                  uint64_t base, const char* extra) {
  if (!buffer || size == 0) return 0;
  char head[64];
  if (offset == -1) {
    if (base > INT32_MAX) return 0;
    std::snprintf(head, sizeof head, ":::chunkS%" PRIu64 ":%" PRIu64, base, length);
  } else {
    uint64_t at;
    if (offset < 0 || __builtin_add_overflow(base, static_cast<uint64_t>(offset), &at) ||
        at > UINT64_MAX - length)
      return 0;
    std::snprintf(head, sizeof head, ":::chunk%" PRIu64 ":%" PRIu64, at, length);
  }
  buffer[0] = '\0';
  if (StrAppendBounded(buffer, size, head) && StrAppendBounded(buffer, size, "*") &&
      StrAppendBounded(buffer, size, name ? name : "") && StrAppendBounded(buffer, size, "?") &&
      StrAppendBounded(buffer, size, extra ? extra : ""))
    return 1;
  buffer[0] = '\0';
  return 0;
}

void GetFileExtension(char* buffer, size_t size, const char* name) {
  if (!buffer || size == 0) return;
  buffer[0] = '\0';
  if (!name) return;
  if (IsChunkName(name)) {
    if (!ParseChunkName(name, nullptr, nullptr, nullptr, 0, nullptr, 0, buffer, size, nullptr))
      buffer[0] = '\0';
    return;
  }
  if (!extensionOf(buffer, size, name, name + std::strlen(name))) buffer[0] = '\0';
}

const char* GetDisplayFileName(const char* name) {
  if (!name) return "";
  if (IsChunkName(name)) {
    if (!ParseChunkName(name, nullptr, nullptr, displayName, sizeof displayName, nullptr, 0,
                        nullptr, 0, nullptr))
      StrCopyBounded(displayName, sizeof displayName, name);
  } else {
    StrCopyBounded(displayName, sizeof displayName, name);
  }
  if (std::strlen(displayName) < 2) return displayName;
  const char* cut = nullptr;
  for (const char* p = displayName; *p; p++)
    if (*p == '/' || *p == '\\') cut = p;
  if (!cut) cut = std::strchr(displayName, ':');
  return cut ? cut + 1 : displayName;
}

const char* ResolveLinkedFileIn(const LinkedFileTable* table, const char* name, int fontMode,
                                int32_t* isFont) {
  if (isFont) *isFont = 0;
  if (!table || !name) return name;
  bool lookForFont = false;
  char wanted[NAME_BUFFER];
  StrCopyBounded(wanted, sizeof wanted, name);
  if (fontMode) {
    if (endsWithNoCase(wanted, ".ttf") || endsWithNoCase(wanted, ".otf")) {
      lookForFont = false;
    } else {
      lookForFont = true;
      if (endsWithNoCase(wanted, ".font")) {
        wanted[std::strlen(wanted) - 5] = '\0';
        if (std::strlen(wanted) > FONT_NAME_KEEP) wanted[FONT_NAME_KEEP] = '\0';
      }
    }
  }
  for (const LinkedFileEntry* e = table->first; e; e = e->next) {
    const bool entryIsFont = CompareNoCaseN(e->name, FONT_PREFIX, FONT_PREFIX_LENGTH) == 0;
    if (entryIsFont != lookForFont) continue;
    const char* entryName = entryIsFont ? e->name + FONT_PREFIX_LENGTH : e->name;
    if (entryIsFont ? CompareNoCase(entryName, wanted) != 0 : !sameLinkedName(entryName, wanted))
      continue;
    const char* holder =
        (e->path && e->path[0]) ? e->path : (table->appletPath ? table->appletPath : "");
    uint64_t offset;
    if (__builtin_add_overflow(e->offset, table->baseOffset, &offset) || offset > INT64_MAX)
      return name;
    if (!MakeChunkName(entryName, resolvedName, sizeof resolvedName, static_cast<int64_t>(offset),
                       e->size, 0, holder))
      return name;
    if (isFont) *isFont = entryIsFont ? 1 : 0;
    return resolvedName;
  }
  return name;
}

const char* ResolveLinkedFile(VmState* L, const char* name, int fontMode, int32_t* isFont) {
  return ResolveLinkedFileIn(GetLinkedFileTable(L), name, fontMode, isFont);
}

const char* GetFileNameArg(VmState* L, int index) {
  return ResolveLinkedFile(L, VmCheckString(L, index, nullptr), 0, nullptr);
}

int GetTableFieldFileName(VmState* L, int table, const char* field, int flags, char** out,
                          size_t* length) {
  if (table < 0 && table > VM_REGISTRY_INDEX) table = VmGetTop(L) + table + 1;
  VmPushString(L, field);
  VmGetTable(L, table);
  if (VmType(L, -1) == VM_TYPE_NIL) {
    VmSetTop(L, -2);
    return 0;
  }
  const char* name = VmCheckStringInContext(L, -1, field, nullptr);
  if (flags & (TABLE_FILENAME_RESOLVE | TABLE_FILENAME_FONT))
    name = ResolveLinkedFile(L, name, (flags & TABLE_FILENAME_FONT) ? 1 : 0, nullptr);
  size_t n = std::strlen(name);
  auto* copy = static_cast<char*>(AllocMemory(n + 1, 0));
  if (!copy) VmRaiseError(L, ERR_MEM);
  std::memcpy(copy, name, n + 1);
  VmSetTop(L, -2);
  *out = copy;
  if (length) *length = n;
  return 1;
}
