// Services of the runtime core that other folders use: core utilities
// (error argument, sentinel lists, bounded strings, paths, CRC-32) and the
// Unicode/UTF-8 character layer. Each concern keeps its own section.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/errors.h"

// ---- Core utilities ----------------------------------------------------------

// ---- Unicode and UTF-8 character layer ----------------------------------------
