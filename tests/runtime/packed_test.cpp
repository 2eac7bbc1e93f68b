// Packed containers against python3's zlib in both directions, truncated
// and foreign containers, containers inside larger files, output into a
// memory buffer, and allocation failure.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "runtime/runtime.h"
#include "runtime/stream_private.h"
#include "platform/linux/system_private.h"

namespace {

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/qm_packed_XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Compressible but not trivial: text-like runs mixed with noise.
std::vector<uint8_t> SampleBytes(size_t n) {
  std::vector<uint8_t> v(n);
  uint32_t x = 12345;
  for (size_t i = 0; i < n; i++) {
    x = x * 1103515245u + 12345u;
    v[i] = (i / 64) % 3 == 0 ? static_cast<uint8_t>(x >> 16) : static_cast<uint8_t>('a' + i % 23);
  }
  return v;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::vector<uint8_t> v;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return v;
  int c;
  while ((c = std::fgetc(f)) != EOF) v.push_back(static_cast<uint8_t>(c));
  std::fclose(f);
  return v;
}

int Python(const std::string& script) {
  std::string command = "/usr/bin/python3 -c \"" + script + "\"";
  return std::system(command.c_str());
}

TEST(Packed, PythonInflatesOurs) {
  TempDir dir;
  for (size_t size : {size_t{0}, size_t{1}, STREAM_BLOCK_SIZE, 3 * STREAM_BLOCK_SIZE + 5}) {
    std::string source = dir.File("plain"), packed = dir.File("packed"), check = dir.File("check");
    std::vector<uint8_t> bytes = SampleBytes(size);
    WriteFile(source, bytes);
    uint64_t total = 0;
    ASSERT_EQ(DeflatePackedFile("QMPK", source.c_str(), packed.c_str(), nullptr, &total), 0)
        << size;
    std::vector<uint8_t> container = ReadFile(packed);
    EXPECT_EQ(total, container.size());
    ASSERT_GE(container.size(), 8u);
    EXPECT_EQ(std::memcmp(container.data(), "QMPK\0\0\0\0", 8), 0);
    ASSERT_EQ(Python("import zlib; d=open('" + packed + "','rb').read(); open('" + check +
                     "','wb').write(zlib.decompress(d[8:]))"),
              0);
    EXPECT_EQ(ReadFile(check), bytes) << size;
  }
}

TEST(Packed, WeInflatePythons) {
  TempDir dir;
  std::string source = dir.File("plain"), packed = dir.File("packed"), out = dir.File("out");
  std::vector<uint8_t> bytes = SampleBytes(100000);
  WriteFile(source, bytes);
  // The container sits 37 bytes into a larger file, with data behind it.
  ASSERT_EQ(Python("import zlib; d=open('" + source + "','rb').read(); open('" + packed +
                   "','wb').write(b'x'*37 + b'PLPK' + bytes(4) + zlib.compress(d) + b'trailing')"),
            0);
  uint64_t consumed = 0, written = 0;
  ASSERT_EQ(InflatePackedFile("PLPK", packed.c_str(), nullptr, 37, out.c_str(), nullptr, 0,
                              &consumed, &written),
            0);
  EXPECT_EQ(ReadFile(out), bytes);
  EXPECT_EQ(written, bytes.size());
  EXPECT_EQ(consumed, ReadFile(packed).size() - 37 - 8);

  // Into memory: a buffer smaller than the data is filled and that is all.
  std::vector<uint8_t> small(5000);
  ASSERT_EQ(InflatePackedFile("PLPK", packed.c_str(), nullptr, 37, nullptr, small.data(),
                              small.size(), nullptr, &written),
            0);
  EXPECT_EQ(written, small.size());
  EXPECT_EQ(std::memcmp(small.data(), bytes.data(), small.size()), 0);
  std::vector<uint8_t> large(bytes.size() + 100, 0xAA);
  ASSERT_EQ(InflatePackedFile("PLPK", packed.c_str(), nullptr, 37, nullptr, large.data(),
                              large.size(), nullptr, &written),
            0);
  EXPECT_EQ(written, bytes.size());
  EXPECT_EQ(std::memcmp(large.data(), bytes.data(), bytes.size()), 0);
  EXPECT_EQ(large[bytes.size()], 0xAA);

  // An open stream as the source.
  StreamHandle* s = OpenFileStream(packed.c_str(), STREAM_READ, nullptr);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(InflatePackedFile("PLPK", nullptr, s, 37, nullptr, small.data(), small.size(), nullptr,
                              nullptr),
            0);
  CloseFileStream(s);
}

TEST(Packed, Refusals) {
  TempDir dir;
  std::string source = dir.File("plain"), packed = dir.File("packed"), cut = dir.File("cut"),
              out = dir.File("out");
  std::vector<uint8_t> bytes = SampleBytes(60000);
  WriteFile(source, bytes);
  ASSERT_EQ(DeflatePackedFile("QMZ", source.c_str(), packed.c_str(), nullptr, nullptr), 0);
  std::vector<uint8_t> container = ReadFile(packed);
  ASSERT_EQ(std::memcmp(container.data(), "QMZ\0\0\0\0\0", 8), 0);  // the magic's own zero byte
  struct Case {
    const char* what;
    size_t keep;  // bytes of the container kept
    const char* magic;
    ErrorCode error;
  } cases[] = {
      {"whole", container.size(), "QMZ", 0},
      {"another magic", container.size(), "QMPK", ERR_PAKFORMAT},
      {"cut inside the zlib stream", container.size() / 2, "QMZ", ERR_ZLIBDATA},
      {"cut before the checksum", container.size() - 2, "QMZ", ERR_ZLIBDATA},
      {"header only", 8, "QMZ", ERR_ZLIBDATA},
      {"cut inside the magic", 3, "QMZ", ERR_READ},
      {"cut inside the zero bytes", 6, "QMZ", ERR_READ},
  };
  for (const auto& c : cases) {
    WriteFile(cut, std::vector<uint8_t>(container.begin(), container.begin() + c.keep));
    EXPECT_EQ(InflatePackedFile(c.magic, cut.c_str(), nullptr, 0, out.c_str(), nullptr, 0, nullptr,
                                nullptr),
              c.error)
        << c.what;
  }
  // A corrupted byte inside the deflate data.
  container[container.size() / 2] ^= 0x55;
  WriteFile(cut, container);
  EXPECT_EQ(
      InflatePackedFile("QMZ", cut.c_str(), nullptr, 0, out.c_str(), nullptr, 0, nullptr, nullptr),
      ERR_ZLIBDATA);

  std::string missing = dir.File("missing");
  EXPECT_EQ(InflatePackedFile("QMZ", missing.c_str(), nullptr, 0, out.c_str(), nullptr, 0, nullptr,
                              nullptr),
            ERR_READFILE);
  EXPECT_EQ(GetErrorArgString(), missing);
  EXPECT_EQ(DeflatePackedFile("QMPK", missing.c_str(), out.c_str(), nullptr, nullptr),
            ERR_READFILE);
  std::string badTarget = dir.File("no/dir");
  EXPECT_EQ(DeflatePackedFile("QMPK", source.c_str(), badTarget.c_str(), nullptr, nullptr),
            ERR_WRITEFILE);
  EXPECT_EQ(GetErrorArgString(), badTarget);

  struct Code {
    int zlib;
    ErrorCode error;
  } codes[] = {{0, 0},
               {1, 0},
               {2, ERR_ZLIBDATA},
               {-1, ERR_ZLIBIO},
               {-2, ERR_ZLIBSTREAM},
               {-3, ERR_ZLIBDATA},
               {-4, ERR_MEM},
               {-5, ERR_UNKNOWN},
               {-6, ERR_ZLIBVERSION},
               {-7, ERR_UNKNOWN}};
  for (const auto& c : codes) EXPECT_EQ(ZlibResultToError(c.zlib), c.error) << c.zlib;
}

TEST(Packed, AllocationFailure) {
  TempDir dir;
  std::string source = dir.File("plain"), packed = dir.File("packed"), out = dir.File("out");
  WriteFile(source, SampleBytes(40000));
  for (uint64_t n = 1;; n++) {
    SetAllocFailure(n, false);
    ErrorCode error = DeflatePackedFile("QMPK", source.c_str(), packed.c_str(), nullptr, nullptr);
    bool failed = GetAllocFailureCount() > 0;
    SetAllocFailure(0, false);
    if (!failed) {
      ASSERT_EQ(error, 0);
      break;
    }
    EXPECT_TRUE(error == ERR_MEM || error == ERR_READFILE || error == ERR_WRITEFILE)
        << n << ": " << error;
  }
  for (uint64_t n = 1;; n++) {
    SetAllocFailure(n, false);
    ErrorCode error = InflatePackedFile("QMPK", packed.c_str(), nullptr, 0, out.c_str(), nullptr, 0,
                                        nullptr, nullptr);
    bool failed = GetAllocFailureCount() > 0;
    SetAllocFailure(0, false);
    if (!failed) {
      ASSERT_EQ(error, 0);
      break;
    }
    EXPECT_TRUE(error == ERR_MEM || error == ERR_READFILE || error == ERR_WRITEFILE)
        << n << ": " << error;
  }
  EXPECT_EQ(ReadFile(out), SampleBytes(40000));
}

}  // namespace
