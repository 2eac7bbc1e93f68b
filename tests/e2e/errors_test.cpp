// The error contract between a command and the script that calls it, in
// the built player: a bad call of every library, run under CALLCATCH (the
// script receives the code), with ExitOnError(False) (the script goes on
// and GetLastError gives the code) and with a RaiseOnError handler (the
// handler runs with the code). A typed argument error is raised in all
// three: it ends the run without reaching the handler.
#include <gtest/gtest.h>

#include <cctype>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "display/display.h"
#include "engine/engine.h"
#include "libs/libs_private.h"
#include "runtime/runtime.h"
#include "tests/e2e/player_run.h"
#include "tests/e2e/xvfb_suite.h"
#include "tests/platform/xvfb.h"

namespace {

// One command call. An argument is a number ("4242"), a string ("'x'") or
// a table of numbers ("{mask=1,alphachannel=1}").
struct Call {
  const char* command;
  std::vector<std::string> args;
};

struct Case {
  const char* library;
  Call call;
  ErrorCode code;
  std::vector<Call> before = {};  // run first; each must succeed
  std::vector<Call> after = {};   // puts back what `before` changed
};

std::string num(int32_t n) { return std::to_string(n); }

// Brush 1 (16 x 16 with a mask), brush 3 (with an alpha channel), anim 1
// made of brush 1 and background picture 2 exist from the start.
const std::vector<Call> PROLOGUE = {
    {"CreateBrush", {"1", "16", "16", "0", "{mask=1}"}},
    {"CreateBrush", {"3", "16", "16", "0", "{alphachannel=1}"}},
    {"CreateAnim", {"1", "1", "16", "16", "1", "1"}},
    {"CreateBGPic", {"2", "16", "16"}},
};

const std::vector<Case>& cases() {
  static const std::vector<Case> table = {
      {"string", {"UnleftStr", {"'abc'", "-1"}}, ERR_WRONGUSAGE},
      {"math", {"Mod", {"1", "0"}}, ERR_ZERODIVISION},
      {"graphics", {"FreeClipRegion", {"4242"}}, ERR_FINDCLIPREGION},
      {"graphics", {"SetPointer", {"4242"}}, ERR_FINDPOINTER},
      {"graphics", {"CancelAsyncDraw", {"4242"}}, ERR_FINDASYNCDRAW},
      {"graphics", {"MixRGB", {"0", "0", "300"}}, ERR_WRONGUSAGE},
      {"graphics", {"SaveSnapshot", {"'x.png'", "7"}}, ERR_WRONGUSAGE},
      {"graphics", {"GetAttribute", {num(OBJTYPE_LAYER), "1", num(ATTRWIDTH)}}, ERR_NOLAYERS},
      {"draw",
       {"Box", {"0", "0", "8", "8"}},
       ERR_FINDBRUSH,
       {{"SetFillStyle", {num(FILLTEXTURE), "4242"}}},
       {{"SetFillStyle", {num(FILLCOLOR)}}}},
      {"moveobject", {"MoveBrush", {"4242", "0", "0", "8", "8"}}, ERR_FINDBRUSH},
      {"moveobject",
       {"GetAttribute", {num(OBJTYPE_MOVELIST), "4242", num(ATTRWIDTH)}},
       ERR_FINDMOVE},
      {"dos", {"CloseFile", {"4242"}}, ERR_FINDFILE},
      {"dos",
       {"ReadLine", {"1"}},
       ERR_WRITEONLY,
       {{"OpenFile", {"1", "'w.txt'", num(MODE_WRITE)}}},
       {{"CloseFile", {"1"}}}},
      {"dos",
       {"WriteLine", {"1", "'x'"}},
       ERR_READONLY,
       {{"OpenFile", {"1", "'w.txt'", num(MODE_READ)}}},
       {{"CloseFile", {"1"}}}},
      {"dos", {"CloseDirectory", {"4242"}}, ERR_FINDDIR},
      {"dos", {"GetAttribute", {num(OBJTYPE_FILE), "4242", num(ATTRMODE)}}, ERR_FINDFILE},
      {"event", {"ClearInterval", {"4242"}}, ERR_FINDINTERVAL},
      {"event", {"ClearTimeout", {"4242"}}, ERR_FINDTIMEOUT},
      {"system", {"StopTimer", {"4242"}}, ERR_FINDTIMER},
      {"system", {"DateToTimestamp", {"'32-Jan-2020 00:00:00'"}}, ERR_INVALIDDATE},
      {"layers",
       {"NextFrame", {"1"}},
       ERR_NOANMLAYER,
       {{"EnableLayers", {}}, {"DisplayBrush", {"1", "0", "0"}}},
       {{"RemoveLayers", {}}, {"DisableLayers", {}}}},
      {"layers",
       {"GetAttribute", {num(OBJTYPE_LAYER), "1", num(ATTRNUMFRAMES)}},
       ERR_NOANMLAYER,
       {{"EnableLayers", {}}, {"DisplayBrush", {"1", "0", "0"}}},
       {{"RemoveLayers", {}}, {"DisableLayers", {}}}},
      {"text",
       {"GetAttribute", {num(OBJTYPE_TEXTOBJECT), "4242", num(ATTRWIDTH)}},
       ERR_FINDTEXTOBJECT},
      {"text", {"FreeTextObject", {"4242"}}, ERR_FINDTEXTOBJECT},
      {"anim", {"FreeAnim", {"4242"}}, ERR_FINDANIM},
      {"display", {"CloseDisplay", {"4242"}}, ERR_FINDDISPLAY},
      {"display", {"EnableMenuItem", {"1", "'x'"}}, ERR_NOMENU},
      {"sound", {"StopSample", {"4242"}}, ERR_FINDSAMPLE},
      {"sound", {"StopMusic", {"4242"}}, ERR_FINDMUSIC},
      {"brush", {"FreeBrush", {"4242"}}, ERR_FINDBRUSH},
      {"brush", {"BlurBrush", {"1", "-1"}}, ERR_WRONGUSAGE},
      {"brush", {"BlurBrush", {"1"}}, ERR_MODIFYABR, {{"SelectBrush", {"1"}}}, {{"EndSelect", {}}}},
      {"bgpic", {"FreeBGPic", {"4242"}}, ERR_FINDBGPIC},
      {"transitionfx", {"DisplayBrushFX", {"4242", "0", "0"}}, ERR_FINDBRUSH},
      {"sprite", {"FreeSprite", {"4242"}}, ERR_FINDSPRITE},
      {"sprite",
       {"DisplaySprite", {"4242", "0", "0"}},
       ERR_SELECTBRUSH,
       {{"SelectBrush", {"1"}}},
       {{"EndSelect", {}}}},
      {"sprite",
       {"DisplaySprite", {"4242", "0", "0"}},
       ERR_ENDDOUBLEBUFFER,
       {{"BeginDoubleBuffer", {}}},
       {{"EndDoubleBuffer", {}}}},
      {"sprite",
       {"DisplaySprite", {"4242", "0", "0"}},
       ERR_SELECTANIM,
       {{"SelectAnim", {"1", "1"}}},
       {{"EndSelect", {}}}},
      {"sprite",
       {"RemoveSprite", {"4242"}},
       ERR_SELECTBG,
       {{"EnableLayers", {}}, {"SelectBGPic", {"2"}}},
       {{"EndSelect", {}}, {"DisableLayers", {}}}},
      {"sprite",
       {"RemoveSprites", {}},
       ERR_SELECTMASK,
       {{"SelectMask", {"1"}}},
       {{"EndSelect", {}}}},
      {"sprite",
       {"SetSpriteZPos", {"4242", "1"}},
       ERR_SELECTALPHACHANNEL,
       {{"SelectAlphaChannel", {"3"}}},
       {{"EndSelect", {}}}},
      {"sprite",
       {"DisplaySprite", {"4242", "0", "0"}},
       ERR_LAYERSOFF,
       {{"EnableLayers", {}}},
       {{"DisableLayers", {}}}},
      {"memblock", {"FreeMem", {"4242"}}, ERR_FINDMEMBLK},
      {"vectorgraphics", {"FreePath", {"4242"}}, ERR_FINDPATH},
      {"vectorgraphics", {"GetPathExtents", {"4242"}}, ERR_FINDPATH},
      {"vectorgraphics", {"MoveTo", {"4242", "0", "0"}}, ERR_FINDPATH},
      {"vectorgraphics", {"DrawPath", {"4242", "0", "0"}}, ERR_FINDPATH},
      {"icon", {"FreeIcon", {"4242"}}, ERR_FINDICON},
      {"serial", {"FlushSerialPort", {"4242"}}, ERR_FINDSERIAL},
      {"serial", {"CloseSerialPort", {"4242"}}, ERR_FINDSERIAL},
      {"network", {"CloseConnection", {"4242"}}, ERR_FINDCLIENT},
      {"video", {"CloseVideo", {"4242"}}, ERR_FINDVIDEO},
      {"arexx", {"SendRexxCommand", {"'port'", "'command'"}}, ERR_UNSUPPORTEDFEAT},
  };
  return table;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Loads the command and its arguments into registers base, base + 1, ...
// and returns the count of arguments.
int load(std::string& out, const Call& c, int base) {
  out += "GETGLOBAL " + num(base) + ", \"" + lower(c.command) + "\"\n";
  int r = base + 1;
  for (const std::string& a : c.args) {
    if (a[0] == '\'') {
      out += "LOADCONST " + num(r) + ", \"" + a.substr(1, a.size() - 2) + "\"\n";
    } else if (a[0] == '{') {
      out += "NEWTABLE " + num(r) + ", 0, 0\n";
      std::stringstream fields(a.substr(1, a.size() - 2));
      for (std::string f; std::getline(fields, f, ',');) {
        size_t eq = f.find('=');
        out += "SETTABLE " + num(r) + ", \"" + f.substr(0, eq) + "\", #" + f.substr(eq + 1) + "\n";
      }
    } else {
      out += "LOADCONST " + num(r) + ", #" + a + "\n";
    }
    ++r;
  }
  return static_cast<int>(c.args.size());
}

void plainCall(std::string& out, const Call& c) {
  int n = load(out, c, 0);
  out += "CALL 0, " + num(n + 1) + ", 1\n";
}

// DebugPrint(label, value in register 0 or the text given).
void print(std::string& out, const std::string& label, const char* text = nullptr) {
  out += "GETGLOBAL 1, \"debugprint\"\nLOADCONST 2, \"" + label + "\"\n";
  out += text ? "LOADCONST 3, \"" + std::string(text) + "\"\n" : "MOVE 3, 0\n";
  out += "CALL 1, 3, 1\n";
}

enum class Mode { Catch, Continue, Handler };

// The applet of one mode: every case in table order, each printing
// "case <index> <code>" (or "case <index> after" in the handler mode, whose
// handler prints "handler <code>"), then Wait("abc"), a typed argument
// error, and a line that must not be reached.
std::string applet(Mode mode) {
  std::string out = ".line 1\n";
  for (const Call& c : PROLOGUE) plainCall(out, c);
  if (mode == Mode::Continue) out += "GETGLOBAL 0, \"exitonerror\"\nLOADNUM 1, 0\nCALL 0, 2, 1\n";
  if (mode == Mode::Handler) out += "GETGLOBAL 0, \"raiseonerror\"\nCLOSURE 1, h\nCALL 0, 2, 1\n";
  for (size_t i = 0; i < cases().size(); ++i) {
    const Case& k = cases()[i];
    out += ".line " + num(static_cast<int32_t>(i) + 2) + "\n";
    for (const Call& c : k.before) plainCall(out, c);
    int n = load(out, k.call, 0);
    const std::string label = "case " + num(static_cast<int32_t>(i));
    switch (mode) {
      case Mode::Catch:
        out += "CALLCATCH 0, " + num(n + 1) + ", 2\n";
        print(out, label);
        break;
      case Mode::Continue:
        out += "CALL 0, " + num(n + 1) + ", 1\n";
        out += "GETGLOBAL 0, \"getlasterror\"\nCALL 0, 1, 2\n";
        print(out, label);
        break;
      case Mode::Handler:
        out += "CALL 0, " + num(n + 1) + ", 1\n";
        print(out, label, "after");
        break;
    }
    for (const Call& c : k.after) plainCall(out, c);
  }
  out += ".line 900\n";
  plainCall(out, Call{"Wait", {"'abc'"}});
  print(out, "not", "reached");
  out += "RETURN 0, 1, 0\n";
  if (mode == Mode::Handler)
    out +=
        ".function h\n.params 4\nGETGLOBAL 4, \"debugprint\"\nLOADCONST 5, \"handler\"\n"
        "MOVE 6, 0\nCALL 4, 3, 1\nRETURN 0, 1\n.end\n";
  return out;
}

class ErrorContract : public e2e::XvfbSuite<::testing::TestWithParam<Mode>> {
 protected:
  e2e::TempDir dir_;
};

TEST_P(ErrorContract, EveryLibraryReturnsItsErrorsAndTypedArgumentsRaise) {
  const Mode mode = GetParam();
  e2e::WriteFile(dir_ / "a.qma", e2e::Assemble(applet(mode)));
  e2e::RunResult r = e2e::Run(e2e::PLAYER, {"-quiet", "-debugdevice", "stdout", dir_ / "a.qma"},
                              server_->name(), dir_.path());
  std::vector<std::string> lines;
  std::stringstream in(r.out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);

  size_t at = 0;
  for (size_t i = 0; i < cases().size(); ++i) {
    const Case& k = cases()[i];
    SCOPED_TRACE(std::string(k.library) + ": " + k.call.command);
    const std::string label = "case " + std::to_string(i);
    if (mode == Mode::Handler) {
      ASSERT_LT(at + 1, lines.size()) << r.out;
      EXPECT_EQ(lines[at], "handler " + std::to_string(k.code)) << r.out;
      EXPECT_EQ(lines[at + 1], label + " after") << r.out;
      at += 2;
    } else {
      ASSERT_LT(at, lines.size()) << r.out;
      EXPECT_EQ(lines[at], label + " " + std::to_string(k.code)) << r.out;
      at += 1;
    }
  }
  // The typed argument error ends the run in every mode: no handler, no
  // next line, and the report names it.
  char text[256];
  SetErrorArgNumber(1);
  GetErrorText(ERR_NUMEXPECTED, text, sizeof text);
  ASSERT_LT(at, lines.size()) << r.out;
  EXPECT_NE(lines[at].find(text), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("handler " + std::to_string(ERR_NUMEXPECTED)), std::string::npos);
  EXPECT_EQ(r.out.find("not reached"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Modes, ErrorContract,
                         ::testing::Values(Mode::Catch, Mode::Continue, Mode::Handler),
                         [](const ::testing::TestParamInfo<Mode>& info) {
                           switch (info.param) {
                             case Mode::Catch:
                               return std::string("CallCatch");
                             case Mode::Continue:
                               return std::string("ExitOnErrorOff");
                             case Mode::Handler:
                               return std::string("RaiseOnErrorHandler");
                           }
                           return std::string();
                         });

// Whole runs that must end by themselves, with their exit status and what
// they print: the message port commands with hostile input, End under a
// RaiseOnError handler, and an error inside an event callback, which is
// not handed to the handler there: it ends the callback, comes back from
// the waiting command, and the handler takes it at the top level.
const char* const HANDLER =
    ".function h\n.params 4\n.line 50\nGETGLOBAL 4, \"debugprint\"\nLOADCONST 5, \"handler\"\n"
    "MOVE 6, 0\nMOVE 7, 1\nMOVE 8, 2\nMOVE 9, 3\nCALL 4, 6, 1\nRETURN 0, 1\n.end\n";

struct EndingCase {
  const char* name;
  std::string applet;
  int status;
  std::vector<std::string> printed;  // each must be in the output, in order
};

std::vector<EndingCase> endingCases() {
  const std::string install = ".line 1\nGETGLOBAL 0, \"raiseonerror\"\nCLOSURE 1 h\nCALL 0, 2, 1\n";
  return {
      {"a command cut inside a character",
       ".line 1\nGETGLOBAL 0, \"sendmessage\"\nLOADNUM 1, 1\nLOADCONST 2, \"\\xe2\\x82\"\n"
       "CALL 0, 3, 1\nRETURN 0, 1\n",
       1,
       {"Could not find port 1! (In function: SendMessage)"}},
      {"a port named with a cut character",
       ".line 1\nGETGLOBAL 0, \"sendmessage\"\nLOADCONST 1, \"\\xe2\\x82\"\nLOADCONST 2, \"x\"\n"
       "TAILCALL 0, 3, 0\nRETURN 0, 0\n",
       1,
       {"Could not find port \xe2\x82!"}},
      {"a port to create",
       ".line 1\nGETGLOBAL 0, \"createport\"\nLOADCONST 1, \"x\"\nCALL 0, 2, 1\nRETURN 0, 1\n",
       1,
       {"Cannot create message port! (In function: CreatePort)"}},
      {"a port caught",
       ".line 1\nGETGLOBAL 0, \"createport\"\nLOADCONST 1, \"\\xe2\\x82\"\nCALLCATCH 0, 2, 2\n"
       "GETGLOBAL 1, \"debugprint\"\nMOVE 2, 0\nCALL 1, 2, 1\nRETURN 0, 1\n",
       0,
       {std::to_string(ERR_CREATEPORT)}},
      {"End under a handler",
       install + ".line 2\nGETGLOBAL 0, \"end\"\nLOADNUM 1, 3\nCALL 0, 2, 1\nRETURN 0, 1\n" +
           HANDLER,
       3,
       {}},
      {"an error in an event callback",
       install +
           ".line 2\nGETGLOBAL 0, \"settimeout\"\nLOADNIL 1, 1\nCLOSURE 2 cb\nLOADNUM 3, 10\n"
           "CALL 0, 4, 1\n.line 3\nGETGLOBAL 0, \"waitevent\"\nCALL 0, 1, 1\n.line 4\n"
           "GETGLOBAL 0, \"debugprint\"\nLOADCONST 1, \"after\"\nCALL 0, 2, 1\n"
           "GETGLOBAL 0, \"end\"\nLOADNUM 1, 4\nCALL 0, 2, 1\nRETURN 0, 1\n" +
           HANDLER +
           ".function cb\n.line 20\nGETGLOBAL 0, \"mod\"\nLOADNUM 1, 1\nLOADNUM 2, 0\n"
           "CALL 0, 3, 1\n.line 21\nGETGLOBAL 0, \"debugprint\"\nLOADCONST 1, \"not reached\"\n"
           "CALL 0, 2, 1\nRETURN 0, 1\n.end\n",
       4,
       {"handler " + std::to_string(ERR_ZERODIVISION) + " Division by zero! Mod 20", "after"}},
  };
}

class Endings : public e2e::XvfbSuite<::testing::Test> {
 protected:
  e2e::TempDir dir_;
};

TEST_F(Endings, RunsEndByThemselvesWithTheirStatus) {
  for (const EndingCase& c : endingCases()) {
    SCOPED_TRACE(c.name);
    e2e::WriteFile(dir_ / "a.qma", e2e::Assemble(c.applet));
    e2e::RunResult r = e2e::Child(e2e::PLAYER, {"-quiet", "-debugdevice", "stdout", dir_ / "a.qma"},
                                  server_->name(), dir_.path())
                           .Finish(std::chrono::seconds(30));
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    size_t at = 0;
    for (const std::string& text : c.printed) {
      at = r.out.find(text, at);
      EXPECT_NE(at, std::string::npos) << text << "\n" << r.out;
      if (at == std::string::npos) break;
    }
    EXPECT_EQ(r.out.find("not reached"), std::string::npos) << r.out;
  }
}

}  // namespace
