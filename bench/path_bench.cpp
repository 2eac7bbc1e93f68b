// Path drawing against the rasteriser it ends in, into a 640x480 brush
// selected as output: DrawPath of a 200-item path (a MoveTo and 199
// LineTo items around a toothed circle of radius 190), anti-aliased,
// filled and stroked 3 pixels wide, against FT_Outline_Render of the same
// 200-point outline in the same run. Target: filled at least 0.8x the
// speed of the direct render; the stroke is reported.
#include <benchmark/benchmark.h>
#include <ft2build.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>
#include FT_FREETYPE_H
#include FT_OUTLINE_H

#include "draw/shape_private.h"
#include "draw/vector_private.h"

namespace {

constexpr int32_t W = 640, H = 480, POINTS = 200;

// Point i of the toothed circle around (200, 200).
void point(int i, double* x, double* y) {
  double a = 2 * 3.14159265358979323846 * i / POINTS, r = (i & 1) ? 150 : 190;
  *x = 200 + r * std::cos(a);
  *y = 200 + r * std::sin(a);
}

struct Player {
  VmState* L = nullptr;
  BrushObject* brush = nullptr;
  bool ready = false;
  Player() {
    L = VmOpenState();
    VmRegisterBaseFunctions(L);
    for (ErrorCode (*open)(VmState*) : {OpenGraphicsLibrary, OpenBrushLibrary, OpenBGPicLibrary,
                                        OpenDrawLibrary, OpenVectorGraphicsLibrary}) {
      VmPushValue(L, VM_GLOBALS_INDEX);
      if (open(L) != ERR_NONE) return;
      VmSetTop(L, 0);
    }
    ObjectId id{nullptr, 1};
    if (CreateBrushObject(&id, 0, W, H, 0, 0, 0, 0, 0, 0, 0, nullptr, &brush)) return;
    if (Call("SelectBrush", {1}) || Call("SetFormStyle", {FORM_ANTIALIAS}) ||
        Call("StartPath", {1}))
      return;
    for (int i = 0; i < POINTS; ++i) {
      double x, y;
      point(i, &x, &y);
      if (Call(i ? "LineTo" : "MoveTo", {1, x, y})) return;
    }
    ready = true;
  }
  ErrorCode Call(const char* name, std::vector<double> args) {
    std::string lower(name);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    VmPushString(L, lower.c_str());
    VmGetTable(L, VM_GLOBALS_INDEX);
    for (double a : args) VmPushNumber(L, a);
    ErrorCode e = VmPCall(L, static_cast<int>(args.size()), 0, 0);
    VmSetTop(L, 0);
    return e;
  }
};

Player& player() {
  static Player p;
  return p;
}

void BM_DrawPathFilled200(benchmark::State& state) {
  Player& p = player();
  if (!p.ready || p.Call("SetFillStyle", {FILLCOLOR})) return state.SkipWithError("no player");
  for (auto _ : state)
    if (p.Call("DrawPath", {1, 20, 20, 0xFF8000})) state.SkipWithError("DrawPath failed");
}
BENCHMARK(BM_DrawPathFilled200)->Unit(benchmark::kMicrosecond);

void BM_DrawPathStroked200(benchmark::State& state) {
  Player& p = player();
  if (!p.ready || p.Call("SetFillStyle", {FILLNONE, 3})) return state.SkipWithError("no player");
  for (auto _ : state)
    if (p.Call("DrawPath", {1, 20, 20, 0xFF8000})) state.SkipWithError("DrawPath failed");
}
BENCHMARK(BM_DrawPathStroked200)->Unit(benchmark::kMicrosecond);

void BM_FTOutlineRender200(benchmark::State& state) {
  FT_Library lib;
  if (FT_Init_FreeType(&lib)) return state.SkipWithError("no FreeType");
  std::vector<FT_Vector> points(POINTS);
  std::vector<char> tags(POINTS, FT_CURVE_TAG_ON);
  for (int i = 0; i < POINTS; ++i) {
    double x, y;
    point(i, &x, &y);
    points[i] = FT_Vector{static_cast<FT_Pos>((x - 10) * 64), static_cast<FT_Pos>((y - 10) * 64)};
  }
  short contours[1] = {POINTS - 1};
  FT_Outline outline{};
  outline.n_points = POINTS;
  outline.n_contours = 1;
  outline.points = points.data();
  outline.tags = tags.data();
  outline.contours = contours;
  std::vector<uint8_t> buffer(380 * 380);
  for (auto _ : state) {
    std::memset(buffer.data(), 0, buffer.size());
    FT_Bitmap bitmap{};
    bitmap.rows = 380;
    bitmap.width = 380;
    bitmap.pitch = 380;
    bitmap.pixel_mode = FT_PIXEL_MODE_GRAY;
    bitmap.num_grays = 256;
    bitmap.buffer = buffer.data();
    FT_Raster_Params params{};
    params.target = &bitmap;
    params.flags = FT_RASTER_FLAG_AA;
    FT_Outline_Render(lib, &outline, &params);
    benchmark::DoNotOptimize(buffer.data());
  }
  FT_Done_FreeType(lib);
}
BENCHMARK(BM_FTOutlineRender200)->Unit(benchmark::kMicrosecond);

}  // namespace
