// Picture handles: an image-loader plug-in's format opens as a handle whose
// reference count frees the plug-in's image when its users are gone; loader
// strings choose the loaders; the system's own codecs serve the rest; and
// the display adapter's capability mapping.
#include "tests/plugins/plugin_fixture.h"
#include "plugins/hostapi.h"
#include "plugins/plugin_private.h"

namespace plugintest {
namespace {

using Bytes = std::vector<uint8_t>;

// The test plug-in's format: "QMTI", width, height, flags, ARGB words.
Bytes Qmti(int w, int h, bool alpha, const std::vector<uint32_t>& pixels) {
  Bytes out = {'Q',
               'M',
               'T',
               'I',
               static_cast<uint8_t>(w >> 8),
               static_cast<uint8_t>(w),
               static_cast<uint8_t>(h >> 8),
               static_cast<uint8_t>(h),
               static_cast<uint8_t>(alpha ? 1 : 0)};
  for (uint32_t p : pixels)
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(p >> shift));
  return out;
}

// A 2 x 1 BMP of 24 bits: red, green.
Bytes Bmp() {
  Bytes b = {'B', 'M'};
  auto le = [&b](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; i++) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  le(62, 4), le(0, 4), le(54, 4);                      // file header
  le(40, 4), le(2, 4), le(1, 4), le(1, 2), le(24, 2);  // info header
  le(0, 4), le(8, 4), le(0, 4), le(0, 4), le(0, 4), le(0, 4);
  Bytes row = {0, 0, 255, 0, 255, 0, 0, 0};
  b.insert(b.end(), row.begin(), row.end());
  return b;
}

class PictureTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    Install("testimg");
    ASSERT_EQ(ScanAndRegister(), 0);
    live = ModuleSymbol<int (*)()>(ModulePath("testimg"), "TestLiveImages");
    // The host loaded the copy in root/Plugins.
    if (!live) live = ModuleSymbol<int (*)()>(root + "/Plugins/testimg.qmp", "TestLiveImages");
    ASSERT_NE(live, nullptr);
    picture = root + "/pic.qmti";
    WriteBytes(picture, Qmti(3, 2, false, pixels));
  }
  std::vector<uint32_t> pixels = {0xFF112233, 0xFF445566, 0xFF778899,
                                  0xFFAABBCC, 0xFFDDEEFF, 0xFF000000};
  std::string picture;
  int (*live)() = nullptr;
};

TEST_F(PictureTest, PluginPictureLivesWhileItIsReferenced) {
  PictureRequest request{};
  PictureResult result{};
  ASSERT_EQ(OpenPictureHandle(picture.c_str(), nullptr, &request, &result), 0);
  ASSERT_NE(result.handle, nullptr);
  EXPECT_EQ(result.width, 3);
  EXPECT_EQ(result.height, 2);
  EXPECT_EQ(result.loaderIndex, 2);
  EXPECT_EQ(result.loader, GetPluginBase(Entry("testimg")->handle));
  EXPECT_EQ(std::vector<uint32_t>(GetPictureHandlePixels(result.handle),
                                  GetPictureHandlePixels(result.handle) + 6),
            pixels);
  EXPECT_FALSE(PictureHandleOwnsPixels(result.handle));
  EXPECT_EQ(live(), 1);

  RetainPictureHandle(result.handle);
  ReleasePictureHandle(result.handle);
  EXPECT_EQ(live(), 1);  // one user left
  ReleasePictureHandle(result.handle);
  EXPECT_EQ(live(), 0);  // the last user gone: the plug-in freed its image

  int32_t w = 0, h = 0, depth = 0, alpha = -1, vector = -1;
  WriteBytes(root + "/alpha.qmti", Qmti(1, 1, true, {0x80FFFFFF}));
  ASSERT_EQ(
      GetPictureInfo((root + "/alpha.qmti").c_str(), nullptr, 0, &w, &h, &depth, &alpha, &vector),
      0);
  EXPECT_EQ(w, 1);
  EXPECT_EQ(alpha, 1);
  EXPECT_EQ(vector, 0);
}

TEST_F(PictureTest, RequestsAndLoaderStrings) {
  WriteBytes(root + "/pic.bmp", Bmp());
  struct Case {
    const char* label;
    std::string file;
    const char* loaders;
    PictureRequest request;
    ErrorCode code;
    int width, height, loaderIndex;
  } cases[] = {
      {"plug-in", picture, "testimg", {}, 0, 3, 2, 2},
      {"plug-in class", picture, "plugin|inbuilt", {}, 0, 3, 2, 2},
      {"doubled width", picture, nullptr, {-200, 0, 0, 0, 0, 0}, 0, 6, 2, 2},
      {"half height", picture, nullptr, {0, -50, 0, 0, 0, 0}, 0, 3, 1, 2},
      {"alpha asked", picture, nullptr, {0, 0, 1, 0, 0, 0}, ERR_NOALPHA, 0, 0, 0},
      {"pen asked", picture, nullptr, {0, 0, 0, 1, 0, 0}, ERR_NOTRANSPARENCY, 0, 0, 0},
      {"plug-in not admitted", picture, "inbuilt", {}, ERR_LOADPICTURE2, 0, 0, 0},
      {"unknown loader only", picture, "nosuchloader", {}, ERR_LOADPICTURE2, 0, 0, 0},
      {"system codec", root + "/pic.bmp", nullptr, {}, 0, 2, 1, 0},
      {"system codec scaled", root + "/pic.bmp", "inbuilt", {4, 2, 0, 0, 0, 0}, 0, 4, 2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    PictureResult result{};
    ASSERT_EQ(OpenPictureHandle(c.file.c_str(), c.loaders, &c.request, &result), c.code);
    if (c.code) {
      EXPECT_EQ(result.handle, nullptr);
    } else {
      ASSERT_NE(result.handle, nullptr);
      EXPECT_EQ(result.width, c.width);
      EXPECT_EQ(result.height, c.height);
      EXPECT_EQ(result.loaderIndex, c.loaderIndex);
      uint32_t* p = GetPictureHandlePixels(result.handle);
      uint32_t first = c.loaderIndex == 2 ? pixels[0] : 0xFF0000u;
      EXPECT_EQ(p[0] & 0xFFFFFFu, first & 0xFFFFFFu);
      // Scaled rows are read a source row apart: the last pixel of the
      // doubled picture is the source's last.
      if (c.request.width == -200) {
        EXPECT_EQ(p[6 * 2 - 1], pixels.back());
      }
      ReleasePictureHandle(result.handle);
    }
    EXPECT_EQ(live(), 0);
  }

  // A disabled plug-in is passed over like one the string does not admit.
  SetPluginDisabled(GetPluginBase(Entry("testimg")->handle), 1);
  PictureRequest request{};
  PictureResult result{};
  EXPECT_EQ(OpenPictureHandle(picture.c_str(), nullptr, &request, &result), ERR_LOADPICTURE2);
}

// The host library lends the loader the host API and the handles the
// system's codecs and scaler. Without it no plug-in starts and leaves no
// entry behind, only plug-ins decode pictures, and those only at their own
// size; installed again, both work.
TEST_F(PictureTest, WithoutTheHostLibrary) {
  struct Reinstall {
    ~Reinstall() { InstallPluginHost(); }
  } reinstall;
  const std::string bmp = root + "/pic.bmp";
  WriteBytes(bmp, Bmp());
  Install("testlib");
  const std::string plugin = root + "/Plugins/testlib.qmp";
  SetPluginHostApi(nullptr);
  SetInbuiltPictureLoaders(nullptr);
  PluginEntry* entry = nullptr;
  EXPECT_EQ(ProbePluginFile(plugin.c_str(), 0, &entry), ERR_LOADPLUGIN);
  EXPECT_EQ(Entry("testlib"), nullptr);
  struct Case {
    const char* label;
    std::string file;
    PictureRequest request;
    ErrorCode code;
  } cases[] = {
      {"system codec", bmp, {}, ERR_LOADPICTURE2},
      {"plug-in at its own size", picture, {}, 0},
      {"plug-in scaled", picture, {-200, 0, 0, 0, 0, 0}, ERR_LOADPICTURE2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    PictureResult result{};
    EXPECT_EQ(OpenPictureHandle(c.file.c_str(), nullptr, &c.request, &result), c.code);
    ReleasePictureHandle(result.handle);
    EXPECT_EQ(live(), 0);
  }
  int32_t w = 0, h = 0;
  EXPECT_EQ(GetPictureInfo(bmp.c_str(), nullptr, 0, &w, &h, nullptr, nullptr, nullptr),
            ERR_LOADPICTURE2);

  InstallPluginHost();
  EXPECT_EQ(ProbePluginFile(plugin.c_str(), 0, &entry), 0);
  EXPECT_EQ(GetPictureInfo(bmp.c_str(), nullptr, 0, &w, &h, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(w, 2);
  PictureResult result{};
  const PictureRequest doubled = {-200, 0, 0, 0, 0, 0};
  ASSERT_EQ(OpenPictureHandle(picture.c_str(), nullptr, &doubled, &result), 0);
  EXPECT_EQ(result.width, 6);
  ReleasePictureHandle(result.handle);
}

TEST(PictureHandles, PixelHandlesAndAdapterFlags) {
  EXPECT_EQ(NewPixelPictureHandle(0, 5), nullptr);
  PictureHandle* h = NewPixelPictureHandle(2, 3);
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(PictureHandleOwnsPixels(h));
  int32_t w = 0, ht = 0;
  GetPictureHandleSize(h, &w, &ht);
  EXPECT_EQ(w * ht, 6);
  GetPictureHandlePixels(h)[5] = 1;
  ReleasePictureHandle(h);

  EXPECT_EQ(ComputeAdapterBitmapFlags(0xFFFF), 0u);  // no adapter
  PluginBase adapter{};
  adapter.adapterFlags = 0x1 | 0x10;
  adapter.adapterFlags2 = 0x2;
  SetActiveDisplayAdapter(&adapter);
  EXPECT_EQ(ComputeAdapterBitmapFlags(0x4 | 0x10 | 0x200 | 0x20 | 0x8), 0x4u | 0x200u | 0x20u);
  SetActiveDisplayAdapter(nullptr);
}

}  // namespace
}  // namespace plugintest
