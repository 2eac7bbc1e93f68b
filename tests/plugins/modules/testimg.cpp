// Test plug-in "testimg": an image loader of its own format, read through
// the host's stream layer: "QMTI", big-endian 16-bit width and height, a
// flags byte (bit 0: alpha), then width x height big-endian ARGB words.
// TestLiveImages() tells the tests how many images are still open. As an
// image saver it registers two formats: "qmti" (100, true colour with
// alpha) writes its own format, which it loads again; "qmti2" (101, a
// palette format) writes "QMTP", then width, height, colour count,
// transparent index and flags (host-order int32 each), the index rows and
// the colour table. A file name holding "refuse" is refused.
// A vector format of its own: "QMTV", big-endian 16-bit width and height.
// Its picture is a grid of cells half a pixel wide, each of its own colour,
// drawn at any scale by TransformImage; at its own size every pixel shows
// the cell under its centre.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "plugins/qmplugin.h"

namespace {

const PluginHostApi* host = nullptr;
int liveImages = 0;

struct Image {
  int32_t width;
  int32_t height;
  int32_t alpha;
  uint32_t* pixels;
  int32_t vector;  // a "QMTV" picture, drawn anew by TransformImage
};

uint32_t cellColour(int64_t i, int64_t j) {
  return 0xFF000000u | static_cast<uint32_t>((i * 53 + 11) & 255) << 16 |
         static_cast<uint32_t>((j * 97 + 29) & 255) << 8 |
         static_cast<uint32_t>((i * j * 13) & 255);
}

// Draws the vector picture scaled by sx and sy into width x height
// pixels; false when out of memory.
bool renderVector(Image* image, double sx, double sy, int32_t width, int32_t height) {
  size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
  auto* pixels = static_cast<uint32_t*>(host->system->allocMemory(count * 4, 0));
  if (!pixels) return false;
  for (int32_t y = 0; y < height; y++)
    for (int32_t x = 0; x < width; x++) {
      auto i = static_cast<int64_t>(2 * (x + 0.5) / sx);
      auto j = static_cast<int64_t>(2 * (y + 0.5) / sy);
      pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)] =
          cellColour(i, j);
    }
  host->system->freeMemory(image->pixels);
  image->pixels = pixels;
  return true;
}

// A "QMTV" picture of its own size; null when the file is not one.
Image* openVector(const char* name) {
  QmStream* s = host->file->openStream(name, 0);
  if (!s) return nullptr;
  uint8_t h[8];
  bool ours = host->file->readStream(s, h, 8) == 8 && std::memcmp(h, "QMTV", 4) == 0;
  host->file->closeStream(s);
  int32_t w = (h[4] << 8) | h[5], height = (h[6] << 8) | h[7];
  if (!ours || w < 1 || height < 1) return nullptr;
  auto* image = static_cast<Image*>(host->system->allocMemory(sizeof(Image), 1));
  if (!image) return nullptr;
  image->width = w;
  image->height = height;
  image->vector = 1;
  if (!renderVector(image, 1, 1, w, height)) {
    host->system->freeMemory(image);
    return nullptr;
  }
  return image;
}

// Reads the header; the stream is left after it. 0 when not ours.
QmStream* openHeader(const char* name, int32_t* width, int32_t* height, int32_t* alpha) {
  QmStream* s = host->file->openStream(name, 0);
  if (!s) return nullptr;
  uint8_t h[9];
  if (host->file->readStream(s, h, 9) != 9 || std::memcmp(h, "QMTI", 4) != 0) {
    host->file->closeStream(s);
    return nullptr;
  }
  *width = (h[4] << 8) | h[5];
  *height = (h[6] << 8) | h[7];
  *alpha = h[8] & 1;
  if (*width < 1 || *height < 1) {
    host->file->closeStream(s);
    return nullptr;
  }
  return s;
}

}  // namespace

extern "C" {

int InitPlugin(PluginBase* base, const PluginHostApi* api, const char*) {
  host = api;
  base->capabilities = PLUGINCAPS_IMAGE | PLUGINCAPS_SAVEIMAGE;
  base->version = 1;
  base->moduleName = "testimg";
  return 1;
}

void ClosePlugin() {}

int IsImage(const char* name, QmImageRequest* info) {
  if (Image* vector = openVector(name)) {
    info->width = vector->width;
    info->height = vector->height;
    info->depth = 32;
    info->type = 1;
    info->flags = 0;
    host->system->freeMemory(vector->pixels);
    host->system->freeMemory(vector);
    return 1;
  }
  int32_t w, h, a;
  QmStream* s = openHeader(name, &w, &h, &a);
  if (!s) return 0;
  host->file->closeStream(s);
  info->width = w;
  info->height = h;
  info->depth = 32;
  info->flags = a ? 2 : 0;
  return 1;
}

void* LoadImage(const char* name, QmImageRequest* request) {
  if (Image* vector = openVector(name)) {
    request->width = vector->width;
    request->height = vector->height;
    request->depth = 32;
    request->type = 1;
    request->transparency = -1;
    request->flags = 0;
    liveImages++;
    return vector;
  }
  int32_t w, h, a;
  QmStream* s = openHeader(name, &w, &h, &a);
  if (!s) return nullptr;
  size_t count = static_cast<size_t>(w) * static_cast<size_t>(h);
  auto* image = static_cast<Image*>(host->system->allocMemory(sizeof(Image), 1));
  auto* bytes = static_cast<uint8_t*>(host->system->allocMemory(count * 4, 0));
  if (!image || !bytes || host->file->readStream(s, bytes, count * 4) != count * 4) {
    host->system->freeMemory(bytes);
    host->system->freeMemory(image);
    host->file->closeStream(s);
    return nullptr;
  }
  host->file->closeStream(s);
  image->pixels = reinterpret_cast<uint32_t*>(bytes);
  for (size_t i = 0; i < count; i++) {
    const uint8_t* p = bytes + i * 4;
    image->pixels[i] =
        (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
  }
  image->width = w;
  image->height = h;
  image->alpha = a;
  request->width = w;
  request->height = h;
  request->depth = 32;
  request->transparency = -1;
  request->flags = a ? 2 : 0;
  liveImages++;
  return image;
}

uint32_t* GetImage(void* handle, QmImageRequest*) { return static_cast<Image*>(handle)->pixels; }

void FreeImage(void* handle) {
  auto* image = static_cast<Image*>(handle);
  host->system->freeMemory(image->pixels);
  host->system->freeMemory(image);
  liveImages--;
}

// parameters: the 2 x 2 matrix, then the target width and height. Only
// scales are drawn; pixel pictures cannot be transformed.
int TransformImage(void* handle, const double* parameters) {
  auto* image = static_cast<Image*>(handle);
  if (!image->vector || parameters[1] != 0 || parameters[2] != 0 || parameters[0] <= 0 ||
      parameters[3] <= 0)
    return 0;
  return renderVector(image, parameters[0], parameters[3], static_cast<int32_t>(parameters[4]),
                      static_cast<int32_t>(parameters[5]));
}

int TestLiveImages() { return liveImages; }

uint32_t RegisterImageSaver(SaverFormatEntry* entry) {
  static int next = 0;
  entry->formatId = 100 + next;
  entry->formatName = next ? "qmti2" : "qmti";
  uint32_t flags = next ? 0 : QM_SAVER_MORE_IMAGE | QM_SAVER_TRUECOLOR | QM_SAVER_ALPHA;
  next = (next + 1) % 2;
  return flags;
}

int32_t SaveImage(const char* file, QmImageSaveRequest* request) {
  if (std::strstr(file, "refuse")) return 0;
  FILE* f = std::fopen(file, "wb");
  if (!f) return 0;
  const int32_t w = request->width, h = request->height;
  if (request->formatId == 100) {
    const uint8_t header[9] = {'Q',
                               'M',
                               'T',
                               'I',
                               static_cast<uint8_t>(w >> 8),
                               static_cast<uint8_t>(w),
                               static_cast<uint8_t>(h >> 8),
                               static_cast<uint8_t>(h),
                               static_cast<uint8_t>(request->flags & QM_IMAGESAVE_ALPHA)};
    std::fwrite(header, 1, sizeof header, f);
    for (int32_t y = 0; y < h; y++) {
      const auto* row = reinterpret_cast<const uint32_t*>(
          static_cast<const uint8_t*>(request->pixels) + y * request->bytesPerRow);
      for (int32_t x = 0; x < w; x++) {
        const uint8_t word[4] = {static_cast<uint8_t>(row[x] >> 24),
                                 static_cast<uint8_t>(row[x] >> 16),
                                 static_cast<uint8_t>(row[x] >> 8), static_cast<uint8_t>(row[x])};
        std::fwrite(word, 1, 4, f);
      }
    }
  } else {
    std::fwrite("QMTP", 1, 4, f);
    const int32_t fields[5] = {w, h, request->colourCount, request->transparentIndex,
                               static_cast<int32_t>(request->flags)};
    std::fwrite(fields, sizeof fields, 1, f);
    for (int32_t y = 0; y < h; y++)
      std::fwrite(static_cast<const uint8_t*>(request->pixels) + y * request->bytesPerRow, 1,
                  static_cast<size_t>(w), f);
    std::fwrite(request->palette, sizeof(uint32_t), static_cast<size_t>(request->colourCount), f);
  }
  return std::fclose(f) == 0;
}

}  // extern "C"
