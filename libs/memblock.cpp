// The "memblock" library: raw memory blocks that scripts allocate or wrap
// (an outside pointer, a virtual string file), typed peeks and pokes in any
// byte order, fills, copies, transfers to and from files and tables, and a
// hexadecimal dump.
//
// Invariants: a block's bytes are reached only through blockView, which
// reads a wrapped virtual file's data pointer and size at each use (writes
// to the file may move or grow them); every range check is made in 64 bits
// from 32-bit offsets and counts, so no sum or product wraps; a failing
// command has written nothing, except TableToMem, which keeps the elements
// written before the first that does not fit.
#include <cstdio>
#include <cstring>
#include <cstdint>
#include <utility>

#include "engine/engine.h"
#include "engine/optiontable.h"
#include "libs/libs.h"
#include "libs/libs_private.h"
#include "media/media.h"
#include "platform/linux/platform.h"
#include "runtime/runtime.h"

namespace {

constexpr int32_t TYPE_STRING = 3;  // the system library's STRING type constant
constexpr int DUMP_LINE_BYTES = 16;

// The library's state; FreeAllMemBlocks puts it back to its start.
struct MemBlockState {
  ObjectHead* blocks = nullptr;  // MemBlockObject list, appended at the tail
};
MemBlockState mem;

// What a block's bytes are right now. sized: accesses are checked against
// size; a block wrapping a virtual file is always sized, even when empty.
struct View {
  uint8_t* data;
  int64_t size;
  bool sized;
};

View blockView(const MemBlockObject* block) {
  if (block->file) return {block->file->data, static_cast<int64_t>(block->file->size), true};
  return {block->buffer, block->size, block->size != 0};
}

// [offset, offset + count) must lie inside a sized block; offset and count
// are at least 0 and below 2^36 here, so the sum cannot wrap.
bool fits(const View& v, int64_t offset, int64_t count) {
  return !v.sized || offset + count <= v.size;
}

void unlinkBlock(MemBlockObject* block) {
  for (ObjectHead** p = &mem.blocks; *p; p = &(*p)->next) {
    if (*p == &block->head) {
      *p = block->head.next;
      return;
    }
  }
}

void freeBlock(VmState* L, MemBlockObject* block) {
  if (!block->borrowed) FreeMemory(block->buffer);
  ReleaseVirtualStringFile(block->file);
  if (block->head.data) FreeObjectDataList(L, &block->head.data);
  FreeMemory(block);
}

ErrorCode blockArg(VmState* L, int index, MemBlockObject** block) {
  return GetMemBlockObject(GetObjectIdArg(L, index, nullptr), block);
}

// The identifier argument of a creating command; a number in use frees its
// block first.
ObjectId newBlockId(VmState* L, int* automatic) {
  ObjectId id = GetObjectIdArg(L, 1, automatic);
  MemBlockObject* old;
  if (!*automatic && GetMemBlockObject(id, &old) == ERR_NONE) {
    unlinkBlock(old);
    freeBlock(L, old);
  }
  return id;
}

// Appends a new block record (taking buffer, or the use of file) and pushes
// its automatic identifier when one was asked for. On failure what was
// handed over is released as the block would release it.
int addBlock(VmState* L, ObjectId id, int automatic, uint8_t* buffer, int32_t size, bool borrowed,
             VirtualFile* file) {
  auto* block = static_cast<MemBlockObject*>(AllocMemory(sizeof(MemBlockObject), 1));
  if (!block) {
    if (!borrowed) FreeMemory(buffer);
    ReleaseVirtualStringFile(file);
    return ERR_MEM;
  }
  block->head.type = OBJTYPE_MEMORY;
  block->head.number = automatic ? 0 : id.number;
  block->head.autoId = automatic ? block : nullptr;
  block->buffer = buffer;
  block->size = size;
  block->borrowed = borrowed ? 1 : 0;
  block->file = file;
  ObjectHead** tail = &mem.blocks;
  while (*tail) tail = &(*tail)->next;
  *tail = &block->head;
  if (!automatic) return 0;
  VmPushLightUserdata(L, block);
  return 1;
}

// The byte-order argument: ERR_WRONGUSAGE for a value that names none.
ErrorCode optByteOrder(VmState* L, int index, int32_t* order) {
  *order = VmOptInteger(L, index, MEM_BIGENDIAN);
  return *order < MEM_BIGENDIAN || *order > MEM_LITTLEENDIAN ? ERR_WRONGUSAGE : ERR_NONE;
}

void reverseBytes(uint8_t* bytes, int width) {
  for (int i = 0; i < width / 2; i++) std::swap(bytes[i], bytes[width - 1 - i]);
}

bool isTextByte(uint8_t c) { return (c >= 32 && c <= 126) || c == 9 || c == 10 || c == 13; }

// ---- Creating and freeing -----------------------------------------------------------

int cmdAllocMem(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  int automatic = 0;
  GetObjectIdArg(L, 1, &automatic);
  int32_t size = VmCheckInteger(L, 2);
  if (size <= 0) return ERR_MEM;
  ObjectId id = newBlockId(L, &automatic);
  auto* buffer = static_cast<uint8_t*>(AllocMemory(static_cast<size_t>(size), 0));
  if (!buffer) return ERR_MEM;
  return addBlock(L, id, automatic, buffer, size, false, nullptr);
}

int cmdAllocMemFromPointer(VmState* L) {
  CheckArgCount(L, 3, 3, 0, 0);
  int automatic = 0;
  GetObjectIdArg(L, 1, &automatic);
  VmCheckType(L, 2, VM_TYPE_LIGHTUSERDATA);
  auto* pointer = static_cast<uint8_t*>(VmToUserdata(L, 2));
  int32_t size = VmCheckInteger(L, 3);
  if (!pointer || size < 0) return ERR_WRONGUSAGE;
  ObjectId id = newBlockId(L, &automatic);
  return addBlock(L, id, automatic, pointer, size, true, nullptr);
}

int cmdAllocMemFromVirtualFile(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  int automatic = 0;
  GetObjectIdArg(L, 1, &automatic);
  const char* name = VmCheckString(L, 2, nullptr);
  ObjectId id = newBlockId(L, &automatic);
  VirtualFile* file = UseVirtualStringFile(name);
  if (!file) return ERR_WRONGUSAGE;
  return addBlock(L, id, automatic, nullptr, 0, true, file);
}

int cmdFreeMem(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  MemBlockObject* block;
  if (ErrorCode e = blockArg(L, 1, &block)) return e;
  unlinkBlock(block);
  freeBlock(L, block);
  return 0;
}

// ---- Typed access ---------------------------------------------------------------------

int cmdPoke(VmState* L) {
  CheckArgCount(L, 3, 5, 0, 0);
  MemBlockObject* object;
  if (ErrorCode e = blockArg(L, 1, &object)) return e;
  View v = blockView(object);
  int32_t offset = VmCheckInteger(L, 2);
  int32_t type = VmOptInteger(L, 4, MEMTYPE_INTEGER);
  int32_t order;
  if (ErrorCode e = optByteOrder(L, 5, &order)) return e;
  if (offset < 0) return ERR_MEMRANGE;
  if (type == TYPE_STRING) {
    size_t length;
    const char* text = VmCheckString(L, 3, &length);
    if (!fits(v, offset, static_cast<int64_t>(length) + 1)) return ERR_MEMRANGE;
    std::memcpy(v.data + offset, text, length + 1);
    return 0;
  }
  int width = GetMemTypeSize(type);
  if (width == 0) return ERR_WRONGUSAGE;
  uint32_t word = 0;
  double number = 0;
  if (type == MEMTYPE_FLOAT || type == MEMTYPE_DOUBLE)
    number = VmCheckNumber(L, 3);
  else
    word = static_cast<uint32_t>(VmCheckInteger(L, 3));
  if (!fits(v, offset, width)) return ERR_MEMRANGE;
  return PokeTypedValue(v.data, v.sized ? static_cast<size_t>(v.size) : 0, type, offset, word,
                        number, number, order == MEM_NATIVEENDIAN, order == MEM_LITTLEENDIAN);
}

int cmdPeek(VmState* L) {
  CheckArgCount(L, 2, 4, 0, 0);
  MemBlockObject* object;
  if (ErrorCode e = blockArg(L, 1, &object)) return e;
  View v = blockView(object);
  int32_t offset = VmCheckInteger(L, 2);
  int32_t type = VmOptInteger(L, 3, MEMTYPE_INTEGER);
  if (offset < 0) return ERR_MEMRANGE;
  if (type == TYPE_STRING) {
    int32_t length = VmOptInteger(L, 4, 0);
    if (length < 0) return ERR_WRONGUSAGE;
    if (length > 0) {
      if (!fits(v, offset, length)) return ERR_MEMRANGE;
      VmPushLString(L, reinterpret_cast<const char*>(v.data + offset), static_cast<size_t>(length));
      return 1;
    }
    if (v.sized && offset >= v.size) return ERR_MEMRANGE;
    int64_t end = offset;
    while ((!v.sized || end < v.size) && isTextByte(v.data[end])) end++;
    VmPushLString(L, reinterpret_cast<const char*>(v.data + offset),
                  static_cast<size_t>(end - offset));
    return 1;
  }
  int32_t order;
  if (ErrorCode e = optByteOrder(L, 4, &order)) return e;
  int width = GetMemTypeSize(type);
  if (width == 0) return ERR_WRONGUSAGE;
  if (!fits(v, offset, width)) return ERR_MEMRANGE;
  ErrorCode error = PeekTypedValue(L, v.data, v.sized ? static_cast<size_t>(v.size) : 0, type,
                                   offset, order == MEM_NATIVEENDIAN, order == MEM_LITTLEENDIAN);
  return error ? error : 1;
}

// ---- Filling and copying -----------------------------------------------------------------

// Fills count bytes with a repeated unit of width bytes (1, 2 or 4). A unit
// of equal bytes is a plain memset. Otherwise small fills double the first
// unit with copies; larger ones store 8-byte words of the pattern with the
// processor's string store, the way memset fills its large sizes: it
// writes whole lines without reading them into the cache first, and
// faster than a loop of vector stores does.
constexpr size_t STRING_FILL_MIN = 4096;
void fillPattern(uint8_t* to, const uint8_t* unit, size_t width, size_t count) {
  if (count == 0) return;
  if (std::memcmp(unit, unit + 1, width - 1) == 0) {
    std::memset(to, unit[0], count);
    return;
  }
#if defined(__x86_64__)
  if (count >= STRING_FILL_MIN) {
    // Leading bytes up to an 8-byte boundary, then whole words whose
    // pattern starts at that boundary's phase; the tail goes below.
    size_t lead = (8 - reinterpret_cast<uintptr_t>(to) % 8) % 8;
    for (size_t i = 0; i < lead; i++) to[i] = unit[i % width];
    uint8_t bytes[8];
    for (size_t k = 0; k < 8; k++) bytes[k] = unit[(lead + k) % width];
    uint64_t word;
    std::memcpy(&word, bytes, 8);
    size_t words = (count - lead) / 8;
    void* out = to + lead;
    asm volatile("rep stosq" : "+D"(out), "+c"(words) : "a"(word) : "memory");
    for (size_t i = count - (count - lead) % 8; i < count; i++) to[i] = unit[i % width];
    return;
  }
#endif
  std::memcpy(to, unit, width);
  size_t done = width;
  while (done < count) {
    size_t n = done < count - done ? done : count - done;
    std::memcpy(to + done, to, n);
    done += n;
  }
}

int cmdFillMem(VmState* L) {
  CheckArgCount(L, 3, 5, 0, 0);
  MemBlockObject* object;
  if (ErrorCode e = blockArg(L, 1, &object)) return e;
  View v = blockView(object);
  uint32_t value = static_cast<uint32_t>(VmCheckInteger(L, 2));
  int32_t count = VmCheckInteger(L, 3);
  int32_t offset = VmOptInteger(L, 4, 0);
  int32_t type = VmOptInteger(L, 5, MEMTYPE_BYTE);
  if (count < 1) return 0;
  if (offset < 0 || !fits(v, offset, count)) return ERR_MEMRANGE;
  uint8_t* to = v.data + offset;
  switch (type) {
    case MEMTYPE_BYTE:
      std::memset(to, static_cast<int>(value & 0xFF), static_cast<size_t>(count));
      return 0;
    case MEMTYPE_SHORT: {
      if (count % 2 != 0 || offset % 2 != 0) return ERR_WRONGUSAGE;
      const uint8_t unit[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
      fillPattern(to, unit, 2, static_cast<size_t>(count));
      return 0;
    }
    case MEMTYPE_INTEGER: {
      if (count % 4 != 0 || offset % 4 != 0) return ERR_WRONGUSAGE;
      const uint8_t unit[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                               static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
      fillPattern(to, unit, 4, static_cast<size_t>(count));
      return 0;
    }
    default:
      return ERR_WRONGUSAGE;
  }
}

int cmdCopyMem(VmState* L) {
  CheckArgCount(L, 3, 5, 0, 0);
  MemBlockObject* source;
  if (ErrorCode e = blockArg(L, 1, &source)) return e;
  MemBlockObject* destination;
  if (ErrorCode e = blockArg(L, 2, &destination)) return e;
  int32_t count = VmCheckInteger(L, 3);
  int32_t sourceOffset = VmOptInteger(L, 4, 0);
  int32_t destinationOffset = VmOptInteger(L, 5, 0);
  if (count < 1) return 0;
  if (sourceOffset < 0 || destinationOffset < 0) return ERR_MEMRANGE;
  if (source == destination) return ERR_WRONGUSAGE;
  View s = blockView(source);
  View d = blockView(destination);
  if (!fits(s, sourceOffset, count) || !fits(d, destinationOffset, count)) return ERR_MEMRANGE;
  const uint8_t* from = s.data + sourceOffset;
  uint8_t* to = d.data + destinationOffset;
  auto n = static_cast<size_t>(count);
  // Bytes go in ascending order: where two wrapped blocks overlap with the
  // destination after the source, the copy repeats the leading bytes, as a
  // forward copy does; memmove would not.
  if (to > from && to < from + n) {
    for (size_t i = 0; i < n; i++) to[i] = from[i];
  } else {
    std::memmove(to, from, n);
  }
  return 0;
}

// ---- Files ----------------------------------------------------------------------------------

template <bool Reading>
int fileTransfer(VmState* L) {
  CheckArgCount(L, 3, 4, 0, 0);
  FileObject* file;
  if (ErrorCode e = GetFileArg(L, 1, &file)) return e;
  MemBlockObject* object;
  if (ErrorCode e = blockArg(L, 2, &object)) return e;
  View v = blockView(object);
  int32_t count = VmCheckInteger(L, 3);
  int32_t offset = VmOptInteger(L, 4, 0);
  if (count < 1) return 0;
  if (offset < 0) return ERR_WRONGUSAGE;
  if (Reading && file->mode == MODE_WRITE) return ERR_WRITEONLY;
  if (!Reading && file->mode == MODE_READ) return ERR_READONLY;
  if (!fits(v, offset, count)) return ERR_MEMRANGE;
  auto n = static_cast<size_t>(count);
  if (Reading) return DosReadBytes(file->stream, v.data + offset, n) == n ? 0 : ERR_READ;
  return DosWriteBytes(file->stream, v.data + offset, n) == n ? 0 : ERR_WRITE;
}

// ---- Dump, tables and strings ------------------------------------------------------------

int cmdDumpMem(VmState* L) {
  CheckArgCount(L, 1, 3, 0, 0);
  MemBlockObject* object;
  if (ErrorCode e = blockArg(L, 1, &object)) return e;
  View v = blockView(object);
  int32_t count = VmOptInteger(L, 2, 0);
  int32_t offset = VmOptInteger(L, 3, 0);
  if (offset < 0) return ERR_WRONGUSAGE;
  int64_t length = count;
  if (count < 1) {
    // The whole block from the offset on.
    if (!v.sized) return ERR_WRONGUSAGE;
    if (offset >= v.size) return ERR_MEMRANGE;
    length = v.size - offset;
  }
  if (!fits(v, offset, length)) return ERR_MEMRANGE;
  const uint8_t* bytes = v.data + offset;
  for (int64_t line = 0; line < length; line += DUMP_LINE_BYTES) {
    int64_t n = length - line < DUMP_LINE_BYTES ? length - line : DUMP_LINE_BYTES;
    char text[8 + 2 + DUMP_LINE_BYTES * 3 + DUMP_LINE_BYTES + 2];
    char* p =
        text + std::snprintf(text, sizeof text,
                             "%.8x: ", static_cast<unsigned>(static_cast<uint32_t>(offset + line)));
    for (int i = 0; i < DUMP_LINE_BYTES; i++) {
      if (i < n)
        p += std::snprintf(p, 4, "%.2x ", bytes[line + i]);
      else
        p += std::snprintf(p, 4, "   ");
    }
    for (int64_t i = 0; i < n; i++) {
      uint8_t c = bytes[line + i];
      *p++ = c >= 32 && c <= 126 ? static_cast<char>(c) : '.';
    }
    *p++ = '\n';
    EndConsoleLine(stdout);
    std::fwrite(text, 1, static_cast<size_t>(p - text), stdout);
  }
  return 0;
}

int cmdMemToTable(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  MemBlockObject* object;
  if (ErrorCode e = blockArg(L, 1, &object)) return e;
  View v = blockView(object);
  int32_t type = VmCheckInteger(L, 2);
  int32_t items = 0, offset = 0, endianSwitch = 0, isSigned = 0;
  if (VmType(L, 3) != VM_TYPE_NONE) {
    VmCheckTable(L, 3);
    const OptionField rows[] = {{"items", OPTION_INT, &items},
                                {"offset", OPTION_INT, &offset},
                                {"endianswitch", OPTION_BOOL, &endianSwitch},
                                {"signed", OPTION_BOOL, &isSigned}};
    ErrorCode error = ReadOptionTable(L, 3, rows);
    if (error) return error;
  }
  int width = GetMemTypeSize(type);
  if (offset < 0 || items < 0 || width == 0) return ERR_WRONGUSAGE;
  int64_t count = items;
  if (count == 0 && v.sized && offset < v.size) count = (v.size - offset) / width;
  if (count == 0) return ERR_WRONGUSAGE;
  if (!fits(v, offset, count * width)) return ERR_MEMRANGE;
  if (count > INT32_MAX) return ERR_MEMRANGE;
  VmNewTableSized(L, 0, count < 1024 ? static_cast<int>(count) : 1024);
  for (int64_t i = 0; i < count; i++) {
    uint8_t bytes[8];
    std::memcpy(bytes, v.data + offset + i * width, static_cast<size_t>(width));
    if (endianSwitch) reverseBytes(bytes, width);
    double value;
    switch (type) {
      case MEMTYPE_INTEGER: {
        uint32_t w;
        std::memcpy(&w, bytes, 4);
        value = w;
        break;
      }
      case MEMTYPE_SHORT: {
        uint16_t w;
        std::memcpy(&w, bytes, 2);
        value = isSigned ? static_cast<int16_t>(w) : w;
        break;
      }
      case MEMTYPE_BYTE:
        value = isSigned ? static_cast<int8_t>(bytes[0]) : bytes[0];
        break;
      case MEMTYPE_FLOAT: {
        float f;
        std::memcpy(&f, bytes, 4);
        value = f;
        break;
      }
      default:
        std::memcpy(&value, bytes, 8);
        break;
    }
    VmPushNumber(L, value);
    VmRawSetI(L, -2, static_cast<int>(i));
  }
  return 1;
}

int cmdTableToMem(VmState* L) {
  CheckArgCount(L, 3, 4, 0, 0);
  VmCheckTable(L, 1);
  MemBlockObject* block;
  if (ErrorCode e = blockArg(L, 2, &block)) return e;
  int32_t type = VmCheckInteger(L, 3);
  int32_t offset = 0, endianSwitch = 0;
  if (VmType(L, 4) != VM_TYPE_NONE) {
    VmCheckTable(L, 4);
    const OptionField rows[] = {{"offset", OPTION_INT, &offset},
                                {"endianswitch", OPTION_BOOL, &endianSwitch}};
    ErrorCode error = ReadOptionTable(L, 4, rows);
    if (error) return error;
  }
  int width = GetMemTypeSize(type);
  if (offset < 0 || width == 0) return ERR_WRONGUSAGE;
  View v = blockView(block);
  if (v.sized && offset > v.size) return ERR_MEMRANGE;
  int64_t at = offset;
  for (int i = 0;; i++) {
    VmRawGetI(L, 1, i);
    if (VmType(L, -1) == VM_TYPE_NIL) break;
    double number = VmCheckNumber(L, -1);
    VmSetTop(L, -2);
    // An unsized block has no room that could be checked: nothing is
    // written into it.
    if (!v.sized || at + width > v.size) return ERR_MEMRANGE;
    uint8_t bytes[8];
    switch (type) {
      case MEMTYPE_INTEGER: {
        auto w = static_cast<uint32_t>(VmNumberToInteger(number));
        std::memcpy(bytes, &w, 4);
        break;
      }
      case MEMTYPE_SHORT: {
        auto w = static_cast<uint16_t>(VmNumberToInteger(number));
        std::memcpy(bytes, &w, 2);
        break;
      }
      case MEMTYPE_BYTE:
        bytes[0] = static_cast<uint8_t>(VmNumberToInteger(number));
        break;
      case MEMTYPE_FLOAT:
        // Out-of-range values go through the typed writer, which makes
        // them infinities rather than leave the conversion undefined.
        PokeTypedValue(bytes, 4, MEMTYPE_FLOAT, 0, 0, number, number, 1, 0);
        break;
      default:
        std::memcpy(bytes, &number, 8);
        break;
    }
    if (endianSwitch) reverseBytes(bytes, width);
    std::memcpy(v.data + at, bytes, static_cast<size_t>(width));
    at += width;
  }
  return 0;
}

int cmdGetMemPointer(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  MemBlockObject* object;
  if (ErrorCode e = blockArg(L, 1, &object)) return e;
  View v = blockView(object);
  int32_t offset = VmOptInteger(L, 2, 0);
  if (offset < 0 || (v.sized && offset >= v.size)) return ERR_WRONGUSAGE;
  VmPushLightUserdata(L, v.data + offset);
  return 1;
}

int cmdGetMemString(VmState* L) {
  CheckArgCount(L, 1, 3, 0, 0);
  MemBlockObject* object;
  if (ErrorCode e = blockArg(L, 1, &object)) return e;
  View v = blockView(object);
  int32_t offset = VmOptInteger(L, 2, 0);
  int32_t length = VmOptInteger(L, 3, 0);
  if (offset < 0 || length < 0) return ERR_WRONGUSAGE;
  int64_t n = length;
  if (v.sized) {
    if (offset >= v.size || n > v.size - offset) return ERR_WRONGUSAGE;
    if (n == 0) n = v.size - offset;
  } else if (n == 0) {
    return ERR_WRONGUSAGE;
  }
  VmPushLString(L, reinterpret_cast<const char*>(v.data + offset), static_cast<size_t>(n));
  return 1;
}

// ---- Attributes and tables --------------------------------------------------------------

int readMemoryAttribute(VmState* L, int32_t attribute) {
  if (attribute == ATTRCOUNT) {
    VmPushNumber(L, CountObjectList(mem.blocks));
    return 1;
  }
  MemBlockObject* block;
  if (ErrorCode e = blockArg(L, 2, &block)) return e;
  if (attribute != ATTRSIZE) return ERR_UNKNOWNATTR;
  VmPushNumber(L, static_cast<double>(blockView(block).size));
  return 1;
}

const CommandTableEntry memCommands[] = {
    {"AllocMem", cmdAllocMem},
    {"FreeMem", cmdFreeMem},
    {"Poke", cmdPoke},
    {"Peek", cmdPeek},
    {"FillMem", cmdFillMem},
    {"CopyMem", cmdCopyMem},
    {"ReadMem", fileTransfer<true>},
    {"WriteMem", fileTransfer<false>},
    {"DumpMem", cmdDumpMem},
    {"MemToTable", cmdMemToTable},
    {"TableToMem", cmdTableToMem},
    {"GetMemPointer", cmdGetMemPointer},
    {"GetMemString", cmdGetMemString},
    {"AllocMemFromPointer", cmdAllocMemFromPointer},
    {"AllocMemFromVirtualFile", cmdAllocMemFromVirtualFile},
    {nullptr, nullptr},
};

const ConstantTableEntry memConstants[] = {
    {"BIGENDIAN", nullptr, MEM_BIGENDIAN},
    {"NATIVEENDIAN", nullptr, MEM_NATIVEENDIAN},
    {"LITTLEENDIAN", nullptr, MEM_LITTLEENDIAN},
    {nullptr, nullptr, 0},
};

}  // namespace

ErrorCode GetMemBlockObject(ObjectId id, MemBlockObject** out) {
  *out = nullptr;
  for (ObjectHead* h = mem.blocks; h; h = h->next) {
    if (id.autoId ? h->autoId == id.autoId : (h->autoId == nullptr && h->number == id.number)) {
      *out = reinterpret_cast<MemBlockObject*>(h);
      return ERR_NONE;
    }
  }
  if (id.autoId) return ERR_FINDARRAY;
  SetErrorArgNumber(id.number);
  return ERR_FINDMEMBLK;
}

namespace {

// CreateSample's "memory" source: bytes bytes from offset in the block. A
// block of known size must hold them all (ERR_MEMRANGE); a block made from
// a bare pointer has no size to check against.
ErrorCode readSampleFromBlock(VmState*, ObjectId id, size_t offset, void* buffer, size_t bytes) {
  MemBlockObject* block = nullptr;
  if (ErrorCode error = GetMemBlockObject(id, &block)) return error;
  View v = blockView(block);
  if (v.sized) {
    size_t size = static_cast<size_t>(v.size);
    if (offset > size || bytes > size - offset) return ERR_MEMRANGE;
  }
  if (bytes) std::memcpy(buffer, v.data + offset, bytes);
  return ERR_NONE;
}

}  // namespace

ErrorCode OpenMemBlockLibrary(VmState* L) {
  ErrorCode error = RegisterLibrary(memCommands, "memblock");
  if (error) return error;
  VmRegisterFunctions(L, nullptr, memCommands, 0);
  VmRegisterConstants(L, memConstants, 0);
  error = RegisterAttributeReader(OBJTYPE_MEMORY, readMemoryAttribute);
  if (error) return error;
  SetSampleMemorySource(readSampleFromBlock);
  return RegisterObjectList(&mem.blocks);
}

void FreeAllMemBlocks(VmState* L) {
  SetSampleMemorySource(nullptr);
  while (mem.blocks) {
    auto* block = reinterpret_cast<MemBlockObject*>(mem.blocks);
    mem.blocks = block->head.next;
    freeBlock(L, block);
  }
  mem = MemBlockState();
}
