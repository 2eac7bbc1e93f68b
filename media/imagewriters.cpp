// The codecs behind the graphics library's image writer (WriteImageFile):
// PNG, JPEG to memory, one-frame GIF and ILBM, handed to gfx/ as one table
// when the media folder's context is built, since gfx/ lies below media/.
#include "gfx/gfx.h"
#include "media/image_private.h"
#include "media/media.h"

namespace {

ErrorCode writePng(const char* fileName, const uint32_t* pixels, int32_t width, int32_t height,
                   int32_t alpha) {
  return SaveARGBAsPng(fileName, pixels, width, height, alpha);
}

ErrorCode encodeJpeg(const uint32_t* pixels, int32_t width, int32_t height, int32_t quality,
                     void** holder, const uint8_t** data, size_t* length) {
  JpegEncodeRequest request{};
  request.pixels = pixels;
  request.bytesPerRow = static_cast<size_t>(width) * 4;
  request.width = width;
  request.height = height;
  request.quality = quality;
  EncodeJpegToMemory(&request);
  *holder = request.holder;
  *data = request.data;
  *length = request.length;
  return request.result;
}

void releaseJpeg(void* holder) { FreeJpegBuffer(static_cast<JpegBuffer*>(holder)); }

ErrorCode writeGif(const char* fileName, uint8_t* pens, int32_t width, int32_t height,
                   uint32_t* palette, int32_t colourCount, int32_t transparentPen) {
  GifWriter* writer = nullptr;
  if (ErrorCode e = OpenGifWriter(fileName, width, height, &writer)) return e;
  ErrorCode e =
      WriteGifAnimFrame(writer, pens, width, height, 0, palette, colourCount, transparentPen, 0, 0);
  ErrorCode closed = CloseGifWriter(writer);
  return e ? e : closed;
}

const ImageFileWriters WRITERS{writePng, encodeJpeg, releaseJpeg, writeGif, WriteIlbmImage};

}  // namespace

void InstallImageFileWriters() { SetImageFileWriters(&WRITERS); }
