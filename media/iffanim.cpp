// IFF ANIM files as anims: the first frame is an ILBM picture, every later
// frame a delta against an earlier one (methods 5, 7, 8, 100 and 101). The
// reader keeps the bitplanes of the first frame and two frame buffers
// (deltas of interleave 0 apply to the frame two steps back), applies the
// deltas in order and converts the wanted frame to ARGB pixels. Interlaced
// anims (methods 100 and 101 addressing every second row) are woven with
// the previous field or line-doubled.
//
// Invariant: every offset, count and skip a delta carries is checked
// against its DLTA chunk and the bitplane it writes; a delta that reaches
// outside either is refused, never clipped into a neighbouring buffer.
#include <cstring>

#include "media/anim_private.h"
#include "media/image_private.h"
#include "media/media.h"

namespace {

constexpr int32_t MAX_PLANES = 8;
constexpr int MAX_COLOURS = 256;
constexpr size_t SMALL_CHUNK = MAX_COLOURS * 3;  // the largest chunk read whole but DLTA
constexpr uint32_t CAMG_EHB = 0x80;
constexpr uint32_t CAMG_HAM = 0x800;
constexpr uint32_t BITS_LONG = 0x1;     // methods 7 and 8: 32-bit units
constexpr uint32_t BITS_FIELDS = 0x40;  // methods 100 and 101: every second row
// Without a known file size, no DLTA larger than this is read.
// A delta frame's least bytes: its FORM header and type, and the headers
// of its ANHD and DLTA chunks.
constexpr int64_t MIN_DELTA_FORM = 12 + 8 + 8;
constexpr uint64_t MAX_UNSIZED_DELTA = uint64_t{64} << 20;

uint32_t be16(const uint8_t* p) { return (uint32_t{p[0]} << 8) | p[1]; }
uint32_t be32(const uint8_t* p) { return (be16(p) << 16) | be16(p + 2); }
uint64_t even(uint64_t n) { return n + (n & 1); }
bool readExact(StreamHandle* s, void* buffer, size_t n) { return ReadStream(s, buffer, n) == n; }
bool skip(StreamHandle* s, uint64_t n) {
  return n == 0 || SeekFileStream(s, static_cast<int64_t>(n), 0) >= 0;
}
bool validMethod(uint32_t op) { return op == 5 || op == 7 || op == 8 || op == 100 || op == 101; }

// A chunk's leading bytes (at most cap, the rest zero) and then the stream
// past the chunk and its pad byte.
bool readChunk(StreamHandle* s, uint32_t size, uint8_t* buffer, size_t cap) {
  const size_t n = size < cap ? size : cap;
  std::memset(buffer, 0, cap);
  return readExact(s, buffer, n) && skip(s, even(size) - n);
}

// Reads from a DLTA chunk; a read past its end clears ok and yields 0.
struct Cursor {
  const uint8_t* data;
  size_t size;
  size_t at;
  bool ok;
  uint32_t u8() {
    if (at + 1 > size) return fail();
    return data[at++];
  }
  uint32_t u16() {
    if (at + 2 > size) return fail();
    at += 2;
    return be16(data + at - 2);
  }
  uint32_t u32() {
    if (at + 4 > size) return fail();
    at += 4;
    return be32(data + at - 4);
  }
  const uint8_t* bytes(size_t n) {
    if (at + n > size) {
      fail();
      return nullptr;
    }
    at += n;
    return data + at - n;
  }
  uint32_t fail() {
    ok = false;
    at = size;
    return 0;
  }
};

// One bitplane being written: unit-sized writes down a column at pos.
struct Plane {
  uint8_t* bytes;
  size_t size;
  size_t step;  // bytes from one addressed row to the next
  bool xorMode;
  bool put(size_t* pos, const uint8_t* unit, size_t n) {
    if (*pos > size || n > size - *pos) return false;
    uint8_t* at = bytes + *pos;
    for (size_t i = 0; i < n; i++) at[i] = xorMode ? at[i] ^ unit[i] : unit[i];
    *pos += step;
    return true;
  }
  // Skips rows; past the plane the position stays at its end.
  void skipRows(size_t* pos, uint64_t rows) const {
    const uint64_t room = (size - (*pos < size ? *pos : size)) / step + 1;
    *pos = rows >= room ? size : *pos + rows * step;
  }
};

}  // namespace

struct IffAnimReader {
  StreamHandle* stream;
  uint8_t* firstFrame;     // planes x height x rowBytes
  uint8_t* pens;           // width x height
  uint8_t* previousField;  // bitplanes, on first need
  uint8_t* previousPens;   // width x height, weave mode of interlaced anims
  uint32_t palette[MAX_COLOURS];
  uint32_t savedPalette[MAX_COLOURS];
  int32_t frameCount;
  int32_t decoded;  // the frame `shown` holds; -1 after a failed delta
  int32_t width, height, depth, planes, compression, masking, transparentColour;
  bool halfBrite, ham6, ham8;
  int64_t firstDelta;
  uint8_t* buffers[2];
  int current;
  const uint8_t* shown;
  int32_t* delays;  // one per frame, in 1/60 s
  int32_t delayCount;
  int32_t interlace;  // 0 none or not known yet; 1 or 2
  int32_t fieldParity;
  int32_t deinterlace;
  int32_t loadTransparency;
  size_t rowBytes, planeSize, frameBytes;
  uint8_t* delta;
  size_t deltaCapacity;
  int64_t deltasDecoded;
};

namespace {

void applyHalfBrite(IffAnimReader* r) {
  if (!r->halfBrite) return;
  for (int i = 0; i < 32; i++) r->palette[32 + i] = (r->palette[i] >> 1) & 0x7F7F7F;
}

void readCmap(IffAnimReader* r, const uint8_t* b, uint32_t size) {
  const uint32_t count = size / 3 < MAX_COLOURS ? size / 3 : MAX_COLOURS;
  for (uint32_t i = 0; i < count; i++)
    r->palette[i] = (uint32_t{b[3 * i]} << 16) | (uint32_t{b[3 * i + 1]} << 8) | b[3 * i + 2];
  applyHalfBrite(r);
}

void freeReader(IffAnimReader* r) {
  if (!r) return;
  CloseFileStream(r->stream);
  FreeMemory(r->firstFrame);
  FreeMemory(r->pens);
  FreeMemory(r->previousField);
  FreeMemory(r->previousPens);
  FreeMemory(r->buffers[0]);
  FreeMemory(r->buffers[1]);
  FreeMemory(r->delays);
  FreeMemory(r->delta);
  FreeMemory(r);
}

bool rewind(IffAnimReader* r) {
  std::memcpy(r->buffers[0], r->firstFrame, r->frameBytes);
  std::memcpy(r->buffers[1], r->firstFrame, r->frameBytes);
  if (r->previousField) std::memcpy(r->previousField, r->firstFrame, r->frameBytes);
  std::memcpy(r->palette, r->savedPalette, sizeof r->palette);
  r->current = 0;
  r->shown = r->firstFrame;
  r->decoded = 0;
  return SeekFileStream(r->stream, r->firstDelta, 1) >= 0;
}

// The 32-bit pointer at DLTA byte 4 x slot; 0 (unchanged) when absent.
bool pointerAt(const IffAnimReader* r, size_t size, int slot, uint32_t* value) {
  if (4 * static_cast<size_t>(slot) + 4 > size) return false;
  *value = be32(r->delta + 4 * slot);
  return *value < size || *value == 0;
}

bool method5(Cursor c, Plane plane, size_t rowBytes) {
  for (size_t column = 0; column < rowBytes; column++) {
    const uint32_t ops = c.u8();
    size_t pos = column;
    for (uint32_t k = 0; k < ops && c.ok; k++) {
      const uint32_t op = c.u8();
      if (op & 0x80) {
        for (uint32_t i = 0; i < (op & 0x7F); i++) {
          const uint8_t* v = c.bytes(1);
          if (!v || !plane.put(&pos, v, 1)) return false;
        }
      } else if (op) {
        plane.skipRows(&pos, op);
      } else {
        const uint32_t count = c.u8();
        const uint8_t* v = c.bytes(1);
        if (!v) return false;
        for (uint32_t i = 0; i < count; i++)
          if (!plane.put(&pos, v, 1)) return false;
      }
    }
    if (!c.ok) return false;
  }
  return true;
}

// The columns of methods 7 and 8: byte offset and unit size of each.
struct Columns {
  int32_t count;
  int32_t longCount;  // the first longCount columns have 4-byte units
  size_t offset(int32_t i) const {
    return i < longCount
               ? static_cast<size_t>(i) * 4
               : static_cast<size_t>(longCount) * 4 + static_cast<size_t>(i - longCount) * 2;
  }
  size_t unit(int32_t i) const { return i < longCount ? 4 : 2; }
};

Columns columnsOf(int32_t width, uint32_t bits) {
  if (bits & BITS_LONG) {
    // Long columns, then one word column for a width not a multiple of 32.
    const int32_t longs = width / 32;
    return {longs + (width % 32 ? 1 : 0), longs};
  }
  return {width / 16, 0};  // a partial last word column is not decoded
}

bool method7(Cursor ops, Cursor data, Plane plane, Columns columns) {
  for (int32_t i = 0; i < columns.count; i++) {
    const size_t unit = columns.unit(i);
    const uint32_t count = ops.u8();
    size_t pos = columns.offset(i);
    for (uint32_t k = 0; k < count && ops.ok; k++) {
      const uint32_t op = ops.u8();
      if (op & 0x80) {
        for (uint32_t j = 0; j < (op & 0x7F); j++) {
          const uint8_t* v = data.bytes(unit);
          if (!v || !plane.put(&pos, v, unit)) return false;
        }
      } else if (op) {
        plane.skipRows(&pos, op);
      } else {
        const uint32_t repeat = ops.u8();
        const uint8_t* v = data.bytes(unit);
        if (!v || !ops.ok) return false;
        for (uint32_t j = 0; j < repeat; j++)
          if (!plane.put(&pos, v, unit)) return false;
      }
    }
    if (!ops.ok) return false;
  }
  return true;
}

// Method 8: counts, ops and values all have the column's unit size.
bool method8(Cursor c, Plane plane, Columns columns) {
  for (int32_t i = 0; i < columns.count; i++) {
    const size_t unit = columns.unit(i);
    const uint32_t copyBit = unit == 4 ? 0x80000000u : 0x8000u;
    auto word = [&]() { return unit == 4 ? c.u32() : c.u16(); };
    const uint32_t count = word();
    size_t pos = columns.offset(i);
    for (uint32_t k = 0; k < count && c.ok; k++) {
      const uint32_t op = word();
      if (op & copyBit) {
        const uint32_t n = op & (copyBit - 1);
        for (uint32_t j = 0; j < n; j++) {
          const uint8_t* v = c.bytes(unit);
          if (!v || !plane.put(&pos, v, unit)) return false;
        }
      } else if (op) {
        plane.skipRows(&pos, op);
      } else {
        const uint32_t repeat = word();
        const uint8_t* v = c.bytes(unit);
        if (!v) return false;
        for (uint32_t j = 0; j < repeat; j++)
          if (!plane.put(&pos, v, unit)) return false;
      }
    }
    if (!c.ok) return false;
  }
  return true;
}

// Methods 100 (unit 4) and 101 (unit 2): entries of a signed count and a
// plane offset (its low 24 bits), each followed by its data.
bool methodOffsets(Cursor c, Plane plane, size_t unit) {
  const uint32_t entries = unit == 4 ? c.u32() : c.u16();
  for (uint32_t e = 0; e < entries && c.ok; e++) {
    const int64_t n =
        unit == 4 ? int64_t{static_cast<int32_t>(c.u32())} : int64_t{static_cast<int16_t>(c.u16())};
    size_t pos = c.u32() & 0xFFFFFF;
    if (!c.ok) return false;
    if (n < 0) {
      for (int64_t j = 0; j < -n; j++) {
        const uint8_t* v = c.bytes(unit);
        if (!v || !plane.put(&pos, v, unit)) return false;
      }
    } else {
      const uint8_t* v = c.bytes(unit);
      if (!v) return false;
      for (int64_t j = 0; j < n; j++)
        if (!plane.put(&pos, v, unit)) return false;
    }
  }
  return c.ok;
}

// The interlace from the first row where the target differs from the saved
// field: 1 for an odd row, 2 for an even one.
void detectInterlace(IffAnimReader* r, const uint8_t* target) {
  for (int32_t p = 0; p < r->planes; p++)
    for (int32_t y = 0; y < r->height; y++) {
      const size_t at =
          static_cast<size_t>(p) * r->planeSize + static_cast<size_t>(y) * r->rowBytes;
      if (std::memcmp(target + at, r->previousField + at, r->rowBytes) != 0) {
        r->interlace = 2 - (y % 2);
        return;
      }
    }
}

// Decodes the next inner FORM's delta into its buffer.
bool decodeDelta(IffAnimReader* r) {
  StreamHandle* s = r->stream;
  bool anhd = false;
  uint32_t op = 0, interleave = 0, bits = 0, deltaSize = 0;
  for (;;) {
    uint8_t head[8];
    if (!readExact(s, head, 8)) return false;
    const uint32_t size = be32(head + 4);
    if (std::memcmp(head, "FORM", 4) == 0) {
      if (!skip(s, 4)) return false;  // step into it
      continue;
    }
    if (std::memcmp(head, "ANHD", 4) == 0) {
      uint8_t b[24];
      if (!readChunk(s, size, b, sizeof b)) return false;
      op = b[0];
      if (!validMethod(op)) return false;
      if (r->decoded >= 0 && r->decoded < r->delayCount)
        r->delays[r->decoded] = static_cast<int32_t>(be32(b + 14));
      interleave = b[18];
      bits = be32(b + 20);
      anhd = true;
      continue;
    }
    if (std::memcmp(head, "CMAP", 4) == 0) {
      uint8_t b[SMALL_CHUNK];
      if (!readChunk(s, size, b, sizeof b)) return false;
      readCmap(r, b, size);
      continue;
    }
    if (std::memcmp(head, "DLTA", 4) == 0) {
      if (!anhd) return false;
      const int64_t here = SeekFileStream(s, 0, 0);
      const int64_t total = GetStreamSize(s);
      if (total >= 0 ? here < 0 || size > static_cast<uint64_t>(total - here)
                     : size > MAX_UNSIZED_DELTA)
        return false;
      if (r->deltaCapacity < size) {
        auto* grown = static_cast<uint8_t*>(AllocMemory(size, 0));
        if (!grown) return false;
        FreeMemory(r->delta);
        r->delta = grown;
        r->deltaCapacity = size;
      }
      if (!readExact(s, r->delta, size) || !skip(s, size & 1)) return false;
      deltaSize = size;
      break;
    }
    if (!skip(s, even(size))) return false;
  }

  uint8_t* target = r->buffers[r->current];
  if (interleave != 1) r->current ^= 1;
  const bool fields = (op == 100 || op == 101) && (bits & BITS_FIELDS);
  if (fields && (r->interlace == 0 || r->deinterlace == DEINTERLACE_DEFAULT)) {
    if (!r->previousField) {
      r->previousField = static_cast<uint8_t*>(AllocMemory(r->frameBytes, 0));
      if (!r->previousField) return false;
    }
    std::memcpy(r->previousField, target, r->frameBytes);
  }
  const size_t step = fields ? 2 * r->rowBytes : r->rowBytes;
  const Columns columns = columnsOf(r->width, bits);
  for (int32_t p = 0; p < r->planes; p++) {
    uint32_t at;
    if (!pointerAt(r, deltaSize, p, &at)) return false;
    if (at == 0) continue;
    Plane plane{target + static_cast<size_t>(p) * r->planeSize, r->planeSize, step,
                op == 5 && interleave == 1};
    Cursor c{r->delta, deltaSize, at, true};
    bool ok = false;
    switch (op) {
      case 5:
        ok = method5(c, plane, r->rowBytes);
        break;
      case 7: {
        uint32_t dataAt;
        if (!pointerAt(r, deltaSize, p + 8, &dataAt)) return false;
        ok = method7(c, Cursor{r->delta, deltaSize, dataAt, true}, plane, columns);
        break;
      }
      case 8:
        ok = method8(c, plane, columns);
        break;
      default:
        ok = methodOffsets(c, plane, op == 100 ? 4 : 2);
    }
    if (!ok) return false;
  }
  if (fields && r->interlace == 0) detectInterlace(r, target);
  r->shown = target;
  r->decoded++;
  r->deltasDecoded++;
  return true;
}

// The operation named by the first delta's ANHD; 0 when there is none.
uint32_t firstDeltaMethod(IffAnimReader* r, uint32_t* bits) {
  StreamHandle* s = r->stream;
  if (SeekFileStream(s, r->firstDelta, 1) < 0) return 0;
  for (;;) {
    uint8_t head[8];
    if (!readExact(s, head, 8)) return 0;
    const uint32_t size = be32(head + 4);
    if (std::memcmp(head, "FORM", 4) == 0) {
      if (!skip(s, 4)) return 0;
      continue;
    }
    if (std::memcmp(head, "DLTA", 4) == 0) return 0;
    if (std::memcmp(head, "ANHD", 4) == 0) {
      uint8_t b[24];
      if (!readChunk(s, size, b, sizeof b)) return 0;
      *bits = be32(b + 20);
      return b[0];
    }
    if (!skip(s, even(size))) return 0;
  }
}

// Inner FORMs from the first delta to the end of the file, the first frame
// included; -1 when something else stands at that level.
int64_t countFrames(IffAnimReader* r) {
  StreamHandle* s = r->stream;
  if (SeekFileStream(s, r->firstDelta, 1) < 0) return -1;
  int64_t count = 1;
  for (;;) {
    uint8_t head[8];
    const size_t n = ReadStream(s, head, 8);
    if (n == 0) return count;
    if (n != 8 || std::memcmp(head, "FORM", 4) != 0) return -1;
    count++;
    if (!skip(s, even(be32(head + 4)))) return -1;
    if (IsStreamEOF(s)) return count;
  }
}

bool formAt(StreamHandle* s, int64_t position) {
  uint8_t id[4];
  return SeekFileStream(s, position, 1) >= 0 && readExact(s, id, 4) &&
         std::memcmp(id, "FORM", 4) == 0;
}

// The first frame's chunks, its BODY decoded; false on any failure.
bool readFirstFrame(IffAnimReader* r, int32_t* dpanFrames, uint32_t* firstFormSize,
                    int64_t* bodyEnd) {
  StreamHandle* s = r->stream;
  uint8_t head[24];
  if (!readExact(s, head, 24) || std::memcmp(head, "FORM", 4) != 0 ||
      std::memcmp(head + 8, "ANIM", 4) != 0 || std::memcmp(head + 12, "FORM", 4) != 0)
    return false;
  *firstFormSize = be32(head + 16);
  bool bmhd = false;
  uint32_t camg = 0;
  for (;;) {
    uint8_t h[8];
    if (!readExact(s, h, 8)) return false;  // no BODY
    const uint32_t size = be32(h + 4);
    if (std::memcmp(h, "BODY", 4) == 0) {
      // A first frame larger than the file can hold allocates nothing.
      if (!bmhd || !IlbmBodyFits(StreamBytesLeft(s), r->width, r->height, r->planes, r->masking,
                                 r->compression))
        return false;
      const int64_t body = SeekFileStream(s, 0, 0);
      if (body < 0) return false;
      *bodyEnd = body + static_cast<int64_t>(even(size));
      break;
    }
    uint8_t b[SMALL_CHUNK];
    if (!readChunk(s, size, b, sizeof b)) return false;
    if (std::memcmp(h, "BMHD", 4) == 0) {
      if (size < 14) return false;
      r->width = static_cast<int32_t>(be16(b));
      r->height = static_cast<int32_t>(be16(b + 2));
      r->planes = b[8];
      r->masking = b[9];
      r->compression = b[10];
      r->transparentColour = static_cast<int32_t>(be16(b + 12));
      bmhd = true;
    } else if (std::memcmp(h, "ANHD", 4) == 0) {
      r->delays[0] = static_cast<int32_t>(be32(b + 14));
    } else if (std::memcmp(h, "CMAP", 4) == 0) {
      readCmap(r, b, size);
    } else if (std::memcmp(h, "DPAN", 4) == 0) {
      if (size >= 4) *dpanFrames = static_cast<int32_t>(be16(b + 2));
    } else if (std::memcmp(h, "CAMG", 4) == 0) {
      if (size >= 4) camg = be32(b);
    }
  }
  if (r->planes < 1 || r->planes > MAX_PLANES) return false;
  size_t pixels;
  if (ImagePixelCount(r->width, r->height, &pixels) != 0) return false;
  r->halfBrite = camg & CAMG_EHB;
  if (camg & CAMG_HAM) (r->planes > 6 ? r->ham8 : r->ham6) = true;
  r->depth = r->ham6 || r->ham8 ? 24 : r->planes;
  applyHalfBrite(r);
  std::memcpy(r->savedPalette, r->palette, sizeof r->palette);
  r->rowBytes = ((static_cast<size_t>(r->width) + 15) / 16) * 2;
  r->planeSize = r->rowBytes * static_cast<size_t>(r->height);
  r->frameBytes = r->planeSize * static_cast<size_t>(r->planes);
  r->firstFrame = static_cast<uint8_t*>(AllocMemory(r->frameBytes, 1));
  r->buffers[0] = static_cast<uint8_t*>(AllocMemory(r->frameBytes, 1));
  r->buffers[1] = static_cast<uint8_t*>(AllocMemory(r->frameBytes, 1));
  r->pens = static_cast<uint8_t*>(AllocMemory(pixels, 1));
  if (!r->firstFrame || !r->buffers[0] || !r->buffers[1] || !r->pens) return false;
  // The body readers stop at a short read; sizes were checked above.
  return r->compression == 0
             ? ReadIlbmBodyRaw(s, r->firstFrame, 0, r->width, r->height, r->planes, r->masking)
             : ReadIlbmBodyByteRun1(s, r->firstFrame, 0, r->width, r->height, r->planes,
                                    r->masking);
}

// Rows of the pens that the current field did not write, from the row
// beside them (double) or the previous field (weave).
void deinterlacePens(IffAnimReader* r, int32_t n) {
  const size_t w = static_cast<size_t>(r->width);
  const int32_t h = r->height;
  const bool weave = r->deinterlace == DEINTERLACE_DEFAULT && r->previousField && r->previousPens;
  if (weave) {
    std::memset(r->previousPens, 0, w * static_cast<size_t>(h));
    PlanarToChunky(r->previousField, r->width, h, r->planes, r->rowBytes, r->previousPens, w);
  }
  const int32_t q = (n + r->fieldParity) % 2;
  for (int32_t y = q == 1 ? 0 : 1; y < h; y += 2) {
    int32_t source;
    const uint8_t* from = r->pens;
    if (weave) {
      source = y;
      from = r->previousPens;
    } else if (q == 1) {
      // The last row of an odd height has no row below: it takes the row
      // above the one above it, the nearest row of the current field.
      source = y + 1 < h ? y + 1 : h - 2;
    } else {
      source = y - 1;
    }
    if (source < 0) continue;
    std::memcpy(r->pens + static_cast<size_t>(y) * w, from + static_cast<size_t>(source) * w, w);
  }
}

}  // namespace

IffAnimReader* OpenIffAnimFile(StreamHandle* stream, int32_t deinterlace, int32_t* width,
                               int32_t* height, int32_t* frameCount, int32_t loadTransparency) {
  auto* r = static_cast<IffAnimReader*>(AllocMemory(sizeof(IffAnimReader), 1));
  if (!r) {
    CloseFileStream(stream);
    return nullptr;
  }
  r->stream = stream;
  r->deinterlace = deinterlace;
  r->loadTransparency = loadTransparency;
  int32_t firstDelay = 0;
  r->delays = &firstDelay;  // the first ANHD's delay, until the table exists
  r->delayCount = 1;
  int32_t dpan = -1;
  uint32_t firstFormSize = 0;
  int64_t bodyEnd = 0;
  bool ok = readFirstFrame(r, &dpan, &firstFormSize, &bodyEnd);
  r->delays = nullptr;
  r->delayCount = 0;
  if (ok) {
    const int64_t size = GetStreamSize(stream);
    r->firstDelta = 20 + static_cast<int64_t>(even(firstFormSize));
    if (size < 0 || r->firstDelta >= size || !formAt(stream, r->firstDelta)) {
      r->firstDelta = bodyEnd;
      ok = formAt(stream, r->firstDelta);
    }
  }
  uint32_t bits = 0;
  const uint32_t method = ok ? firstDeltaMethod(r, &bits) : 0;
  ok = ok && validMethod(method);
  int64_t frames = dpan;
  // Every frame after the first is a FORM with at least an ANHD and a DLTA
  // chunk: a DPAN count the file has no room for is refused.
  const int64_t size = GetStreamSize(stream);
  if (ok && dpan > 1 && size >= 0 && dpan - 1 > (size - r->firstDelta) / MIN_DELTA_FORM) ok = false;
  if (ok && dpan < 0) {
    frames = countFrames(r);
    if (method == 100 || method == 101) frames -= 2;
  }
  ok = ok && frames >= 1 && frames <= INT32_MAX;
  if (ok) {
    r->frameCount = static_cast<int32_t>(frames);
    r->delays = static_cast<int32_t*>(AllocMemoryArray(static_cast<size_t>(frames), 4, 1));
    ok = r->delays != nullptr;
  }
  if (ok) {
    r->delayCount = r->frameCount;
    r->delays[0] = firstDelay;
  }
  if (ok && (method == 100 || method == 101) && (bits & BITS_FIELDS)) {
    ok = rewind(r);
    int32_t decodedHere = 0;
    while (ok && r->interlace == 0 && r->decoded + 1 < r->frameCount) {
      ok = decodeDelta(r);
      decodedHere++;
    }
    if (ok && r->interlace) {
      r->fieldParity = (decodedHere % 2) ^ (r->interlace == 1 ? 1 : 0);
      if (deinterlace == DEINTERLACE_DEFAULT) {
        r->previousPens =
            static_cast<uint8_t*>(AllocMemory(static_cast<size_t>(r->width) * r->height, 1));
        ok = r->previousPens != nullptr;
      }
    }
  }
  if (!ok || !rewind(r)) {
    freeReader(r);
    return nullptr;
  }
  *width = r->width;
  *height = r->height;
  *frameCount = r->frameCount;
  return r;
}

uint32_t* GetIffAnimFrame(IffAnimReader* r, int32_t n, int32_t* hasTransparency) {
  if (hasTransparency) *hasTransparency = 0;
  if (n < 0 || n >= r->frameCount) return nullptr;
  if ((r->decoded < 0 || n < r->decoded) && !rewind(r)) return nullptr;
  while (r->decoded < n) {
    if (!decodeDelta(r)) {
      r->decoded = -1;  // the buffers are half-written: start over next time
      return nullptr;
    }
  }
  ErrorCode error;
  uint32_t* out = AllocImagePixels(r->width, r->height, 0, &error);
  if (!out) return nullptr;
  const size_t count = static_cast<size_t>(r->width) * static_cast<size_t>(r->height);
  std::memset(r->pens, 0, count);
  PlanarToChunky(r->shown, r->width, r->height, r->planes, r->rowBytes, r->pens,
                 static_cast<size_t>(r->width));
  if (r->interlace) deinterlacePens(r, n);
  if (r->ham6)
    DecodeHam6Pixels(r->pens, out, r->palette, r->width, r->height);
  else if (r->ham8)
    DecodeHam8Pixels(r->pens, out, r->palette, r->width, r->height);
  else
    ChunkyToArgb(r->pens, out, r->palette, r->width, r->height);
  if (r->loadTransparency && r->masking == 2) {
    const uint32_t t = static_cast<uint32_t>(r->transparentColour);
    if (r->ham6 || r->ham8) {
      const uint32_t key = (t * 4096) | t;
      for (size_t i = 0; i < count; i++) out[i] = out[i] == key ? key : out[i] | 0xFF000000u;
    } else {
      const uint8_t pen = static_cast<uint8_t>(t);
      for (size_t i = 0; i < count; i++)
        if (r->pens[i] != pen) out[i] |= 0xFF000000u;
    }
    if (hasTransparency) *hasTransparency = 1;
  }
  // The last frame shown, the next request starts from the first again.
  if (n == r->frameCount - 1 && !rewind(r)) r->decoded = -1;
  return out;
}

int32_t GetIffAnimFrameDelay(const IffAnimReader* r, int32_t index) {
  return index >= 0 && index < r->delayCount ? r->delays[index] : 0;
}

int64_t GetIffAnimDeltasDecoded(const IffAnimReader* reader) { return reader->deltasDecoded; }

void CloseIffAnimFile(IffAnimReader* reader) { freeReader(reader); }
