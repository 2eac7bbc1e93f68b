// Serialised tables and functions (the saved games): WriteTable and
// ReadTable, WriteFunction and ReadFunction, in binary form or as Base64
// text behind a hexadecimal character count. Numbers and lengths are
// big-endian; a body is tagged entries ended by a zero byte.
//
// Invariant: no length read from a file is trusted. A length above the
// bytes that are left is ERR_READ before anything is allocated; on a stream
// whose size cannot be told the buffer grows only as bytes arrive.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/engine.h"
#include "libs/libs.h"
#include "libs/libs_private.h"
#include "runtime/runtime.h"

namespace {

enum : uint8_t { TAG_END = 0, TAG_NUMBER = 2, TAG_STRING = 3, TAG_TABLE = 4, TAG_FUNCTION = 5 };
// Chunk name of functions loaded from a file.
constexpr const char* FUNCTION_CHUNK_NAME = "=ReadFunction";

// Where bytes are written: the file (by the I/O mode) or a memory buffer.
struct Sink {
  StreamHandle* stream;
  std::string* memory;
  ErrorCode put(const void* p, size_t n) {
    if (memory) {
      memory->append(static_cast<const char*>(p), n);
      return ERR_NONE;
    }
    return DosWriteBytes(stream, p, n) == n ? ERR_NONE : ERR_WRITE;
  }
  ErrorCode putByte(uint8_t b) { return put(&b, 1); }
  ErrorCode putU32(uint32_t v) {
    uint8_t b[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    return put(b, 4);
  }
  ErrorCode putNumber(double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    uint8_t b[8];
    for (int i = 0; i < 8; i++) b[i] = uint8_t(bits >> (56 - 8 * i));
    return put(b, 8);
  }
};

// Where bytes are read from: the file, or memory between cursor and end.
struct Source {
  StreamHandle* stream;
  const uint8_t* cursor;
  const uint8_t* end;
  ErrorCode get(void* p, size_t n) {
    if (!stream) {
      if (static_cast<size_t>(end - cursor) < n) return ERR_READ;
      std::memcpy(p, cursor, n);
      cursor += n;
      return ERR_NONE;
    }
    return DosReadBytes(stream, p, n) == n ? ERR_NONE : ERR_READ;
  }
  ErrorCode getU32(uint32_t* v) {
    uint8_t b[4];
    ErrorCode e = get(b, 4);
    *v = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    return e;
  }
  ErrorCode getNumber(double* d) {
    uint8_t b[8];
    ErrorCode e = get(b, 8);
    uint64_t bits = 0;
    for (int i = 0; i < 8; i++) bits = bits << 8 | b[i];
    std::memcpy(d, &bits, 8);
    return e;
  }
  // Reads n bytes that a file announced into out, checking n against what
  // is left before any room is taken.
  ErrorCode getCounted(uint64_t n, std::string* out) {
    if (!stream) {
      if (static_cast<uint64_t>(end - cursor) < n) return ERR_READ;
      out->assign(reinterpret_cast<const char*>(cursor), static_cast<size_t>(n));
      cursor += n;
      return ERR_NONE;
    }
    int64_t size = GetStreamSize(stream);
    if (size >= 0) {
      int64_t position = SeekFileStream(stream, 0, 0);
      if (position >= 0 && static_cast<uint64_t>(size - position) < n) return ERR_READ;
    }
    out->clear();
    char block[STREAM_BLOCK_SIZE];
    while (out->size() < n) {
      size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof block, n - out->size()));
      if (DosReadBytes(stream, block, want) != want) return ERR_READ;
      out->append(block, want);
    }
    return ERR_NONE;
  }
};

int dumpWriter(VmState*, const void* p, size_t size, void* data) {
  static_cast<std::string*>(data)->append(static_cast<const char*>(p), size);
  return 0;
}

ErrorCode dumpFunction(VmState* L, int index, std::string* out) {
  out->clear();
  return VmDump(L, index, dumpWriter, out);
}

ErrorCode writeFunctionRecord(VmState* L, int index, Sink* sink) {
  std::string dump;
  ErrorCode error = dumpFunction(L, index, &dump);
  if (!error) error = sink->putU32(static_cast<uint32_t>(dump.size()));
  if (!error) error = sink->put(dump.data(), dump.size());
  return error;
}

ErrorCode writeBody(VmState* L, int table, Sink* sink) {
  if (!VmCheckStack(L, 3)) return ERR_STACK;
  if (table < 0) table = VmGetTop(L) + table + 1;
  VmPushNil(L);
  while (VmNext(L, table)) {
    int keyType = VmType(L, -2);
    if (keyType != VM_TYPE_NUMBER && keyType != VM_TYPE_STRING) return ERR_WRONGUSAGE;
    int valueType = VmType(L, -1);
    bool stored = valueType == VM_TYPE_NUMBER || valueType == VM_TYPE_STRING ||
                  valueType == VM_TYPE_TABLE || valueType == VM_TYPE_FUNCTION ||
                  valueType == VM_TYPE_USERDATA || valueType == VM_TYPE_LIGHTUSERDATA;
    if (stored) {
      ErrorCode error;
      if (keyType == VM_TYPE_NUMBER) {
        error = sink->putByte(TAG_NUMBER);
        if (!error) error = sink->putNumber(VmToNumber(L, -2));
      } else {
        size_t n = VmStrLen(L, -2);
        error = sink->putByte(TAG_STRING);
        if (!error) error = sink->putU32(static_cast<uint32_t>(n));
        if (!error) error = sink->put(VmToString(L, -2), n);
      }
      if (error) return error;
      switch (valueType) {
        case VM_TYPE_STRING: {
          size_t n = VmStrLen(L, -1);
          error = sink->putByte(TAG_STRING);
          if (!error) error = sink->putU32(static_cast<uint32_t>(n));
          if (!error) error = sink->put(VmToString(L, -1), n);
          break;
        }
        case VM_TYPE_TABLE:
          error = sink->putByte(TAG_TABLE);
          if (!error) error = writeBody(L, -1, sink);
          break;
        case VM_TYPE_FUNCTION:
          error = sink->putByte(TAG_FUNCTION);
          if (!error) error = writeFunctionRecord(L, VmGetTop(L), sink);
          break;
        default:  // numbers; userdata (object identifiers) are stored as 0
          error = sink->putByte(TAG_NUMBER);
          if (!error)
            error = sink->putNumber(valueType == VM_TYPE_NUMBER ? VmToNumber(L, -1) : 0.0);
          break;
      }
      if (error) return error;
    }
    VmSetTop(L, -2);
  }
  return sink->putByte(TAG_END);
}

ErrorCode loadFunction(VmState* L, const std::string& dump) {
  struct Chunk {
    const std::string* text;
    bool done;
  } chunk{&dump, false};
  auto reader = [](VmState*, void* data, size_t* size) -> const char* {
    auto* c = static_cast<Chunk*>(data);
    if (c->done) {
      *size = 0;
      return nullptr;
    }
    c->done = true;
    *size = c->text->size();
    return c->text->data();
  };
  return VmLoad(L, reader, &chunk, FUNCTION_CHUNK_NAME);
}

ErrorCode readFunctionRecord(VmState* L, Source* src) {
  uint32_t n;
  ErrorCode error = src->getU32(&n);
  std::string dump;
  if (!error) error = src->getCounted(n, &dump);
  if (!error) error = loadFunction(L, dump);
  return error;
}

// Reads one body into a new table left on the stack, or with into given
// (an absolute index) into that table, which is pushed again.
ErrorCode readBody(VmState* L, Source* src, int into = 0) {
  if (!VmCheckStack(L, 4)) return ERR_STACK;
  if (into != 0)
    VmPushValue(L, into);
  else
    VmNewTable(L);
  std::string text;
  for (;;) {
    uint8_t tag;
    ErrorCode error = src->get(&tag, 1);
    if (error) return error;
    if (tag == TAG_END) return ERR_NONE;
    if (tag == TAG_NUMBER) {
      double key;
      if ((error = src->getNumber(&key))) return error;
      VmPushNumber(L, key);
    } else if (tag == TAG_STRING) {
      uint32_t n;
      if ((error = src->getU32(&n)) || (error = src->getCounted(n, &text))) return error;
      VmPushLString(L, text.data(), text.size());
    } else {
      return ERR_FILEFORMAT;
    }
    if ((error = src->get(&tag, 1))) return error;
    switch (tag) {
      case TAG_NUMBER: {
        double d;
        if ((error = src->getNumber(&d))) return error;
        VmPushNumber(L, d);
        break;
      }
      case TAG_STRING: {
        uint32_t n;
        if ((error = src->getU32(&n)) || (error = src->getCounted(n, &text))) return error;
        VmPushLString(L, text.data(), text.size());
        break;
      }
      case TAG_TABLE:
        if ((error = readBody(L, src))) return error;
        break;
      case TAG_FUNCTION:
        if ((error = readFunctionRecord(L, src))) return error;
        break;
      default:
        return ERR_FILEFORMAT;
    }
    VmRawSet(L, -3);
  }
}

// Writes the bytes as Base64 at the file's position: the 8-digit count
// (patched once the text is out), then the text broken into lines.
ErrorCode writeBase64(StreamHandle* stream, const std::string& bytes, bool noBreaks) {
  ErrorCode error = ERR_NONE;
  size_t size = Base64LinesSize(bytes.size(), noBreaks, &error);
  if (error) return error;
  char count[16];
  std::snprintf(count, sizeof count, "%.8zx", size);
  Sink sink{stream, nullptr};
  if ((error = sink.put(count, 8))) return error;
  Base64Target target;
  target.stream = stream;
  return EncodeBase64Lines(target, bytes.data(), bytes.size(), noBreaks);
}

// Reads the 8-digit count and the Base64 text behind it and decodes it.
ErrorCode readBase64(StreamHandle* stream, std::string* bytes) {
  char count[9] = {};
  Source src{stream, nullptr, nullptr};
  ErrorCode error = src.get(count, 8);
  if (error) return error;
  for (int i = 0; i < 8; i++)
    if (!std::isxdigit(static_cast<unsigned char>(count[i]))) return ERR_FILEFORMAT;
  uint64_t n = std::strtoull(count, nullptr, 16);
  std::string text;
  if ((error = src.getCounted(n, &text))) return error;
  bytes->assign(text.size() / 4 * 3 + 3, '\0');
  size_t written = 0;
  if ((error = DecodeBase64(text.data(), text.size(), bytes->data(), &written))) return error;
  bytes->resize(written);
  return ERR_NONE;
}

bool optFlag(VmState* L, int index) {
  int t = VmType(L, index);
  if (t == VM_TYPE_NONE || t == VM_TYPE_NIL) return false;
  if (t == VM_TYPE_BOOLEAN) return VmToBoolean(L, index) != 0;
  return VmCheckNumber(L, index) != 0;
}

}  // namespace

ErrorCode WriteTableBody(VmState* L, int table, StreamHandle* stream) {
  Sink sink{stream, nullptr};
  return writeBody(L, table, &sink);
}

ErrorCode ReadTableBodyInto(VmState* L, StreamHandle* stream, int table) {
  if (table < 0) table = VmGetTop(L) + table + 1;
  Source src{stream, nullptr, nullptr};
  int top = VmGetTop(L);
  ErrorCode error = readBody(L, &src, table);
  VmSetTop(L, top);
  return error;
}

int CmdWriteTable(VmState* L) {
  CheckArgCount(L, 2, 4, 0, 0);
  VmCheckTable(L, 2);
  bool base64 = optFlag(L, 3), noBreaks = optFlag(L, 4);
  FileObject* f;
  if (ErrorCode e = GetFileArg(L, 1, &f)) return e;
  if (f->mode == MODE_READ) return ERR_READONLY;
  VmSetTop(L, 2);
  if (!base64) {
    Sink sink{f->stream, nullptr};
    ErrorCode error = sink.put("QMT0", 4);
    return error ? error : writeBody(L, 2, &sink);
  }
  std::string bytes = "QMT0";
  Sink memory{nullptr, &bytes};
  ErrorCode error = writeBody(L, 2, &memory);
  if (!error) error = Sink{f->stream, nullptr}.put("QMT1", 4);
  return error ? error : writeBase64(f->stream, bytes, noBreaks);
}

int CmdReadTable(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  FileObject* f;
  if (ErrorCode e = GetFileArg(L, 1, &f)) return e;
  if (f->mode == MODE_WRITE) return ERR_WRITEONLY;
  Source src{f->stream, nullptr, nullptr};
  char magic[4];
  ErrorCode error = src.get(magic, 4);
  if (error) return error;
  std::string decoded;
  if (std::memcmp(magic, "QMT1", 4) == 0) {
    if ((error = readBase64(f->stream, &decoded))) return error;
    src = Source{nullptr, reinterpret_cast<const uint8_t*>(decoded.data()),
                 reinterpret_cast<const uint8_t*>(decoded.data()) + decoded.size()};
    if ((error = src.get(magic, 4))) return error;
  }
  if (std::memcmp(magic, "QMT0", 4) != 0) return ERR_READTABLE;
  VmSetTop(L, 1);
  if ((error = readBody(L, &src))) return error;
  return 1;
}

int CmdWriteFunction(VmState* L) {
  CheckArgCount(L, 2, 4, 0, 0);
  VmCheckFunction(L, 2);
  bool base64 = optFlag(L, 3), noBreaks = optFlag(L, 4);
  FileObject* f;
  if (ErrorCode e = GetFileArg(L, 1, &f)) return e;
  if (f->mode == MODE_READ) return ERR_READONLY;
  Sink sink{f->stream, nullptr};
  ErrorCode error = sink.put(base64 ? "QMF1" : "QMF0", 4);
  if (error) return error;
  if (!base64) return writeFunctionRecord(L, 2, &sink);
  std::string dump;
  if ((error = dumpFunction(L, 2, &dump))) return error;
  return writeBase64(f->stream, dump, noBreaks);
}

int CmdReadFunction(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  FileObject* f;
  if (ErrorCode e = GetFileArg(L, 1, &f)) return e;
  if (f->mode == MODE_WRITE) return ERR_WRITEONLY;
  Source src{f->stream, nullptr, nullptr};
  char magic[4];
  ErrorCode error = src.get(magic, 4);
  if (error) return error;
  VmSetTop(L, 1);
  if (std::memcmp(magic, "QMF0", 4) == 0) {
    error = readFunctionRecord(L, &src);
  } else if (std::memcmp(magic, "QMF1", 4) == 0) {
    std::string dump;
    error = readBase64(f->stream, &dump);
    if (!error) error = loadFunction(L, dump);
  } else {
    return ERR_READFUNC;
  }
  return error ? error : 1;
}
