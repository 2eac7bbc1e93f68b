// The TrueType font engine (font type 4) through FreeType: faces from the
// three built-in files, from font files found by name and from linked data;
// sizing to pixel heights or points; a glyph cache per font; synthetic bold
// and italic; kerning; measuring and drawing.
//
// Invariant: FreeType is used from the main thread only; a record's glyph
// cache holds plain copies of rendered bitmaps (codes below 256, neither
// bold nor italic), so flushing it never touches FreeType.
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_BITMAP_H
#include FT_OUTLINE_H

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "engine/engine.h"
#include "gfx/gfx.h"
#include "platform/linux/platform.h"
#include "runtime/runtime.h"
#include "text/font_private.h"

namespace {

constexpr int32_t CACHE_CODES = 256;        // codes below this are cached
constexpr int32_t NOMINAL_RESOLUTION = 72;  // the platform's point resolution
constexpr FT_Pos ITALIC_SHEAR = 0x6000;     // 0.375 in 16.16

FT_Library library = nullptr;

struct CachedGlyph {
  int32_t present;
  int32_t width, rows, pitch;  // pitch: bytes a row of bits (positive)
  int32_t left, top;
  FT_Pos advance;  // 26.6
  uint8_t* bits;
};

// A rendered glyph, from the cache or the slot.
struct Glyph {
  int32_t width, rows, pitch;
  int32_t left, top;
  FT_Pos advance;
  const uint8_t* bits;
  bool mono;
};

struct TrueTypeFontRecord {
  FT_StreamRec stream;
  StreamHandle* handle;  // null for built-in faces
  uint64_t start;        // of the face inside its file
  uint64_t size;
  FT_Face face;
  int32_t resolutionX, resolutionY;
  int32_t sizeValue;
  char foundPath[FONT_NAME_SIZE];
  int32_t foundByDiscovery;
  char temporaryPath[FONT_NAME_SIZE];  // a collection face's stand-alone copy
  int32_t cacheEnabled;
  CachedGlyph cache[2][CACHE_CODES];  // [0] antialiased, [1] monochrome
};

TrueTypeFontRecord* ttOf(FontRecord* record) {
  return static_cast<TrueTypeFontRecord*>(record->engineData);
}

unsigned long streamRead(FT_Stream stream, unsigned long offset, unsigned char* buffer,
                         unsigned long count) {
  auto* tt = static_cast<TrueTypeFontRecord*>(stream->descriptor.pointer);
  if (offset > tt->size) return count ? 0 : 1;
  if (SeekFileStream(tt->handle, int64_t(tt->start + offset), 1) < 0) return count ? 0 : 1;
  if (!count) return 0;
  if (count > tt->size - offset) count = (unsigned long)(tt->size - offset);
  return (unsigned long)ReadStream(tt->handle, buffer, count);
}

void flushCache(TrueTypeFontRecord* tt) {
  for (auto& table : tt->cache)
    for (CachedGlyph& g : table) {
      FreeMemory(g.bits);
      g = CachedGlyph{};
    }
}

bool endsWithNoCase(const char* name, const char* suffix) {
  size_t n = std::strlen(name), m = std::strlen(suffix);
  return n >= m && CompareNoCase(name + n - m, suffix) == 0;
}

// Loads and renders the glyph of a code with the style; false when the
// face has no glyph for it or FreeType fails.
bool loadGlyph(FontRecord* record, uint32_t code, int32_t style, Glyph* out) {
  TrueTypeFontRecord* tt = ttOf(record);
  const bool aa = style & TEXTSTYLE_ANTIALIAS;
  const bool plain = !(style & (TEXTSTYLE_BOLD | TEXTSTYLE_ITALIC));
  const bool cacheable = tt->cacheEnabled && plain && code < uint32_t(CACHE_CODES);
  CachedGlyph* slot = cacheable ? &tt->cache[aa ? 0 : 1][code] : nullptr;
  if (slot && slot->present) {
    *out = Glyph{slot->width, slot->rows,    slot->pitch, slot->left,
                 slot->top,   slot->advance, slot->bits,  !aa};
    return true;
  }
  FT_Face face = tt->face;
  FT_UInt index = FT_Get_Char_Index(face, code);
  if (!index || FT_Load_Glyph(face, index, FT_LOAD_NO_AUTOHINT)) return false;
  FT_GlyphSlot g = face->glyph;
  if (style & TEXTSTYLE_BOLD) {
    FT_Pos strength = FT_MulFix(face->units_per_EM, face->size->metrics.y_scale) / 24;
    if (g->format == FT_GLYPH_FORMAT_OUTLINE) {
      FT_Outline_Embolden(&g->outline, strength);
      g->metrics.width += strength;
      g->metrics.height += strength;
      g->metrics.horiAdvance += strength;
      g->metrics.horiBearingY += strength;
      g->metrics.vertBearingX -= strength / 2;
      g->advance.x += strength;
    } else if (g->format == FT_GLYPH_FORMAT_BITMAP) {
      FT_Pos s = std::max<FT_Pos>(strength & ~63, 64);
      if (FT_GlyphSlot_Own_Bitmap(g) == 0 &&
          FT_Bitmap_Embolden(library, &g->bitmap, s, strength & ~63) == 0) {
        g->metrics.width += s;
        g->metrics.height += strength & ~63;
        g->metrics.horiAdvance += s;
        g->advance.x += s;
        g->bitmap_top += int32_t((strength & ~63) / 64);
      }
    }
  }
  if ((style & TEXTSTYLE_ITALIC) && g->format == FT_GLYPH_FORMAT_OUTLINE) {
    FT_Matrix shear = {0x10000, ITALIC_SHEAR, 0, 0x10000};
    FT_Outline_Transform(&g->outline, &shear);
  }
  if (FT_Render_Glyph(g, aa ? FT_RENDER_MODE_NORMAL : FT_RENDER_MODE_MONO)) return false;
  const FT_Bitmap& b = g->bitmap;
  int32_t pitch = b.pitch < 0 ? -b.pitch : b.pitch;
  Glyph glyph{int32_t(b.width), int32_t(b.rows), pitch,    g->bitmap_left,
              g->bitmap_top,    g->advance.x,    b.buffer, b.pixel_mode == FT_PIXEL_MODE_MONO};
  if (b.pitch < 0) glyph.rows = 0;  // upward bitmaps do not occur with these modes
  if (slot) {
    size_t bytes = size_t(pitch) * size_t(glyph.rows);
    uint8_t* copy = bytes ? static_cast<uint8_t*>(AllocMemory(bytes, 0)) : nullptr;
    if (!bytes || copy) {
      if (bytes) std::memcpy(copy, b.buffer, bytes);
      *slot = CachedGlyph{1,          glyph.width, glyph.rows,    pitch,
                          glyph.left, glyph.top,   glyph.advance, copy};
      glyph.bits = copy;
    }
  }
  *out = glyph;
  return true;
}

// The pair kerning of two codes in font units (0 without kerning).
FT_Pos pairKerning(FT_Face face, uint32_t left, uint32_t right) {
  if (!FT_HAS_KERNING(face)) return 0;
  FT_UInt a = FT_Get_Char_Index(face, left), b = FT_Get_Char_Index(face, right);
  if (!a || !b) return 0;
  FT_Vector v{0, 0};
  if (FT_Get_Kerning(face, a, b, FT_KERNING_UNSCALED, &v)) return 0;
  return v.x;
}

// The pen advance of a glyph followed by next (-1: none), in pixels:
// the advance and the pair kerning as fractions of the em in 16.16, times
// the size in pixels, truncated toward zero. The face's transform already
// scaled the loaded advance; the kerning, read in font units, is scaled
// here.
int32_t advanceOf(FontRecord* record, const Glyph& g, uint32_t code, int64_t next) {
  TrueTypeFontRecord* tt = ttOf(record);
  FT_Face face = tt->face;
  int64_t ppem = face->size->metrics.x_ppem ? face->size->metrics.x_ppem : 1;
  int64_t em = int64_t(g.advance) * 1024 / ppem;
  if (next >= 0)
    em += int64_t(double(pairKerning(face, code, uint32_t(next))) * 65536 / face->units_per_EM *
                  record->scaleX);
  int64_t pixels = int64_t(tt->resolutionX) * tt->sizeValue / 72;
  return int32_t(em * pixels / 65536);
}

// The characters of a text: code points for UTF-8, else bytes.
struct Codes {
  uint32_t local[256];
  uint32_t* codes = nullptr;
  size_t count = 0;
  int32_t allocated = 0;
  ~Codes() {
    if (allocated) FreeUcs4Buffer(codes);
  }
};
ErrorCode decode(const char* text, size_t length, int32_t encoding, Codes* c) {
  ErrorCode e = Utf8ToUcs4(text, length, encoding == 1, c->local, std::size(c->local), &c->codes,
                           &c->count, &c->allocated);
  if (e == ERR_MEM) return e;
  if (e == UCS4_NOT_DECODED) {
    // 8-bit characters.
    if (length > std::size(c->local)) {
      c->codes = static_cast<uint32_t*>(AllocMemoryArray(length, 4, 0));
      if (!c->codes) return ERR_MEM;
      c->allocated = 1;
    } else {
      c->codes = c->local;
    }
    for (size_t i = 0; i < length; i++) c->codes[i] = uint8_t(text[i]);
    c->count = length;
  }
  return ERR_NONE;
}

// The baseline for the current height: over 'A', 'À', 'Ä' and 'q' the
// highest top T and deepest descent D put the baseline at
// (T + height + 1 - D) / 2, centring the ink in the line.
int32_t baselineRule(FontRecord* record) {
  FT_Face face = ttOf(record)->face;
  bool any = false;
  int32_t top = 0, depth = 0;
  for (uint32_t code : {65u, 192u, 196u, 113u}) {
    FT_UInt index = FT_Get_Char_Index(face, code);
    if (!index || FT_Load_Glyph(face, index, FT_LOAD_RENDER | FT_LOAD_NO_AUTOHINT)) continue;
    int32_t t = face->glyph->bitmap_top, d = int32_t(face->glyph->bitmap.rows) - t;
    top = any ? std::max(top, t) : t;
    depth = any ? std::max(depth, d) : d;
    any = true;
  }
  if (!any) return record->height * 3 / 4;
  return (top + record->height + 1 - depth) / 2;
}

bool openFace(TrueTypeFontRecord* tt, const uint8_t* memory, size_t memorySize) {
  if (memory) return FT_New_Memory_Face(library, memory, FT_Long(memorySize), 0, &tt->face) == 0;
  tt->stream.base = nullptr;
  tt->stream.size = (unsigned long)tt->size;
  tt->stream.pos = 0;
  tt->stream.descriptor.pointer = tt;
  tt->stream.read = streamRead;
  tt->stream.close = nullptr;
  FT_Open_Args args{};
  args.flags = FT_OPEN_STREAM;
  args.stream = &tt->stream;
  return FT_Open_Face(library, &args, 0, &tt->face) == 0;
}

void freeRecord(TrueTypeFontRecord* tt) {
  flushCache(tt);
  if (tt->face) FT_Done_Face(tt->face);
  CloseFileStream(tt->handle);
  if (tt->temporaryPath[0]) std::remove(tt->temporaryPath);
  FreeMemory(tt);
}

// Sizes the face: pixel mode makes the tallest Latin-1 glyph top plus the
// deepest descent at 100 points equal to the size; point mode uses the
// face's own height and ascender.
bool sizeFace(FontRecord* record, TrueTypeFontRecord* tt, int32_t size) {
  FT_Face face = tt->face;
  if (!record->usePoints) {
    tt->resolutionX = tt->resolutionY = 72;
    if (FT_Set_Char_Size(face, 0, 6400, 72, 72)) return false;
    int32_t top = 0, depth = 0;
    for (uint32_t code = 33; code <= 255; code++) {
      FT_UInt index = FT_Get_Char_Index(face, code);
      if (!index || FT_Load_Glyph(face, index, FT_LOAD_RENDER | FT_LOAD_NO_AUTOHINT)) continue;
      top = std::max(top, face->glyph->bitmap_top);
      depth = std::max(depth, int32_t(face->glyph->bitmap.rows) - face->glyph->bitmap_top);
    }
    int32_t t = top + depth;
    if (t != 0) {
      tt->sizeValue = int32_t(int64_t(size) * 100 / t);
      // A size value below 1 would ask FreeType for a 65,535-pixel face.
      if (tt->sizeValue < 1) return false;
      if (FT_Set_Pixel_Sizes(face, FT_UInt(tt->sizeValue - 1), 0)) return false;
      record->height = record->baseHeight = size;
      record->baseline = record->baseBaseline = baselineRule(record);
      return true;
    }
  } else {
    tt->resolutionX = tt->resolutionY = NOMINAL_RESOLUTION;
  }
  tt->sizeValue = size;
  if (FT_Set_Char_Size(face, 0, FT_F26Dot6(size) * 64, FT_UInt(tt->resolutionX),
                       FT_UInt(tt->resolutionY)))
    return false;
  FT_Fixed scale = face->size->metrics.y_scale;
  record->height = record->baseHeight = int32_t((FT_MulFix(face->height, scale) + 32) / 64);
  record->baseline = record->baseBaseline = int32_t((FT_MulFix(face->ascender, scale) + 32) / 64);
  return true;
}

}  // namespace

ErrorCode InitTrueTypeEngine() {
  if (library) return ERR_NONE;
  if (FT_Init_FreeType(&library)) {
    library = nullptr;
    return ERR_FT2;
  }
  return ERR_NONE;
}

void* GetFreeTypeLibrary() { return library; }

void ShutdownTrueTypeEngine() {
  FreeDiscoveredFonts();
  if (library) FT_Done_FreeType(library);
  library = nullptr;
}

bool IsRegularStyle(const char* style) {
  for (const char* r : {"regular", "plain", "normal", "book", "roman"})
    if (CompareNoCase(style, r) == 0) return true;
  return false;
}

int OpenTrueTypeFont(const char* name, int32_t size, int32_t cache, FontRecord* record) {
  if (!library || size < 1) return 0;
  auto* tt = static_cast<TrueTypeFontRecord*>(AllocMemory(sizeof(TrueTypeFontRecord), 1));
  if (!tt) return 0;
  tt->cacheEnabled = cache;
  const uint8_t* memory = nullptr;
  size_t memorySize = 0;
  for (int32_t i = 0; i < 3; i++) {
    if (CompareNoCase(name, BUILTIN_FACES[i].name) == 0) {
      memory = BUILTIN_FACES[i].data;
      memorySize = GetBuiltinFaceSize(i);
    }
  }
  if (!memory) {
    const char* path = name;
    if (!endsWithNoCase(name, ".ttf") && !endsWithNoCase(name, ".otf") && !IsChunkName(name)) {
      int32_t temporary = 0;
      path = FindTrueTypeFont(name, -1, -1, &tt->start, &tt->size, &temporary, tt->foundPath,
                              sizeof tt->foundPath);
      if (!path) {
        FreeMemory(tt);
        return 0;
      }
      tt->foundByDiscovery = 1;
      if (temporary) std::snprintf(tt->temporaryPath, sizeof tt->temporaryPath, "%s", path);
    }
    tt->handle = OpenFileStream(path, STREAM_READ, nullptr);
    int64_t fileSize = tt->handle ? GetStreamSize(tt->handle) : -1;
    if (fileSize < 0 || tt->start > uint64_t(fileSize)) {
      freeRecord(tt);
      return 0;
    }
    if (!tt->size || tt->size > uint64_t(fileSize) - tt->start)
      tt->size = uint64_t(fileSize) - tt->start;
  }
  if (!openFace(tt, memory, memorySize)) {
    freeRecord(tt);
    return 0;
  }
  record->engineData = tt;
  record->usePoints = record->usePoints ? 1 : 0;
  if (!sizeFace(record, tt, size)) {
    record->engineData = nullptr;
    freeRecord(tt);
    return 0;
  }
  record->type = FONT_TRUETYPE;
  record->requestedSize = size;
  record->scalable = 1;
  record->outline = 1;
  const char* family = tt->face->family_name ? tt->face->family_name : name;
  const char* style = tt->face->style_name ? tt->face->style_name : "";
  if (*style && !IsRegularStyle(style))
    std::snprintf(record->name, sizeof record->name, "%s %s", family, style);
  else
    std::snprintf(record->name, sizeof record->name, "%s", family);
  return 1;
}

void CloseTrueTypeFont(FontRecord* record) {
  if (TrueTypeFontRecord* tt = ttOf(record)) freeRecord(tt);
  record->engineData = nullptr;
}

void FlushTrueTypeCache(FontRecord* record) {
  if (record->type == FONT_TRUETYPE && ttOf(record)) flushCache(ttOf(record));
}

int32_t CountCachedGlyphs(FontRecord* record) {
  if (record->type != FONT_TRUETYPE) return 0;
  int32_t n = 0;
  for (auto& table : ttOf(record)->cache)
    for (CachedGlyph& g : table) n += g.present;
  return n;
}

void* GetTrueTypeFace(FontRecord* record) {
  return record->type == FONT_TRUETYPE ? ttOf(record)->face : nullptr;
}

void SetTrueTypeScale(FontRecord* record, double scaleX, double scaleY) {
  TrueTypeFontRecord* tt = ttOf(record);
  flushCache(tt);
  FT_Matrix m = {VmSaturateInt<FT_Fixed>(scaleX * 65536), 0, 0,
                 VmSaturateInt<FT_Fixed>(scaleY * 65536)};
  FT_Set_Transform(tt->face, &m, nullptr);
  record->baseline = baselineRule(record);
}

int32_t GetTrueTypeKerning(FontRecord* record, const char* text, size_t length, int32_t encoding) {
  Codes c;
  if (decode(text, length, encoding, &c) || c.count != 2) return 0;
  TrueTypeFontRecord* tt = ttOf(record);
  FT_Pos k = pairKerning(tt->face, c.codes[0], c.codes[1]);
  int64_t em = int64_t(k) * 65536 / tt->face->units_per_EM;
  return int32_t(em * (int64_t(tt->resolutionX) * tt->sizeValue / 72) / 65536);
}

int32_t MeasureTrueTypeText(FontRecord* record, const char* text, size_t length, int32_t style,
                            int32_t encoding, TextExtent* extent) {
  Codes c;
  if (ErrorCode e = decode(text, length, encoding, &c)) return e;
  // The ink box starts inverted so that the first glyph sets it.
  int32_t minX = 10000, minY = 10000, maxX = -10000, maxY = -10000;
  int32_t pen = 0;
  for (size_t i = 0; i < c.count; i++) {
    Glyph g;
    if (!loadGlyph(record, c.codes[i], style, &g)) continue;
    if (c.codes[i] != 32) {
      int32_t left = pen + g.left, top = -g.top;
      minX = std::min(minX, left);
      maxX = std::max(maxX, left + g.width);
      minY = std::min(minY, top);
      maxY = std::max(maxY, top + g.rows);
    }
    pen += advanceOf(record, g, c.codes[i], i + 1 < c.count ? int64_t(c.codes[i + 1]) : -1);
  }
  if (maxX < minX) minX = minY = maxX = maxY = 0;
  extent->width = pen;
  extent->height = record->height;
  extent->left = minX;
  extent->top = minY;
  extent->right = maxX;
  extent->bottom = maxY;
  return 0;
}

int32_t DrawTrueTypeText(FontRecord* record, BitmapHandle* target, BitmapHandle* maskTarget,
                         int32_t x, int32_t y, const char* text, size_t length, int32_t style,
                         int32_t encoding, const FontClip* clip, int64_t colour) {
  Codes c;
  if (ErrorCode e = decode(text, length, encoding, &c)) return e;
  const bool aa = style & TEXTSTYLE_ANTIALIAS;
  // colour -1: monochrome bits go to the mask target, coverage bytes to an
  // 8-bit target (an alpha channel); else the colour is painted or blended
  // into the pixel target.
  BitmapHandle* into = colour == -1 && !aa && maskTarget ? maskTarget : target;
  BitmapLock lock{};
  if (!into || !LockBitmap(into, 0, &lock)) return 0;
  const bool maskInto = lock.pixelFormat == PIXFMT_MASK1;
  const bool alphaInto = lock.pixelFormat == PIXFMT_ALPHA8;
  if ((colour == -1) != (maskInto || alphaInto) || (colour == -1 && aa != alphaInto) ||
      (colour == -1 && !aa && !maskInto)) {
    UnlockBitmap(&lock);
    return 0;
  }
  int64_t cx0 = 0, cy0 = 0, cx1 = lock.width, cy1 = lock.height;
  if (clip) {
    cx0 = std::max<int64_t>(cx0, clip->x);
    cy0 = std::max<int64_t>(cy0, clip->y);
    cx1 = std::min<int64_t>(cx1, int64_t(clip->x) + clip->width);
    cy1 = std::min<int64_t>(cy1, int64_t(clip->y) + clip->height);
  }
  const uint32_t paint = colour == -1 ? 0 : ColorToPixel(ArgbColor(colour), lock.pixelFormat, 0);
  int64_t pen = x;
  for (size_t i = 0; i < c.count; i++) {
    Glyph g;
    if (!loadGlyph(record, c.codes[i], style, &g)) continue;
    int64_t gx = pen + g.left, gy = int64_t(y) + record->baseline - g.top;
    for (int32_t row = 0; row < g.rows && g.bits; row++) {
      int64_t ty = gy + row;
      if (ty < cy0 || ty >= cy1) continue;
      const uint8_t* src = g.bits + size_t(row) * g.pitch;
      uint8_t* line = lock.address + size_t(ty) * lock.rowLength * lock.bytesPerPixel;
      for (int32_t col = 0; col < g.width; col++) {
        int64_t tx = gx + col;
        if (tx < cx0 || tx >= cx1) continue;
        uint32_t cover = g.mono ? ((src[col >> 3] & (0x80 >> (col & 7))) ? 255 : 0) : src[col];
        if (!cover) continue;
        if (maskInto) {
          line[tx >> 3] |= uint8_t(0x80 >> (tx & 7));
        } else if (alphaInto) {
          line[tx] = uint8_t(cover);
        } else {
          uint8_t* p = line + size_t(tx) * lock.bytesPerPixel;
          if (lock.bytesPerPixel == 4 && cover < 255 && lock.pixelFormat == PIXFMT_ARGB32) {
            uint32_t old;
            std::memcpy(&old, p, 4);
            uint32_t out = old & 0xFF000000;
            for (int shift = 0; shift < 24; shift += 8) {
              uint32_t a = (old >> shift) & 255, b = (paint >> shift) & 255;
              out |= ((a * (255 - cover) + b * cover + 127) / 255) << shift;
            }
            std::memcpy(p, &out, 4);
          } else if (cover >= 128 || lock.bytesPerPixel != 4) {
            if (cover < 128) continue;
            switch (lock.bytesPerPixel) {
              case 2:
                std::memcpy(p, &paint, 2);
                break;
              case 3:
                p[0] = uint8_t(paint >> 16);
                p[1] = uint8_t(paint >> 8);
                p[2] = uint8_t(paint);
                break;
              default:
                std::memcpy(p, &paint, 4);
                break;
            }
          }
        }
      }
    }
    pen += advanceOf(record, g, c.codes[i], i + 1 < c.count ? int64_t(c.codes[i + 1]) : -1);
  }
  UnlockBitmap(&lock);
  return 0;
}

const char* GetTrueTypeTemporaryPath(FontRecord* record) {
  if (record->type != FONT_TRUETYPE || !ttOf(record)->temporaryPath[0]) return nullptr;
  return ttOf(record)->temporaryPath;
}

int32_t GetTrueTypeSizeValue(FontRecord* record) {
  return record->type == FONT_TRUETYPE ? ttOf(record)->sizeValue : 0;
}
