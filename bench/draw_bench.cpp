// The drawing library against the routines it ends in, into a 640x480
// brush selected as output (no display): 10,000 plain boxes through the
// Box command against FillBitmapRect of the same rectangles; an
// anti-aliased circle of radius 50 through the Circle command against
// FT_Outline_Render of the same two-cubic outline; a 100-vertex
// anti-aliased polygon through the coverage wrapper against cv::fillPoly
// on a bare cv::Mat. Targets: at least 0.9x, 0.8x and 0.9x the speed of
// the reference; the Figure benchmarks print each as a figure line
// (bench/figure.h).
#include <benchmark/benchmark.h>
#include <ft2build.h>

#include <cmath>
#include <cstring>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>
#include FT_FREETYPE_H
#include FT_OUTLINE_H

#include "bench/figure.h"
#include "draw/shape_private.h"

namespace {

constexpr int32_t W = 640, H = 480, BOXES = 10000;

struct Player {
  VmState* L = nullptr;
  BrushObject* brush = nullptr;
  bool ready = false;
  Player() {
    L = VmOpenState();
    VmRegisterBaseFunctions(L);
    for (ErrorCode (*open)(VmState*) :
         {OpenGraphicsLibrary, OpenBrushLibrary, OpenBGPicLibrary, OpenDrawLibrary}) {
      VmPushValue(L, VM_GLOBALS_INDEX);
      if (open(L) != ERR_NONE) return;
      VmSetTop(L, 0);
    }
    ObjectId id{nullptr, 1};
    if (CreateBrushObject(&id, 0, W, H, 0, 0, 0, 0, 0, 0, 0, nullptr, &brush)) return;
    ready = !Call("SelectBrush", {1}) && !Call("SetFillStyle", {FILLCOLOR});
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

void BM_Box10000(benchmark::State& state) {
  Player& p = player();
  if (!p.ready) return state.SkipWithError("no player");
  VmState* L = p.L;
  VmPushString(L, "box");
  VmGetTable(L, VM_GLOBALS_INDEX);
  VmRef box = VmCreateReference(L, VM_REGISTRY_INDEX);
  for (auto _ : state)
    for (int32_t i = 0; i < BOXES; ++i) {
      VmRawGetI(L, VM_REGISTRY_INDEX, box);
      VmPushNumber(L, (i * 7) % 600);
      VmPushNumber(L, (i * 13) % 440);
      VmPushNumber(L, 32);
      VmPushNumber(L, 24);
      VmPushNumber(L, i & 0xFFFFFF);
      if (VmPCall(L, 5, 0, 0)) state.SkipWithError("Box failed");
    }
  VmReleaseReference(L, VM_REGISTRY_INDEX, box);
}
BENCHMARK(BM_Box10000)->Unit(benchmark::kMicrosecond);

void BM_FillBitmapRect10000(benchmark::State& state) {
  Player& p = player();
  if (!p.ready) return state.SkipWithError("no player");
  for (auto _ : state)
    for (int32_t i = 0; i < BOXES; ++i)
      FillBitmapRect(p.brush->bitmap, (i * 7) % 600, (i * 13) % 440, 32, 24, i & 0xFFFFFF);
}
BENCHMARK(BM_FillBitmapRect10000)->Unit(benchmark::kMicrosecond);

void BM_CircleAntialiased50(benchmark::State& state) {
  Player& p = player();
  if (!p.ready || p.Call("SetFormStyle", {FORM_ANTIALIAS})) return state.SkipWithError("no player");
  for (auto _ : state)
    if (p.Call("Circle", {100, 100, 50, 0xFF8000})) state.SkipWithError("Circle failed");
  p.Call("SetFormStyle", {FORM_NORMAL});
}
BENCHMARK(BM_CircleAntialiased50)->Unit(benchmark::kMicrosecond);

// The outline the engine builds for a radius-50 disc: two cubic halves
// with control points (4/3) tan(pi / 4) r along the tangents, rendered by
// FreeType into a cleared 100 x 134 coverage buffer.
struct FreeTypeDisc {
  FT_Library lib = nullptr;
  FT_Vector points[7];
  char tags[7] = {FT_CURVE_TAG_ON,    FT_CURVE_TAG_CUBIC, FT_CURVE_TAG_CUBIC, FT_CURVE_TAG_ON,
                  FT_CURVE_TAG_CUBIC, FT_CURVE_TAG_CUBIC, FT_CURVE_TAG_ON};
  short contours[1] = {6};
  FT_Outline outline{};
  std::vector<uint8_t> buffer = std::vector<uint8_t>(100 * 134);
  FreeTypeDisc() {
    if (FT_Init_FreeType(&lib)) lib = nullptr;
    const double r = 50, k = 4.0 / 3.0 * r;
    auto v = [](double x, double y) {
      return FT_Vector{static_cast<FT_Pos>((x + 50) * 64), static_cast<FT_Pos>((y + 67) * 64)};
    };
    const FT_Vector p[7] = {v(r, 0), v(r, k), v(-r, k), v(-r, 0), v(-r, -k), v(r, -k), v(r, 0)};
    std::copy(p, p + 7, points);
    outline.n_points = 7;
    outline.n_contours = 1;
    outline.points = points;
    outline.tags = tags;
    outline.contours = contours;
  }
  ~FreeTypeDisc() {
    if (lib) FT_Done_FreeType(lib);
  }
  void Render() {
    std::memset(buffer.data(), 0, buffer.size());
    FT_Bitmap bitmap{};
    bitmap.rows = 134;
    bitmap.width = 100;
    bitmap.pitch = 100;
    bitmap.pixel_mode = FT_PIXEL_MODE_GRAY;
    bitmap.num_grays = 256;
    bitmap.buffer = buffer.data();
    FT_Raster_Params params{};
    params.target = &bitmap;
    params.flags = FT_RASTER_FLAG_AA;
    FT_Outline_Render(lib, &outline, &params);
    benchmark::DoNotOptimize(buffer.data());
  }
};

void BM_FTOutlineRender50(benchmark::State& state) {
  FreeTypeDisc disc;
  if (!disc.lib) return state.SkipWithError("no FreeType");
  for (auto _ : state) disc.Render();
}
BENCHMARK(BM_FTOutlineRender50)->Unit(benchmark::kMicrosecond);

std::vector<int32_t> star100() {
  std::vector<int32_t> p;
  for (int i = 0; i < 100; ++i) {
    double a = i * 2 * 3.14159265358979 / 100, r = i % 2 ? 150 : 200;
    p.push_back(static_cast<int32_t>(320 + r * std::cos(a)));
    p.push_back(static_cast<int32_t>(240 + r * std::sin(a)));
  }
  return p;
}

void BM_CoveragePolygon100(benchmark::State& state) {
  std::vector<int32_t> p = star100();
  Coverage c;
  c.Make(W, H);
  for (auto _ : state) {
    std::fill(c.bytes.begin(), c.bytes.end(), 0);
    CoverageFillPolygon(&c, p.data(), 100, 1);
    benchmark::DoNotOptimize(c.bytes.data());
  }
}
BENCHMARK(BM_CoveragePolygon100)->Unit(benchmark::kMicrosecond);

void BM_CvFillPoly100(benchmark::State& state) {
  std::vector<int32_t> p = star100();
  std::vector<cv::Point> points;
  for (size_t i = 0; i < p.size(); i += 2) points.emplace_back(p[i], p[i + 1]);
  cv::Mat m(H, W, CV_8UC1);
  for (auto _ : state) {
    m.setTo(0);
    const cv::Point* contours[1] = {points.data()};
    int counts[1] = {100};
    cv::fillPoly(m, contours, counts, 1, cv::Scalar(255), cv::LINE_AA);
    benchmark::DoNotOptimize(m.data);
  }
}
BENCHMARK(BM_CvFillPoly100)->Unit(benchmark::kMicrosecond);

// The figures: each side in turn, many rounds, in one run.
constexpr int ROUNDS = 41;

void BM_FigureBox(benchmark::State& state) {
  Player& p = player();
  if (!p.ready) return state.SkipWithError("no player");
  VmState* L = p.L;
  VmPushString(L, "box");
  VmGetTable(L, VM_GLOBALS_INDEX);
  VmRef box = VmCreateReference(L, VM_REGISTRY_INDEX);
  benchfigure::Measure(
      state, "draw: 10000 Box 32x24 into a 640x480 brush vs FillBitmapRect",
      benchfigure::Kind::SPEED, 0.9, ROUNDS,
      [&] {
        for (int32_t i = 0; i < BOXES; ++i) {
          VmRawGetI(L, VM_REGISTRY_INDEX, box);
          VmPushNumber(L, (i * 7) % 600);
          VmPushNumber(L, (i * 13) % 440);
          VmPushNumber(L, 32);
          VmPushNumber(L, 24);
          VmPushNumber(L, i & 0xFFFFFF);
          VmPCall(L, 5, 0, 0);
        }
      },
      [&] {
        for (int32_t i = 0; i < BOXES; ++i)
          FillBitmapRect(p.brush->bitmap, (i * 7) % 600, (i * 13) % 440, 32, 24, i & 0xFFFFFF);
      });
  VmReleaseReference(L, VM_REGISTRY_INDEX, box);
}
BENCHMARK(BM_FigureBox)->Iterations(1)->Unit(benchmark::kMillisecond);

constexpr int CIRCLES = 200;

void BM_FigureCircle(benchmark::State& state) {
  Player& p = player();
  FreeTypeDisc disc;
  if (!p.ready || !disc.lib || p.Call("SetFormStyle", {FORM_ANTIALIAS}))
    return state.SkipWithError("no player");
  benchfigure::Measure(
      state, "draw: anti-aliased Circle r=50 vs FT_Outline_Render", benchfigure::Kind::SPEED, 0.8,
      ROUNDS,
      [&] {
        for (int i = 0; i < CIRCLES; ++i) p.Call("Circle", {100, 100, 50, 0xFF8000});
      },
      [&] {
        for (int i = 0; i < CIRCLES; ++i) disc.Render();
      });
  p.Call("SetFormStyle", {FORM_NORMAL});
}
BENCHMARK(BM_FigureCircle)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_FigurePolygon(benchmark::State& state) {
  std::vector<int32_t> p = star100();
  Coverage c;
  c.Make(W, H);
  std::vector<cv::Point> points;
  for (size_t i = 0; i < p.size(); i += 2) points.emplace_back(p[i], p[i + 1]);
  cv::Mat m(H, W, CV_8UC1);
  benchfigure::Measure(
      state, "draw: anti-aliased 100-vertex polygon coverage vs cv::fillPoly",
      benchfigure::Kind::SPEED, 0.9, ROUNDS,
      [&] {
        for (int i = 0; i < 20; ++i) {
          std::fill(c.bytes.begin(), c.bytes.end(), 0);
          CoverageFillPolygon(&c, p.data(), 100, 1);
          benchmark::DoNotOptimize(c.bytes.data());
        }
      },
      [&] {
        for (int i = 0; i < 20; ++i) {
          m.setTo(0);
          const cv::Point* contours[1] = {points.data()};
          int counts[1] = {100};
          cv::fillPoly(m, contours, counts, 1, cv::Scalar(255), cv::LINE_AA);
          benchmark::DoNotOptimize(m.data);
        }
      });
}
BENCHMARK(BM_FigurePolygon)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
