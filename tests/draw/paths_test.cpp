// The vectorgraphics library: path objects and their items, extents and the
// current point, the line style, and paths drawn into a selected brush
// (fills, strokes, caps, fill rules, shadows), shapes forced through paths,
// vector brushes of path lists and the choice of vector engine.
#include <gtest/gtest.h>
#include <ft2build.h>

#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>
#include FT_FREETYPE_H
#include FT_OUTLINE_H

#include "display/display.h"
#include "draw/shape_private.h"
#include "draw/vector_private.h"
#include "tests/support/harness.h"
#include "text/text.h"

namespace {

constexpr int32_t W = 80, H = 60;

// An argument: a number or a string.
struct Arg {
  Arg(double v) : number(v) {}     // NOLINT: numbers are the usual arguments
  Arg(int v) : number(v) {}        // NOLINT
  Arg(uint32_t v) : number(v) {}   // NOLINT
  Arg(const char* s) : text(s) {}  // NOLINT
  double number = 0;
  const char* text = nullptr;
};

class PathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VmPushValue(h.L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenDrawLibrary(h.L), ERR_NONE);
    VmSetTop(h.L, 0);
    VmPushValue(h.L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenVectorGraphicsLibrary(h.L), ERR_NONE);
    VmSetTop(h.L, 0);
  }

  ErrorCode Call(const char* name, std::vector<Arg> args) {
    VmSetTop(h.L, 0);
    for (const Arg& a : args) {
      if (a.text)
        VmPushString(h.L, a.text);
      else
        VmPushNumber(h.L, a.number);
    }
    return h.Call(name, static_cast<int>(args.size()));
  }
  double Result(int index) { return VmToNumber(h.L, index); }
  std::vector<double> Results(const char* name, std::vector<Arg> args) {
    EXPECT_EQ(Call(name, std::move(args)), ERR_NONE) << name;
    std::vector<double> out;
    for (int i = 1; i <= VmGetTop(h.L); ++i) out.push_back(Result(i));
    return out;
  }

  // A black W x H brush 1 selected as output.
  void SelectBrush() {
    ObjectId id{nullptr, 1};
    ASSERT_EQ(CreateBrushObject(&id, 0, W, H, 0, 0, 0, 0, 0, 0, 0, nullptr, &brush), ERR_NONE);
    ASSERT_EQ(Call("SelectBrush", {1}), ERR_NONE);
  }
  std::vector<uint32_t> Pixels() {
    uint32_t* p = ReadBitmapRectARGB(brush->bitmap, 0, 0, W, H, 1);
    std::vector<uint32_t> out(p, p + W * H);
    FreeMemory(p);
    for (uint32_t& v : out) v &= 0xFFFFFF;
    return out;
  }
  void Clear() { FillBitmapRect(brush->bitmap, 0, 0, W, H, 0); }
  static int Count(const std::vector<uint32_t>& p, uint32_t c) {
    int n = 0;
    for (uint32_t v : p) n += v == c;
    return n;
  }
  uint32_t At(const std::vector<uint32_t>& p, int x, int y) { return p[y * W + x]; }

  // Path 1 with one box item.
  void BoxPath(double x, double y, double w, double hgt) {
    ASSERT_EQ(Call("StartPath", {1}), ERR_NONE);
    ASSERT_EQ(Call("AddBoxToPath", {1, x, y, w, hgt}), ERR_NONE);
  }

  PlayerHarness h;
  BrushObject* brush = nullptr;
};

// Calls the iterator on top of the stack once; the table it gave, or
// false when it ended.
bool nextItem(VmState* L, int iterator) {
  VmPushValue(L, iterator);
  EXPECT_EQ(VmCall(L, 0, 1), ERR_NONE);
  if (VmType(L, -1) != VM_TYPE_TABLE) {
    VmSetTop(L, -2);
    return false;
  }
  return true;
}
double field(VmState* L, const char* name) {
  VmPushString(L, name);
  VmGetTable(L, -2);
  double v = VmToNumber(L, -1);
  VmSetTop(L, -2);
  return v;
}
std::string textField(VmState* L, const char* name) {
  VmPushString(L, name);
  VmGetTable(L, -2);
  const char* s = VmToString(L, -1);
  std::string out = s ? s : "";
  VmSetTop(L, -2);
  return out;
}

TEST_F(PathTest, ItemsComeBackWithTheirFields) {
  ASSERT_EQ(Call("StartPath", {1}), ERR_NONE);
  ASSERT_EQ(Call("MoveTo", {1, 1, 2}), ERR_NONE);
  ASSERT_EQ(Call("RelLineTo", {1, 3, 4}), ERR_NONE);
  ASSERT_EQ(Call("CurveTo", {1, 1, 2, 3, 4, 5, 6}), ERR_NONE);
  ASSERT_EQ(Call("StartSubPath", {1}), ERR_NONE);
  ASSERT_EQ(Call("AddArcToPath", {1, 100, 50, 40, 20, 10, 80, 0}), ERR_NONE);
  VmSetTop(h.L, 0);
  VmPushNumber(h.L, 1);
  for (double v : {5.0, 6.0, 7.0, 8.0}) VmPushNumber(h.L, v);
  VmNewTable(h.L);
  SetTableFieldNumber(h.L, "roundlevel", 20);
  SetTableFieldNumber(h.L, "cornerb", 150);
  SetTableFieldNumber(h.L, "cornerc", -5);
  ASSERT_EQ(h.Call("AddBoxToPath", 6), ERR_NONE);
  ASSERT_EQ(Call("ClosePath", {1}), ERR_NONE);

  ASSERT_EQ(Call("PathItems", {1}), ERR_NONE);
  int it = VmGetTop(h.L);
  struct Expect {
    const char* type;
    std::vector<std::pair<const char*, double>> fields;
  };
  const Expect expected[] = {
      {"MoveTo", {{"rel", 0}, {"x", 1}, {"y", 2}}},
      {"LineTo", {{"rel", 1}, {"x", 3}, {"y", 4}}},
      {"CurveTo", {{"rel", 0}, {"x1", 1}, {"y1", 2}, {"x2", 3}, {"y2", 4}, {"x3", 5}, {"y3", 6}}},
      {"NewSubPath", {}},
      {"Arc",
       {{"xc", 100},
        {"yc", 50},
        {"ra", 40},
        {"rb", 20},
        {"start", 10},
        {"end", 80},
        {"clockwise", 0}}},
      {"Box", {{"x", 5}, {"y", 6}, {"width", 7}, {"height", 8}}},
      {"ClosePath", {}},
  };
  for (const Expect& e : expected) {
    ASSERT_TRUE(nextItem(h.L, it)) << e.type;
    EXPECT_EQ(textField(h.L, "type"), e.type);
    for (auto& [name, value] : e.fields) EXPECT_EQ(field(h.L, name), value) << e.type << name;
    if (std::strcmp(e.type, "Box") == 0) {
      VmPushString(h.L, "round");
      VmGetTable(h.L, -2);
      std::vector<double> round;
      for (int i = 0; i < 4; ++i) {
        VmRawGetI(h.L, -1, i);
        round.push_back(VmToNumber(h.L, -1));
        VmSetTop(h.L, -2);
      }
      VmSetTop(h.L, -2);
      EXPECT_EQ(round, (std::vector<double>{20, 100, 0, 20}));
    }
    VmSetTop(h.L, -2);
  }
  EXPECT_FALSE(nextItem(h.L, it));
}

// The iterator looks the path up on every call: freeing, clearing or
// growing the path in the loop body ends it or goes on with what is there.
TEST_F(PathTest, ChangingThePathInsideTheLoopIsSafe) {
  struct Case {
    const char* change;
    int itemsSeen;
  };
  for (const Case& c : {Case{"FreePath", 1}, Case{"ClearPath", 1}, Case{"LineTo", 4}}) {
    ASSERT_EQ(Call("StartPath", {1}), ERR_NONE);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(Call("LineTo", {1, i, i}), ERR_NONE);
    ASSERT_EQ(Call("PathItems", {1}), ERR_NONE);
    VmPushValue(h.L, VmGetTop(h.L));
    int it = VmGetTop(h.L);
    int seen = 0;
    bool changed = false;
    while (nextItem(h.L, it)) {
      VmSetTop(h.L, -2);
      ++seen;
      if (changed) continue;
      changed = true;
      VmState* L = h.L;
      VmPushNumber(L, 1);
      if (std::strcmp(c.change, "LineTo") == 0) {
        VmPushNumber(L, 9);
        VmPushNumber(L, 9);
        ASSERT_EQ(h.Call(c.change, 3), ERR_NONE);
      } else {
        ASSERT_EQ(h.Call(c.change, 1), ERR_NONE);
      }
      VmSetTop(L, it);
    }
    EXPECT_EQ(seen, c.itemsSeen) << c.change;
    VmSetTop(h.L, 0);
  }
}

TEST_F(PathTest, ObjectsAndErrors) {
  ASSERT_EQ(Call("StartPath", {1}), ERR_NONE);
  ASSERT_EQ(Call("LineTo", {1, 5, 5}), ERR_NONE);
  ASSERT_EQ(Call("StartPath", {1}), ERR_NONE);
  EXPECT_EQ(Results("IsPathEmpty", {1}), (std::vector<double>{1}));
  EXPECT_EQ(Call("AppendPath", {1, 1}), ERR_WRONGUSAGE);
  EXPECT_EQ(Call("CopyPath", {1, 1}), ERR_WRONGUSAGE);
  EXPECT_EQ(Call("MoveTo", {7, 0, 0}), ERR_FINDPATH);
  EXPECT_EQ(Call("FreePath", {7}), ERR_FINDPATH);

  // Copies and appends keep their own items.
  ASSERT_EQ(Call("LineTo", {1, 5, 5}), ERR_NONE);
  ASSERT_EQ(Call("CopyPath", {1, 2}), ERR_NONE);
  ASSERT_EQ(Call("AppendPath", {2, 1}), ERR_NONE);
  ASSERT_EQ(Call("ClearPath", {1}), ERR_NONE);
  EXPECT_EQ(Results("IsPathEmpty", {1}), (std::vector<double>{1}));
  EXPECT_EQ(Results("IsPathEmpty", {2}), (std::vector<double>{0}));
  ASSERT_EQ(Call("PathItems", {2}), ERR_NONE);
  int it = VmGetTop(h.L), n = 0;
  while (nextItem(h.L, it)) {
    VmSetTop(h.L, -2);
    ++n;
  }
  EXPECT_EQ(n, 2);

  // An automatic id comes back from StartPath and CopyPath.
  VmSetTop(h.L, 0);
  VmPushNil(h.L);
  ASSERT_EQ(h.Call("StartPath", 1), ERR_NONE);
  EXPECT_EQ(VmType(h.L, -1), VM_TYPE_LIGHTUSERDATA);

  EXPECT_EQ(Results("GetDash", {}), (std::vector<double>{-1}));
  ASSERT_EQ(Call("SetDash", {2, 4, 6}), ERR_NONE);
  EXPECT_EQ(Results("GetDash", {}).front(), 2);
  ASSERT_EQ(Call("SetDash", {0, -1}), ERR_NONE);
  EXPECT_EQ(Results("GetDash", {}), (std::vector<double>{-1}));
  ASSERT_EQ(Call("SetLineJoin", {7.9}), ERR_NONE);
  EXPECT_EQ(Results("GetLineJoin", {}), (std::vector<double>{7}));
  ASSERT_EQ(Call("SetMiterLimit", {2.5}), ERR_NONE);
  EXPECT_EQ(Results("GetMiterLimit", {}), (std::vector<double>{2.5}));
}

TEST_F(PathTest, ExtentsAndCurrentPoint) {
  ASSERT_EQ(Call("SetFillStyle", {FILLCOLOR}), ERR_NONE);
  BoxPath(10, 10, 50, 30);
  EXPECT_EQ(Results("GetPathExtents", {1}), (std::vector<double>{10, 10, 60, 40}));
  EXPECT_EQ(Results("GetCurrentPoint", {1}), (std::vector<double>{10, 10}));

  ASSERT_EQ(Call("StartPath", {2}), ERR_NONE);
  EXPECT_EQ(Results("GetPathExtents", {2}), (std::vector<double>{0, 0, 0, 0}));
  EXPECT_EQ(Results("GetCurrentPoint", {2}), (std::vector<double>{0, 0}));
  ASSERT_EQ(Call("AddCircleToPath", {2, 0, 0, 10}), ERR_NONE);
  std::vector<double> circle = Results("GetPathExtents", {2});
  const double expect[4] = {-10, -10, 10, 10};
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(circle[i], expect[i], 1.0 / 32) << i;

  // An arc item with unequal radii stays centred on its own y.
  ASSERT_EQ(Call("StartPath", {3}), ERR_NONE);
  ASSERT_EQ(Call("AddEllipseToPath", {3, 100, 50, 40, 20}), ERR_NONE);
  std::vector<double> arc = Results("GetPathExtents", {3});
  EXPECT_NEAR((arc[1] + arc[3]) / 2, 50, 1.0 / 32);
  EXPECT_NEAR(arc[3] - arc[1], 40, 1.0 / 32);
  EXPECT_NEAR(Results("GetCurrentPoint", {3})[0], 140, 1e-9);

  // Current point: relative moves, curves and ClosePath.
  ASSERT_EQ(Call("StartPath", {4}), ERR_NONE);
  ASSERT_EQ(Call("MoveTo", {4, 5, 6}), ERR_NONE);
  ASSERT_EQ(Call("RelLineTo", {4, 10, 0}), ERR_NONE);
  EXPECT_EQ(Results("GetCurrentPoint", {4}), (std::vector<double>{15, 6}));
  ASSERT_EQ(Call("RelCurveTo", {4, 1, 1, 2, 2, 3, 4}), ERR_NONE);
  EXPECT_EQ(Results("GetCurrentPoint", {4}), (std::vector<double>{18, 10}));
  ASSERT_EQ(Call("ClosePath", {4}), ERR_NONE);
  EXPECT_EQ(Results("GetCurrentPoint", {4}), (std::vector<double>{5, 6}));

  // Translating moves absolute items only; normalising puts the box at 0, 0.
  ASSERT_EQ(Call("StartPath", {5}), ERR_NONE);
  ASSERT_EQ(Call("MoveTo", {5, 10, 20}), ERR_NONE);
  ASSERT_EQ(Call("RelLineTo", {5, 5, 5}), ERR_NONE);
  ASSERT_EQ(Call("TranslatePath", {5, 100, 200}), ERR_NONE);
  ASSERT_EQ(Call("PathItems", {5}), ERR_NONE);
  int it = VmGetTop(h.L);
  ASSERT_TRUE(nextItem(h.L, it));
  EXPECT_EQ(field(h.L, "x"), 110);
  EXPECT_EQ(field(h.L, "y"), 220);
  VmSetTop(h.L, -2);
  ASSERT_TRUE(nextItem(h.L, it));
  EXPECT_EQ(field(h.L, "x"), 5);
  ASSERT_EQ(Call("NormalizePath", {1}), ERR_NONE);
  EXPECT_EQ(Results("GetPathExtents", {1}), (std::vector<double>{0, 0, 50, 30}));
}

TEST_F(PathTest, DrawingIntoABrush) {
  SelectBrush();
  ASSERT_EQ(Call("SetFillStyle", {FILLCOLOR}), ERR_NONE);
  // A box without anti-aliasing covers exactly its pixels; the colour's
  // top byte is no transparency.
  BoxPath(0, 0, 30, 20);
  ASSERT_EQ(Call("DrawPath", {1, 10, 10, 0x80FF0000}), ERR_NONE);
  std::vector<uint32_t> p = Pixels();
  EXPECT_EQ(Count(p, 0xFF0000), 30 * 20);
  EXPECT_EQ(At(p, 10, 10), 0xFF0000u);
  EXPECT_EQ(At(p, 39, 29), 0xFF0000u);
  EXPECT_EQ(At(p, 40, 29), 0u);
  EXPECT_EQ(At(p, 9, 10), 0u);

  ASSERT_EQ(Call("StartPath", {2}), ERR_NONE);
  ASSERT_EQ(Call("MoveTo", {2, 5, 5}), ERR_NONE);
  EXPECT_EQ(Call("DrawPath", {2, 0, 0}), ERR_EMPTYPATH);
  EXPECT_EQ(Call("DrawPath", {9, 0, 0}), ERR_FINDPATH);

  // A circle left open still covers its disc.
  Clear();
  ASSERT_EQ(Call("StartPath", {3}), ERR_NONE);
  ASSERT_EQ(Call("AddCircleToPath", {3, 0, 0, 10}), ERR_NONE);
  ASSERT_EQ(Call("DrawPath", {3, 0, 0, 0xFFFFFF}), ERR_NONE);
  p = Pixels();
  EXPECT_EQ(At(p, 10, 10), 0xFFFFFFu);
  EXPECT_NEAR(Count(p, 0xFFFFFF), 3.14159 * 100, 20);

  // A five-pointed star: even-odd leaves its centre empty, winding fills it.
  ASSERT_EQ(Call("StartPath", {4}), ERR_NONE);
  const double star[5][2] = {{20, 0}, {32, 38}, {0, 14}, {40, 14}, {8, 38}};
  ASSERT_EQ(Call("MoveTo", {4, star[0][0], star[0][1]}), ERR_NONE);
  for (int i = 1; i < 5; ++i) ASSERT_EQ(Call("LineTo", {4, star[i][0], star[i][1]}), ERR_NONE);
  ASSERT_EQ(Call("ClosePath", {4}), ERR_NONE);
  for (int rule : {0, 1}) {
    Clear();
    ASSERT_EQ(Call("SetFillRule", {rule}), ERR_NONE);
    ASSERT_EQ(Call("DrawPath", {4, 0, 0, 0xFFFFFF}), ERR_NONE);
    EXPECT_EQ(At(Pixels(), 20, 20), rule ? 0u : 0xFFFFFFu) << rule;
  }
  ASSERT_EQ(Call("SetFillRule", {0}), ERR_NONE);
}

// Anti-aliased plain paths blend into a brush straight from the engine's
// coverage: each pixel is the colour laid over the old one at the coverage
// the engine renders for the outline, rounded, also where the brush's edge
// cuts the path.
// Corners that no coordinate holds reach the rasteriser as coordinates it
// can hold, never as integers out of range: a corner that is no number
// counts as 0 and the path draws; infinite and far-off corners are kept
// far off, where the path needs a bitmap larger than any.
TEST_F(PathTest, CornersNoCoordinateHolds) {
  SelectBrush();
  ASSERT_EQ(Call("SetFillStyle", {FILLCOLOR}), ERR_NONE);
  struct Case {
    double corner;
    ErrorCode drawn;
  } cases[] = {{std::nan(""), ERR_NONE},
               {INFINITY, ERR_BITMAP},
               {-INFINITY, ERR_BITMAP},
               {1e30, ERR_BITMAP},
               {-1e30, ERR_BITMAP}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.corner);
    ASSERT_EQ(Call("StartPath", {1}), ERR_NONE);
    ASSERT_EQ(Call("MoveTo", {1, 0, 0}), ERR_NONE);
    ASSERT_EQ(Call("LineTo", {1, c.corner, 10}), ERR_NONE);
    ASSERT_EQ(Call("CurveTo", {1, 10, c.corner, c.corner, 20, 5, 5}), ERR_NONE);
    ASSERT_EQ(Call("ClosePath", {1}), ERR_NONE);
    EXPECT_EQ(Call("DrawPath", {1, 0, 0, 0xFF0000}), c.drawn);
  }
}

TEST_F(PathTest, AntialiasedPathsBlendTheEngineCoverageIntoABrush) {
  SelectBrush();
  ASSERT_EQ(Call("SetFormStyle", {FORM_ANTIALIAS}), ERR_NONE);
  ASSERT_EQ(Call("StartPath", {1}), ERR_NONE);
  ASSERT_EQ(Call("AddCircleToPath", {1, 0, 0, 22.3}), ERR_NONE);
  ASSERT_EQ(Call("MoveTo", {1, 5, -30}), ERR_NONE);
  ASSERT_EQ(Call("LineTo", {1, 41.5, -12.25}), ERR_NONE);
  ASSERT_EQ(Call("LineTo", {1, 12, 3.7}), ERR_NONE);
  VectorPath* path = nullptr;
  ASSERT_EQ(FindPathById(ObjectId{nullptr, 1}, &path), ERR_NONE);
  constexpr uint32_t BACK = 0x7F336699, COLOR = 0xE0A040;
  struct Case {
    const char* name;
    int fill;  // 0: stroked 3 wide
    int x, y;  // where DrawPath puts it (the brush is 80 x 60)
  };
  const Case cases[] = {{"filled, cut left and below", 1, -9, 30},
                        {"stroked, cut above and right", 0, 50, -7}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FillBitmapRect(brush->bitmap, 0, 0, W, H, BACK);
    ASSERT_EQ(c.fill ? Call("SetFillStyle", {FILLCOLOR}) : Call("SetFillStyle", {FILLNONE, 3}),
              ERR_NONE);
    ASSERT_EQ(Call("DrawPath", {1, c.x, c.y, COLOR}), ERR_NONE);
    // The engine's coverage of the outline, placed by the filled outline.
    PathGeometry g{path->items, CurrentPathLineStyle(), 1, c.fill, 3, nullptr};
    PathGeometry filled{path->items, CurrentPathLineStyle(), 1, 1, 1, nullptr};
    double box[4], fillBox[4];
    ASSERT_EQ(EngineGetExtents(nullptr, g, box), 1);
    ASSERT_EQ(EngineGetExtents(nullptr, filled, fillBox), 1);
    const int cw = static_cast<int>(box[2] - box[0] + 0.5),
              ch = static_cast<int>(box[3] - box[1] + 0.5);
    std::vector<uint8_t> coverage(static_cast<size_t>(cw) * ch, 0);
    ASSERT_EQ(EngineDrawPath(nullptr, g, 0, 0, coverage.data(), cw, cw, ch), 1);
    const int ox = c.x + static_cast<int>(std::floor(box[0]) - std::floor(fillBox[0]));
    const int oy = c.y + static_cast<int>(std::floor(box[1]) - std::floor(fillBox[1]));
    uint32_t* argb = ReadBitmapRectARGB(brush->bitmap, 0, 0, W, H, 1);
    ASSERT_NE(argb, nullptr);
    int partial = 0, wrong = 0;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        const int i = x - ox, j = y - oy;
        const uint32_t a = i >= 0 && j >= 0 && i < cw && j < ch ? coverage[j * cw + i] : 0;
        partial += a > 0 && a < 255;
        uint32_t expected = 0;
        for (int shift : {0, 8, 16}) {
          const uint32_t v = ((COLOR >> shift) & 255) * a + ((BACK >> shift) & 255) * (255 - a);
          expected |= static_cast<uint32_t>(std::lround(v / 255.0)) << shift;
        }
        const uint32_t got = argb[y * W + x] & 0xFFFFFF;
        if (got != expected && wrong++ < 5)
          ADD_FAILURE() << x << "," << y << ": " << std::hex << got << " expected " << expected
                        << " at coverage " << std::dec << a;
      }
    FreeMemory(argb);
    EXPECT_GT(partial, 50);
  }
}

TEST_F(PathTest, ShadowsEdgesAndCaps) {
  SelectBrush();
  ASSERT_EQ(Call("SetFillStyle", {FILLCOLOR}), ERR_NONE);
  ASSERT_EQ(Call("SetFormStyle", {FORM_SHADOW, 0x00FF00, 5, SHDWSOUTHEAST}), ERR_NONE);
  BoxPath(0, 0, 20, 10);
  ASSERT_EQ(Call("DrawPath", {1, 10, 10, 0xFF0000}), ERR_NONE);
  std::vector<uint32_t> p = Pixels();
  EXPECT_EQ(Count(p, 0xFF0000), 200);
  // The shadow's 20 x 10 less the 15 x 5 that the body covers.
  EXPECT_EQ(Count(p, 0x00FF00), 200 - 75);
  EXPECT_EQ(At(p, 34, 24), 0x00FF00u);

  // Not filled: a one-pixel stroke, and neither shadow nor edge.
  Clear();
  ASSERT_EQ(Call("SetFormStyle", {FORM_EDGE, 0x0000FF, 3}), ERR_NONE);
  ASSERT_EQ(Call("SetFillStyle", {FILLNONE, 2}), ERR_NONE);
  ASSERT_EQ(Call("DrawPath", {1, 10, 10, 0xFF0000}), ERR_NONE);
  p = Pixels();
  EXPECT_EQ(Count(p, 0x00FF00), 0);
  EXPECT_EQ(Count(p, 0x0000FF), 0);
  EXPECT_GT(Count(p, 0xFF0000), 0);
  ASSERT_EQ(Call("SetFormStyle", {FORM_NORMAL}), ERR_NONE);

  // An open stroke reaches half its width past its ends with round caps.
  ASSERT_EQ(Call("SetFillStyle", {FILLNONE, 10}), ERR_NONE);
  ASSERT_EQ(Call("StartPath", {2}), ERR_NONE);
  ASSERT_EQ(Call("MoveTo", {2, 0, 0}), ERR_NONE);
  ASSERT_EQ(Call("LineTo", {2, 30, 0}), ERR_NONE);
  struct Cap {
    int cap;
    double width;
  };
  for (Cap c : {Cap{CAPBUTT, 30}, Cap{CAPROUND, 40}, Cap{CAPSQUARE, 40}}) {
    ASSERT_EQ(Call("SetLineCap", {c.cap}), ERR_NONE);
    std::vector<double> box = Results("GetPathExtents", {2});
    EXPECT_NEAR(box[2] - box[0], c.width, 0.5) << c.cap;
  }
  ASSERT_EQ(Call("SetLineCap", {CAPBUTT}), ERR_NONE);
}

TEST_F(PathTest, ForcedPathsDrawTheShapes) {
  SelectBrush();
  ASSERT_EQ(Call("SetFillStyle", {FILLCOLOR}), ERR_NONE);
  BoxPath(0, 0, 25, 15);
  ASSERT_EQ(Call("DrawPath", {1, 5, 7, 0xFFFF00}), ERR_NONE);
  std::vector<uint32_t> byPath = Pixels();
  Clear();
  ASSERT_EQ(Call("ForcePathUse", {1}), ERR_NONE);
  ASSERT_EQ(Call("Box", {5, 7, 25, 15, 0xFFFF00}), ERR_NONE);
  EXPECT_EQ(Pixels(), byPath);
  ASSERT_EQ(Call("ForcePathUse", {0}), ERR_NONE);
  Clear();
  ASSERT_EQ(Call("Box", {5, 7, 25, 15, 0xFFFF00}), ERR_NONE);
  EXPECT_EQ(Pixels(), byPath);
}

TEST_F(PathTest, PathListsBecomeVectorBrushes) {
  ASSERT_EQ(Call("SetFillStyle", {FILLCOLOR}), ERR_NONE);
  BoxPath(0, 0, 10, 10);
  auto convert = [&](auto fill) {
    VmSetTop(h.L, 0);
    VmPushNumber(h.L, OBJTYPE_VECTORPATH);
    VmPushNumber(h.L, 0);
    VmPushNumber(h.L, 5);
    VmNewTable(h.L);
    fill();
    ErrorCode e = h.Call("ConvertToBrush", 4);
    VmSetTop(h.L, 0);
    return e;
  };
  auto entry = [&](int index, double x, double y, bool withId) {
    VmNewTable(h.L);
    SetTableFieldNumber(h.L, "x", x);
    SetTableFieldNumber(h.L, "y", y);
    SetTableFieldNumber(h.L, "color", 0xFF0000);
    if (withId) SetTableFieldNumber(h.L, "id", 1);
    VmRawSetI(h.L, -2, index);
  };
  EXPECT_EQ(convert([] {}), ERR_EMPTYTABLE);
  EXPECT_EQ(convert([&] { entry(1, 0, 0, false); }), ERR_MISSINGFIELD);
  EXPECT_EQ(convert([&] {
              VmPushNumber(h.L, 3);
              VmRawSetI(h.L, -2, 1);
            }),
            ERR_TABEXPECTED3);
  ASSERT_EQ(convert([&] {
              entry(1, 0, 0, true);
              entry(2, 20, 5, true);
            }),
            ERR_NONE);
  BrushObject* b = nullptr;
  ASSERT_EQ(GetBrushObject(h.L, ObjectId{nullptr, 5}, &b, 0), ERR_NONE);
  EXPECT_EQ(b->isVector, 1);
  EXPECT_EQ(b->width, 30);
  EXPECT_EQ(b->height, 15);
  // Scaled by two it is drawn again from the outline: the box edges stay
  // one pixel sharp.
  ASSERT_EQ(Call("ScaleBrush", {5, 60, 30}), ERR_NONE);
  ASSERT_EQ(GetBrushObject(h.L, ObjectId{nullptr, 5}, &b, 0), ERR_NONE);
  ASSERT_EQ(b->width, 60);
  BitmapLock lock{};
  ASSERT_NE(LockBitmap(b->alpha, 1, &lock), 0u);
  EXPECT_EQ(lock.address[0], 255);
  EXPECT_EQ(lock.address[19], 255);
  EXPECT_EQ(lock.address[20], 0);
  UnlockBitmap(&lock);

  ASSERT_EQ(Call("PathToBrush", {1, 6}), ERR_NONE);
  ASSERT_EQ(GetBrushObject(h.L, ObjectId{nullptr, 6}, &b, 0), ERR_NONE);
  EXPECT_EQ(b->width, 10);

  // Position constants place entries within the list's size: the union of
  // the entries placed by numbers, grown by those placed outside it.
  ASSERT_EQ(Call("StartPath", {2}), ERR_NONE);
  ASSERT_EQ(Call("AddBoxToPath", {2, 0, 0, 40, 20}), ERR_NONE);
  ASSERT_EQ(convert([&] {
              const double entries[][4] = {{2, 0, 0, 0xFF0000},
                                           {1, POS_CENTER, POS_CENTER, 0x00FF00},
                                           {1, POS_RIGHTOUT, POS_TOP + 2, 0x0000FF}};
              int index = 1;
              for (const auto& e : entries) {
                VmNewTable(h.L);
                SetTableFieldNumber(h.L, "id", e[0]);
                SetTableFieldNumber(h.L, "x", e[1]);
                SetTableFieldNumber(h.L, "y", e[2]);
                SetTableFieldNumber(h.L, "color", e[3]);
                VmRawSetI(h.L, -2, index++);
              }
            }),
            ERR_NONE);
  ASSERT_EQ(GetBrushObject(h.L, ObjectId{nullptr, 5}, &b, 0), ERR_NONE);
  ASSERT_EQ(b->width, 50);
  ASSERT_EQ(b->height, 20);
  uint32_t* argb = ReadBitmapRectARGB(b->bitmap, 0, 0, 50, 20, 1);
  ASSERT_NE(argb, nullptr);
  ASSERT_NE(LockBitmap(b->alpha, 1, &lock), 0u);
  const struct {
    int x, y;
    uint32_t color;  // 0: transparent
  } points[] = {{14, 5, 0xFF0000}, {15, 5, 0x00FF00}, {24, 14, 0x00FF00}, {25, 14, 0xFF0000},
                {15, 4, 0xFF0000}, {39, 2, 0xFF0000}, {40, 2, 0x0000FF},  {49, 11, 0x0000FF},
                {40, 1, 0},        {40, 12, 0},       {49, 19, 0}};
  for (const auto& pt : points) {
    const uint8_t a = lock.address[pt.y * lock.rowLength + pt.x];
    EXPECT_EQ(a, pt.color ? 255 : 0) << pt.x << "," << pt.y;
    if (pt.color) {
      EXPECT_EQ(argb[pt.y * 50 + pt.x] & 0xFFFFFF, pt.color) << pt.x << "," << pt.y;
    }
  }
  UnlockBitmap(&lock);
  FreeMemory(argb);
}

TEST_F(PathTest, EnginesAndText) {
  EXPECT_EQ(Call("SetVectorEngine", {"DEFAULT"}), ERR_NONE);
  EXPECT_EQ(Call("SetVectorEngine", {"nosuchengine"}), ERR_FINDPLUGIN);
  EXPECT_STREQ(GetErrorArgString(), "nosuchengine.qmp");
  ASSERT_EQ(Call("StartPath", {1}), ERR_NONE);
  // The current font is the bitmap font topaz.
  EXPECT_EQ(Call("AddTextToPath", {1, "abc"}), ERR_VFONTTYPE);

  ASSERT_EQ(Call("SetFont", {"Bitstream Vera Sans", 30}), ERR_NONE);
  VmSetTop(h.L, 0);
  VmPushNumber(h.L, 1);
  VmPushString(h.L, "abc");
  VmNewTable(h.L);
  SetTableFieldNumber(h.L, "encoding", 2);
  EXPECT_EQ(h.Call("AddTextToPath", 3), ERR_WRONGUSAGE);
  VmSetTop(h.L, 0);
  VmPushNumber(h.L, 1);
  VmPushString(h.L, "a\xC5");
  VmNewTable(h.L);
  SetTableFieldNumber(h.L, "encoding", 1);
  EXPECT_EQ(h.Call("AddTextToPath", 3), ERR_INVALIDUTF8);
  EXPECT_EQ(Results("IsPathEmpty", {1}), (std::vector<double>{1}));

  // "\u0141" at the current point: FreeType's control box of the glyph,
  // flipped and moved there.
  ASSERT_EQ(Call("SetFillStyle", {FILLCOLOR}), ERR_NONE);
  ASSERT_EQ(Call("MoveTo", {1, 10, 50}), ERR_NONE);
  VmSetTop(h.L, 0);
  VmPushNumber(h.L, 1);
  VmPushString(h.L, "\xC5\x81");
  VmNewTable(h.L);
  SetTableFieldNumber(h.L, "encoding", 1);
  ASSERT_EQ(h.Call("AddTextToPath", 3), ERR_NONE);
  const void* blobs[3];
  size_t sizes[3];
  GetBuiltinFontBlobs(blobs, sizes);
  FT_Library lib;
  FT_Face face;
  ASSERT_EQ(FT_Init_FreeType(&lib), 0);
  ASSERT_EQ(FT_New_Memory_Face(lib, static_cast<const FT_Byte*>(blobs[0]),
                               static_cast<FT_Long>(sizes[0]), 0, &face),
            0);
  ASSERT_EQ(FT_Set_Char_Size(face, 0, 30 * 64, 72, 72), 0);
  ASSERT_EQ(FT_Load_Char(face, 0x141, FT_LOAD_NO_BITMAP), 0);
  FT_BBox box;
  FT_Outline_Get_CBox(&face->glyph->outline, &box);
  std::vector<double> expected = {10 + box.xMin / 64.0, 50 - box.yMax / 64.0, 10 + box.xMax / 64.0,
                                  50 - box.yMin / 64.0};
  FT_Done_Face(face);
  FT_Done_FreeType(lib);
  std::vector<double> got = Results("GetPathExtents", {1});
  ASSERT_EQ(got.size(), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(got[i], expected[i], 1.0 / 64) << i;
}

}  // namespace
