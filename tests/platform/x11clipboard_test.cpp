// The X11 clipboard and file drops against other clients on a private
// Xvfb: xclip reads what the program offers (text, pictures, large offers
// piecewise) and the python peer (tests/platform/xpeer.py) offers chosen
// targets, stays silent, or drags a URI list onto the window. The program
// pumps its events while the other client works, as a waiting command does.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>

#include "display/display.h"
#include "display/display_private.h"
#include "draw/draw.h"
#include "gfx/gfx.h"
#include "media/media.h"
#include "platform/linux/platform.h"
#include "root/root.h"
#include "runtime/runtime.h"
#include "runtime/runtime_private.h"
#include "tests/display/display_fixture.h"
#include "tests/support/harness.h"

namespace {

const std::string PEER = std::string(QM_SOURCE_DIR) + "/tests/platform/xpeer.py";

// How long a test waits for another client to come up or to answer: on a
// loaded machine starting a client alone can take seconds.
constexpr std::chrono::seconds PATIENCE{60};

bool Before(std::chrono::steady_clock::time_point deadline) {
  return std::chrono::steady_clock::now() < deadline;
}

// Standard output of a shell command.
std::string Shell(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
    pclose(p);
  }
  return out;
}

std::string TempPath(const char* name) {
  return std::string("/tmp/qm_clip_") + std::to_string(getpid()) + "_" + name;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A client started in the background with its standard output readable
// line by line; stopped by its process id.
class Peer {
 public:
  Peer(const std::string& server, const std::vector<std::string>& arguments) {
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      setenv("DISPLAY", server.c_str(), 1);
      int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(out[1], 1);
      close(out[0]);
      std::vector<char*> argv;
      for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    fd_ = out[0];
  }
  ~Peer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status;
      waitpid(pid_, &status, 0);
    }
    if (fd_ >= 0) close(fd_);
  }
  // The next line, pumping the program's events meanwhile; "" when none
  // came within the patience.
  std::string Line(VmState* L) {
    const auto deadline = std::chrono::steady_clock::now() + PATIENCE;
    while (Before(deadline)) {
      size_t end = buffer_.find('\n');
      if (end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      ErrorCode error;
      PollEvents(L, 2, 0, &error);
      pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, 10) > 0) {
        char chunk[256];
        ssize_t n = read(fd_, chunk, sizeof chunk);
        if (n <= 0) return "";
        buffer_.append(chunk, static_cast<size_t>(n));
      }
    }
    return "";
  }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string buffer_;
};

int droppedCalls = 0;
int recordDrop(VmState* L) {
  ++droppedCalls;
  VmPushString(L, "msg");
  VmPushValue(L, 1);
  VmSetTable(L, VM_GLOBALS_INDEX);
  return 0;
}

class ClipboardTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { shared = new DisplayTestServer("640x480x24"); }
  static void TearDownTestSuite() {
    delete shared;
    shared = nullptr;
  }
  static DisplayTestServer* shared;

  void SetUp() override {
    ASSERT_TRUE(shared->running());
    setenv("DISPLAY", shared->name().c_str(), 1);
    savedMode = unicodeUtf8Mode;
    unicodeUtf8Mode = 1;
    SetNoPointerThread(1);
    ASSERT_EQ(InitEventQueue(), ERR_NONE);
    ASSERT_EQ(OpenX11Connection(), ERR_NONE);
    VmPushValue(h.L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenDisplayLibrary(h.L), ERR_NONE);
    ASSERT_EQ(OpenEventLibrary(h.L), ERR_NONE);
    VmSetTop(h.L, 0);
  }
  void TearDown() override {
    FreeAllEvents(h.L);
    CloseDisplayLibrary(h.L);
    FreeEventQueue(h.L);
    CloseX11Connection();
    SetNoPointerThread(0);
    unicodeUtf8Mode = savedMode;
    unsetenv("DISPLAY");
    for (const std::string& f : files) std::remove(f.c_str());
  }

  void OpenWindow() {
    VmSetTop(h.L, 0);
    VmPushNumber(h.L, 1);
    PushOptions(h.L, {{"width", 64}, {"height", 48}});
    ASSERT_EQ(h.Call("CreateDisplay", 2), ERR_NONE);
    VmSetTop(h.L, 0);
    ASSERT_EQ(OpenFirstDisplay(h.L, 1), ERR_NONE);
    display = GetCurrentDisplay();
    ASSERT_NE(display, nullptr);
    window = GetDisplayWindowId(display);
    ASSERT_NE(window, 0u);
  }

  // Runs a client tool on the server while the program pumps its events;
  // its standard output and exit status.
  std::string RunPumping(const std::vector<std::string>& arguments, int* status = nullptr) {
    std::atomic<bool> done{false};
    std::string out;
    int code = -1;
    std::thread tool([&] {
      code = shared->TestXServer::run(arguments, nullptr, &out);
      done = true;
    });
    while (!done) {
      ErrorCode error;
      PollEvents(h.L, 2, 0, &error);
      usleep(2000);
    }
    tool.join();
    if (status) *status = code;
    return out;
  }

  // What xclip reads of the clipboard (-t target when given) while the
  // program pumps its events. A refused read is asked again until one
  // succeeds or the patience runs out: a new owner's claim may reach the
  // server only after xclip asked.
  std::string ReadPumping(const char* target = nullptr) {
    std::vector<std::string> arguments{"xclip", "-selection", "clipboard", "-o"};
    if (target) {
      arguments.push_back("-t");
      arguments.push_back(target);
    }
    const auto deadline = std::chrono::steady_clock::now() + PATIENCE;
    for (;;) {
      int status = -1;
      std::string out = RunPumping(arguments, &status);
      if (status == 0 || !Before(deadline)) {
        EXPECT_EQ(status, 0) << "xclip -t " << (target ? target : "(default)");
        return out;
      }
      Pump();
    }
  }

  // Waits, pumping, until another client than the program's window owns
  // the clipboard: a read that began before would ask the old owner for
  // its targets and the new one for the data.
  void WaitForOtherOwner() {
    Display* probe = XOpenDisplay(shared->name().c_str());
    ASSERT_NE(probe, nullptr);
    const Atom clipboard = XInternAtom(probe, "CLIPBOARD", False);
    const auto deadline = std::chrono::steady_clock::now() + PATIENCE;
    Window owner = None;
    while (Before(deadline)) {
      owner = XGetSelectionOwner(probe, clipboard);
      if (owner != None && owner != window) break;
      Pump();
    }
    XCloseDisplay(probe);
    ASSERT_NE(owner, None);
    ASSERT_NE(owner, window);
  }

  // Pumps the program's events for a moment, between two tries.
  void Pump() {
    for (int i = 0; i < 10; ++i) {
      ErrorCode error;
      PollEvents(h.L, 2, 0, &error);
      usleep(2000);
    }
  }

  std::string File(const char* name, const std::string& bytes) {
    std::string path = TempPath(name);
    WriteFile(path, bytes);
    files.push_back(path);
    return path;
  }

  PlayerHarness h;
  DisplayRecord* display = nullptr;
  unsigned long window = 0;
  int32_t savedMode = 0;
  std::vector<std::string> files;
};
DisplayTestServer* ClipboardTest::shared = nullptr;

TEST_F(ClipboardTest, WithoutWindowEveryOperationIs1364) {
  ClipboardRecord r = {};
  int32_t kind = -1;
  EXPECT_EQ(SetClipboardOwner(), ERR_CLIPOPEN);
  EXPECT_EQ(PutClipboardData(CLIPBOARD_KIND_TEXT, &r), ERR_CLIPOPEN);
  EXPECT_EQ(ReadClipboardText(h.L, &kind), ERR_CLIPOPEN);
  EXPECT_EQ(ReadClipboardData(h.L, &r, &kind), ERR_CLIPOPEN);
}

TEST_F(ClipboardTest, OfferedTextReachesXclipInUtf8) {
  OpenWindow();
  struct Case {
    const char* name;
    int32_t utf8Mode;
    std::string text, expected;
  };
  const Case cases[] = {
      {"utf-8 mode", 1, "gr\xc3\xbc\xc3\x9f dich", "gr\xc3\xbc\xc3\x9f dich"},
      {"latin-1 mode", 0, "caf\xe9", "caf\xc3\xa9"},
  };
  for (const Case& c : cases) {
    unicodeUtf8Mode = c.utf8Mode;
    ClipboardRecord r = {};
    r.text = const_cast<char*>(c.text.c_str());
    ASSERT_EQ(PutClipboardData(CLIPBOARD_KIND_TEXT, &r), ERR_NONE) << c.name;
    EXPECT_EQ(ReadPumping(), c.expected) << c.name;
  }
  std::string targets = ReadPumping("TARGETS");
  EXPECT_EQ(targets, "TARGETS\nUTF8_STRING\n");
  int status = 0;
  // After ClearClipboard's owner change nothing is offered, and a request
  // is refused instead of answered with stale bytes.
  ASSERT_EQ(SetClipboardOwner(), ERR_NONE);
  RunPumping({"xclip", "-selection", "clipboard", "-o"}, &status);
  EXPECT_NE(status, 0);
}

TEST_F(ClipboardTest, LargeOffersAndReadsGoPiecewiseAndArriveWhole) {
  OpenWindow();
  std::string big(8 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + (i * 7 + i / 1000) % 26);
  ClipboardRecord r = {};
  r.text = big.data();
  ASSERT_EQ(PutClipboardData(CLIPBOARD_KIND_TEXT, &r), ERR_NONE);
  std::string out = ReadPumping();
  EXPECT_EQ(out.size(), big.size());
  EXPECT_TRUE(out == big);

  std::string four = big.substr(0, 4 << 20);
  Peer peer(shared->name(),
            {"/usr/bin/python3", PEER, "owner", "UTF8_STRING=" + File("4mb", four)});
  ASSERT_EQ(peer.Line(h.L), "ready");
  ClipboardRecord got = {};
  int32_t kind = 0;
  ASSERT_EQ(ReadClipboardData(h.L, &got, &kind), ERR_NONE);
  EXPECT_EQ(kind, CLIPBOARD_KIND_TEXT);
  ASSERT_NE(got.text, nullptr);
  std::string path = File("4mb_back", got.text);
  EXPECT_EQ(Shell("md5sum < " + path), Shell("md5sum < " + TempPath("4mb")));
  FreeMemory(got.text);
}

TEST_F(ClipboardTest, ReadsChooseUtf8ThenPlainThenPngAndTellTheKind) {
  OpenWindow();
  // What xclip owns reads as text.
  std::string typed = File("typed", "from xclip");
  Peer xclip(shared->name(), {"xclip", "-selection", "clipboard", "-i", "-quiet", typed});
  WaitForOtherOwner();
  int32_t kind = 0;
  ClipboardRecord r = {};
  for (const auto deadline = std::chrono::steady_clock::now() + PATIENCE;
       !r.text && Before(deadline);) {
    ASSERT_EQ(ReadClipboardData(h.L, &r, &kind), ERR_NONE);
    if (!r.text) usleep(20000);
  }
  ASSERT_NE(r.text, nullptr);
  EXPECT_STREQ(r.text, "from xclip");
  EXPECT_EQ(kind, CLIPBOARD_KIND_TEXT);
  FreeMemory(r.text);

  // text/plain and UTF8_STRING both offered: UTF8_STRING wins.
  {
    Peer peer(shared->name(),
              {"/usr/bin/python3", PEER, "owner", "text/plain=" + File("plain", "plain"),
               "UTF8_STRING=" + File("utf8", "utf8")});
    ASSERT_EQ(peer.Line(h.L), "ready");
    r = {};
    ASSERT_EQ(ReadClipboardData(h.L, &r, &kind), ERR_NONE);
    ASSERT_NE(r.text, nullptr);
    EXPECT_STREQ(r.text, "utf8");
    FreeMemory(r.text);
    EXPECT_EQ(ReadClipboardText(h.L, &kind), ERR_NONE);
    EXPECT_EQ(kind, CLIPBOARD_KIND_TEXT);
  }

  // A PNG with alpha reads as a picture with the pixels ImageMagick sees.
  std::string png = TempPath("pic.png");
  files.push_back(png);
  Shell(
      "/usr/bin/convert -size 3x2 xc:'rgba(10,20,30,0.5)' -fill 'rgba(200,100,0,1)' "
      "-draw 'point 1,0' PNG32:" +
      png);
  std::string rgba = Shell("/usr/bin/convert " + png + " rgba:-");
  ASSERT_EQ(rgba.size(), 24u);
  Peer peer(shared->name(), {"/usr/bin/python3", PEER, "owner", "image/png=" + png});
  ASSERT_EQ(peer.Line(h.L), "ready");
  // The server may still answer for the text owner that just went away
  // (kind 0, nothing read): ask again until the new owner answers.
  r = {};
  kind = 0;
  for (const auto deadline = std::chrono::steady_clock::now() + PATIENCE;
       kind != CLIPBOARD_KIND_IMAGE && Before(deadline);) {
    ASSERT_EQ(ReadClipboardData(h.L, &r, &kind), ERR_NONE);
    if (kind != CLIPBOARD_KIND_IMAGE) {
      FreeMemory(r.text);
      r = {};
      usleep(20000);
    }
  }
  EXPECT_EQ(kind, CLIPBOARD_KIND_IMAGE);
  ASSERT_NE(r.bitmap, nullptr);
  ASSERT_NE(r.alpha, nullptr);
  EXPECT_EQ(r.width, 3);
  EXPECT_EQ(r.height, 2);
  OwnedMemory<uint32_t> pixels(
      ReadBitmapRectARGBMasked(r.bitmap, 0, 0, 3, 2, nullptr, r.alpha, -1, 0, 0));
  ASSERT_NE(pixels, nullptr);
  for (int i = 0; i < 6; ++i) {
    uint32_t p = pixels.get()[i];
    const auto* want = reinterpret_cast<const uint8_t*>(rgba.data()) + i * 4;
    EXPECT_EQ((p >> 16) & 0xff, want[0]) << i;
    EXPECT_EQ((p >> 8) & 0xff, want[1]) << i;
    EXPECT_EQ(p & 0xff, want[2]) << i;
    EXPECT_EQ(p >> 24, want[3]) << i;
  }
  FreeBitmap(r.bitmap);
  FreeAlphaChannel(r.alpha);
}

TEST_F(ClipboardTest, OwnOfferReadsBackAndSilentOwnerGives1365) {
  OpenWindow();
  ClipboardRecord offer = {};
  offer.text = const_cast<char*>("mine");
  ASSERT_EQ(PutClipboardData(CLIPBOARD_KIND_TEXT, &offer), ERR_NONE);
  ClipboardRecord r = {};
  int32_t kind = 0;
  ASSERT_EQ(ReadClipboardData(h.L, &r, &kind), ERR_NONE);
  ASSERT_NE(r.text, nullptr);
  EXPECT_STREQ(r.text, "mine");
  FreeMemory(r.text);

  Peer peer(shared->name(), {"/usr/bin/python3", PEER, "silent"});
  ASSERT_EQ(peer.Line(h.L), "ready");
  r = {};
  EXPECT_EQ(ReadClipboardData(h.L, &r, &kind), ERR_CLIPREAD);
  EXPECT_EQ(r.text, nullptr);
}

TEST_F(ClipboardTest, OfferedMaskedPictureIsAValidPngWithClearPixelsTransparent) {
  OpenWindow();
  uint32_t pixels[4] = {0xff0000, 0x00ff00, 0x0000ff, 0xffffff};
  BitmapHandle *bitmap = nullptr, *mask = nullptr;
  ASSERT_EQ(CreateBitmapFromRGB(pixels, 0xffffff, 2, 2, 2, 0, 0, nullptr, &bitmap, &mask, nullptr),
            ERR_NONE);
  ASSERT_NE(mask, nullptr);
  ClipboardRecord r = {nullptr, 2, 2, bitmap, mask, nullptr};
  ASSERT_EQ(PutClipboardData(CLIPBOARD_KIND_IMAGE, &r), ERR_NONE);
  std::string targets = ReadPumping("TARGETS");
  EXPECT_EQ(targets, "TARGETS\nimage/png\n");
  std::string png = ReadPumping("image/png");
  std::string path = File("offer.png", png);
  EXPECT_NE(Shell("pngcheck " + path + " 2>&1").find("OK"), std::string::npos);
  std::string rgba = Shell("/usr/bin/convert " + path + " rgba:-");
  ASSERT_EQ(rgba.size(), 16u);
  const auto* b = reinterpret_cast<const uint8_t*>(rgba.data());
  EXPECT_EQ(b[0], 0xff);  // red, kept
  EXPECT_EQ(b[3], 0xff);
  EXPECT_EQ(b[15], 0x00);  // the key colour's pixel is clear
  FreeBitmap(bitmap);
  FreeBitMask(mask);
}

// Without the picture codec of the layers above, a picture offer is
// refused and no picture is offered in its place.
TEST_F(ClipboardTest, WithoutThePictureCodecAPictureOfferIsRefused) {
  OpenWindow();
  uint32_t pixels[4] = {0xff0000, 0x00ff00, 0x0000ff, 0xffffff};
  BitmapHandle* bitmap = nullptr;
  ASSERT_EQ(CreateBitmapFromRGB(pixels, -1, 2, 2, 2, 0, 0, nullptr, &bitmap, nullptr, nullptr),
            ERR_NONE);
  struct Restore {
    ~Restore() { InstallFolderHooks(); }
  } restore;
  SetClipboardImageCodec(nullptr);
  ClipboardRecord r = {nullptr, 2, 2, bitmap, nullptr, nullptr};
  EXPECT_EQ(PutClipboardData(CLIPBOARD_KIND_IMAGE, &r), ERR_UNSUPPORTEDFEAT);
  std::string targets = RunPumping({"xclip", "-selection", "clipboard", "-o", "-t", "TARGETS"});
  EXPECT_EQ(targets.find("image/png"), std::string::npos);
  FreeBitmap(bitmap);
}

TEST_F(ClipboardTest, DroppedUrisReachOnDropFileAndTheSourceHearsTheEnd) {
  OpenWindow();
  Display* probe = XOpenDisplay(shared->name().c_str());
  ASSERT_NE(probe, nullptr);
  EXPECT_EQ(ReadLongProperty(probe, window, "XdndAware"), std::vector<long>{5});
  XCloseDisplay(probe);
  std::string win = std::to_string(window);
  // Without a handler the position is refused.
  {
    Peer peer(shared->name(),
              {"/usr/bin/python3", PEER, "drop", win, File("one", "file:///tmp/x\r\n")});
    EXPECT_EQ(peer.Line(h.L), "status 0");
  }
  VmNewTable(h.L);
  VmPushString(h.L, "ondropfile");
  VmPushCClosure(h.L, recordDrop, 0);
  VmSetTable(h.L, -3);
  ASSERT_EQ(h.Call("InstallEventHandler", 1), ERR_NONE);
  VmSetTop(h.L, 0);
  struct Case {
    const char* name;
    std::string uris;
    std::vector<std::string> files;
  };
  const Case cases[] = {
      {"escaped blank", "file:///tmp/a%20b.txt\r\n", {"/tmp/a b.txt"}},
      {"two files", "file:///tmp/one\r\nfile:///tmp/two\r\n", {"/tmp/one", "/tmp/two"}},
      {"zero byte kept", "file:///tmp/z%00z\r\n", {"/tmp/z%00z"}},
  };
  for (const Case& c : cases) {
    droppedCalls = 0;
    Peer peer(shared->name(), {"/usr/bin/python3", PEER, "drop", win, File("uris", c.uris)});
    EXPECT_EQ(peer.Line(h.L), "status 1") << c.name;
    EXPECT_EQ(peer.Line(h.L), "finished 1") << c.name;
    for (const auto deadline = std::chrono::steady_clock::now() + PATIENCE;
         droppedCalls == 0 && Before(deadline);) {
      ErrorCode error;
      PollEvents(h.L, 2, 0, &error);
      ASSERT_EQ(h.Call("CheckEvent", 0), ERR_NONE);
      VmSetTop(h.L, 0);
      usleep(10000);
    }
    ASSERT_EQ(droppedCalls, 1) << c.name;
    VmPushString(h.L, "msg");
    VmGetTable(h.L, VM_GLOBALS_INDEX);
    VmPushString(h.L, "numdropfiles");
    VmGetTable(h.L, -2);
    EXPECT_EQ(VmToNumber(h.L, -1), static_cast<double>(c.files.size())) << c.name;
    VmSetTop(h.L, -2);
    VmPushString(h.L, "dropfiles");
    VmGetTable(h.L, -2);
    for (size_t i = 0; i < c.files.size(); ++i) {
      VmRawGetI(h.L, -1, static_cast<int>(i));
      EXPECT_EQ(std::string(VmToString(h.L, -1)), c.files[i]) << c.name;
      VmSetTop(h.L, -2);
    }
    VmSetTop(h.L, 0);
  }
}

}  // namespace

namespace {

// The script's clipboard commands: text both ways with xclip, a brush
// offered as a PNG with its pixels, a picture read back as a new brush,
// and the refusals.
TEST_F(ClipboardTest, ScriptCommandsOfferAndReadTextAndBrushes) {
  OpenWindow();
  VmSetTop(h.L, 0);
  VmPushNumber(h.L, 1);
  VmPushString(h.L, "from the script");
  ASSERT_EQ(h.Call("SetClipboard", 2), ERR_NONE);
  EXPECT_EQ(ReadPumping(), "from the script");
  // Any other target a client asks for gets the offered bytes too.
  for (const char* target : {"STRING", "text/plain", "TEXT"})
    EXPECT_EQ(ReadPumping(target), "from the script") << target;

  // A 3 x 2 brush: its pixels as ImageMagick reads the offered PNG.
  const uint32_t colours[6] = {0xff0000, 0x00ff00, 0x0000ff, 0x102030, 0xffffff, 0x000000};
  VmSetTop(h.L, 0);
  for (double n : {7.0, 3.0, 2.0}) VmPushNumber(h.L, n);
  ASSERT_EQ(h.Call("CreateBrush", 3), ERR_NONE);
  BrushObject* brush = nullptr;
  ASSERT_EQ(GetBrushObject(h.L, ObjectId{nullptr, 7}, &brush, 0), ERR_NONE);
  for (int i = 0; i < 6; ++i) WriteBitmapPixel(brush->bitmap, i % 3, i / 3, colours[i], 0);
  VmSetTop(h.L, 0);
  VmPushNumber(h.L, 2);
  VmPushNumber(h.L, 7);
  ASSERT_EQ(h.Call("SetClipboard", 2), ERR_NONE);
  std::string png = ReadPumping("image/png");
  std::string path = File("brush.png", png);
  std::string rgb = Shell("/usr/bin/convert " + path + " rgb:-");
  ASSERT_EQ(rgb.size(), 18u);
  for (int i = 0; i < 6; ++i) {
    const auto* got = reinterpret_cast<const uint8_t*>(rgb.data()) + 3 * i;
    EXPECT_EQ((uint32_t{got[0]} << 16) | (uint32_t{got[1]} << 8) | got[2], colours[i]) << i;
  }
  // Our own offer reads back as a new brush of that size.
  VmSetTop(h.L, 0);
  ASSERT_EQ(h.Call("GetClipboard", 0), ERR_NONE);
  ASSERT_EQ(VmGetTop(h.L), 2);
  EXPECT_EQ(VmToNumber(h.L, 1), 2);
  ASSERT_EQ(VmType(h.L, 2), VM_TYPE_LIGHTUSERDATA);
  BrushObject* copy = nullptr;
  ASSERT_EQ(GetBrushObject(h.L, ObjectId{VmToUserdata(h.L, 2), 0}, &copy, 0), ERR_NONE);
  EXPECT_EQ(copy->width, 3);
  EXPECT_EQ(copy->height, 2);

  // What xclip owns reads as text; PeekClipboard tells the kind alone.
  std::string typed = File("typed_cmd", "xclip's text");
  Peer xclip(shared->name(), {"xclip", "-selection", "clipboard", "-i", "-quiet", typed});
  WaitForOtherOwner();
  std::string got;
  for (const auto deadline = std::chrono::steady_clock::now() + PATIENCE;
       got != "xclip's text" && Before(deadline);) {
    VmSetTop(h.L, 0);
    ASSERT_EQ(h.Call("GetClipboard", 0), ERR_NONE);
    if (VmToNumber(h.L, 1) == 1 && VmGetTop(h.L) == 2) got = VmToString(h.L, 2);
    if (got != "xclip's text") usleep(20000);
  }
  EXPECT_EQ(got, "xclip's text");
  VmSetTop(h.L, 0);
  ASSERT_EQ(h.Call("PeekClipboard", 0), ERR_NONE);
  EXPECT_EQ(VmToNumber(h.L, 1), 1);

  struct Refusal {
    const char* name;
    double kind;
    double value;
    ErrorCode error;
  };
  const Refusal refusals[] = {
      {"kind 3", 3, 7, ERR_WRONGUSAGE},
      {"kind 0", 0, 7, ERR_WRONGUSAGE},
      {"unknown brush", 2, 99, ERR_FINDBRUSH},
  };
  for (const Refusal& r : refusals) {
    VmSetTop(h.L, 0);
    VmPushNumber(h.L, r.kind);
    VmPushNumber(h.L, r.value);
    EXPECT_EQ(h.Call("SetClipboard", 2), r.error) << r.name;
  }
  VmSetTop(h.L, 0);
}

}  // namespace
