// The dos library in the built player: a directory tree linked into the
// applet walked through the start-up's preload, and a program linked into
// the applet extracted once, run and deleted at the end.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/e2e/player_run.h"
#include "tests/e2e/xvfb_suite.h"
#include "tests/platform/xvfb.h"

namespace {

using e2e::Bytes;

// The applet with the marker's offset patched in until it stands where the
// marker is: the offsets are fixed-width, so the layout does not move.
Bytes assembleWithOffsets(const std::string& text, const std::string& marker) {
  auto patch = [&](size_t offset) {
    std::string patched = text;
    for (size_t pos; (pos = patched.find("be32:OFFSET")) != std::string::npos;)
      patched.replace(pos, 11, "be32:" + std::to_string(offset));
    for (size_t pos; (pos = patched.find("be32:NEXT")) != std::string::npos;)
      patched.replace(pos, 9, "be32:" + std::to_string(offset + 6));
    return patched;
  };
  Bytes applet = e2e::Assemble(patch(0));
  auto at = std::search(applet.begin(), applet.end(), marker.begin(), marker.end());
  if (at == applet.end()) {
    ADD_FAILURE() << "marker not found";
    return applet;
  }
  return e2e::Assemble(patch(static_cast<size_t>(at - applet.begin())));
}

class DosPlayer : public e2e::XvfbSuite<> {
 protected:
  e2e::RunResult run(const Bytes& applet) {
    e2e::WriteFile(dir_ / "a.qma", applet);
    return e2e::Run(e2e::PLAYER, {"-quiet", "-debugdevice", "stdout", dir_ / "a.qma"},
                    server_->name(), dir_.path());
  }

  e2e::TempDir dir_;
};

TEST_F(DosPlayer, LinkedDirectoryTreeWalks) {
  // Directory 1: "hello.txt" (5 bytes at the marker) and "sub" holding
  // "deep.txt" (4 bytes after it); the data sit in an embedded file.
  std::string text =
      ".applet file \"data.bin\" \"HELLO DEEP\"\n"
      ".applet section 2 be32:1 18 be32:1 be32:0 be32:0 be32:0 be32:0 be32:1 be32:0 be32:0 "
      "be16:0 be16:0 "
      "1 be16:9 \"hello.txt\" be32:OFFSET be32:5 "
      "2 be16:3 \"sub\" 1 be16:8 \"deep.txt\" be32:NEXT be32:4 0 "
      "0\n"
      ".line 1\n"
      "GETGLOBAL 0, \"nextdirectoryentry\"\nLOADNUM 1, 1\nCALL 0, 2, 2\n"
      "GETTABLE 1, 0, \"name\"\nGETTABLE 2, 0, \"flags\"\n"
      "GETGLOBAL 3, \"debugprint\"\nMOVE 4, 1\nMOVE 5, 2\nCALL 3, 3, 1\n"
      "GETGLOBAL 3, \"getdirectoryentry\"\nLOADNUM 4, 1\nLOADCONST 5, \"hello.txt\"\nCALL 3, 3, 2\n"
      "GETGLOBAL 4, \"filetostring\"\nMOVE 5, 3\nCALL 4, 2, 2\n"
      "GETGLOBAL 5, \"debugprint\"\nMOVE 6, 4\nCALL 5, 2, 1\n"
      "GETGLOBAL 3, \"getdirectoryentry\"\nLOADNUM 4, 1\nLOADCONST 5, \"sub\"\nCALL 3, 3, 2\n"
      "GETGLOBAL 4, \"opendirectory\"\nLOADNUM 5, 2\nMOVE 6, 3\nCALL 4, 3, 1\n"
      "GETGLOBAL 4, \"getdirectoryentry\"\nLOADNUM 5, 2\nLOADCONST 6, \"DEEP.TXT\"\nCALL 4, 3, 2\n"
      "GETGLOBAL 5, \"filetostring\"\nMOVE 6, 4\nCALL 5, 2, 2\n"
      "GETGLOBAL 6, \"debugprint\"\nMOVE 7, 5\nCALL 6, 2, 1\n"
      "RETURN 0, 1\n";
  e2e::RunResult r = run(assembleWithOffsets(text, "HELLO DEEP"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "hello.txt 15\nHELLO\nDEEP\n") << r.err;
}

std::vector<std::string> extractedCopies(const std::string& name) {
  std::vector<std::string> found;
  DIR* d = opendir("/tmp");
  if (!d) return found;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n.rfind("quillmere.", 0) == 0 && n.size() > name.size() &&
        n.compare(n.size() - name.size(), name.size(), name) == 0)
      found.push_back(n);
  }
  closedir(d);
  return found;
}

TEST_F(DosPlayer, LinkedProgramIsExtractedOnceAndDeleted) {
  std::string name = "qmtool" + std::to_string(getpid()) + ".sh";
  std::string text = ".applet file \"" + name + "\" \"#!/bin/sh\\necho $0 >> ran.txt\\n\"\n" +
                     ".line 1\n"
                     "GETGLOBAL 0, \"execute\"\nLOADCONST 1, \"" +
                     name +
                     "\"\nCALL 0, 2, 1\n"
                     "GETGLOBAL 0, \"execute\"\nLOADCONST 1, \"" +
                     name +
                     "\"\nCALL 0, 2, 1\n"
                     "RETURN 0, 1\n";
  e2e::RunResult r = run(e2e::Assemble(text));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "") << r.err;
  std::string ran = e2e::ReadText(dir_ / "ran.txt");
  size_t first = ran.find('\n');
  ASSERT_NE(first, std::string::npos) << ran;
  // Both runs used the same extracted file, which ended with the run.
  EXPECT_EQ(ran, ran.substr(0, first + 1) + ran.substr(0, first + 1));
  EXPECT_NE(ran.find(name), std::string::npos);
  EXPECT_EQ(access(ran.substr(0, first).c_str(), F_OK), -1);
  EXPECT_TRUE(extractedCopies(name).empty());
}

}  // namespace
