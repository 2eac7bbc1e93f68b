// Speed of the font layer: opening a TrueType font cold (223 glyphs
// rendered to size it) against a font-cache hit, and an 80-character line
// of Vera Sans at 16 pixels, antialiased and blended in white into a 32-bit
// bitmap through DrawFontText with the glyph cache warm and off, against a
// plain FreeType loop (load, render, blend each glyph) in the same run.
// Targets: the warm cache at least 3x the loop, the cache off at least 0.9x.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "bench/freetype_loop.h"
#include "gfx/gfx.h"
#include "text/font_private.h"
#include "text/text.h"

namespace {

const std::string LINE =
    "The quick brown fox jumps over the lazy dog, 0123456789 times; "
    "AVAWAY To. ABCDEF";  // 80 characters

struct Fonts {
  Fonts() {
    InitTextContext();
    InitFontEngines(nullptr);
  }
  ~Fonts() { FreeTextContext(); }
};

void BM_OpenFontCold(benchmark::State& state) {
  Fonts fonts;
  for (auto _ : state) {
    FontRecord* f = nullptr;
    OpenFontByName("Bitstream Vera Sans", 16, 0, 1, 0, 0, &f);
    CloseFontRecord(f);
  }
}
BENCHMARK(BM_OpenFontCold);

void BM_OpenFontCacheHit(benchmark::State& state) {
  Fonts fonts;
  FontRecord* f = nullptr;
  OpenFontEx("Bitstream Vera Sans", 16, 0, 1, 0, 0, &f);
  for (auto _ : state) {
    OpenFontEx("Bitstream Vera Sans", 16, 0, 1, 0, 0, &f);
    benchmark::DoNotOptimize(f);
  }
}
BENCHMARK(BM_OpenFontCacheHit);

// Arg: 1 glyph cache on (warm), 0 off.
void BM_DrawFontTextLine(benchmark::State& state) {
  Fonts fonts;
  FontRecord* f = nullptr;
  OpenFontByName("Bitstream Vera Sans", 16, 0, int32_t(state.range(0)), 0, 0, &f);
  OwnedBitmap target(AllocBitmap(640, 32, 0, nullptr));
  DrawFontText(f, target.get(), nullptr, 0, 4, LINE.data(), LINE.size(), TEXTSTYLE_ANTIALIAS, 0,
               nullptr, 0xFFFFFF);
  for (auto _ : state)
    DrawFontText(f, target.get(), nullptr, 0, 4, LINE.data(), LINE.size(), TEXTSTYLE_ANTIALIAS, 0,
                 nullptr, 0xFFFFFF);
  state.SetItemsProcessed(int64_t(state.iterations() * LINE.size()));
  CloseFontRecord(f);
}
BENCHMARK(BM_DrawFontTextLine)->Arg(1)->Arg(0);

// The plain loop: every glyph loaded, rendered and blended each time.
void BM_FreeTypeLoopLine(benchmark::State& state) { benchfreetype::LoopLine(state, LINE); }
BENCHMARK(BM_FreeTypeLoopLine);

}  // namespace
