// Speed of formatted text: an 80-character line of Vera Sans at 16 pixels,
// anti-aliased, put into a 640x32 brush selected as output with TextOut,
// once as plain text (the fast path) and once behind a leading "[b][/b]"
// (the general path: layout, runs and composed block), and the general
// path with edges of 2 and 8 pixels; beside them the plain FreeType loop
// of the font benchmark (load, render and blend each glyph) in the same
// run. The glyph cache is warm. Targets: the fast path at least 2x the
// loop, the general path at most 3x the fast path on the untagged line.
#include <benchmark/benchmark.h>

#include <cctype>
#include <string>
#include <vector>

#include "bench/freetype_loop.h"
#include "display/display.h"
#include "draw/draw.h"
#include "gfx/gfx.h"
#include "text/font_private.h"
#include "text/text.h"

namespace {

const std::string LINE =
    "The quick brown fox jumps over the lazy dog, 0123456789 times; "
    "AVAWAY To. ABCDEF";  // 80 characters

struct Value {
  Value(double v) : number(v) {}            // NOLINT: numbers are the usual arguments
  Value(const std::string& s) : text(s) {}  // NOLINT
  double number = 0;
  std::string text;
  bool isText() const { return !text.empty(); }
};

struct Player {
  VmState* L = nullptr;
  bool ready = false;
  Player() {
    L = VmOpenState();
    VmRegisterBaseFunctions(L);
    for (ErrorCode (*open)(VmState*) :
         {OpenGraphicsLibrary, OpenBrushLibrary, OpenBGPicLibrary, OpenTextLibrary}) {
      VmPushValue(L, VM_GLOBALS_INDEX);
      if (open(L) != ERR_NONE) return;
      VmSetTop(L, 0);
    }
    ready = !Call("CreateBrush", {1, 640, 32}) && !Call("SelectBrush", {1}) &&
            !Call("SetFont", {std::string(":::default_sans"), 16});
  }
  ErrorCode Call(const char* name, std::vector<Value> args) {
    std::string lower(name);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    VmPushString(L, lower.c_str());
    VmGetTable(L, VM_GLOBALS_INDEX);
    for (const Value& a : args) {
      if (a.isText())
        VmPushString(L, a.text.c_str());
      else
        VmPushNumber(L, a.number);
    }
    ErrorCode e = VmPCall(L, static_cast<int>(args.size()), 0, 0);
    VmSetTop(L, 0);
    return e;
  }
};

Player& player() {
  static Player p;
  return p;
}

// Draws the line with TextOut in the given style (edge size 0: no edge).
void drawLine(benchmark::State& state, const std::string& text, int32_t edge) {
  Player& p = player();
  if (!p.ready || p.Call("SetFontStyle", {TEXTSTYLE_NORMAL}) ||
      p.Call("SetFontStyle", {TEXTSTYLE_ANTIALIAS}) ||
      (edge && p.Call("SetFontStyle", {TEXTSTYLE_EDGE, 0x0093DD, double(edge)})))
    return state.SkipWithError("no player");
  // The first call fills the glyph cache.
  if (p.Call("TextOut", {0, 4, text})) return state.SkipWithError("TextOut failed");
  for (auto _ : state)
    if (p.Call("TextOut", {0, 4, text})) state.SkipWithError("TextOut failed");
  state.SetItemsProcessed(int64_t(state.iterations() * LINE.size()));
}

void BM_TextOutFastPath(benchmark::State& state) { drawLine(state, LINE, 0); }
BENCHMARK(BM_TextOutFastPath)->Unit(benchmark::kMicrosecond);

void BM_TextOutGeneralPath(benchmark::State& state) { drawLine(state, "[b][/b]" + LINE, 0); }
BENCHMARK(BM_TextOutGeneralPath)->Unit(benchmark::kMicrosecond);

// Arg: the edge size.
void BM_TextOutEdge(benchmark::State& state) {
  drawLine(state, LINE, static_cast<int32_t>(state.range(0)));
}
BENCHMARK(BM_TextOutEdge)->Arg(2)->Arg(8)->Unit(benchmark::kMicrosecond);

// The plain loop: every glyph loaded, rendered and blended each time.
void BM_FreeTypeLoopLine(benchmark::State& state) { benchfreetype::LoopLine(state, LINE); }
BENCHMARK(BM_FreeTypeLoopLine)->Unit(benchmark::kMicrosecond);

}  // namespace
