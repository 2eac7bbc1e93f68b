// The TrueType engine through the text library: the built-in Vera faces,
// sizing, pen positions, kerning and glyph bitmaps against python3-freetype
// (tests/text/truetype_ref.py), the glyph cache, and discovery of font
// files by family and style against fc-scan, with collection and
// resource-file fixtures from tests/text/collection_fixtures.py.
#include <gtest/gtest.h>

#include <ft2build.h>
#include FT_FREETYPE_H

#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "gfx/bitmap_private.h"
#include "gfx/gfx.h"
#include "runtime/runtime.h"
#include "tests/support/harness.h"
#include "text/font_private.h"

namespace {

constexpr const char* VERA_DIR = "/usr/share/fonts/truetype/ttf-bitstream-vera/";
constexpr const char* DEJAVU_DIR = "/usr/share/fonts/truetype/dejavu/";

std::string run(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  pclose(p);
  return out;
}

// A fresh folder, removed with everything in it when the test ends.
struct TempDir {
  std::string path;
  TempDir() {
    char pattern[] = "/tmp/qm_tt_XXXXXX";
    if (mkdtemp(pattern)) path = pattern;
  }
  ~TempDir() {
    if (!path.empty()) std::system(("rm -rf " + path).c_str());
  }
  operator const std::string&() const { return path; }
};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class TrueTypeTest : public ::testing::Test {
 protected:
  ErrorCode setFont(const std::string& name, int size) {
    VmPushString(h.L, name.c_str());
    VmPushNumber(h.L, size);
    ErrorCode e = h.Call("SetFont", 2);
    VmSetTop(h.L, 0);
    return e;
  }
  ErrorCode addFontPath(const std::string& path) {
    VmPushString(h.L, path.c_str());
    ErrorCode e = h.Call("AddFontPath", 1);
    VmSetTop(h.L, 0);
    return e;
  }
  FontRecord* open(const std::string& name, int size) {
    EXPECT_EQ(setFont(name, size), 0) << name;
    return GetCurrentFont();
  }
  PlayerHarness h;
};

TEST_F(TrueTypeTest, BuiltinFacesAreTheDebianFilesAndNeedNoFontFolder) {
  const char* files[] = {"Vera.ttf", "VeraSe.ttf", "VeraMono.ttf"};
  const size_t sizes[] = {65932, 60280, 49224};
  for (int i = 0; i < 3; i++) {
    std::string file = readFile(std::string(VERA_DIR) + files[i]);
    ASSERT_EQ(GetBuiltinFaceSize(i), sizes[i]);
    ASSERT_EQ(file.size(), sizes[i]);
    EXPECT_EQ(std::memcmp(file.data(), BUILTIN_FACES[i].data, sizes[i]), 0) << files[i];
  }
  const char* home = std::getenv("HOME");
  std::string saved = home ? home : "";
  setenv("HOME", "", 1);
  FontRecord* serif = open("Bitstream Vera Serif", 12);
  if (home) setenv("HOME", saved.c_str(), 1);
  ASSERT_NE(serif, nullptr);
  EXPECT_EQ(serif->type, FONT_TRUETYPE);
  EXPECT_STREQ(static_cast<FT_Face>(GetTrueTypeFace(serif))->family_name, "Bitstream Vera Serif");

  // The aliases open the built-in faces.
  const std::pair<const char*, const char*> aliases[] = {
      {":::default_truetype", "Bitstream Vera Sans"},
      {":::default_sans", "Bitstream Vera Sans"},
      {":::default_serif", "Bitstream Vera Serif"},
      {":::default_mono", "Bitstream Vera Sans Mono"},
  };
  for (const auto& [alias, family] : aliases) {
    FontRecord* f = open(alias, 10);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->type, FONT_TRUETYPE) << alias;
    EXPECT_STREQ(f->name, family) << alias;
  }
  EXPECT_EQ(setFont("Bitstream Vera Sans", 0), 1064) << "a size below 1";
}

// Sizes, pen positions, kerning and glyph bitmaps of Vera Sans against
// FreeType's own values.
TEST_F(TrueTypeTest, VeraSansMatchesFreeType) {
  TempDir temp;
  const std::string& dir = temp;
  ASSERT_EQ(
      std::system(("/usr/bin/python3 " QM_SOURCE_DIR "/tests/text/truetype_ref.py " + dir).c_str()),
      0);
  std::ifstream in(dir + "/truetype.txt");
  std::string line;
  const std::string text = "AVAWAY To.";
  int glyphs = 0;
  while (std::getline(in, line)) {
    std::istringstream w(line);
    std::string kind;
    int size;
    w >> kind >> size;
    SCOPED_TRACE(line);
    FontRecord* f = open("Bitstream Vera Sans", size);
    ASSERT_NE(f, nullptr);
    if (kind == "size") {
      int height, baseline, sizeValue;
      w >> height >> baseline >> sizeValue;
      EXPECT_EQ(f->height, height);
      EXPECT_EQ(f->baseline, baseline);
      EXPECT_EQ(GetTrueTypeSizeValue(f), sizeValue);
      for (size_t i = 0; i < text.size(); i++) {
        int pen;
        w >> pen;
        TextExtent e{};
        MeasureFontText(f, text.data(), i + 1, 0, 0, &e);
        EXPECT_EQ(e.width, pen) << "after " << text.substr(0, i + 1);
      }
    } else if (kind == "kern") {
      int pixels;
      w >> pixels;
      EXPECT_EQ(GetFontKerning(f, "AV", 2, 0), pixels);
      if (size == 72) {
        EXPECT_NE(pixels, 0);
      }
      if (size <= 16) {
        EXPECT_EQ(pixels, 0);
      }
    } else {
      std::string mode;
      int code, left, top, width, rows;
      w >> mode >> code >> left >> top >> width >> rows;
      std::vector<std::string> expect(rows);
      for (std::string& r : expect) std::getline(in, r);
      const bool aa = mode == "aa";
      const int W = size * 3, H = size * 3, x0 = size, y0 = size / 2;
      OwnedBitmap target(aa ? AllocAlphaChannel(W, H, 1, nullptr, 0)
                            : AllocBitMask(nullptr, W, H, 1, nullptr, 0));
      ASSERT_TRUE(target);
      char c = char(code);
      DrawFontText(f, aa ? target.get() : nullptr, aa ? nullptr : target.get(), x0, y0, &c, 1,
                   aa ? TEXTSTYLE_ANTIALIAS : 0, 0, nullptr, -1);
      BitmapLock lock;
      ASSERT_TRUE(LockBitmap(target.get(), 1, &lock));
      int gx = x0 + left, gy = y0 + f->baseline - top;
      int mismatches = 0;
      for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++) {
          const uint8_t* row = lock.address + size_t(y) * lock.rowLength;
          int got = aa ? row[x] : ((row[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0);
          int want = 0;
          if (x >= gx && x < gx + width && y >= gy && y < gy + rows)
            want = std::stoi(expect[y - gy].substr(size_t(x - gx) * 2, 2), nullptr, 16);
          mismatches += got != want;
        }
      UnlockBitmap(&lock);
      EXPECT_EQ(mismatches, 0) << mode << " '" << c << "'";
      glyphs++;
    }
  }
  EXPECT_EQ(glyphs, 50);
}

TEST_F(TrueTypeTest, CacheKerningAndBlanks) {
  FontRecord* f = open("Bitstream Vera Sans", 16);
  ASSERT_NE(f, nullptr);
  TextExtent e{};
  ASSERT_EQ(CountCachedGlyphs(f), 0);
  MeasureFontText(f, "Hello", 5, TEXTSTYLE_BOLD, 0, &e);
  MeasureFontText(f, "Hello", 5, TEXTSTYLE_ITALIC | TEXTSTYLE_ANTIALIAS, 0, &e);
  EXPECT_EQ(CountCachedGlyphs(f), 0) << "bold or italic never fills the cache";
  MeasureFontText(f, "Hello", 5, 0, 0, &e);
  EXPECT_EQ(CountCachedGlyphs(f), 4);
  MeasureFontText(f, "Hello", 5, TEXTSTYLE_ANTIALIAS, 0, &e);
  EXPECT_EQ(CountCachedGlyphs(f), 8);
  FlushFontGlyphCache(f);
  EXPECT_EQ(CountCachedGlyphs(f), 0);

  TextExtent blank{};
  MeasureFontText(f, "   ", 3, 0, 0, &blank);
  EXPECT_GT(blank.width, 0);
  EXPECT_EQ(blank.left, 0);
  EXPECT_EQ(blank.top, 0);
  EXPECT_EQ(blank.right, 0);
  EXPECT_EQ(blank.bottom, 0);
  // The ink box of a glyph below the pen's line is not stuck at a start
  // value: "." lies wholly at the baseline.
  TextExtent dot{};
  MeasureFontText(f, ".", 1, 0, 0, &dot);
  EXPECT_LE(dot.bottom, 1);
  EXPECT_GT(dot.right, dot.left);

  FontRecord* mono = open("Bitstream Vera Sans Mono", 72);
  EXPECT_EQ(GetFontKerning(mono, "AV", 2, 0), 0) << "no kerning table";
}

// Discovery lists family and style as fc-scan reads them.
TEST_F(TrueTypeTest, DiscoveryListsFamiliesAndStylesAsFcScan) {
  TempDir temp;
  const std::string& dir = temp;
  std::string copy = "cp " + std::string(VERA_DIR) + "*.ttf " + dir + " && for f in " + DEJAVU_DIR +
                     "DejaVu*.ttf; do case $f in *Condensed*|*ExtraLight*) ;; " + "*) cp $f " +
                     dir + ";; esac; done";
  ASSERT_EQ(std::system(copy.c_str()), 0);
  ASSERT_EQ(addFontPath(dir), 0);
  std::set<std::string> expected;
  std::istringstream scan(run("fc-scan --format '%{family[0]}|%{style[0]}\\n' " + dir));
  std::string line;
  while (std::getline(scan, line)) {
    expected.insert(line);
    std::string style = line.substr(line.find('|') + 1);
    if (IsRegularStyle(style.c_str())) expected.insert(line.substr(0, line.find('|') + 1));
  }
  ASSERT_GT(expected.size(), 20u);
  std::set<std::string> got;
  const DiscoveredFont* boldOblique = nullptr;
  for (const DiscoveredFont* f = GetDiscoveredFonts(); f; f = f->next) {
    if (std::string(f->path).rfind(dir, 0) != 0) continue;
    got.insert(std::string(f->family) + "|" + f->style);
    if (std::string(f->fullName) == "DejaVu Sans Bold Oblique") boldOblique = f;
  }
  EXPECT_EQ(got, expected);
  ASSERT_NE(boldOblique, nullptr);
  EXPECT_EQ(boldOblique->weight, 200);
  EXPECT_EQ(boldOblique->slant, 110);

  // The command lists the same entries.
  ASSERT_EQ(h.Call("GetAvailableFonts", 0), 0);
  int64_t n = 0;
  while (true) {
    VmRawGetI(h.L, -1, int(n));
    bool present = VmType(h.L, -1) != VM_TYPE_NIL;
    VmSetTop(h.L, 1);
    if (!present) break;
    n++;
  }
  VmSetTop(h.L, 0);
  EXPECT_GE(n, int64_t(expected.size()));
}

TEST_F(TrueTypeTest, CollectionFaceOpensThroughATemporaryCopy) {
  TempDir temp;
  const std::string& dir = temp;
  ASSERT_EQ(
      std::system(("python3 " QM_SOURCE_DIR "/tests/text/collection_fixtures.py " + dir).c_str()),
      0);
  ASSERT_EQ(addFontPath(dir + "/ttc"), 0);
  FontRecord* f = open("DejaVu Serif", 14);
  ASSERT_NE(f, nullptr);
  const char* copy = GetTrueTypeTemporaryPath(f);
  ASSERT_NE(copy, nullptr);
  std::string copyPath = copy;
  EXPECT_EQ(std::system(("python3 " QM_SOURCE_DIR "/tests/text/collection_fixtures.py "
                         "--same-tables " +
                         copyPath + " " + DEJAVU_DIR + "DejaVuSerif.ttf")
                            .c_str()),
            0);
  EXPECT_STREQ(static_cast<FT_Face>(GetTrueTypeFace(f))->family_name, "DejaVu Serif");
  // A Vera name still opens the built-in face, not a file.
  FontRecord* vera = open("Bitstream Vera Sans", 14);
  EXPECT_EQ(GetTrueTypeTemporaryPath(vera), nullptr);
  FreeTextResources();
  struct stat st;
  EXPECT_NE(stat(copyPath.c_str(), &st), 0) << "the copy is gone after shut-down";
}

TEST_F(TrueTypeTest, ResourceFilesAndMalformedCollections) {
  TempDir temp;
  const std::string& dir = temp;
  ASSERT_EQ(
      std::system(("python3 " QM_SOURCE_DIR "/tests/text/collection_fixtures.py " + dir).c_str()),
      0);
  ASSERT_EQ(addFontPath(dir + "/dfont"), 0);
  ASSERT_EQ(addFontPath(dir + "/bad"), 0);
  std::set<std::string> fromResource, fromBad;
  for (const DiscoveredFont* f = GetDiscoveredFonts(); f; f = f->next) {
    std::string path = f->path;
    if (path.find("/dfont/") != std::string::npos) fromResource.insert(f->fullName);
    if (path.find("/bad/") != std::string::npos) fromBad.insert(path.substr(path.rfind('/') + 1));
  }
  EXPECT_TRUE(fromResource.count("DejaVu Sans"));
  EXPECT_TRUE(fromResource.count("DejaVu Serif"));
  for (const char* skipped :
       {"offsets.ttc", "directory.ttc", "count.ttc", "namecut.ttf", "cut.dfont"})
    EXPECT_FALSE(fromBad.count(skipped)) << skipped;
}

}  // namespace
