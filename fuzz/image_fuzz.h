// Shared driver of the picture decoder fuzz targets: each input becomes a
// read-only memory stream, decoded pictures are capped small so that no
// input can ask for more than a few megabytes, and everything a decoder
// hands out is freed again so that leaks show.
#pragma once

#include <cstddef>
#include <cstdint>

#include "media/media.h"
#include "media/image_private.h"
#include "runtime/stream_private.h"

namespace imagefuzz {

constexpr size_t FUZZ_PIXEL_LIMIT = size_t{1} << 20;

// Opens the input as a memory stream; null when that fails.
inline StreamHandle* OpenInput(MemoryFileName* name, const uint8_t* data, size_t size) {
  static bool limited = (SetImagePixelLimit(FUZZ_PIXEL_LIMIT), true);
  (void)limited;
  MakeMemoryFileName(name, data, size);
  return OpenFileStream(reinterpret_cast<const char*>(name), STREAM_READ, nullptr);
}

inline void CloseInput(MemoryFileName* name, StreamHandle* stream) {
  CloseFileStream(stream);
  ReleaseMemoryFileName(name);
}

}  // namespace imagefuzz
