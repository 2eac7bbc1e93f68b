// Shared driver of the anim reader fuzz targets: each input is opened as a
// memory file through the anim file layer (the built-in readers only), with
// pictures capped small; frames are read forwards, backwards and again, and
// everything handed out is freed again so that leaks show.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "media/image_private.h"
#include "media/media.h"
#include "runtime/stream_private.h"

namespace animfuzz {

constexpr size_t FUZZ_PIXEL_LIMIT = size_t{1} << 16;
constexpr int32_t FORWARD_FRAMES = 24;
constexpr int32_t BACKWARD_FRAMES = 6;

inline void Run(const uint8_t* data, size_t size, uint32_t expectedKind) {
  static bool limited = (SetImagePixelLimit(FUZZ_PIXEL_LIMIT), true);
  (void)limited;
  MemoryFileName name;
  MakeMemoryFileName(&name, data, size);
  AnimFile* anim = nullptr;
  int32_t w = 0, h = 0, count = 0;
  ErrorCode e = OpenAnimFile(reinterpret_cast<const char*>(&name), "inbuilt", nullptr, size & 1,
                             (size >> 1) & 1, &anim, &w, &h, &count, nullptr, nullptr, nullptr);
  if (e == 0) {
    if (anim->kind != expectedKind && anim->kind != ANIMFILE_GIF) std::abort();
    const size_t pixels = static_cast<size_t>(w) * static_cast<size_t>(h);
    auto read = [&](int32_t i) {
      int32_t transparent = 0;
      uint32_t* p = GetAnimFileFrame(anim, i, 1, &transparent);
      if (p) {
        volatile uint32_t last = p[pixels - 1];
        (void)last;
      }
      FreeAnimFileFrame(anim, p);
      GetAnimFileFrameDelay(anim, i);
    };
    for (int32_t i = 0; i < count && i < FORWARD_FRAMES; i++) read(i);
    const int32_t top = count < FORWARD_FRAMES ? count : FORWARD_FRAMES;
    for (int32_t i = top - 1; i >= 0 && i >= top - BACKWARD_FRAMES; i--) read(i);
    read(count / 2);
    read(count / 2);
    read(count);
    read(-1);
    CloseAnimFile(anim);
  } else if (e != ERR_OPENANIM2 && e != ERR_READ && e != ERR_MEM) {
    std::abort();
  }
  ReleaseMemoryFileName(&name);
}

}  // namespace animfuzz
