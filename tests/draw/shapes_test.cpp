// The drawing library on a selected brush: the style commands and their
// clamps, the outline geometry, shapes with borders, shadows and
// transparency, lines, and the pixel commands, read back from the brush.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "display/display.h"
#include "draw/shape_private.h"
#include "gfx/pixel_private.h"
#include "platform/linux/system_private.h"
#include "runtime/player.h"
#include "tests/draw/value.h"
#include "tests/support/harness.h"

namespace {

constexpr int32_t W = 80, H = 60;

class DrawTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VmPushValue(h.L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenDrawLibrary(h.L), ERR_NONE);
    VmSetTop(h.L, 0);
  }

  // A black W x H brush 1 selected as output (with an alpha channel when
  // asked), or its mask or alpha channel.
  void SelectBrush(bool alpha = false, const char* command = "SelectBrush") {
    ObjectId id{nullptr, 1};
    ASSERT_EQ(CreateBrushObject(&id, 0, W, H, 0, 0, alpha, 0, 0, 0, 0, nullptr, &brush), ERR_NONE);
    ASSERT_EQ(Call(command, {1}), ERR_NONE);
  }

  ErrorCode Call(const char* name, std::vector<double> args) {
    VmSetTop(h.L, 0);
    for (double a : args) VmPushNumber(h.L, a);
    return h.Call(name, static_cast<int>(args.size()));
  }
  // Calls with a table of named numbers as the last argument.
  ErrorCode CallWithTable(const char* name, std::vector<double> args,
                          std::vector<std::pair<const char*, double>> fields) {
    VmSetTop(h.L, 0);
    for (double a : args) VmPushNumber(h.L, a);
    VmNewTable(h.L);
    for (auto& [key, value] : fields) SetTableFieldNumber(h.L, key, value);
    return h.Call(name, static_cast<int>(args.size()) + 1);
  }
  double Result(int index) { return VmToNumber(h.L, index); }

  std::vector<uint32_t> Pixels() {
    uint32_t* p = ReadBitmapRectARGB(brush->bitmap, 0, 0, W, H, 1);
    std::vector<uint32_t> out(p, p + W * H);
    FreeMemory(p);
    for (uint32_t& v : out) v &= 0xFFFFFF;
    return out;
  }
  std::vector<uint8_t> Alpha() {
    BitmapLock lock{};
    EXPECT_NE(LockBitmap(brush->alpha, 1, &lock), 0u);
    std::vector<uint8_t> out;
    for (int y = 0; y < H; ++y)
      out.insert(out.end(), lock.address + y * lock.rowLength,
                 lock.address + y * lock.rowLength + W);
    UnlockBitmap(&lock);
    return out;
  }
  // Pixels of a colour and their bounding box.
  static int Count(const std::vector<uint32_t>& p, uint32_t c, int* x1 = nullptr, int* y1 = nullptr,
                   int* x2 = nullptr, int* y2 = nullptr) {
    int n = 0, a = W, b = H, c2 = -1, d = -1;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x)
        if (p[y * W + x] == c) {
          ++n;
          a = std::min(a, x);
          b = std::min(b, y);
          c2 = std::max(c2, x);
          d = std::max(d, y);
        }
    if (x1) *x1 = a, *y1 = b, *x2 = c2, *y2 = d;
    return n;
  }
  void Clear() { FillBitmapRect(brush->bitmap, 0, 0, W, H, 0); }

  PlayerHarness h;
  BrushObject* brush = nullptr;
};

TEST_F(DrawTest, StyleCommandsAndClamps) {
  ASSERT_EQ(Call("GetFillStyle", {}), ERR_NONE);
  EXPECT_EQ(Result(1), FILLNONE);
  VmPushString(h.L, "thickness");
  VmGetTable(h.L, 2);
  EXPECT_EQ(Result(-1), 1);
  ASSERT_EQ(Call("GetFormStyle", {}), ERR_NONE);
  EXPECT_EQ(VmGetTop(h.L), 1);
  EXPECT_EQ(Result(1), 1);

  DrawStyle* s = GetCurrentDrawStyle();
  ASSERT_EQ(Call("SetFormStyle", {FORM_SHADOW, 0xFF0000, 7, 5}), ERR_NONE);
  ASSERT_EQ(Call("SetFormStyle", {FORM_NORMAL}), ERR_NONE);
  ASSERT_EQ(Call("SetFormStyle", {FORM_SHADOW}), ERR_NONE);
  EXPECT_EQ(s->formFlags, FORM_NORMAL | FORM_SHADOW);
  EXPECT_EQ(s->shadowColor, 0xFF0000u);
  EXPECT_EQ(s->shadowSize, 7);
  EXPECT_EQ(s->shadowDirection, 5);
  struct Size {
    double given;
    int32_t kept;
  };
  for (Size c : {Size{0, 1}, Size{100, 64}, Size{-3, 1}, Size{64, 64}}) {
    ASSERT_EQ(Call("SetFormStyle", {FORM_SHADOW, 0, c.given}), ERR_NONE);
    EXPECT_EQ(s->shadowSize, c.kept) << c.given;
    ASSERT_EQ(Call("SetFormStyle", {FORM_EDGE, 0, c.given}), ERR_NONE);
    EXPECT_EQ(s->borderSize, c.kept) << c.given;
  }
  EXPECT_EQ(Call("SetFormStyle", {FORM_ANTIALIAS, 1}), ERR_TOOMANYARGS);
  EXPECT_EQ(Call("SetFormStyle", {FORM_NORMAL}), ERR_NONE);
  ASSERT_EQ(Call("GetFormStyle", {}), ERR_NONE);
  EXPECT_EQ(VmGetTop(h.L), 1);

  ASSERT_EQ(Call("SetLineWidth", {5}), ERR_NONE);
  EXPECT_EQ(Call("SetLineWidth", {0.5}), ERR_WRONGUSAGE);
  EXPECT_EQ(s->lineWidth, 5);
  ASSERT_EQ(Call("SetFillStyle", {FILLNONE}), ERR_NONE);
  EXPECT_EQ(s->lineWidth, 1);
  EXPECT_EQ(Call("SetFillStyle", {7}), ERR_WRONGUSAGE);
  EXPECT_EQ(s->fillStyle, FILLNONE);

  EXPECT_EQ(drawContext.cosTable[0], 1.0);
  EXPECT_EQ(drawContext.sinTable[0], -2.4492935982947064e-16);
  EXPECT_EQ(drawContext.sinTable[90], -1.0);
}

TEST_F(DrawTest, OutlineGeometry) {
  const double identity[4] = {1, 0, 0, 1};
  ShapePoints p;
  // The step follows the larger radius: 90 degrees (a diamond) at 2, five
  // degrees at 20.
  EXPECT_EQ(BuildEllipseArc(&p, 2, 2, 2, 2, 0, 360, identity, 0.5, 0.5, 1, 0), 5);
  EXPECT_EQ((ShapePoints{p.begin(), p.begin() + 4}), (ShapePoints{4, 2, 2, 0}));
  EXPECT_EQ(BuildEllipseArc(&p, 20, 20, 20, 20, 0, 360, identity, 0.5, 0.5, 1, 0), 73);

  // An arc from 0 to 90 runs from 3 o'clock clockwise to 6 o'clock and
  // ends at its centre.
  ShapeDescriptor arc{};
  arc.kind = SHAPE_ARC;
  arc.startAngle = 0;
  arc.endAngle = 90;
  arc.clockwise = 1;
  int32_t n = BuildShapeOutline(&arc, 21, 21, identity, 0.5, 0.5, &p);
  ASSERT_GE(n, 4);
  std::set<std::pair<int32_t, int32_t>> points;
  for (int32_t i = 0; i < n; ++i) points.insert({p[2 * i], p[2 * i + 1]});
  EXPECT_TRUE(points.count({20, 10}));
  EXPECT_TRUE(points.count({10, 20}));
  EXPECT_TRUE(points.count({10, 10}));
  EXPECT_FALSE(points.count({10, 0}));

  // Corners above 100 round as 100.
  ShapeDescriptor box{};
  box.kind = SHAPE_BOX;
  ShapePoints at100, at250;
  std::fill(box.corners, box.corners + 4, 100);
  BuildShapeOutline(&box, 40, 20, identity, 0, 0, &at100);
  std::fill(box.corners, box.corners + 4, 250);
  BuildShapeOutline(&box, 40, 20, identity, 0, 0, &at250);
  EXPECT_EQ(at100, at250);

  // A turned ellipse keeps its anchor (its top-left corner) where it was.
  const double quarter[4] = {0, 1, -1, 0};
  ShapePoints straight, turned;
  BuildEllipseArc(&straight, 10, 5, 10, 5, 0, 360, identity, 0, 0, 0, 0);
  BuildEllipseArc(&turned, 10, 5, 10, 5, 0, 360, quarter, 0, 0, 0, 0);
  // The middle of the turned points lies a quarter turn about 0, 0 from
  // the middle of the straight ones.
  auto middle = [](const ShapePoints& q, int axis) {
    int32_t lo = INT32_MAX, hi = INT32_MIN;
    for (size_t i = axis; i < q.size(); i += 2) lo = std::min(lo, q[i]), hi = std::max(hi, q[i]);
    return (lo + hi) / 2.0;
  };
  EXPECT_NEAR(middle(turned, 0), -middle(straight, 1), 1);
  EXPECT_NEAR(middle(turned, 1), middle(straight, 0), 1);

  struct Shadow {
    int32_t direction, sx, sy, bx, by, gw, gh;
  };
  const Shadow shadows[] = {
      {0, 0, 0, 0, 4, 0, 4}, {1, 4, 0, 0, 4, 4, 4}, {2, 4, 0, 0, 0, 4, 0}, {3, 4, 4, 0, 0, 4, 4},
      {4, 0, 4, 0, 0, 0, 4}, {5, 0, 4, 4, 0, 4, 4}, {6, 0, 0, 4, 0, 4, 0}, {7, 0, 0, 4, 4, 4, 4},
  };
  for (const Shadow& c : shadows) {
    int32_t sx, sy, bx, by, gw = 0, gh = 0;
    SplitShadowOffset(4, c.direction, &sx, &sy, &bx, &by);
    GrowByDirection(4, c.direction, &gw, &gh);
    EXPECT_EQ((std::vector<int32_t>{sx, sy, bx, by, gw, gh}),
              (std::vector<int32_t>{c.sx, c.sy, c.bx, c.by, c.gw, c.gh}))
        << c.direction;
  }

  struct Clip {
    int32_t a1, b1, a2, b2, lo, hi;
    int kept;
    int32_t ra1, rb1, ra2, rb2;
  };
  const Clip clips[] = {
      {-10, 0, 10, 20, 0, 100, 1, 0, 10, 10, 20}, {5, 5, 50, 5, 0, 20, 1, 5, 5, 20, 5},
      {-5, 0, -1, 9, 0, 20, 0, 0, 0, 0, 0},       {30, 0, 25, 9, 0, 20, 0, 0, 0, 0, 0},
      {20, 0, -20, 8, 0, 10, 1, 10, 2, 0, 4},
  };
  for (const Clip& c : clips) {
    int32_t a1 = c.a1, b1 = c.b1, a2 = c.a2, b2 = c.b2;
    int kept = ClipLineSegment(&a1, &b1, &a2, &b2, c.lo, c.hi);
    EXPECT_EQ(kept, c.kept) << c.a1 << "," << c.b1;
    if (kept) {
      EXPECT_EQ((std::vector<int32_t>{a1, b1, a2, b2}),
                (std::vector<int32_t>{c.ra1, c.rb1, c.ra2, c.rb2}));
    }
  }
}

TEST_F(DrawTest, ShapesIntoABrush) {
  SelectBrush(true);
  ASSERT_EQ(Call("SetFillStyle", {FILLCOLOR}), ERR_NONE);
  constexpr uint32_t C = 0x20C040;

  // A plain box covers exactly its rectangle.
  ASSERT_EQ(Call("Box", {10, 5, 30, 20, C}), ERR_NONE);
  int x1, y1, x2, y2;
  EXPECT_EQ(Count(Pixels(), C, &x1, &y1, &x2, &y2), 30 * 20);
  EXPECT_EQ((std::vector<int>{x1, y1, x2, y2}), (std::vector<int>{10, 5, 39, 24}));

  // A border ring exactly b wide, and a south-east shadow under it.
  Clear();
  ASSERT_EQ(Call("SetFormStyle", {FORM_EDGE, 0xFF0000, 3}), ERR_NONE);
  ASSERT_EQ(Call("SetFormStyle", {FORM_SHADOW, 0x0000FF, 4, 3}), ERR_NONE);
  ASSERT_EQ(Call("Box", {10, 10, 20, 10, C}), ERR_NONE);
  std::vector<uint32_t> p = Pixels();
  EXPECT_EQ(Count(p, C), 200);
  EXPECT_EQ(Count(p, 0xFF0000, &x1, &y1, &x2, &y2), 26 * 16 - 200);
  EXPECT_EQ((std::vector<int>{x1, y1, x2, y2}), (std::vector<int>{7, 7, 32, 22}));
  EXPECT_EQ(Count(p, 0x0000FF, &x1, &y1, &x2, &y2), 26 * 16 - 22 * 12);
  EXPECT_EQ((std::vector<int>{x2, y2}), (std::vector<int>{36, 26}));
  ASSERT_EQ(Call("SetFormStyle", {FORM_NORMAL}), ERR_NONE);

  // A transparent colour blends over the black with the alpha channel
  // opaque where the shape was drawn ("over" with the brush's own alpha).
  Clear();
  ASSERT_EQ(Call("Box", {0, 0, 10, 10, static_cast<double>(0x80FFFFFFu)}), ERR_NONE);
  p = Pixels();
  uint32_t mixed = p[5 * W + 5];
  EXPECT_NEAR(static_cast<int>(mixed & 0xFF), 127, 1);

  // Circle(0, 0, 10) is 21 x 21.
  Clear();
  ASSERT_EQ(Call("Circle", {0, 0, 10, C}), ERR_NONE);
  Count(Pixels(), C, &x1, &y1, &x2, &y2);
  EXPECT_EQ((std::vector<int>{x1, y1, x2, y2}), (std::vector<int>{0, 0, 20, 20}));

  // An open triangle is closed: its third edge bounds the fill.
  Clear();
  VmSetTop(h.L, 0);
  VmPushNumber(h.L, 5);
  VmPushNumber(h.L, 5);
  VmNewTable(h.L);
  const double tri[] = {0, 0, 20, 0, 0, 20};
  for (int i = 0; i < 6; ++i) {
    VmPushNumber(h.L, tri[i]);
    VmRawSetI(h.L, 3, i);
  }
  VmPushNumber(h.L, 3);
  VmPushNumber(h.L, C);
  ASSERT_EQ(h.Call("Polygon", 5), ERR_NONE);
  p = Pixels();
  EXPECT_EQ(p[6 * W + 6], C);
  EXPECT_EQ(p[23 * W + 23], 0u);
  EXPECT_NEAR(Count(p, C), 21 * 22 / 2, 21);

  // Arcs: start = end draws nothing, 0-720 equals 0-360.
  Clear();
  ASSERT_EQ(Call("Arc", {40, 30, 10, 8, 45, 45, C}), ERR_NONE);
  EXPECT_EQ(Count(Pixels(), C), 0);
  ASSERT_EQ(Call("Arc", {20, 20, 10, 8, 0, 360, C}), ERR_NONE);
  std::vector<uint32_t> full = Pixels();
  Clear();
  ASSERT_EQ(Call("Arc", {20, 20, 10, 8, 0, 720, C}), ERR_NONE);
  EXPECT_EQ(Pixels(), full);

  // A wide outline draws without failing.
  Clear();
  ASSERT_EQ(Call("SetFillStyle", {FILLNONE, 300}), ERR_NONE);
  ASSERT_EQ(Call("Box", {10, 10, 20, 20, C}), ERR_NONE);
  EXPECT_EQ(Count(Pixels(), C), W * H);

  struct Refusal {
    const char* command;
    std::vector<double> args;
    ErrorCode error;
  };
  const Refusal refusals[] = {
      {"Box", {0, 0, 0, 10}, ERR_WRONGUSAGE},
      {"Box", {0, 0, 10, -1}, ERR_WRONGUSAGE},
      {"Circle", {0, 0, 0}, ERR_WRONGUSAGE},
      {"Ellipse", {0, 0, 5, 0}, ERR_WRONGUSAGE},
      {"Arc", {0, 0, 5, 5, -1, 90}, ERR_WRONGUSAGE},
      {"Ellipse", {0, 0, 2000000000, 2000000000}, ERR_BITMAP},
  };
  for (const Refusal& r : refusals) EXPECT_EQ(Call(r.command, r.args), r.error) << r.command;
  VmSetTop(h.L, 0);
  VmPushNumber(h.L, 0);
  VmPushNumber(h.L, 0);
  VmNewTable(h.L);
  VmPushNumber(h.L, 1000);
  EXPECT_EQ(h.Call("Polygon", 4), ERR_WRONGUSAGE);
}

// A plain opaque box is drawn straight into the target: it needs no
// temporary image, so it draws while every allocation fails.
TEST_F(DrawTest, PlainBoxDrawsWhileAllocationsFail) {
  SelectBrush();
  ASSERT_EQ(Call("SetFillStyle", {FILLCOLOR}), ERR_NONE);
  VmSetTop(h.L, 0);
  for (double a : {10.0, 5.0, 30.0, 20.0, static_cast<double>(0x20C040)}) VmPushNumber(h.L, a);
  SetAllocFailure(1, true);
  ErrorCode e = h.Call("Box", 5);
  SetAllocFailure(0, false);
  EXPECT_EQ(e, ERR_NONE);
  EXPECT_EQ(Count(Pixels(), 0x20C040), 30 * 20);
}

// A plain box is cut to the selected brush, mask or alpha channel, also
// where its far edge lies beyond 32-bit coordinates.
TEST_F(DrawTest, PlainBoxesAreCutToTheOutput) {
  SelectBrush();
  ASSERT_EQ(Call("SetFillStyle", {FILLCOLOR}), ERR_NONE);
  constexpr uint32_t C = 0x20C040;
  struct Case {
    double x, y, w, h;
    int x1, y1, x2, y2;  // the pixels drawn; none when x2 < x1
  };
  const Case cases[] = {
      {10, 5, 30, 20, 10, 5, 39, 24},
      {-5, -3, 10, 8, 0, 0, 4, 4},
      {W - 4, H - 2, 10, 10, W - 4, H - 2, W - 1, H - 1},
      {W - 3, 2, INT32_MAX, 3, W - 3, 2, W - 1, 4},
      {3, H - 1, 2, INT32_MAX, 3, H - 1, 4, H - 1},
      {-2000000000, 1, 2000000006, 2, 0, 1, 5, 2},
      {W, 0, 5, 5, 0, 0, -1, -1},
      {-10, 0, 10, 5, 0, 0, -1, -1},
  };
  for (const char* select : {"SelectBrush", "SelectMask", "SelectAlphaChannel"}) {
    ASSERT_EQ(Call(select, {1}), ERR_NONE);
    ASSERT_EQ(PrepareOutputTarget(h.L), ERR_NONE);
    const std::string kind = select;
    for (const Case& c : cases) {
      SCOPED_TRACE(kind + " " + std::to_string(c.x) + ", " + std::to_string(c.y));
      if (kind == "SelectBrush")
        Clear();
      else if (kind == "SelectMask")
        MaskRectOp(brush->mask, 0, 0, W, H, 1);
      else
        FillAlphaRect(brush->alpha, 0, 0, W, H, 0);
      ASSERT_EQ(Call("Box", {c.x, c.y, c.w, c.h, C}), ERR_NONE);
      const std::vector<uint32_t> pixels = Pixels();
      const std::vector<uint8_t> alpha =
          kind == "SelectAlphaChannel" ? Alpha() : std::vector<uint8_t>{};
      int wrong = 0;
      for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
          const bool inside = x >= c.x1 && x <= c.x2 && y >= c.y1 && y <= c.y2;
          const bool drawn = kind == "SelectBrush"  ? pixels[y * W + x] == C
                             : kind == "SelectMask" ? ReadBitmapPixel(brush->mask, x, y, 1) == 1
                                                    : alpha[y * W + x] == 255;
          wrong += inside != drawn;
        }
      EXPECT_EQ(wrong, 0);
    }
  }
}

// The route word by the script's declared version and the line-based
// switch: 0 the vector route, 1 the polygon route, 16 (the anti-alias bit)
// a plain box that the vector route draws directly.
TEST_F(DrawTest, RouteFollowsTheDeclaredVersionAndTheSwitch) {
  PlayerRecord record{};
  record.appletLoaded = 1;
  PlayerRecord* saved = player.record;
  player.record = &record;
  const double identity[4] = {1, 0, 0, 1}, turned[4] = {0, 1, -1, 0};
  const int32_t sharp[4] = {0, 0, 0, 0}, rounded[4] = {0, 20, 0, 0};
  struct Box {
    const char* name;
    int32_t fill, lineWidth, form;
    const int32_t* corners;
    const double* m;
    int32_t oldRoute, newRoute;
  };
  const Box boxes[] = {
      {"plain", FILLCOLOR, 1, FORM_NORMAL, sharp, identity, 0, 0},
      {"plain anti-aliased", FILLCOLOR, 1, FORM_ANTIALIAS, sharp, identity, 16, 16},
      {"thin outline", FILLNONE, 1, FORM_ANTIALIAS, sharp, identity, 16, 16},
      {"wide outline", FILLNONE, 2, FORM_NORMAL, sharp, identity, 1, 1},
      {"turned", FILLCOLOR, 1, FORM_ANTIALIAS, sharp, turned, 1, 1},
      {"rounded", FILLCOLOR, 1, FORM_NORMAL, rounded, identity, 1, 1},
      {"rounded anti-aliased", FILLCOLOR, 1, FORM_ANTIALIAS, rounded, identity, 1, 0},
  };
  struct Mode {
    int32_t version, lineBased, newMode;
  };
  for (Mode mode : {Mode{5, 0, 0}, Mode{6, 0, 1}, Mode{5, 1, 0}, Mode{6, 1, 0}}) {
    record.versionMajor = mode.version;
    SetLegacySwitch(LEGACY_LINEBASEDSHAPES, mode.lineBased);
    EXPECT_EQ(ShapeNewMode(), mode.newMode) << mode.version << " " << mode.lineBased;
    for (const Box& b : boxes) {
      DrawStyle style = *GetCurrentDrawStyle();
      style.fillStyle = b.fill;
      style.lineWidth = b.lineWidth;
      style.formFlags = b.form;
      EXPECT_EQ(BoxRoute(&style, b.corners, b.m), mode.newMode ? b.newRoute : b.oldRoute)
          << b.name << ", version " << mode.version << ", switch " << mode.lineBased;
    }
  }
  SetLegacySwitch(LEGACY_LINEBASEDSHAPES, 0);
  player.record = saved;
}

TEST_F(DrawTest, AntiAliasedRoundShapesTakeTheVectorRoute) {
  SelectBrush(true);
  constexpr uint32_t C = 0x20C040;
  ASSERT_EQ(Call("SetFillStyle", {FILLCOLOR}), ERR_NONE);
  ASSERT_EQ(Call("SetFormStyle", {FORM_ANTIALIAS}), ERR_NONE);
  // An anti-aliased circle of radius 10 at the top-left: full inside, its
  // edge blended into the black, nothing beyond its 21 x 21 box.
  ASSERT_EQ(Call("Circle", {0, 0, 10, C}), ERR_NONE);
  std::vector<uint32_t> p = Pixels();
  EXPECT_EQ(p[10 * W + 10], C);
  EXPECT_EQ(p[0], 0u);
  int x1, y1, x2, y2;
  Count(p, C, &x1, &y1, &x2, &y2);
  EXPECT_GE(x1, 0);
  EXPECT_LE(x2, 20);
  for (int y = 0; y < H; ++y)
    for (int x = 22; x < W; ++x) ASSERT_EQ(p[y * W + x], 0u) << x << "," << y;

  // With a border the ring shows around the body.
  Clear();
  ASSERT_EQ(Call("SetFormStyle", {FORM_EDGE, 0xFF0000, 3}), ERR_NONE);
  ASSERT_EQ(Call("Ellipse", {40, 30, 15, 10, C}), ERR_NONE);
  p = Pixels();
  // The box is 31 x 21 at (40, 30): the body reaches rows 30 to 50, the
  // border 3 more.
  EXPECT_EQ(p[40 * W + 55], C);
  EXPECT_GE(p[52 * W + 55], 0xF00000u);  // red, its outer edge blended
  EXPECT_EQ(p[52 * W + 55] & 0xFFFF, 0u);
  EXPECT_EQ(p[25 * W + 55], 0u);
  EXPECT_EQ(p[55 * W + 55], 0u);
}

// One anti-aliased shape of one colour goes into a brush straight from
// the rasterizer's spans; with the pixel engine's fast paths off it is
// composed as an image and blitted. Both must leave the same bytes, in a
// 32-bit and a 16-bit brush, over a background that shows every blend,
// with clipping at each edge, transparency, outlines and turns.
TEST_F(DrawTest, AntiAliasedShapesDrawTheSameStraightAndComposed) {
  struct Case {
    const char* name;
    int32_t fillStyle, lineWidth;
    const char* command;
    std::vector<double> args;
    double roundLevel;  // Box only: its options table's roundlevel
  };
  const Case cases[] = {
      {"circle", FILLCOLOR, 1, "Circle", {10, 12, 20, 0x20C040}, 0},
      {"transparent circle over the top-left corner",
       FILLCOLOR,
       1,
       "Circle",
       {-15, -10, 25, static_cast<double>(0x80FF8000u)},
       0},
      {"ellipse over the bottom-right corner",
       FILLCOLOR,
       1,
       "Ellipse",
       {50, 30, 30, 12, 0xC0FFEE},
       0},
      {"turned ellipse", FILLCOLOR, 1, "Ellipse", {20, 15, 22, 9, 0x123456, 30}, 0},
      {"part arc", FILLCOLOR, 1, "Arc", {30, 10, 20, 15, 30, 250, 0xFF00FF}, 0},
      {"outlined circle", FILLNONE, 3, "Circle", {30, 20, 17, 0x00FFFF}, 0},
      {"rounded box", FILLCOLOR, 1, "Box", {5, 7, 50, 30, 0xFFFF00}, 40},
  };
  // What the test changes is put back however it ends.
  struct Restore {
    ~Restore() {
      SetSoftBitmapFormatOverride(-1);
      SetPixelFastPaths(true);
    }
  } restore;
  for (uint32_t format : {0u, static_cast<uint32_t>(PIXFMT_BGR565)}) {
    // Brush 1 in the usual format, brush 2 in a 16-bit one (the format of
    // every bitmap made while it is drawn into).
    const int32_t number = format ? 2 : 1;
    SetSoftBitmapFormatOverride(format ? static_cast<int64_t>(format) : -1);
    ObjectId id{nullptr, number};
    ASSERT_EQ(CreateBrushObject(&id, 0, W, H, 0, 0, 0, 0, 0, 0, 0, nullptr, &brush), ERR_NONE);
    ASSERT_EQ(Call("SelectBrush", {static_cast<double>(number)}), ERR_NONE);
    ASSERT_EQ(Call("SetFormStyle", {FORM_ANTIALIAS}), ERR_NONE);
    auto background = [&] {
      for (int32_t y = 0; y < H; ++y)
        FillBitmapRect(brush->bitmap, 0, y, W, 1, static_cast<uint32_t>(y * 0x040302 + 0x102030));
    };
    auto bytes = [&] {
      BitmapLock lock{};
      EXPECT_NE(LockBitmap(brush->bitmap, 0, &lock), 0u);
      const size_t row = static_cast<size_t>(W) * lock.bytesPerPixel;
      std::vector<uint8_t> out;
      for (int32_t y = 0; y < H; ++y) {
        const uint8_t* from =
            lock.address + static_cast<size_t>(y) * lock.rowLength * lock.bytesPerPixel;
        out.insert(out.end(), from, from + row);
      }
      UnlockBitmap(&lock);
      return out;
    };
    background();
    const std::vector<uint8_t> plain = bytes();
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (format ? " (16-bit)" : " (32-bit)"));
      ASSERT_EQ(Call("SetFillStyle", {static_cast<double>(c.fillStyle)}), ERR_NONE);
      ASSERT_EQ(Call("SetLineWidth", {static_cast<double>(c.lineWidth)}), ERR_NONE);
      std::vector<uint8_t> drawn[2];
      for (bool fast : {true, false}) {
        SetPixelFastPaths(fast);
        background();
        ErrorCode e = c.roundLevel
                          ? CallWithTable(c.command, c.args, {{"roundlevel", c.roundLevel}})
                          : Call(c.command, c.args);
        SetPixelFastPaths(true);
        ASSERT_EQ(e, ERR_NONE);
        drawn[fast] = bytes();
      }
      EXPECT_NE(drawn[1], plain);
      EXPECT_EQ(drawn[1], drawn[0]);
    }
  }
}

// A shape far larger than the output renders only the part the output
// shows, and that part must be what the whole shape shows there. With the
// cut forced on shapes of every size, each shape is drawn whole into a
// large brush and, moved, into the small one whose view into the large one
// cuts it at its corners and sides; both lie on the same background so
// that blends show. (Polygon fills, whose cut outline OpenCV may draw a
// pixel apart, are cut only when far larger than the output.)
TEST_F(DrawTest, ShapesCutByTheOutputShowThePartOfTheWholeShape) {
  constexpr int32_t BW = 240, BH = 200;
  struct Case {
    const char* name;
    int32_t fillStyle, lineWidth, form;
    const char* command;
    std::vector<double> args;  // placed in the large brush
  };
  const Case cases[] = {
      {"anti-aliased circle", FILLCOLOR, 1, FORM_ANTIALIAS, "Circle", {40, 30, 70, 0x20C040}},
      {"anti-aliased turned ellipse with border and shadow",
       FILLCOLOR,
       1,
       FORM_ANTIALIAS | FORM_EDGE | FORM_SHADOW,
       "Ellipse",
       {50, 40, 70, 50, static_cast<double>(0x40FFEE00u), 20}},
      {"wide outline of a polygon", FILLNONE, 7, FORM_NORMAL, "Polygon", {30, 30}},
      {"anti-aliased outlined arc",
       FILLNONE,
       5,
       FORM_ANTIALIAS,
       "Arc",
       {40, 30, 75, 65, 20, 300, 0xFFFFFF}},
      {"anti-aliased gradient ellipse",
       FILLGRADIENT,
       1,
       FORM_ANTIALIAS | FORM_SHADOW,
       "Ellipse",
       {40, 40, 75, 60, 0}},
  };
  struct Restore {
    ~Restore() { SetShapeCutAlways(false); }
  } restore;
  SetShapeCutAlways(true);
  // Views of the small brush into the large one: over the top-left, the
  // bottom-right and the middle of the shapes.
  const std::pair<int32_t, int32_t> views[] = {{10, 5}, {150, 130}, {80, 70}};
  auto background = [](BrushObject* b, int32_t dx, int32_t dy) {
    BitmapLock lock{};
    ASSERT_NE(LockBitmap(b->bitmap, 0, &lock), 0u);
    ASSERT_EQ(lock.bytesPerPixel, 4);
    for (int32_t y = 0; y < b->height; ++y)
      for (int32_t x = 0; x < b->width; ++x)
        reinterpret_cast<uint32_t*>(lock.address)[static_cast<size_t>(y) * lock.rowLength + x] =
            ((x + dx) / 3 + (y + dy) / 2) % 2 ? 0xFF204060u : 0xFF806040u;
    UnlockBitmap(&lock);
  };
  SelectBrush();
  BrushObject* small = brush;
  BrushObject* large = nullptr;
  ObjectId largeId{nullptr, 5};
  ASSERT_EQ(CreateBrushObject(&largeId, 0, BW, BH, 0, 0, 0, 0, 0, 0, 0, nullptr, &large), ERR_NONE);
  ASSERT_EQ(Call("SetFormStyle", {FORM_EDGE, 0xFF0000, 4}), ERR_NONE);
  ASSERT_EQ(Call("SetFormStyle", {FORM_SHADOW, 0x80000000u, 6, 3}), ERR_NONE);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.fillStyle == FILLGRADIENT) {
      VmSetTop(h.L, 0);
      for (double a : {double{FILLGRADIENT}, 2.0, double{0xFF0000}, double{0x0000FF}})
        VmPushNumber(h.L, a);
      ASSERT_EQ(h.Call("SetFillStyle", 4), ERR_NONE);
    } else {
      ASSERT_EQ(Call("SetFillStyle", {static_cast<double>(c.fillStyle)}), ERR_NONE);
    }
    ASSERT_EQ(Call("SetLineWidth", {static_cast<double>(c.lineWidth)}), ERR_NONE);
    ASSERT_EQ(Call("SetFormStyle", {FORM_NORMAL}), ERR_NONE);
    for (int32_t bit : {FORM_ANTIALIAS, FORM_EDGE, FORM_SHADOW})
      if (c.form & bit) {
        ASSERT_EQ(Call("SetFormStyle", {static_cast<double>(bit)}), ERR_NONE);
      }
    auto draw = [&](double dx, double dy) {
      std::vector<double> args = c.args;
      args[0] -= dx;
      args[1] -= dy;
      if (std::string(c.command) == "Polygon") {
        VmSetTop(h.L, 0);
        VmPushNumber(h.L, args[0]);
        VmPushNumber(h.L, args[1]);
        PushValue(h.L, Value::List({0, 0, 170, 20, 150, 140, 60, 150, 20, 60}));
        VmPushNumber(h.L, 5);
        VmPushNumber(h.L, 0xC0C000);
        return h.Call("Polygon", 5);
      }
      return Call(c.command, args);
    };
    ASSERT_EQ(Call("SelectBrush", {5}), ERR_NONE);
    background(large, 0, 0);
    ASSERT_EQ(draw(0, 0), ERR_NONE);
    uint32_t* whole = ReadBitmapRectARGB(large->bitmap, 0, 0, BW, BH, 1);
    ASSERT_NE(whole, nullptr);
    ASSERT_EQ(Call("SelectBrush", {1}), ERR_NONE);
    for (auto [vx, vy] : views) {
      SCOPED_TRACE("view at " + std::to_string(vx) + ", " + std::to_string(vy));
      background(small, vx, vy);
      ASSERT_EQ(draw(vx, vy), ERR_NONE);
      std::vector<uint32_t> cut = Pixels();
      int wrong = 0;
      for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x)
          wrong += cut[y * W + x] != (whole[(y + vy) * BW + x + vx] & 0xFFFFFF);
      EXPECT_EQ(wrong, 0);
    }
    FreeMemory(whole);
  }
  ASSERT_EQ(Call("EndSelect", {}), ERR_NONE);
}

TEST_F(DrawTest, LineBasedShapesSwitchTakesThePolygonRoute) {
  SelectBrush(true);
  ASSERT_EQ(Call("SetFillStyle", {FILLCOLOR}), ERR_NONE);
  ASSERT_EQ(Call("SetFormStyle", {FORM_ANTIALIAS}), ERR_NONE);
  auto circle = [&] {
    Clear();
    EXPECT_EQ(Call("Circle", {10, 10, 17, 0x20C040}), ERR_NONE);
    return Pixels();
  };
  const std::vector<uint32_t> vector = circle();
  EXPECT_EQ(ShapeNewMode(), 1);
  SetLegacySwitch(LEGACY_LINEBASEDSHAPES, 1);
  EXPECT_EQ(ShapeNewMode(), 0);
  const std::vector<uint32_t> polygon = circle();
  SetLegacySwitch(LEGACY_LINEBASEDSHAPES, 0);
  // The polygon outline puts its blended edge elsewhere than the vector
  // rasteriser; with the switch off again the vector route is back.
  EXPECT_NE(polygon, vector);
  EXPECT_EQ(polygon[27 * W + 27], 0x20C040u);
  EXPECT_EQ(circle(), vector);
}

TEST_F(DrawTest, GradientFilledShapes) {
  SelectBrush();
  constexpr int RED = 0xFF0000, BLUE = 0x0000FF, GREEN = 0x00FF00;
  auto setGradient = [&](int type, std::vector<Value> colors, const char* key = "colors",
                         double keyValue = 0) {
    VmSetTop(h.L, 0);
    for (double a : {double{FILLGRADIENT}, double(type), double{RED}, double{BLUE}})
      VmPushNumber(h.L, a);
    int n = 4;
    if (!colors.empty()) {
      PushValue(h.L, Value::Table({{"colors", Value::List(colors)}}));
      ++n;
    } else if (std::string(key) != "colors") {
      PushValue(h.L, Value::Table({{key, keyValue}}));
      ++n;
    }
    return h.Call("SetFillStyle", n);
  };
  auto red = [](uint32_t c) { return (c >> 16) & 0xFF; };
  auto blue = [](uint32_t c) { return c & 0xFF; };

  // A linear gradient runs from the body's top row (start colour) to its
  // bottom row (end colour), the same across each row.
  ASSERT_EQ(setGradient(2, {}), ERR_NONE);
  ASSERT_EQ(Call("Box", {10, 10, 40, 30, 0xFFFFFF}), ERR_NONE);
  std::vector<uint32_t> p = Pixels();
  EXPECT_GE(red(p[10 * W + 30]), 0xF0u);
  EXPECT_LE(blue(p[10 * W + 30]), 0x10u);
  EXPECT_GE(blue(p[39 * W + 30]), 0xF0u);
  EXPECT_LE(red(p[39 * W + 30]), 0x10u);
  EXPECT_GT(red(p[25 * W + 30]), 0x40u);
  EXPECT_GT(blue(p[25 * W + 30]), 0x40u);
  EXPECT_EQ(p[25 * W + 10], p[25 * W + 49]);
  EXPECT_EQ(p[9 * W + 30], 0u);
  EXPECT_EQ(p[40 * W + 30], 0u);

  // A radial gradient in an anti-aliased circle: start colour at the
  // centre, turning to the end colour toward the rim.
  Clear();
  ASSERT_EQ(Call("SetFormStyle", {FORM_ANTIALIAS}), ERR_NONE);
  ASSERT_EQ(setGradient(3, {}), ERR_NONE);
  ASSERT_EQ(Call("Circle", {10, 10, 20, 0xFFFFFF}), ERR_NONE);
  p = Pixels();
  EXPECT_GT(red(p[30 * W + 30]), blue(p[30 * W + 30]));
  EXPECT_GT(blue(p[30 * W + 13]), red(p[30 * W + 13]));
  ASSERT_EQ(Call("SetFormStyle", {FORM_NORMAL}), ERR_NONE);

  // A colour list replaces the two colours and reads back; colours given
  // again afterwards empty the list, so they are drawn.
  Clear();
  ASSERT_EQ(setGradient(2, {GREEN, 0.0, GREEN, 1.0}), ERR_NONE);
  ASSERT_EQ(Call("Box", {10, 10, 40, 30, 0xFFFFFF}), ERR_NONE);
  p = Pixels();
  EXPECT_EQ(p[10 * W + 30], GREEN);
  EXPECT_EQ(p[39 * W + 30], GREEN);
  ASSERT_EQ(Call("GetFillStyle", {}), ERR_NONE);
  VmPushString(h.L, "colors");
  VmGetTable(h.L, 2);
  ASSERT_EQ(VmType(h.L, -1), VM_TYPE_TABLE);
  VmRawGetI(h.L, -1, 2);
  EXPECT_EQ(Result(-1), GREEN);
  VmSetTop(h.L, 2);
  VmPushString(h.L, "centerx");
  VmGetTable(h.L, 2);
  EXPECT_EQ(Result(-1), 0.5);
  ASSERT_EQ(setGradient(2, {}), ERR_NONE);
  ASSERT_EQ(Call("Box", {10, 10, 40, 30, 0xFFFFFF}), ERR_NONE);
  EXPECT_GE(red(Pixels()[10 * W + 30]), 0xF0u);

  // The reader's errors come back as they are and leave the style alone.
  struct Bad {
    int type;
    std::vector<Value> colors;
    const char* key;
    double value;
    ErrorCode error;
  };
  for (const Bad& c : {Bad{3, {}, "centerx", 1.5, ERR_WRONGUSAGE},
                       Bad{2, {GREEN, 0.5}, "colors", 0, ERR_WRONGUSAGE},
                       Bad{2, {GREEN, 0.0, RED}, "colors", 0, ERR_MISSINGPARAMTR}}) {
    EXPECT_EQ(setGradient(c.type, c.colors, c.key, c.value), c.error) << c.key;
    ASSERT_EQ(Call("GetFillStyle", {}), ERR_NONE);
    VmPushString(h.L, "style");
    VmGetTable(h.L, 2);
    EXPECT_EQ(Result(-1), 2);
  }
}

TEST_F(DrawTest, Lines) {
  SelectBrush();
  constexpr uint32_t C = 0xFFFFFF;
  struct Case {
    double x1, y1, x2, y2;
    int pixels;
  };
  for (Case c : {Case{3, 4, 50, 20, 48}, Case{10, 50, 12, 2, 49}, Case{7, 7, 7, 7, 1},
                 Case{-30, 10, 200, 10, W}, Case{0, -5, 0, -1, 0}, Case{-100, 200, 300, 200, 0}}) {
    Clear();
    ASSERT_EQ(Call("Line", {c.x1, c.y1, c.x2, c.y2, C}), ERR_NONE);
    EXPECT_EQ(Count(Pixels(), C), c.pixels) << c.x1 << "," << c.y1;
  }
  // Far-off end points cost nothing and draw what lies inside.
  Clear();
  ASSERT_EQ(Call("Line", {-2000000000, 30, 2000000000, 30, C}), ERR_NONE);
  EXPECT_EQ(Count(Pixels(), C), W);

  // Thickness above 64 draws as 64.
  Clear();
  ASSERT_EQ(Call("Line", {10, 30, 70, 30, C, 100}), ERR_NONE);
  std::vector<uint32_t> wide = Pixels();
  Clear();
  ASSERT_EQ(Call("Line", {10, 30, 70, 30, C, 64}), ERR_NONE);
  EXPECT_EQ(Pixels(), wide);
  EXPECT_EQ(Call("Line", {10, 30, 70, 30, C, 40000}), ERR_WRONGUSAGE);

  // A thick anti-aliased line is full along its middle and empty beyond
  // half its thickness plus 2, round ends included.
  Clear();
  ASSERT_EQ(Call("SetFormStyle", {FORM_ANTIALIAS}), ERR_NONE);
  ASSERT_EQ(Call("Line", {20, 30, 60, 30, C, 10}), ERR_NONE);
  std::vector<uint32_t> p = Pixels();
  for (int x = 20; x <= 60; ++x) EXPECT_EQ(p[30 * W + x], C) << x;
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      double dx = x < 20 ? 20 - x : x > 60 ? x - 60 : 0, dy = y - 30;
      if (std::sqrt(dx * dx + dy * dy) > 5 + 2) {
        EXPECT_EQ(p[y * W + x], 0u) << x << "," << y;
      }
    }
}

TEST_F(DrawTest, PixelCommands) {
  SelectBrush(true);
  EXPECT_EQ(Call("Plot", {-1, 5, 0xFF}), ERR_NONE);
  EXPECT_EQ(Call("Plot", {W, 5, 0xFF}), ERR_NONE);
  EXPECT_EQ(Count(Pixels(), 0xFF), 0);
  ASSERT_EQ(Call("Plot", {3, 4, 0xFF}), ERR_NONE);
  ASSERT_EQ(Call("ReadPixel", {3, 4}), ERR_NONE);
  EXPECT_EQ(Result(-1), 0xFF);
  EXPECT_EQ(Call("ReadPixel", {W, 0}), ERR_PIXELRANGE);
  EXPECT_EQ(Call("ReadPixel", {0, -1}), ERR_PIXELRANGE);

  FillAlphaRect(brush->alpha, 0, 0, W, H, 0);
  ASSERT_EQ(Call("Cls", {0x123456}), ERR_NONE);
  EXPECT_EQ(Count(Pixels(), 0x123456), W * H);
  std::vector<uint8_t> a = Alpha();
  EXPECT_EQ(std::count(a.begin(), a.end(), 255), W * H);
}

}  // namespace
