// The host API as a plug-in sees it: every slot of every table is set (a
// missing initialiser would leave a silent null), the root carries the
// host version; saver formats, the loaded-plug-in array and plug-in nodes;
// a failed check raised through a plug-in written in C.
#include "tests/plugins/plugin_fixture.h"
#include "gfx/gfx.h"
#include "display/display.h"
#include "libs/libs.h"
#include "runtime/player.h"
#include "platform/linux/system_private.h"
#include "plugins/hostapi.h"
#include "plugins/plugin_private.h"

#include <algorithm>
#include <memory>
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

// The chunk services: a buffer written out or linked, chunk names taken
// apart, a loader's name for a file range or for memory, and a dos
// command called for a plug-in.
TEST_F(PluginTest, FileSlotsLinkDescribeAndNameChunks) {
  const HostFileTable* file = GetPluginHostApi()->file;
  std::string dir = root + "/Plugins";
  auto readAll = [&](const char* name) {
    std::string text;
    QmStream* s = file->openStream(name, 0);
    if (!s) return std::string("(no open)");
    for (int c; (c = file->readStreamByte(s)) >= 0;) text += static_cast<char>(c);
    file->closeStream(s);
    return text;
  };

  char name[1024];
  StrCopyBounded(name, sizeof name, (dir + "/written.bin").c_str());
  ASSERT_EQ(file->writeBufferOrLink(L, name, sizeof name, "abc", 3, 1), 1);
  EXPECT_EQ(readAll(name), "abc");
  char linked[1024] = {};
  ASSERT_EQ(file->writeBufferOrLink(L, linked, sizeof linked, "hello", 5, 0), 1);
  EXPECT_EQ(readAll(linked), "hello");
  QmChunkDescription d{};
  ASSERT_EQ(file->describeChunkName(linked, &d), 1);
  EXPECT_EQ(d.size, 5);
  EXPECT_NE(d.virtualFile, nullptr);
  EXPECT_EQ(file->describeChunkName("plain.txt", &d), 0);
  EXPECT_EQ(d.offset, -1);
  EXPECT_STREQ(d.text, "plain.txt");

  WriteBytes(dir + "/range.bin", {'0', '1', '2', '3', '4', '5'});
  std::string path = dir + "/range.bin";
  QmLoaderSource range{path.c_str(), 2, 3, nullptr, "png"};
  char chunk[1024];
  ASSERT_EQ(file->requestChunkName(&range, chunk, sizeof chunk), 1);
  EXPECT_EQ(readAll(chunk), "234");
  ASSERT_EQ(file->describeChunkName(chunk, &d), 1);
  EXPECT_EQ(d.offset, 2);
  EXPECT_STREQ(d.text, path.c_str());
  EXPECT_EQ(file->requestChunkName(&range, chunk, 8), 0);  // does not fit

  static const char memory[] = "in memory";
  alignas(16) char record[QM_MEMORYNAME_SIZE];
  QmLoaderSource inMemory{nullptr, 0, 9, memory, nullptr};
  ASSERT_EQ(file->requestChunkName(&inMemory, record, sizeof record), 1);
  EXPECT_EQ(readAll(record), "in memory");
  EXPECT_EQ(file->requestChunkName(nullptr, record, sizeof record), 1);
  EXPECT_EQ(file->requestChunkName(&inMemory, record + 1, sizeof record - 1), 0);  // misaligned

  VmPushString(L, path.c_str());
  EXPECT_EQ(file->callDosCommand(L, "Exists", 1, 1), ERR_UNIMPLCMD);  // no dos library yet
  VmSetTop(L, 0);
  VmPushValue(L, VM_GLOBALS_INDEX);  // the opener registers into the table on top
  ASSERT_EQ(OpenDosLibrary(L), ERR_NONE);
  VmSetTop(L, 0);
  VmPushString(L, path.c_str());
  ASSERT_EQ(file->callDosCommand(L, "exists", 1, 1), ERR_NONE);
  EXPECT_TRUE(VmToBoolean(L, -1));
  VmSetTop(L, 0);
  FreeDosResources(L);
}

// Global values by tag list: the applet's six header texts, the run and
// encoding flags, the display words and the scale factor.
TEST_F(PluginTest, GlobalValuesReadHeaderTextsAndStoreDisplayWords) {
  const HostSystemTable* system = GetPluginHostApi()->system;
  auto record = std::make_unique<PlayerRecord>();
  const char* texts[] = {"Title", "1.2", "(c) us", "We", "A game", "com.example.game"};
  char* fields[] = {record->title,   record->versionString, record->copyright,
                    record->authors, record->description,   record->text6};
  for (int i = 0; i < 6; i++) StrCopyBounded(fields[i], HEADER_TEXT_SIZE, texts[i]);
  player.record = record.get();
  const uint32_t tags[] = {26, 27, 28, 29, 30, 37};
  for (int i = 0; i < 6; i++) {
    char buffer[256] = "x";
    QmTagItem list[] = {{tags[i], reinterpret_cast<uintptr_t>(buffer)}, {0, 0}};
    EXPECT_EQ(system->globalValues(L, list), 1);
    EXPECT_STREQ(buffer, texts[i]) << tags[i];
  }
  player.record = nullptr;

  uintptr_t running = 7, encoding = 7;
  double scale = 0;
  QmTagItem reads[] = {{32, reinterpret_cast<uintptr_t>(&running)},
                       {35, reinterpret_cast<uintptr_t>(&encoding)},
                       {46, reinterpret_cast<uintptr_t>(&scale)},
                       {33, 11},
                       {39, 22},
                       {43, 33},
                       {0, 0}};
  EXPECT_EQ(system->globalValues(L, reads), 6);
  EXPECT_EQ(running, static_cast<uintptr_t>(GetScriptRunningFlag()));
  EXPECT_EQ(encoding, static_cast<uintptr_t>(player.utf8Script));
  EXPECT_EQ(scale, 1.0);  // no display
  EXPECT_EQ(GetPluginDisplayWord(0), 11u);
  EXPECT_EQ(GetPluginDisplayWord(1), 22u);
  EXPECT_EQ(GetPluginDisplayWord(2), 33u);
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

// The bitmap slots of the graphics table on software bitmaps: a lock and
// its release, copies between locks (plain, masked, blended, clipped, and
// refused for mismatched or short-rowed locks), fills, pixels and lines
// with opacity and clip tags, and the ARGB read with an alpha channel.
TEST(HostApi, GraphicsSlotsDrawOnLockedBitmaps) {
  const HostGraphicsTable* g = GetPluginHostApi()->graphics;
  auto slot = [&](int i) { return reinterpret_cast<void (*)()>(g->slot[i]); };
  auto lock = reinterpret_cast<void* (*)(void*, const QmTagItem*, QmBitmapLock*)>(slot(16));
  auto unlock = reinterpret_cast<void (*)(void*)>(slot(17));
  auto blt = reinterpret_cast<int32_t (*)(const QmBitmapLock*, int32_t, int32_t,
                                          const QmBitmapLock*, int32_t, int32_t, int32_t, int32_t,
                                          const QmBitmapLock*, const QmTagItem*)>(slot(21));
  auto fill = reinterpret_cast<void (*)(const QmBitmapLock*, int32_t, int32_t, int32_t, int32_t,
                                        uint32_t, uint32_t, const QmTagItem*)>(slot(22));
  auto pixel = reinterpret_cast<void (*)(const QmBitmapLock*, int32_t, int32_t, uint32_t, uint32_t,
                                         const QmTagItem*)>(slot(23));
  auto line = reinterpret_cast<void (*)(const QmBitmapLock*, int32_t, int32_t, int32_t, int32_t,
                                        uint32_t, uint32_t, const QmTagItem*)>(slot(24));
  auto argb = reinterpret_cast<uint32_t* (*)(void*, int32_t, int32_t, const QmTagItem*)>(slot(25));
  auto toPixel = reinterpret_cast<uint32_t (*)(uint32_t, uint32_t, int32_t)>(slot(27));
  auto toColour = reinterpret_cast<uint32_t (*)(uint32_t, uint32_t, int32_t)>(slot(28));

  OwnedBitmap src(AllocBitmap(30, 2, 0, nullptr)), dst(AllocBitmap(30, 2, 0, nullptr));
  ASSERT_TRUE(src && dst);
  const QmTagItem write[] = {{QM_LOCKTAG_WRITE, 1}, {0, 0}};
  QmBitmapLock s, d;
  void* sl = lock(src.get(), write, &s);
  void* dl = lock(dst.get(), write, &d);
  ASSERT_TRUE(sl && dl);
  EXPECT_EQ(s.rowLength, 32);  // rows of 30 pixels padded to 32
  EXPECT_EQ(s.format, 10u);
  EXPECT_EQ(s.bytesPerPixel, 4);
  auto at = [](const QmBitmapLock& l, int x, int y) {
    return static_cast<uint32_t*>(l.address)[y * l.rowLength + x] & 0xFFFFFF;
  };
  auto reset = [&] {
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 32; ++x) {
        static_cast<uint32_t*>(s.address)[y * 32 + x] = static_cast<uint32_t>(x + 1);
        static_cast<uint32_t*>(d.address)[y * 32 + x] = 0;
      }
  };
  uint8_t maskBits[2 * 4] = {0xF0, 0, 0, 0, 0xF0, 0, 0, 0};  // columns 0-3 visible
  uint8_t alphaBytes[2 * 32] = {};
  alphaBytes[0] = 255;  // (0,0) copied, (1,0) left alone
  QmBitmapLock mask{maskBits, 4, 15, 1, 30, 2}, alpha{alphaBytes, 32, 14, 1, 30, 2};
  QmRect clip{3, 0, 2, 2};
  const QmTagItem clipTags[] = {{QM_BLTTAG_CLIP, reinterpret_cast<uintptr_t>(&clip)}, {0, 0}};
  QmBitmapLock shortRows = s;
  shortRows.rowLength = 10;
  QmBitmapLock other = s;
  other.format = 13;
  struct Case {
    const char* what;
    const QmBitmapLock* source;
    int32_t sx, dx, width;
    const QmBitmapLock* plane;
    const QmTagItem* tags;
    int32_t result;
    // Destination row 0 after the copy: {column, value}.
    std::vector<std::pair<int, uint32_t>> expect;
  } cases[] = {
      {"negative destination x", &s, 0, -10, 30, nullptr, nullptr, 0, {{0, 11}, {19, 30}, {20, 0}}},
      {"mask", &s, 0, 0, 8, &mask, nullptr, 0, {{3, 4}, {4, 0}}},
      {"alpha", &s, 0, 0, 2, &alpha, nullptr, 0, {{0, 1}, {1, 0}}},
      {"clip", &s, 0, 0, 30, nullptr, clipTags, 0, {{2, 0}, {3, 4}, {4, 5}, {5, 0}}},
      {"short rows", &shortRows, 0, 0, 4, nullptr, nullptr, ERR_WRONGUSAGE, {{0, 0}}},
      {"other format", &other, 0, 0, 4, nullptr, nullptr, ERR_WRONGUSAGE, {{0, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    reset();
    EXPECT_EQ(blt(c.source, c.sx, 0, &d, c.dx, 0, c.width, 2, c.plane, c.tags), c.result);
    for (const auto& [x, v] : c.expect) EXPECT_EQ(at(d, x, 0), v) << "column " << x;
  }

  // Fills, pixels and lines are cut to the clip rectangle; flag bit 0
  // takes the opacity from the colour's top byte.
  reset();
  QmRect box{2, 0, 3, 1};
  const QmTagItem boxTags[] = {{QM_DRAWTAG_CLIP, reinterpret_cast<uintptr_t>(&box)}, {0, 0}};
  fill(&d, 0, 0, 30, 2, 0x123456, 0, boxTags);
  EXPECT_EQ(at(d, 1, 0), 0u);
  EXPECT_EQ(at(d, 2, 0), 0x123456u);
  EXPECT_EQ(at(d, 4, 0), 0x123456u);
  EXPECT_EQ(at(d, 5, 0), 0u);
  EXPECT_EQ(at(d, 2, 1), 0u);
  line(&d, 0, 1, 29, 1, 0xABCDEF, 0, nullptr);
  EXPECT_EQ(at(d, 29, 1), 0xABCDEFu);
  pixel(&d, 10, 0, 0x00FF0000, QM_DRAW_COLOURALPHA, nullptr);  // opacity 0: nothing
  EXPECT_EQ(at(d, 10, 0), 0u);
  pixel(&d, 10, 0, 0xFF00FF00, QM_DRAW_COLOURALPHA, nullptr);
  EXPECT_EQ(at(d, 10, 0), 0x00FF00u);
  pixel(&d, 30, 0, 0xFFFFFF, 0, nullptr);  // outside: nothing, and no fault
  unlock(sl);
  unlock(dl);

  OwnedBitmap channel(AllocAlphaChannel(30, 2, 1, nullptr, 0));
  FillAlphaRect(channel.get(), 0, 0, 1, 1, 0x80);
  const QmTagItem readTags[] = {{QM_ARGBTAG_ALPHA, reinterpret_cast<uintptr_t>(channel.get())},
                                {QM_ARGBTAG_WIDTH, 2},
                                {QM_ARGBTAG_HEIGHT, 1},
                                {0, 0}};
  uint32_t* pixels = argb(dst.get(), 9, 0, readTags);
  ASSERT_NE(pixels, nullptr);
  EXPECT_EQ(pixels[1], 0x0000FF00u);  // alpha 0 at (10,0) of the channel
  FreeMemory(pixels);
  EXPECT_EQ(toPixel(0x112233, 13, 0), 0x332211u);
  EXPECT_EQ(toColour(0x332211, 13, 0), 0x112233u);
}

}  // namespace
}  // namespace plugintest
