// The stream layer's operations: one handle over an adapter's file, a
// memory file or a native file, dispatched in that order; the fixed-order
// readers and writers; the whole-file read and copy.
// Invariant of a memory stream: 0 <= position <= data size <= allocated.
#include <cstring>

#include "runtime/runtime.h"
#include "runtime/stream_private.h"
#include "runtime/runtime_private.h"

namespace {

constexpr uint32_t PROTECTION_ALL = 15;  // read, write, execute and delete allowed

NativeFileHandle* native(StreamHandle* s) { return static_cast<NativeFileHandle*>(s->file); }

size_t memoryRead(StreamHandle* s, void* buffer, size_t length) {
  VirtualFile* m = s->memory;
  size_t position = static_cast<size_t>(s->position);
  if (length == 0 || position >= m->size) return 0;
  if (length > m->size - position) length = m->size - position;
  std::memcpy(buffer, m->data + position, length);
  s->position += static_cast<int64_t>(length);
  return length;
}

size_t memoryWrite(StreamHandle* s, const void* buffer, size_t length) {
  VirtualFile* m = s->memory;
  if (!m->writable || length == 0) return 0;
  size_t position = static_cast<size_t>(s->position);
  size_t need;
  if (__builtin_add_overflow(position, length, &need)) return 0;
  if (need > m->allocated) {
    // Grow in whole steps; the record keeps its data when this fails.
    size_t steps = (need - m->allocated + MEMFILE_GROW_STEP - 1) / MEMFILE_GROW_STEP;
    size_t grown;
    if (__builtin_mul_overflow(steps, MEMFILE_GROW_STEP, &grown) ||
        __builtin_add_overflow(m->allocated, grown, &grown))
      return 0;
    auto* data = static_cast<uint8_t*>(AllocMemory(grown, 0));
    if (!data) return 0;
    if (m->size) std::memcpy(data, m->data, m->size);
    FreeMemory(m->data);
    m->data = data;
    m->allocated = grown;
  }
  std::memcpy(m->data + position, buffer, length);
  s->position = static_cast<int64_t>(need);
  if (need > m->size) m->size = need;
  return length;
}

int64_t memorySeek(StreamHandle* s, int64_t offset, int mode) {
  int64_t base;
  switch (mode) {
    case 0:
      base = s->position;
      break;
    case 1:
      base = 0;
      break;
    case 2:
      base = static_cast<int64_t>(s->memory->size);
      break;
    default:
      return -1;
  }
  int64_t target;
  if (__builtin_add_overflow(base, offset, &target) || target < 0) return -1;
  if (target > static_cast<int64_t>(s->memory->size))
    target = static_cast<int64_t>(s->memory->size);
  int64_t before = s->position;
  s->position = target;
  return before;
}

// Reads and drops count bytes, one block at a time.
bool skipBytes(StreamHandle* s, int64_t count) {
  if (count <= 0) return true;
  auto* block = static_cast<uint8_t*>(AllocMemory(STREAM_BLOCK_SIZE, 0));
  if (!block) return false;
  bool ok = true;
  while (count > 0 && ok) {
    size_t n = count < static_cast<int64_t>(STREAM_BLOCK_SIZE) ? static_cast<size_t>(count)
                                                               : STREAM_BLOCK_SIZE;
    ok = AdapterCalls().read(s->adapter, s->file, block, n) == n;
    count -= static_cast<int64_t>(n);
  }
  FreeMemory(block);
  return ok;
}

// Seeks on an adapter that cannot seek are emulated, when the open asked
// for it, by rewinding and reading forward.
int64_t adapterSeek(StreamHandle* s, int64_t offset, int mode) {
  auto seek = AdapterCalls().seek;
  if (!(s->adapterFlags & ADAPTER_FLAG_NOSEEK) || (offset == 0 && (mode == 0 || mode == 1)))
    return seek(s->adapter, s->file, offset, mode);
  if (mode != 0 && mode != 1) return -1;
  if (!(s->mode & STREAM_SKIPSEEK)) return -1;
  int64_t current = seek(s->adapter, s->file, static_cast<int64_t>(0), 0);
  if (current < 0) return -1;
  int64_t target;
  if (mode == 1)
    target = offset;
  else if (__builtin_add_overflow(current, offset, &target))
    return -1;
  if (target < 0) return -1;
  if (target < current) {
    if (seek(s->adapter, s->file, static_cast<int64_t>(0), 1) < 0) return -1;
    return skipBytes(s, target) ? current : -1;
  }
  return skipBytes(s, target - current) ? current : -1;
}

uint32_t startStampTime() {
  DateFields date;
  GetStartDateStamp(&date);
  int64_t t[1] = {0};
  return DateToTime(&date, t, 0) ? static_cast<uint32_t>(t[0]) : 0;
}

uint32_t byteOf(int b) { return static_cast<uint32_t>(b); }

}  // namespace

size_t ReadStream(StreamHandle* stream, void* buffer, size_t length) {
  if (stream->adapter) return AdapterCalls().read(stream->adapter, stream->file, buffer, length);
  if (stream->memory) return memoryRead(stream, buffer, length);
  return StdioRead(native(stream), buffer, length);
}

size_t WriteStream(StreamHandle* stream, const void* buffer, size_t length) {
  if (stream->adapter) return AdapterCalls().write(stream->adapter, stream->file, buffer, length);
  if (stream->memory) return memoryWrite(stream, buffer, length);
  return StdioWrite(native(stream), buffer, length);
}

int WriteStreamString(StreamHandle* stream, const char* text) {
  size_t len = std::strlen(text);
  return WriteStream(stream, text, len) == len ? 1 : 0;
}

size_t ReadStreamRaw(StreamHandle* stream, void* buffer, size_t length) {
  // Written bytes still buffered go out first, so a raw read never
  // overtakes them.
  if (!stream->adapter && !stream->memory) StdioFlush(native(stream));
  return ReadStream(stream, buffer, length);
}

size_t WriteStreamRaw(StreamHandle* stream, const void* buffer, size_t length) {
  size_t n = WriteStream(stream, buffer, length);
  if (n > 0 && !FlushStream(stream)) return 0;
  return n;
}

int ReadStreamByte(StreamHandle* stream) {
  if (stream->adapter) return AdapterCalls().getChar(stream->adapter, stream->file);
  if (stream->memory) {
    unsigned char b;
    return memoryRead(stream, &b, 1) == 1 ? b : -1;
  }
  return StdioGetChar(native(stream));
}

int WriteStreamByte(StreamHandle* stream, int byte) {
  if (stream->adapter) return AdapterCalls().putChar(stream->adapter, stream->file, byte);
  if (stream->memory) {
    unsigned char b = static_cast<unsigned char>(byte);
    return memoryWrite(stream, &b, 1) == 1 ? 1 : 0;
  }
  return StdioPutChar(native(stream), byte);
}

int64_t SeekFileStream(StreamHandle* stream, int64_t offset, int mode) {
  if (stream->adapter) return adapterSeek(stream, offset, mode);
  if (stream->memory) return memorySeek(stream, offset, mode);
  return StdioSeek(native(stream), offset, mode);
}

int IsStreamEOF(StreamHandle* stream) {
  if (stream->adapter) return AdapterCalls().eof(stream->adapter, stream->file);
  if (stream->memory) return stream->position >= static_cast<int64_t>(stream->memory->size) ? 1 : 0;
  return StdioEof(native(stream));
}

int FlushStream(StreamHandle* stream) {
  if (stream->adapter) return AdapterCalls().flush(stream->adapter, stream->file);
  if (stream->memory) return 1;
  return StdioFlush(native(stream));
}

int ExamineStream(StreamHandle* stream, FileInfo* info) {
  std::memset(info, 0, sizeof *info);
  if (stream->adapter) {
    return AdapterCalls().examineFile(stream->adapter, stream->file, info);
  }
  if (stream->memory) {
    info->size = static_cast<int64_t>(stream->memory->size);
    info->protection = PROTECTION_ALL;
    StrCopyBounded(info->name, sizeof info->name, stream->memory->name ? stream->memory->name : "");
    uint32_t start = startStampTime();
    for (uint32_t& t : info->times) t = start;
    return 1;
  }
  return ExamineStreamNative(native(stream), info);
}

int64_t GetStreamSize(StreamHandle* stream) {
  if (stream->adapter) {
    FileInfo info;
    return ExamineStream(stream, &info) && info.size >= 0 ? info.size : -1;
  }
  if (stream->memory) return static_cast<int64_t>(stream->memory->size);
  return GetNativeStreamSize(native(stream));
}

int CloseFileStream(StreamHandle* stream) {
  if (!stream) return 1;
  int result = 1;
  if (stream->adapter)
    result = AdapterCalls().close(stream->adapter, stream->file);
  else if (!stream->memory)
    result = StdioClose(native(stream));
  if (stream->memory) {
    if (stream->ownsRecord)
      FreeMemory(stream->memory);
    else
      ReleaseVirtualFileStream(stream->memory);
  }
  FreeMemory(stream);
  return result;
}

int32_t ReadStreamLE16(StreamHandle* stream) {
  uint32_t a = byteOf(ReadStreamByte(stream));
  uint32_t b = byteOf(ReadStreamByte(stream));
  return static_cast<int32_t>(a | (b << 8));
}

int32_t ReadStreamBE16(StreamHandle* stream) {
  uint32_t a = byteOf(ReadStreamByte(stream));
  uint32_t b = byteOf(ReadStreamByte(stream));
  return static_cast<int32_t>((a << 8) | b);
}

int32_t ReadStreamBE16U(StreamHandle* stream) { return ReadStreamBE16(stream); }

int32_t ReadStreamLE32(StreamHandle* stream) {
  uint32_t v = 0;
  for (int i = 0; i < 4; i++) v |= byteOf(ReadStreamByte(stream)) << (8 * i);
  return static_cast<int32_t>(v);
}

int32_t ReadStreamBE32(StreamHandle* stream) {
  uint32_t v = 0;
  for (int i = 0; i < 4; i++) v = (v << 8) | byteOf(ReadStreamByte(stream));
  return static_cast<int32_t>(v);
}

namespace {

int writeBytes(StreamHandle* stream, uint32_t value, int count, bool bigEndian) {
  int ok = 1;
  for (int i = 0; i < count; i++) {
    int shift = bigEndian ? 8 * (count - 1 - i) : 8 * i;
    if (WriteStreamByte(stream, static_cast<int>((value >> shift) & 0xFF)) != 1) ok = 0;
  }
  return ok;
}

}  // namespace

int WriteStreamLE16(StreamHandle* stream, int32_t value) {
  return writeBytes(stream, static_cast<uint32_t>(value), 2, false);
}
int WriteStreamBE16(StreamHandle* stream, int32_t value) {
  return writeBytes(stream, static_cast<uint32_t>(value), 2, true);
}
int WriteStreamLE32(StreamHandle* stream, int32_t value) {
  return writeBytes(stream, static_cast<uint32_t>(value), 4, false);
}
int WriteStreamBE32(StreamHandle* stream, int32_t value) {
  return writeBytes(stream, static_cast<uint32_t>(value), 4, true);
}

const char* GetStreamAdapterName(StreamHandle* stream) {
  return stream->adapter ? AdapterCalls().name(stream->adapter) : nullptr;
}

uint32_t GetStreamAdapterFlags(StreamHandle* stream) { return stream->adapterFlags; }

int IsStreamNoSeek(StreamHandle* stream) {
  return (stream->adapterFlags & ADAPTER_FLAG_NOSEEK) ? 1 : 0;
}

ErrorCode LoadFileToMemory(const char* name, const char* loaders, StreamHandle* stream,
                           uint8_t** out, size_t* size, int adapters, size_t extra) {
  *out = nullptr;
  *size = 0;
  bool own = false;
  if (stream) {
    SeekFileStream(stream, 0, 1);
  } else {
    stream =
        OpenFileStream(name, adapters ? (STREAM_READ | STREAM_ADAPTERS) : STREAM_READ, loaders);
    if (!stream) {
      SetErrorArgString(name);
      return ERR_READFILE;
    }
    own = true;
  }
  ErrorCode error = 0;
  uint8_t* buffer = nullptr;
  size_t used = 0;
  int64_t known = GetStreamSize(stream);
  if (known >= 0) {
    size_t total;
    if (static_cast<uint64_t>(known) > SIZE_MAX ||
        __builtin_add_overflow(static_cast<size_t>(known), extra, &total)) {
      error = ERR_MEM;
    } else {
      // At least one byte, so that an empty file still gets a buffer.
      buffer = static_cast<uint8_t*>(AllocMemory(total ? total : 1, 1));
      if (!buffer)
        error = ERR_MEM;
      else if (ReadStream(stream, buffer, static_cast<size_t>(known)) != static_cast<size_t>(known))
        error = ERR_READ;
      used = static_cast<size_t>(known);
    }
  } else {
    size_t capacity = 0;
    for (;;) {
      size_t grown;
      if (__builtin_add_overflow(capacity, STREAM_BLOCK_SIZE, &grown)) {
        error = ERR_MEM;
        break;
      }
      auto* bigger = static_cast<uint8_t*>(AllocMemory(grown, 0));
      if (!bigger) {
        error = ERR_MEM;
        break;
      }
      if (used) std::memcpy(bigger, buffer, used);
      FreeMemory(buffer);
      buffer = bigger;
      capacity = grown;
      size_t n = ReadStream(stream, buffer + used, STREAM_BLOCK_SIZE);
      used += n;
      if (n < STREAM_BLOCK_SIZE) break;
    }
    if (!error && !IsStreamEOF(stream)) error = ERR_READ;
    if (!error) {
      // Room for the spare bytes behind the data, zeroed.
      size_t total;
      uint8_t* fitted = nullptr;
      if (__builtin_add_overflow(used, extra, &total) ||
          !(fitted = static_cast<uint8_t*>(AllocMemory(total ? total : 1, 1)))) {
        error = ERR_MEM;
      } else {
        if (used) std::memcpy(fitted, buffer, used);
        FreeMemory(buffer);
        buffer = fitted;
      }
    }
  }
  if (own) CloseFileStream(stream);
  if (error) {
    FreeMemory(buffer);
    return error;
  }
  *out = buffer;
  *size = used;
  return 0;
}

ErrorCode CopyStreamToFile(const char* source, const char* loaders, const char* destination,
                           StreamHandle* stream) {
  bool own = false;
  if (!stream) {
    stream = OpenFileStream(source, STREAM_READ | STREAM_ADAPTERS, loaders);
    if (!stream) {
      SetErrorArgString(source);
      return ERR_READFILE;
    }
    own = true;
  }
  StreamHandle* target = OpenFileStream(destination, STREAM_WRITE, nullptr);
  if (!target) {
    if (own) CloseFileStream(stream);
    SetErrorArgString(destination);
    return ERR_WRITEFILE;
  }
  ErrorCode error = 0;
  auto* block = static_cast<uint8_t*>(AllocMemory(STREAM_BLOCK_SIZE, 0));
  if (!block) error = ERR_MEM;
  int64_t remaining = GetStreamSize(stream);
  const bool known = remaining >= 0;
  while (!error) {
    size_t want = STREAM_BLOCK_SIZE;
    if (known) {
      if (remaining == 0) break;
      if (remaining < static_cast<int64_t>(want)) want = static_cast<size_t>(remaining);
    }
    size_t n = ReadStream(stream, block, want);
    if (n < want && (known || !IsStreamEOF(stream))) {
      error = ERR_READ;
      break;
    }
    if (n && WriteStream(target, block, n) != n) {
      error = ERR_WRITE;
      break;
    }
    if (known) remaining -= static_cast<int64_t>(n);
    if (!known && n < want) break;
  }
  FreeMemory(block);
  CloseFileStream(target);
  if (own) CloseFileStream(stream);
  return error;
}
