// Helpers shared by the picture codecs: the checked size of a decoded
// picture and its allocation. Invariant: a buffer sized here holds exactly
// width x height words, and no width, height or product that fails the
// checks ever reaches an allocation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "media/media.h"

// The pixel count of a width x height picture: ERR_LOADPICTURE2 for a side
// below 1 or above IMAGE_MAX_SIDE, or a count above the pixel limit.
ErrorCode ImagePixelCount(int64_t width, int64_t height, size_t* count);
// A width x height ARGB buffer after ImagePixelCount; null when it fails or
// memory runs out (*error tells which).
uint32_t* AllocImagePixels(int64_t width, int64_t height, int clear, ErrorCode* error);
