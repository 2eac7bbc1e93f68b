// The Base64 writer against python3's base64: lines of 72 characters with
// LF or CR LF between them, the same text into a string builder, a memory
// buffer and a stream.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "libs/libs.h"
#include "runtime/runtime.h"
#include "tests/support/harness.h"

namespace {

// python3's base64 of the test bytes, broken every 72 characters.
std::string pythonBase64Lines(size_t size, bool cr) {
  std::string command =
      "/usr/bin/python3 -c \"import base64,sys\nd=bytes((i*37+11)%256 for i in range(" +
      std::to_string(size) +
      "))\nt=base64.b64encode(d).decode()\nsep='\\r\\n' if sys.argv[1]=='1' else '\\n'\n"
      "sys.stdout.write(sep.join(t[i:i+72] for i in range(0,len(t),72)))\" " +
      (cr ? "1" : "0");
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[4096];
  for (size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    out.append(buffer, n);
  if (pipe) pclose(pipe);
  return out;
}

TEST(Base64Lines, AllTargetsAgreeWithPython) {
  PlayerHarness p;
  VmState* L = p.L;
  char streamName[] = "/tmp/qmb64XXXXXX";
  int fd = mkstemp(streamName);
  ASSERT_GE(fd, 0);
  close(fd);
  for (bool cr : {false, true}) {
    VmSetTop(L, 0);
    VmPushBoolean(L, cr);
    ASSERT_EQ(p.Call("UseCarriageReturn", 1), 0);
    for (size_t size : {0, 1, 2, 53, 54, 55, 108, 109, 1000}) {
      SCOPED_TRACE(std::to_string(size) + (cr ? " CR LF" : " LF"));
      std::vector<uint8_t> data(size);
      for (size_t i = 0; i < size; i++) data[i] = static_cast<uint8_t>((i * 37 + 11) % 256);
      std::string expected = pythonBase64Lines(size, cr);
      ErrorCode error;
      size_t lines = Base64LinesSize(size, false, &error);
      ASSERT_EQ(error, 0);
      EXPECT_EQ(lines, expected.size());
      EXPECT_EQ(Base64LinesSize(size, true, &error), (size + 2) / 3 * 4);

      std::vector<uint8_t> buffer(lines + 1);
      size_t count = 0;
      Base64Target toBuffer;
      toBuffer.buffer = buffer.data();
      toBuffer.count = &count;
      ASSERT_EQ(EncodeBase64Lines(toBuffer, data.data(), size, false), 0);
      EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data()), count), expected);

      VmSetTop(L, 0);
      VmStringBuffer b;
      VmBufferInit(L, &b);
      Base64Target toBuilder;
      toBuilder.builder = &b;
      ASSERT_EQ(EncodeBase64Lines(toBuilder, data.data(), size, false), 0);
      VmBufferPushResult(&b);
      EXPECT_EQ(std::string(VmToString(L, -1), VmStrLen(L, -1)), expected);

      StreamHandle* s = OpenFileStream(streamName, STREAM_WRITE, nullptr);
      ASSERT_NE(s, nullptr);
      Base64Target toStream;
      toStream.stream = s;
      ASSERT_EQ(EncodeBase64Lines(toStream, data.data(), size, false), 0);
      ASSERT_NE(CloseFileStream(s), 0);
      std::ifstream in(streamName, std::ios::binary);
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), expected);
    }
  }
  unlink(streamName);
}

}  // namespace
