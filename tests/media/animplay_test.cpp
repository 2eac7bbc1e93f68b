// Anims on the display: DisplayAnimFrame, SelectAnim as the drawing target
// (and the anim's refusals while selected), PlayAnim synchronously and as
// an async drawing (frames composed over the saved background, clipping,
// speeds, locks, output refusals) and PlayAnimDisk, on the test display
// adapter.
#include <cstring>

#include "gfx/bitmap_private.h"
#include "gfx/pixel_private.h"
#include "media/anim_private.h"
#include "media/image_private.h"
#include "media/media.h"
#include "tests/gfx/display_fixture.h"

using namespace gfxtest;

namespace {

constexpr uint32_t KEY = 0xFF00FF;  // the masked colour of the strips
const uint32_t COLOURS[3] = {0xC02020, 0x20C020, 0x2020C0};

class AnimPlay : public DisplayTest {
 protected:
  void SetUp() override {
    DisplayTest::SetUp();
    for (ErrorCode (*open)(VmState*) : {OpenAnimLibrary, OpenSpriteLibrary}) {
      VmPushValue(L, VM_GLOBALS_INDEX);
      ASSERT_EQ(open(L), ERR_NONE);
      VmSetTop(L, 0);
    }
    counts = plugintest::ModuleSymbol<void (*)(int32_t*)>(root + "/Plugins/testdisplay.qmp",
                                                          "TestDisplayCounts");
    ASSERT_NE(counts, nullptr);
    OpenDisplay(64, 48);
  }
  void TearDown() override {
    FreeAllSprites(L);
    FreeAllAnims(L);
    DisplayTest::TearDown();
  }
  // Anim id of three 8 x 6 frames in COLOURS; with masked, the left half
  // of frame k is the key colour and hidden, except its top row.
  void Strip(int id, bool masked) {
    std::vector<uint32_t> px(24 * 6);
    for (int y = 0; y < 6; y++)
      for (int x = 0; x < 24; x++)
        px[static_cast<size_t>(y * 24 + x)] =
            0xFF000000u | (masked && x % 8 < 4 && y > 0 ? KEY : COLOURS[x / 8]);
    BrushPixels d{px.data(), 24, KEY, masked ? 2u : 0u};
    ObjectId bid{nullptr, 100 + id};
    BrushObject* out = nullptr;
    ASSERT_EQ(CreateBrushFromPixels(L, &bid, 0, 24, 6, &d, &out), ERR_NONE);
    ASSERT_EQ(CallWith("CreateAnim", {id, 100 + id, 8, 6, 3, 3}), ERR_NONE);
  }
  // What the display shows of frame k (from 0) drawn at x, y, for pixel
  // px, py of the frame, over the background.
  uint32_t Expected(int k, bool masked, int px, int py) {
    return masked && px < 4 && py > 0 ? BACKGROUND : COLOURS[k];
  }
  // Checks the rectangle of a frame at x, y, clipped by the window.
  void ExpectFrame(int k, bool masked, int x, int y, const char* what) {
    for (int py = 0; py < 6; py++)
      for (int px = 0; px < 8; px++) {
        if (x + px < 0 || y + py < 0 || x + px >= 64 || y + py >= 48) continue;
        ASSERT_EQ(At(x + px, y + py), Expected(k, masked, px, py))
            << what << " at " << px << "," << py;
      }
  }
  int32_t LastSleep() {
    int32_t c[8] = {};
    counts(c);
    return c[7];
  }
  // Calls a command that leaves one result (an async drawing's id) on the
  // stack at index 1.
  ErrorCode CallKeeping(const char* name, std::vector<Value> args) {
    VmSetTop(L, 0);
    std::string lower(name);
    StrToLower(lower.data());
    VmPushString(L, lower.c_str());
    VmGetTable(L, VM_GLOBALS_INDEX);
    for (const Value& a : args) PushValue(L, a);
    return VmPCall(L, static_cast<int>(args.size()), 1, 0);
  }
  // Calls name(kept value, more...) with the value at stack index 1.
  ErrorCode CallOnKept(const char* name) {
    std::string lower(name);
    StrToLower(lower.data());
    VmPushString(L, lower.c_str());
    VmGetTable(L, VM_GLOBALS_INDEX);
    VmPushValue(L, 1);
    ErrorCode e = VmPCall(L, 1, 0, 0);
    return e;
  }

  void (*counts)(int32_t*) = nullptr;
};

TEST_F(AnimPlay, DisplayAnimFrameDrawsOneFrame) {
  Strip(1, true);
  ASSERT_EQ(CallWith("DisplayAnimFrame", {1, 10, 5, 2}), ERR_NONE);
  ExpectFrame(1, true, 10, 5, "frame 2");
  EXPECT_EQ(CallWith("DisplayAnimFrame", {1, 10, 5, 4}), ERR_ANIMFRAME);
  EXPECT_EQ(CallWith("DisplayAnimFrame", {9, 10, 5, 1}), ERR_FINDANIM);
  // ConvertToBrush of an anim frame copies it.
  ASSERT_EQ(CallWith("ConvertToBrush", {4, 1, 5, 3}), ERR_NONE);
  ASSERT_EQ(CallWith("DisplayBrush", {5, 30, 20}), ERR_NONE);
  ExpectFrame(2, true, 30, 20, "brush of frame 3");
}

TEST_F(AnimPlay, SelectedFrameTakesTheDrawingAndIsLocked) {
  Strip(1, false);
  Strip(2, false);
  ASSERT_EQ(CallWith("SelectAnim", {1, 2}), ERR_NONE);
  // Frame 1 of anim 2 drawn into frame 2 of anim 1, shifted by 4.
  ASSERT_EQ(CallWith("DisplayAnimFrame", {2, 4, 0, 1}), ERR_NONE);
  struct {
    const char* name;
    const char* command;
    std::vector<Value> args;
    ErrorCode error;
  } refusals[] = {
      {"free", "FreeAnim", {1}, ERR_MODIFYAANIM},
      {"scale", "ScaleAnim", {1, 16, 12}, ERR_MODIFYAANIM},
      {"modify", "ModifyAnimFrames", {1, 1}, ERR_MODIFYAANIM},
      {"another anim plays", "PlayAnim", {2}, ERR_SELECTANIM},
  };
  for (auto& c : refusals) EXPECT_EQ(CallWith(c.command, c.args), c.error) << c.name;
  ASSERT_EQ(CallWith("EndSelect", {}), ERR_NONE);
  ASSERT_EQ(CallWith("DisplayAnimFrame", {1, 0, 0, 2}), ERR_NONE);
  for (int x = 0; x < 8; x++) EXPECT_EQ(At(x, 3), x < 4 ? COLOURS[1] : COLOURS[0]) << x;
  // Selected again, the anim itself plays: its selection ends first.
  ASSERT_EQ(CallWith("SelectAnim", {1, 1}), ERR_NONE);
  EXPECT_EQ(CallWith("PlayAnim", {1, 20, 20, -2}), ERR_NONE);
  ExpectFrame(2, false, 20, 20, "last frame");
  EXPECT_EQ(CallWith("FreeAnim", {1}), ERR_NONE);
}

TEST_F(AnimPlay, PlaysOverTheSavedBackgroundClipped) {
  Strip(1, true);
  struct {
    const char* name;
    int x, y;
    ErrorCode error;
  } table[] = {
      {"inside", 10, 10, ERR_NONE},
      {"clipped at the left", -3, 20, ERR_NONE},
      {"clipped at the bottom right", 60, 45, ERR_NONE},
      {"no column left", -8, 20, ERR_WRONGUSAGE},
      {"no row left", 10, 48, ERR_WRONGUSAGE},
  };
  for (auto& c : table) {
    ASSERT_EQ(CallWith("PlayAnim", {1, c.x, c.y, -2, 2}), c.error) << c.name;
    // The masked half shows the background, not the frames before it.
    if (!c.error) ExpectFrame(2, true, c.x, c.y, c.name);
  }
  // The anim is not locked once a playback ended, also after an error.
  EXPECT_EQ(CallWith("ScaleAnim", {1, 16, 12}), ERR_NONE);
}

// Masked frames are shown in one pass where nothing stands in the way and
// composed in a work bitmap first under an active clip region; both must
// show the same, also for frames that stick out of the display or lie
// under a sprite. Odd-width
// frames with an irregular mask over a patterned background catch a mask
// bit or background pixel read from the wrong place.
TEST_F(AnimPlay, MaskedFramesShowTheSameInOnePassAsComposed) {
  constexpr int FW = 13, FH = 7;
  std::vector<uint32_t> strip(3 * FW * FH);
  for (int y = 0; y < FH; y++)
    for (int x = 0; x < 3 * FW; x++) {
      int k = x / FW, fx = x % FW;
      strip[static_cast<size_t>(y * 3 * FW + x)] =
          0xFF000000u | ((fx * 7 + y * 3 + k) % 5 < 2
                             ? KEY
                             : static_cast<uint32_t>(0x300000 * (k + 1) + fx * 0x1300 + y * 0x21));
    }
  BrushPixels frames{strip.data(), 3 * FW, KEY, 2u};
  ObjectId stripId{nullptr, 101};
  BrushObject* out = nullptr;
  ASSERT_EQ(CreateBrushFromPixels(L, &stripId, 0, 3 * FW, FH, &frames, &out), ERR_NONE);
  ASSERT_EQ(CallWith("CreateAnim", {1, 101, FW, FH, 3, 3}), ERR_NONE);
  std::vector<uint32_t> pattern(64 * 48);
  for (int y = 0; y < 48; y++)
    for (int x = 0; x < 64; x++)
      pattern[static_cast<size_t>(y * 64 + x)] = 0xFF000000u | (x * 4) << 16 | (y * 5) << 8 | 0x80;
  BrushPixels back{pattern.data(), 64, KEY, 0u};
  ObjectId backId{nullptr, 102};
  ASSERT_EQ(CreateBrushFromPixels(L, &backId, 0, 64, 48, &back, &out), ERR_NONE);
  ASSERT_EQ(CallWith("CreateClipRegion", {9, 14, 0, 0, 64, 48}), ERR_NONE);  // a box
  // A 4 x 4 sprite that stays over the anim.
  constexpr uint32_t SPRITE = 0x10E010;
  ASSERT_EQ(CallWith("CreateBrush", {103, 4, 4, static_cast<double>(SPRITE)}), ERR_NONE);
  ASSERT_EQ(CallWith("CreateSprite", {5, OBJTYPE_BRUSH, 103, 4, 4, 1, 1, 0, 0}), ERR_NONE);

  // The framebuffer and the window bitmap after two passes at x, y.
  auto play = [&](int x, int y, bool sprite, bool composed) {
    std::vector<uint32_t> shown;
    EXPECT_EQ(CallWith("DisplayBrush", {102, 0, 0}), ERR_NONE);
    if (sprite) {
      EXPECT_EQ(CallWith("DisplaySprite", {5, x + 3, y + 2}), ERR_NONE);
    }
    if (composed) {
      EXPECT_EQ(CallWith("SetClipRegion", {9}), ERR_NONE);
    }
    EXPECT_EQ(CallWith("PlayAnim", {1, x, y, -2, 2}), ERR_NONE);
    EXPECT_EQ(CallWith("SetClipRegion", {0}), ERR_NONE);
    for (int py = 0; py < 48; py++)
      for (int px = 0; px < 64; px++) shown.push_back(At(px, py));
    BitmapLock lock{};
    EXPECT_NE(LockBitmap(d->windowBitmap, 1, &lock), 0u);
    for (int py = 0; py < 48; py++)
      for (int px = 0; px < 64; px++)
        shown.push_back(static_cast<uint32_t>(ReadLockedPixel(&lock, px, py)));
    UnlockBitmap(&lock);
    if (sprite) {
      EXPECT_EQ(At(x + 3, y + 2), SPRITE);
      EXPECT_EQ(CallWith("RemoveSprite", {5}), ERR_NONE);
    }
    return shown;
  };
  struct {
    const char* name;
    int x, y;
    bool sprite;
  } table[] = {
      {"inside", 5, 5, false},
      {"under a sprite", 5, 5, true},
      {"out at the top left", -4, -3, false},
      {"out at the bottom right", 57, 44, false},
      {"out at the left", -7, 20, false},
      {"out at the top right", 52, -5, false},
  };
  for (auto& c : table) {
    std::vector<uint32_t> onePass = play(c.x, c.y, c.sprite, false),
                          composed = play(c.x, c.y, c.sprite, true);
    ASSERT_EQ(onePass.size(), composed.size());
    for (size_t i = 0; i < onePass.size(); i++)
      ASSERT_EQ(onePass[i], composed[i]) << c.name << (i < 64 * 48 ? " shown" : " bitmap") << " at "
                                         << i % (64 * 48) % 64 << "," << i % (64 * 48) / 64;
    // The last frame shows where its mask is set and the pattern elsewhere.
    const int fx = c.x < 0 ? -c.x : 0, fy = c.y < 0 ? -c.y : 0;
    const bool set = (fx * 7 + fy * 3 + 2) % 5 >= 2;
    EXPECT_EQ(At(c.x + fx, c.y + fy),
              set ? static_cast<uint32_t>(0x900000 + fx * 0x1300 + fy * 0x21) & 0xFFFFFF
                  : pattern[static_cast<size_t>((c.y + fy) * 64 + c.x + fx)] & 0xFFFFFF)
        << c.name;
  }
}

// A synchronous play draws every masked frame after the first through a
// series that writes only what changes from the frame before; after every
// frame the window bitmap must hold the same bytes as drawing each whole
// frame does, for masks that differ, repeat, are empty or full, lie at odd
// bit offsets, for rectangles cut by the window's edges, rows of whole
// 64-pixel steps with or without groups and pixels after them, and when
// the window bitmap or the background is written between two frames.
TEST_F(AnimPlay, FramesOfASeriesLeaveTheSameWindowBitmapAsWholeFrames) {
  constexpr int FW = 150, FH = 10, FRAMES = 7, WW = 160, WH = 48;
  ASSERT_EQ(CallWith("ChangeDisplaySize", {WW, WH}), ERR_NONE);
  ASSERT_EQ(d->windowBitmap->width, WW);
  using MaskOf = bool (*)(int k, int x, int y);
  struct {
    const char* name;
    MaskOf mask;
  } masks[] = {
      {"differing", [](int k, int x, int y) { return (x * 7 + y * 3 + k * 5) % 5 < 2; }},
      {"identical", [](int, int x, int y) { return (x * 5 + y * 11) % 7 < 3; }},
      {"empty, full, checked",
       [](int k, int x, int y) { return k % 3 == 1 || (k % 3 == 2 && (x + y) % 2); }},
      {"bytes of 8 columns", [](int k, int x, int) { return (x / 8 + k) % 2 == 0; }},
  };
  struct {
    const char* name;
    int sx, sy, dx, dy, w, h;
  } places[] = {
      {"inside", 0, 0, 10, 10, FW, FH},
      {"cut at the left by the play", 5, 2, 0, 3, FW - 5, FH - 2},
      {"cut at the left by whole bytes", 8, 0, 2, 3, FW - 8, FH},
      {"one 64-pixel step", 16, 1, 20, 30, 64, 6},
      {"out at the left", 0, 0, -3, 30, 21, FH},
      {"out at the bottom right", 1, 0, WW - 19, WH - 7, 23, 9},
  };
  auto frameBitmap = [&](int k) {
    BitmapHandle* b = AllocBitmap(FW, FH, 0, nullptr);
    std::vector<uint32_t> px(FW * FH);
    for (int i = 0; i < FW * FH; i++)
      px[i] = 0xFF000000u | static_cast<uint32_t>(0x1F0000 * (k + 1) + i * 0x0307);
    WriteARGBToBitmap(px.data(), 0, 0, FW * 4, b, 0, 0, FW, FH);
    return b;
  };
  auto snapshot = [&] {
    BitmapLock lock{};
    EXPECT_NE(LockBitmap(d->windowBitmap, 1, &lock), 0u);
    std::vector<uint8_t> bytes(lock.address, lock.address + static_cast<size_t>(lock.rowLength) *
                                                                lock.bytesPerPixel * lock.height);
    UnlockBitmap(&lock);
    return bytes;
  };
  for (bool fast : {true, false}) {
    SetPixelFastPaths(fast);
    for (auto& m : masks)
      for (auto& p : places) {
        std::vector<BitmapHandle*> bitmaps, bitMasks;
        for (int k = 0; k < FRAMES; k++) {
          bitmaps.push_back(frameBitmap(k));
          bitMasks.push_back(AllocBitMask(bitmaps.back(), FW, FH, 1, nullptr, 0));
          for (int y = 0; y < FH; y++)
            for (int x = 0; x < FW; x++)
              MaskRectOp(bitMasks.back(), x, y, 1, 1, m.mask(k, x, y) ? 0 : 1);
        }
        // Each frame's window bitmap, drawn through a series and whole.
        std::vector<std::vector<uint8_t>> shown[2];
        for (int whole = 0; whole < 2; whole++) {
          FillBitmapRect(d->windowBitmap, 0, 0, WW, WH, 0xFF102030u);
          BitmapHandle* background = AllocBitmap(p.w, p.h, 0, nullptr);
          FillBitmapRect(background, 0, 0, p.w, p.h, 0xFF405060u);
          FillBitmapRect(background, 2, 1, 5, 3, 0xFF708090u);
          MaskedOverSeries series{};
          for (int k = 0; k < FRAMES; k++) {
            // Writes between two frames that the series must notice.
            if (k == 3) FillBitmapRect(d->windowBitmap, 0, 0, WW, WH, 0xFFA0B0C0u);
            if (k == 5) FillBitmapRect(background, 0, 0, p.w, p.h, 0xFF00FF00u);
            ASSERT_TRUE(SafeBltMaskedOver(L, bitmaps[k], p.sx, p.sy, FW, FH, bitMasks[k],
                                          background, p.dx, p.dy, p.w, p.h, WW, WH,
                                          whole ? nullptr : &series))
                << m.name << ", " << p.name;
            shown[whole].push_back(snapshot());
          }
          EndMaskedOverSeries(&series);
          EXPECT_EQ(series.mask, nullptr);
          FreeBitmap(background);
        }
        for (int k = 0; k < FRAMES; k++)
          ASSERT_EQ(shown[0][k], shown[1][k]) << m.name << " masks, " << p.name << ", frame " << k
                                              << (fast ? "" : ", general paths");
        for (int k = 0; k < FRAMES; k++) {
          FreeBitmap(bitmaps[k]);
          FreeBitMask(bitMasks[k]);
        }
      }
  }
  SetPixelFastPaths(true);
}

TEST_F(AnimPlay, SpeedsGiveTheWaitBetweenFrames) {
  Strip(1, false);
  ASSERT_EQ(CallWith("SetAnimFrameDelay", {1, 3, 300}), ERR_NONE);
  struct {
    const char* name;
    Value speed;
    int32_t low, high;  // the last sleep's bounds (the time spent drawing is taken off)
  } table[] = {
      {"speed 5", 5, 1, 100},
      {"frame delays", Value::Table({{"speed", -4}}), 101, 300},
      {"fast", -2, -1, -1},
  };
  for (auto& c : table) {
    ASSERT_EQ(CallWith("PlayAnim", {1, 0, 0, c.speed}), ERR_NONE) << c.name;
    if (c.low < 0) continue;
    EXPECT_GE(LastSleep(), c.low) << c.name;
    EXPECT_LE(LastSleep(), c.high) << c.name;
  }
}

TEST_F(AnimPlay, AsyncPlaybackLocksTheAnimUntilFinished) {
  Strip(1, false);
  ASSERT_EQ(CallKeeping("PlayAnim", {1, 5, 5, Value::Table({{"async", true}, {"speed", -2}})}),
            ERR_NONE);
  ASSERT_EQ(VmType(L, 1), VM_TYPE_LIGHTUSERDATA);
  EXPECT_EQ(CallWith("FreeAnim", {1}), ERR_LOCKEDOBJ);
  ASSERT_EQ(CallKeeping("PlayAnim", {1, 5, 5, Value::Table({{"async", true}, {"speed", -2}})}),
            ERR_NONE);
  ASSERT_EQ(CallOnKept("AsyncDrawFrame"), ERR_NONE);
  ExpectFrame(0, false, 5, 5, "first step");
  ASSERT_EQ(CallOnKept("FinishAsyncDraw"), ERR_NONE);
  // The first drawing still holds the anim: shut-down of the drawings
  // releases it.
  FreeAllAsyncDraws(L);
  EXPECT_EQ(CallWith("FreeAnim", {1}), ERR_NONE);
}

TEST_F(AnimPlay, RefusedWhileAnotherOutputIsSelected) {
  Strip(1, false);
  BrushPixels d{nullptr, 4, 0, 0};
  ObjectId bid{nullptr, 50};
  BrushObject* out = nullptr;
  ASSERT_EQ(CreateBrushFromPixels(L, &bid, 0, 4, 4, &d, &out), ERR_NONE);
  ASSERT_EQ(CallWith("SelectBrush", {50}), ERR_NONE);
  EXPECT_EQ(CallWith("PlayAnim", {1}), ERR_SELECTBRUSH);
  ASSERT_EQ(CallWith("EndSelect", {}), ERR_NONE);
  ASSERT_EQ(CallWith("BeginDoubleBuffer", {}), ERR_NONE);
  ASSERT_EQ(CallWith("SelectBrush", {50}), ERR_NONE);
  EXPECT_EQ(CallWith("PlayAnim", {1}), ERR_ENDDOUBLEBUFFER);
}

TEST_F(AnimPlay, PlayAnimDiskLeavesNoAnimBehind) {
  std::string gif = root + "/two.gif";
  GifWriter* w = nullptr;
  ASSERT_EQ(OpenGifWriter(gif.c_str(), 8, 6, &w), ERR_NONE);
  uint32_t palette[256] = {COLOURS[0], COLOURS[1]};
  for (int f = 0; f < 2; f++) {
    std::vector<uint8_t> pens(48, static_cast<uint8_t>(f));
    ASSERT_EQ(WriteGifAnimFrame(w, pens.data(), 8, 6, 10, palette, 2, -1, 0, 1), ERR_NONE);
  }
  ASSERT_EQ(CloseGifWriter(w), ERR_NONE);
  ASSERT_EQ(CallWith("PlayAnimDisk", {gif.c_str(), 12, 7, 0, -2}), ERR_NONE);
  ExpectFrame(1, false, 12, 7, "last frame from disk");
  EXPECT_EQ(animContext.anims, nullptr);
  EXPECT_EQ(CallWith("PlayAnimDisk", {gif.c_str(), -8, 7, 0, -2}), ERR_WRONGUSAGE);
  EXPECT_EQ(animContext.anims, nullptr);
  EXPECT_NE(CallWith("PlayAnimDisk", {(root + "/missing.gif").c_str()}), ERR_NONE);
  EXPECT_EQ(animContext.anims, nullptr);
}

}  // namespace
