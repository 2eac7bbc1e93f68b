// GIF reading: GIF87a and GIF89a files frame by frame onto one canvas,
// with the graphic control extension (delay, transparency, disposal), local
// colour tables, interlacing and LZW. Opening decodes the whole file once
// and records in a frame table where each frame starts and which frames
// redraw the whole screen, so that random access restarts at the latest
// such key frame. Invariants: the canvas is exactly the screen; frames are
// clipped to it; an LZW string never exceeds the pixel stack and every
// table index is below the next free code.
#include <cstring>

#include "media/image_private.h"
#include "media/media.h"

namespace {

constexpr int32_t MAX_CODES = 4096;
constexpr int32_t MAX_CODE_BITS = 12;
constexpr size_t FRAME_TABLE_STEP = 4096;
// The most pixels a byte of LZW data can give: a code of w bits expands to
// at most 2^w pens (no string in the table is longer), and 2^w / w is
// largest at the widest code, 12 bits: 4,096 pens per 1.5 bytes.
constexpr uint64_t LZW_PIXELS_PER_BYTE = (MAX_CODES * 8 + MAX_CODE_BITS - 1) / MAX_CODE_BITS;
// 4096 x 4096: two canvases of this size cost 128 MiB, which a picture of
// that size needs anyway.
constexpr uint64_t SMALL_SCREEN_PIXELS = uint64_t{1} << 24;
constexpr uint32_t OPAQUE = 0xFF000000u;

struct FrameEntry {
  int32_t delay;  // hundredths of a second
  int32_t key;    // the frame alone defines every pixel
  int64_t position;
};

}  // namespace

struct GifReader {
  StreamHandle* stream;
  int32_t width;
  int32_t height;
  uint32_t global[256];
  uint32_t local[256];
  const uint32_t* current;
  uint32_t* canvas;
  uint32_t* saved;
  int32_t background;
  int32_t next;  // the frame the next decode produces; -1 after opening
  int32_t frameCount;
  int64_t firstFrame;
  FrameEntry* frames;
  size_t frameCapacity;
  int32_t disposal, left, top, frameWidth, frameHeight;
  int32_t transparent;
  int32_t transparencyResult;
  int32_t reportTransparency;
  int32_t clearCanvas;
  int64_t decoded;
  // LZW work space.
  uint16_t prefix[MAX_CODES];
  uint8_t suffix[MAX_CODES];
  uint8_t stack[MAX_CODES + 1];
  uint8_t block[256];
};

namespace {

int64_t tell(StreamHandle* s) { return SeekFileStream(s, 0, 0); }

bool readTable(StreamHandle* s, uint32_t* table, int packed) {
  size_t entries = size_t{1} << ((packed & 7) + 1);
  uint8_t rgb[768];
  if (ReadStream(s, rgb, entries * 3) != entries * 3) return false;
  std::memset(table, 0, 256 * sizeof(uint32_t));
  for (size_t i = 0; i < entries; i++)
    table[i] = (uint32_t{rgb[3 * i]} << 16) | (uint32_t{rgb[3 * i + 1]} << 8) | rgb[3 * i + 2];
  return true;
}

// Skips data sub-blocks up to the zero terminator; false at the end of data.
bool skipSubBlocks(StreamHandle* s) {
  for (;;) {
    int n = ReadStreamByte(s);
    if (n < 0) return false;
    if (n == 0) return true;
    if (SeekFileStream(s, n, 0) < 0) return false;
  }
}

void fillCanvas(GifReader* r) {
  uint32_t colour = r->clearCanvas && r->reportTransparency ? 0 : r->global[r->background];
  size_t n = static_cast<size_t>(r->width) * static_cast<size_t>(r->height);
  for (size_t i = 0; i < n; i++) r->canvas[i] = colour;
}

// The frame rectangle clipped to the screen: [x0, x1) x [y0, y1).
struct Clip {
  int32_t x0, y0, x1, y1;
};
Clip frameClip(const GifReader* r) {
  auto lim = [](int64_t v, int32_t hi) {
    return static_cast<int32_t>(v < 0 ? 0 : v > hi ? hi : v);
  };
  return {lim(r->left, r->width), lim(r->top, r->height),
          lim(int64_t{r->left} + r->frameWidth, r->width),
          lim(int64_t{r->top} + r->frameHeight, r->height)};
}

void applyDisposal(GifReader* r) {
  Clip c = frameClip(r);
  if (r->disposal == 2) {
    uint32_t colour = r->current[r->transparent >= 0 ? r->transparent : r->background];
    for (int32_t y = c.y0; y < c.y1; y++)
      for (int32_t x = c.x0; x < c.x1; x++)
        r->canvas[static_cast<size_t>(y) * r->width + x] = colour;
  } else if (r->disposal == 3) {
    for (int32_t y = c.y0; y < c.y1; y++) {
      size_t at = static_cast<size_t>(y) * r->width + c.x0;
      std::memcpy(r->canvas + at, r->saved + at,
                  static_cast<size_t>(c.x1 - c.x0) * sizeof(uint32_t));
    }
  }
}

// Bit reader over the data sub-blocks of one frame.
struct CodeReader {
  StreamHandle* s;
  uint8_t* block;
  int length, pos;
  uint32_t acc;
  int bits;
  bool get(int width, int32_t* code) {
    while (bits < width) {
      if (pos == length) {
        int n = ReadStreamByte(s);
        if (n <= 0 || ReadStream(s, block, static_cast<size_t>(n)) != static_cast<size_t>(n))
          return false;
        length = n;
        pos = 0;
      }
      acc |= uint32_t{block[pos++]} << bits;
      bits += 8;
    }
    *code = static_cast<int32_t>(acc & ((1u << width) - 1));
    acc >>= width;
    bits -= width;
    return true;
  }
};

// Decodes the image data of the frame described in the reader onto the
// canvas. After the last pixel the rest of the data sub-blocks is skipped,
// so their bytes are never taken for block introducers.
bool decodeImage(GifReader* r, int minSize, bool interlaced) {
  const size_t fw = static_cast<size_t>(r->frameWidth);
  const size_t total = fw * static_cast<size_t>(r->frameHeight);
  const int32_t clear = 1 << minSize, end = clear + 1;
  int32_t next = clear + 2, width = minSize + 1;
  int32_t prev = -1, firstPen = 0;
  CodeReader in{r->stream, r->block, 0, 0, 0, 0};
  size_t produced = 0, column = 0;
  int32_t row = 0, pass = 0;
  static const int32_t passStart[4] = {0, 4, 2, 1}, passStep[4] = {8, 8, 4, 2};
  auto put = [&](uint8_t pen) {
    if (produced >= total) return;
    int32_t y = r->top + row;
    int64_t x = int64_t{r->left} + static_cast<int64_t>(column);
    if (pen != r->transparent && y < r->height && x < r->width)
      r->canvas[static_cast<size_t>(y) * r->width + static_cast<size_t>(x)] =
          r->current[pen] | OPAQUE;
    produced++;
    if (++column == fw) {
      column = 0;
      if (interlaced) {
        row += passStep[pass];
        while (row >= r->frameHeight && pass < 3) row = passStart[++pass];
      } else {
        row++;
      }
    }
  };
  while (produced < total) {
    int32_t code;
    if (!in.get(width, &code)) return false;
    if (code == clear) {
      next = clear + 2;
      width = minSize + 1;
      prev = -1;
      continue;
    }
    if (code == end || code > next) return false;
    if (prev < 0) {
      // The first code after a clear must be a literal pen.
      if (code >= clear) return false;
      put(static_cast<uint8_t>(code));
      prev = firstPen = code;
      continue;
    }
    int32_t incode = code, sp = 0;
    if (code == next) {
      r->stack[sp++] = static_cast<uint8_t>(firstPen);
      code = prev;
    }
    while (code >= clear) {
      if (sp >= MAX_CODES - 1) return false;
      r->stack[sp++] = r->suffix[code];
      code = r->prefix[code];
    }
    firstPen = code;
    r->stack[sp++] = static_cast<uint8_t>(code);
    if (next < MAX_CODES) {
      r->prefix[next] = static_cast<uint16_t>(prev);
      r->suffix[next] = static_cast<uint8_t>(firstPen);
      next++;
      if (next == (1 << width) && next < MAX_CODES && width < MAX_CODE_BITS) width++;
    }
    while (sp > 0) put(r->stack[--sp]);
    prev = incode;
  }
  // The current sub-block was read whole: skip the sub-blocks after it.
  skipSubBlocks(r->stream);
  return true;
}

bool addFrameEntry(GifReader* r, int32_t delay, int32_t key, int64_t position) {
  if (static_cast<size_t>(r->frameCount) == r->frameCapacity) {
    size_t capacity = r->frameCapacity + FRAME_TABLE_STEP;
    auto* table = static_cast<FrameEntry*>(AllocMemoryArray(capacity, sizeof(FrameEntry), 0));
    if (!table) return false;
    std::memcpy(table, r->frames, r->frameCapacity * sizeof(FrameEntry));
    FreeMemory(r->frames);
    r->frames = table;
    r->frameCapacity = capacity;
  }
  r->frames[r->frameCount++] = {delay, key, position};
  return true;
}

// Decodes from the current position up to frame n, or every frame (building
// the frame table) when n is -1. The trailer or the end of data ends
// decoding successfully.
bool decodeFrames(GifReader* r, int32_t n) {
  StreamHandle* s = r->stream;
  for (;;) {
    int64_t start = tell(s);
    r->transparent = -1;
    int32_t disposal = 0, delay = 0;
    for (;;) {
      int c = ReadStreamByte(s);
      if (c < 0 || c == 0x3B) return true;
      if (c == 0x2C) break;
      if (c != 0x21) continue;
      int label = ReadStreamByte(s);
      if (label < 0) return false;
      if (label != 0xF9) {
        if (!skipSubBlocks(s)) return false;
        continue;
      }
      std::memset(r->block, 0, 4);
      for (;;) {
        int len = ReadStreamByte(s);
        if (len < 0) return false;
        if (len == 0) break;
        if (ReadStream(s, r->block, static_cast<size_t>(len)) != static_cast<size_t>(len))
          return false;
      }
      if (r->block[0] & 1) r->transparent = r->block[3];
      disposal = r->block[0] >> 2;
      delay = r->block[1] | (r->block[2] << 8);
    }
    uint8_t d[9];
    if (ReadStream(s, d, 9) != 9) return false;
    r->left = d[0] | (d[1] << 8);
    r->top = d[2] | (d[3] << 8);
    r->frameWidth = d[4] | (d[5] << 8);
    r->frameHeight = d[6] | (d[7] << 8);
    const int packed = d[8];
    if (n < 0) {
      bool key = r->left == 0 && r->top == 0 && r->frameWidth >= r->width &&
                 r->frameHeight >= r->height && r->transparent < 0 && disposal != 3;
      if (!addFrameEntry(r, delay, key, start)) return false;
    }
    r->current = r->global;
    if (packed & 0x80) {
      if (!readTable(s, r->local, packed)) return false;
      r->current = r->local;
    }
    r->disposal = disposal;
    if (r->next == 0 && r->transparent >= 0 && disposal == 2) {
      uint32_t colour = r->current[r->transparent];
      size_t count = static_cast<size_t>(r->width) * static_cast<size_t>(r->height);
      for (size_t i = 0; i < count; i++) r->canvas[i] = colour;
    }
    if (disposal == 3) {
      Clip c = frameClip(r);
      for (int32_t y = c.y0; y < c.y1; y++) {
        size_t at = static_cast<size_t>(y) * r->width + c.x0;
        std::memcpy(r->saved + at, r->canvas + at,
                    static_cast<size_t>(c.x1 - c.x0) * sizeof(uint32_t));
      }
    }
    int minSize = ReadStreamByte(s);
    if (minSize < 0 || minSize > 8) return false;
    if (!decodeImage(r, minSize, (packed & 0x40) != 0)) return false;
    r->next++;
    r->decoded++;
    if (n >= 0 && r->next == n + 1) {
      r->transparencyResult = r->transparent >= 0 && r->reportTransparency;
      return true;
    }
    applyDisposal(r);
    r->current = r->global;
  }
}

// Back to the start: the canvas as opened, the first frame next.
bool restart(GifReader* r) {
  fillCanvas(r);
  r->next = 0;
  r->current = r->global;
  return SeekFileStream(r->stream, r->firstFrame, 1) >= 0;
}

}  // namespace

GifReader* OpenGifReader(StreamHandle* stream, int32_t* width, int32_t* height, int32_t* frameCount,
                         int infoOnly, int clearCanvasAllowed, int reportTransparency) {
  auto* r = static_cast<GifReader*>(AllocMemory(sizeof(GifReader), 1));
  uint8_t h[13];
  if (!r || ReadStream(stream, h, sizeof h) != sizeof h ||
      (std::memcmp(h, "GIF87", 5) != 0 && std::memcmp(h, "GIF89", 5) != 0)) {
    FreeMemory(r);
    CloseFileStream(stream);
    return nullptr;
  }
  r->stream = stream;
  r->width = h[6] | (h[7] << 8);
  r->height = h[8] | (h[9] << 8);
  r->background = h[11];
  r->clearCanvas = clearCanvasAllowed;
  r->reportTransparency = reportTransparency;
  r->current = r->global;
  if (infoOnly) {
    if (width) *width = r->width;
    if (height) *height = r->height;
    CloseGifReader(r);
    return nullptr;
  }
  // A screen larger than the rest of the file could fill is refused before
  // its canvases exist. Small frames on a larger screen are common, so any
  // screen up to SMALL_SCREEN_PIXELS is taken whatever the data holds.
  const int64_t left = StreamBytesLeft(stream);
  const uint64_t pixels = static_cast<uint64_t>(r->width) * static_cast<uint64_t>(r->height);
  if (left >= 0 && pixels > SMALL_SCREEN_PIXELS &&
      pixels > static_cast<uint64_t>(left) * LZW_PIXELS_PER_BYTE) {
    CloseGifReader(r);
    return nullptr;
  }
  ErrorCode error;
  r->canvas = AllocImagePixels(r->width, r->height, 0, &error);
  r->saved = r->canvas ? AllocImagePixels(r->width, r->height, 0, &error) : nullptr;
  r->frames = static_cast<FrameEntry*>(AllocMemoryArray(FRAME_TABLE_STEP, sizeof(FrameEntry), 0));
  r->frameCapacity = FRAME_TABLE_STEP;
  bool ok = r->saved && r->frames && (!(h[10] & 0x80) || readTable(stream, r->global, h[10]));
  if (ok) {
    r->firstFrame = tell(stream);
    fillCanvas(r);
    r->next = 0;
    ok = r->firstFrame >= 0 && decodeFrames(r, -1);
  }
  if (!ok) {
    CloseGifReader(r);
    return nullptr;
  }
  r->next = -1;
  if (width) *width = r->width;
  if (height) *height = r->height;
  if (frameCount) *frameCount = r->frameCount;
  return r;
}

uint32_t* ReadGifFrame(GifReader* r, int32_t index, int32_t* hasTransparency) {
  if (hasTransparency) *hasTransparency = 0;
  if (index < -1 || index >= r->frameCount) return nullptr;
  if (index < 0 || index != r->next) {
    int32_t key = -1;
    for (int32_t k = index; k >= 0 && key < 0; k--)
      if (r->frames[k].key) key = k;
    if (key >= 0) {
      r->next = key;
      r->current = r->global;
      if (SeekFileStream(r->stream, r->frames[key].position, 1) < 0) return nullptr;
    } else if (!restart(r)) {
      return nullptr;
    }
  }
  if (index >= 0 && !decodeFrames(r, index)) {
    r->next = -1;  // the canvas is in no known state: the next read restarts
    return nullptr;
  }
  if (index >= 0 && r->next != index + 1) {  // the file ended before the frame
    r->next = -1;
    return nullptr;
  }
  size_t count = static_cast<size_t>(r->width) * static_cast<size_t>(r->height);
  auto* copy = static_cast<uint32_t*>(AllocMemoryArray(count, sizeof(uint32_t), 0));
  if (!copy) {
    r->next = -1;
    return nullptr;
  }
  std::memcpy(copy, r->canvas, count * sizeof(uint32_t));
  if (index >= 0) {
    applyDisposal(r);
    r->current = r->global;
    if (hasTransparency) *hasTransparency = r->transparencyResult;
  }
  return copy;
}

int32_t GetGifFrameDelay(GifReader* reader, int32_t index) {
  if (index < 0 || index >= reader->frameCount) return 0;
  return reader->frames[index].delay * 10;
}

int64_t GetGifFramesDecoded(const GifReader* reader) { return reader->decoded; }

void CloseGifReader(GifReader* reader) {
  if (!reader) return;
  CloseFileStream(reader->stream);
  FreeMemory(reader->frames);
  FreeMemory(reader->canvas);
  FreeMemory(reader->saved);
  FreeMemory(reader);
}
