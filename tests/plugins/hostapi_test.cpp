// The host API as a plug-in sees it: every slot of every table is set (a
// missing initialiser would leave a silent null), the root carries the
// host version; saver formats, the loaded-plug-in array and plug-in nodes;
// a failed check raised through a plug-in written in C.
#include "tests/plugins/plugin_fixture.h"
#include "platform/linux/system_private.h"
#include "plugins/plugin_private.h"

#include <algorithm>
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
  EXPECT_EQ(api->encoding->base64Encode("abcd", 4, text, sizeof text),
            0);  // 8 characters need 9 bytes
  char wide[9];
  ASSERT_EQ(api->encoding->base64Encode("abcd", 4, wide, sizeof wide), 1);
  EXPECT_STREQ(wide, "YWJjZA==");
  EXPECT_EQ(api->unicode->validateString("\xC3\xA9t\xC3\xA9"), 3);
  EXPECT_EQ(api->unicode->validateString("\xC3"), -1);
}

TEST_F(PluginTest, FileSlotsReachTheStreamLayer) {
  const HostFileTable* file = GetPluginHostApi()->file;
  std::string dir = root + "/Plugins";
  std::string name = dir + "/data.bin";
  WriteBytes(name, {'a', 'b', 'c', 'd', 'e'});

  QmStream* s = file->openStream(name.c_str(), 0);
  ASSERT_NE(s, nullptr);
  char buffer[8] = {};
  EXPECT_EQ(file->readStream(s, buffer, 2), 2u);
  EXPECT_EQ(file->seekStream(s, 1, 0), 2);  // returns the previous position
  EXPECT_EQ(file->readStreamByte(s), 'd');
  EXPECT_EQ(file->closeStream(s), 1);

  QmStream* w = file->openStream((dir + "/out.bin").c_str(), QM_OPEN_WRITE);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(file->writeStream(w, "xyz", 3), 3u);
  file->closeStream(w);
  EXPECT_EQ(ReadBytes(dir + "/out.bin"), (std::vector<uint8_t>{'x', 'y', 'z'}));

  QmLock* lock = file->lockPath(dir.c_str(), 0);
  ASSERT_NE(lock, nullptr);
  int32_t isDirectory = 0;
  EXPECT_EQ(file->checkLockIsDirectory(lock, &isDirectory), 0);
  EXPECT_EQ(isDirectory, 1);
  std::vector<std::string> names;
  char entry[256];
  QmDirInfo info{};
  while (file->nextDirEntry(lock, entry, sizeof entry, &info)) names.push_back(entry);
  file->unlockPath(lock);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"data.bin", "out.bin"}));

  QmFileInfo examined{};
  ASSERT_EQ(file->examinePath(name.c_str(), &examined), 1);
  EXPECT_EQ(examined.size, 5);
  EXPECT_EQ(examined.isDirectory, 0);
  GetPluginHostApi()->cruntime->free_(examined.name);
  GetPluginHostApi()->cruntime->free_(examined.comment);

  char path[64] = "dir";
  EXPECT_EQ(file->addPart(path, "file", sizeof path), 1);
  EXPECT_STREQ(path, "dir/file");
  EXPECT_EQ(file->addPart(path, "/abs", sizeof path), 1);
  EXPECT_STREQ(path, "/abs");
  int64_t offset = 0, size = 0;
  char extra[32];
  EXPECT_EQ(file->parseChunkName("plain.txt", &offset, &size, extra, sizeof extra), 0);
  EXPECT_EQ(offset, -1);
  EXPECT_STREQ(extra, "plain.txt");
}

TEST_F(PluginTest, SaverFormatsPluginArrayAndNodes) {
  Install("testlib");
  Install("testimg");
  ASSERT_EQ(LoadPluginsAndFormats(L, root.c_str(), 0, nullptr), 0);
  PluginBase* img = GetPluginBase(Entry("testimg")->handle);
  PluginBase* lib = GetPluginBase(Entry("testlib")->handle);

  // Both passes of the saver registration: copies and constants.
  int32_t count = 0;
  const SaverFormatEntry* formats = GetPluginSaverFormats(img, PLUGINCAPS_SAVEIMAGE, &count);
  ASSERT_EQ(count, 2);
  EXPECT_STREQ(formats[0].formatName, "qmti");
  EXPECT_EQ(formats[1].formatId, 101);
  EXPECT_STREQ(formats[1].formatName, "qmti2");
  EXPECT_EQ(Constant("imgfmt_qmti"), "100");
  EXPECT_EQ(Constant("imgfmt_qmti2"), "101");
  EXPECT_EQ(GetPluginSaverFormats(lib, PLUGINCAPS_SAVEIMAGE, &count), nullptr);
  EXPECT_EQ(count, 0);

  // The loaded plug-ins in list order, in one allocation.
  const PluginHostApi* api = GetPluginHostApi();
  QmPluginListNode* array = api->plugin->getLoadedPluginArray();
  std::vector<PluginBase*> seen;
  for (QmPluginListNode* n = array; n; n = n->next) seen.push_back(n->base);
  std::vector<PluginBase*> expected;
  for (const PluginEntry* e = GetPluginList(); e; e = e->next)
    expected.push_back(GetPluginBase(e->handle));
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(seen.size(), 2u);
  api->plugin->freeLoadedPluginArray(array);
  api->plugin->setPluginUserData(img, 0xABCD);
  EXPECT_EQ(api->plugin->getPluginUserData(img), 0xABCDu);

  // Nodes keep their texts; the value only with flag bit 0. The plug-in's
  // close frees them (the sanitizer sees any leak).
  PluginNode* a = api->system->addPluginNode(lib, 1, "name", nullptr, "third", 99, 0);
  PluginNode* b = api->system->addPluginNode(lib, 2, "other", "second", "", 99, 1);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(lib->nodes, a);
  EXPECT_EQ(a->next, b);
  EXPECT_STREQ(a->name, "name");
  EXPECT_STREQ(a->text2, "");
  EXPECT_STREQ(a->text3, "third");
  EXPECT_EQ(a->value, 0u);
  EXPECT_EQ(b->value, 99u);
  SetAllocFailure(1, false);
  EXPECT_EQ(api->system->addPluginNode(lib, 3, "x", "y", "z", 0, 0), nullptr);
  SetAllocFailure(0, false);
  EXPECT_EQ(b->next, nullptr);

  // A plug-in without a working transform cannot render again.
  WriteBytes(root + "/pic.qmti", {'Q', 'M', 'T', 'I', 0, 1, 0, 1, 0, 1, 2, 3, 4});
  PictureRequest request{};
  PictureResult result{};
  ASSERT_EQ(OpenPictureHandle((root + "/pic.qmti").c_str(), nullptr, &request, &result), 0);
  const double identity[4] = {1, 0, 0, 1};
  EXPECT_EQ(RenderPictureHandle(result.handle, identity, 2, 2), ERR_TFIMAGE);
  ReleasePictureHandle(result.handle);
  PictureHandle* pixels = NewPixelPictureHandle(1, 1);
  EXPECT_EQ(RenderPictureHandle(pixels, identity, 2, 2), ERR_TFIMAGE);
  ReleasePictureHandle(pixels);
}

// A plug-in written in C whose command fails a host-API check: the raise
// unwinds through the plug-in's C frame, runs its cleanup (which frees the
// command's buffer; the sanitizer sees a leak otherwise) and ends in the
// script's error, after which the same state runs scripts as before.
TEST_F(PluginTest, CheckFailingInACPluginEndsInTheScriptsError) {
  Install("testcheck");
  ASSERT_EQ(ScanAndRegister(), 0);
  struct Case {
    const char* name;
    const char* call;  // loads the command into register 0 and calls it
    ErrorCode error;
    double result;
  };
  const Case cases[] = {
      {"number", "GETGLOBAL 0, \"checkeddouble\"\nLOADNUM 1, 21\nCALL 0, 2, 2\n", ERR_NONE, 42},
      {"text", "GETGLOBAL 0, \"checkeddouble\"\nLOADCONST 1, \"x\"\nCALL 0, 2, 2\n",
       ERR_NUMEXPECTED, 0},
      {"absent", "GETGLOBAL 0, \"checkeddouble\"\nCALL 0, 1, 2\n", ERR_NUMEXPECTED, 0},
      {"raised", "GETGLOBAL 0, \"checkedraise\"\nLOADCONST 1, #1055\nCALL 0, 2, 2\n",
       ERR_WRONGUSAGE, 0},
      {"number again", "GETGLOBAL 0, \"checkeddouble\"\nLOADCONST 1, #2.5\nCALL 0, 2, 2\n",
       ERR_NONE, 5},
  };
  const std::string cleanups =
      ".source \"=t\"\nGETGLOBAL 0, \"checkcleanups\"\nCALL 0, 1, 2\nSETGLOBAL 0, \"n\"\nRETURN "
      "0, 1\n";
  ASSERT_EQ(Run(cleanups), 0);
  double expected = GlobalNumber("n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Run(".source \"=t\"\nLOADNUM 0, 0\nSETGLOBAL 0, \"result\"\nRETURN 0, 1\n"), 0);
    EXPECT_EQ(
        Run(std::string(".source \"=t\"\n") + c.call + "SETGLOBAL 0, \"result\"\nRETURN 0, 1\n"),
        c.error);
    EXPECT_EQ(GlobalNumber("result"), c.result);
    ASSERT_EQ(Run(cleanups), 0);
    EXPECT_EQ(GlobalNumber("n"), ++expected);  // the command's cleanup ran
  }
}

// The text library's tables: the built-in faces are the Debian Vera files,
// the FreeType slots are the library's functions and the host's library
// handle, and the font scan reports a folder it cannot examine.
TEST(HostApi, FontTablesReachTheTextLibrary) {
  const PluginHostApi* api = GetPluginHostApi();
  const HostFontBlobTable* blobs = api->fontBlobs;
  EXPECT_EQ(blobs->sansSize, 65932u);
  EXPECT_EQ(blobs->serifSize, 60280u);
  EXPECT_EQ(blobs->monospaceSize, 49224u);
  for (const void* face : {blobs->sans, blobs->serif, blobs->monospace}) {
    ASSERT_NE(face, nullptr);
    EXPECT_EQ(std::memcmp(face, "\0\1\0\0", 4), 0);
  }
  // Generic slots are cast through void (*)(void), which g++ accepts as
  // matching every function type.
  using Init = int (*)(void**);
  using Done = int (*)(void*);
  void* library = nullptr;
  ASSERT_EQ(reinterpret_cast<Init>(reinterpret_cast<void (*)()>(api->freetype->slot[0]))(&library),
            0);
  EXPECT_NE(library, nullptr);
  EXPECT_EQ(reinterpret_cast<Done>(reinterpret_cast<void (*)()>(api->freetype->slot[1]))(library),
            0);
  EXPECT_NE(api->freetype->slot[21](), 0);
  using Scan = int32_t (*)(const char*, int32_t);
  EXPECT_EQ(reinterpret_cast<Scan>(reinterpret_cast<void (*)()>(api->font->enumerateTrueTypeFonts))(
                "/no/such/folder", 0),
            1286);
  SetErrorArgString("");
}

}  // namespace
}  // namespace plugintest
