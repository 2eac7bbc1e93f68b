// Anim loader plug-ins behind the anim file layer: a plug-in is asked
// before the built-in readers, loader strings choose among plug-ins,
// built-in readers and the native loader, a plug-in that asks to be named
// is used only where it is named, its alpha and transparency answers are
// reported, and frames and handles go back to it.
#include "media/image_private.h"
#include "media/media.h"
#include "plugins/plugin_private.h"
#include "tests/plugins/plugin_fixture.h"

using namespace plugintest;

namespace {

struct Calls {
  int opens = 0, anims = 0, frames = 0;
};

class AnimPluginTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    Install("testanim");
    Install("testanimnamed");
    ASSERT_EQ(ScanAndRegister(), 0);
    for (const char* module : {"testanim", "testanimnamed"}) {
      auto f = ModuleSymbol<void (*)(int*, int*, int*)>(root + "/Plugins/" + module + ".qmp",
                                                        "TestAnimCalls");
      ASSERT_NE(f, nullptr) << module;
      probes.push_back(f);
    }
    qmta = root + "/a.qmta";
    WriteBytes(qmta, {'Q', 'M', 'T', 'A', 3, 2, 4, 3, 40, 0, 0, 0});  // 12 bytes: identifiable
    gif = root + "/a.gif";
    GifWriter* w = nullptr;
    ASSERT_EQ(OpenGifWriter(gif.c_str(), 2, 2, &w), 0);
    uint32_t palette[256] = {0x112233, 0x445566};
    for (int f = 0; f < 2; f++) {
      uint8_t pens[4] = {0, 1, static_cast<uint8_t>(f), 1};
      ASSERT_EQ(WriteGifAnimFrame(w, pens, 2, 2, 5, palette, 2, -1, 0, 1), 0);
    }
    ASSERT_EQ(CloseGifWriter(w), 0);
  }
  Calls Probe(int i) {
    Calls c;
    probes[static_cast<size_t>(i)](&c.opens, &c.anims, &c.frames);
    return c;
  }
  PluginBase* Base(const char* module) { return GetPluginBase(Entry(module)->handle); }

  std::vector<void (*)(int*, int*, int*)> probes;
  std::string qmta, gif;
};

TEST_F(AnimPluginTest, LoaderStringsChooseTheLoaders) {
  struct {
    const char* name;
    const char* loader;
    bool useGif;
    ErrorCode error;
    int32_t loaderIndex;
    const char* plugin;  // the plug-in that took the file
    int asked[2];        // OpenAnim calls of testanim and testanimnamed
  } table[] = {
      {"plug-in first", nullptr, false, 0, 2, "testanim", {1, 0}},
      {"plug-in asked before the GIF reader", "default", true, 0, 0, nullptr, {1, 0}},
      {"inbuilt asks no plug-in", "inbuilt", true, 0, 0, nullptr, {0, 0}},
      {"inbuilt cannot read the plug-in's format",
       "inbuilt",
       false,
       ERR_OPENANIM2,
       0,
       nullptr,
       {0, 0}},
      {"plugin tries no built-in reader", "plugin", true, ERR_OPENANIM2, 0, nullptr, {1, 0}},
      {"native alone", "native", true, ERR_OPENANIM2, 0, nullptr, {0, 0}},
      {"named-only plug-in when named", "testanimnamed", false, 0, 2, "testanimnamed", {0, 1}},
      {"named-only plug-in not by class",
       "plugin|inbuilt",
       false,
       ERR_OPENANIM2,
       0,
       nullptr,
       {0, 0}},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.name);
    // The default plug-in refuses everything while it is disabled, so that
    // the last row shows the named one is not asked either.
    SetPluginDisabled(Base("testanim"), std::string(c.name).find("class") != std::string::npos);
    const Calls before[2] = {Probe(0), Probe(1)};
    AnimFile* anim = nullptr;
    int32_t w = 0, h = 0, n = 0, alpha = -1, index = -1;
    PluginBase* plugin = nullptr;
    const std::string& path = c.useGif ? gif : qmta;
    ASSERT_EQ(OpenAnimFile(path.c_str(), c.loader, nullptr, 0, 0, &anim, &w, &h, &n, &alpha, &index,
                           &plugin),
              c.error);
    for (int i = 0; i < 2; i++) EXPECT_EQ(Probe(i).opens - before[i].opens, c.asked[i]) << i;
    if (c.error) {
      EXPECT_EQ(anim, nullptr);
      continue;
    }
    EXPECT_EQ(index, c.loaderIndex);
    EXPECT_EQ(plugin, c.plugin ? Base(c.plugin) : nullptr);
    EXPECT_EQ(n, c.useGif ? 2 : 4);
    CloseAnimFile(anim);
  }
  SetPluginDisabled(Base("testanim"), 0);
  EXPECT_EQ(Probe(0).anims + Probe(1).anims, 0);
}

TEST_F(AnimPluginTest, FramesDelaysAndTransparencyComeFromThePlugin) {
  AnimFile* anim = nullptr;
  int32_t w, h, n, alpha = 0;
  ASSERT_EQ(OpenAnimFile(qmta.c_str(), nullptr, nullptr, 0, 1, &anim, &w, &h, &n, &alpha, nullptr,
                         nullptr),
            0);
  EXPECT_EQ(w, 3);
  EXPECT_EQ(h, 2);
  EXPECT_EQ(alpha, 1);
  EXPECT_FALSE(IsIffAnimFile(anim));
  int32_t transparent = 0;
  uint32_t* frame = GetAnimFileFrame(anim, 2, 1, &transparent);
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(transparent, 1);
  EXPECT_EQ(frame[5], 0x40020005u);
  EXPECT_EQ(Probe(0).frames, 1);
  FreeAnimFileFrame(anim, frame);
  EXPECT_EQ(Probe(0).frames, 0);
  EXPECT_EQ(GetAnimFileFrame(anim, 4, 0, &transparent), nullptr);
  EXPECT_EQ(transparent, 0);
  EXPECT_EQ(GetAnimFileFrameDelay(anim, 0), 40);
  EXPECT_EQ(Probe(0).anims, 1);
  CloseAnimFile(anim);
  EXPECT_EQ(Probe(0).anims, 0);
  EXPECT_EQ(IsAnimFile(qmta.c_str(), nullptr, nullptr), 1);
  EXPECT_EQ(Probe(0).anims, 0);
}

}  // namespace
