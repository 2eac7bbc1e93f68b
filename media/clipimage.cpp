// Pictures of the X11 clipboard as PNG bytes and back: the codec that the
// composition root installs with the platform (SetClipboardImageCodec).
// The bytes pass through a temporary file, written and read whole, which is
// removed on every path.
#include <cstdio>

#include "gfx/gfx.h"
#include "media/media.h"
#include "platform/linux/platform.h"
#include "runtime/runtime.h"

// The offered picture: its pixels (with the mask or alpha channel as
// alpha) written as a PNG into a temporary file and read back whole.
ErrorCode EncodeClipboardPicture(const ClipboardRecord* record, uint8_t** bytes, size_t* length) {
  if (!record->bitmap || record->width < 1 || record->height < 1) return ERR_BITMAP;
  OwnedMemory<> pixels(ReadBitmapRectARGBMasked(record->bitmap, 0, 0, record->width, record->height,
                                                record->mask, record->alpha, -1, 1, 0));
  if (!pixels) return ERR_MEM;
  char name[NATIVE_PATH_MAX];
  if (!CreateTempFile(name, sizeof name)) {
    SetErrorArgString(name);
    return ERR_WRITEFILE;
  }
  int32_t alpha = record->mask || record->alpha ? 1 : 0;
  ErrorCode error = SaveARGBAsPng(name, static_cast<const uint32_t*>(pixels.get()), record->width,
                                  record->height, alpha);
  if (error == ERR_NONE) {
    std::FILE* f = std::fopen(name, "rb");
    error = ERR_READFILE;
    if (f && std::fseek(f, 0, SEEK_END) == 0) {
      long size = std::ftell(f);
      if (size > 0 && std::fseek(f, 0, SEEK_SET) == 0) {
        OwnedMemory<> data(AllocMemory(static_cast<size_t>(size), 0));
        if (!data) {
          error = ERR_MEM;
        } else if (std::fread(data.get(), 1, static_cast<size_t>(size), f) ==
                   static_cast<size_t>(size)) {
          *bytes = static_cast<uint8_t*>(data.release());
          *length = static_cast<size_t>(size);
          error = ERR_NONE;
        }
      }
    }
    if (f) std::fclose(f);
    if (error == ERR_READFILE) SetErrorArgString(name);
  }
  std::remove(name);
  return error;
}

// PNG bytes into the record: a pixel bitmap without mask and, for a
// picture with alpha, an alpha channel.
ErrorCode DecodeClipboardPicture(const uint8_t* bytes, size_t length, ClipboardRecord* dest) {
  char name[NATIVE_PATH_MAX];
  if (!CreateTempFile(name, sizeof name)) {
    SetErrorArgString(name);
    return ERR_WRITEFILE;
  }
  std::FILE* f = std::fopen(name, "wb");
  if (!f) {
    std::remove(name);
    SetErrorArgString(name);
    return ERR_WRITEFILE;
  }
  bool written = std::fwrite(bytes, 1, length, f) == length;
  if (std::fclose(f) != 0) written = false;
  if (!written) {
    std::remove(name);
    return ERR_WRITE;
  }
  DecodedImage* image = nullptr;
  int32_t width = 0, height = 0, hasAlpha = 0;
  ErrorCode error = LoadImageFile(name, nullptr, nullptr, nullptr, -1, 0, &image, nullptr, nullptr,
                                  &width, &height, &hasAlpha, nullptr, nullptr);
  if (error != ERR_NONE || !image) {
    FreeDecodedImage(image);
    std::remove(name);
    SetErrorArgString(name);
    return ERR_LOADPICTURE2;
  }
  std::remove(name);
  BitmapHandle *bitmap = nullptr, *alpha = nullptr;
  error = CreateBitmapFromRGB(GetDecodedImagePixels(image), -1, width, height, width, 0,
                              hasAlpha ? 8u : 0u, nullptr, &bitmap, nullptr,
                              hasAlpha ? &alpha : nullptr);
  FreeDecodedImage(image);
  if (error != ERR_NONE) return error;
  if (hasAlpha && !alpha) {
    FreeBitmap(bitmap);
    return ERR_ALLOCALPHA;
  }
  dest->bitmap = bitmap;
  dest->alpha = alpha;
  dest->mask = nullptr;
  dest->width = width;
  dest->height = height;
  return ERR_NONE;
}
