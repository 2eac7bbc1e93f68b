// Services of the bitmap and pixel engine: pixel formats, kernels, bitmap
// handles and blits, and the effect kernels and bitmap transforms.
// Each concern keeps its own section.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/errors.h"

// ---- Pixel formats, kernels, bitmap handles and blits -----------------------------

// ---- Effect kernels and bitmap transforms ------------------------------------------
