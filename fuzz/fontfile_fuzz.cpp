// Feeds arbitrary bytes to the font file readers: the bitmap font size-file
// reader, the collection and resource-file face lists and the "name" table
// reader (also at every face a collection lists). The sanitizers catch any
// read past the input; the checks below hold for any input.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "text/font_private.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

struct Input {
  const uint8_t* data;
  size_t size;
};

void face(uint64_t offset, uint64_t size, uint64_t directory, void* user) {
  const Input* in = static_cast<const Input*>(user);
  check(offset <= in->size && size <= in->size - offset);
  char family[512], style[512];
  ReadFaceNames(in->data, in->size, directory ? directory : offset, directory ? 0 : offset, family,
                sizeof family, style, sizeof style);
  check(std::strlen(family) < sizeof family && std::strlen(style) < sizeof style);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  BitmapFontData font{};
  if (ParseBitmapSizeFile(data, size, &font)) {
    check(font.height >= 1 && font.firstChar <= font.lastChar);
    check(font.glyphCount == font.lastChar - font.firstChar + 2);
    for (int32_t i = 0; i < font.glyphCount; i++)
      check((font.locations[i] >> 16) + (font.locations[i] & 0xFFFF) <= uint32_t(font.modulo) * 8);
    FreeBitmapFontArrays(&font);
  }
  Input in{data, size};
  ListCollectionFaces(data, size, 0, face, &in);
  ListCollectionFaces(data, size, 1, face, &in);
  char family[512], style[512];
  ReadFaceNames(data, size, 0, 0, family, sizeof family, style, sizeof style);
  return 0;
}
