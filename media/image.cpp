// The image file layer: identifies a picture file from its leading bytes,
// answers size and alpha questions from the headers, and decodes the file
// through the built-in codecs (or the platform's native loader) into a
// DecodedImage. Invariant: every failure closes the stream and frees the
// holder, so no partial DecodedImage is ever handed out.
#include <strings.h>

#include <cstring>

#include "media/image_private.h"
#include "media/media.h"

namespace {

constexpr size_t IDENTIFY_BYTES = 1024;  // header buffer of identification
constexpr size_t DETECT_BYTES = 64;      // header buffer of format detection
// An id is looked for only where the fields read behind it still lie in
// the header buffer: BMHD needs 18 bytes, IHDR 14.
constexpr size_t BMHD_FIELDS = 18;
constexpr size_t IHDR_FIELDS = 14;
constexpr size_t GIF_SCAN_START_MAX = 799;
constexpr size_t GIF_SCAN_END = 999;

// A limit the program and the fuzz targets set for the process; no run state.
size_t pixelLimit = IMAGE_DEFAULT_MAX_PIXELS;

uint32_t be16(const uint8_t* p) { return (uint32_t{p[0]} << 8) | p[1]; }
uint32_t be32(const uint8_t* p) { return (be16(p) << 16) | be16(p + 2); }
uint32_t le16(const uint8_t* p) { return p[0] | (uint32_t{p[1]} << 8); }
uint32_t le32(const uint8_t* p) { return le16(p) | (le16(p + 2) << 16); }

// Finds a 4-byte id in the header buffer, followed by at least `fields`
// bytes (the id included).
long findId(const uint8_t* buffer, const char* id, size_t fields) {
  for (size_t i = 0; i + fields <= IDENTIFY_BYTES; i++)
    if (std::memcmp(buffer + i, id, 4) == 0) return static_cast<long>(i);
  return -1;
}

// Reads n bytes; false when the stream ends first.
bool readExact(StreamHandle* s, void* buffer, size_t n) { return ReadStream(s, buffer, n) == n; }

// 16- and 32-bit reads in a chosen byte order; false at the end of data.
bool read16(StreamHandle* s, bool bigEndian, uint32_t* value) {
  uint8_t b[2];
  if (!readExact(s, b, 2)) return false;
  *value = bigEndian ? be16(b) : le16(b);
  return true;
}
bool read32(StreamHandle* s, bool bigEndian, uint32_t* value) {
  uint8_t b[4];
  if (!readExact(s, b, 4)) return false;
  *value = bigEndian ? be32(b) : le32(b);
  return true;
}
bool skip(StreamHandle* s, int64_t n) { return n == 0 || SeekFileStream(s, n, 0) >= 0; }

// Orientation values outside 1..8 are not defined by Exif: they count as 1.
int32_t normaliseOrientation(uint32_t value) {
  return value >= 1 && value <= 8 ? static_cast<int32_t>(value) : 1;
}

// One APP1 segment whose length comes next. The byte order of an earlier
// Exif segment carries over to one without an order mark.
void processExifSegment(StreamHandle* s, int32_t* orientation, int* byteOrder) {
  uint32_t length;
  if (!read16(s, true, &length)) return;
  int64_t start = SeekFileStream(s, 0, 0);
  if (start < 0) return;
  int64_t end = start + static_cast<int64_t>(length) - 2;
  uint8_t head[6];
  if (length >= 8 && readExact(s, head, 6) && std::memcmp(head, "Exif", 4) == 0) {
    int64_t tiff = SeekFileStream(s, 0, 0);
    uint8_t order[4];
    if (tiff >= 0 && readExact(s, order, 4)) {
      if (order[0] == 'I' && order[1] == 'I')
        *byteOrder = 1;
      else if (order[0] == 'M' && order[1] == 'M')
        *byteOrder = 2;
      uint32_t offset, count;
      bool big = *byteOrder == 2;
      if (*byteOrder && read32(s, big, &offset) && SeekFileStream(s, tiff + offset, 1) >= 0 &&
          read16(s, big, &count)) {
        for (uint32_t i = 0; i < count && *orientation == 0; i++) {
          uint32_t tag, value;
          if (!read16(s, big, &tag) || !skip(s, 6)) break;
          if (tag == 0x0112) {
            if (!read16(s, big, &value)) break;
            *orientation = normaliseOrientation(value);
            skip(s, 2);
          } else if (!skip(s, 4)) {
            break;
          }
        }
      }
    }
  }
  if (end >= 0) SeekFileStream(s, end, 1);
}

// Walks the JPEG markers from offset 2 to the first frame header.
ErrorCode identifyJpeg(StreamHandle* s, int32_t* width, int32_t* height, int32_t* orientation) {
  int byteOrder = 0;
  uint8_t first[2];
  if (SeekFileStream(s, 2, 1) < 0 || !readExact(s, first, 2)) return ERR_LOADPICTURE2;
  int64_t skipBytes = 0;
  if (first[0] == 0xFF && first[1] == 0xE1) {
    processExifSegment(s, orientation, &byteOrder);
  } else {
    uint32_t length;
    if (!read16(s, true, &length) || length < 2) return ERR_LOADPICTURE2;
    skipBytes = static_cast<int64_t>(length) - 2;
  }
  for (;;) {
    if (!skip(s, skipBytes)) return ERR_LOADPICTURE2;
    skipBytes = 0;
    int marker;
    for (;;) {
      int c;
      do {
        c = ReadStreamByte(s);
        if (c < 0) return ERR_LOADPICTURE2;
      } while (c != 0xFF);
      do {
        c = ReadStreamByte(s);
        if (c < 0) return ERR_LOADPICTURE2;
      } while (c == 0xFF);
      if (c != 0) {
        marker = c;
        break;
      }
    }
    if ((marker >= 0xC0 && marker <= 0xCE && marker != 0xC4 && marker != 0xCC) || marker == 0xDE) {
      uint32_t h, w;
      if (!skip(s, 3) || !read16(s, true, &h) || !read16(s, true, &w)) return ERR_LOADPICTURE2;
      *width = static_cast<int32_t>(w);
      *height = static_cast<int32_t>(h);
      // Four components are CMYK, which the decoder never turns: the size
      // reported here is the size it delivers.
      int components = ReadStreamByte(s);
      if (*orientation > 4 && components != 4) {
        *width = static_cast<int32_t>(h);
        *height = static_cast<int32_t>(w);
      }
      return 0;
    }
    if (marker == 0xE1) {
      processExifSegment(s, orientation, &byteOrder);
      continue;
    }
    uint32_t length;
    // A length below 2 would step backwards and never end.
    if (!read16(s, true, &length) || length < 2) return ERR_LOADPICTURE2;
    skipBytes = static_cast<int64_t>(length) - 2;
  }
}

// A grey, RGB or palette PNG has alpha when a "tRNS" chunk comes before
// "IEND": the decoder turns that chunk into an alpha channel for each of
// these colour types, so the information request must say so too.
int32_t pngHasTrns(StreamHandle* s) {
  if (SeekFileStream(s, 8, 1) < 0) return 0;
  for (;;) {
    uint32_t length;
    uint8_t type[4];
    if (!read32(s, true, &length) || !readExact(s, type, 4)) return 0;
    if (std::memcmp(type, "IEND", 4) == 0) return 0;
    if (std::memcmp(type, "tRNS", 4) == 0) return 1;
    if (SeekFileStream(s, static_cast<int64_t>(length) + 4, 0) < 0 || IsStreamEOF(s)) return 0;
  }
}

// A TIFF field's value by its type: SHORT (3) in the first two bytes of the
// value word, LONG (4) the whole word; other types are read as SHORT.
bool readTiffValue(StreamHandle* s, bool big, uint32_t type, uint32_t* value) {
  if (type == 4) return read32(s, big, value);
  return read16(s, big, value) && skip(s, 2);
}

ErrorCode identifyTiff(StreamHandle* s, bool big, int32_t* width, int32_t* height,
                       int32_t* hasAlpha) {
  uint32_t offset, count;
  if (SeekFileStream(s, 4, 1) < 0 || !read32(s, big, &offset) ||
      SeekFileStream(s, static_cast<int64_t>(offset), 1) < 0 || !read16(s, big, &count) ||
      count == 0)
    return ERR_LOADPICTURE2;
  bool sizeFound = false, rgb = false;
  uint32_t samples = 0;
  for (uint32_t i = 0; i < count; i++) {
    uint32_t tag, type, value;
    if (!read16(s, big, &tag) || !read16(s, big, &type) || !skip(s, 4)) break;
    switch (tag) {
      case 0x0106:
        if (!readTiffValue(s, big, type, &value)) return ERR_LOADPICTURE2;
        rgb = value == 2;
        break;
      case 0x0100:
      case 0x0101:
        if (!readTiffValue(s, big, type, &value)) return ERR_LOADPICTURE2;
        *(tag == 0x0100 ? width : height) = static_cast<int32_t>(value);
        sizeFound = true;
        break;
      case 0x0115:
        if (!readTiffValue(s, big, type, &value)) return ERR_LOADPICTURE2;
        samples = value;
        break;
      default:
        if (!skip(s, 4)) return ERR_LOADPICTURE2;
    }
  }
  if (!sizeFound) return ERR_LOADPICTURE2;
  *hasAlpha = rgb && samples == 4;
  return 0;
}

// The transparent-colour flag of a GIF, from the header buffer alone.
int32_t gifDeclaresTransparency(const uint8_t* b) {
  size_t pos = 13;
  if (b[10] & 0x80) pos += 3 * (size_t{1} << ((b[10] & 7) + 1));
  if (pos > GIF_SCAN_START_MAX) return 0;
  while (pos <= GIF_SCAN_END && b[pos] == 0x21) {
    if (b[pos + 1] == 0xF9) return b[pos + 2] > 3 ? (b[pos + 3] & 1) : 0;
    pos += 2;
    while (pos <= GIF_SCAN_END && b[pos] != 0) pos += size_t{b[pos]} + 1;
    if (pos > GIF_SCAN_END) return 0;
    pos++;
  }
  return 0;
}

// The loader string's admission test: null, "" and "default" admit every
// loader; otherwise one of the "|"-separated items must name it (case-less).
// The runtime's loader-list service is not in the tree yet; this follows its
// admission rule for the two built-in classes.
bool loaderAdmits(const char* loader, const char* name) {
  if (!loader || !*loader || strcasecmp(loader, "default") == 0) return true;
  size_t n = std::strlen(name);
  const char* p = loader;
  while (*p) {
    const char* bar = std::strchr(p, '|');
    size_t len = bar ? static_cast<size_t>(bar - p) : std::strlen(p);
    if (len == n && strncasecmp(p, name, n) == 0) return true;
    if (!bar) break;
    p = bar + 1;
  }
  return false;
}

}  // namespace

size_t SetImagePixelLimit(size_t pixels) {
  size_t old = pixelLimit;
  pixelLimit = pixels ? pixels : IMAGE_DEFAULT_MAX_PIXELS;
  return old;
}

int64_t StreamBytesLeft(StreamHandle* stream) {
  const int64_t total = GetStreamSize(stream);
  const int64_t here = SeekFileStream(stream, 0, 0);
  return total < 0 || here < 0 || here > total ? -1 : total - here;
}

ErrorCode ImagePixelCount(int64_t width, int64_t height, size_t* count) {
  if (width < 1 || height < 1 || width > IMAGE_MAX_SIDE || height > IMAGE_MAX_SIDE)
    return ERR_LOADPICTURE2;
  size_t n;
  if (__builtin_mul_overflow(static_cast<size_t>(width), static_cast<size_t>(height), &n) ||
      n > pixelLimit)
    return ERR_LOADPICTURE2;
  *count = n;
  return 0;
}

uint32_t* AllocImagePixels(int64_t width, int64_t height, int clear, ErrorCode* error) {
  size_t count;
  *error = ImagePixelCount(width, height, &count);
  if (*error) return nullptr;
  auto* pixels = static_cast<uint32_t*>(AllocMemoryArray(count, sizeof(uint32_t), clear));
  if (!pixels) *error = ERR_MEM;
  return pixels;
}

ErrorCode IdentifyImageFile(StreamHandle* stream, int32_t* format, int32_t* width, int32_t* height,
                            int32_t* hasAlpha, int32_t* hasTransparentColour,
                            int32_t* orientation) {
  uint8_t b[IDENTIFY_BYTES];
  std::memset(b, 0, sizeof b);
  ReadStream(stream, b, sizeof b);
  *hasTransparentColour = 0;
  if (std::memcmp(b, "FORM", 4) == 0 && std::memcmp(b + 8, "ILBM", 4) == 0) {
    long at = findId(b, "BMHD", BMHD_FIELDS);
    if (at < 0) return ERR_LOADPICTURE2;
    *width = static_cast<int32_t>(be16(b + at + 8));
    *height = static_cast<int32_t>(be16(b + at + 10));
    *hasAlpha = 0;
    *hasTransparentColour = b[at + 17] == 2;
    *format = IMGFMT_ILBM;
    return 0;
  }
  if (b[0] == 0xFF && b[1] == 0xD8) {
    ErrorCode e = identifyJpeg(stream, width, height, orientation);
    if (e) return e;
    *hasAlpha = 0;
    *format = IMGFMT_JPEG;
    return 0;
  }
  if (b[0] == 0x89 && std::memcmp(b + 1, "PNG", 3) == 0) {
    long at = findId(b, "IHDR", IHDR_FIELDS);
    if (at < 0) return ERR_LOADPICTURE2;
    *width = static_cast<int32_t>(be32(b + at + 4));
    *height = static_cast<int32_t>(be32(b + at + 8));
    uint8_t type = b[at + 13];
    *format = IMGFMT_PNG;
    *hasAlpha = type == 4 || type == 6;
    if (type == 0 || type == 2 || type == 3) *hasAlpha = pngHasTrns(stream);
    return 0;
  }
  if (b[0] == 'B' && b[1] == 'M') {
    auto h = static_cast<int32_t>(le32(b + 22));
    if (h == INT32_MIN) return ERR_LOADPICTURE2;  // no positive twin
    *width = static_cast<int32_t>(le32(b + 18));
    *height = h < 0 ? -h : h;
    *hasAlpha = 0;
    *format = IMGFMT_BMP;
    return 0;
  }
  bool tiffBig = std::memcmp(b, "MM\0*", 4) == 0;
  if (tiffBig || std::memcmp(b, "II*\0", 4) == 0) {
    *hasAlpha = 0;
    ErrorCode e = identifyTiff(stream, tiffBig, width, height, hasAlpha);
    if (e) return e;
    *format = IMGFMT_TIFF;
    return 0;
  }
  if (std::memcmp(b, "GIF87a", 6) == 0 || std::memcmp(b, "GIF89a", 6) == 0) {
    *width = static_cast<int32_t>(le16(b + 6));
    *height = static_cast<int32_t>(le16(b + 8));
    *hasAlpha = 0;
    *format = IMGFMT_GIF;
    *hasTransparentColour = gifDeclaresTransparency(b);
    return 0;
  }
  return ERR_LOADPICTURE2;
}

ErrorCode LoadImageFile(const char* fileName, const char* loader, const char* adapter,
                        const int32_t* basePalette, int32_t penColour, int32_t maskMode,
                        DecodedImage** image, uint32_t** palette, int32_t* transparentColour,
                        int32_t* width, int32_t* height, int32_t* hasAlpha, int32_t* isNative,
                        int32_t* format) {
  auto* holder = static_cast<DecodedImage*>(AllocMemory(sizeof(DecodedImage), 1));
  if (!holder) return ERR_MEM;
  const bool info = image == nullptr;
  const bool inbuilt = loaderAdmits(loader, "inbuilt");
  int32_t transparent = -1, alpha = 0, w = 0, h = 0, kind = IMGFMT_UNKNOWN;
  if (transparentColour) *transparentColour = -1;
  if (hasAlpha) *hasAlpha = 0;
  if (format) *format = IMGFMT_UNKNOWN;

  StreamHandle* stream = nullptr;
  auto openOrRewind = [&]() -> bool {
    if (stream) return SeekFileStream(stream, 0, 1) >= 0;
    stream = OpenFileStream(fileName, STREAM_READ | STREAM_ADAPTERS, adapter);
    return stream != nullptr;
  };
  auto fail = [&](ErrorCode e) {
    CloseFileStream(stream);
    FreeMemory(holder);
    if (e == ERR_LOADPICTURE2 || e == ERR_READFILE) SetErrorArgString(fileName);
    return e;
  };

  if (info && inbuilt) {
    if (!openOrRewind()) return fail(ERR_READFILE);
    int32_t declared = 0, orientation = 0;
    if (IdentifyImageFile(stream, &kind, width, height, hasAlpha, &declared, &orientation) == 0) {
      CloseFileStream(stream);
      FreeMemory(holder);
      if (format) *format = kind;
      if (transparentColour && declared) *transparentColour = 1;
      return 0;
    }
    kind = IMGFMT_UNKNOWN;
  }

  ErrorCode error = ERR_LOADPICTURE2;
  int32_t orientation = 0;
  if (inbuilt) {
    if (!openOrRewind()) return fail(ERR_READFILE);
    uint8_t b[DETECT_BYTES];
    std::memset(b, 0, sizeof b);
    ReadStream(stream, b, sizeof b);
    if (std::memcmp(b, "FORM", 4) == 0 && std::memcmp(b + 8, "ILBM", 4) == 0) {
      kind = IMGFMT_ILBM;
    } else if (b[0] == 0xFF && b[1] == 0xD8) {
      kind = IMGFMT_JPEG;
      int32_t f, iw, ih, ia, it;
      if (SeekFileStream(stream, 0, 1) >= 0)
        IdentifyImageFile(stream, &f, &iw, &ih, &ia, &it, &orientation);
    } else if (b[0] == 0x89 && std::memcmp(b + 1, "PNG", 3) == 0) {
      kind = IMGFMT_PNG;
    } else if (b[0] == 'B' && b[1] == 'M') {
      kind = IMGFMT_BMP;
    } else if (std::memcmp(b, "GIF87a", 6) == 0 || std::memcmp(b, "GIF89a", 6) == 0) {
      kind = IMGFMT_GIF;
    }
    if (SeekFileStream(stream, 0, 1) < 0) kind = IMGFMT_UNKNOWN;
    if (kind != IMGFMT_UNKNOWN && isNative) *isNative = 0;
  }

  uint32_t* pixels = nullptr;
  uint32_t** out = info ? nullptr : &pixels;
  if (kind != IMGFMT_UNKNOWN) {
    switch (kind) {
      case IMGFMT_BMP:
        error = ReadBmpImage(stream, info, &w, &h, out);
        break;
      case IMGFMT_PNG:
        error = ReadPng(stream, info, &w, &h, out, &alpha);
        break;
      case IMGFMT_JPEG:
        error = DecodeJpegImage(stream, nullptr, 0, info, orientation, &w, &h, out);
        break;
      case IMGFMT_GIF: {
        GifReader* reader = OpenGifReader(stream, &w, &h, nullptr, info, 1, maskMode == 2);
        stream = nullptr;  // the reader owns (and on failure has closed) it
        if (!reader) {
          error = info && w > 0 && h > 0 ? 0 : ERR_LOADPICTURE2;
          break;
        }
        int32_t hasTransparency = 0;
        pixels = ReadGifFrame(reader, 0, &hasTransparency);
        CloseGifReader(reader);
        error = pixels ? 0 : ERR_LOADPICTURE2;
        if (pixels && maskMode == 2 && hasTransparency) transparent = -2;
        break;
      }
      case IMGFMT_ILBM:
        error = ReadIlbmImage(stream, info, basePalette, penColour, maskMode == 1, maskMode == 2,
                              &transparent, &w, &h, out, palette);
        break;
    }
    // A built-in codec that ran out of memory says so; the native loader
    // is not asked to try again with less.
    if (error == ERR_MEM) return fail(ERR_MEM);
  }

  if (error) {
    if (!loaderAdmits(loader, "native")) return fail(ERR_LOADPICTURE2);
    if (!openOrRewind()) return fail(ERR_READFILE);
    error = NativeLoadImageStub(fileName, &holder->nativeHandle);
    if (error) return fail(error);
    kind = IMGFMT_NATIVE;
    if (isNative) *isNative = 1;
  }

  CloseFileStream(stream);
  holder->kind = kind;
  holder->pixels = pixels;
  if (format) *format = kind;
  if (info)
    FreeDecodedImage(holder);
  else
    *image = holder;
  if (width) *width = w;
  if (height) *height = h;
  if (hasAlpha) *hasAlpha = alpha;
  if (transparentColour) *transparentColour = transparent;
  return 0;
}

uint32_t* GetDecodedImagePixels(DecodedImage* image) {
  if (image->kind == IMGFMT_NATIVE)
    return static_cast<uint32_t*>(NativeImagePixelsStub(image->nativeHandle));
  return image->pixels;
}

void ReleaseDecodedImagePixels(DecodedImage* image) {
  if (image->kind == IMGFMT_NATIVE) {
    NativeImageReleaseStub(image->nativeHandle);
    image->nativeHandle = nullptr;
  } else {
    FreeMemory(image->pixels);
    image->pixels = nullptr;
  }
}

void SetDecodedImagePixels(DecodedImage* image, uint32_t* pixels) {
  ReleaseDecodedImagePixels(image);
  image->kind = IMGFMT_UNKNOWN;
  image->pixels = pixels;
  image->nativeHandle = nullptr;
}

void FreeDecodedImage(DecodedImage* image) {
  if (!image) return;
  ReleaseDecodedImagePixels(image);
  FreeMemory(image);
}
