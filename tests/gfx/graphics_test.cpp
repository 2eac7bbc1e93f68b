// The "graphics" library without a display (the harness opens it): the
// attribute query's dispatch to the reader a library registered for its
// type, the answers for types whose library registered none, the
// object-type and attribute constants, the frame-rate limit on a test
// clock, gradients drawn into bitmaps and picture identification, and the
// commands with none of the folders above installed.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "gfx/effects_private.h"
#include "gfx/gfx.h"
#include "gfx/graphics_private.h"
#include "root/root.h"
#include "runtime/runtime.h"
#include "tests/media/image_support.h"
#include "tests/support/harness.h"

namespace {

int32_t lastAttribute = -1;
// Answers with the attribute plus the identifier and the parameter it sees.
int fakeReader(VmState* L, int32_t attribute) {
  lastAttribute = attribute;
  VmPushNumber(L, attribute + 1000 * VmCheckInteger(L, 2) + VmOptInteger(L, 4, 0));
  return 1;
}

class GraphicsLibrary : public ::testing::Test {
 protected:
  ErrorCode query(int32_t type, int32_t id, int32_t attribute, double* result) {
    VmSetTop(h.L, 0);
    VmPushNumber(h.L, type);
    VmPushNumber(h.L, id);
    VmPushNumber(h.L, attribute);
    ErrorCode err = h.Call("GetAttribute", 3);
    if (err == ERR_NONE) *result = VmToNumber(h.L, -1);
    return err;
  }

  PlayerHarness h;
};

TEST_F(GraphicsLibrary, AttributeQueryGoesToTheReaderOfItsType) {
  ASSERT_EQ(RegisterAttributeReader(OBJTYPE_MEMORY, fakeReader), ERR_NONE);
  VmPushNumber(h.L, OBJTYPE_MEMORY);
  VmPushNumber(h.L, 7);
  VmPushNumber(h.L, ATTRSIZE);
  VmPushNumber(h.L, 3);
  ASSERT_EQ(h.Call("GetAttribute", 4), ERR_NONE);
  EXPECT_EQ(VmToNumber(h.L, -1), ATTRSIZE + 7000 + 3);
  double count = -1;
  ASSERT_EQ(query(OBJTYPE_MEMORY, 0, ATTRCOUNT, &count), ERR_NONE);
  EXPECT_EQ(lastAttribute, ATTRCOUNT);  // the reader counts its own objects
}

TEST_F(GraphicsLibrary, TypesWithoutReaderHaveNoObjects) {
  struct Case {
    int32_t type;
    int32_t attribute;
    ErrorCode err;
  };
  const Case cases[] = {
      {OBJTYPE_BRUSH, ATTRCOUNT, ERR_NONE},
      {OBJTYPE_BRUSH, ATTRWIDTH, ERR_FINDBRUSH},
      {OBJTYPE_SERIAL, ATTRCOUNT, ERR_NONE},
      {OBJTYPE_SERIAL, ATTRADAPTER, ERR_FINDSERIAL},
      {OBJTYPE_EVENTHANDLER, ATTRCOUNT, ERR_NONE},
      {OBJTYPE_EVENTHANDLER, ATTRWIDTH, ERR_UNKNOWNATTR},
      {7, ATTRCOUNT, ERR_WRONGUSAGE},  // no object type has number 7
      {-1, ATTRCOUNT, ERR_WRONGUSAGE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.type << "/" << c.attribute);
    double result = -1;
    EXPECT_EQ(query(c.type, 1, c.attribute, &result), c.err);
    if (c.err == ERR_NONE) {
      EXPECT_EQ(result, 0);
    }
  }
}

TEST_F(GraphicsLibrary, ObjectTypeAndAttributeConstants) {
  struct Case {
    const char* name;
    double value;
  };
  const Case cases[] = {{"BGPIC", 1},         {"TEXTOBJECT", 8},      {"SERIAL", 60},
                        {"ATTRWIDTH", 0},     {"ATTRCOUNT", 8},       {"ATTRADAPTER", 63},
                        {"ATTRUSERDATA", 97}, {"ATTRNUMENTRIES", 98}, {"ATTRSTANDARD", 99}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const char* text = nullptr;
    double number = -1;
    ASSERT_EQ(VmFindConstant(h.L, c.name, &text, &number), 1);
    EXPECT_EQ(number, c.value);
  }
}

// The frame-rate limit on a clock the test drives: the time now and the
// sleeps it was asked for.
uint32_t clockMicros = 0;
std::vector<int32_t> sleeps;
void testNow(TimeValue* out) {
  out->seconds = 100 + clockMicros / 1000000;
  out->micros = clockMicros % 1000000;
}
void testSleep(int32_t ms) {
  sleeps.push_back(ms);
  clockMicros += static_cast<uint32_t>(ms) * 1000;
}

TEST_F(GraphicsLibrary, FrameLimitSleepsTheRestOfTheInterval) {
  SetFrameClock(testNow, testSleep);
  struct Case {
    const char* name;
    int32_t fps;
    uint32_t sinceLast;  // microseconds
    std::vector<int32_t> sleeps;
  };
  const Case cases[] = {
      {"50 fps, 5 ms after the frame", 50, 5000, {15}},
      {"interval over", 50, 25000, {}},
      {"a second or more", 50, 1000000, {}},
      {"60 fps, at once", 60, 0, {16}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VmSetTop(h.L, 0);
    VmPushNumber(h.L, c.fps);
    ASSERT_EQ(h.Call("SetFPSLimit", 1), ERR_NONE);
    clockMicros = 0;
    WaitFrameInterval(nullptr, 1);  // the last frame is now
    sleeps.clear();
    clockMicros += c.sinceLast;
    WaitFrameInterval(nullptr, 1);
    EXPECT_EQ(sleeps, c.sleeps);
  }
  SetFrameClock(nullptr, nullptr);
}

// DrawGradient renders through the renderer on the bitmap's own lock.
TEST_F(GraphicsLibrary, DrawGradientRendersIntoTheLockedBitmap) {
  GradientSpec spec{};
  spec.type = GRADIENT_LINEAR;
  spec.firstColour = 0xFF102030;
  spec.secondColour = 0xFFF0E0D0;
  spec.angle = 45;
  spec.centreX = spec.centreY = 0.5;
  for (int64_t format : {int64_t{PIXFMT_ARGB32}, int64_t{PIXFMT_RGB565}}) {
    SCOPED_TRACE(format);
    SetSoftBitmapFormatOverride(format);
    OwnedBitmap drawn(AllocBitmap(20, 16, 0, nullptr)), rendered(AllocBitmap(20, 16, 0, nullptr));
    SetSoftBitmapFormatOverride(-1);
    ASSERT_TRUE(drawn && rendered);
    DrawGradient(drawn.get(), 2, 3, 12, 10, &spec);
    DrawGradient(drawn.get(), 15, 0, 10, 4, &spec);  // past the right edge: nothing
    BitmapLock a{}, b{};
    ASSERT_NE(LockBitmap(rendered.get(), 0, &b), 0u);
    GradientRequest request{b.address, b.bytesPerPixel, b.pixelFormat, 2, 3, 12,
                            10,        b.rowLength,     &spec};
    ASSERT_TRUE(RenderGradient(&request));
    ASSERT_NE(LockBitmap(drawn.get(), 1, &a), 0u);
    EXPECT_EQ(a.bytesPerPixel, format == PIXFMT_ARGB32 ? 4 : 2);
    size_t bytes = static_cast<size_t>(a.rowLength) * a.bytesPerPixel * a.height;
    EXPECT_EQ(std::memcmp(a.address, b.address, bytes), 0);
    UnlockBitmap(&a);
    UnlockBitmap(&b);
  }
  testing::internal::CaptureStdout();
  DrawGradient(nullptr, 0, 0, 4, 4, &spec);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "ERROR! DRAWGRADIENT() CALLED WITH DST=NULL!\n");
}

TEST_F(GraphicsLibrary, IsPictureIdentifiesPictureFiles) {
  imagetest::TempDir dir;
  std::string png = dir / "a.png", text = dir / "a.txt";
  imagetest::Shell("convert -size 3x2 xc:'rgba(255,0,0,0.5)' png32:'" + png + "'");
  imagetest::WriteFile(text, {'h', 'e', 'l', 'l', 'o', '\n'});
  struct Case {
    std::string file;
    bool ok;
  };
  for (const Case& c : {Case{png, true}, Case{text, false}}) {
    SCOPED_TRACE(c.file);
    VmSetTop(h.L, 0);
    VmPushString(h.L, c.file.c_str());
    ASSERT_EQ(h.Call("IsPicture", 1), ERR_NONE);
    ASSERT_EQ(VmType(h.L, -1), VM_TYPE_TABLE);
    EXPECT_EQ(VmToBoolean(h.L, -2), c.ok ? 1 : 0);
    if (!c.ok) continue;
    auto field = [&](const char* name) {
      VmPushString(h.L, name);
      VmGetTable(h.L, -2);
      double v = VmType(h.L, -1) == VM_TYPE_BOOLEAN ? VmToBoolean(h.L, -1) : VmToNumber(h.L, -1);
      VmSetTop(h.L, -2);
      return v;
    };
    EXPECT_EQ(field("format"), 1);  // PNG
    EXPECT_EQ(field("width"), 3);
    EXPECT_EQ(field("height"), 2);
    EXPECT_EQ(field("alpha"), 1);
    EXPECT_EQ(field("vector"), 0);
    EXPECT_EQ(field("transparency"), 0);
  }
}

// With no display, brush, sprite or picture services installed the commands
// act as if none existed: no picture is recognised, a pointer finds no
// brush or sprite, and waits and refresh brackets have nothing to do.
TEST_F(GraphicsLibrary, CommandsWithoutTheFoldersAboveFindNothing) {
  imagetest::TempDir dir;
  std::string png = dir / "a.png";
  imagetest::Shell("convert -size 3x2 xc:red png32:'" + png + "'");
  struct Restore {
    ~Restore() { InstallFolderHooks(); }
  } restore;
  auto isPicture = [&] {
    VmSetTop(h.L, 0);
    VmPushString(h.L, png.c_str());
    EXPECT_EQ(h.Call("IsPicture", 1), ERR_NONE);
    return VmToBoolean(h.L, -2);
  };
  ASSERT_EQ(isPicture(), 1);
  SetGfxDisplayHooks(nullptr);
  SetGfxObjectHooks(nullptr);
  SetGfxPictureFileHooks(nullptr);
  EXPECT_EQ(isPicture(), 0);
  struct Case {
    const char* command;
    std::vector<double> args;
    ErrorCode error;
  };
  for (const Case& c :
       {Case{"CreatePointer", {1, OBJTYPE_BRUSH, 1}, ERR_FINDBRUSH},
        Case{"CreatePointer", {1, OBJTYPE_SPRITE, 1}, ERR_FINDSPRITE}, Case{"VWait", {}, ERR_NONE},
        Case{"BeginRefresh", {1}, ERR_NONE}, Case{"EndRefresh", {}, ERR_NONE}}) {
    SCOPED_TRACE(c.command);
    VmSetTop(h.L, 0);
    for (double a : c.args) VmPushNumber(h.L, a);
    EXPECT_EQ(h.Call(c.command, static_cast<int>(c.args.size())), c.error);
  }
  InstallFolderHooks();
  EXPECT_EQ(isPicture(), 1);
}

}  // namespace
