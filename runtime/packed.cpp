// Packed containers: a 4-byte magic chosen by the caller, 4 zero bytes and
// one zlib stream (header, deflate data, checksum) at zlib's default level.
// Compressed applets, packed plug-ins and the dos library's compressed
// files share this layout. Invariant: every path out of the two operations
// ends the zlib stream and closes what it opened.
#include <cstring>

#include <zlib.h>

#include "runtime/runtime.h"
#include "runtime/stream_private.h"

namespace {

constexpr size_t PACKED_HEADER_SIZE = 8;  // magic and four zero bytes
constexpr size_t MAGIC_SIZE = 4;

struct Buffers {
  uint8_t* in = static_cast<uint8_t*>(AllocMemory(STREAM_BLOCK_SIZE, 0));
  uint8_t* out = static_cast<uint8_t*>(AllocMemory(STREAM_BLOCK_SIZE, 0));
  ~Buffers() {
    FreeMemory(in);
    FreeMemory(out);
  }
  bool ok() const { return in && out; }
};

// Streams this operation opened itself are closed on every way out.
struct OwnedStream {
  StreamHandle* stream = nullptr;
  bool owned = false;
  ~OwnedStream() {
    if (owned) CloseFileStream(stream);
  }
};

}  // namespace

ErrorCode ZlibResultToError(int zlibCode) {
  switch (zlibCode) {
    case Z_OK:
    case Z_STREAM_END:
      return 0;
    case Z_VERSION_ERROR:
      return ERR_ZLIBVERSION;
    case Z_BUF_ERROR:
      return ERR_UNKNOWN;
    case Z_MEM_ERROR:
      return ERR_MEM;
    case Z_DATA_ERROR:
      return ERR_ZLIBDATA;
    case Z_NEED_DICT:
      return ERR_ZLIBDATA;
    case Z_STREAM_ERROR:
      return ERR_ZLIBSTREAM;
    case Z_ERRNO:
      return ERR_ZLIBIO;
    default:
      return zlibCode < 0 ? ERR_UNKNOWN : 0;
  }
}

ErrorCode InflatePackedFile(const char* magic, const char* source, StreamHandle* sourceStream,
                            uint64_t offset, const char* destination, void* buffer,
                            size_t bufferSize, uint64_t* packedSize, uint64_t* written) {
  if (packedSize) *packedSize = 0;
  if (written) *written = 0;
  if (offset > static_cast<uint64_t>(INT64_MAX)) return ERR_READ;
  Buffers buffers;
  if (!buffers.ok()) return ERR_MEM;
  OwnedStream in;
  in.stream = sourceStream;
  if (!in.stream) {
    in.stream = OpenFileStream(source, STREAM_READ | STREAM_ADAPTERS, nullptr);
    if (!in.stream) {
      SetErrorArgString(source);
      return ERR_READFILE;
    }
    in.owned = true;
  }
  if (SeekFileStream(in.stream, static_cast<int64_t>(offset), 1) < 0) return ERR_READ;
  uint8_t header[PACKED_HEADER_SIZE];
  if (ReadStream(in.stream, header, MAGIC_SIZE) != MAGIC_SIZE) return ERR_READ;
  if (std::memcmp(header, magic, MAGIC_SIZE) != 0) return ERR_PAKFORMAT;
  if (ReadStream(in.stream, header + MAGIC_SIZE, MAGIC_SIZE) != MAGIC_SIZE) return ERR_READ;

  OwnedStream out;
  if (destination) {
    out.stream = OpenFileStream(destination, STREAM_WRITE, nullptr);
    if (!out.stream) {
      SetErrorArgString(destination);
      return ERR_WRITEFILE;
    }
    out.owned = true;
  }

  z_stream z;
  std::memset(&z, 0, sizeof z);
  int ret = inflateInit(&z);
  if (ret != Z_OK) return ZlibResultToError(ret);
  ErrorCode error = 0;
  uint64_t produced = 0;
  bool done = false;
  while (!done && !error) {
    size_t n = ReadStream(in.stream, buffers.in, STREAM_BLOCK_SIZE);
    if (n < STREAM_BLOCK_SIZE && !IsStreamEOF(in.stream)) {
      error = ERR_READ;
      break;
    }
    if (n == 0) {
      error = ERR_ZLIBDATA;  // the input ended inside the zlib stream
      break;
    }
    z.next_in = buffers.in;
    z.avail_in = static_cast<uInt>(n);
    do {
      z.next_out = buffers.out;
      z.avail_out = static_cast<uInt>(STREAM_BLOCK_SIZE);
      ret = inflate(&z, Z_NO_FLUSH);
      if (ret == Z_NEED_DICT || (ret < 0 && ret != Z_BUF_ERROR)) {
        error = ZlibResultToError(ret);
        break;
      }
      size_t have = STREAM_BLOCK_SIZE - z.avail_out;
      if (out.stream) {
        if (have && WriteStream(out.stream, buffers.out, have) != have) {
          error = ERR_WRITE;
          break;
        }
        produced += have;
      } else if (buffer) {
        size_t room = bufferSize - static_cast<size_t>(produced);
        size_t take = have < room ? have : room;
        std::memcpy(static_cast<uint8_t*>(buffer) + produced, buffers.out, take);
        produced += take;
        if (produced == bufferSize) {
          done = true;  // the buffer is full: that is all the caller wants
          break;
        }
      } else {
        produced += have;
      }
      if (ret == Z_STREAM_END) {
        done = true;
        break;
      }
    } while (z.avail_out == 0);
    if (!done && !error && n < STREAM_BLOCK_SIZE && z.avail_in == 0) {
      error = ERR_ZLIBDATA;  // the source is exhausted before the stream ended
    }
  }
  if (packedSize) *packedSize = static_cast<uint64_t>(z.total_in) + PACKED_HEADER_SIZE;
  if (written) *written = produced;
  inflateEnd(&z);
  return error;
}

ErrorCode DeflatePackedFile(const char* magic, const char* source, const char* destination,
                            StreamHandle* destinationStream, uint64_t* size) {
  if (size) *size = 0;
  Buffers buffers;
  if (!buffers.ok()) return ERR_MEM;
  OwnedStream in;
  in.stream = OpenFileStream(source, STREAM_READ | STREAM_ADAPTERS, nullptr);
  if (!in.stream) {
    SetErrorArgString(source);
    return ERR_READFILE;
  }
  in.owned = true;
  OwnedStream out;
  out.stream = destinationStream;
  if (!out.stream) {
    out.stream = OpenFileStream(destination, STREAM_WRITE, nullptr);
    if (!out.stream) {
      SetErrorArgString(destination);
      return ERR_WRITEFILE;
    }
    out.owned = true;
  }
  int64_t start = SeekFileStream(out.stream, 0, 0);
  uint8_t header[PACKED_HEADER_SIZE] = {};
  std::memcpy(header, magic, MAGIC_SIZE);
  if (WriteStream(out.stream, header, sizeof header) != sizeof header) return ERR_WRITE;

  z_stream z;
  std::memset(&z, 0, sizeof z);
  int ret = deflateInit(&z, Z_DEFAULT_COMPRESSION);
  if (ret != Z_OK) return ZlibResultToError(ret);
  ErrorCode error = 0;
  bool last = false;
  while (!last && !error) {
    size_t n = ReadStream(in.stream, buffers.in, STREAM_BLOCK_SIZE);
    if (n < STREAM_BLOCK_SIZE) {
      if (!IsStreamEOF(in.stream)) {
        error = ERR_READ;
        break;
      }
      last = true;
    }
    z.next_in = buffers.in;
    z.avail_in = static_cast<uInt>(n);
    do {
      z.next_out = buffers.out;
      z.avail_out = static_cast<uInt>(STREAM_BLOCK_SIZE);
      ret = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
      if (ret == Z_STREAM_ERROR) {
        error = ERR_ZLIBSTREAM;
        break;
      }
      size_t have = STREAM_BLOCK_SIZE - z.avail_out;
      if (have && WriteStream(out.stream, buffers.out, have) != have) {
        error = ERR_WRITE;
        break;
      }
    } while (z.avail_out == 0);
  }
  deflateEnd(&z);
  if (error) return error;
  int64_t end = SeekFileStream(out.stream, 0, 0);
  if (size && start >= 0 && end >= start) *size = static_cast<uint64_t>(end - start);
  return 0;
}
