// File and directory adapters: the test plug-in "testfs" keeps files in
// memory. The stream layer must hand it the open's tag list, take its
// streams (also those that cannot seek or do not know their size), ask it
// for locks and directory listings, and fall back to the built-in file
// system where the adapter or the loader string declines.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/stream_private.h"
#include "tests/plugins/plugin_fixture.h"

namespace {

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
  return v;
}

class FileAdapterTest : public plugintest::PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    Install("testfs");
    ASSERT_EQ(ScanAndRegister(), ERR_NONE);
    put = Symbol<void (*)(const char*, const void*, size_t)>("TestFsPut");
    get = Symbol<const uint8_t* (*)(const char*, size_t*)>("TestFsGet");
    setFlags = Symbol<void (*)(uint32_t)>("TestFsSetFileAdapterFlags");
    lastOpen = Symbol<const char* (*)(int32_t*, QmTagItem*, int32_t*)>("TestFsLastOpen");
    counts = Symbol<void (*)(int32_t*)>("TestFsCounts");
    ASSERT_TRUE(put && get && setFlags && lastOpen && counts);
  }
  // Every stream and directory the adapter opened was closed.
  void TearDown() override {
    int32_t c[4] = {};
    counts(c);
    EXPECT_EQ(c[0], c[1]) << "streams left open";
    EXPECT_EQ(c[2], c[3]) << "directories left open";
    PluginTest::TearDown();
  }

  template <typename F>
  F Symbol(const char* name) {
    return plugintest::ModuleSymbol<F>(root + "/Plugins/testfs.qmp", name);
  }

  void (*put)(const char*, const void*, size_t) = nullptr;
  const uint8_t* (*get)(const char*, size_t*) = nullptr;
  void (*setFlags)(uint32_t) = nullptr;
  const char* (*lastOpen)(int32_t*, QmTagItem*, int32_t*) = nullptr;
  void (*counts)(int32_t*) = nullptr;
};

// The tag list of each kind of name, and linked data only for an adapter
// whose flags take it.
TEST_F(FileAdapterTest, OpenTagsAndLinkedData) {
  const std::vector<uint8_t> bytes = pattern(300);
  const std::string holder = root + "/holder.bin";
  plugintest::WriteBytes(holder, bytes);
  char chunk[1024];
  ASSERT_TRUE(MakeChunkName("a.png", chunk, sizeof chunk, 100, 50, 0, holder.c_str()));
  MemoryFileName memory;
  MakeMemoryFileName(&memory, bytes.data(), 20);
  put("plain.txt", "hello", 5);
  struct Case {
    const char* what;
    const char* name;
    uint32_t adapterFlags;
    bool byAdapter;
    const char* passedName;
    std::vector<uint32_t> tags;
    size_t offset, size;  // of the data read
  } cases[] = {
      {"plain", "testfs:plain.txt", 0, true, "testfs:plain.txt", {1}, 0, 0},
      {"chunk, not taken", chunk, 0, false, nullptr, {}, 100, 50},
      {"chunk", chunk, QM_FILEADAPTER_LINKEDDATA, true, "a.png", {1, 2, 3, 4}, 100, 50},
      {"memory",
       reinterpret_cast<const char*>(&memory),
       QM_FILEADAPTER_LINKEDDATA,
       true,
       "Unnamed",
       {1, 5, 4},
       0,
       20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    setFlags(c.adapterFlags);
    StreamHandle* s = OpenFileStream(c.name, STREAM_READ | STREAM_ADAPTERS, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(GetStreamAdapterName(s) != nullptr, c.byAdapter);
    if (c.byAdapter) {
      int32_t mode = 0, count = 0;
      QmTagItem tags[8];
      EXPECT_STREQ(lastOpen(&mode, tags, &count), c.passedName);
      EXPECT_EQ(mode, QM_FOPEN_READ);
      std::vector<uint32_t> seen;
      for (int32_t i = 0; i < count; ++i) seen.push_back(tags[i].tag);
      EXPECT_EQ(seen, c.tags);
      for (int32_t i = 0; i < count; ++i) {
        if (tags[i].tag == QM_FOPENTAG_PATH) {
          EXPECT_STREQ(reinterpret_cast<const char*>(tags[i].data), holder.c_str());
        }
        if (tags[i].tag == QM_FOPENTAG_OFFSET) {
          EXPECT_EQ(tags[i].data, c.offset);
        }
        if (tags[i].tag == QM_FOPENTAG_SIZE) {
          EXPECT_EQ(tags[i].data, c.size);
        }
      }
    }
    if (c.size) {
      std::vector<uint8_t> got(c.size + 1);
      EXPECT_EQ(ReadStream(s, got.data(), got.size()), c.size);
      EXPECT_EQ(0, std::memcmp(got.data(), bytes.data() + c.offset, c.size));
    }
    CloseFileStream(s);
  }
  ReleaseMemoryFileName(&memory);
  // Without the adapters bit, or with a loader string that leaves the
  // plug-in out, the adapter is not asked.
  EXPECT_EQ(OpenFileStream("testfs:plain.txt", STREAM_READ, nullptr), nullptr);
  EXPECT_EQ(OpenFileStream("testfs:plain.txt", STREAM_READ | STREAM_ADAPTERS, "inbuilt"), nullptr);
}

TEST_F(FileAdapterTest, StreamsThatCannotSeekOrDoNotKnowTheirSize) {
  const std::vector<uint8_t> bytes = pattern(40000);
  put("noseek/f", bytes.data(), 1000);
  put("unknown/big", bytes.data(), bytes.size());
  // The adapter flags the stream as unable to seek through the open's tag;
  // with mode 16 forward seeks read and discard.
  StreamHandle* s =
      OpenFileStream("testfs:noseek/f", STREAM_READ | STREAM_ADAPTERS | STREAM_SKIPSEEK, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_TRUE(IsStreamNoSeek(s));
  EXPECT_EQ(SeekFileStream(s, 100, 1), 0);
  EXPECT_EQ(ReadStreamByte(s), bytes[100]);
  EXPECT_EQ(SeekFileStream(s, -51, 0), 101);  // back: rewinds and reads
  EXPECT_EQ(ReadStreamByte(s), bytes[50]);
  EXPECT_EQ(SeekFileStream(s, 0, 2), -1);
  CloseFileStream(s);
  // A stream of unknown size is read whole in blocks.
  uint8_t* data = nullptr;
  size_t size = 0;
  ASSERT_EQ(LoadFileToMemory("testfs:unknown/big", nullptr, nullptr, &data, &size, 1, 0), ERR_NONE);
  ASSERT_EQ(size, bytes.size());
  EXPECT_EQ(0, std::memcmp(data, bytes.data(), size));
  FreeMemory(data);
  // Writes reach the adapter's file.
  s = OpenFileStream("testfs:new.bin", STREAM_WRITE | STREAM_ADAPTERS, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(WriteStream(s, "abc", 3), 3u);
  CloseFileStream(s);
  size_t stored = 0;
  const uint8_t* p = get("new.bin", &stored);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p), stored), "abc");
}

TEST_F(FileAdapterTest, LocksListingsAndRewind) {
  put("dir/a", "1", 1);
  put("dir/b", "22", 2);
  put("dir/sub/c", "333", 3);
  LockHandle* dir = LockFile("testfs:dir", LOCK_DIRECTORY, nullptr);
  ASSERT_NE(dir, nullptr);
  EXPECT_STREQ(GetLockAdapterName(dir), "testfs");
  int32_t isDirectory = 0;
  EXPECT_EQ(CheckLockIsDirectory(dir, &isDirectory), ERR_NONE);
  EXPECT_EQ(isDirectory, 1);
  for (int pass = 0; pass < 2; ++pass) {
    SCOPED_TRACE(pass);
    std::string listing;
    const char* name = nullptr;
    FileInfo info;
    while (NextLockEntry(dir, 0, &name, &isDirectory, &info))
      listing += std::string(name) + (isDirectory ? "/ " : " ");
    EXPECT_EQ(listing, "a b sub/ ");
    EXPECT_EQ(RewindLock(dir, 0), ERR_NONE);
  }
  UnLockFile(dir);
  // A file: the adapter's Stat answers the lock.
  LockHandle* file = LockFile("testfs:dir/b", 1, nullptr);
  ASSERT_NE(file, nullptr);
  FileInfo info;
  ASSERT_TRUE(ExamineLock(file, &info));
  EXPECT_EQ(info.size, 2);
  EXPECT_EQ(info.isDirectory, 0);
  EXPECT_EQ(CheckLockIsDirectory(file, &isDirectory), ERR_NOTADIR);
  char full[64];
  EXPECT_TRUE(NameFromLock(file, full, sizeof full));
  EXPECT_STREQ(full, "testfs:dir/b");
  UnLockFile(file);
  ExtendedFileInfo ext;
  ASSERT_TRUE(ExamineFile("testfs:dir/sub/c", &ext, 1));
  EXPECT_EQ(ext.size, 3);
  // Without the adapters flag the lock's own try of the adapters answers.
  ASSERT_TRUE(ExamineFile("testfs:dir/sub/c", &ext, 0));
  EXPECT_EQ(ext.size, 3);
  EXPECT_STREQ(ext.fullName, "testfs:dir/sub/c");
  EXPECT_EQ(LockFile("testfs:nothing", LOCK_DIRECTORY, nullptr), nullptr);
}

// A plug-in loaded without extension bit 0 of the directory adapter.
class FileAdapterNoRewindTest : public FileAdapterTest {
 protected:
  void SetUp() override {
    setenv("QM_TESTFS_NOREWIND", "1", 1);
    FileAdapterTest::SetUp();
    unsetenv("QM_TESTFS_NOREWIND");
  }
};

TEST_F(FileAdapterNoRewindTest, RewindLockIsUnsupported) {
  put("d/x", "x", 1);
  LockHandle* dir = LockFile("testfs:d", LOCK_DIRECTORY, nullptr);
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(RewindLock(dir, 0), ERR_PLUGINSUPPORT);
  UnLockFile(dir);
}

}  // namespace
