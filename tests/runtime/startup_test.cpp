// Start-up in process: the option line and settings file, the constants
// text, the start-header walk and the applet header reader on hostile
// applets (every size checked against the file, never read beyond it).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "display/display.h"
#include "engine/engine.h"
#include "engine/engine_private.h"
#include "gfx/gfx.h"
#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"
#include "platform/linux/files_private.h"
#include "runtime/player.h"
#include "runtime/runtime_private.h"
#include "tools/qmasm/qmasm.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Records {
  PlayerRunContext context{};
  PlayerRecord record{};
  Records() {
    player = PlayerGlobals();
    player.record = &record;
    player.context = &context;
    player.utf8Script = 1;
    player.overrideScreenWidth = player.overrideScreenHeight = player.overrideScreenDepth = -1;
    player.overrideDesktop = -1;
    player.overrideBackfill.kind = -1;
    record.versionMajor = 8;
    record.screenWidth = record.screenHeight = record.screenDepth = -1;
    record.scaleFactor = 1.0;
    InitBackfillSpec(&record.backfill);
    player.noChdir = 1;
    TagItem quiet[] = {{ATTR_QUIET, 1}, {ATTR_DONE, 0}};
    SetGlobalAttrs(nullptr, quiet);
  }
  ~Records() {
    FreeUnmatchedOptions(&context);
    FreeMemory(record.bytecode);
    FreeDeclaredResources(record.resources);
    FreeLineMap(&record);
    FreeLinkedFiles(&record);
    FreeIconTable();
    FreeMemory(player.skipList);
    FreeMemory(player.requireList);
    FreeMemory(player.requiredTags);
    FreeMemory(player.constants);
    DeleteTempFiles();
    player = PlayerGlobals();
    unicodeUtf8Mode = 1;
  }
};

ErrorCode parseAndApply(const char* line, const char* settings, Records* r) {
  OptionValues values;
  ErrorCode error = ParseArgumentLine(line, &values, &r->context);
  if (!error && settings) error = ParseSettingsText(settings, &values, &r->context);
  if (!error) error = ApplyPlayerDefaults(&values, &r->context, &r->record);
  return error;
}

TEST(Options, LinesAndSettings) {
  struct Case {
    const char* name;
    const char* line;
    const char* settings;
    ErrorCode error;
  };
  const Case cases[] = {
      {"lower-case name", "-borderless \"a.qma\"", nullptr, 0},
      {"two display modes", "-window -fullscreen", nullptr, ERR_CONSOLEARG},
      {"argument missing at the end", "-winwidth", nullptr, ERR_ARGS},
      {"option where an argument is due", "-winwidth -quiet", nullptr, ERR_ARGS},
      {"second applet name", "\"a.qma\" \"b.qma\"", nullptr, ERR_ARGS},
      {"unclosed quote", "\"a.qma", nullptr, ERR_ARGS},
      {"monitor 0", "-monitor \"0\"", nullptr, ERR_MONITORRANGE},
      {"gradient without end colour", "-backfill \"gradient\" -startcolor \"$ff\"", nullptr,
       ERR_BACKFILL},
      {"both scale engines", "-autoscale -layerscale", nullptr, ERR_CONSOLEARG},
      {"unknown encoding", "-encoding \"koi8\"", nullptr, ERR_BADENCODING},
      {"settings key begins with a digit", "", "1QUIET = on\n", ERR_INISYNTAX},
      {"settings key without equals sign", "", "QUIET on\n", ERR_INISYNTAX},
      {"settings quote not closed on its line", "", "TEMPDIR = \"/tmp\nX=1\n", ERR_INISYNTAX},
      {"settings comments and sections", "", "# note\n[Player]\r\n  QUIET = yes\n", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Records r;
    EXPECT_EQ(parseAndApply(c.line, c.settings, &r), c.error);
  }
}

TEST(Options, Values) {
  {
    Records r;
    ASSERT_EQ(parseAndApply("-WinWidth \"50%\" -monitor \"1\" -quiet \"app.qma\"", nullptr, &r), 0);
    EXPECT_EQ(r.record.winWidth, -50);
    EXPECT_EQ(r.record.monitor, 0);
    EXPECT_EQ(r.context.quiet, 1);
  }
  {
    // A settings key replaces the command line's value; "2" is on.
    Records r;
    ASSERT_EQ(parseAndApply("-quiet", "QUIET = off\n", &r), 0);
    EXPECT_EQ(r.context.quiet, 0);
    Records s;
    ASSERT_EQ(parseAndApply("", "quiet=2", &s), 0);
    EXPECT_EQ(s.context.quiet, 1);
  }
  {
    // Unknown keys keep their order; a value follows only when it is no option.
    Records r;
    ASSERT_EQ(parseAndApply("-mykey \"token\" -other -quiet \"a.qma\"", "extra = \"x y\"  \n", &r),
              0);
    const UnmatchedOption* n = r.context.unmatched;
    ASSERT_NE(n, nullptr);
    EXPECT_STREQ(n->name, "mykey");
    EXPECT_STREQ(n->value, "token");
    ASSERT_NE(n = n->next, nullptr);
    EXPECT_STREQ(n->name, "other");
    EXPECT_EQ(n->value, nullptr);
    ASSERT_NE(n = n->next, nullptr);
    EXPECT_STREQ(n->name, "extra");
    EXPECT_STREQ(n->value, "x y");
    EXPECT_EQ(n->next, nullptr);
  }
  {
    char name[64];
    MakeSettingsName("/a.b/c.d.qma", name, sizeof name);
    EXPECT_STREQ(name, "/a.b/c.d.ini");
    MakeSettingsName("/a.b/player", name, sizeof name);
    EXPECT_STREQ(name, "/a.b/player.ini");
  }
}

// The switches that name display styles, modes and backfill kinds set the
// display library's flag bits and codes.
TEST(Options, DisplaySwitchesSetTheDisplayCodes) {
  struct Case {
    const char* line;
    uint32_t flags;
    int32_t mode;
    int32_t backfill;
  };
  const Case cases[] = {
      {"-borderless -sizeable -fixed -nomodeswitch -hidepointer -nohide -smoothscale", 0xBF, 0, -1},
      {"-keepproportions -fitscale -noliveresize -alwaysontop -disableblanker", 0x1438000, 0, -1},
      {"-maximized -nativeunits -noscaleengine -autoscale", 0xD0000040, 0, -1},
      {"-layerscale -askdisplaymode", 0x100, 3, -1},
      {"-fakefullscreen -backfill \"Rainbow\" -startcolor \"1\" -endcolor \"2\"", 0, 6, 2},
      {"-fullscreenscale -backfill \"COLOR\" -startcolor \"1\"", 0, 7, 1},
      {"-moderequester -backfill \"picture\" -brush \"3\"", 0, 4, 4},
      {"-systemscale -backfill \"texture\" -brushfile \"t.png\"", 0, 8, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Records r;
    r.record.backfill.kind = -1;
    ASSERT_EQ(parseAndApply(c.line, nullptr, &r), 0);
    EXPECT_EQ(r.record.windowFlags, c.flags);
    EXPECT_EQ(r.record.displayMode, c.mode);
    EXPECT_EQ(r.record.backfill.kind, c.backfill);
  }
  Records r;
  EXPECT_EQ(parseAndApply("-backfill \"stripes\"", nullptr, &r), ERR_BACKFILL);
}

TEST(Options, JoinedLineIsCut) {
  std::string huge(5000, 'x');
  char* argv[] = {const_cast<char*>("quillmere"), const_cast<char*>("-quiet"), huge.data()};
  char* line = nullptr;
  ASSERT_EQ(JoinArguments(3, argv, &line), 0);
  EXPECT_EQ(std::strlen(line), ARGUMENT_LINE_MAX);
  EXPECT_EQ(std::string(line, 8), "-quiet \"");
  FreeMemory(line);
}

TEST(Constants, Text) {
  struct Case {
    const char* name;
    const char* text;
    ErrorCode error;
  };
  const std::string longName = std::string(64, 'n') + "=1";
  const Case cases[] = {
      {"number and bracketed string", "A=1|B=[x]]y]", 0},
      {"empty text", "", ERR_ARGS},
      {"ends with the bar", "A=1|", ERR_ARGS},
      {"64-character name", longName.c_str(), ERR_ARGS},
      {"junk after the value", "A=1 x", ERR_ARGS},
      {"unclosed string", "A=[abc", ERR_ARGS},
      {"defined twice", "A=1|a=2", ERR_CSTDOUBLEDEF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VmState* L = VmOpenState();
    ASSERT_NE(L, nullptr);
    EXPECT_EQ(DefineConstantsText(L, c.text), c.error);
    if (c.error == 0) {
      const char* text = nullptr;
      double number = 0;
      ASSERT_TRUE(VmFindConstant(L, "a", &text, &number));
      EXPECT_EQ(number, 1);
      ASSERT_TRUE(VmFindConstant(L, "b", &text, &number));
      EXPECT_STREQ(text, "x]y");
    }
    VmCloseState(L);
  }
}

TEST(StartHeader, Walk) {
  Records r;
  // Latin-1 title, a version string stored with 0xFF for "$", then a UTF-8
  // author after the encoding tag.
  Bytes h = {'Q', 'M',  'A', 0,   10,  8, 0,  11, 'C', 'a',  'f',  0xE9, 0,
             12,  0xFF, 'V', 'E', 'R', 0, 35, 1,  14,  0xC3, 0xA9, 0};
  WalkStartHeader(h.data(), h.size(), &r.record);
  EXPECT_STREQ(r.record.title, "Caf\xC3\xA9");
  EXPECT_STREQ(r.record.versionString, "$VER");
  EXPECT_STREQ(r.record.authors, "\xC3\xA9");

  // A text running into the end of the bytes read is not taken; a long
  // one is cut to its 256-byte field.
  Records s;
  Bytes cut = {'Q', 'M', 'A', 0, 13};
  cut.insert(cut.end(), 300, 'x');
  WalkStartHeader(cut.data(), cut.size(), &s.record);
  EXPECT_STREQ(s.record.copyright, "");
  cut.push_back(0);
  WalkStartHeader(cut.data(), cut.size(), &s.record);
  EXPECT_EQ(std::strlen(s.record.copyright), HEADER_TEXT_SIZE - 1);
}

// A temporary applet file and the header reader on it.
class AppletFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/qmstartXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    L_ = VmOpenState();
    ASSERT_NE(L_, nullptr);
  }
  void TearDown() override {
    VmCloseState(L_);
    std::remove(path().c_str());
    rmdir(dir_.c_str());
  }
  std::string path() const { return dir_ + "/t.qma"; }
  ErrorCode Read(const Bytes& bytes, Records* r) {
    FILE* f = std::fopen(path().c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    StrCopyBounded(r->context.appletPath, sizeof r->context.appletPath, path().c_str());
    return ReadAppletHeader(L_, &r->context, &r->record);
  }
  static Bytes Applet(std::initializer_list<Bytes> sections, bool withScript = true) {
    Bytes b = {'Q', 'M', 'A', 0};
    // g++ 12 misjudges the room of a range insert (a known false alarm).
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#pragma GCC diagnostic ignored "-Wstringop-overread"
#endif
    for (const Bytes& s : sections) b.insert(b.end(), s.begin(), s.end());
    if (withScript) b.insert(b.end(), {1, 0, 0, 0, 2, 0xAB, 0xCD});
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
    return b;
  }
  std::string dir_;
  VmState* L_ = nullptr;
};

void putBE32(Bytes* b, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) b->push_back(static_cast<uint8_t>(v >> shift));
}

// Section 2 with one declared resource (version 6 and later layout) and
// the payload bytes given.
Bytes resource(uint8_t kind, uint32_t nameOffset, uint32_t nameSize, uint32_t linkedOffset,
               uint32_t linkedSize, const Bytes& payload = {}) {
  Bytes b = {2};
  putBE32(&b, 1);
  b.push_back(kind);
  putBE32(&b, 1);  // identifier
  putBE32(&b, nameOffset);
  putBE32(&b, nameSize);
  putBE32(&b, linkedOffset);
  putBE32(&b, linkedSize);
  for (int i = 0; i < 3; i++) putBE32(&b, 0);  // transparency, flags, line
  b.insert(b.end(), {0, 0, 0, 0});             // loader and adapter texts
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

TEST_F(AppletFile, HostileSizes) {
  struct Case {
    const char* name;
    Bytes applet;
    ErrorCode error;
  };
  Bytes regions(40, 0);  // the display payload's ten words, then a region count
  putBE32(&regions, 0x40000000);
  auto withTrailer = [](const Bytes& trailer) {
    Bytes b = Applet({});
    b.insert(b.end(), trailer.begin(), trailer.end());
    return b;
  };
  const Case cases[] = {
      {"version 8.0", Applet({{10, 8, 0}}), 0},
      {"version 8.1", Applet({{10, 8, 1}}), ERR_APPLETVERSION},
      {"version 9.0", Applet({{10, 9, 0}}), ERR_APPLETVERSION},
      {"tag 36", Applet({{36}}), ERR_UNKNOWNSEC},
      {"ends inside the sections", Applet({{11, 'a'}}, false), ERR_UNEXPECTEDEOF},
      {"no script section", Applet({}, false), ERR_UNEXPECTEDEOF},
      {"skipped section larger than the file", Applet({{0, 0x7F, 0xFF, 0xFF, 0xFF}}), ERR_READ},
      {"script larger than the file", Applet({{1, 0xFF, 0xFF, 0xFF, 0xF0, 1}}, false), ERR_READ},
      {"script length cut", Applet({{1, 0, 0}}, false), ERR_UNEXPECTEDEOF},
      {"counted text larger than the file", Applet({{4, 0x10, 0, 'a'}}, false), ERR_READ},
      {"counted text length cut", Applet({{4, 0}}, false), ERR_UNEXPECTEDEOF},
      {"icon image larger than the file", withTrailer({'I', 0, 0, 0, 16, 0, 16, 0, 0, 0, 0, 9, 1}),
       ERR_READ},
      {"icon entry cut inside its size", withTrailer({'I', 0, 0, 0, 16, 0, 16, 0, 0, 0}),
       ERR_UNEXPECTEDEOF},
      {"record name beyond the file", Applet({resource(3, 4, 0xFFFF0000u, 0, 0)}),
       ERR_UNEXPECTEDEOF},
      {"record name offset beyond the file", Applet({resource(3, 0xFFFFFFF0u, 1, 0, 0)}),
       ERR_UNEXPECTEDEOF},
      {"record linked data beyond the file", Applet({resource(3, 0, 0, 0, 0xFF000000u)}),
       ERR_UNEXPECTEDEOF},
      {"region count larger than the file", Applet({resource(10, 0, 0, 0, 0, regions)}),
       ERR_UNEXPECTEDEOF},
      {"inline embedded data larger than the file",
       Applet({{26, 0, 0, 0, 1, 0, 0, 0, 0, 'f', 0, 0x10, 0, 0, 0, 1, 2, 3}}), ERR_READ},
      {"record with its name in the applet", Applet({resource(3, 0, 3, 0, 0)}), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Records r;
    EXPECT_EQ(Read(c.applet, &r), c.error);
  }
}

TEST_F(AppletFile, DeepMenuIsRefused) {
  Bytes nested;
  for (int i = 0; i < 200; i++) nested.insert(nested.end(), {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2});
  Bytes menu = resource(13, 0, 0, 0, 0, nested);
  Records r;
  EXPECT_EQ(Read(Applet({menu}), &r), ERR_UNEXPECTEDEOF);
}

TEST_F(AppletFile, SectionsReachTheScript) {
  qmasm::Program program;
  std::string error;
  ASSERT_TRUE(
      qmasm::Parse(".applet label start 7\n.applet constant greeting \"hi\"\n"
                   ".applet file \"keep.txt\" \"data\"\n"
                   ".applet section 26 be32:1 be32:0 \"gone.txt\" 0 be32:0xFFFFFFFE\n"
                   ".applet section 8 be32:1 be32:1 be32:9 be32:0 \"src.qs\" 0\n"
                   ".applet title \"T\"\nRETURN 0 1\n",
                   &program, &error))
      << error;
  Bytes applet = qmasm::WriteApplet(program, qmasm::WriteChunk(program));
  // Trailer: an icon whose size is in no table entry is passed over by its
  // size even when its data looks like further entries; then a 16x16 one.
  applet.insert(applet.end(),
                {0, 'I', 0, 0, 0, 20, 0, 20, 0, 0, 0, 0, 9, 0, 16, 0, 16, 0, 0, 0, 0, 1});
  applet.insert(applet.end(), {0, 16, 0, 16, 2, 0, 0, 0, 2, 0xAA, 0xBB, 0, 0});
  Records r;
  ASSERT_EQ(Read(applet, &r), 0);
  EXPECT_EQ(VmFindLabel(L_, "START"), 7);
  const char* text = nullptr;
  ASSERT_TRUE(VmFindConstant(L_, "greeting", &text, nullptr));
  EXPECT_STREQ(text, "hi");
  ASSERT_NE(r.record.linkedFiles, nullptr);
  EXPECT_STREQ(r.record.linkedFiles->name, "keep.txt");
  EXPECT_EQ(r.record.linkedFiles->size, 4u);
  EXPECT_EQ(r.record.linkedFiles->next, nullptr);
  ASSERT_NE(r.record.lineMap, nullptr);
  EXPECT_STREQ(r.record.lineMap->fileName, "src.qs");
  EXPECT_STREQ(r.record.lineMap->chunkSource, r.context.appletPath);
  EXPECT_STREQ(r.record.title, "T");
  EXPECT_STREQ(VmGetRegistryString(L_, "script"), SCRIPT_NAME_NONE);
  ASSERT_NE(player.icons[0].imageName, nullptr);
  EXPECT_NE(std::strstr(player.icons[0].imageName, ":2*16x16"), nullptr)
      << player.icons[0].imageName;
  EXPECT_EQ(player.icons[0].defaultImage, 1);

  // The embedded file reads back through its linked name.
  const char* name = ResolveLinkedFile(L_, "keep.txt", 0, nullptr);
  StreamHandle* s = OpenFileStream(name, STREAM_READ, nullptr);
  ASSERT_NE(s, nullptr) << name;
  char data[8] = {};
  EXPECT_EQ(ReadStream(s, data, sizeof data), 4u);
  EXPECT_STREQ(data, "data");
  CloseFileStream(s);
}

TEST_F(AppletFile, CompressedInlineDataComesFromTheInflatedFile) {
  qmasm::Program program;
  std::string error;
  ASSERT_TRUE(qmasm::Parse(".applet file \"inner.txt\" \"packed\"\nRETURN 0 1\n", &program, &error))
      << error;
  Bytes packed;
  ASSERT_TRUE(qmasm::CompressApplet(qmasm::WriteApplet(program, qmasm::WriteChunk(program)),
                                    &packed, &error));
  Records r;
  ASSERT_EQ(Read(packed, &r), 0);
  const char* name = ResolveLinkedFile(L_, "inner.txt", 0, nullptr);
  StreamHandle* s = OpenFileStream(name, STREAM_READ, nullptr);
  ASSERT_NE(s, nullptr) << name;
  char data[8] = {};
  EXPECT_EQ(ReadStream(s, data, sizeof data), 6u);
  EXPECT_STREQ(data, "packed");
  CloseFileStream(s);
}

}  // namespace

namespace {

TEST(SystemGlue, AnswersAndSwitches) {
  // Ctrl+C quits by default; ids other than 8, 9 and 10 change nothing.
  EXPECT_EQ(GetBitmapAttr(nullptr, 8), 1);
  EXPECT_EQ(GetBitmapAttr(nullptr, 9), 0);
  SetPlatformOption(nullptr, 11, 1);
  SetPlatformOption(nullptr, 7, 1);
  EXPECT_EQ(GetPlatformBitmapAttr(nullptr, 7), 0);
  EXPECT_EQ(GetPlatformBitmapAttr(nullptr, 11), 16);
  SetPlatformOption(nullptr, PLATFORM_QUIT_ESCAPE, 1);
  EXPECT_EQ(GetBitmapAttr(nullptr, 10), 1);
  SetPlatformOption(nullptr, PLATFORM_QUIT_ESCAPE, 0);
  EXPECT_EQ(GetBitmapAttr(nullptr, 16), 1);

  char* home = GetEnvCopy("HOME");
  unsetenv("HOME");
  char buffer[64] = "x";
  EXPECT_EQ(GetSystemDirectory(6, buffer, sizeof buffer), 1);
  EXPECT_STREQ(buffer, "");
  if (home) setenv("HOME", home, 1);
  FreeMemory(home);
  EXPECT_EQ(GetSystemDirectory(13, buffer, sizeof buffer), 1);
  EXPECT_STREQ(buffer, "/tmp");
  EXPECT_EQ(GetSystemDirectory(99, buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "");

  EXPECT_EQ(GetFreeMemory("/nonexistent/meminfo"), 0u);
  char meminfo[] = "/tmp/qmmeminfoXXXXXX";
  int fd = mkstemp(meminfo);
  ASSERT_GE(fd, 0);
  const char text[] = "MemTotal:  100 kB\nMemFree:   \t 4242 kB\n";
  ASSERT_EQ(write(fd, text, sizeof text - 1), static_cast<ssize_t>(sizeof text - 1));
  close(fd);
  EXPECT_EQ(GetFreeMemory(meminfo), 4242u);
  std::remove(meminfo);
}

TEST(SystemGlue, DebugDevice) {
  char name[] = "/tmp/qmdebugXXXXXX";
  int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "old\n", 4), 4);
  close(fd);
  ASSERT_EQ(OpenDebugDevice(name), 0);
  DebugPrintf("%s\n", "new");
  CloseDebugDevice();
  EXPECT_EQ(GetDebugDevice(), stdout);
  std::ifstream in(name);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(all, "old\nnew\n");  // appended, not replaced
  std::remove(name);
  EXPECT_EQ(OpenDebugDevice("stderr"), 0);
  EXPECT_EQ(GetDebugDevice(), stderr);
  EXPECT_EQ(OpenDebugDevice(""), 0);
  EXPECT_EQ(GetDebugDevice(), stdout);
  EXPECT_EQ(OpenDebugDevice("/nonexistent/dir/log"), ERR_WRITEFILE);
  EXPECT_STREQ(GetErrorArgString(), "/nonexistent/dir/log");
}

}  // namespace

namespace {

struct HeaderJob {
  Records* records;
  ErrorCode result;
};

int readHeaderProtected(VmState* L) {
  auto* job = static_cast<HeaderJob*>(VmToUserdata(L, 1));
  job->result = ReadAppletHeader(L, &job->records->context, &job->records->record);
  return 0;
}

// Every allocation of the header reader may fail: each failure is 1000
// and leaves nothing behind (the records' owners free what was made).
TEST_F(AppletFile, AllocationFailures) {
  qmasm::Program program;
  std::string error;
  ASSERT_TRUE(
      qmasm::Parse(".applet label start 7\n.applet constant greeting \"hi\"\n"
                   ".applet file \"keep.txt\" \"data\"\n"
                   ".applet section 27 be32:1 be32:1 be32:9 be32:0 \"src.qs\" 0 \"c\" 0\n"
                   "RETURN 0 1\n",
                   &program, &error))
      << error;
  Bytes nested = {0, 1, 'A', 0, 0, 0, 0, 0, 0, 0, 0, 0};  // menu: one item
  Bytes tree = {1, 0, 1, 'f', 0, 0, 0, 0, 0, 0, 0, 1, 2, 0, 1, 'd', 0, 0};
  Bytes display(40, 0);
  putBE32(&display, 1);
  display.insert(display.end(), 20, 0);
  putBE32(&display, 0);
  display.insert(display.end(), {0, 1, 'T'});
  display.insert(display.end(), 71, 0);  // fill, gradient, version 6 and 8 fields
  Bytes applet = qmasm::WriteApplet(program, qmasm::WriteChunk(program));
  Bytes sections = resource(13, 0, 0, 0, 0, nested);
  Bytes more = resource(18, 0, 0, 0, 0, tree);
  Bytes shown = resource(10, 0, 0, 0, 0, display);
  applet.insert(applet.begin() + 4, shown.begin(), shown.end());
  applet.insert(applet.begin() + 4, more.begin(), more.end());
  applet.insert(applet.begin() + 4, sections.begin(), sections.end());
  for (bool compressed : {false, true}) {
    Bytes file = applet;
    if (compressed) {
      ASSERT_TRUE(qmasm::CompressApplet(applet, &file, &error));
    }
    bool succeeded = false;
    for (uint64_t n = 1; n < 2000 && !succeeded; n++) {
      SCOPED_TRACE(std::to_string(n) + (compressed ? " compressed" : " plain"));
      Records r;
      HeaderJob job{&r, -1};
      std::FILE* f = std::fopen(path().c_str(), "wb");
      std::fwrite(file.data(), 1, file.size(), f);
      std::fclose(f);
      StrCopyBounded(r.context.appletPath, sizeof r.context.appletPath, path().c_str());
      SetAllocFailure(n, false);
      ErrorCode status = VmCPCall(L_, readHeaderProtected, &job);
      bool failed = GetAllocFailureCount() > 0;
      SetAllocFailure(0, false);
      if (!failed) {
        EXPECT_EQ(status, 0);
        EXPECT_EQ(job.result, 0);
        succeeded = true;
      } else {
        EXPECT_EQ(status != 0 ? status : job.result, ERR_MEM);
      }
    }
    EXPECT_TRUE(succeeded);
  }
}

TEST(RequiredTags, Syntax) {
  struct Case {
    const char* name;
    const char* text;
    ErrorCode error;
    int count;  // tags for the plug-in "alpha"
  };
  const Case cases[] = {
      {"spaces before the bracket", "alpha  [a=1, b='x y'], beta[c=true]", 0, 2},
      {"other plug-in only", "beta[c=true]", 0, 0},
      {"space inside the name", "al pha[a=1]", ERR_REQUIRETAGFMT, 0},
      {"tag without a value", "alpha[a]", ERR_REQUIRETAGFMT, 0},
      {"tag name not a letter", "alpha[1=2]", ERR_REQUIRETAGFMT, 0},
      {"unclosed entry", "alpha[a=1", ERR_REQUIRETAGFMT, 0},
      {"no bracket", "alpha", ERR_REQUIRETAGFMT, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int count = -1;
    EXPECT_EQ(ParseRequiredTags(nullptr, c.text, "alpha", &count), c.error);
    if (!c.error) {
      EXPECT_EQ(count, c.count);
    }
  }
}

}  // namespace

namespace {

std::vector<std::string> commandLog;

std::string field(VmState* L, int table, const char* name) {
  VmPushString(L, name);
  VmGetTable(L, table);
  const char* text = VmType(L, -1) == VM_TYPE_NIL ? "-" : VmToString(L, -1);
  std::string value = text ? text : "?";
  VmSetTop(L, -2);
  return value;
}

int fakeLoadBrush(VmState* L) {
  std::string file = VmToString(L, 2);
  commandLog.push_back("brush " + file + " cache=" + field(L, 3, "cache") +
                       " cachedload=" + field(L, 3, "cachedload"));
  return file == "bad.png" ? ERR_READFILE : 0;
}

int fakeCreateDisplay(VmState* L) {
  commandLog.push_back("display " + std::string(VmToString(L, 1)) + " mode=" + field(L, 2, "mode") +
                       " title=" + field(L, 2, "title"));
  return 0;
}

// The option table CreateDisplay got, as "key=value" in key order, with
// the backfill table's fields as "backfill.key=value".
std::vector<std::string> displayTable;
void collectFields(VmState* L, int table, const std::string& prefix) {
  VmPushNil(L);
  while (VmNext(L, table)) {
    std::string key = prefix + VmToString(L, -2);
    if (VmType(L, -1) == VM_TYPE_TABLE)
      collectFields(L, VmGetTop(L), key + ".");
    else
      displayTable.push_back(key + "=" + VmToString(L, -1));
    VmSetTop(L, -2);
  }
}

int tableCreateDisplay(VmState* L) {
  displayTable.clear();
  collectFields(L, 2, "");
  std::sort(displayTable.begin(), displayTable.end());
  return 0;
}

class Preload : public ::testing::Test {
 protected:
  void SetUp() override {
    commandLog.clear();
    L_ = VmOpenState();
    ASSERT_NE(L_, nullptr);
    const CommandTableEntry commands[] = {
        {"LoadBrush", fakeLoadBrush}, {"CreateDisplay", fakeCreateDisplay}, {nullptr, nullptr}};
    VmPushValue(L_, VM_GLOBALS_INDEX);
    VmRegisterFunctions(L_, nullptr, commands, 0);
    VmSetTop(L_, 0);
    StrCopyBounded(r_.record.title, sizeof r_.record.title, "T");
  }
  void TearDown() override {
    VmCloseState(L_);
    ResetErrorLocation();
  }
  void Brush(const char* file, int32_t line = 0) {
    DeclaredResource* d = AddDeclaredResource(&r_.record, 1, 1);
    ASSERT_NE(d, nullptr);
    d->fileName = static_cast<char*>(AllocMemory(std::strlen(file) + 1, 0));
    std::strcpy(d->fileName, file);
    d->payload = AllocMemory(sizeof(ImagePayload), 1);
    d->line = line;
  }
  VmState* L_ = nullptr;
  Records r_;
};

TEST_F(Preload, RepeatedFilesAndDefaultDisplay) {
  Brush("a.png");
  Brush("other.png");
  Brush("A.PNG");
  ASSERT_EQ(PreloadDeclaredResources(L_, &r_.context, &r_.record), 0);
  const std::vector<std::string> expected = {
      "brush a.png cache=a.png cachedload=-", "brush other.png cache=- cachedload=-",
      "brush A.PNG cache=- cachedload=A.PNG", "display 1 mode=windowed title=T"};
  EXPECT_EQ(commandLog, expected);
  EXPECT_EQ(r_.record.resources, nullptr);
  EXPECT_STREQ(vmErrorLocation.function, "----");
}

TEST_F(Preload, FailingCommandIsNamed) {
  Brush("good.png");
  Brush("bad.png", 42);
  Brush("never.png");
  EXPECT_EQ(PreloadDeclaredResources(L_, &r_.context, &r_.record), ERR_READFILE);
  EXPECT_STREQ(vmErrorLocation.function, "LoadBrush");
  EXPECT_EQ(vmErrorLocation.line, 42);
  EXPECT_EQ(commandLog.size(), 2u);
}

// A declared resource whose command is not among the globals fails the
// start-up as a script's call of it would, instead of being skipped.
TEST_F(Preload, MissingCommandFailsTheCall) {
  Brush("good.png");
  DeclaredResource* sample = AddDeclaredResource(&r_.record, 4, 2);
  ASSERT_NE(sample, nullptr);
  sample->line = 7;
  EXPECT_EQ(PreloadDeclaredResources(L_, &r_.context, &r_.record), ERR_FUNCDECLA);
  EXPECT_STREQ(vmErrorLocation.function, "LoadSample");
  EXPECT_EQ(vmErrorLocation.line, 7);
  EXPECT_EQ(commandLog.size(), 1u);
}

TEST_F(Preload, CommandLineModeReachesDisplays) {
  for (int all = 0; all <= 1; all++) {
    SCOPED_TRACE(all);
    commandLog.clear();
    ASSERT_EQ(AddDefaultDisplay(&r_.record, "one"), 0);
    ASSERT_NE(AddDeclaredResource(&r_.record, 10, 2), nullptr);
    r_.record.displayMode = 2;
    r_.context.allDisplays = all;
    ASSERT_EQ(PreloadDeclaredResources(L_, &r_.context, &r_.record), 0);
    const std::vector<std::string> expected = {
        "display 1 mode=fullscreen title=one",
        std::string("display 2 mode=") + (all ? "fullscreen" : "windowed") + " title=Quillmere"};
    EXPECT_EQ(commandLog, expected);
  }
}

// Every flag of a declared display reaches CreateDisplay by its option
// name, except usequartz; the mode and backfill kind go by name too.
TEST_F(Preload, DeclaredDisplayFlagsAndNames) {
  VmPushCClosure(L_, tableCreateDisplay, 0);
  VmPushString(L_, "createdisplay");
  VmInsert(L_, -2);
  VmSetTable(L_, VM_GLOBALS_INDEX);
  ASSERT_EQ(AddDefaultDisplay(&r_.record, "one"), 0);
  auto* d = static_cast<DisplayDescription*>(r_.record.resources->payload);
  d->flags = 0xFFFFFFFF;
  d->flags2 = 0xFFFFFFFF;
  d->displayMode = 6;
  d->backfill.kind = 2;
  d->backfill.startColor = d->backfill.endColor = -1;
  r_.context.keepDeclaredDisplays = 1;
  ASSERT_EQ(PreloadDeclaredResources(L_, &r_.context, &r_.record), 0);
  std::string got;
  for (const std::string& f : displayTable) got += (got.empty() ? "" : " ") + f;
  EXPECT_EQ(got,
            "active=1 alwaysontop=1 backfill.scalepicture=0 backfill.smoothscale=0 "
            "backfill.type=gradient backfill.x=-100000 backfill.y=-100000 borderless=1 "
            "color=0 disableblanker=1 fitscale=1 fixed=1 height=480 hidden=1 "
            "hidefromtaskbar=1 hideoptionsmenu=1 hidepointer=1 keepproportions=1 "
            "keepscreenon=1 layers=1 maximized=1 mode=fakefullscreen nativeunits=1 noclose=1 "
            "nocyclermenu=1 nohardwarescale=1 nohide=1 noliveresize=1 nomodeswitch=1 "
            "noscaleengine=1 rememberposition=1 scalemode=2 singlemenu=1 sizeable=1 "
            "smoothscale=1 title=one traprmb=1 width=640 x=-100000 y=-100000");
}

// The preferences a fake file holds: "__placement" with display 1's entry.
int placementSizeable = 1;
ErrorCode loadPlacement(VmState* L, int table) {
  VmPushString(L, "__placement");
  VmNewTable(L);
  VmPushNumber(L, 1);
  VmNewTable(L);
  SetTableFieldInt(L, "x", 11);
  SetTableFieldInt(L, "y", 22);
  SetTableFieldInt(L, "width", 300);
  SetTableFieldInt(L, "height", 200);
  SetTableFieldInt(L, "autoscale", 0);
  SetTableFieldInt(L, "layerscale", 0);
  SetTableFieldInt(L, "sizeable", placementSizeable);
  SetTableFieldString(L, "osdata", "os");
  VmSetTable(L, -3);
  VmSetTable(L, table);
  return ERR_NONE;
}

// A display declared with "rememberposition" opens where the preferences
// say it was, unless it was made with other sizing, the command line
// overrides placement, or the flag is off.
TEST_F(Preload, RememberedPlacementReachesCreateDisplay) {
  struct Case {
    const char* name;
    uint32_t flags;
    int storedSizeable;
    int override;
    const char* expected;
  };
  const char* declared = "__placement=- height=480 width=640 x=-100000";
  const char* stored = "__placement=os height=200 width=300 x=11";
  const Case cases[] = {
      {"remembered", DSF_REMEMBERPOSITION | DSF_SIZEABLE, 1, 0, stored},
      {"other sizing", DSF_REMEMBERPOSITION | DSF_SIZEABLE, 0, 0, declared},
      {"overridden", DSF_REMEMBERPOSITION | DSF_SIZEABLE, 1, 1, declared},
      {"not remembered", DSF_SIZEABLE, 1, 0, declared},
  };
  VmPushCClosure(L_, tableCreateDisplay, 0);
  VmPushString(L_, "createdisplay");
  VmInsert(L_, -2);
  VmSetTable(L_, VM_GLOBALS_INDEX);
  const PrefsFileHooks prefs = {loadPlacement, nullptr};
  SetPrefsFileHooks(&prefs);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    placementSizeable = c.storedSizeable;
    player.overridePlacement = c.override;
    ASSERT_EQ(AddDefaultDisplay(&r_.record, "one"), 0);
    static_cast<DisplayDescription*>(r_.record.resources->payload)->flags = c.flags;
    ASSERT_EQ(PreloadDeclaredResources(L_, &r_.context, &r_.record), 0);
    std::string got;
    for (const std::string& f : displayTable)
      if (f.rfind("__placement=", 0) == 0 || f.rfind("x=", 0) == 0 || f.rfind("width=", 0) == 0 ||
          f.rfind("height=", 0) == 0)
        got += (got.empty() ? "" : " ") + f;
    if (got.find("__placement=") == std::string::npos) got = "__placement=- " + got;
    EXPECT_EQ(got, c.expected);
  }
  player.overridePlacement = 0;
  SetPrefsFileHooks(nullptr);
}

}  // namespace
