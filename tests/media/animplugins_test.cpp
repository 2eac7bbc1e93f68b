// Anim formats of anim-saver plug-ins: format look-up and its refusals,
// palette frames with pens, palette, colour count and transparent pen,
// true-colour frames as ARGB copies with the alpha flag, refused frames,
// and plug-in streams finished at shut-down. The test plug-in writes a
// plain record of every call, which the tests read back.
#include <cstring>
#include <fstream>
#include <iterator>

#include "media/media.h"
#include "tests/gfx/display_fixture.h"

using namespace gfxtest;

namespace {

constexpr int PALETTE_FORMAT = 200;     // "qmtp": pens only
constexpr int TRUECOLOUR_FORMAT = 201;  // "qmtt": ARGB with alpha

struct SavedFrame {
  int32_t format, flags, bytesPerRow, colours, transparentPen, delay;
  std::vector<uint8_t> pixels;
  std::vector<uint32_t> palette;
};
struct SavedFile {
  int32_t width = 0, height = 0, mode = 0, quality = 0, fps = 0;
  std::vector<SavedFrame> frames;
  bool finished = false;
};

SavedFile ReadSaved(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), {});
  SavedFile out;
  size_t at = 0;
  auto word = [&] {
    int32_t v = 0;
    if (at + 4 <= b.size()) memcpy(&v, &b[at], 4);
    at += 4;
    return v;
  };
  auto tag = [&](const char* t) { return at + 4 <= b.size() && memcmp(&b[at], t, 4) == 0; };
  if (!tag("QMTS")) return out;
  at += 4;
  out.width = word();
  out.height = word();
  out.mode = word();
  out.quality = word();
  out.fps = word();
  while (tag("FRAM")) {
    at += 4;
    SavedFrame f{word(), word(), word(), word(), word(), word(), {}, {}};
    size_t n = static_cast<size_t>(f.bytesPerRow) * out.height;
    if (at + n > b.size()) break;
    f.pixels.assign(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n));
    at += n;
    if (f.bytesPerRow == out.width) {
      f.palette.resize(static_cast<size_t>(f.colours));
      memcpy(f.palette.data(), &b[at], f.palette.size() * 4);
      at += f.palette.size() * 4;
    }
    out.frames.push_back(f);
  }
  out.finished = tag("END!");
  return out;
}

class AnimPluginSave : public DisplayTest {
 protected:
  void InstallMore() override { Install("testanimsave"); }
  void SetUp() override {
    DisplayTest::SetUp();
    VmPushValue(L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenAnimLibrary(L), ERR_NONE);
    VmSetTop(L, 0);
  }
  void TearDown() override {
    FreeAllAnims(L);
    DisplayTest::TearDown();
  }
  // Brush id of w x h from 0xAARRGGBB words; withAlpha keeps the top bytes
  // as an alpha channel.
  void Brush(int id, int32_t w, int32_t h, const std::vector<uint32_t>& px, bool withAlpha) {
    BrushPixels d{px.data(), w, 0, withAlpha ? 1u : 0u};
    ObjectId bid{nullptr, id};
    BrushObject* out = nullptr;
    ASSERT_EQ(CreateBrushFromPixels(L, &bid, 0, w, h, &d, &out), ERR_NONE);
  }
  std::string File(const char* name) { return root + "/" + name; }
};

TEST_F(AnimPluginSave, FormatLookUpAndRefusals) {
  Brush(1, 2, 2, {0xFF000000, 0xFFFFFFFF, 0xFF000000, 0xFFFFFFFF}, false);
  ASSERT_EQ(CallWith("CreateAnim", {1, 1, 2, 2, 1, 1}), ERR_NONE);
  std::string file = File("a.qmts");
  struct {
    const char* name;
    const char* command;
    std::vector<Value> args;
    ErrorCode error;
  } table[] = {
      {"unknown format", "BeginAnimStream", {1, file.c_str(), 2, 2, 999}, ERR_UNKNOWNANMOUT},
      {"unknown format saved", "SaveAnim", {1, file.c_str(), 999}, ERR_UNKNOWNANMOUT},
      {"alpha on the palette format",
       "BeginAnimStream",
       {1, file.c_str(), 2, 2, PALETTE_FORMAT, Value::Table({{"usealpha", 1}})},
       ERR_SAVERALPHA},
      {"alpha on the palette format saved",
       "SaveAnim",
       {1, file.c_str(), PALETTE_FORMAT, Value::Table({{"usealpha", 1}})},
       ERR_SAVERALPHA},
      {"the plug-in refuses the file",
       "BeginAnimStream",
       {1, File("refuse.qmts").c_str(), 2, 2, PALETTE_FORMAT},
       ERR_SAVEANIM},
  };
  for (auto& c : table) EXPECT_EQ(CallWith(c.command, c.args), c.error) << c.name;
  // The registered names reach scripts as constants.
  EXPECT_EQ(Constant("anmfmt_qmtt"), "201");
}

TEST_F(AnimPluginSave, PaletteFramesArriveWithPensAndPalette) {
  // Three colours and the key colour 0x00FF00, which becomes the last pen.
  const uint32_t red = 0xFFFF0000, blue = 0xFF0000FF, grey = 0xFF808080, key = 0xFF00FF00;
  Brush(1, 3, 2, {red, blue, grey, key, red, blue}, false);
  std::string file = File("p.qmts");
  ASSERT_EQ(CallWith("BeginAnimStream", {7, file.c_str(), 3, 2, PALETTE_FORMAT,
                                         Value::Table({{"quality", 55}, {"fps", 12}})}),
            ERR_NONE);
  ASSERT_EQ(
      CallWith("WriteAnimFrame", {7, 1, Value::Table({{"transparency", 0x00FF00}, {"delay", 40}})}),
      ERR_NONE);
  ASSERT_EQ(CallWith("WriteAnimFrame", {7, 1}), ERR_NONE);
  ASSERT_EQ(CallWith("FinishAnimStream", {7}), ERR_NONE);
  SavedFile s = ReadSaved(file);
  ASSERT_TRUE(s.finished);
  EXPECT_EQ(s.mode, QM_ANIMMODE_PALETTE);
  EXPECT_EQ(s.quality, 55);
  EXPECT_EQ(s.fps, 12);
  ASSERT_EQ(s.frames.size(), 2u);
  const SavedFrame& f = s.frames[0];
  EXPECT_EQ(f.format, PALETTE_FORMAT);
  EXPECT_EQ(f.flags, QM_ANIMFRAME_TRANSPEN);
  EXPECT_EQ(f.bytesPerRow, 3);
  EXPECT_EQ(f.colours, 4);
  EXPECT_EQ(f.transparentPen, 3);
  EXPECT_EQ(f.delay, 40);
  const uint32_t words[6] = {red, blue, grey, key, red, blue};
  for (int i = 0; i < 6; i++) {
    uint8_t pen = f.pixels[static_cast<size_t>(i)];
    ASSERT_LT(pen, f.palette.size());
    if (words[i] == key)
      EXPECT_EQ(pen, 3) << i;
    else
      EXPECT_EQ(f.palette[pen] & 0xFFFFFF, words[i] & 0xFFFFFF) << i;
  }
  EXPECT_EQ(s.frames[1].flags, 0);
  EXPECT_EQ(s.frames[1].colours, 4);  // the green is a colour now
}

TEST_F(AnimPluginSave, TrueColourFramesAreArgbCopies) {
  const std::vector<uint32_t> translucent = {0x80112233, 0xFF445566, 0x00778899, 0x40AABBCC};
  Brush(1, 2, 2, translucent, true);
  Brush(2, 2, 2, {0x00112233, 0x00445566, 0x00778899, 0x00AABBCC}, false);
  std::string file = File("t.qmts");
  ASSERT_EQ(CallWith("BeginAnimStream",
                     {3, file.c_str(), 2, 2, TRUECOLOUR_FORMAT, Value::Table({{"usealpha", 1}})}),
            ERR_NONE);
  ASSERT_EQ(CallWith("WriteAnimFrame", {3, 1}), ERR_NONE);
  ASSERT_EQ(CallWith("WriteAnimFrame", {3, 2}), ERR_NONE);
  // A refused frame is 1489 and leaves the stream usable.
  EXPECT_EQ(CallWith("WriteAnimFrame", {3, 2, Value::Table({{"delay", 666}})}), ERR_SAVEANIM);
  ASSERT_EQ(CallWith("WriteAnimFrame", {3, 2, Value::Table({{"delay", 5}})}), ERR_NONE);
  // Left open: shut-down finishes it.
  FreeAllAnims(L);
  SavedFile s = ReadSaved(file);
  EXPECT_TRUE(s.finished);
  EXPECT_EQ(s.mode, QM_ANIMMODE_ALPHA);
  ASSERT_EQ(s.frames.size(), 3u);
  struct {
    int32_t flags;
    std::vector<uint32_t> words;
  } want[] = {{QM_ANIMFRAME_ALPHA, translucent},
              {0, {0xFF112233, 0xFF445566, 0xFF778899, 0xFFAABBCC}},
              {0, {0xFF112233, 0xFF445566, 0xFF778899, 0xFFAABBCC}}};
  for (size_t i = 0; i < 3; i++) {
    const SavedFrame& f = s.frames[i];
    EXPECT_EQ(f.flags, want[i].flags) << i;
    EXPECT_EQ(f.bytesPerRow, 8) << i;
    ASSERT_EQ(f.pixels.size(), 16u);
    std::vector<uint32_t> words(4);
    memcpy(words.data(), f.pixels.data(), 16);
    EXPECT_EQ(words, want[i].words) << i;
  }
  EXPECT_EQ(s.frames[2].delay, 5);
}

TEST_F(AnimPluginSave, SaveAnimHandsEveryFrameWithItsDelay) {
  std::vector<uint32_t> strip;
  for (int y = 0; y < 2; y++)
    for (int x = 0; x < 6; x++) strip.push_back(0xFF000000u | static_cast<uint32_t>(x * 40));
  Brush(1, 6, 2, strip, false);
  ASSERT_EQ(CallWith("CreateAnim", {1, 1, 2, 2, 3, 3}), ERR_NONE);
  ASSERT_EQ(CallWith("SetAnimFrameDelay", {1, 2, 70}), ERR_NONE);
  std::string file = File("s.qmts");
  ASSERT_EQ(CallWith("SaveAnim", {1, file.c_str(), TRUECOLOUR_FORMAT}), ERR_NONE);
  SavedFile s = ReadSaved(file);
  ASSERT_TRUE(s.finished);
  EXPECT_EQ(s.mode, 0);
  ASSERT_EQ(s.frames.size(), 3u);
  for (size_t i = 0; i < 3; i++) {
    std::vector<uint32_t> words(4);
    memcpy(words.data(), s.frames[i].pixels.data(), 16);
    uint32_t left = 0xFF000000u | static_cast<uint32_t>(i * 80);
    EXPECT_EQ(words, (std::vector<uint32_t>{left, left + 40, left, left + 40})) << i;
    EXPECT_EQ(s.frames[i].delay, i == 1 ? 70 : 0) << i;
  }
}

}  // namespace
