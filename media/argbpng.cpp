// SaveARGBAsPng: a whole 32-bit picture into a PNG file through the PNG
// writer, for the savers of other folders (icon files and the like).
#include "media/image_private.h"
#include "media/media.h"

ErrorCode SaveARGBAsPng(const char* fileName, const uint32_t* pixels, int32_t width, int32_t height,
                        int32_t alpha) {
  PngWriteRequest request{};
  request.fileName = fileName;
  request.pixels = pixels;
  request.bytesPerRow = width > 0 ? static_cast<size_t>(width) * 4 : 0;
  request.width = width;
  request.height = height;
  request.alpha = alpha;
  WritePng(&request);
  if (request.result) SetErrorArgString(fileName);
  return request.result;
}
