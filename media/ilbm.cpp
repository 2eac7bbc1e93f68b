// IFF ILBM reading (1 to 8 planes with a colour map, extra-half-brite,
// HAM6, HAM8, 24 planes; unpacked or ByteRun1; with or without a mask
// plane) and writing as 24-plane ByteRun1 files, plus the bitplane and HAM
// conversions that the anim and video readers share. Invariants: unpacked
// data never goes beyond its plane row, at most 256 colours are held, and
// every pen indexes a 256-entry colour table.
#include <cstring>

#include "media/image_private.h"
#include "media/media.h"

namespace {

constexpr int32_t MAX_COLOURS = 256;
constexpr int64_t FIRST_CHUNK = 12;
constexpr int32_t MAX_SIDE16 = 65535;  // BMHD sizes are 16-bit
constexpr uint32_t KEY_START = 0xA8A8A8;
constexpr uint32_t KEY_STEP = 0x00000F;
constexpr int64_t BODY_LENGTH_OFFSET = 44;
constexpr int64_t FORM_LENGTH_OFFSET = 4;

size_t rowBytesOf(int32_t width) { return ((static_cast<size_t>(width) + 15) / 16) * 2; }

// One pass of the chunk search from the current position; a pass does not
// look beyond "BODY" for other chunks.
bool searchPass(StreamHandle* s, const char* id) {
  uint8_t w[4];
  if (ReadStream(s, w, 4) != 4) return false;
  while (std::memcmp(w, id, 4) != 0) {
    if (std::memcmp(w, "BODY", 4) == 0) return false;
    int c = ReadStreamByte(s);
    if (c < 0) return false;
    std::memmove(w, w + 1, 3);
    w[3] = static_cast<uint8_t>(c);
  }
  return true;
}

// Unpacks ByteRun1 data worth budget bytes into out (null: drop them).
bool unpackRun(StreamHandle* s, uint8_t* out, size_t budget) {
  size_t done = 0;
  while (done < budget) {
    int n = ReadStreamByte(s);
    if (n < 0) return false;
    auto count = static_cast<int8_t>(n);
    if (count >= 0) {
      size_t len = static_cast<size_t>(count) + 1;
      for (size_t i = 0; i < len; i++) {
        int b = ReadStreamByte(s);
        if (b < 0) return false;
        if (out && done < budget) out[done] = static_cast<uint8_t>(b);
        if (done < budget) done++;
      }
    } else if (count != -128) {
      int b = ReadStreamByte(s);
      if (b < 0) return false;
      size_t len = static_cast<size_t>(1 - count);
      for (size_t i = 0; i < len && done < budget; i++, done++)
        if (out) out[done] = static_cast<uint8_t>(b);
    }
  }
  return true;
}

// Where plane p of row y lives in the plane buffer.
uint8_t* planeRow(uint8_t* planes, int32_t y, int32_t p, int32_t height, int32_t planeCount,
                  size_t rowBytes) {
  if (planeCount > 8) return planes + (static_cast<size_t>(y) * planeCount + p) * rowBytes;
  return planes + (static_cast<size_t>(p) * height + y) * rowBytes;
}

void decodeHam(const uint8_t* chunky, uint32_t* output, const uint32_t* colours, int32_t width,
               int32_t height, int bits) {
  const int shift = bits - 2;
  const uint32_t mask = (1u << shift) - 1;
  // A modify pen's 4 (HAM6) or 6 (HAM8) bits become the top bits of one
  // component; its low bits are 0.
  const int up = 8 - shift;
  for (int32_t y = 0; y < height; y++) {
    uint32_t held = 0;
    const uint8_t* p = chunky + static_cast<size_t>(y) * width;
    uint32_t* o = output + static_cast<size_t>(y) * width;
    for (int32_t x = 0; x < width; x++) {
      uint32_t pen = p[x], value = pen & mask;
      switch ((pen >> shift) & 3) {
        case 0:
          held = colours[value] & 0xFFFFFF;
          break;
        case 1:
          held = (held & ~0xFFu) | (value << up);
          break;
        case 2:
          held = (held & ~0xFF0000u) | (value << up << 16);
          break;
        default:
          held = (held & ~0xFF00u) | (value << up << 8);
          break;
      }
      o[x] = held;
    }
  }
}

// ByteRun1 packing of one plane row into out (room for n + n / 128 + 1).
size_t packRow(const uint8_t* src, size_t n, uint8_t* out) {
  size_t o = 0, i = 0, literalStart = 0;
  auto flushLiterals = [&](size_t end) {
    while (literalStart < end) {
      size_t len = end - literalStart < 128 ? end - literalStart : 128;
      out[o++] = static_cast<uint8_t>(len - 1);
      std::memcpy(out + o, src + literalStart, len);
      o += len;
      literalStart += len;
    }
  };
  while (i < n) {
    size_t run = 1;
    while (i + run < n && run < 128 && src[i + run] == src[i]) run++;
    if (run >= 3 || (run == 2 && i == literalStart)) {
      flushLiterals(i);
      out[o++] = static_cast<uint8_t>(257 - run);  // 1 - run as a signed byte
      out[o++] = src[i];
      i += run;
      literalStart = i;
    } else {
      i++;
      if (i - literalStart == 128) flushLiterals(i);
    }
  }
  flushLiterals(n);
  return o;
}

bool writeBE32(StreamHandle* s, uint32_t v) {
  return WriteStreamBE32(s, static_cast<int32_t>(v)) == 1;
}
bool writeBE16(StreamHandle* s, uint32_t v) {
  return WriteStreamBE16(s, static_cast<int32_t>(v)) == 1;
}

}  // namespace

bool FindIlbmChunk(StreamHandle* stream, const char* id) {
  if (IsStreamEOF(stream)) SeekFileStream(stream, FIRST_CHUNK, 1);
  if (searchPass(stream, id)) return true;
  if (IsStreamEOF(stream)) SeekFileStream(stream, FIRST_CHUNK, 1);
  return searchPass(stream, id);
}

bool ReadIlbmBodyRaw(StreamHandle* stream, uint8_t* planes, uint32_t bodySize, int32_t width,
                     int32_t height, int32_t planeCount, int32_t masking) {
  const size_t rowBytes = rowBytesOf(width);
  for (int32_t y = 0; y < height; y++) {
    for (int32_t p = 0; p < planeCount; p++)
      if (ReadStream(stream, planeRow(planes, y, p, height, planeCount, rowBytes), rowBytes) !=
          rowBytes)
        return false;
    if (masking == 1 && SeekFileStream(stream, static_cast<int64_t>(rowBytes), 0) < 0) return false;
  }
  return true;
}

bool ReadIlbmBodyByteRun1(StreamHandle* stream, uint8_t* planes, uint32_t bodySize, int32_t width,
                          int32_t height, int32_t planeCount, int32_t masking) {
  const size_t rowBytes = rowBytesOf(width);
  for (int32_t y = 0; y < height; y++) {
    if (planeCount > 8) {
      // Deep pictures: one budget for all plane rows of a picture row.
      if (!unpackRun(stream, planeRow(planes, y, 0, height, planeCount, rowBytes),
                     rowBytes * planeCount))
        return false;
    } else {
      for (int32_t p = 0; p < planeCount; p++)
        if (!unpackRun(stream, planeRow(planes, y, p, height, planeCount, rowBytes), rowBytes))
          return false;
    }
    if (masking == 1 && !unpackRun(stream, nullptr, rowBytes)) return false;
  }
  return true;
}

bool IlbmBodyFits(int64_t available, int32_t width, int32_t height, int32_t planeCount,
                  int32_t masking, int32_t compression) {
  if (available < 0) return true;
  const uint64_t rowBytes = rowBytesOf(width);
  const uint64_t maskRows = masking == 1 ? 1 : 0;
  // A budget of n bytes takes at least 2 bytes per 128 of it.
  auto packed = [](uint64_t n) { return 2 * ((n + 127) / 128); };
  uint64_t perRow;
  if (compression == 0)
    perRow = rowBytes * (static_cast<uint64_t>(planeCount) + maskRows);
  else if (planeCount > 8)
    perRow = packed(rowBytes * static_cast<uint64_t>(planeCount)) + maskRows * packed(rowBytes);
  else
    perRow = packed(rowBytes) * (static_cast<uint64_t>(planeCount) + maskRows);
  return perRow * static_cast<uint64_t>(height) <= static_cast<uint64_t>(available);
}

void PlanarToChunky(const uint8_t* planes, int32_t width, int32_t height, int32_t planeCount,
                    size_t rowBytes, uint8_t* output, size_t outputRowBytes) {
  if (planeCount <= 8) {
    // Eight pixels at a time: a plane byte spread to eight pen bytes of 0
    // or 1 (the leftmost pixel first), shifted to the plane's bit.
    static const struct Spread {
      uint64_t bytes[256];
      Spread() {
        for (int v = 0; v < 256; v++) {
          uint8_t b[8];
          for (int i = 0; i < 8; i++) b[i] = (v >> (7 - i)) & 1;
          std::memcpy(&bytes[v], b, 8);
        }
      }
    } spread;
    const size_t whole = static_cast<size_t>(width) / 8;
    const int32_t rest = width & 7;
    for (int32_t p = planeCount - 1; p >= 0; p--) {
      const uint8_t bit = static_cast<uint8_t>(1u << p);
      for (int32_t y = 0; y < height; y++) {
        const uint8_t* src = planes + (static_cast<size_t>(p) * height + y) * rowBytes;
        uint8_t* out = output + static_cast<size_t>(y) * outputRowBytes;
        for (size_t xb = 0; xb < whole; xb++) {
          uint64_t pens;
          std::memcpy(&pens, out + 8 * xb, 8);
          pens |= spread.bytes[src[xb]] << p;
          std::memcpy(out + 8 * xb, &pens, 8);
        }
        for (int32_t x = static_cast<int32_t>(whole * 8);
             x < static_cast<int32_t>(whole * 8) + rest; x++)
          if (src[x >> 3] & (0x80 >> (x & 7))) out[x] |= bit;
      }
    }
    return;
  }
  if (planeCount != 24) return;
  for (int32_t y = 0; y < height; y++) {
    const uint8_t* row = planes + static_cast<size_t>(y) * 24 * rowBytes;
    uint8_t* out = output + static_cast<size_t>(y) * outputRowBytes;
    for (int32_t x = 0; x < width; x++) {
      uint32_t v = 0;
      const size_t byte = static_cast<size_t>(x) >> 3;
      const uint8_t mask = static_cast<uint8_t>(0x80 >> (x & 7));
      for (int p = 0; p < 24; p++)
        if (row[p * rowBytes + byte] & mask) v |= 1u << p;
      out[4 * x] = 0;
      out[4 * x + 1] = static_cast<uint8_t>(v);
      out[4 * x + 2] = static_cast<uint8_t>(v >> 8);
      out[4 * x + 3] = static_cast<uint8_t>(v >> 16);
    }
  }
}

void DecodeHam6Pixels(const uint8_t* chunky, uint32_t* output, const uint32_t* colours,
                      int32_t width, int32_t height) {
  decodeHam(chunky, output, colours, width, height, 6);
}

void DecodeHam8Pixels(const uint8_t* chunky, uint32_t* output, const uint32_t* colours,
                      int32_t width, int32_t height) {
  decodeHam(chunky, output, colours, width, height, 8);
}

void ChunkyToArgb(const uint8_t* chunky, uint32_t* output, const uint32_t* colours, int32_t width,
                  int32_t height) {
  size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
  for (size_t i = 0; i < n; i++) output[i] = colours[chunky[i]] & 0xFFFFFF;
}

ErrorCode ReadIlbmImage(StreamHandle* stream, int infoOnly, const int32_t* basePalette,
                        int32_t penColour, int modeOne, int modeTwo, int32_t* transparentColour,
                        int32_t* width, int32_t* height, uint32_t** pixels, uint32_t** palette) {
  if (!FindIlbmChunk(stream, "BMHD") || SeekFileStream(stream, 4, 0) < 0) return ERR_LOADPICTURE2;
  uint8_t h[20];
  if (ReadStream(stream, h, sizeof h) != sizeof h) return ERR_LOADPICTURE2;
  const int32_t w = (h[0] << 8) | h[1], ht = (h[2] << 8) | h[3];
  if (infoOnly) {
    if (width) *width = w;
    if (height) *height = ht;
    return 0;
  }
  const int32_t planeCount = h[8], masking = h[9], compression = h[10];
  const int32_t keyIndex = ((h[12] << 8) | h[13]) & 0xFF;
  // 9 to 23 and more than 24 planes define no pixels.
  if (planeCount < 1 || (planeCount > 8 && planeCount != 24)) return ERR_LOADPICTURE2;
  bool ehb = false, ham = false;
  if (planeCount < 24 && FindIlbmChunk(stream, "CAMG") && SeekFileStream(stream, 4, 0) >= 0) {
    uint32_t mode = static_cast<uint32_t>(ReadStreamBE32(stream));
    ehb = mode & 0x80;
    ham = mode & 0x800;
  }
  if (!FindIlbmChunk(stream, "BODY")) return ERR_LOADPICTURE2;
  uint32_t bodySize = static_cast<uint32_t>(ReadStreamBE32(stream));
  // A picture larger than the rest of the file can hold is refused before
  // its buffers are allocated.
  if (!IlbmBodyFits(StreamBytesLeft(stream), w, ht, planeCount, masking, compression))
    return ERR_LOADPICTURE2;
  ErrorCode error;
  uint32_t* out = AllocImagePixels(w, ht, 0, &error);
  if (!out) return error;
  const size_t rowBytes = rowBytesOf(w);
  size_t planeBytes;
  uint8_t* planes = nullptr;
  uint8_t* chunky = nullptr;
  if (!__builtin_mul_overflow(rowBytes * static_cast<size_t>(ht), static_cast<size_t>(planeCount),
                              &planeBytes))
    planes = static_cast<uint8_t*>(AllocMemory(planeBytes, 1));
  if (planes)
    chunky =
        static_cast<uint8_t*>(AllocMemoryArray(static_cast<size_t>(w), static_cast<size_t>(ht), 1));
  auto fail = [&](ErrorCode e) {
    FreeMemory(chunky);
    FreeMemory(planes);
    FreeMemory(out);
    return e;
  };
  if (!chunky) return fail(ERR_MEM);
  bool ok = compression == 0
                ? ReadIlbmBodyRaw(stream, planes, bodySize, w, ht, planeCount, masking)
                : ReadIlbmBodyByteRun1(stream, planes, bodySize, w, ht, planeCount, masking);
  if (!ok) return fail(ERR_LOADPICTURE2);

  int32_t transparent = -1;
  uint32_t table[MAX_COLOURS] = {};
  if (planeCount <= 8) {
    PlanarToChunky(planes, w, ht, planeCount, rowBytes, chunky, static_cast<size_t>(w));
    if (!FindIlbmChunk(stream, "CMAP")) return fail(ERR_LOADPICTURE2);
    uint32_t length = static_cast<uint32_t>(ReadStreamBE32(stream));
    uint32_t colours = length / 3 < MAX_COLOURS ? length / 3 : MAX_COLOURS;
    uint8_t rgb[MAX_COLOURS * 3];
    if (ReadStream(stream, rgb, colours * 3) != colours * 3) return fail(ERR_LOADPICTURE2);
    for (uint32_t i = 0; i < colours; i++)
      table[i] = (uint32_t{rgb[3 * i]} << 16) | (uint32_t{rgb[3 * i + 1]} << 8) | rgb[3 * i + 2];
    // Extra-half-brite: pens 32 to 63 are pens 0 to 31 at half brightness,
    // whatever the CMAP gave for them.
    if (ehb)
      for (int i = 0; i < 32; i++) table[32 + i] = (table[i] >> 1) & 0x7F7F7F;
    if (ham) {
      (planeCount > 6 ? DecodeHam8Pixels : DecodeHam6Pixels)(chunky, out, table, w, ht);
    } else {
      if (basePalette) {
        int n = 0;
        while (n < MAX_COLOURS && basePalette[n] != -1) n++;
        for (int i = 0; i < n; i++) table[i] = static_cast<uint32_t>(basePalette[i]) & 0xFFFFFF;
      } else if (penColour == -1 && !modeOne && !modeTwo) {
        transparent = -1;
      } else if (planeCount == 1 && !modeTwo) {
        transparent = static_cast<int32_t>(table[keyIndex]);
        if (penColour != -1)
          table[keyIndex == 0 ? 1 : 0] = static_cast<uint32_t>(penColour) & 0xFFFFFF;
      } else if (((planeCount > 1 && masking == 2) || (planeCount == 1 && modeTwo)) &&
                 (modeOne || modeTwo)) {
        uint32_t key = KEY_START;
        for (bool clash = true; clash;) {
          clash = false;
          for (uint32_t c : table)
            if (c == key) clash = true;
          if (clash) key += KEY_STEP;
        }
        table[keyIndex] = key;
        transparent = static_cast<int32_t>(key);
      }
      ChunkyToArgb(chunky, out, table, w, ht);
    }
  } else {
    PlanarToChunky(planes, w, ht, planeCount, rowBytes, reinterpret_cast<uint8_t*>(out),
                   static_cast<size_t>(w) * 4);
    // Memory bytes 0, red, green, blue: the word 0xBBGGRR00 on this host.
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(ht);
    for (size_t i = 0; i < n; i++) {
      const auto* b = reinterpret_cast<const uint8_t*>(out + i);
      out[i] = (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
    }
  }
  FreeMemory(chunky);
  FreeMemory(planes);
  if (palette && planeCount <= 8 && !ham) {
    *palette = static_cast<uint32_t*>(AllocMemory(sizeof table, 0));
    if (*palette) std::memcpy(*palette, table, sizeof table);
  }
  if (width) *width = w;
  if (height) *height = ht;
  if (transparentColour) *transparentColour = transparent;
  *pixels = out;
  return 0;
}

ErrorCode WriteIlbmImage(const char* fileName, const uint32_t* pixels, int32_t width,
                         int32_t height) {
  if (width < 1 || height < 1 || width > MAX_SIDE16 || height > MAX_SIDE16 || !pixels)
    return ERR_WRONGUSAGE;
  StreamHandle* s = OpenFileStream(fileName, STREAM_WRITE, nullptr);
  if (!s) {
    SetErrorArgString(fileName);
    return ERR_WRITEFILE;
  }
  const size_t rowBytes = rowBytesOf(width);
  auto* planes = static_cast<uint8_t*>(AllocMemoryArray(rowBytes, 24, 0));
  auto* packed = static_cast<uint8_t*>(AllocMemory(rowBytes + rowBytes / 128 + 1, 0));
  auto finish = [&](ErrorCode e) {
    FreeMemory(planes);
    FreeMemory(packed);
    int closed = CloseFileStream(s);
    return e ? e : closed ? 0 : ERR_CLOSEFILE;
  };
  if (!planes || !packed) return finish(ERR_MEM);
  bool ok =
      WriteStream(s, "FORM", 4) == 4 && writeBE32(s, 0) && WriteStream(s, "ILBM", 4) == 4 &&
      WriteStream(s, "BMHD", 4) == 4 && writeBE32(s, 20) &&
      writeBE16(s, static_cast<uint32_t>(width)) && writeBE16(s, static_cast<uint32_t>(height)) &&
      writeBE32(s, 0) && WriteStreamByte(s, 24) == 1 && WriteStreamByte(s, 0) == 1 &&
      WriteStreamByte(s, 1) == 1 && WriteStreamByte(s, 0) == 1 && writeBE16(s, 0) &&
      WriteStreamByte(s, 1) == 1 && WriteStreamByte(s, 1) == 1 &&
      writeBE16(s, static_cast<uint32_t>(width)) && writeBE16(s, static_cast<uint32_t>(height)) &&
      WriteStream(s, "BODY", 4) == 4 && writeBE32(s, 0);
  if (!ok) return finish(ERR_WRITE);
  uint64_t body = 0;
  for (int32_t y = 0; y < height; y++) {
    // Bit b of red goes to plane b, of green to plane 8 + b, of blue to
    // plane 16 + b; the leftmost pixel of each byte is its top bit.
    std::memset(planes, 0, rowBytes * 24);
    const uint32_t* row = pixels + static_cast<size_t>(y) * width;
    for (int32_t x = 0; x < width; x++) {
      uint32_t c = row[x];
      uint32_t v = ((c >> 16) & 0xFF) | (c & 0xFF00) | ((c & 0xFF) << 16);
      const size_t byte = static_cast<size_t>(x) >> 3;
      const uint8_t mask = static_cast<uint8_t>(0x80 >> (x & 7));
      for (int p = 0; p < 24; p++)
        if (v & (1u << p)) planes[p * rowBytes + byte] |= mask;
    }
    for (int p = 0; p < 24; p++) {
      size_t n = packRow(planes + p * rowBytes, rowBytes, packed);
      if (WriteStream(s, packed, n) != n) return finish(ERR_WRITE);
      body += n;
    }
    // The chunk lengths are 32-bit.
    if (body > UINT32_MAX - 41) return finish(ERR_WRONGUSAGE);
  }
  if ((body & 1) && WriteStreamByte(s, 0) != 1) return finish(ERR_WRITE);
  ok = SeekFileStream(s, BODY_LENGTH_OFFSET, 1) >= 0 && writeBE32(s, static_cast<uint32_t>(body)) &&
       SeekFileStream(s, FORM_LENGTH_OFFSET, 1) >= 0 &&
       writeBE32(s, static_cast<uint32_t>(body + (body & 1) + 40));
  return finish(ok ? 0 : ERR_WRITE);
}
