// The Unicode layer's own declarations beside platform/linux/platform.h:
// what only the layer itself calls, and tests, benchmarks and fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/linux/platform.h"

size_t Utf8ByteOffsetN(const char* text, size_t length, int64_t n);
uint32_t UnicodeToTitle(uint32_t c);
// Mode: c as a terminated string in buffer (UTF8_CHAR_BUFFER bytes): its
// UTF-8 sequence, or one byte ('?' above 0xFF); returns the byte count.
size_t CharToStringMode(char* buffer, uint32_t c);
// Language order of UTF-8 strings: -1, 0 or 1. Letters sort alphabetically
// without regard to case first, accents after the base letter; a string
// that is a prefix of the other is smaller; case decides only between
// strings equal otherwise (and not at all when caseSensitive is 0).
// Characters beyond Latin Extended-B sort by code point after folding;
// invalid UTF-8 sorts by its bytes.
int CollateCompare(const char* a, const char* b, int caseSensitive);
char* Utf8ToLatin1DupTracked(const char* text, size_t* tracked);
