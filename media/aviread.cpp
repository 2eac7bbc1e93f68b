// AVI files as anims: the headers and the "idx1" index are read once, and
// video frame n is handed out as ARGB pixels, from uncompressed 24-bit DIB
// chunks or from Motion-JPEG chunks rebuilt into complete JPEG streams.
// Sound streams are recognised (their format must be PCM) but not read.
// A file that goes on past its first RIFF chunk ("AVIX" chunks, as the AVI
// writer makes beyond 1 GB) is indexed through the video stream's super
// index and its standard indexes, which cover every RIFF chunk; the scan
// for a frame enters those RIFF chunks too. Such files give their whole
// frame count in the OpenDML header ("dmlh"); the main header may count
// the first RIFF chunk only.
//
// Invariant: every byte an MJPEG frame is rebuilt from lies inside its
// chunk, the rebuilt stream fits its buffer, and a frame is handed out only
// when it has exactly the size the headers announced. Every count, size
// and offset an index gives is checked against its chunk and the file
// before it is used.
#include <cstring>

#include "media/anim_private.h"
#include "media/image_private.h"
#include "media/media.h"

namespace {

constexpr int32_t MAX_STREAMS = 16;  // stream headers an AVI may have here
constexpr uint32_t AVIH_SIZE = 56;   // the main header's fixed size
constexpr uint32_t IDX1_ENTRY = 16;  // id, flags, offset, size
// OpenDML indexes: a 24-byte header (longs per entry, sub-type, type,
// entries in use, chunk id, then 12 bytes of the index type's own), then
// the entries.
constexpr uint32_t ODML_HEADER = 24;
constexpr uint32_t SUPER_ENTRY = 16;          // 64-bit offset, size, duration
constexpr uint32_t STANDARD_ENTRY = 8;        // offset from the base, size
constexpr uint8_t INDEX_OF_INDEXES = 0;       // a super index
constexpr uint8_t INDEX_OF_CHUNKS = 1;        // a standard index
constexpr uint32_t NOT_KEY_FRAME = 1u << 31;  // in a standard entry's size
// Without a known file size, no chunk larger than this is read.
constexpr uint64_t MAX_UNSIZED_CHUNK = uint64_t{64} << 20;

enum : int32_t { CODEC_RAW = 0, CODEC_MJPEG = 1 };

struct IndexEntry {
  int64_t offset;
  uint32_t size;
};

uint32_t le16(const uint8_t* p) { return p[0] | (uint32_t{p[1]} << 8); }
uint32_t le32(const uint8_t* p) { return le16(p) | (le16(p + 2) << 16); }
uint64_t le64(const uint8_t* p) { return le32(p) | (uint64_t{le32(p + 4)} << 32); }
uint32_t be16(const uint8_t* p) { return (uint32_t{p[0]} << 8) | p[1]; }

bool readExact(StreamHandle* s, void* buffer, size_t n) { return ReadStream(s, buffer, n) == n; }
bool readLe32(StreamHandle* s, uint32_t* v) {
  uint8_t b[4];
  if (!readExact(s, b, 4)) return false;
  *v = le32(b);
  return true;
}
bool skip(StreamHandle* s, uint64_t n) {
  return n == 0 || SeekFileStream(s, static_cast<int64_t>(n), 0) >= 0;
}
uint64_t even(uint64_t n) { return n + (n & 1); }

bool isDigit(uint8_t c) { return c >= '0' && c <= '9'; }
// A chunk id of the form "NNdb", "NNdc" or "NNwb"; *stream gets NN.
bool chunkStream(const uint8_t* id, int32_t* stream) {
  if (!isDigit(id[0]) || !isDigit(id[1])) return false;
  bool kind = (id[2] == 'd' && (id[3] == 'b' || id[3] == 'c')) || (id[2] == 'w' && id[3] == 'b');
  if (!kind) return false;
  *stream = (id[0] - '0') * 10 + (id[1] - '0');
  return true;
}

}  // namespace

struct AviAnimReader {
  StreamHandle* stream;
  int32_t codec;
  int32_t width, height;
  int32_t streamCount;
  int32_t audioChannels, audioRate, audioBlockAlign, audioBits;
  int32_t videoPlanes, videoBitCount;
  int64_t moviData;  // just after the "movi" list type
  int32_t position;  // the video frame the stream stands at; -1 unknown
  int32_t totalFrames;
  uint32_t odmlFrames;  // "dmlh": the frames of every RIFF chunk; 0 none
  bool topDown;         // uncompressed rows stored first to last
  uint32_t flags;
  uint8_t streamType[MAX_STREAMS][4];
  uint8_t streamHandler[MAX_STREAMS][4];
  uint8_t compression[4];
  int32_t videoStream;
  uint8_t* frame;  // chunk data; grown for MJPEG chunks that need more
  size_t frameCapacity;
  uint8_t* chunk;  // an MJPEG chunk as read
  size_t chunkCapacity;
  IndexEntry* index[MAX_STREAMS];
  int32_t indexCount[MAX_STREAMS];
  uint64_t* superIndex;  // the video stream's standard-index chunks
  uint32_t superCount;
};

const uint8_t MJPEG_STANDARD_DHT[MJPEG_DHT_BYTES] = {
    0xFF, 0xC4, 0x01, 0xA2, 0x00, 0x00, 0x01, 0x05, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A,
    0x0B, 0x10, 0x00, 0x02, 0x01, 0x03, 0x03, 0x02, 0x04, 0x03, 0x05, 0x05, 0x04, 0x04, 0x00, 0x00,
    0x01, 0x7D, 0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51,
    0x61, 0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xA1, 0x08, 0x23, 0x42, 0xB1, 0xC1, 0x15, 0x52,
    0xD1, 0xF0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0A, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x25, 0x26,
    0x27, 0x28, 0x29, 0x2A, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x43, 0x44, 0x45, 0x46, 0x47,
    0x48, 0x49, 0x4A, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x63, 0x64, 0x65, 0x66, 0x67,
    0x68, 0x69, 0x6A, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x83, 0x84, 0x85, 0x86, 0x87,
    0x88, 0x89, 0x8A, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0xA2, 0xA3, 0xA4, 0xA5,
    0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xC2, 0xC3,
    0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA,
    0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6,
    0xF7, 0xF8, 0xF9, 0xFA, 0x01, 0x00, 0x03, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A,
    0x0B, 0x11, 0x00, 0x02, 0x01, 0x02, 0x04, 0x04, 0x03, 0x04, 0x07, 0x05, 0x04, 0x04, 0x00, 0x01,
    0x02, 0x77, 0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07,
    0x61, 0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xA1, 0xB1, 0xC1, 0x09, 0x23, 0x33,
    0x52, 0xF0, 0x15, 0x62, 0x72, 0xD1, 0x0A, 0x16, 0x24, 0x34, 0xE1, 0x25, 0xF1, 0x17, 0x18, 0x19,
    0x1A, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x43, 0x44, 0x45, 0x46,
    0x47, 0x48, 0x49, 0x4A, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x63, 0x64, 0x65, 0x66,
    0x67, 0x68, 0x69, 0x6A, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x82, 0x83, 0x84, 0x85,
    0x86, 0x87, 0x88, 0x89, 0x8A, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0xA2, 0xA3,
    0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA,
    0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8,
    0xD9, 0xDA, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6,
    0xF7, 0xF8, 0xF9, 0xFA,
};

namespace {

void freeIndex(AviAnimReader* r) {
  for (int i = 0; i < MAX_STREAMS; i++) {
    FreeMemory(r->index[i]);
    r->index[i] = nullptr;
    r->indexCount[i] = 0;
  }
}

void freeReader(AviAnimReader* r) {
  if (!r) return;
  CloseFileStream(r->stream);
  freeIndex(r);
  FreeMemory(r->superIndex);
  FreeMemory(r->frame);
  FreeMemory(r->chunk);
  FreeMemory(r);
}

bool sameNoCase(const uint8_t* a, const char* b) {
  for (int i = 0; i < 4; i++) {
    uint8_t c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<uint8_t>(c - 'A' + 'a');
    if (c != static_cast<uint8_t>(b[i])) return false;
  }
  return true;
}

// The video stream's "indx" chunk of `size` bytes, the stream at its data.
// A super index (an index of standard indexes for this stream's chunks)
// keeps its chunk offsets; any other index, or one whose counts do not fit
// its chunk, is passed over. false only when the chunk cannot be read past.
bool readSuperIndex(AviAnimReader* r, int32_t stream, uint32_t size) {
  StreamHandle* s = r->stream;
  const int64_t left = StreamBytesLeft(s);
  if (left >= 0 && even(size) > static_cast<uint64_t>(left)) return false;
  if (size < ODML_HEADER) return skip(s, even(size));
  uint8_t h[ODML_HEADER];
  if (!readExact(s, h, ODML_HEADER)) return false;
  int32_t k;
  uint32_t entries = le32(h + 4);
  const uint32_t room = (size - ODML_HEADER) / SUPER_ENTRY;
  if (le16(h) != SUPER_ENTRY / 4 || h[3] != INDEX_OF_INDEXES || !chunkStream(h + 8, &k) ||
      k != stream || h[10] != 'd' || entries > room || r->superIndex)
    return skip(s, even(size) - ODML_HEADER);
  // Without a file size, a chunk the scan cannot check is not kept.
  if (left < 0 && size > MAX_UNSIZED_CHUNK) return skip(s, even(size) - ODML_HEADER);
  r->superIndex =
      static_cast<uint64_t*>(AllocMemoryArray(entries ? entries : 1, sizeof(uint64_t), 0));
  if (!r->superIndex) return skip(s, even(size) - ODML_HEADER);
  uint32_t used = ODML_HEADER;
  for (uint32_t i = 0; i < entries; i++, used += SUPER_ENTRY) {
    uint8_t e[SUPER_ENTRY];
    if (!readExact(s, e, SUPER_ENTRY)) return false;
    r->superIndex[i] = le64(e);
  }
  r->superCount = entries;
  return skip(s, even(size) - used);
}

// The header scan up to the "movi" list; false on any malformed header.
bool readHeaders(AviAnimReader* r, uint32_t* moviSize) {
  StreamHandle* s = r->stream;
  int32_t streams = 0;  // stream headers seen
  for (;;) {
    uint8_t head[8];
    if (!readExact(s, head, 8)) return false;  // no movi list
    const uint32_t size = le32(head + 4);
    if (std::memcmp(head, "LIST", 4) == 0) {
      uint8_t type[4];
      if (size < 4 || !readExact(s, type, 4)) return false;
      if (std::memcmp(type, "movi", 4) == 0) {
        *moviSize = size;
        return true;
      }
      continue;  // enter the list
    }
    if (std::memcmp(head, "avih", 4) == 0) {
      uint8_t b[AVIH_SIZE];
      if (size != AVIH_SIZE || !readExact(s, b, AVIH_SIZE)) return false;
      r->flags = le32(b + 12);
      const uint32_t frames = le32(b + 16), count = le32(b + 24);
      const uint32_t w = le32(b + 32), h = le32(b + 36);
      if (frames == 0 || frames > INT32_MAX || count > MAX_STREAMS || w > INT32_MAX ||
          h > INT32_MAX)
        return false;
      r->totalFrames = static_cast<int32_t>(frames);
      r->streamCount = static_cast<int32_t>(count);
      r->width = static_cast<int32_t>(w);
      r->height = static_cast<int32_t>(h);
      continue;
    }
    if (std::memcmp(head, "strh", 4) == 0) {
      uint8_t b[8];
      if ((size != 56 && size != 64) || streams >= MAX_STREAMS || !readExact(s, b, 8) ||
          !skip(s, size - 8))
        return false;
      std::memcpy(r->streamType[streams], b, 4);
      std::memcpy(r->streamHandler[streams], b + 4, 4);
      streams++;
      continue;
    }
    if (std::memcmp(head, "strf", 4) == 0) {
      if (streams == 0) return false;
      const int32_t k = streams - 1;
      uint32_t used = 0;
      if (std::memcmp(r->streamType[k], "auds", 4) == 0) {
        uint8_t b[16];
        if (size < 16 || !readExact(s, b, 16) || le16(b) != 1) return false;
        r->audioChannels = static_cast<int32_t>(le16(b + 2));
        r->audioRate = static_cast<int32_t>(le32(b + 4));
        r->audioBlockAlign = static_cast<int32_t>(le16(b + 12));
        r->audioBits = static_cast<int32_t>(le16(b + 14));
        used = 16;
      } else if (std::memcmp(r->streamType[k], "vids", 4) == 0) {
        uint8_t b[20];
        if (size < 20 || !readExact(s, b, 20)) return false;
        // A negative height stores the rows top-down (uncompressed only).
        const auto stored = static_cast<int32_t>(le32(b + 8));
        r->topDown = stored < 0 && stored == -r->height;
        if (le32(b + 4) != static_cast<uint32_t>(r->width) || (stored != r->height && !r->topDown))
          return false;
        r->videoPlanes = static_cast<int32_t>(le16(b + 12));
        r->videoBitCount = static_cast<int32_t>(le16(b + 14));
        std::memcpy(r->compression, b + 16, 4);
        r->videoStream = k;
        used = 20;
      }
      if (!skip(s, even(size) - used)) return false;
      continue;
    }
    if (std::memcmp(head, "dmlh", 4) == 0 && size >= 4) {
      if (!readLe32(s, &r->odmlFrames) || !skip(s, even(size) - 4)) return false;
      continue;
    }
    if (std::memcmp(head, "indx", 4) == 0 && streams > 0 && streams - 1 == r->videoStream) {
      if (!readSuperIndex(r, streams - 1, size)) return false;
      continue;
    }
    if (!skip(s, even(size))) return false;
  }
}

// Reads "idx1" when it follows the movi list. A malformed entry drops every
// array; a stream keeps at most min(total frames, entries in the chunk).
bool readIndex(AviAnimReader* r) {
  StreamHandle* s = r->stream;
  uint8_t id[4];
  uint32_t size;
  if (!readExact(s, id, 4) || std::memcmp(id, "idx1", 4) != 0 || !readLe32(s, &size)) return true;
  const uint32_t entries = size / IDX1_ENTRY;
  const uint32_t cap = entries < static_cast<uint32_t>(r->totalFrames)
                           ? entries
                           : static_cast<uint32_t>(r->totalFrames);
  for (int32_t k = 0; k < r->streamCount; k++) {
    r->index[k] = static_cast<IndexEntry*>(AllocMemoryArray(cap ? cap : 1, sizeof(IndexEntry), 0));
    if (!r->index[k]) return false;
  }
  uint32_t left = size;
  while (left >= 4) {
    uint8_t e[IDX1_ENTRY];
    if (!readExact(s, e, 4)) break;
    left -= 4;
    if (std::memcmp(e, "rec ", 4) == 0) {
      if (left < 12 || !readExact(s, e + 4, 12)) break;
      left -= 12;
      continue;
    }
    int32_t k;
    if (!chunkStream(e, &k) || k >= r->streamCount) {
      freeIndex(r);
      return true;
    }
    if (left < 12 || !readExact(s, e + 4, 12)) break;
    left -= 12;
    if (static_cast<uint32_t>(r->indexCount[k]) < cap)
      r->index[k][r->indexCount[k]++] = {static_cast<int64_t>(le32(e + 8)), le32(e + 12)};
  }
  return true;
}

// An index being collected: grown as entries come, never past its limit.
struct EntryList {
  IndexEntry* entries = nullptr;
  uint32_t count = 0, capacity = 0, limit = 0;
  bool add(int64_t offset, uint32_t size) {
    if (count == limit) return true;  // further entries are dropped
    if (count == capacity) {
      uint32_t grown = capacity ? (capacity > limit / 2 ? limit : capacity * 2) : 1024;
      if (grown > limit) grown = limit;
      auto* more = static_cast<IndexEntry*>(AllocMemoryArray(grown, sizeof(IndexEntry), 0));
      if (!more) return false;
      if (count) std::memcpy(more, entries, count * sizeof(IndexEntry));
      FreeMemory(entries);
      entries = more;
      capacity = grown;
    }
    entries[count++] = {offset, size};
    return true;
  }
};

// Appends the entries of the standard index at `at` to the list. false
// when the chunk is not this stream's standard index, a count does not fit
// its chunk, or an entry lies outside the file.
bool readStandardIndex(AviAnimReader* r, uint64_t at, uint64_t fileBytes, EntryList* list) {
  StreamHandle* s = r->stream;
  uint8_t h[8 + ODML_HEADER];
  if (at > fileBytes || fileBytes - at < sizeof h ||
      SeekFileStream(s, static_cast<int64_t>(at), 1) < 0 || !readExact(s, h, sizeof h))
    return false;
  const uint32_t size = le32(h + 4);
  const uint8_t* x = h + 8;
  int32_t k;
  if (h[0] != 'i' || h[1] != 'x' || !isDigit(h[2]) || !isDigit(h[3]) ||
      (h[2] - '0') * 10 + (h[3] - '0') != r->videoStream || size < ODML_HEADER ||
      size > fileBytes - at - 8 || le16(x) != STANDARD_ENTRY / 4 || x[3] != INDEX_OF_CHUNKS ||
      !chunkStream(x + 8, &k) || k != r->videoStream)
    return false;
  const uint32_t n = le32(x + 4);
  if (n > (size - ODML_HEADER) / STANDARD_ENTRY) return false;
  const uint64_t base = le64(x + 12);
  for (uint32_t i = 0; i < n; i++) {
    uint8_t e[STANDARD_ENTRY];
    if (!readExact(s, e, STANDARD_ENTRY)) return false;
    const uint64_t data = base + le32(e);
    const uint32_t bytes = le32(e + 4) & ~NOT_KEY_FRAME;
    // The chunk's header stands 8 bytes before its data; both in the file.
    if (data < base || data < 8 || data > fileBytes || bytes > fileBytes - data) return false;
    if (!list->add(static_cast<int64_t>(data - 8), bytes)) return false;
  }
  return true;
}

// The video stream's index from its standard indexes, in place of what
// "idx1" gave (which covers the first RIFF chunk only) when it holds more.
// Standard indexes that do not check out (or a file of unknown size)
// leave the "idx1" index as it is.
void readOpenDmlIndex(AviAnimReader* r) {
  const int64_t fileSize = GetStreamSize(r->stream);
  if (r->superCount == 0 || fileSize < 0) return;
  EntryList list;
  list.limit = static_cast<uint32_t>(r->totalFrames);
  bool valid = true;
  for (uint32_t i = 0; i < r->superCount && valid; i++)
    valid = readStandardIndex(r, r->superIndex[i], static_cast<uint64_t>(fileSize), &list);
  const int32_t v = r->videoStream;
  if (valid && static_cast<int64_t>(list.count) > r->indexCount[v]) {
    FreeMemory(r->index[v]);
    r->index[v] = list.entries;
    r->indexCount[v] = static_cast<int32_t>(list.count);
  } else {
    FreeMemory(list.entries);
  }
}

// Whether the file past the movi data can hold the frames the headers
// claim: every frame is a chunk of at least its 8-byte header, and an
// uncompressed one also of its pixels. A claim beyond that is refused
// before anything is allocated for it.
bool holdsFrames(AviAnimReader* r, size_t pixels) {
  const int64_t total = GetStreamSize(r->stream);
  if (total < 0) return true;
  if (total < r->moviData) return false;
  const uint64_t each = 8 + (r->codec == CODEC_RAW ? pixels * 3 : 0);
  return static_cast<uint64_t>(r->totalFrames) <= static_cast<uint64_t>(total - r->moviData) / each;
}

// Makes sure *buffer holds at least n bytes.
bool reserve(uint8_t** buffer, size_t* capacity, size_t n) {
  if (*capacity >= n) return true;
  auto* grown = static_cast<uint8_t*>(AllocMemory(n, 0));
  if (!grown) return false;
  FreeMemory(*buffer);
  *buffer = grown;
  *capacity = n;
  return true;
}

// Rebuilds a complete JPEG stream from an MJPEG chunk into out (room for
// size + MJPEG_DHT_BYTES bytes); the stream's length, or 0 when the chunk
// is malformed.
size_t assembleJpeg(const uint8_t* in, size_t size, uint8_t* out) {
  if (size < 6 || in[0] != 0xFF || in[1] != 0xD8) return 0;
  size_t i = 4, o = 0;
  std::memcpy(out, in, 4);  // SOI and the first marker
  o = 4;
  bool tables = false, scan = false;
  for (;;) {
    if (i + 2 > size) return 0;
    const size_t length = be16(in + i);
    if (length < 2 || i + length > size) return 0;
    std::memcpy(out + o, in + i, length);  // the length and the segment data
    o += length;
    i += length;
    // Bytes up to and including the next marker; fill bytes are copied.
    int marker = -1;
    while (i < size) {
      const uint8_t b = in[i++];
      out[o++] = b;
      if (b == 0xFF && i < size && in[i] != 0 && in[i] != 0xFF) {
        marker = in[i++];
        out[o++] = static_cast<uint8_t>(marker);
        break;
      }
    }
    if (marker < 0) break;  // the chunk ended: decode what there is
    if (marker == 0xC4) tables = true;
    if (marker == 0xDA) {
      scan = true;
      break;
    }
  }
  if (scan && !tables) {
    o -= 2;  // the SOS marker just written goes behind the tables
    std::memcpy(out + o, MJPEG_STANDARD_DHT, MJPEG_DHT_BYTES);
    o += MJPEG_DHT_BYTES;
    out[o++] = 0xFF;
    out[o++] = 0xDA;
  }
  std::memcpy(out + o, in + i, size - i);
  o += size - i;
  if (o >= 10 && std::memcmp(out + 6, "AVI1", 4) == 0) std::memcpy(out + 6, "JFIF", 4);
  return o;
}

uint32_t* decodeRaw(AviAnimReader* r, uint32_t size) {
  const size_t w = static_cast<size_t>(r->width), h = static_cast<size_t>(r->height);
  if (size != w * h * 3 || !readExact(r->stream, r->frame, size)) return nullptr;
  ErrorCode error;
  uint32_t* out = AllocImagePixels(r->width, r->height, 0, &error);
  if (!out) return nullptr;
  for (size_t y = 0; y < h; y++) {
    const uint8_t* row = r->frame + (r->topDown ? y : h - 1 - y) * w * 3;
    uint32_t* dst = out + y * w;
    for (size_t x = 0; x < w; x++, row += 3)
      dst[x] = (uint32_t{row[2]} << 16) | (uint32_t{row[1]} << 8) | row[0];
  }
  return out;
}

uint32_t* decodeMjpeg(AviAnimReader* r, uint32_t size) {
  const int64_t here = SeekFileStream(r->stream, 0, 0);
  const int64_t total = GetStreamSize(r->stream);
  if (total >= 0 ? here < 0 || static_cast<uint64_t>(size) > static_cast<uint64_t>(total - here)
                 : size > MAX_UNSIZED_CHUNK)
    return nullptr;
  if (!reserve(&r->chunk, &r->chunkCapacity, size ? size : 1) ||
      !reserve(&r->frame, &r->frameCapacity, size_t{size} + MJPEG_DHT_BYTES) ||
      !readExact(r->stream, r->chunk, size))
    return nullptr;
  const size_t length = assembleJpeg(r->chunk, size, r->frame);
  if (length == 0) return nullptr;
  int32_t w = 0, h = 0;
  uint32_t* pixels = nullptr;
  if (DecodeJpegImage(nullptr, r->frame, length, 0, 0, &w, &h, &pixels) != 0) return nullptr;
  if (w != r->width || h != r->height) {  // a frame of another size
    FreeMemory(pixels);
    return nullptr;
  }
  return pixels;
}

}  // namespace

AviAnimReader* OpenAviAnimFile(StreamHandle* stream, int32_t* width, int32_t* height,
                               int32_t* frameCount) {
  auto* r = static_cast<AviAnimReader*>(AllocMemory(sizeof(AviAnimReader), 1));
  if (!r) {
    CloseFileStream(stream);
    return nullptr;
  }
  r->stream = stream;
  r->videoStream = -1;
  uint8_t head[12];
  uint32_t moviSize = 0;
  if (!readExact(stream, head, 12) || std::memcmp(head, "RIFF", 4) != 0 ||
      std::memcmp(head + 8, "AVI ", 4) != 0 || !readHeaders(r, &moviSize) || r->videoStream < 0 ||
      r->videoStream >= r->streamCount || r->streamCount < 1 || r->totalFrames < 1) {
    freeReader(r);
    return nullptr;
  }
  if (r->odmlFrames > static_cast<uint32_t>(r->totalFrames) && r->odmlFrames <= INT32_MAX)
    r->totalFrames = static_cast<int32_t>(r->odmlFrames);
  size_t pixels;
  if (ImagePixelCount(r->width, r->height, &pixels) != 0) {
    freeReader(r);
    return nullptr;
  }
  const uint8_t* handler = r->streamHandler[r->videoStream];
  if (handler[0] == 0 || sameNoCase(handler, "dib ") || sameNoCase(handler, "raw ")) {
    r->codec = CODEC_RAW;
    if (r->videoBitCount != 24) {
      freeReader(r);
      return nullptr;
    }
  } else if (sameNoCase(handler, "mjpg")) {
    r->codec = CODEC_MJPEG;
  } else {
    freeReader(r);
    return nullptr;
  }
  r->moviData = SeekFileStream(stream, 0, 0);
  if (r->moviData < 0 || !holdsFrames(r, pixels) || !skip(stream, even(moviSize) - 4) ||
      !readIndex(r)) {
    freeReader(r);
    return nullptr;
  }
  readOpenDmlIndex(r);
  if (SeekFileStream(stream, r->moviData, 1) < 0) {
    freeReader(r);
    return nullptr;
  }
  // pixels x 3 cannot overflow: the pixel limit keeps pixels far below it.
  r->frameCapacity = pixels * 3;
  r->frame = static_cast<uint8_t*>(AllocMemory(r->frameCapacity, 0));
  if (!r->frame) {
    freeReader(r);
    return nullptr;
  }
  *width = r->width;
  *height = r->height;
  *frameCount = r->totalFrames;
  return r;
}

uint32_t* GetAviAnimFrame(AviAnimReader* r, int32_t n) {
  if (n < 0 || n >= r->totalFrames) return nullptr;
  StreamHandle* s = r->stream;
  if (r->position != n) {
    const int32_t v = r->videoStream;
    if (r->indexCount[v] > n) {
      const int64_t offset = r->index[v][n].offset;
      uint8_t id[4];
      int32_t k;
      bool absolute =
          SeekFileStream(s, offset, 1) >= 0 && readExact(s, id, 4) && chunkStream(id, &k);
      if (SeekFileStream(s, absolute ? offset : r->moviData + offset - 4, 1) < 0) return nullptr;
      r->position = n;
    } else {
      if (SeekFileStream(s, r->moviData, 1) < 0) return nullptr;
      r->position = 0;
    }
  }
  uint32_t size = 0;
  for (;;) {
    uint8_t head[8];
    if (!readExact(s, head, 8)) return nullptr;
    size = le32(head + 4);
    // Lists, and the RIFF chunks a long file goes on in, are entered.
    if (std::memcmp(head, "LIST", 4) == 0 || std::memcmp(head, "RIFF", 4) == 0) {
      if (!skip(s, 4)) return nullptr;
      continue;
    }
    int32_t k;
    if (chunkStream(head, &k) && k == r->videoStream && head[2] == 'd') {
      if (r->position == n) break;
      r->position++;
    }
    if (!skip(s, even(size))) return nullptr;
  }
  uint32_t* pixels = r->codec == CODEC_RAW ? decodeRaw(r, size) : decodeMjpeg(r, size);
  if (!pixels) {
    // The stream stands somewhere inside the chunk: start over next time.
    r->position = -1;
    return nullptr;
  }
  if (size & 1) skip(s, 1);
  if (++r->position >= r->totalFrames) {
    r->position = 0;
    SeekFileStream(s, r->moviData, 1);
  }
  return pixels;
}

void CloseAviAnimFile(AviAnimReader* reader) { freeReader(reader); }
