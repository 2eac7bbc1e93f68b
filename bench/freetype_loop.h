// The plain FreeType loop that the font and text benchmarks measure
// themselves against, in the same run: each pass loads, renders and blends
// every glyph of a line of Vera Sans at 16 pixels, in white, into a 640x32
// 32-bit buffer, with no cache of any kind.
#pragma once

#include <benchmark/benchmark.h>

#include <ft2build.h>
#include FT_FREETYPE_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace benchfreetype {

inline void LoopLine(benchmark::State& state, const std::string& line) {
  FT_Library library;
  FT_Face face;
  FT_Init_FreeType(&library);
  FT_New_Face(library, "/usr/share/fonts/truetype/ttf-bitstream-vera/Vera.ttf", 0, &face);
  FT_Set_Pixel_Sizes(face, 16, 0);
  const int width = 640, height = 32;
  std::string pixels(size_t(width) * height * 4, '\0');
  for (auto _ : state) {
    int pen = 0;
    for (char c : line) {
      if (FT_Load_Char(face, uint8_t(c), FT_LOAD_RENDER | FT_LOAD_NO_AUTOHINT)) continue;
      const FT_Bitmap& b = face->glyph->bitmap;
      int gx = pen + face->glyph->bitmap_left, gy = 16 - face->glyph->bitmap_top;
      for (unsigned r = 0; r < b.rows; r++)
        for (unsigned col = 0; col < b.width; col++) {
          int x = gx + int(col), y = gy + int(r);
          uint32_t cover = b.buffer[r * b.pitch + col];
          if (x < 0 || y < 0 || x >= width || y >= height || !cover) continue;
          uint32_t* px = reinterpret_cast<uint32_t*>(&pixels[(size_t(y) * width + x) * 4]);
          uint32_t out = *px & 0xFF000000;
          for (int shift = 0; shift < 24; shift += 8)
            out |= ((((*px >> shift) & 255) * (255 - cover) + 255 * cover + 127) / 255) << shift;
          *px = out;
        }
      pen += int(face->glyph->advance.x >> 6);
    }
    benchmark::DoNotOptimize(pixels.data());
  }
  state.SetItemsProcessed(int64_t(state.iterations() * line.size()));
  FT_Done_Face(face);
  FT_Done_FreeType(library);
}

}  // namespace benchfreetype
