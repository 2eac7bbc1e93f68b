// The "dos" library's open files: the file list, the opener with its
// command and constant tables, the byte, character, line, string and
// number commands, the whole-file commands and the shut-down.
//
// Invariant: every FileObject in the list owns one open stream; a record
// leaves the list before its stream is closed, so a failing close never
// leaves a dangling entry behind.
#include <cstring>
#include <memory>
#include <string>

#include "engine/engine.h"
#include "engine/optiontable.h"
#include "libs/libs.h"
#include "libs/libs_private.h"
#include "media/media.h"
#include "runtime/runtime.h"
#include "text/text.h"

namespace {

// Longest file-adapter name of an option table.
constexpr size_t ADAPTER_NAME_MAX = 255;
// Built-in texts of the verbose progress line.
constexpr int32_t OPENING_FILE_TEXT = 286;

// The library's state; FreeDosResources puts it back to its start.
struct DosState {
  ObjectHead* files = nullptr;  // FileObject list, appended at the tail
  int32_t ioMode = 0;
  int32_t crSwitch = 0;
};
DosState dos;

// A switch argument: a boolean, or a number that is non-zero; absent: def.
bool optFlag(VmState* L, int index, bool def) {
  int t = VmType(L, index);
  if (t == VM_TYPE_NONE) return def;
  if (t == VM_TYPE_BOOLEAN) return VmToBoolean(L, index) != 0;
  return VmCheckNumber(L, index) != 0;
}

int32_t optEncoding(VmState* L, int index) {
  return VmOptInteger(L, index, DefaultLibraryEncoding());
}

// Closes a stream when it goes out of scope, so raises free it too.
struct StreamCloser {
  void operator()(StreamHandle* s) const { CloseFileStream(s); }
};
using OwnedStream = std::unique_ptr<StreamHandle, StreamCloser>;

void unlinkFile(FileObject* file) {
  for (ObjectHead** p = &dos.files; *p; p = &(*p)->next) {
    if (*p == &file->head) {
      *p = file->head.next;
      return;
    }
  }
}

// Closes the stream and frees the object data and the record; false when
// the close (and with it the last flush) failed.
bool freeFile(VmState* L, FileObject* file) {
  bool ok = CloseFileStream(file->stream) != 0;
  if (file->head.data) FreeObjectDataList(L, &file->head.data);
  FreeMemory(file);
  return ok;
}

ErrorCode checkReadable(const FileObject* f) {
  return f->mode == MODE_WRITE ? ERR_WRITEONLY : ERR_NONE;
}
ErrorCode checkWritable(const FileObject* f) {
  return f->mode == MODE_READ ? ERR_READONLY : ERR_NONE;
}

// Reads the rest of a stream into a string builder: bytes left by its size,
// or to the end when the size is unknown.
void addRestOfStream(VmStringBuffer* b, StreamHandle* s) {
  for (;;) {
    size_t room = VmBufferPrepare(b);
    size_t n = DosReadBytes(s, b->p, room);
    b->p += n;
    if (n < room) return;
  }
}

// ---- Opening and closing --------------------------------------------------------------

int cmdOpenFile(VmState* L) {
  CheckArgCount(L, 2, 4, 0, 0);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 1, &automatic);
  int32_t mode = VmOptInteger(L, 3, MODE_READ);
  const char* name;
  uint32_t access;
  switch (mode) {
    case MODE_READ:
      name = GetFileNameArg(L, 2);
      access = STREAM_READ;
      break;
    case MODE_WRITE:
      name = VmCheckString(L, 2, nullptr);
      access = STREAM_WRITE;
      break;
    case MODE_READWRITE:
      name = VmCheckString(L, 2, nullptr);
      access = STREAM_UPDATE;
      break;
    default:
      return ERR_WRONGUSAGE;
  }
  if (name[0] == '\0') return ERR_WRONGUSAGE;
  char adapter[ADAPTER_NAME_MAX + 1] = "";
  if (VmType(L, 4) != VM_TYPE_NONE) {
    VmCheckTable(L, 4);
    OptionField rows[] = {{"adapter", OPTION_STRING, adapter, sizeof adapter}};
    ErrorCode error = ReadOptionTable(L, 4, rows);
    if (error) return error;
  }
  if (!automatic) {
    FileObject* old = nullptr;
    if (GetFileById(id, &old) == ERR_NONE) {
      unlinkFile(old);
      freeFile(L, old);
    }
  }
  PrintProgress(GetBuiltinString(OPENING_FILE_TEXT), name, 0);
  StreamHandle* stream =
      OpenFileStream(name, access | STREAM_ADAPTERS, adapter[0] ? adapter : nullptr);
  if (!stream) {
    SetErrorArgString(name);
    return mode == MODE_READ ? ERR_READFILE : ERR_WRITEFILE;
  }
  auto* file = static_cast<FileObject*>(AllocMemory(sizeof(FileObject), 1));
  if (!file) {
    CloseFileStream(stream);
    return ERR_MEM;
  }
  file->head.type = OBJTYPE_FILE;
  file->head.number = automatic ? 0 : id.number;
  file->head.autoId = automatic ? file : nullptr;
  file->mode = mode;
  file->access = access;
  file->stream = stream;
  ObjectHead** tail = &dos.files;
  while (*tail) tail = &(*tail)->next;
  *tail = &file->head;
  if (!IsQuietMode()) PrintDone();
  if (!automatic) return 0;
  VmPushLightUserdata(L, file);
  return 1;
}

int cmdCloseFile(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  FileObject* file;
  if (ErrorCode e = GetFileArg(L, 1, &file)) return e;
  unlinkFile(file);
  return freeFile(L, file) ? 0 : ERR_CLOSEFILE;
}

// ---- Reading --------------------------------------------------------------------------

int cmdReadByte(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  FileObject* f;
  if (ErrorCode e = GetFileArg(L, 1, &f)) return e;
  if (ErrorCode e = checkReadable(f)) return e;
  uint8_t b;
  ErrorCode error = ReadFileValue(f->stream, &b, false, 1, false, nullptr);
  if (error) return error;
  VmPushNumber(L, b);
  return 1;
}

int cmdReadChr(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  FileObject* f;
  if (ErrorCode e = GetFileArg(L, 1, &f)) return e;
  int32_t encoding = optEncoding(L, 2);
  if (ErrorCode e = checkReadable(f)) return e;
  if (encoding != TEXT_ENCODING_UTF8) {
    uint8_t b;
    ErrorCode error = ReadFileValue(f->stream, &b, false, 1, false, nullptr);
    if (error) return error;
    VmPushNumber(L, b);
    return 1;
  }
  char text[8];
  ErrorCode error = ReadUtf8Char(f->stream, text);
  if (error) return error;
  size_t pos = 0;
  VmPushNumber(L, Utf8DecodeChar(text, &pos));
  return 1;
}

int cmdReadShort(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  FileObject* f;
  if (ErrorCode e = GetFileArg(L, 1, &f)) return e;
  bool little = optFlag(L, 2, false);
  if (ErrorCode e = checkReadable(f)) return e;
  uint16_t v;
  ErrorCode error = ReadFileValue(f->stream, &v, false, 2, little, nullptr);
  if (error) return error;
  VmPushNumber(L, v);
  return 1;
}

int cmdReadInt(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  FileObject* f;
  if (ErrorCode e = GetFileArg(L, 1, &f)) return e;
  bool little = optFlag(L, 2, false);
  if (ErrorCode e = checkReadable(f)) return e;
  int32_t v;
  ErrorCode error = ReadFileValue(f->stream, &v, false, 4, little, nullptr);
  if (error) return error;
  VmPushNumber(L, v);
  return 1;
}

int cmdReadFloat(VmState* L) {
  CheckArgCount(L, 1, 3, 0, 0);
  FileObject* f;
  if (ErrorCode e = GetFileArg(L, 1, &f)) return e;
  int32_t size = VmOptInteger(L, 2, 8);
  bool little = optFlag(L, 3, false);
  if (size != 4 && size != 8) return ERR_WRONGUSAGE;
  if (ErrorCode e = checkReadable(f)) return e;
  if (size == 4) {
    float v;
    ErrorCode error = ReadFileValue(f->stream, &v, false, 4, little, nullptr);
    if (error) return error;
    VmPushNumber(L, v);
  } else {
    double v;
    ErrorCode error = ReadFileValue(f->stream, &v, false, 8, little, nullptr);
    if (error) return error;
    VmPushNumber(L, v);
  }
  return 1;
}

int readString(VmState* L, FileObject* f, int64_t length, int32_t encoding) {
  StreamHandle* s = f->stream;
  bool rest = length == 0;
  if (rest) {
    int64_t size = GetStreamSize(s);
    if (size < 0) {
      // A stream of unknown size is read to its end.
      if (ErrorCode e = checkReadable(f)) return e;
      VmStringBuffer b;
      VmBufferInit(L, &b);
      addRestOfStream(&b, s);
      VmBufferPushResult(&b);
      size_t n = VmStrLen(L, -1);
      const char* p = VmToString(L, -1);
      if (encoding == TEXT_ENCODING_UTF8 && n >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0)
        VmPushLString(L, p + 3, n - 3);
      return 1;
    }
    length = size - SeekFileStream(s, 0, 0);
  }
  if (length < 1) {
    VmPushString(L, "");
    return 1;
  }
  if (encoding == TEXT_ENCODING_UTF8 && !rest) {
    if (ErrorCode e = checkReadable(f)) return e;
    VmStringBuffer b;
    VmBufferInit(L, &b);
    for (int64_t i = 0; i < length; i++) {
      char text[8];
      ErrorCode error = ReadUtf8Char(s, text);
      if (error) return error;
      VmBufferAddString(&b, text);
    }
    VmBufferPushResult(&b);
    return 1;
  }
  if (ErrorCode e = checkReadable(f)) return e;
  if (static_cast<uint64_t>(length) > SIZE_MAX / 2) return ERR_MEM;
  OwnedMemory<char> buffer(static_cast<char*>(AllocMemory(static_cast<size_t>(length), 0)));
  if (!buffer) return ERR_MEM;
  size_t n = static_cast<size_t>(length);
  if (DosReadBytes(s, buffer.get(), n) != n) return ERR_READ;
  const char* p = buffer.get();
  if (encoding == TEXT_ENCODING_UTF8 && n >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0) {
    p += 3;
    n -= 3;
  }
  VmPushLString(L, p, n);
  return 1;
}

int cmdReadBytes(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  FileObject* f;
  if (ErrorCode e = GetFileArg(L, 1, &f)) return e;
  return readString(L, f, VmOptInteger(L, 2, 0), TEXT_ENCODING_LATIN1);
}

int cmdReadString(VmState* L) {
  CheckArgCount(L, 1, 3, 0, 0);
  FileObject* f;
  if (ErrorCode e = GetFileArg(L, 1, &f)) return e;
  int32_t length = VmOptInteger(L, 2, 0);
  return readString(L, f, length, optEncoding(L, 3));
}

int cmdReadLine(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  FileObject* f;
  if (ErrorCode e = GetFileArg(L, 1, &f)) return e;
  if (ErrorCode e = checkReadable(f)) return e;
  VmStringBuffer b;
  VmBufferInit(L, &b);
  for (;;) {
    int c = DosReadByte(f->stream);
    if (c < 0) {
      if (!IsStreamEOF(f->stream) && GetStreamSize(f->stream) >= 0) return ERR_READ;
      break;
    }
    if (c == '\n') break;
    if (c == '\r') continue;
    char ch = static_cast<char>(c);
    VmBufferAddBytes(&b, &ch, 1);
  }
  VmBufferPushResult(&b);
  return 1;
}

// ---- Writing --------------------------------------------------------------------------

int cmdWriteByte(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  FileObject* f;
  if (ErrorCode e = GetFileArg(L, 1, &f)) return e;
  uint8_t b = static_cast<uint8_t>(VmCheckInteger(L, 2));
  if (ErrorCode e = checkWritable(f)) return e;
  return WriteFileValue(f->stream, &b, false, 1, false, nullptr);
}

int cmdWriteChr(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  FileObject* f;
  if (ErrorCode e = GetFileArg(L, 1, &f)) return e;
  int32_t code = VmCheckInteger(L, 2);
  int32_t encoding = optEncoding(L, 3);
  if (ErrorCode e = checkWritable(f)) return e;
  if (encoding != TEXT_ENCODING_UTF8) {
    uint8_t b = static_cast<uint8_t>(code);
    return WriteFileValue(f->stream, &b, false, 1, false, nullptr);
  }
  char text[UTF8_CHAR_BUFFER];
  size_t n = Utf8EncodeChar(text, static_cast<uint32_t>(code));
  if (n == 0) return ERR_WRONGUSAGE;
  return DosWriteBytes(f->stream, text, n) == n ? 0 : ERR_WRITE;
}

int cmdWriteShort(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  FileObject* f;
  if (ErrorCode e = GetFileArg(L, 1, &f)) return e;
  uint16_t v = static_cast<uint16_t>(VmTruncInt32(VmCheckNumber(L, 2)));
  bool little = optFlag(L, 3, false);
  if (ErrorCode e = checkWritable(f)) return e;
  return WriteFileValue(f->stream, &v, false, 2, little, nullptr);
}

int cmdWriteInt(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  FileObject* f;
  if (ErrorCode e = GetFileArg(L, 1, &f)) return e;
  int32_t v = VmTruncInt32(VmCheckNumber(L, 2));
  bool little = optFlag(L, 3, false);
  if (ErrorCode e = checkWritable(f)) return e;
  return WriteFileValue(f->stream, &v, false, 4, little, nullptr);
}

int cmdWriteFloat(VmState* L) {
  CheckArgCount(L, 2, 4, 0, 0);
  FileObject* f;
  if (ErrorCode e = GetFileArg(L, 1, &f)) return e;
  double value = VmCheckNumber(L, 2);
  int32_t size = VmOptInteger(L, 3, 8);
  bool little = optFlag(L, 4, false);
  if (size != 4 && size != 8) return ERR_WRONGUSAGE;
  if (ErrorCode e = checkWritable(f)) return e;
  if (size == 4) {
    float v = static_cast<float>(value);
    return WriteFileValue(f->stream, &v, false, 4, little, nullptr);
  }
  return WriteFileValue(f->stream, &value, false, 8, little, nullptr);
}

int writeString(VmState* L, FileObject* f, int32_t length, int32_t encoding) {
  size_t bytes;
  const char* s = VmCheckString(L, 2, &bytes);
  if (ErrorCode e = checkWritable(f)) return e;
  if (length < 0 || static_cast<size_t>(length) > bytes) return ERR_STRTOOSHORT;
  size_t n = bytes;
  if (length > 0) {
    n = static_cast<size_t>(length);
    if (encoding == TEXT_ENCODING_UTF8) {
      // The length counts characters: write up to the end of the last one.
      const char* p = s;
      for (int32_t i = 0; i < length; i++) {
        if (p == s + bytes) return ERR_STRTOOSHORT;
        p = Utf8NextChar(p, s + bytes);
      }
      n = static_cast<size_t>(p - s);
    }
  }
  return DosWriteBytes(f->stream, s, n) == n ? 0 : ERR_WRITE;
}

int cmdWriteBytes(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  FileObject* f;
  if (ErrorCode e = GetFileArg(L, 1, &f)) return e;
  return writeString(L, f, VmOptInteger(L, 3, 0), TEXT_ENCODING_LATIN1);
}

int cmdWriteString(VmState* L) {
  CheckArgCount(L, 2, 4, 0, 0);
  FileObject* f;
  if (ErrorCode e = GetFileArg(L, 1, &f)) return e;
  int32_t length = VmOptInteger(L, 3, 0);
  return writeString(L, f, length, optEncoding(L, 4));
}

int cmdWriteLine(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  FileObject* f;
  if (ErrorCode e = GetFileArg(L, 1, &f)) return e;
  const char* s = VmCheckString(L, 2, nullptr);
  if (ErrorCode e = checkWritable(f)) return e;
  size_t n = std::strlen(s);
  if (DosWriteBytes(f->stream, s, n) != n) return ERR_WRITE;
  const char* end = dos.crSwitch ? "\r\n" : "\n";
  size_t e = std::strlen(end);
  return DosWriteBytes(f->stream, end, e) == e ? 0 : ERR_WRITE;
}

// ---- Position and switches ------------------------------------------------------------

int cmdFileLength(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  FileObject* f;
  if (ErrorCode e = GetFileArg(L, 1, &f)) return e;
  VmPushNumber(L, static_cast<double>(GetStreamSize(f->stream)));
  return 1;
}

int cmdFilePos(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  FileObject* f;
  if (ErrorCode e = GetFileArg(L, 1, &f)) return e;
  VmPushNumber(L, static_cast<double>(SeekFileStream(f->stream, 0, 0)));
  return 1;
}

int cmdSeek(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  FileObject* f;
  if (ErrorCode e = GetFileArg(L, 1, &f)) return e;
  // No position beyond a 64-bit offset can be sought.
  int64_t position = 0;
  ErrorCode bad = VmCheckIntegerOf(L, 2, &position, ERR_SEEKFILE);
  int32_t mode = VmOptInteger(L, 3, 1);
  if (bad) return bad;
  if (position == -1 && mode == 1) {
    position = 0;
    mode = 2;
  }
  return SeekFileStream(f->stream, position, mode) < 0 ? ERR_SEEKFILE : 0;
}

int cmdEof(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  FileObject* f;
  if (ErrorCode e = GetFileArg(L, 1, &f)) return e;
  VmPushNumber(L, IsStreamEOF(f->stream) ? 1 : 0);
  return 1;
}

int cmdFlushFile(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  FileObject* f;
  if (ErrorCode e = GetFileArg(L, 1, &f)) return e;
  return FlushStream(f->stream) ? 0 : ERR_WRITE;
}

int cmdSetIOMode(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  int32_t mode = VmCheckInteger(L, 1);
  if (mode < 0 || mode > 1) return ERR_WRONGUSAGE;
  dos.ioMode = mode;
  return 0;
}

int cmdUseCarriageReturn(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  dos.crSwitch = optFlag(L, 1, false) ? 1 : 0;
  return 0;
}

// ---- Whole files ----------------------------------------------------------------------

int cmdFileToString(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  const char* name = GetFileNameArg(L, 1);
  OwnedStream s(OpenFileStream(name, STREAM_READ | STREAM_ADAPTERS, nullptr));
  if (!s) {
    SetErrorArgString(name);
    return ERR_READFILE;
  }
  std::string data;
  char block[STREAM_BLOCK_SIZE];
  for (;;) {
    size_t n = DosReadBytes(s.get(), block, sizeof block);
    data.append(block, n);
    if (n < sizeof block) break;
  }
  VmPushLString(L, data.data(), data.size());
  VmPushNumber(L, static_cast<double>(data.size()));
  return 2;
}

int cmdStringToFile(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  size_t length;
  const char* text = VmCheckString(L, 1, &length);
  const char* name = VmCheckString(L, 2, nullptr);
  StreamHandle* s = OpenFileStream(name, STREAM_WRITE | STREAM_ADAPTERS, nullptr);
  if (!s) {
    SetErrorArgString(name);
    return ERR_WRITEFILE;
  }
  bool written = DosWriteBytes(s, text, length) == length;
  bool flushed = FlushStream(s) != 0;
  bool closed = CloseFileStream(s) != 0;
  if (!written) return ERR_WRITE;
  return flushed && closed ? 0 : ERR_CLOSEFILE;
}

// The FILE* value of FileLines: the stream until the lines run out.
struct LinesHandle {
  StreamHandle* stream;
};
constexpr const char* FILE_TYPE_NAME = "FILE*";

int fileHandleGc(VmState* L) {
  auto* h = static_cast<LinesHandle*>(VmToUserdata(L, 1));
  if (h && h->stream) {
    CloseFileStream(h->stream);
    h->stream = nullptr;
  }
  return 0;
}

// One line per call, whole however long; nothing once the stream ends.
int nextFileLine(VmState* L) {
  auto* h = static_cast<LinesHandle*>(VmToUserdata(L, VmUpvalueIndexOf(1)));
  if (!h || !h->stream) return 0;
  StreamHandle* s = h->stream;
  int c = IsStreamEOF(s) ? -1 : DosReadByte(s);
  if (c < 0) {
    CloseFileStream(s);
    h->stream = nullptr;
    return 0;
  }
  VmStringBuffer b;
  VmBufferInit(L, &b);
  for (; c >= 0 && c != '\n'; c = DosReadByte(s)) {
    if (c == '\r') continue;
    char ch = static_cast<char>(c);
    VmBufferAddBytes(&b, &ch, 1);
  }
  VmBufferPushResult(&b);
  return 1;
}

int cmdFileLines(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  const char* name = GetFileNameArg(L, 1);
  auto* h = static_cast<LinesHandle*>(VmNewUserdata(L, sizeof(LinesHandle)));
  h->stream = nullptr;
  VmGetNamedMetatable(L, FILE_TYPE_NAME);
  VmSetMetatable(L, -2);
  h->stream = OpenFileStream(name, STREAM_READ | STREAM_ADAPTERS, nullptr);
  if (!h->stream) {
    SetErrorArgString(name);
    return ERR_READFILE;
  }
  VmPushCClosure(L, nextFileLine, 1);
  return 1;
}

// The attribute query for open files: the open mode, the file adapter's
// name ("inbuilt" for the player's own file layer) and the number of files.
int readFileAttribute(VmState* L, int32_t attribute) {
  if (attribute == ATTRCOUNT) {
    VmPushNumber(L, CountObjectList(dos.files));
    return 1;
  }
  FileObject* file;
  if (ErrorCode e = GetFileArg(L, 2, &file)) return e;
  switch (attribute) {
    case ATTRMODE:
      VmPushNumber(L, file->mode);
      return 1;
    case ATTRADAPTER: {
      const char* adapter = GetStreamAdapterName(file->stream);
      VmPushString(L, adapter ? adapter : "inbuilt");
      return 1;
    }
    default:
      return ERR_UNKNOWNATTR;
  }
}

const CommandTableEntry dosCommands[] = {
    {"OpenFile", cmdOpenFile},
    {"CloseFile", cmdCloseFile},
    {"ReadByte", cmdReadByte},
    {"ReadChr", cmdReadChr},
    {"ReadShort", cmdReadShort},
    {"ReadInt", cmdReadInt},
    {"ReadFloat", cmdReadFloat},
    {"ReadBytes", cmdReadBytes},
    {"ReadString", cmdReadString},
    {"ReadLine", cmdReadLine},
    {"WriteByte", cmdWriteByte},
    {"WriteChr", cmdWriteChr},
    {"WriteShort", cmdWriteShort},
    {"WriteInt", cmdWriteInt},
    {"WriteFloat", cmdWriteFloat},
    {"WriteBytes", cmdWriteBytes},
    {"WriteString", cmdWriteString},
    {"WriteLine", cmdWriteLine},
    {"FileLength", cmdFileLength},
    {"FilePos", cmdFilePos},
    {"Seek", cmdSeek},
    {"Eof", cmdEof},
    {"FlushFile", cmdFlushFile},
    {"SetIOMode", cmdSetIOMode},
    {"UseCarriageReturn", cmdUseCarriageReturn},
    {"FileToString", cmdFileToString},
    {"StringToFile", cmdStringToFile},
    {"FileLines", cmdFileLines},
    {"WriteTable", CmdWriteTable},
    {"ReadTable", CmdReadTable},
    {"WriteFunction", CmdWriteFunction},
    {"ReadFunction", CmdReadFunction},
    {"CompressFile", CmdCompressFile},
    {"DecompressFile", CmdDecompressFile},
    {"CRC32", CmdCRC32},
    {"MD5", CmdMD5},
    {"DefineVirtualFileFromString", CmdDefineVirtualFileFromString},
    {"UndefineVirtualStringFile", CmdUndefineVirtualStringFile},
    {"GetAsset", CmdGetAsset},
    {"ApplyPatch", CmdApplyPatch},
    {"DefineVirtualFile", CmdDefineVirtualFile},
    {nullptr, nullptr},
};

const ConstantTableEntry dosConstants[] = {
    {"FREESPACE", nullptr, 1},
    {"USEDSPACE", nullptr, 0},
    {"EOF", nullptr, -1},
    {"MODE_READWRITE", nullptr, 1004},
    {"MODE_WRITE", nullptr, 1006},
    {"MODE_READ", nullptr, 1005},
    {"COPYFILE_STATUS", nullptr, 0},
    {"COPYFILE_OVERWRITE", nullptr, 1},
    {"COPYFILE_UNPROTECT", nullptr, 2},
    {"MOVEFILE_UNPROTECT", nullptr, 0},
    {"MOVEFILE_COPY", nullptr, 1},
    {"MOVEFILE_DELETE", nullptr, 2},
    {"DELETEFILE_STATUS", nullptr, 0},
    {"DELETEFILE_UNPROTECT", nullptr, 1},
    {"IO_BUFFERED", nullptr, 0},
    {"IO_UNBUFFERED", nullptr, 1},
    {"FILEATTR_NORMAL", nullptr, 65536},
    {"FILEATTR_READ_USR", nullptr, 1},
    {"FILEATTR_WRITE_USR", nullptr, 2},
    {"FILEATTR_DELETE_USR", nullptr, 4},
    {"FILEATTR_EXECUTE_USR", nullptr, 8},
    {"FILEATTR_READ_GRP", nullptr, 512},
    {"FILEATTR_WRITE_GRP", nullptr, 1024},
    {"FILEATTR_EXECUTE_GRP", nullptr, 2048},
    {"FILEATTR_READ_OTH", nullptr, 4096},
    {"FILEATTR_WRITE_OTH", nullptr, 8192},
    {"FILEATTR_EXECUTE_OTH", nullptr, 16384},
    {"FILEATTR_PURE", nullptr, 16},
    {"FILEATTR_ARCHIVE", nullptr, 32},
    {"FILEATTR_SCRIPT", nullptr, 64},
    {"FILEATTR_HIDDEN", nullptr, 128},
    {"FILEATTR_SYSTEM", nullptr, 256},
    {"FILEATTR_READONLY", nullptr, 32768},
    {"DOSTYPE_FILE", nullptr, 0},
    {"DOSTYPE_DIRECTORY", nullptr, 1},
    {"SEEK_BEGINNING", nullptr, 1},
    {"SEEK_CURRENT", nullptr, 0},
    {"SEEK_END", nullptr, 2},
    {"COUNTFILES", nullptr, 0},
    {"COUNTDIRECTORIES", nullptr, 1},
    {"COUNTBOTH", nullptr, 2},
    {nullptr, nullptr, 0},
};

}  // namespace

// ---- Services -----------------------------------------------------------------------------

int32_t DefaultLibraryEncoding() {
  return GetDefaultStringEncoding() ? TEXT_ENCODING_UTF8 : TEXT_ENCODING_LATIN1;
}

int32_t GetDosIoMode() { return dos.ioMode; }
int32_t GetDosCrSwitch() { return dos.crSwitch; }

size_t DosReadBytes(StreamHandle* stream, void* buffer, size_t count) {
  return dos.ioMode ? ReadStreamRaw(stream, buffer, count) : ReadStream(stream, buffer, count);
}

size_t DosWriteBytes(StreamHandle* stream, const void* buffer, size_t count) {
  return dos.ioMode ? WriteStreamRaw(stream, buffer, count) : WriteStream(stream, buffer, count);
}

int DosReadByte(StreamHandle* stream) {
  if (!dos.ioMode) return ReadStreamByte(stream);
  uint8_t b;
  return ReadStreamRaw(stream, &b, 1) == 1 ? b : -1;
}

ErrorCode GetFileById(ObjectId id, FileObject** out) {
  *out = nullptr;
  for (ObjectHead* h = dos.files; h; h = h->next) {
    if (id.autoId ? h->autoId == id.autoId : (h->autoId == nullptr && h->number == id.number)) {
      *out = reinterpret_cast<FileObject*>(h);
      return ERR_NONE;
    }
  }
  if (id.autoId) return ERR_FINDARRAY;
  SetErrorArgNumber(id.number);
  return ERR_FINDFILE;
}

ErrorCode GetFileArg(VmState* L, int index, FileObject** file) {
  return GetFileById(GetObjectIdArg(L, index, nullptr), file);
}

ErrorCode WriteFileValue(StreamHandle* stream, const void* data, bool raw, size_t size, bool little,
                         uint8_t** cursor) {
  uint8_t bytes[8];
  const uint8_t* src = static_cast<const uint8_t*>(data);
  if (!raw && !little && (size == 2 || size == 4 || size == 8)) {
    for (size_t i = 0; i < size; i++) bytes[i] = src[size - 1 - i];
    src = bytes;
  }
  if (cursor) {
    std::memcpy(*cursor, src, size);
    *cursor += size;
    return ERR_NONE;
  }
  return DosWriteBytes(stream, src, size) == size ? ERR_NONE : ERR_WRITE;
}

ErrorCode ReadFileValue(StreamHandle* stream, void* destination, bool raw, size_t size, bool little,
                        const uint8_t** cursor) {
  uint8_t bytes[8];
  uint8_t* dst = raw || little || size > sizeof bytes ? static_cast<uint8_t*>(destination) : bytes;
  if (cursor) {
    std::memcpy(dst, *cursor, size);
    *cursor += size;
  } else if (DosReadBytes(stream, dst, size) != size) {
    return ERR_READ;
  }
  if (dst == bytes) {
    auto* out = static_cast<uint8_t*>(destination);
    bool swap = size == 2 || size == 4 || size == 8;
    for (size_t i = 0; i < size; i++) out[i] = swap ? bytes[size - 1 - i] : bytes[i];
  }
  return ERR_NONE;
}

ErrorCode ReadUtf8Char(StreamHandle* stream, char* out) {
  for (;;) {
    int lead = DosReadByte(stream);
    if (lead < 0) return ERR_READ;
    size_t length = 1;
    if ((lead & 0xE0) == 0xC0)
      length = 2;
    else if ((lead & 0xF0) == 0xE0)
      length = 3;
    else if ((lead & 0xF8) == 0xF0)
      length = 4;
    out[0] = static_cast<char>(lead);
    for (size_t i = 1; i < length; i++) {
      int c = DosReadByte(stream);
      if (c < 0) return ERR_READ;
      out[i] = static_cast<char>(c);
    }
    out[length] = '\0';
    if (length == 3 && std::memcmp(out, "\xEF\xBB\xBF", 3) == 0) continue;
    return Utf8CheckBytes(out, length) ? ERR_NONE : ERR_INVALIDUTF8;
  }
}

namespace {

// CreateSample's "file" source: the bytes at the file's current position,
// all of them or ERR_READ.
ErrorCode readSampleFromFile(VmState*, ObjectId id, size_t, void* buffer, size_t bytes) {
  FileObject* f = nullptr;
  if (ErrorCode error = GetFileById(id, &f)) return error;
  if (f->mode == MODE_WRITE) return ERR_WRITEONLY;
  return DosReadBytes(f->stream, buffer, bytes) == bytes ? ERR_NONE : ERR_READ;
}

}  // namespace

ErrorCode OpenDosLibrary(VmState* L) {
  ErrorCode error = RegisterLibrary(dosCommands, "dos");
  if (error) return error;
  VmNewNamedMetatable(L, FILE_TYPE_NAME);
  VmPushString(L, "__index");
  VmPushValue(L, -2);
  VmSetTable(L, -3);
  VmPushString(L, "__gc");
  VmPushCClosure(L, fileHandleGc, 0);
  VmSetTable(L, -3);
  VmSetTop(L, -2);
  VmRegisterFunctions(L, nullptr, dosCommands, 0);
  VmRegisterConstants(L, dosConstants, 0);
  error = RegisterAttributeReader(OBJTYPE_FILE, readFileAttribute);
  if (error) return error;
  error = RegisterObjectList(&dos.files);
  if (error) return error;
  SetSampleFileSource(readSampleFromFile);
  error = OpenDosDirectories(L);
  if (!error) error = OpenDosFileManagement(L);
  if (!error) error = OpenDosPrograms(L);
  return error;
}

void FreeDosResources(VmState* L) {
  SetSampleFileSource(nullptr);
  while (dos.files) {
    auto* file = reinterpret_cast<FileObject*>(dos.files);
    dos.files = file->head.next;
    freeFile(L, file);
  }
  FreeDosPrograms(L);
  FreeDosDirectories(L);
  FreeVirtualStringFiles(L);
  dos = DosState();
}
