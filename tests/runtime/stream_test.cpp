// Stream layer: memory and virtual files, ":::chunk" ranges against dd,
// fixed-order readers and writers, whole-file reads (also of a FIFO),
// emulated seeks of adapters that cannot seek, locks, and linked names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/engine.h"
#include "plugins/plugins.h"
#include "runtime/runtime.h"
#include "runtime/stream_private.h"
#include "platform/linux/system_private.h"

namespace {

// A VM that holds the references virtual string files keep.
struct ScriptState {
  VmState* L = VmOpenState();
  ~ScriptState() { VmCloseState(L); }
};

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/qm_stream_XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::vector<uint8_t> PatternBytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : v) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return v;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

std::vector<uint8_t> RunAndCapture(const std::string& command) {
  std::vector<uint8_t> out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  uint8_t block[4096];
  size_t n;
  while ((n = std::fread(block, 1, sizeof block, p)) > 0) out.insert(out.end(), block, block + n);
  pclose(p);
  return out;
}

TEST(MemoryFile, ReadsSeeksAndRefusals) {
  std::vector<uint8_t> data = PatternBytes(100, 1);
  MemoryFileName record;
  MakeMemoryFileName(&record, data.data(), data.size());
  const char* name = reinterpret_cast<const char*>(&record);

  EXPECT_EQ(OpenFileStream(name, STREAM_WRITE, nullptr), nullptr);
  EXPECT_EQ(OpenFileStream(name, STREAM_UPDATE, nullptr), nullptr);

  StreamHandle* s = OpenFileStream(name, STREAM_READ, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(GetStreamSize(s), 100);
  EXPECT_EQ(SeekFileStream(s, 95, 1), 0);
  uint8_t buffer[10];
  EXPECT_EQ(ReadStream(s, buffer, 10), 5u);
  EXPECT_EQ(std::memcmp(buffer, data.data() + 95, 5), 0);
  EXPECT_TRUE(IsStreamEOF(s));
  EXPECT_EQ(ReadStreamByte(s), -1);
  EXPECT_EQ(WriteStream(s, buffer, 1), 0u);  // the caller's buffer is never written

  struct SeekCase {
    const char* what;
    int64_t offset;
    int mode;
    int64_t result;    // the previous position or -1
    int64_t position;  // afterwards
  } cases[] = {
      {"past the end lands at the end", 500, 1, 100, 100},
      {"from the end", -10, 2, 100, 90},
      {"before the start fails", -1, 1, -1, 90},
      {"back past the start fails", -91, 0, -1, 90},
      {"from the end past the start fails", -101, 2, -1, 90},
      {"unknown mode fails", 0, 7, -1, 90},
      {"relative forward", 5, 0, 90, 95},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SeekFileStream(s, c.offset, c.mode), c.result) << c.what;
    EXPECT_EQ(SeekFileStream(s, 0, 0), c.position) << c.what;
  }

  FileInfo info;
  EXPECT_NE(ExamineStream(s, &info), 0);
  EXPECT_EQ(info.size, 100);
  EXPECT_EQ(info.protection, 15u);
  EXPECT_STREQ(info.name, "Unnamed");
  EXPECT_EQ(CloseFileStream(s), 1);

  // A script's own ":::memory" text is a name like any other: no record is
  // read behind it.
  EXPECT_EQ(OpenFileStream(":::memory", STREAM_READ, nullptr), nullptr);
  ReleaseMemoryFileName(&record);
  EXPECT_FALSE(IsMemoryFileName(name));

  // Only the newest records are known; an older one no longer opens.
  std::vector<MemoryFileName> many(MEMORY_NAMES_LIVE + 1);
  for (auto& r : many) MakeMemoryFileName(&r, data.data(), data.size());
  EXPECT_FALSE(IsMemoryFileName(reinterpret_cast<const char*>(&many[0])));
  EXPECT_EQ(OpenFileStream(reinterpret_cast<const char*>(&many[0]), STREAM_READ, nullptr), nullptr);
  EXPECT_TRUE(IsMemoryFileName(reinterpret_cast<const char*>(&many[1])));
  for (auto& r : many) ReleaseMemoryFileName(&r);
  EXPECT_FALSE(IsMemoryFileName(reinterpret_cast<const char*>(&many[1])));
}

TEST(VirtualFile, CopiedGrowsReferencedIsReadOnly) {
  ScriptState vm;
  VirtualFile* grown = nullptr;
  ASSERT_EQ(NewVirtualStringFile(vm.L, "", 0, 0, "grow.bin", 1, &grown), 0);
  char name[256];
  ASSERT_TRUE(MakeVirtualFileName(grown, name, sizeof name));
  EXPECT_EQ(std::strncmp(name, ":::chunkS", 9), 0);
  EXPECT_NE(std::strstr(name, "*grow.bin?unused"), nullptr);

  StreamHandle* w = OpenFileStream(name, STREAM_WRITE, nullptr);
  ASSERT_NE(w, nullptr);
  std::vector<uint8_t> bytes = PatternBytes(70000, 2);
  EXPECT_EQ(WriteStream(w, bytes.data(), bytes.size()), 70000u);
  EXPECT_EQ(grown->allocated, 131072u);
  EXPECT_EQ(grown->size, 70000u);
  EXPECT_EQ(SeekFileStream(w, -1, 1), -1);
  EXPECT_EQ(SeekFileStream(w, 0, 0), 70000);

  // Undefined while a stream is open: the record lives until the close.
  EXPECT_EQ(UndefineVirtualStringFile(vm.L, name), 0);
  EXPECT_EQ(OpenFileStream(name, STREAM_READ, nullptr), nullptr);
  EXPECT_EQ(SeekFileStream(w, 69990, 1), 70000);
  EXPECT_EQ(ReadStreamByte(w), bytes[69990]);
  EXPECT_EQ(CloseFileStream(w), 1);
  EXPECT_EQ(UndefineVirtualStringFile(vm.L, name), ERR_WRONGUSAGE);

  static const char text[] = "held by reference";
  VirtualFile* held = nullptr;
  VmSetTop(vm.L, 0);
  VmPushLString(vm.L, text, sizeof text - 1);
  ASSERT_EQ(NewVirtualStringFile(vm.L, text, sizeof text - 1, 1, "text.txt", 0, &held), 0);
  ASSERT_TRUE(MakeVirtualFileName(held, name, sizeof name));
  EXPECT_EQ(OpenFileStream(name, STREAM_WRITE, nullptr), nullptr);
  EXPECT_EQ(OpenFileStream(name, STREAM_UPDATE, nullptr), nullptr);
  uint8_t* loaded = nullptr;
  size_t size = 0;
  ASSERT_EQ(LoadFileToMemory(name, nullptr, nullptr, &loaded, &size, 0, 1), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(loaded), size), text);
  EXPECT_EQ(loaded[size], 0);
  FreeMemory(loaded);

  LockHandle* lock = LockFile(name, 1, nullptr);
  ASSERT_NE(lock, nullptr);
  FileInfo info;
  ASSERT_TRUE(ExamineLock(lock, &info));
  EXPECT_EQ(info.size, static_cast<int64_t>(sizeof text - 1));
  int32_t isDir = 1;
  EXPECT_EQ(CheckLockIsDirectory(lock, &isDir), ERR_NOTADIR);
  EXPECT_STREQ(GetErrorArgString(), name);
  UnLockFile(lock);
  FreeVirtualStringFiles(vm.L);
  EXPECT_EQ(LockFile(name, 1, nullptr), nullptr);
}

TEST(ChunkName, MakeAndParse) {
  ScriptState vm;
  char name[128];
  ASSERT_TRUE(MakeChunkName("a.png", name, sizeof name, 100, 2000, 5000, "/x/game"));
  EXPECT_STREQ(name, ":::chunk5100:2000*a.png?/x/game");
  uint64_t offset = 0, size = 0;
  char stored[32], extra[32], ext[8];
  ASSERT_TRUE(ParseChunkName(name, &offset, &size, stored, sizeof stored, extra, sizeof extra, ext,
                             sizeof ext, nullptr));
  EXPECT_EQ(offset, 5100u);
  EXPECT_EQ(size, 2000u);
  EXPECT_STREQ(stored, "a.png");
  EXPECT_STREQ(extra, "/x/game");
  EXPECT_STREQ(ext, ".png");
  EXPECT_FALSE(MakeChunkName("a.png", name, 20, 100, 2000, 5000, "/x/game"));
  EXPECT_STREQ(name, "");
  EXPECT_FALSE(MakeChunkName("a", name, sizeof name, 1, 1, UINT64_MAX, ""));

  VirtualFile* file = nullptr;
  ASSERT_EQ(NewVirtualStringFile(vm.L, "abc", 3, 0, "v.dat", 1, &file), 0);
  ASSERT_TRUE(MakeVirtualFileName(file, name, sizeof name));
  VirtualFile* found = nullptr;
  std::strcpy(extra, "junk");
  ASSERT_TRUE(ParseChunkName(name, &offset, &size, stored, sizeof stored, extra, sizeof extra, ext,
                             sizeof ext, &found));
  EXPECT_EQ(offset, 0u);
  EXPECT_EQ(size, 3u);
  EXPECT_STREQ(extra, "");
  EXPECT_STREQ(ext, ".dat");
  EXPECT_EQ(found, file);
  FreeVirtualStringFiles(vm.L);
  EXPECT_FALSE(ParseChunkName(name, nullptr, nullptr, nullptr, 0, nullptr, 0, nullptr, 0, nullptr));

  struct Bad {
    const char* what;
    const char* text;
  } bad[] = {
      {"no star", ":::chunk1:2a.png?x"},
      {"no question mark", ":::chunk1:2*a.png"},
      {"question mark only before the star", ":::chunk1:2?x*a.png"},
      {"no size", ":::chunk1:*a?x"},
      {"no offset", ":::chunk:2*a?x"},
      {"signed offset", ":::chunk-1:2*a?x"},
      {"offset overflows", ":::chunk18446744073709551616:1*a?x"},
      {"range overflows", ":::chunk18446744073709551615:1*a?x"},
      {"dead reference", ":::chunkS99999:1*a?x"},
  };
  for (const auto& b : bad) {
    EXPECT_FALSE(
        ParseChunkName(b.text, &offset, &size, nullptr, 0, nullptr, 0, nullptr, 0, nullptr))
        << b.what;
    EXPECT_EQ(OpenFileStream(b.text, STREAM_READ, nullptr), nullptr) << b.what;
  }
  // A text that does not fit its buffer.
  EXPECT_FALSE(ParseChunkName(":::chunk1:2*long.name?x", nullptr, nullptr, stored, 5, nullptr, 0,
                              nullptr, 0, nullptr));
}

TEST(ChunkName, ReadsExactlyTheRange) {
  TempDir dir;
  std::string path = dir.File("holder.bin");
  std::vector<uint8_t> bytes = PatternBytes(100000, 3);
  WriteFile(path, bytes);
  const uint64_t offset = 1234, size = 50000;
  char name[512];
  ASSERT_TRUE(MakeChunkName("inner.dat", name, sizeof name, offset, size, 0, path.c_str()));

  uint8_t* loaded = nullptr;
  size_t loadedSize = 0;
  ASSERT_EQ(LoadFileToMemory(name, nullptr, nullptr, &loaded, &loadedSize, 0, 0), 0);
  std::vector<uint8_t> reference = RunAndCapture(
      "dd if='" + path + "' bs=1234 skip=1 count=" + std::to_string((size + 1233) / 1234) +
      " 2>/dev/null | head -c " + std::to_string(size));
  ASSERT_EQ(loadedSize, size);
  ASSERT_EQ(reference.size(), size);
  EXPECT_EQ(std::memcmp(loaded, reference.data(), size), 0);
  FreeMemory(loaded);

  EXPECT_EQ(OpenFileStream(name, STREAM_WRITE, nullptr), nullptr);
  EXPECT_EQ(OpenFileStream(name, STREAM_UPDATE, nullptr), nullptr);

  StreamHandle* s = OpenFileStream(name, STREAM_READ, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(GetStreamSize(s), static_cast<int64_t>(size));
  struct SeekCase {
    const char* what;
    int64_t offset;
    int mode;
    int64_t position;  // inside the chunk afterwards
  } cases[] = {
      {"before the start clips to it", -1, 1, 0},
      {"far before the start clips to it", -100000, 0, 0},
      {"past the end clips to it", 1000000, 1, static_cast<int64_t>(size)},
      {"from the end", -10, 2, static_cast<int64_t>(size) - 10},
      {"absolute mode before the holder's range", 5, 3, 0},
  };
  for (const auto& c : cases) {
    EXPECT_GE(SeekFileStream(s, c.offset, c.mode), 0) << c.what;
    EXPECT_EQ(SeekFileStream(s, 0, 0), c.position) << c.what;
  }
  ASSERT_EQ(SeekFileStream(s, -10, 2), 0);
  uint8_t tail[64];
  EXPECT_EQ(ReadStream(s, tail, sizeof tail), 10u);
  EXPECT_EQ(std::memcmp(tail, bytes.data() + offset + size - 10, 10), 0);
  EXPECT_EQ(ReadStream(s, tail, sizeof tail), 0u);
  EXPECT_EQ(ReadStreamByte(s), -1);
  EXPECT_TRUE(IsStreamEOF(s));
  ASSERT_EQ(SeekFileStream(s, 0, 1), static_cast<int64_t>(size));
  EXPECT_EQ(ReadStreamByte(s), bytes[offset]);
  CloseFileStream(s);

  // A range without a holding file has nothing to read, whatever it claims.
  s = OpenFileStream(":::chunk0:1099511627776*huge.bin?", STREAM_READ, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(GetStreamSize(s), 0);
  EXPECT_EQ(ReadStreamByte(s), -1);
  CloseFileStream(s);

  // A range that claims more than the holding file has is cut to it.
  ASSERT_TRUE(MakeChunkName("big.dat", name, sizeof name, 99000, 1u << 30, 0, path.c_str()));
  s = OpenFileStream(name, STREAM_READ, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(GetStreamSize(s), 1000);
  CloseFileStream(s);
}

TEST(Stream, FixedOrderRoundTrip) {
  ScriptState vm;
  TempDir dir;
  std::string path = dir.File("endian.bin");
  VirtualFile* memory = nullptr;
  ASSERT_EQ(NewVirtualStringFile(vm.L, "", 0, 0, "endian.mem", 1, &memory), 0);
  char memoryName[256];
  ASSERT_TRUE(MakeVirtualFileName(memory, memoryName, sizeof memoryName));

  using Writer = int (*)(StreamHandle*, int32_t);
  using Reader = int32_t (*)(StreamHandle*);
  struct Case {
    const char* what;
    Writer write;
    Reader read;
    int32_t value;
    int32_t expected;
    uint8_t first;  // the first byte on disk
  } cases[] = {
      {"LE16", WriteStreamLE16, ReadStreamLE16, 0xBEEF, 0xBEEF, 0xEF},
      {"BE16", WriteStreamBE16, ReadStreamBE16, 0xBEEF, 0xBEEF, 0xBE},
      {"BE16U", WriteStreamBE16, ReadStreamBE16U, 0x8001, 0x8001, 0x80},
      {"LE32", WriteStreamLE32, ReadStreamLE32, static_cast<int32_t>(0x89ABCDEF),
       static_cast<int32_t>(0x89ABCDEF), 0xEF},
      {"BE32", WriteStreamBE32, ReadStreamBE32, 0x12345678, 0x12345678, 0x12},
  };
  for (const char* name : {path.c_str(), static_cast<const char*>(memoryName)}) {
    StreamHandle* w = OpenFileStream(name, STREAM_WRITE, nullptr);
    ASSERT_NE(w, nullptr) << name;
    for (const auto& c : cases) EXPECT_EQ(c.write(w, c.value), 1) << c.what;
    CloseFileStream(w);
    StreamHandle* r = OpenFileStream(name, STREAM_READ, nullptr);
    ASSERT_NE(r, nullptr) << name;
    for (const auto& c : cases) {
      int64_t at = SeekFileStream(r, 0, 0);
      EXPECT_EQ(ReadStreamByte(r), c.first) << c.what;
      SeekFileStream(r, at, 1);
      EXPECT_EQ(c.read(r), c.expected) << c.what << " in " << name;
    }
    EXPECT_TRUE(IsStreamEOF(r));
    CloseFileStream(r);
  }
  FreeVirtualStringFiles(vm.L);
}

TEST(Stream, WholeFileReads) {
  TempDir dir;
  // A FIFO has no size: it is read in blocks until its writer closes it.
  std::string fifo = dir.File("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::vector<uint8_t> bytes = PatternBytes(40000, 4);
  std::thread writer([&] {
    // Waits for the reader without blocking, so that a reader that never
    // comes cannot hang the test.
    int fd = -1;
    for (int i = 0; i < 10000 && fd < 0; i++) {
      fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd < 0) usleep(1000);
    }
    if (fd < 0) return;
    fcntl(fd, F_SETFL, 0);
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    close(fd);
  });
  uint8_t* loaded = nullptr;
  size_t size = 0;
  ErrorCode error = LoadFileToMemory(fifo.c_str(), nullptr, nullptr, &loaded, &size, 0, 4);
  writer.join();
  ASSERT_EQ(error, 0);
  ASSERT_EQ(size, bytes.size());
  EXPECT_EQ(std::memcmp(loaded, bytes.data(), size), 0);
  EXPECT_EQ(loaded[size + 3], 0);
  FreeMemory(loaded);

  std::string missing = dir.File("missing");
  EXPECT_EQ(LoadFileToMemory(missing.c_str(), nullptr, nullptr, &loaded, &size, 0, 0),
            ERR_READFILE);
  EXPECT_EQ(loaded, nullptr);
  EXPECT_EQ(GetErrorArgString(), missing);
  EXPECT_EQ(LoadFileToMemory(missing.c_str(), "someplugin", nullptr, &loaded, &size, 0, 0),
            ERR_READFILE);

  // An empty file still gives a buffer, and a copy reproduces a file.
  std::string empty = dir.File("empty");
  WriteFile(empty, {});
  ASSERT_EQ(LoadFileToMemory(empty.c_str(), "default", nullptr, &loaded, &size, 0, 0), 0);
  EXPECT_EQ(size, 0u);
  EXPECT_NE(loaded, nullptr);
  FreeMemory(loaded);

  std::string source = dir.File("source"), copy = dir.File("copy");
  std::vector<uint8_t> big = PatternBytes(3 * STREAM_BLOCK_SIZE + 17, 5);
  WriteFile(source, big);
  ASSERT_EQ(CopyStreamToFile(source.c_str(), nullptr, copy.c_str(), nullptr), 0);
  ASSERT_EQ(LoadFileToMemory(copy.c_str(), nullptr, nullptr, &loaded, &size, 0, 0), 0);
  ASSERT_EQ(size, big.size());
  EXPECT_EQ(std::memcmp(loaded, big.data(), size), 0);
  FreeMemory(loaded);
  EXPECT_EQ(CopyStreamToFile(source.c_str(), nullptr, dir.File("no/such/dir").c_str(), nullptr),
            ERR_WRITEFILE);
}

TEST(Stream, WholeFileReadsUnderAllocationFailure) {
  ScriptState vm;
  TempDir dir;
  std::string path = dir.File("data");
  std::vector<uint8_t> bytes = PatternBytes(3 * STREAM_BLOCK_SIZE + 1, 8);
  WriteFile(path, bytes);
  VirtualFile* file = nullptr;
  VmSetTop(vm.L, 0);
  VmPushLString(vm.L, reinterpret_cast<const char*>(bytes.data()), bytes.size());
  ASSERT_EQ(NewVirtualStringFile(vm.L, bytes.data(), bytes.size(), 1, "v.bin", 0, &file), 0);
  char virtualName[256];
  ASSERT_TRUE(MakeVirtualFileName(file, virtualName, sizeof virtualName));
  for (const char* name : {path.c_str(), static_cast<const char*>(virtualName)}) {
    for (uint64_t n = 1;; n++) {
      SetAllocFailure(n, false);
      uint8_t* loaded = nullptr;
      size_t size = 0;
      ErrorCode error = LoadFileToMemory(name, nullptr, nullptr, &loaded, &size, 0, 2);
      bool failed = GetAllocFailureCount() > 0;
      SetAllocFailure(0, false);
      if (!failed) {
        ASSERT_EQ(error, 0) << name;
        ASSERT_EQ(size, bytes.size());
        EXPECT_EQ(std::memcmp(loaded, bytes.data(), size), 0);
        FreeMemory(loaded);
        break;
      }
      // A failed open is reported as an unreadable file, as every open is.
      EXPECT_TRUE(error == ERR_MEM || error == ERR_READFILE) << name << " " << n << ": " << error;
      EXPECT_EQ(loaded, nullptr);
    }
  }
  FreeVirtualStringFiles(vm.L);
}

// A file adapter over a byte vector that cannot seek except to the start;
// the stream reaches it through the plug-in manager's calls.
struct FakeFile {
  std::vector<uint8_t> data;
  size_t position = 0;
};
size_t fakeRead(void* f, void* buffer, size_t length) {
  auto* file = static_cast<FakeFile*>(f);
  size_t n = std::min(length, file->data.size() - file->position);
  std::memcpy(buffer, file->data.data() + file->position, n);
  file->position += n;
  return n;
}
int64_t fakeSeek(void* f, int64_t offset, int mode) {
  auto* file = static_cast<FakeFile*>(f);
  int64_t before = static_cast<int64_t>(file->position);
  if (offset == 0 && mode == 1)
    file->position = 0;
  else if (!(offset == 0 && mode == 0))
    return -1;
  return before;
}
int fakeClose(void*) { return 1; }

TEST(Stream, EmulatedAdapterSeeks) {
  FileAdapterOps ops = {};
  ops.read = fakeRead;
  ops.seek = fakeSeek;
  ops.close = fakeClose;
  FileAdapterEntry entry = {&ops, "fakeadapter", 0};
  FakeFile file;
  file.data = PatternBytes(50000, 6);

  StreamHandle* plain = NewAdapterStream(&entry, &file, STREAM_READ, ADAPTER_FLAG_NOSEEK);
  ASSERT_NE(plain, nullptr);
  EXPECT_TRUE(IsStreamNoSeek(plain));
  EXPECT_STREQ(GetStreamAdapterName(plain), "fakeadapter");
  EXPECT_EQ(SeekFileStream(plain, 10, 1), -1);  // not asked for emulation
  EXPECT_EQ(SeekFileStream(plain, 0, 1), 0);    // the start is always reachable
  CloseFileStream(plain);

  StreamHandle* s =
      NewAdapterStream(&entry, &file, STREAM_READ | STREAM_SKIPSEEK, ADAPTER_FLAG_NOSEEK);
  struct Case {
    const char* what;
    int64_t offset;
    int mode;
    int64_t result;
    size_t position;
  } cases[] = {
      {"forward from the start", 20000, 1, 0, 20000}, {"forward relative", 100, 0, 20000, 20100},
      {"backward rewinds and reads", 5, 1, 20100, 5}, {"backward relative", -3, 0, 5, 2},
      {"before the start fails", -3, 0, -1, 2},       {"from the end fails", -1, 2, -1, 2},
      {"past the end fails", 60000, 1, -1, 50000},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SeekFileStream(s, c.offset, c.mode), c.result) << c.what;
    EXPECT_EQ(file.position, c.position) << c.what;
  }
  CloseFileStream(s);
}

TEST(Lock, DirectoriesAndFiles) {
  TempDir dir;
  WriteFile(dir.File("one.txt"), PatternBytes(10, 7));
  ASSERT_EQ(mkdir(dir.File("sub").c_str(), 0755), 0);
  LockHandle* lock = LockFile(dir.path().c_str(), 1 | LOCK_DIRECTORY, nullptr);
  ASSERT_NE(lock, nullptr);
  EXPECT_EQ(GetLockAdapterName(lock), nullptr);
  int32_t isDir = 0;
  EXPECT_EQ(CheckLockIsDirectory(lock, &isDir), 0);
  EXPECT_EQ(isDir, 1);
  for (int pass = 0; pass < 2; pass++) {
    std::vector<std::string> names;
    const char* name;
    FileInfo info;
    while (NextLockEntry(lock, 0, &name, &isDir, &info)) {
      names.push_back(name);
      EXPECT_EQ(isDir, names.back() == "sub" ? 1 : 0);
      if (names.back() == "one.txt") {
        EXPECT_EQ(info.size, 10);
      }
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"one.txt", "sub"})) << "pass " << pass;
    EXPECT_EQ(RewindLock(lock, 0), 0);
  }
  UnLockFile(lock);

  lock = LockFile(dir.File("one.txt").c_str(), 1, nullptr);
  ASSERT_NE(lock, nullptr);
  EXPECT_EQ(CheckLockIsDirectory(lock, &isDir), ERR_NOTADIR);
  UnLockFile(lock);
  EXPECT_EQ(LockFile(dir.File("one.txt").c_str(), 1, "someplugin"), nullptr);
  EXPECT_EQ(LockFile(dir.File("none").c_str(), 1, nullptr), nullptr);

  ExtendedFileInfo ext;
  ASSERT_TRUE(ExamineFile(dir.File("one.txt").c_str(), &ext, 0));
  EXPECT_EQ(ext.size, 10);
  EXPECT_EQ(ext.isDirectory, 0);
  EXPECT_EQ(std::string(ext.fullName), dir.File("one.txt"));
  EXPECT_FALSE(ExamineFile(dir.File("none").c_str(), &ext, 0));

  // Linked data: a file of the size in its name, dated 4 November 2002.
  ASSERT_TRUE(ExamineFile(":::chunk10:777*pic.png?/x/game", &ext, 0));
  EXPECT_EQ(ext.size, 777);
  EXPECT_EQ(ext.protection, 15u);
  int64_t t[1] = {ext.times[1]};
  DateFields date;
  ASSERT_EQ(TimeToDate(t, &date, 0), 0);
  EXPECT_EQ(date.year, 2002);
  EXPECT_EQ(date.month, 10);
  EXPECT_EQ(date.day, 4);
  EXPECT_EQ(date.hours, 10);
  EXPECT_EQ(date.minutes, 30);
  std::string full = ext.fullName;
  EXPECT_EQ(full.substr(full.size() - 8), "/pic.png");
}

TEST(LinkedNames, ResolutionAndDisplay) {
  LinkedFileEntry font = {nullptr, "::font:Sans", "", 10, 500};
  LinkedFileEntry ttf = {&font, "Sans.ttf", "", 600, 50};
  LinkedFileEntry pic = {&ttf, "gfx/Title.PNG", "/other/file", 700, 70};
  LinkedFileTable table = {&pic, 1000, "/apps/game"};
  struct Case {
    const char* what;
    const char* name;
    int fontMode;
    const char* expected;  // null: the name itself
    int32_t isFont;
  } cases[] = {
      {"font by its name", "sans", 1, ":::chunk1010:500*Sans?/apps/game", 1},
      {"font by its .font name", "Sans.font", 1, ":::chunk1010:500*Sans?/apps/game", 1},
      {"a .ttf name is a plain file", "Sans.ttf", 1, ":::chunk1600:50*Sans.ttf?/apps/game", 0},
      {"plain lookup skips fonts", "Sans", 0, nullptr, 0},
      {"backslashes match slashes", "GFX\\title.png", 0,
       ":::chunk1700:70*gfx/Title.PNG?/other/file", 0},
      {"no match", "nothing.png", 0, nullptr, 0},
  };
  for (const auto& c : cases) {
    int32_t isFont = -1;
    const char* r = ResolveLinkedFileIn(&table, c.name, c.fontMode, &isFont);
    if (c.expected)
      EXPECT_STREQ(r, c.expected) << c.what;
    else
      EXPECT_EQ(r, c.name) << c.what;
    EXPECT_EQ(isFont, c.isFont) << c.what;
  }
  EXPECT_STREQ(ResolveLinkedFile(nullptr, "a.png", 0, nullptr), "a.png");

  struct Display {
    const char* name;
    const char* shown;
    const char* extension;
  } names[] = {
      {"a/b/c.png", "c.png", ".png"},
      {"Vol:c.png", "c.png", ".png"},
      {"dir.d\\file", "file", ""},
      {"x", "x", ""},
      {":::chunk1:2*pics/a.jpeg?/x/y.bin", "a.jpeg", ".jpeg"},
  };
  for (const auto& n : names) {
    EXPECT_STREQ(GetDisplayFileName(n.name), n.shown) << n.name;
    char ext[16];
    GetFileExtension(ext, sizeof ext, n.name);
    EXPECT_STREQ(ext, n.extension) << n.name;
  }
}

}  // namespace
