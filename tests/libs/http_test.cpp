// DownloadFile and UploadFile over HTTP against a loopback peer
// (tests/libs/netpeer.py) that records raw requests and plays scripted
// and hostile replies.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <new>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "libs/libs.h"
#include "libs/network_private.h"
#include "platform/linux/platform.h"
#include "runtime/runtime.h"
#include "tests/libs/netpeer.h"
#include "platform/linux/system_private.h"
#include "tests/support/harness.h"

// The allocation seam of this program: while watching, the largest request
// made through operator new is kept (the platform's hook watches
// AllocMemory).
namespace {
std::atomic<bool> watchingNew{false};
std::atomic<size_t> largestNew{0};
}  // namespace

void* operator new(size_t size) {
  if (watchingNew.load(std::memory_order_relaxed)) {
    size_t seen = largestNew.load(std::memory_order_relaxed);
    while (size > seen && !largestNew.compare_exchange_weak(seen, size)) {
    }
  }
  if (void* block = std::malloc(size ? size : 1)) return block;
  throw std::bad_alloc();
}
// Not inlined: g++ would otherwise pair its own new with this free and warn.
[[gnu::noinline]] void operator delete(void* block) noexcept { std::free(block); }
[[gnu::noinline]] void operator delete(void* block, size_t) noexcept { std::free(block); }

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Option fields of a transfer.
struct Option {
  const char* name;
  std::string text;
  double number = 0;
  bool isNumber = false;
};
Option Num(const char* name, double n) { return Option{name, "", n, true}; }
Option Str(const char* name, std::string s) { return Option{name, std::move(s), 0, false}; }

class HttpTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/qmhttpXXXXXX";
    root = mkdtemp(pattern);
    std::mt19937 random(7);
    std::string big(300000, '\0');
    for (char& c : big) c = static_cast<char>(random());
    WriteFile(root + "/big.bin", big);
    // Past the size up to which a body in memory grows on the heap.
    std::string large(1500000, '\0');
    for (char& c : large) c = static_cast<char>(random());
    WriteFile(root + "/large.bin", large);
    peer = new PeerProcess("http", root);
  }
  static void TearDownTestSuite() {
    delete peer;
    peer = nullptr;
    std::system(("rm -rf " + root).c_str());
  }
  void SetUp() override {
    ASSERT_GT(peer->port, 0);
    VmPushValue(L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenNetworkLibrary(L), ERR_NONE);
    VmSetTop(L, 0);
    base = "http://127.0.0.1:" + std::to_string(peer->port);
  }

  // DownloadFile (or UploadFile) of url with the options; the body and
  // the size on success.
  ErrorCode Transfer(const char* command, const std::string& url,
                     const std::vector<Option>& options = {},
                     const std::function<void()>& extra = nullptr) {
    VmSetTop(L, 0);
    VmPushLString(L, url.data(), url.size());
    VmNewTable(L);
    for (const Option& o : options) {
      VmPushString(L, o.name);
      if (o.isNumber)
        VmPushNumber(L, o.number);
      else
        VmPushLString(L, o.text.data(), o.text.size());
      VmSetTable(L, -3);
    }
    if (extra) extra();
    ErrorCode error = p.Call(command, VmGetTop(L));
    if (error == ERR_NONE && VmGetTop(L) >= 2) {
      body.assign(VmToString(L, 1), VmStrLen(L, 1));
      size = VmToNumber(L, 2);
    }
    return error;
  }
  ErrorCode Get(const std::string& path, const std::vector<Option>& options = {}) {
    return Transfer("DownloadFile", base + path, options);
  }

  static std::string root;
  static PeerProcess* peer;
  PlayerHarness p;
  VmState* L = p.L;
  std::string base;
  std::string body;
  double size = -2;
};
std::string HttpTest::root;
PeerProcess* HttpTest::peer = nullptr;

TEST_F(HttpTest, RequestBytes) {
  ASSERT_EQ(Get("/echo"), ERR_NONE);
  EXPECT_EQ(body,
            "GET /echo HTTP/1.1\r\nTE: trailers\r\nConnection: close, TE\r\nHost: 127.0.0.1:" +
                std::to_string(peer->port) + "\r\nUser-Agent: Quillmere 8.0\r\n\r\n");
  EXPECT_EQ(size, body.size());
  ASSERT_EQ(
      Transfer("DownloadFile", "http://u:pw@127.0.0.1:" + std::to_string(peer->port) + "/echo"),
      ERR_NONE);
  EXPECT_NE(body.find("\r\nAuthorization: Basic dTpwdw==\r\n"), std::string::npos) << body;
  struct Case {
    const char* path;
    int encoded;
    const char* line;
  } cases[] = {
      {"/echo/a b", 0, "GET /echo/a%20b HTTP/1.1"},
      {"/echo/%41%20", 1, "GET /echo/A%20 HTTP/1.1"},
      {"/echo/%41", 0, "GET /echo/%2541 HTTP/1.1"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Get(c.path, {Num("encoded", c.encoded)}), ERR_NONE) << c.path;
    EXPECT_EQ(body.substr(0, body.find("\r\n")), c.line);
  }
  EXPECT_EQ(Get("/echo/%zz", {Num("encoded", 1)}), ERR_WRONGUSAGE);
  // POST sends its type and length, and the body with a line end.
  ASSERT_EQ(Get("/echo", {Str("post", "a=1"), Str("customheaders", "X-Test: 1\r\n")}), ERR_NONE);
  EXPECT_EQ(body.substr(0, 17), "POST /echo HTTP/1");
  EXPECT_NE(body.find("Content-Type: application/x-www-form-urlencoded\r\nContent-Length: "
                      "3\r\nX-Test: 1\r\n\r\na=1\r\n"),
            std::string::npos)
      << body;
  // Through a proxy the target is the whole URL; only the proxy is reached.
  ASSERT_EQ(Transfer("DownloadFile", "http://quillmere.invalid:81/x?y",
                     {Str("proxy", "http://127.0.0.1:" + std::to_string(peer->port))}),
            ERR_NONE);
  EXPECT_EQ(body.substr(0, body.find("\r\n")), "GET http://quillmere.invalid:81/x?y HTTP/1.1");
  EXPECT_NE(body.find("\r\nHost: quillmere.invalid:81\r\n"), std::string::npos);
}

TEST_F(HttpTest, Bodies) {
  struct Case {
    const char* path;
    const char* body;
  } cases[] = {
      {"/chunk5", "hello"},
      {"/longer", "hello"},
      {"/nolen", "until close"},
      {"/continue", "ok"},
      {"/status/500", "oops"},
      {"/status/403", "oops"},
      {"/chain/6", "body1"},
      {"/a/b?to=/target/x", "/target/x"},
      {"/a/b?to=new", "/a/new"},
      {"/a/b?to=../up?q=1", "/up"},
      {"/a/b?to=//127.0.0.1:PORT/other", "/other"},
  };
  for (const Case& c : cases) {
    std::string path = c.path;
    size_t at = path.find("PORT");
    if (at != std::string::npos) path.replace(at, 4, std::to_string(peer->port));
    ASSERT_EQ(Get(path), ERR_NONE) << c.path;
    EXPECT_EQ(body, c.body) << c.path;
    EXPECT_EQ(size, body.size()) << c.path;
  }
  // Redirects off: the redirect itself is the result.
  ASSERT_EQ(Get("/chain/2", {Num("redirect", 0)}), ERR_NONE);
  EXPECT_EQ(body, "body2");
}

TEST_F(HttpTest, Errors) {
  std::string port = std::to_string(peer->port);
  struct Case {
    std::string url;
    std::vector<Option> options;
    ErrorCode code;
    std::string argument;
  } cases[] = {
      {"http://u:@127.0.0.1:" + port + "/echo", {}, ERR_BADURL, ""},
      {"http://127.0.0.1:x/echo", {}, ERR_BADURL, ""},
      {"gopher://127.0.0.1/", {}, ERR_UNKPROTOCOL, ""},
      {"https://127.0.0.1:" + port + "/", {}, ERR_UNKPROTOCOL, ""},
      {base + "/echo", {Num("ssl", 1)}, ERR_UNKPROTOCOL, ""},
      {base + "/status/204", {}, ERR_HTTPERROR, "204"},
      {base + "/status/304", {}, ERR_HTTPERROR, "304"},
      {base + "/status/404", {Num("fail404", 1)}, ERR_FILENOTFOUND, "/status/404"},
      {base + "/status/401", {}, ERR_REQAUTH, ""},
      {base + "/gzip", {}, ERR_HTTPTE, ""},
      {base + "/echo", {Str("post", "")}, ERR_WRONGUSAGE, ""},
      {base + "/echo", {Num("transfermode", 3)}, ERR_WRONGUSAGE, ""},
      {base + "/echo", {Str("proxy", "ftp://127.0.0.1")}, ERR_WRONGUSAGE, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    SetErrorArgString("");
    SetErrorArgNumber(0);
    EXPECT_EQ(Transfer("DownloadFile", c.url, c.options), c.code);
    if (c.code == ERR_HTTPERROR) {
      EXPECT_EQ(std::to_string(GetErrorArgNumber()), c.argument);
    }
    if (c.code == ERR_FILENOTFOUND) {
      EXPECT_EQ(GetErrorArgString(), c.argument);
    }
  }
  // "silentfail" turns a failure into its text and -1.
  ASSERT_EQ(Get("/status/204", {Num("silentfail", 1)}), ERR_NONE);
  EXPECT_EQ(body, "HTTP error 204 occurred!");
  EXPECT_EQ(size, -1);
}

TEST_F(HttpTest, DownloadsEqualTheServedFile) {
  // Into memory: with a length, chunked (64 KiB chunks, whose lines fall
  // anywhere in the socket's reads) and until the close; a body on the heap
  // and one past it.
  for (const char* route : {"/files/", "/chunked/", "/open/"}) {
    for (const char* name : {"big.bin", "large.bin"}) {
      SCOPED_TRACE(std::string(route) + name);
      std::string expect = ReadFile(root + "/" + name);
      ASSERT_EQ(Get(std::string(route) + name), ERR_NONE);
      EXPECT_TRUE(body == expect);
      EXPECT_EQ(size, expect.size());
    }
  }
  std::string served = ReadFile(root + "/big.bin");
  std::string target = root + "/copy.bin";
  ASSERT_EQ(Get("/files/big.bin", {Str("file", target)}), ERR_NONE);
  EXPECT_EQ(body, "");
  EXPECT_EQ(size, served.size());
  std::string curlCopy = root + "/curl.bin";
  ASSERT_EQ(std::system(("curl -s -o " + curlCopy + " " + base + "/files/big.bin").c_str()), 0);
  EXPECT_EQ(std::system(("cmp -s " + target + " " + curlCopy).c_str()), 0);
  // An unwritable destination names the file.
  EXPECT_EQ(Get("/files/big.bin", {Str("file", root + "/no/such/dir/x")}), ERR_WRITEFILE);
}

// A chunked body read from a connection that delivers 8192 bytes a read:
// chunk lines and line ends fall across reads, at read ends and inside
// chunks, and every chunk lands in one block without a move per chunk.
TEST(HttpChunked, BodyIsTheChunksJoined) {
  VmState* L = VmOpenState();
  struct Case {
    const char* name;
    std::vector<size_t> chunks;
  } cases[] = {
      {"line end across a read", {8185, 8192, 1, 3}},
      {"chunk ends where a read ends", {8186, 5}},
      {"chunks longer than a read", {20000, 65536, 8192}},
      {"many small chunks", std::vector<size_t>(3000, 1)},
      {"no chunk", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string stream, expect;
    for (size_t n : c.chunks) {
      char line[32];
      std::snprintf(line, sizeof line, "%zx\r\n", n);
      std::string bytes(n, '\0');
      for (size_t i = 0; i < n; i++) bytes[i] = static_cast<char>((expect.size() + i) * 31 + 7);
      stream += line + bytes + "\r\n";
      expect += bytes;
    }
    stream += "0\r\n\r\n";
    ConnectionRecord* record =
        NewMemoryConnection(reinterpret_cast<const uint8_t*>(stream.data()), stream.size());
    ASSERT_NE(record, nullptr);
    VmStringBlock block;
    ReceiveTarget target;
    target.block = &block;
    int64_t got = -1;
    EXPECT_EQ(ReadChunkedBody(L, record, target, &got), ERR_NONE);
    FreeConnectionRecord(record);
    EXPECT_EQ(got, static_cast<int64_t>(expect.size()));
    block.Push(L);
    EXPECT_TRUE(std::string(VmToString(L, -1), VmStrLen(L, -1)) == expect);
    VmSetTop(L, 0);
  }
  VmCloseState(L);
}

// A download that fails part-way leaves nothing under the file's name, or
// the file that was there untouched; one that succeeds replaces it. No
// temporary file stays behind either way.
TEST_F(HttpTest, FailedDownloadLeavesTheFileAlone) {
  namespace fs = std::filesystem;
  const std::string dir = root + "/into";
  const std::string target = dir + "/x.bin";
  struct Case {
    const char* name;
    const char* before;  // null: no file there
    const char* path;
    ErrorCode code;
    const char* after;  // null: no file there; "" the served file
  } cases[] = {
      {"failure, no file before", nullptr, "/biglen", ERR_RECVCLOSED, nullptr},
      {"failure, a file before", "old contents", "/biglen", ERR_RECVCLOSED, "old contents"},
      {"success, a file before", "old contents", "/files/big.bin", ERR_NONE, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir);
    fs::create_directory(dir);
    if (c.before) WriteFile(target, c.before);
    EXPECT_EQ(Get(c.path, {Str("file", target)}), c.code);
    if (!c.after) {
      EXPECT_FALSE(fs::exists(target));
    } else {
      std::string expect = *c.after ? std::string(c.after) : ReadFile(root + "/big.bin");
      EXPECT_TRUE(ReadFile(target) == expect);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()),
              c.after ? 1 : 0);
  }
}

TEST_F(HttpTest, ProgressCallbackAbortKeepsThePartialBody) {
  ASSERT_EQ(p.Run(".function stop\n.params 1\nLOADNUM 1, 1\nRETURN 1, 2\n.end\n"
                  "CLOSURE 0, stop\nSETGLOBAL 0, \"stop\"\n"
                  ".function count\n.params 1\nGETTABLE 1, 0, \"count\"\nSETGLOBAL 1, "
                  "\"last\"\nLOADNUM 1, 0\nRETURN 1, 2\n.end\n"
                  "CLOSURE 0, count\nSETGLOBAL 0, \"count\"\nRETURN 0, 1"),
            ERR_NONE);
  auto withCallback = [&](const char* name) {
    return [this, name] {
      VmPushString(L, name);
      VmGetTable(L, VM_GLOBALS_INDEX);
    };
  };
  ASSERT_EQ(Transfer("DownloadFile", base + "/files/big.bin", {}, withCallback("stop")), ERR_NONE);
  EXPECT_GT(size, 0);
  EXPECT_LT(size, 300000);
  EXPECT_EQ(body.size(), size);
  ASSERT_EQ(Transfer("DownloadFile", base + "/files/big.bin", {}, withCallback("count")), ERR_NONE);
  EXPECT_EQ(size, 300000);
  VmPushString(L, "last");
  VmGetTable(L, VM_GLOBALS_INDEX);
  EXPECT_EQ(VmToNumber(L, -1), 300000);
}

TEST_F(HttpTest, MultipartUpload) {
  std::string file = root + "/part.bin";
  WriteFile(file, std::string("\x00\x01\xff"
                              "binary",
                              9));
  auto form = [&] {
    VmPushString(L, "formdata");
    VmNewTable(L);
    VmNewTable(L);
    SetTableFieldString(L, "name", "field");
    SetTableFieldString(L, "data", "value");
    VmRawSetI(L, -2, 0);
    VmNewTable(L);
    SetTableFieldString(L, "name", "upload");
    SetTableFieldString(L, "file", file.c_str());
    SetTableFieldString(L, "mimetype", "image/x-test");
    VmRawSetI(L, -2, 1);
    VmSetTable(L, -3);
  };
  ASSERT_EQ(Transfer("UploadFile", base + "/echo", {}, form), ERR_NONE);
  std::string request = root + "/request.txt";
  WriteFile(request, body);
  // Python's parser reads the body as the request announced it.
  std::string check = R"(
import email.parser, re, sys
raw = open(sys.argv[1], 'rb').read()
head, body = raw.split(b'\r\n\r\n', 1)
headers = dict(l.split(b': ', 1) for l in head.split(b'\r\n')[1:])
assert int(headers[b'Content-Length']) == len(body), 'length'
ctype = headers[b'Content-Type'].decode()
for line in body.split(b'\r\n'):
    if line.startswith(b'--'):
        assert re.fullmatch(rb'-----------Quillmere[0-9a-f]{16}(--)?', line), line
msg = email.parser.BytesParser().parsebytes(b'Content-Type: ' + ctype.encode() + b'\r\n\r\n' + body)
parts = msg.get_payload()
assert [p.get_param('name', header='content-disposition') for p in parts] == ['field', 'upload']
assert parts[0].get_payload(decode=True) == b'value'
assert parts[1].get_filename() == 'part.bin' and parts[1].get_content_type() == 'image/x-test'
assert parts[1].get_payload(decode=True) == b'\x00\x01\xffbinary', parts[1].get_payload(decode=True)
)";
  WriteFile(root + "/check.py", check);
  EXPECT_EQ(std::system(("/usr/bin/python3 " + root + "/check.py " + request).c_str()), 0);
  // Form errors.
  struct Case {
    const char* name;
    std::function<void()> fields;
    ErrorCode code;
  } cases[] = {
      {"not a table", [&] { SetTableFieldInt(L, "formdata", 1); }, ERR_WRONGUSAGE},
      {"entry not a table",
       [&] {
         VmPushString(L, "formdata");
         VmNewTable(L);
         VmPushNumber(L, 1);
         VmRawSetI(L, -2, 0);
         VmSetTable(L, -3);
       },
       ERR_TABEXPECTED2},
      {"no name",
       [&] {
         VmPushString(L, "formdata");
         VmNewTable(L);
         VmNewTable(L);
         SetTableFieldString(L, "data", "x");
         VmRawSetI(L, -2, 0);
         VmSetTable(L, -3);
       },
       ERR_MISSINGFIELD},
      {"file not a string",
       [&] {
         VmPushString(L, "formdata");
         VmNewTable(L);
         VmNewTable(L);
         SetTableFieldString(L, "name", "x");
         VmPushString(L, "file");
         VmNewTable(L);
         VmSetTable(L, -3);
         VmRawSetI(L, -2, 0);
         VmSetTable(L, -3);
       },
       ERR_STRINGEXPECTED},
      {"no entries",
       [&] {
         VmPushString(L, "formdata");
         VmNewTable(L);
         VmSetTable(L, -3);
       },
       ERR_WRONGUSAGE},
      {"file option", [&] { SetTableFieldString(L, "file", "/dev/null"); }, ERR_WRONGUSAGE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Transfer("UploadFile", base + "/echo", {},
                       [&] {
                         VmPushValue(L, 2);
                         c.fields();
                         VmSetTop(L, -2);
                       }),
              c.code);
  }
}

TEST_F(HttpTest, HostilePeersEndInErrors) {
  struct Case {
    const char* path;
    int32_t timeout;
    ErrorCode code;
    int32_t argument;  // of ERR_HTTPERROR
  } cases[] = {
      {"/endless-headers", 5000, ERR_HTTPERROR, 1004},
      {"/endless-100", 5000, ERR_HTTPERROR, 1004},
      {"/drip", 1000, ERR_RECVTIMEOUT, 0},
      {"/chunk-huge", 5000, ERR_RECVCLOSED, 0},
      {"/chunk-zz", 5000, ERR_HTTPERROR, 3000},
      {"/biglen", 5000, ERR_RECVCLOSED, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    VmSetTop(L, 0);
    VmPushNumber(L, c.timeout);
    ASSERT_EQ(p.Call("SetNetworkTimeout", 1), ERR_NONE);
    double start = GetTimeSeconds();
    largestNew = 0;
    watchingNew = true;
    TrackLargestAllocation(true);
    EXPECT_EQ(Get(c.path), c.code);
    watchingNew = false;
    // Both seams saw the transfer's allocations, and none above 1 MiB.
    EXPECT_GT(GetLargestAllocation(), 0u);
    EXPECT_GT(largestNew.load(), 0u);
    EXPECT_LE(GetLargestAllocation(), size_t{1} << 20);
    EXPECT_LE(largestNew.load(), size_t{1} << 20);
    TrackLargestAllocation(false);
    EXPECT_LT(GetTimeSeconds() - start, 4.0);
    if (c.code == ERR_HTTPERROR) {
      EXPECT_EQ(GetErrorArgNumber(), c.argument);
    }
  }
}

}  // namespace
