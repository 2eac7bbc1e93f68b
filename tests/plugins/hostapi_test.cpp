// The host API as a plug-in sees it: every slot of every table is set (a
// missing initialiser would leave a silent null), the root carries the
// host version, and the plug-in listing of the vocabulary export.
#include "tests/plugins/plugin_fixture.h"

#include <cstring>

namespace plugintest {
namespace {

template <typename T>
size_t NullSlots(const T* table, size_t expected) {
  EXPECT_EQ(sizeof(T), expected * sizeof(void*));
  size_t nulls = 0;
  for (size_t i = 0; i < sizeof(T) / sizeof(void*); i++) {
    void* slot = nullptr;
    std::memcpy(&slot, reinterpret_cast<const char*>(table) + i * sizeof(void*), sizeof slot);
    if (!slot) nulls++;
  }
  return nulls;
}

TEST(HostApi, EverySlotOfEveryTableIsSet) {
  const PluginHostApi* api = GetPluginHostApi();
  ASSERT_NE(api, nullptr);
  EXPECT_EQ(api->version, 8);
  EXPECT_EQ(api->revision, 0);
  EXPECT_EQ(NullSlots(api->cruntime, 58), 0u);
  EXPECT_EQ(NullSlots(api->system, 55), 0u);
  EXPECT_EQ(NullSlots(api->file, 36), 0u);
  EXPECT_EQ(NullSlots(api->graphics, 36), 0u);
  EXPECT_EQ(NullSlots(api->sound, 3), 0u);
  EXPECT_EQ(NullSlots(api->requester, 4), 0u);
  EXPECT_EQ(NullSlots(api->font, 1), 0u);
  EXPECT_EQ(NullSlots(api->freetype, 38), 0u);
  EXPECT_EQ(NullSlots(api->vm, 78), 0u);
  EXPECT_EQ(sizeof(HostFontBlobTable), 6 * sizeof(void*));
  EXPECT_EQ(NullSlots(api->zlib, 13), 0u);
  EXPECT_EQ(NullSlots(api->jpeg, 25), 0u);
  EXPECT_EQ(NullSlots(api->plugin, 5), 0u);
  EXPECT_EQ(NullSlots(api->encoding, 4), 0u);
  EXPECT_EQ(NullSlots(api->unicode, 21), 0u);
  EXPECT_EQ(NullSlots(api->locale, 3), 0u);
  for (void* word : api->reserved) EXPECT_EQ(word, nullptr);

  // A few slots that carry adapters rather than the service itself.
  EXPECT_EQ(api->encoding->crc32("abc", 0), -1);
  EXPECT_EQ(api->encoding->crc32("123456789", 9), 0xCBF43926);
  char text[8];
  EXPECT_EQ(api->encoding->base64Encode("abcd", 4, text, sizeof text), 0);  // 8 characters need 9 bytes
  char wide[9];
  ASSERT_EQ(api->encoding->base64Encode("abcd", 4, wide, sizeof wide), 1);
  EXPECT_STREQ(wide, "YWJjZA==");
  EXPECT_EQ(api->unicode->validateString("\xC3\xA9t\xC3\xA9"), 3);
  EXPECT_EQ(api->unicode->validateString("\xC3"), -1);
}

TEST_F(PluginTest, PluginListing) {
  Install("testlib");
  Install("testimg");
  ASSERT_EQ(LoadPluginsAndFormats(L, root.c_str(), 0, nullptr), 0);
  std::string path = root + "/listing.txt";
  StreamHandle* file = OpenFileStream(path.c_str(), STREAM_WRITE, nullptr);
  ASSERT_NE(file, nullptr);
  DumpPluginInfo(L, file, 1);
  CloseFileStream(file);
  std::vector<uint8_t> bytes = ReadBytes(path);
  std::string listing(bytes.begin(), bytes.end());

  // Each plug-in in list order; absent texts are empty lines.
  std::string lib = "::plugin\n1.9\n0x00000402\nTest library\n\n\n\n\n\n\n\n"
                    "::commands\nPlugAdd\n\n\nPlugInits\n\n\nPlugFail\n\n\n"
                    "::constants\nTESTLIB_ANSWER\nTESTLIB_NAME\n";
  std::string img = "::plugin\n1.0\n0x00000004\n\n\n\n\n\n\n\n\n";
  EXPECT_TRUE(listing == lib + img + "::end\n" || listing == img + lib + "::end\n") << listing;
}

}  // namespace
}  // namespace plugintest
