// Fonts linked into an applet, in the built player: a declared TrueType
// font whose linked data carries a flags word and a block opens at start-up
// and by name from the script; a block that runs past the data ends the
// start-up with the short-read error, which the player reports.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "engine/engine.h"
#include "runtime/runtime.h"
#include "tests/e2e/player_run.h"
#include "tests/e2e/xvfb_suite.h"

namespace {

// Bytes as a qmasm string.
std::string asQmasmString(const std::string& bytes) {
  std::string out = "\"";
  char hex[8];
  for (unsigned char c : bytes) {
    std::snprintf(hex, sizeof hex, "\\x%02X", c);
    out += hex;
  }
  return out + "\"";
}

class FontPlayer : public e2e::XvfbSuite<> {
 protected:
  void SetUp() override {
    e2e::XvfbSuite<>::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    std::ifstream in("/usr/share/fonts/truetype/ttf-bitstream-vera/Vera.ttf", std::ios::binary);
    vera_.assign(std::istreambuf_iterator<char>(in), {});
    ASSERT_EQ(vera_.size(), 65932u);
  }
  e2e::RunResult run(const std::string& text) {
    e2e::WriteFile(dir_ / "a.qma", e2e::Assemble(text));
    return e2e::Run(e2e::PLAYER, {"-quiet", "-debugdevice", "stdout", dir_ / "a.qma"},
                    server_->name(), dir_.path());
  }

  e2e::TempDir dir_;
  std::string vera_;
};

TEST_F(FontPlayer, LinkedTrueTypeFontOpensByName) {
  // Flags word 6: TrueType data behind a 3-byte block.
  std::string text = ".applet font 1 \"LinkedVera\" 20 0 be32:6 be32:3 \"xyz\" ";
  text.append(asQmasmString(vera_));
  text.append(
      "\n.line 1\n"
      "GETGLOBAL 0, \"setfont\"\nLOADCONST 1, \"LinkedVera\"\nLOADNUM 2, 14\nCALL 0, 3, 1\n"
      "GETGLOBAL 0, \"getattribute\"\nLOADNUM 1, ");
  text.append(std::to_string(OBJTYPE_FONT)).append("\nLOADNUM 2, 0\nLOADNUM 3, ");
  text.append(std::to_string(ATTRCOUNT))
      .append(
          "\nCALL 0, 4, 2\n"
          "GETGLOBAL 1, \"debugprint\"\nLOADCONST 2, \"fonts\"\nMOVE 3, 0\nCALL 1, 3, 1\n"
          "RETURN 0, 1\n");
  e2e::RunResult r = run(text);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "fonts 1\n") << r.err;
}

TEST_F(FontPlayer, BlockPastTheDataEndsTheStartUp) {
  std::string text =
      ".applet font 1 \"Cut\" 20 0 be32:6 be32:1000 \"short\"\n"
      ".line 1\n"
      "RETURN 0, 1\n";
  e2e::RunResult r = run(text);
  EXPECT_EQ(r.status, 1);  // a failed start-up
  char message[1024];
  GetErrorText(ERR_READ, message, sizeof message);
  EXPECT_NE(r.out.find(message), std::string::npos) << r.out << r.err;
}

}  // namespace
