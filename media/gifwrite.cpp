// GIF89a writing from 8-bit pen pictures: one local colour table, one
// graphic control extension and LZW data per frame, a "NETSCAPE2.0" loop
// block after the first frame's extension, and for anims the reduction of a
// frame to the rectangle that changed since the previous one, unchanged
// pixels made transparent. Invariants: a pen made transparent is one that
// no changed pixel of the frame uses, so every frame reads back as the
// picture it was given; a failed write is remembered and reported.
#include <cstring>

#include "media/image_private.h"
#include "media/media.h"

namespace {

constexpr int32_t MAX_SIDE16 = 65535;  // screen and frame sizes are 16-bit
constexpr int32_t HASH_SIZE = 5003;
constexpr int32_t MAX_CODES = 4096;
constexpr int32_t MAX_CODE_BITS = 12;
constexpr size_t SUB_BLOCK = 254;
const char GLOBAL_TABLE_TEXT[13] = "Amiga rules!";

}  // namespace

struct GifWriter {
  StreamHandle* stream;
  int32_t frames;
  uint8_t* previous;
  uint8_t* scratch;
  uint32_t previousPalette[256];
  int32_t width;
  int32_t height;
  int32_t writeFailed;
  // LZW encoder state.
  int32_t hashKey[HASH_SIZE];
  uint16_t hashCode[HASH_SIZE];
  uint32_t accumulator;
  int32_t bits;
  uint8_t block[SUB_BLOCK + 1];
  size_t blockLength;
};

namespace {

void put(GifWriter* w, const void* data, size_t n) {
  if (!w->writeFailed && WriteStream(w->stream, data, n) != n) w->writeFailed = 1;
}
void putByte(GifWriter* w, uint8_t b) { put(w, &b, 1); }
void put16(GifWriter* w, uint32_t v) {
  uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
  put(w, b, 2);
}

void flushBlock(GifWriter* w) {
  if (w->blockLength == 0) return;
  w->block[0] = static_cast<uint8_t>(w->blockLength);
  put(w, w->block, w->blockLength + 1);
  w->blockLength = 0;
}

void outputByte(GifWriter* w, uint8_t b) {
  w->block[1 + w->blockLength++] = b;
  if (w->blockLength == SUB_BLOCK) flushBlock(w);
}

struct Encoder {
  GifWriter* w;
  int32_t minSize, clear, end, next, width, maxCode;
  bool clearPending;
  // Emits a code at the current width, then adapts the width: back to the
  // start after a clear, one wider once the next free code passes the
  // largest code of the width.
  void emit(int32_t code) {
    w->accumulator |= static_cast<uint32_t>(code) << w->bits;
    w->bits += width;
    while (w->bits >= 8) {
      outputByte(w, static_cast<uint8_t>(w->accumulator));
      w->accumulator >>= 8;
      w->bits -= 8;
    }
    if (clearPending) {
      width = minSize + 1;
      maxCode = (1 << width) - 1;
      clearPending = false;
    } else if (next > maxCode) {
      width++;
      maxCode = width == MAX_CODE_BITS ? MAX_CODES : (1 << width) - 1;
    }
  }
};

// LZW-encodes a rectangle of pens (rows of stride bytes) as one stream.
void encodeLzw(GifWriter* w, const uint8_t* pens, size_t stride, int32_t rw, int32_t rh,
               int32_t minSize) {
  std::memset(w->hashKey, 0xFF, sizeof w->hashKey);
  w->accumulator = 0;
  w->bits = 0;
  w->blockLength = 0;
  putByte(w, static_cast<uint8_t>(minSize));
  Encoder e{w,
            minSize,
            1 << minSize,
            (1 << minSize) + 1,
            (1 << minSize) + 2,
            minSize + 1,
            (1 << (minSize + 1)) - 1,
            false};
  e.emit(e.clear);
  int32_t prefix = pens[0];
  for (int32_t y = 0; y < rh; y++) {
    const uint8_t* row = pens + static_cast<size_t>(y) * stride;
    for (int32_t x = y == 0 ? 1 : 0; x < rw; x++) {
      const int32_t pen = row[x];
      const int32_t key = (pen << 12) | prefix;
      int32_t slot = pen * 16 + prefix;
      if (slot >= HASH_SIZE) slot -= HASH_SIZE;
      const int32_t step = slot == 0 ? 1 : HASH_SIZE - slot;
      while (w->hashKey[slot] >= 0 && w->hashKey[slot] != key) {
        slot -= step;
        if (slot < 0) slot += HASH_SIZE;
      }
      if (w->hashKey[slot] == key) {
        prefix = w->hashCode[slot];
        continue;
      }
      e.emit(prefix);
      if (e.next < MAX_CODES) {
        w->hashKey[slot] = key;
        w->hashCode[slot] = static_cast<uint16_t>(e.next++);
      } else {
        std::memset(w->hashKey, 0xFF, sizeof w->hashKey);
        e.next = e.clear + 2;
        e.clearPending = true;
        e.emit(e.clear);
      }
      prefix = pen;
    }
  }
  e.emit(prefix);
  e.emit(e.end);
  if (w->bits > 0) outputByte(w, static_cast<uint8_t>(w->accumulator));
  flushBlock(w);
  putByte(w, 0);
}

int32_t tableBitsFor(int32_t colours) {
  for (int32_t b = 1; b <= 7; b++)
    if ((1 << b) >= colours) return b;
  return 8;
}

}  // namespace

ErrorCode OpenGifWriter(const char* fileName, int32_t width, int32_t height, GifWriter** out) {
  *out = nullptr;
  if (width < 1 || height < 1 || width > MAX_SIDE16 || height > MAX_SIDE16) return ERR_WRONGUSAGE;
  auto* w = static_cast<GifWriter*>(AllocMemory(sizeof(GifWriter), 1));
  if (!w) return ERR_MEM;
  w->stream = OpenFileStream(fileName, STREAM_WRITE, nullptr);
  if (!w->stream) {
    SetErrorArgString(fileName);
    FreeMemory(w);
    return ERR_WRITEFILE;
  }
  w->width = width;
  w->height = height;
  w->scratch = static_cast<uint8_t*>(
      AllocMemoryArray(static_cast<size_t>(width), static_cast<size_t>(height), 0));
  if (!w->scratch) {
    CloseFileStream(w->stream);
    FreeMemory(w);
    return ERR_MEM;
  }
  put(w, "GIF89a", 6);
  put16(w, static_cast<uint32_t>(width));
  put16(w, static_cast<uint32_t>(height));
  const uint8_t screen[3] = {0xF7, 0, 0};
  put(w, screen, 3);
  uint8_t table[768] = {};
  std::memcpy(table, GLOBAL_TABLE_TEXT, sizeof GLOBAL_TABLE_TEXT);
  put(w, table, sizeof table);
  *out = w;
  return 0;
}

ErrorCode WriteGifAnimFrame(GifWriter* w, uint8_t* pens, int32_t width, int32_t height,
                            int32_t delay, uint32_t* palette, int32_t colourCount,
                            int32_t transparentPen, int optimize, int animMode) {
  if (width != w->width || height != w->height || colourCount < 1 || colourCount > 256 ||
      transparentPen < -1 || transparentPen > 255 || !pens || !palette)
    return ERR_WRONGUSAGE;
  if (w->writeFailed) return ERR_WRITE;
  for (int32_t i = colourCount; i < 256; i++) palette[i] = 0xFFFFFFFF;
  const size_t stride = static_cast<size_t>(width);

  // The change rectangle against the previous frame.
  int32_t left = 0, top = 0, rw = width, rh = height;
  int32_t clearPen = -1;  // the pen that unchanged pixels get
  const bool reduce = optimize && w->previous && transparentPen == -1;
  if (reduce) {
    auto changed = [&](int32_t x, int32_t y) {
      size_t i = static_cast<size_t>(y) * stride + static_cast<size_t>(x);
      return palette[pens[i]] != w->previousPalette[w->previous[i]];
    };
    int32_t y0 = 0, y1 = height - 1;
    auto rowChanged = [&](int32_t y) {
      for (int32_t x = 0; x < width; x++)
        if (changed(x, y)) return true;
      return false;
    };
    while (y0 < height && !rowChanged(y0)) y0++;
    if (y0 == height) {
      // Nothing changed: a tiny rectangle of unchanged pixels.
      rw = width < 2 ? width : 2;
      rh = 1;
    } else {
      while (!rowChanged(y1)) y1--;
      auto columnChanged = [&](int32_t x) {
        for (int32_t y = y0; y <= y1; y++)
          if (changed(x, y)) return true;
        return false;
      };
      int32_t x0 = 0, x1 = width - 1;
      while (!columnChanged(x0)) x0++;
      while (!columnChanged(x1)) x1--;
      left = x0;
      top = y0;
      rw = x1 - x0 + 1;
      rh = y1 - y0 + 1;
    }
    for (int32_t y = 0; y < rh; y++)
      std::memcpy(w->scratch + static_cast<size_t>(y) * rw,
                  pens + static_cast<size_t>(top + y) * stride + left, static_cast<size_t>(rw));
    if (animMode) {
      // Unchanged pixels become transparent through a pen that no changed
      // pixel uses: the first one past the colours, else a free one.
      if (colourCount < 256) {
        clearPen = colourCount;
      } else {
        bool used[256] = {};
        for (int32_t y = top; y < top + rh; y++)
          for (int32_t x = left; x < left + rw; x++)
            if (changed(x, y)) used[pens[static_cast<size_t>(y) * stride + x]] = true;
        for (int32_t p = 255; p >= 0 && clearPen < 0; p--)
          if (!used[p]) clearPen = p;
      }
      if (clearPen >= 0)
        for (int32_t y = top; y < top + rh; y++)
          for (int32_t x = left; x < left + rw; x++)
            if (!changed(x, y))
              pens[static_cast<size_t>(y) * stride + x] = static_cast<uint8_t>(clearPen);
    }
  }

  const int32_t tableBits = tableBitsFor(clearPen >= colourCount ? clearPen + 1 : colourCount);
  const bool transparency = transparentPen >= 0 || clearPen >= 0;
  const int32_t index = transparentPen >= 0 ? transparentPen
                        : clearPen >= 0     ? clearPen
                                            : colourCount - 1;
  const uint8_t control[8] = {
      0x21,
      0xF9,
      0x04,
      static_cast<uint8_t>((transparentPen >= 0 ? 8 : 4) | (transparency ? 1 : 0)),
      static_cast<uint8_t>((delay / 10) & 0xFF),
      static_cast<uint8_t>(((delay / 10) >> 8) & 0xFF),
      static_cast<uint8_t>(index),
      0};
  put(w, control, sizeof control);
  if (w->frames == 0) {
    static const uint8_t loop[19] = {0x21, 0xFF, 0x0B, 'N', 'E',  'T',  'S', 'C', 'A', 'P',
                                     'E',  '2',  '.',  '0', 0x03, 0x01, 0,   0,   0};
    put(w, loop, sizeof loop);
  }
  putByte(w, 0x2C);
  put16(w, static_cast<uint32_t>(left));
  put16(w, static_cast<uint32_t>(top));
  put16(w, static_cast<uint32_t>(rw));
  put16(w, static_cast<uint32_t>(rh));
  putByte(w, static_cast<uint8_t>(0x80 | (tableBits - 1)));
  uint8_t table[768];
  const int32_t entries = 1 << tableBits;
  for (int32_t i = 0; i < entries; i++) {
    table[3 * i] = static_cast<uint8_t>(palette[i] >> 16);
    table[3 * i + 1] = static_cast<uint8_t>(palette[i] >> 8);
    table[3 * i + 2] = static_cast<uint8_t>(palette[i]);
  }
  put(w, table, static_cast<size_t>(entries) * 3);
  encodeLzw(w, pens + static_cast<size_t>(top) * stride + left, stride, rw, rh,
            tableBits < 2 ? 2 : tableBits);
  w->frames++;

  if (optimize) {
    if (!w->previous) {
      w->previous = static_cast<uint8_t*>(AllocMemoryArray(stride, static_cast<size_t>(height), 0));
      if (!w->previous) return ERR_MEM;
      std::memcpy(w->previous, pens, stride * static_cast<size_t>(height));
    } else {
      // The written rectangle as given, before any pen was made transparent.
      const uint8_t* source = reduce ? w->scratch : pens + static_cast<size_t>(top) * stride + left;
      const size_t sourceStride = reduce ? static_cast<size_t>(rw) : stride;
      for (int32_t y = 0; y < rh; y++)
        std::memcpy(w->previous + static_cast<size_t>(top + y) * stride + left,
                    source + y * sourceStride, static_cast<size_t>(rw));
    }
    std::memcpy(w->previousPalette, palette, sizeof w->previousPalette);
  }
  return w->writeFailed ? ERR_WRITE : 0;
}

ErrorCode CloseGifWriter(GifWriter* w) {
  if (!w) return 0;
  putByte(w, 0x3B);
  ErrorCode e = w->writeFailed ? ERR_WRITE : 0;
  if (!CloseFileStream(w->stream) && !e) e = ERR_CLOSEFILE;
  FreeMemory(w->previous);
  FreeMemory(w->scratch);
  FreeMemory(w);
  return e;
}
