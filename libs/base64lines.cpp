// The dos library's Base64 writer: the standard encoding with a line break
// before the next character once 72 characters stand on a line, into a
// string builder, a memory buffer or a stream. The serialiser and other
// libraries write their Base64 text through it.
//
// Invariant: 54 input bytes make exactly one 72-character line, so lines
// are encoded whole and only the last one carries padding.
#include <cstring>

#include "engine/engine.h"
#include "libs/libs.h"
#include "libs/libs_private.h"
#include "runtime/runtime.h"

namespace {

constexpr size_t LINE_CHARACTERS = 72;
constexpr size_t LINE_BYTES = LINE_CHARACTERS / 4 * 3;

const char* lineBreak() { return GetDosCrSwitch() ? "\r\n" : "\n"; }

ErrorCode emit(const Base64Target& target, const char* text, size_t n) {
  if (target.builder) {
    VmBufferAddBytes(target.builder, text, n);
  } else if (target.buffer) {
    std::memcpy(target.buffer + *target.count, text, n);
    *target.count += n;
  } else if (DosWriteBytes(target.stream, text, n) != n) {
    return ERR_WRITE;
  }
  return ERR_NONE;
}

}  // namespace

size_t Base64LinesSize(size_t count, bool noBreaks, ErrorCode* error) {
  *error = ERR_NONE;
  size_t text = Base64EncodedSize(count, error);
  if (*error) return 0;
  if (noBreaks || text == 0) return text;
  size_t breaks = (text - 1) / LINE_CHARACTERS;
  size_t breakSize = std::strlen(lineBreak());
  if (breaks > (SIZE_MAX - text) / breakSize) {
    *error = ERR_MEM;
    return 0;
  }
  return text + breaks * breakSize;
}

ErrorCode EncodeBase64Lines(const Base64Target& target, const void* data, size_t count,
                            bool noBreaks) {
  if (target.buffer) *target.count = 0;
  const auto* bytes = static_cast<const uint8_t*>(data);
  const char* lineEnd = lineBreak();
  char line[LINE_CHARACTERS];
  for (size_t done = 0; done < count; done += LINE_BYTES) {
    size_t n = count - done < LINE_BYTES ? count - done : LINE_BYTES;
    EncodeBase64(bytes + done, n, line);
    ErrorCode error = ERR_NONE;
    if (done > 0 && !noBreaks) error = emit(target, lineEnd, std::strlen(lineEnd));
    if (!error) error = emit(target, line, (n + 2) / 3 * 4);
    if (error) return error;
  }
  return ERR_NONE;
}
