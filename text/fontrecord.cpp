// Font records and the dispatch through which the text library opens,
// measures, draws, rescales and frees a font without knowing its engine;
// the shared built-in font "topaz"; the search for bitmap font files; the
// UTF-8 to code point conversion the engines share.
//
// Invariant: the topaz record exists exactly while the engines are ready;
// CloseFontRecord never frees it, every other record it frees whole.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "draw/draw.h"
#include "engine/engine.h"
#include "platform/linux/platform.h"
#include "runtime/runtime.h"
#include "text/font_private.h"

namespace {

// The topaz glyph table: glyph i starts at bit 8 i of a strip row and is
// 8 pixels wide.
uint32_t topazLocations[TOPAZ_GLYPHS];

BitmapFontData topazData;
FontRecord topazRecord;
bool enginesReady = false;

void buildTopaz() {
  for (int32_t i = 0; i < TOPAZ_GLYPHS; i++)
    topazLocations[i] = static_cast<uint32_t>(i * 8) << 16 | 8;
  topazData = BitmapFontData{};
  topazData.height = 8;
  topazData.style = 0;
  topazData.flags = 64;
  topazData.cellWidth = 8;
  topazData.baseline = 6;
  topazData.boldSmear = 1;
  topazData.firstChar = TOPAZ_FIRST;
  topazData.lastChar = TOPAZ_LAST;
  topazData.strip = TOPAZ_STRIP;
  topazData.modulo = TOPAZ_MODULO;
  topazData.locations = topazLocations;
  topazData.glyphCount = TOPAZ_GLYPHS;
  topazRecord = FontRecord{};
  std::strcpy(topazRecord.name, "topaz");
  topazRecord.requestedSize = 8;
  topazRecord.height = topazRecord.baseHeight = 8;
  topazRecord.baseline = topazRecord.baseBaseline = 6;
  topazRecord.type = FONT_BITMAP;
  topazRecord.scaleX = topazRecord.scaleY = 1.0;
  topazRecord.engineData = &topazData;
}

bool endsWithFont(const char* name) {
  size_t n = std::strlen(name);
  return n >= 5 && CompareNoCase(name + n - 5, ".font") == 0;
}

// Tries one candidate path: 1 when it opens for reading.
int tryCandidate(const char* candidate, char* path, size_t pathSize) {
  StreamHandle* s = OpenFileStream(candidate, STREAM_READ, nullptr);
  if (!s) return 0;
  CloseFileStream(s);
  if (std::strlen(candidate) >= pathSize) return 0;
  std::strcpy(path, candidate);
  return 1;
}

}  // namespace

ErrorCode InitFontEngines(FontRecord** topaz) {
  if (!enginesReady) {
    buildTopaz();
    ErrorCode error = InitTrueTypeEngine();
    if (error) return error;
    enginesReady = true;
  }
  if (topaz) *topaz = &topazRecord;
  return ERR_NONE;
}

void ShutdownFontEngines() {
  enginesReady = false;
  topazRecord = FontRecord{};
  ShutdownTrueTypeEngine();
}

ErrorCode OpenFontByName(const char* name, int32_t size, int32_t engine, int32_t cache,
                         int32_t usePoints, int32_t linked, FontRecord** out) {
  *out = nullptr;
  ErrorCode error = InitFontEngines(nullptr);
  if (error) return error;
  if (engine != FONTENGINE_NATIVE && engine != FONTENGINE_INBUILT) return ERR_WRONGUSAGE;

  char chunk[FONT_NAME_SIZE];
  const char* useName = name;
  bool tryBitmap = true, tryTrueType = true;
  if (linked && IsChunkName(name)) {
    // Linked font data starts with a flags word: bit 2 TrueType, bit 4 a
    // block (length and bytes) follows that the font does not use.
    StreamHandle* s = OpenFileStream(name, STREAM_READ, nullptr);
    if (!s) {
      SetErrorArgString(name);
      return ERR_READFILE;
    }
    uint8_t word[4];
    uint64_t skip = 4;
    error = ERR_NONE;
    if (ReadStream(s, word, 4) != 4) error = ERR_READ;
    uint32_t flags = error ? 0 : (uint32_t(word[0]) << 24 | word[1] << 16 | word[2] << 8 | word[3]);
    if (!error && (flags & 4)) {
      if (ReadStream(s, word, 4) != 4) {
        error = ERR_READ;
      } else {
        uint32_t length = uint32_t(word[0]) << 24 | word[1] << 16 | word[2] << 8 | word[3];
        int64_t total = GetStreamSize(s);
        if (total < 0 || uint64_t(length) > uint64_t(total) - 8) error = ERR_READ;
        skip += 4 + uint64_t(length);
      }
    }
    CloseFileStream(s);
    if (error) return error;
    uint64_t offset = 0, chunkSize = 0;
    char fileName[FONT_NAME_SIZE];
    char extra[FONT_NAME_SIZE];
    if (!ParseChunkName(name, &offset, &chunkSize, fileName, sizeof fileName, extra, sizeof extra,
                        nullptr, 0, nullptr) ||
        chunkSize < skip ||
        !MakeChunkName(fileName, chunk, sizeof chunk, int64_t(skip), chunkSize - skip, offset,
                       extra[0] ? extra : nullptr)) {
      SetErrorArgString(name);
      return ERR_READFILE;
    }
    useName = chunk;
    tryBitmap = !(flags & 2);
    tryTrueType = !tryBitmap;
  }

  FontRecord* record = static_cast<FontRecord*>(AllocMemory(sizeof(FontRecord), 1));
  if (!record) return ERR_MEM;
  record->scaleX = record->scaleY = 1.0;
  record->usePoints = usePoints;

  int ok = 0;
  if (engine == FONTENGINE_NATIVE) {
    if (CompareNoCase(useName, "topaz") == 0 && size == 8) {
      FreeMemory(record);
      *out = &topazRecord;
      return ERR_NONE;
    }
    if (tryBitmap && !usePoints) {
      char path[FONT_NAME_SIZE];
      bool found = false;
      if (IsChunkName(useName)) {
        found = std::strlen(useName) < sizeof path;
        if (found) std::strcpy(path, useName);
      } else {
        found = FindFontFile(useName, path, sizeof path) != 0;
      }
      if (found) ok = OpenBitmapFont(path, size, record, useName);
    }
    if (!ok && tryTrueType) ok = OpenTrueTypeFont(useName, size, cache, record);
  } else {
    ok = OpenTrueTypeFont(useName, size, cache, record);
  }
  if (!ok) {
    FreeMemory(record);
    char message[FONT_NAME_SIZE + 64];
    std::snprintf(message, sizeof message, "Cannot open font %s with size %d!",
                  GetDisplayFileName(name), size);
    SetErrorArgString(message);
    return ERR_OPENFONT;
  }
  *out = record;
  return ERR_NONE;
}

void CloseFontRecord(FontRecord* record) {
  if (!record || record == &topazRecord) return;
  // Vector engines' handles of the font go with it.
  ReleaseFontVectorHandles(record);
  switch (record->type) {
    case FONT_BITMAP:
    case FONT_COLOR:
      FreeBitmapFontData(record);
      break;
    case FONT_TRUETYPE:
      CloseTrueTypeFont(record);
      break;
    default:
      break;
  }
  FreeMemory(record);
}

int32_t MeasureFontText(FontRecord* record, const char* text, size_t length, int32_t style,
                        int32_t encoding, TextExtent* extent) {
  if (!record) record = &topazRecord;
  if (record->type == FONT_TRUETYPE)
    return MeasureTrueTypeText(record, text, length, style, encoding, extent);
  if ((record->type == FONT_BITMAP || record->type == FONT_COLOR) && !record->native)
    return MeasureBitmapText(record, text, length, style, encoding, extent);
  return 0;
}

int32_t DrawFontText(FontRecord* record, BitmapHandle* target, BitmapHandle* maskTarget, int32_t x,
                     int32_t y, const char* text, size_t length, int32_t style, int32_t encoding,
                     const FontClip* clip, int64_t colour) {
  if (!record) record = &topazRecord;
  if (record->type == FONT_TRUETYPE)
    return DrawTrueTypeText(record, target, maskTarget, x, y, text, length, style, encoding, clip,
                            colour);
  if ((record->type == FONT_BITMAP || record->type == FONT_COLOR) && !record->native)
    return DrawBitmapText(record, target, maskTarget, x, y, text, length, style, encoding, clip,
                          colour);
  return 0;
}

void SetFontScale(FontRecord* record, double scaleX, double scaleY) {
  if (!record || !record->scalable) return;
  if (record->scaleX == scaleX && record->scaleY == scaleY) return;
  record->scaleX = scaleX;
  record->scaleY = scaleY;
  auto ceiling = [](double v) { return VmTruncInt32(std::ceil(v)); };
  record->height = ceiling(scaleY * record->baseHeight);
  record->baseline = ceiling(scaleY * record->baseBaseline);
  if (record->type == FONT_TRUETYPE) SetTrueTypeScale(record, scaleX, scaleY);
}

int32_t GetFontKerning(FontRecord* record, const char* text, size_t length, int32_t encoding) {
  if (record && record->type == FONT_TRUETYPE)
    return GetTrueTypeKerning(record, text, length, encoding);
  return 0;
}

void FlushFontGlyphCache(FontRecord* record) {
  if (record) FlushTrueTypeCache(record);
}

int FindFontFile(const char* name, char* path, size_t pathSize) {
  if (!name || !*name || name[0] == '/') return 0;
  char file[FONT_NAME_SIZE];
  int n = std::snprintf(file, sizeof file, "%s%s", name, endsWithFont(name) ? "" : ".font");
  if (n < 0 || size_t(n) >= sizeof file) return 0;

  char candidate[FONT_NAME_SIZE];
  const FontPathNode* paths = GetFontPathList();
  for (const FontPathNode* p = paths; p; p = p->next) {
    std::snprintf(candidate, sizeof candidate, "%s", p->path);
    if (AddPart(candidate, file, sizeof candidate) && tryCandidate(candidate, path, pathSize))
      return 1;
  }
  if (!paths && tryCandidate(file, path, pathSize)) return 1;
  for (const char* dir : {"Fonts/", "FONTS/", "fonts/"}) {
    n = std::snprintf(candidate, sizeof candidate, "%s%s", dir, file);
    if (n > 0 && size_t(n) < sizeof candidate && tryCandidate(candidate, path, pathSize)) return 1;
  }
  return 0;
}

ErrorCode Utf8ToUcs4(const char* bytes, size_t length, int32_t isUtf8, uint32_t* buffer,
                     size_t bufferCount, uint32_t** out, size_t* count, int32_t* allocated) {
  *out = nullptr;
  *count = 0;
  *allocated = 0;
  if (!isUtf8) return UCS4_NOT_DECODED;
  uint32_t* array = buffer;
  if (!array || bufferCount < length) {
    array = static_cast<uint32_t*>(AllocMemoryArray(length ? length : 1, sizeof(uint32_t), 0));
    if (!array) return ERR_MEM;
  }
  bool own = array != buffer;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(bytes);
  size_t i = 0, n = 0;
  while (i < length) {
    uint8_t lead = p[i++];
    if (lead < 0x80) {
      array[n++] = lead;
      continue;
    }
    int ones = 0;
    while (ones < 8 && (lead & (0x80 >> ones))) ones++;
    // 10xxxxxx cannot lead; six or more leading ones are no sequence.
    if (ones < 2 || ones > 5 || length - i < size_t(ones - 1)) {
      if (own) FreeMemory(array);
      return UCS4_NOT_DECODED;
    }
    uint32_t c = lead & ((1u << (7 - ones)) - 1);
    for (int k = 1; k < ones; k++) {
      uint8_t b = p[i++];
      if (b < 0x80) {
        if (own) FreeMemory(array);
        return UCS4_NOT_DECODED;
      }
      c = c << 6 | (b & 0x3F);
    }
    array[n++] = c;
  }
  *out = array;
  *count = n;
  *allocated = own ? 1 : 0;
  return ERR_NONE;
}

void FreeUcs4Buffer(uint32_t* array) { FreeMemory(array); }
