// Image files written from 32-bit pixels: the BMP writer, the dispatch to
// the codecs of the other built-in formats (installed by the media folder)
// and to the image-saver plug-ins, the conversion of bitmaps with their
// masks and alpha channels, and the save options that scripts pass.
//
// Invariant: every error closes the file and frees what was allocated; a
// size whose file could not be described is refused before anything is
// written.
#include <cstring>

#include "engine/engine.h"
#include "gfx/effects_private.h"
#include "gfx/gfx.h"
#include "plugins/plugins.h"
#include "runtime/runtime.h"

namespace {

enum : int32_t { FORMAT_BMP = 0, FORMAT_PNG = 1, FORMAT_JPEG = 2, FORMAT_GIF = 3, FORMAT_ILBM = 4 };
constexpr uint32_t BMP_HEADER_BYTES = 54;

const ImageFileWriters* writers = nullptr;

void put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
  put16(p, v & 0xFFFF);
  put16(p + 2, v >> 16);
}

StreamHandle* openForWriting(const char* fileName) {
  StreamHandle* s = OpenFileStream(fileName, STREAM_WRITE, nullptr);
  if (!s) SetErrorArgString(fileName);
  return s;
}

ErrorCode closeWritten(StreamHandle* s, ErrorCode error) {
  if (!CloseFileStream(s) && error == ERR_NONE) return ERR_CLOSEFILE;
  return error;
}

// 24-bit bottom-up rows, each padded by (width mod 4) zero bytes.
ErrorCode writeBmp(const uint32_t* pixels, int32_t width, int32_t height, const char* fileName) {
  if (width < 1 || height < 1) return ERR_WRONGUSAGE;
  const uint64_t rowBytes = static_cast<uint64_t>(width) * 3 + static_cast<uint64_t>(width % 4);
  const uint64_t fileSize = BMP_HEADER_BYTES + rowBytes * static_cast<uint64_t>(height);
  if (fileSize > UINT32_MAX) return ERR_WRONGUSAGE;  // the header cannot hold the size
  auto* row = static_cast<uint8_t*>(AllocMemory(static_cast<size_t>(rowBytes), 1));
  if (!row) return ERR_MEM;
  StreamHandle* s = openForWriting(fileName);
  if (!s) {
    FreeMemory(row);
    return ERR_WRITEFILE;
  }
  uint8_t header[BMP_HEADER_BYTES] = {'B', 'M'};
  put32(header + 2, static_cast<uint32_t>(fileSize));
  put32(header + 10, BMP_HEADER_BYTES);
  put32(header + 14, 40);
  put32(header + 18, static_cast<uint32_t>(width));
  put32(header + 22, static_cast<uint32_t>(height));
  put16(header + 26, 1);
  put16(header + 28, 24);
  ErrorCode error = ERR_NONE;
  if (WriteStream(s, header, sizeof header) != sizeof header) error = ERR_WRITE;
  for (int32_t y = height - 1; y >= 0 && error == ERR_NONE; --y) {
    const uint32_t* p = pixels + static_cast<size_t>(y) * static_cast<size_t>(width);
    for (int32_t x = 0; x < width; ++x) {
      row[3 * x] = static_cast<uint8_t>(p[x]);
      row[3 * x + 1] = static_cast<uint8_t>(p[x] >> 8);
      row[3 * x + 2] = static_cast<uint8_t>(p[x] >> 16);
    }
    if (WriteStream(s, row, static_cast<size_t>(rowBytes)) != rowBytes) error = ERR_WRITE;
  }
  FreeMemory(row);
  return closeWritten(s, error);
}

ErrorCode writeJpeg(const uint32_t* pixels, int32_t width, int32_t height, const char* fileName,
                    int32_t quality) {
  StreamHandle* s = openForWriting(fileName);
  if (!s) return ERR_WRITEFILE;
  void* holder = nullptr;
  const uint8_t* data = nullptr;
  size_t length = 0;
  ErrorCode error = writers->jpeg(pixels, width, height, quality, &holder, &data, &length);
  if (error == ERR_NONE && WriteStream(s, data, length) != length) error = ERR_WRITE;
  writers->releaseJpeg(holder);
  return closeWritten(s, error);
}

// Pens and palette of the pixels reduced to at most colors entries; the
// key colour (not -1) gets an index of its own, reported in *keyIndex.
ErrorCode quantize(const uint32_t* pixels, int32_t width, int32_t height, int64_t keyColour,
                   int32_t colors, int32_t dither, uint8_t** pens, uint32_t palette[256],
                   int32_t* count, int32_t* keyIndex) {
  *pens = static_cast<uint8_t*>(
      AllocMemoryArray(static_cast<size_t>(width), static_cast<size_t>(height), 0));
  if (!*pens) return ERR_MEM;
  std::memset(palette, 0, 256 * sizeof(uint32_t));
  *count = colors < 1 ? 1 : colors > 256 ? 256 : colors;
  *keyIndex = -1;
  int32_t key = keyColour < 0 ? -1 : static_cast<int32_t>(keyColour & 0xFFFFFF);
  if (!QuantizeBitmapPixels(pixels, PIXFMT_ARGB32, 4, width, height, width, *pens, palette, count,
                            key, 0, dither, keyIndex)) {
    FreeMemory(*pens);
    *pens = nullptr;
    return ERR_MEM;
  }
  if (key == -1) *keyIndex = -1;
  return ERR_NONE;
}

ErrorCode writeGif(const uint32_t* pixels, int32_t width, int32_t height, const char* fileName,
                   int64_t keyColour, int32_t colors, int32_t dither) {
  uint8_t* pens = nullptr;
  uint32_t palette[256];
  int32_t count = 0, keyIndex = -1;
  if (ErrorCode e = quantize(pixels, width, height, keyColour, colors, dither, &pens, palette,
                             &count, &keyIndex))
    return e;
  ErrorCode e = writers->gif(fileName, pens, width, height, palette, count, keyIndex);
  FreeMemory(pens);
  return e;
}

// Any other format id goes to the image-saver plug-in that registered it:
// palette formats get the picture quantised as for GIF, true-colour ones
// the words themselves.
ErrorCode writeThroughPlugin(int32_t format, const uint32_t* pixels, int32_t width, int32_t height,
                             const char* fileName, int64_t keyColour, int32_t hasAlpha,
                             int32_t quality, int32_t colors, int32_t dither) {
  SaverFormat saver;
  if (ErrorCode e = FindImageSaverFormat(format, &saver)) return e;
  if (width < 1 || height < 1) return ERR_WRONGUSAGE;
  QmImageSaveRequest request = {};
  request.width = width;
  request.height = height;
  request.formatId = format;
  request.quality = quality;
  if (saver.flags & QM_SAVER_TRUECOLOR) {
    request.pixels = const_cast<uint32_t*>(pixels);
    request.bytesPerRow = width * 4;
    if (hasAlpha && (saver.flags & QM_SAVER_ALPHA)) request.flags |= QM_IMAGESAVE_ALPHA;
    return CallImageSaver(&saver, fileName, &request);
  }
  uint8_t* pens = nullptr;
  uint32_t palette[256];
  int32_t count = 0, keyIndex = -1;
  if (ErrorCode e = quantize(pixels, width, height, keyColour, colors, dither, &pens, palette,
                             &count, &keyIndex))
    return e;
  request.pixels = pens;
  request.palette = palette;
  request.bytesPerRow = width;
  request.colourCount = count;
  request.transparentIndex = keyIndex;
  if (keyIndex != -1) request.flags |= QM_IMAGESAVE_TRANSINDEX;
  ErrorCode e = CallImageSaver(&saver, fileName, &request);
  FreeMemory(pens);
  return e;
}

}  // namespace

void SetImageFileWriters(const ImageFileWriters* table) { writers = table; }

ErrorCode WriteImageFile(int32_t format, const uint32_t* pixels, int32_t width, int32_t height,
                         const char* fileName, int64_t keyColour, int32_t hasAlpha, int32_t quality,
                         int32_t colors, int32_t dither) {
  if (format == FORMAT_BMP) return writeBmp(pixels, width, height, fileName);
  if (format > FORMAT_ILBM || format < 0)
    return writeThroughPlugin(format, pixels, width, height, fileName, keyColour, hasAlpha, quality,
                              colors, dither);
  if (!writers) return ERR_UNKNOWNIMGOUT;
  if (width < 1 || height < 1) return ERR_WRONGUSAGE;
  switch (format) {
    case FORMAT_PNG: {
      ErrorCode e = writers->png(fileName, pixels, width, height, hasAlpha);
      if (e) SetErrorArgString(fileName);
      return e;
    }
    case FORMAT_JPEG:
      return writeJpeg(pixels, width, height, fileName, quality);
    case FORMAT_GIF:
      return writeGif(pixels, width, height, fileName, keyColour, colors, dither);
    default:
      return writers->ilbm(fileName, pixels, width, height);
  }
}

ErrorCode SaveBitmapImage(int32_t format, BitmapHandle* bitmap, int32_t width, int32_t height,
                          const char* fileName, BitmapHandle* mask, int64_t keyColour,
                          BitmapHandle* alpha, int32_t quality, int32_t colors, int32_t dither,
                          int32_t withAlpha) {
  uint32_t* pixels = nullptr;
  int32_t hasAlpha = 0;
  if (withAlpha && (mask || alpha)) {
    // Opacity from the mask (255 where set) or else the alpha channel.
    pixels = BitmapToARGBWithAlpha(bitmap, mask, alpha, width, height);
    if (!pixels) return ERR_MEM;
    hasAlpha = 1;
  } else if (withAlpha) {
    if (ErrorCode e = BitmapToARGB(bitmap, 0, 0, width, height, &hasAlpha, &pixels)) return e;
  } else {
    pixels = ReadBitmapRectARGBMasked(bitmap, 0, 0, width, height, mask, alpha, keyColour, 0, 1);
    if (!pixels) return ERR_MEM;
    hasAlpha = alpha != nullptr;
  }
  ErrorCode e = WriteImageFile(format, pixels, width, height, fileName, keyColour, hasAlpha,
                               quality, colors, dither);
  FreeMemory(pixels);
  return e;
}

ErrorCode ReadImageSaveOptions(VmState* L, int index, int32_t* quality, int32_t* colors,
                               int32_t* dither) {
  if (VmGetTop(L) >= index && VmType(L, index) == VM_TYPE_TABLE) {
    int found = 0;
    GetTableFieldInt(L, index, "quality", quality, &found);
    GetTableFieldInt(L, index, "colors", colors, &found);
    GetTableFieldInt(L, index, "dither", dither, &found);
    return ERR_NONE;
  }
  *quality = VmOptInteger(L, index, 90);
  return ERR_NONE;
}
