// The bitmap font engine: contents files that list a font's heights, size
// files holding a glyph strip with its tables (big-endian, pointers
// relative to offset 32), measuring and drawing of monochrome (type 1) and
// colour (type 2) fonts.
//
// Invariant: a loaded font's tables have been checked against each other at
// open (every glyph lies inside the strip, every table inside the file), so
// the measurer and drawer index them without further checks; the drawer
// clips every glyph against the clip rectangle and the target.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "engine/engine.h"
#include "gfx/gfx.h"
#include "platform/linux/platform.h"
#include "runtime/runtime.h"
#include "text/font_private.h"

namespace {

constexpr uint32_t POINTER_BASE = 32;      // size-file pointers count from here
constexpr size_t HEADER_SIZE = 142;        // through the kerning pointer
constexpr size_t COLOR_HEADER_SIZE = 186;  // through the eight plane pointers
constexpr size_t CONTENTS_ENTRY = 260;     // 256 bytes of name, height, style word
constexpr int32_t FONT_STYLE_COLOR = 64;
constexpr int32_t FONT_FLAG_PROPORTIONAL = 32;

uint32_t be16(const uint8_t* p) { return uint32_t(p[0]) << 8 | p[1]; }
uint32_t be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// The file range a stored pointer and length name, or null when it does
// not lie inside the file.
const uint8_t* fileRange(const uint8_t* file, size_t size, uint32_t pointer, uint64_t length) {
  uint64_t at = uint64_t(pointer) + POINTER_BASE;
  if (at > size || length > size - at) return nullptr;
  return file + at;
}

bool endsWithFont(const char* name) {
  size_t n = std::strlen(name);
  return n >= 5 && CompareNoCase(name + n - 5, ".font") == 0;
}

struct LoadedFile {
  uint8_t* data = nullptr;
  size_t size = 0;
  ~LoadedFile() { FreeMemory(data); }
};

bool loadFile(const char* path, LoadedFile* file) {
  return LoadFileToMemory(path, nullptr, nullptr, &file->data, &file->size, 0, 0) == ERR_NONE;
}

// The size file's path from a contents entry name.
bool sizeFilePath(const char* contentsPath, const char* entry, char* out, size_t outSize) {
  const char* prefix = nullptr;
  if (std::strncmp(entry, ":::chunk", 8) == 0)
    prefix = entry + 8;
  else if (std::strncmp(entry, "::linkedfont", 12) == 0)
    prefix = entry + 12;
  if (prefix) {
    // Linked data: offset, one separator, size, then behind the first '*'
    // the file's own name (up to a '/' for ":::chunk").
    char* end = nullptr;
    unsigned long long offset = std::strtoull(prefix, &end, 10);
    if (end == prefix || !*end) return false;
    const char* second = end + 1;
    unsigned long long length = std::strtoull(second, &end, 10);
    if (end == second) return false;
    const char* star = std::strchr(entry, '*');
    char name[256] = "";
    if (star) {
      size_t n = std::strcspn(star + 1, prefix == entry + 8 ? "/?" : "?");
      if (n >= sizeof name) n = sizeof name - 1;
      std::memcpy(name, star + 1, n);
      name[n] = '\0';
    }
    char extra[FONT_NAME_SIZE] = "";
    if (IsChunkName(contentsPath))
      ParseChunkName(contentsPath, nullptr, nullptr, nullptr, 0, extra, sizeof extra, nullptr, 0,
                     nullptr);
    return MakeChunkName(name, out, outSize, int64_t(offset), length, 0, extra) != 0;
  }
  if (std::strlen(contentsPath) >= outSize) return false;
  std::strcpy(out, contentsPath);
  char* part = FindFilePart(out);
  *part = '\0';
  return AddPart(out, entry, outSize) != 0;
}

// Builds the colour strip of a colour font: one 32-bit pixel per strip
// bit, coloured by the palette entry its plane bits index.
bool readColorStrip(const uint8_t* file, size_t size, BitmapFontData* d) {
  const uint8_t* h = file;
  int32_t depth = h[144];
  int32_t pick = h[148];
  if (depth > 8) return false;
  uint64_t stripBytes = uint64_t(d->modulo) * uint64_t(d->height);
  uint64_t pixels = stripBytes * 8;
  if (stripBytes > size) return false;  // the image is bounded by the file's size
  uint32_t palette[256];
  int32_t colours = 0;
  const uint8_t* planes[8] = {};
  int32_t present = 0;
  for (int32_t p = 0; p < depth; p++) {
    if (!(pick & (1 << p))) continue;
    present++;
    uint32_t pointer = be32(h + 154 + 4 * p);
    if (!pointer) continue;
    planes[p] = fileRange(file, size, pointer, stripBytes);
    if (!planes[p]) return false;
  }
  if (present) {
    uint32_t recordPointer = be32(h + 150);
    const uint8_t* record = fileRange(file, size, recordPointer, 8);
    if (!record) return false;
    colours = int32_t(be16(record + 2));
    if (colours > 256) return false;
    const uint8_t* table = fileRange(file, size, be32(record + 4), uint64_t(colours) * 2);
    if (!table) return false;
    for (int32_t i = 0; i < colours; i++) {
      uint32_t c = be16(table + 2 * i);
      uint32_t r = (c >> 8) & 15, g = (c >> 4) & 15, b = c & 15;
      palette[i] = (r * 17) << 16 | (g * 17) << 8 | (b * 17);
    }
    if (colours > 0) palette[0] = FONT_KEY_COLOR;
  }
  d->colorPixels = static_cast<uint32_t*>(AllocMemoryArray(size_t(pixels), 4, 0));
  if (!d->colorPixels) return false;
  int32_t width = d->modulo * 8;
  for (int32_t y = 0; y < d->height; y++) {
    for (int32_t x = 0; x < width; x++) {
      uint32_t index = 0;
      size_t byte = size_t(y) * d->modulo + (x >> 3);
      for (int32_t p = 0; p < depth; p++)
        if (planes[p] && (planes[p][byte] & (0x80 >> (x & 7)))) index |= 1u << p;
      uint32_t colour = FONT_KEY_COLOR;
      if (present) {
        if (int32_t(index) >= colours) return false;
        colour = palette[index];
      }
      d->colorPixels[size_t(y) * width + x] = colour;
    }
  }
  return true;
}

// Glyph index of a character code.
int32_t glyphIndex(const BitmapFontData* d, uint32_t c) {
  if (int64_t(c) >= d->firstChar && int64_t(c) <= d->lastChar) return int32_t(c) - d->firstChar;
  return d->glyphCount - 1;
}

// The text as 8-bit characters: UTF-8 text is converted to Latin-1.
struct Latin1Text {
  const uint8_t* bytes;
  size_t length;
  OwnedMemory<char> converted;
};
ErrorCode latin1Text(const char* text, size_t length, int32_t encoding, Latin1Text* out) {
  out->bytes = reinterpret_cast<const uint8_t*>(text);
  out->length = length;
  if (encoding != 1 || length == 0) return ERR_NONE;
  out->converted.reset(static_cast<char*>(AllocMemory(length + 1, 0)));
  if (!out->converted) return ERR_MEM;
  out->length = Utf8ToLatin1(text, out->converted.get(), length, nullptr);
  out->bytes = reinterpret_cast<const uint8_t*>(out->converted.get());
  return ERR_NONE;
}

// Writes a pixel value of the lock's format.
void putPixel(const BitmapLock& lock, int32_t x, int32_t y, uint32_t value) {
  uint8_t* p = lock.address + (size_t(y) * lock.rowLength + x) * lock.bytesPerPixel;
  switch (lock.bytesPerPixel) {
    case 2:
      std::memcpy(p, &value, 2);  // native 2-byte layout
      break;
    case 3:
      p[0] = uint8_t(value >> 16);
      p[1] = uint8_t(value >> 8);
      p[2] = uint8_t(value);
      break;
    case 4:
      std::memcpy(p, &value, 4);
      break;
    default:
      *p = uint8_t(value);
      break;
  }
}

void setMaskBit(const BitmapLock& lock, int32_t x, int32_t y) {
  lock.address[size_t(y) * lock.rowLength + (x >> 3)] |= uint8_t(0x80 >> (x & 7));
}

}  // namespace

int ParseBitmapSizeFile(const uint8_t* file, size_t size, BitmapFontData* d) {
  *d = BitmapFontData{};
  if (size < HEADER_SIZE || be16(file + 50) != 0x0F80) return 0;
  int32_t height = int16_t(be16(file + 110));
  d->height = height;
  d->style = file[112];
  d->flags = file[113];
  d->cellWidth = int32_t(be16(file + 114));
  d->baseline = int32_t(be16(file + 116));
  d->boldSmear = int32_t(be16(file + 118));
  d->accessors = int32_t(be16(file + 120));
  d->firstChar = file[122];
  d->lastChar = file[123];
  d->modulo = int32_t(be16(file + 128));
  if (height < 1 || d->firstChar > d->lastChar || d->modulo < 1) return 0;
  d->glyphCount = d->lastChar - d->firstChar + 2;
  d->owned = 1;
  uint64_t stripBytes = uint64_t(d->modulo) * uint64_t(height);
  const uint8_t* strip = nullptr;
  if (d->style & FONT_STYLE_COLOR) {
    if (size < COLOR_HEADER_SIZE || !readColorStrip(file, size, d)) {
      FreeBitmapFontArrays(d);
      return 0;
    }
  } else {
    strip = fileRange(file, size, be32(file + 124), stripBytes);
    if (!strip) return 0;
  }
  size_t n = size_t(d->glyphCount);
  const uint8_t* loc = fileRange(file, size, be32(file + 130), n * 4);
  uint32_t spacingPointer = be32(file + 134), kerningPointer = be32(file + 138);
  const uint8_t* spacing = spacingPointer ? fileRange(file, size, spacingPointer, n * 2) : nullptr;
  const uint8_t* kerning = kerningPointer ? fileRange(file, size, kerningPointer, n * 2) : nullptr;
  if (!loc || (spacingPointer && !spacing) || (kerningPointer && !kerning)) {
    FreeBitmapFontArrays(d);
    return 0;
  }
  uint8_t* stripCopy = nullptr;
  if (strip) {
    stripCopy = static_cast<uint8_t*>(AllocMemory(size_t(stripBytes), 0));
    if (!stripCopy) {
      FreeBitmapFontArrays(d);
      return 0;
    }
    std::memcpy(stripCopy, strip, size_t(stripBytes));
    d->strip = stripCopy;
  }
  uint32_t* locations = static_cast<uint32_t*>(AllocMemoryArray(n, 4, 0));
  int16_t* spacingArray = spacing ? static_cast<int16_t*>(AllocMemoryArray(n, 2, 0)) : nullptr;
  int16_t* kerningArray = kerning ? static_cast<int16_t*>(AllocMemoryArray(n, 2, 0)) : nullptr;
  d->locations = locations;
  d->spacing = spacingArray;
  d->kerning = kerningArray;
  if (!locations || (spacing && !spacingArray) || (kerning && !kerningArray)) {
    FreeBitmapFontArrays(d);
    return 0;
  }
  uint64_t stripWidth = uint64_t(d->modulo) * 8;
  for (size_t i = 0; i < n; i++) {
    locations[i] = be32(loc + 4 * i);
    // Every glyph must lie inside a strip row.
    if ((locations[i] >> 16) + uint64_t(locations[i] & 0xFFFF) > stripWidth) {
      FreeBitmapFontArrays(d);
      return 0;
    }
    if (spacingArray) spacingArray[i] = int16_t(be16(spacing + 2 * i));
    if (kerningArray) kerningArray[i] = int16_t(be16(kerning + 2 * i));
  }
  return 1;
}

void FreeBitmapFontArrays(BitmapFontData* d) {
  if (!d || !d->owned) return;
  FreeMemory(const_cast<uint8_t*>(d->strip));
  FreeMemory(const_cast<uint32_t*>(d->locations));
  FreeMemory(const_cast<int16_t*>(d->spacing));
  FreeMemory(const_cast<int16_t*>(d->kerning));
  FreeMemory(d->colorPixels);
  d->strip = nullptr;
  d->locations = nullptr;
  d->spacing = d->kerning = nullptr;
  d->colorPixels = nullptr;
}

int OpenBitmapFont(const char* path, int32_t size, FontRecord* record, const char* displayName) {
  char contents[FONT_NAME_SIZE];
  if (IsChunkName(path)) {
    if (std::strlen(path) >= sizeof contents) return 0;
    std::strcpy(contents, path);
  } else {
    int n =
        std::snprintf(contents, sizeof contents, "%s%s", path, endsWithFont(path) ? "" : ".font");
    if (n < 0 || size_t(n) >= sizeof contents) return 0;
  }
  LoadedFile list;
  if (!loadFile(contents, &list) || list.size < 4) return 0;
  uint32_t id = be16(list.data);
  if (id != 0x0F00 && id != 0x0F02) return 0;
  size_t entries = be16(list.data + 2);
  const uint8_t* chosen = nullptr;
  for (size_t i = 0; i < entries; i++) {
    size_t at = 4 + i * CONTENTS_ENTRY;
    if (at + CONTENTS_ENTRY > list.size) break;
    const uint8_t* e = list.data + at;
    if (int32_t(be16(e + 256)) != size) continue;
    if (!std::memchr(e, 0, 256)) continue;
    if (std::strcmp(reinterpret_cast<const char*>(e), "::incomplete") == 0) continue;
    chosen = e;
    break;
  }
  if (!chosen) return 0;
  char sizePath[FONT_NAME_SIZE];
  if (!sizeFilePath(contents, reinterpret_cast<const char*>(chosen), sizePath, sizeof sizePath))
    return 0;
  LoadedFile sizeFile;
  if (!loadFile(sizePath, &sizeFile)) return 0;

  auto* d = static_cast<BitmapFontData*>(AllocMemory(sizeof(BitmapFontData), 1));
  if (!d) return 0;
  if (!ParseBitmapSizeFile(sizeFile.data, sizeFile.size, d)) {
    FreeMemory(d);
    return 0;
  }
  record->engineData = d;
  record->type = d->colorPixels ? FONT_COLOR : FONT_BITMAP;
  record->height = record->baseHeight = d->height;
  record->baseline = record->baseBaseline = d->baseline;
  record->requestedSize = size;
  record->outline = 0;
  const char* name = displayName ? displayName : path;
  if (IsChunkName(name)) name = GetDisplayFileName(name);
  std::snprintf(record->name, sizeof record->name, "%s", name);
  return 1;
}

void FreeBitmapFontData(FontRecord* record) {
  auto* d = static_cast<BitmapFontData*>(record->engineData);
  if (!d) return;
  FreeBitmapFontArrays(d);
  FreeMemory(d);
  record->engineData = nullptr;
  FreeMemory(record->savedPixels);
  record->savedPixels = nullptr;
}

int32_t MeasureBitmapText(FontRecord* record, const char* text, size_t length, int32_t style,
                          int32_t encoding, TextExtent* extent) {
  const auto* d = static_cast<const BitmapFontData*>(record->engineData);
  Latin1Text t;
  if (latin1Text(text, length, encoding, &t)) return ERR_MEM;
  extent->height = d->height;
  extent->top = -d->baseline;
  extent->bottom = d->height - 1 - d->baseline;
  if (!(d->flags & FONT_FLAG_PROPORTIONAL) && !d->spacing && !d->kerning) {
    extent->width = int32_t(t.length) * d->cellWidth;
    extent->left = 0;
    extent->right = extent->width - 1;
    return 0;
  }
  int32_t pen = 0, minX = 0, maxX = 0;
  for (size_t i = 0; i < t.length; i++) {
    int32_t g = glyphIndex(d, t.bytes[i]);
    int32_t kern = d->kerning ? d->kerning[g] : 0;
    int32_t space = d->spacing ? d->spacing[g] : 0;
    int32_t start = pen + kern;
    int32_t ends[3] = {start, start + int32_t(d->locations[g] & 0xFFFF), start + space};
    for (int32_t v : ends) {
      if (v < minX) minX = v;
      if (v > maxX) maxX = v;
    }
    pen = start + space;
  }
  extent->width = pen;
  extent->left = minX;
  extent->right = maxX - 1;
  return 0;
}

int32_t DrawBitmapText(FontRecord* record, BitmapHandle* target, BitmapHandle* maskTarget,
                       int32_t x, int32_t y, const char* text, size_t length, int32_t style,
                       int32_t encoding, const FontClip* clip, int64_t colour) {
  const auto* d = static_cast<const BitmapFontData*>(record->engineData);
  Latin1Text t;
  if (latin1Text(text, length, encoding, &t)) return ERR_MEM;
  const bool colourFont = d->colorPixels != nullptr;
  BitmapLock pixels{}, mask{};
  // colour -1 on a monochrome font sets bits of the mask target (or of the
  // target when it is itself a mask).
  BitmapHandle* bitsTarget = maskTarget ? maskTarget : target;
  bool havePixels = false, haveMask = false;
  if (colour == -1 && !colourFont) {
    haveMask = bitsTarget && LockBitmap(bitsTarget, 0, &mask) && mask.pixelFormat == PIXFMT_MASK1;
  } else {
    havePixels = target && LockBitmap(target, 0, &pixels) && pixels.pixelFormat != PIXFMT_MASK1 &&
                 pixels.pixelFormat != PIXFMT_ALPHA8;
    if (colourFont && colour == -1 && maskTarget)
      haveMask = LockBitmap(maskTarget, 0, &mask) && mask.pixelFormat == PIXFMT_MASK1;
  }
  if (!havePixels && !haveMask) {
    if (pixels.token) UnlockBitmap(&pixels);
    if (mask.token) UnlockBitmap(&mask);
    return 0;
  }
  // The drawable area: the clip rectangle within the locked bitmaps.
  int32_t cx0 = 0, cy0 = 0, cx1 = INT32_MAX, cy1 = INT32_MAX;
  if (havePixels) {
    cx1 = pixels.width;
    cy1 = pixels.height;
  }
  if (haveMask) {
    cx1 = std::min(cx1, mask.width);
    cy1 = std::min(cy1, mask.height);
  }
  if (clip) {
    cx0 = std::max(cx0, clip->x);
    cy0 = std::max(cy0, clip->y);
    cx1 = std::min<int64_t>(cx1, int64_t(clip->x) + clip->width);
    cy1 = std::min<int64_t>(cy1, int64_t(clip->y) + clip->height);
  }
  const uint32_t paint =
      havePixels && colour != -1 ? ColorToPixel(ArgbColor(colour), pixels.pixelFormat, 0) : 0;
  const int32_t stripWidth = d->modulo * 8;
  int64_t pen = x;
  for (size_t i = 0; i < t.length; i++) {
    int32_t g = glyphIndex(d, t.bytes[i]);
    if (d->kerning) pen += d->kerning[g];
    int32_t bitOffset = int32_t(d->locations[g] >> 16);
    int32_t width = int32_t(d->locations[g] & 0xFFFF);
    for (int32_t row = 0; row < d->height && width > 0; row++) {
      int64_t ty = int64_t(y) + row;
      if (ty < cy0 || ty >= cy1) continue;
      for (int32_t col = 0; col < width; col++) {
        int64_t tx = pen + col;
        if (tx < cx0 || tx >= cx1) continue;
        int32_t sx = bitOffset + col;
        if (colourFont) {
          uint32_t c = d->colorPixels[size_t(row) * stripWidth + sx];
          if (c == FONT_KEY_COLOR) continue;
          if (havePixels)
            putPixel(pixels, int32_t(tx), int32_t(ty),
                     colour == -1 ? ColorToPixel(ArgbColor(c), pixels.pixelFormat, 0) : paint);
          if (haveMask && colour == -1) setMaskBit(mask, int32_t(tx), int32_t(ty));
        } else {
          if (!(d->strip[size_t(row) * d->modulo + (sx >> 3)] & (0x80 >> (sx & 7)))) continue;
          if (colour == -1)
            setMaskBit(mask, int32_t(tx), int32_t(ty));
          else
            putPixel(pixels, int32_t(tx), int32_t(ty), paint);
        }
      }
    }
    pen += d->spacing ? d->spacing[g] : d->cellWidth;
  }
  if (pixels.token) UnlockBitmap(&pixels);
  if (mask.token) UnlockBitmap(&mask);
  return 0;
}
