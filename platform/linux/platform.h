// Services of the platform layer that the portable code calls: memory,
// time, mutexes and condition objects, and the back ends added later.
// Each concern keeps its own section.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/errors.h"

// ---- Memory, time, mutexes and condition objects --------------------------------
