// Font records, the built-in "topaz" and the bitmap font engine through the
// text library's commands: fixtures and their expected measurements and
// pixels come from tests/text/font_fixtures.py (its own model of the file
// layout, and Lat15-VGA8.psf.gz read through its Unicode table for topaz).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "gfx/bitmap_private.h"
#include "gfx/gfx.h"
#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"
#include "runtime/player.h"
#include "runtime/runtime.h"
#include "tests/support/harness.h"
#include "text/font_private.h"

namespace {

std::string fixtureDir;

std::string fromHex(const std::string& hex) {
  std::string out;
  if (hex == "-") return out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

class FontTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!fixtureDir.empty()) return;
    char pattern[] = "/tmp/qm_fonts_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    fixtureDir = pattern;
    std::atexit([] { std::system(("rm -rf " + fixtureDir).c_str()); });
    std::string cmd = "python3 " QM_SOURCE_DIR "/tests/text/font_fixtures.py " + fixtureDir;
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }

  ErrorCode setFont(const std::string& name, int size) {
    VmPushString(h.L, name.c_str());
    VmPushNumber(h.L, size);
    ErrorCode e = h.Call("SetFont", 2);
    VmSetTop(h.L, 0);
    return e;
  }
  ErrorCode call(const char* name, std::initializer_list<double> numbers) {
    for (double n : numbers) VmPushNumber(h.L, n);
    ErrorCode e = h.Call(name, int(numbers.size()));
    VmSetTop(h.L, 0);
    return e;
  }
  ErrorCode addFontPath(const std::string& path) {
    VmPushString(h.L, path.c_str());
    ErrorCode e = h.Call("AddFontPath", 1);
    VmSetTop(h.L, 0);
    return e;
  }
  ErrorCode openFont(int id, const std::string& name, int size, int engine = -1) {
    VmPushNumber(h.L, id);
    VmPushString(h.L, name.c_str());
    VmPushNumber(h.L, size);
    if (engine >= 0) {
      VmNewTable(h.L);
      VmPushString(h.L, "engine");
      VmPushNumber(h.L, engine);
      VmSetTable(h.L, -3);
    }
    ErrorCode e = h.Call("OpenFont", engine >= 0 ? 4 : 3);
    VmSetTop(h.L, 0);
    return e;
  }

  PlayerHarness h;
};

// Every case of the fixture script: measurements, monochrome drawings with
// colour -1 into a mask, colour-font drawings into a pixel bitmap and its
// mask, and the files that must not open.
TEST_F(FontTest, BitmapFontsMeasureAndDrawAsTheFixtureModel) {
  ASSERT_EQ(addFontPath(fixtureDir), 0);
  std::ifstream in(fixtureDir + "/cases.txt");
  std::string line;
  int checked = 0;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string kind, name, hex;
    int size = 0;
    words >> kind >> name >> size;
    SCOPED_TRACE(line);
    if (kind == "fail") {
      EXPECT_EQ(setFont(name, size), 1064);
      checked++;
      continue;
    }
    words >> hex;
    std::string text = fromHex(hex);
    ASSERT_EQ(setFont(name, size), 0);
    FontRecord* font = GetCurrentFont();
    ASSERT_NE(font, nullptr);
    if (kind == "measure") {
      int32_t want[6];
      for (int32_t& v : want) words >> v;
      TextExtent e{};
      MeasureFontText(font, text.data(), text.size(), 0, 0, &e);
      int32_t got[6] = {e.width, e.height, e.left, e.top, e.right, e.bottom};
      EXPECT_EQ(std::vector<int32_t>(got, got + 6), std::vector<int32_t>(want, want + 6));
      checked++;
      continue;
    }
    int x, y, w, hgt;
    words >> x >> y >> w >> hgt;
    std::vector<std::string> rows(hgt);
    for (std::string& r : rows) std::getline(in, r);
    OwnedBitmap mask(AllocBitMask(nullptr, w, hgt, 1, nullptr, 0));
    ASSERT_TRUE(mask);
    if (kind == "draw") {
      DrawFontText(font, nullptr, mask.get(), x, y, text.data(), text.size(), 0, 0, nullptr, -1);
      for (int r = 0; r < hgt; r++) {
        std::string got;
        for (int c = 0; c < w; c++) got += ReadBitmapPixel(mask.get(), c, r, 1) ? '#' : '.';
        EXPECT_EQ(got, rows[r]) << "row " << r;
      }
    } else {
      OwnedBitmap target(AllocBitmap(w, hgt, 0, nullptr));
      ASSERT_TRUE(target);
      FillBitmapRect(target.get(), 0, 0, w, hgt, 0x123456);
      DrawFontText(font, target.get(), mask.get(), x, y, text.data(), text.size(), 0, 0, nullptr,
                   -1);
      for (int r = 0; r < hgt; r++) {
        std::string got, gotMask, wantMask;
        for (int c = 0; c < w; c++) {
          char cell[8];
          bool set = ReadBitmapPixel(mask.get(), c, r, 1) != 0;
          uint32_t px = ReadBitmapPixel(target.get(), c, r, 0) & 0xFFFFFF;
          std::snprintf(cell, sizeof cell, "%06x", px);
          // g++ 12 false alarm on "literal" + std::string: no memcpy overlaps here.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
          got += (c ? " " : "") + std::string(set ? cell : (px == 0x123456 ? "------" : "!!!!!!"));
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
        }
        EXPECT_EQ(got, rows[r]) << "row " << r;
      }
    }
    checked++;
  }
  EXPECT_GT(checked, 240);
}

TEST_F(FontTest, TopazIsTheOneSharedRecordAtSizeEight) {
  FontRecord* topaz = GetCurrentFont();
  ASSERT_NE(topaz, nullptr);
  EXPECT_STREQ(topaz->name, "topaz");
  ASSERT_EQ(setFont("TOPAZ", 8), 0);
  EXPECT_EQ(GetCurrentFont(), topaz);
  EXPECT_EQ(topaz->height, 8);
  EXPECT_EQ(topaz->baseline, 6);
  TextExtent e{};
  MeasureFontText(topaz, "Hello", 5, 0, 0, &e);
  EXPECT_EQ(e.width, 40);
  // At size 9 it is looked up as a file topaz.font, which is nowhere.
  EXPECT_EQ(setFont("topaz", 9), 1064);
  EXPECT_EQ(GetCurrentFont(), topaz);
  EXPECT_EQ(setFont(":::default_bitmap", 8), 0);
  EXPECT_EQ(GetCurrentFont(), topaz);
}

// The cache, the font objects and the name rules.
TEST_F(FontTest, CacheObjectsAndNames) {
  ASSERT_EQ(addFontPath(fixtureDir), 0);
  ASSERT_EQ(addFontPath(fixtureDir), 0);  // a second time changes nothing
  ASSERT_EQ(setFont("fixed", 8), 0);
  FontRecord* a = GetCurrentFont();
  ASSERT_EQ(setFont("FIXED.font", 8), 0);
  EXPECT_EQ(GetCurrentFont(), a) << "case-less hit with the suffix cut";
  EXPECT_STREQ(a->name, "fixed");
  ASSERT_EQ(setFont("fixed", 9), 0);
  EXPECT_NE(GetCurrentFont(), a) << "another size is another record";

  // ":::default_bitmap" with "usepoints" set.
  VmPushString(h.L, ":::default_bitmap");
  VmPushNumber(h.L, 8);
  VmNewTable(h.L);
  VmPushString(h.L, "usepoints");
  VmPushBoolean(h.L, 1);
  VmSetTable(h.L, -3);
  EXPECT_EQ(h.Call("SetFont", 3), 1055);
  VmSetTop(h.L, 0);

  // A directory part is refused by the native engine only.
  EXPECT_EQ(openFont(1, fixtureDir + "/fixed", 8), 1335);
  EXPECT_EQ(openFont(1, "dir:fixed", 8), 1335);
  EXPECT_NE(openFont(1, fixtureDir + "/fixed", 8, FONTENGINE_INBUILT), 1335);

  // One numeric id opened twice replaces the first object; after CloseFont
  // the id is unknown and the message names the number.
  auto fontAttribute = [&](int32_t attribute) {
    for (double n : {double(OBJTYPE_FONT), 7.0, double(attribute)}) VmPushNumber(h.L, n);
    ErrorCode e = h.Call("GetAttribute", 3);
    double count = e ? -1 : VmToNumber(h.L, -1);
    VmSetTop(h.L, 0);
    return e ? double(e) : count;
  };
  ASSERT_EQ(openFont(7, "fixed", 8), 0);
  ASSERT_EQ(openFont(7, "prop", 10), 0);
  ASSERT_EQ(openFont(8, "prop", 10), 0);
  EXPECT_EQ(fontAttribute(ATTRCOUNT), 2);
  EXPECT_EQ(fontAttribute(ATTRWIDTH), ERR_UNKNOWNATTR);
  ASSERT_EQ(call("CloseFont", {8}), 0);
  ASSERT_EQ(call("UseFont", {7}), 0);
  FontRecord* prop = GetCurrentFont();
  EXPECT_STREQ(prop->name, "prop");
  ASSERT_EQ(call("CloseFont", {7}), 0);
  EXPECT_EQ(call("UseFont", {7}), 1334);
  EXPECT_EQ(GetErrorArgNumber(), 7);
  EXPECT_EQ(call("CloseFont", {7}), 1334);
  // The closed font was current and still measures: the cache keeps it.
  EXPECT_EQ(GetCurrentFont(), prop);
  TextExtent e{};
  MeasureFontText(prop, "ab", 2, 0, 0, &e);
  EXPECT_EQ(e.width, 4 - 1 + 8);
  EXPECT_EQ(call("FreeGlyphCache", {0}), 0);

  // A name longer than the record's work buffer is refused whole.
  EXPECT_EQ(setFont(std::string(600, 'x'), 8), 1064);
  EXPECT_EQ(addFontPath(fixtureDir + "/no-such-dir"), 1286);
}

// Fonts linked into an applet: a big-endian flags word (2 TrueType, 4 a
// block follows: length and bytes) in front of the font data; a bitmap
// font's contents entries name their size files as linked data too.
TEST_F(FontTest, LinkedFontsOpenBehindTheirFlagsWord) {
  auto be32 = [](uint32_t v) {
    return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
  };
  std::string vera;
  {
    std::ifstream in("/usr/share/fonts/truetype/ttf-bitstream-vera/Vera.ttf", std::ios::binary);
    vera.assign(std::istreambuf_iterator<char>(in), {});
  }
  ASSERT_EQ(vera.size(), 65932u);
  std::string sizeFile;
  {
    std::ifstream in(fixtureDir + "/fixed/8", std::ios::binary);
    sizeFile.assign(std::istreambuf_iterator<char>(in), {});
  }
  ASSERT_FALSE(sizeFile.empty());
  // One holding file: a linked TrueType font with a block, a linked bitmap
  // font, and a TrueType entry whose block runs past the end.
  std::string holder = fixtureDir + "/linked.bin";
  std::string data = be32(6) + be32(3) + "xyz" + vera;
  size_t tt = 0, ttSize = data.size();
  size_t bm = data.size();
  size_t contentsSize = 4 + 4 + 260;
  size_t sizeAt = bm + contentsSize;
  std::string entry =
      ":::chunk" + std::to_string(sizeAt) + ":" + std::to_string(sizeFile.size()) + "*fixed/8";
  entry.resize(256, '\0');
  data += be32(0) + std::string("\x0f\x00\x00\x01", 4) + entry + std::string("\x00\x08\x00\x00", 4);
  data += sizeFile;
  size_t bmSize = data.size() - bm;
  size_t cut = data.size();
  data += be32(4) + be32(1000) + "short";
  size_t cutSize = data.size() - cut;
  {
    std::ofstream out(holder, std::ios::binary);
    out << data;
  }
  auto chunk = [&](size_t at, size_t size, const char* name) {
    char buffer[1024];
    EXPECT_TRUE(MakeChunkName(name, buffer, sizeof buffer, int64_t(at), size, 0, holder.c_str()));
    return std::string(buffer);
  };
  FontRecord* f = nullptr;
  ASSERT_EQ(OpenFontByName(chunk(tt, ttSize, "vera.ttf").c_str(), 12, 0, 1, 0, 1, &f), 0);
  EXPECT_EQ(f->type, FONT_TRUETYPE);
  EXPECT_EQ(f->height, 12);
  CloseFontRecord(f);
  ASSERT_EQ(OpenFontByName(chunk(bm, bmSize, "fixed.font").c_str(), 8, 0, 1, 0, 1, &f), 0);
  EXPECT_EQ(f->type, FONT_BITMAP);
  EXPECT_EQ(f->height, 8);
  CloseFontRecord(f);
  EXPECT_EQ(OpenFontByName(chunk(cut, cutSize, "cut.ttf").c_str(), 12, 0, 1, 0, 1, &f), 1009);
  EXPECT_EQ(f, nullptr);

  // The same three as files linked into the applet, opened by name through
  // the commands: a ".ttf" name is an embedded file, any other a linked font.
  PlayerRecord record{};
  player.record = &record;
  ASSERT_EQ(AddLinkedFont(&record, "vera.ttf", 0, holder.c_str(), tt, ttSize), 0);
  ASSERT_EQ(AddLinkedFont(&record, "linkedfixed.font", 1, holder.c_str(), bm, bmSize), 0);
  ASSERT_EQ(AddLinkedFont(&record, "cut.ttf", 0, holder.c_str(), cut, cutSize), 0);
  EXPECT_EQ(setFont("vera.ttf", 14), 0);
  EXPECT_EQ(GetCurrentFont()->type, FONT_TRUETYPE);
  EXPECT_EQ(GetCurrentFont()->height, 14);
  EXPECT_EQ(setFont("LinkedFixed", 8), 0);
  EXPECT_EQ(GetCurrentFont()->type, FONT_BITMAP);
  EXPECT_EQ(setFont("cut.ttf", 12), 1009);
  while (LinkedFileEntry* e = record.linkedFiles) {
    record.linkedFiles = e->next;
    FreeMemory(e);
  }
  player.record = nullptr;
}

// Every allocation of an open failing in turn: the open reports 1000 or
// cannot open the font (1064), and leaves nothing behind (the sanitizer's
// leak check at exit); once no allocation fails, the font opens.
TEST_F(FontTest, FailedAllocationsLeaveNothingBehind) {
  ASSERT_EQ(addFontPath(fixtureDir), 0);
  for (const auto& [name, size] :
       {std::pair<const char*, int>{"prop", 10}, {"colour", 6}, {"Bitstream Vera Sans", 12}}) {
    SCOPED_TRACE(name);
    ErrorCode e = 1;
    for (uint64_t n = 1; e != 0 && n < 500; n++) {
      SetAllocFailure(n, false);
      e = setFont(name, int(size));
      bool injected = GetAllocFailureCount() > 0;
      SetAllocFailure(0, false);
      if (e != 0) {
        EXPECT_TRUE(e == 1000 || e == 1064) << e << " at " << n;
        EXPECT_TRUE(injected) << "failed without an injected fault at " << n;
      }
    }
    EXPECT_EQ(e, 0);
  }
}

TEST(Utf8ToUcs4, DecodesOrRefusesEachInvalidKind) {
  struct Case {
    const char* name;
    std::string bytes;
    ErrorCode error;
    std::vector<uint32_t> codes;
  };
  const Case cases[] = {
      {"ascii and two to four bytes",
       "a\xc3\xa4\xe2\x82\xac\xf0\x9d\x84\x9e",
       0,
       {'a', 0xE4, 0x20AC, 0x1D11E}},
      {"continuation byte as lead", "a\x80", 1003, {}},
      {"six leading ones", "\xfc\x80\x80\x80\x80\x80", 1003, {}},
      {"continuation below 128",
       "\xc3"
       "A",
       1003,
       {}},
      {"cut short", "ab\xe2\x82", 1003, {}},
      {"empty", "", 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Both with a caller buffer that is too small (an array is allocated
    // and must be freed on failure) and with one that fits.
    for (size_t room : {size_t(1), size_t(64)}) {
      uint32_t buffer[64];
      uint32_t* out = nullptr;
      size_t count = 0;
      int32_t allocated = 0;
      ErrorCode e =
          Utf8ToUcs4(c.bytes.data(), c.bytes.size(), 1, buffer, room, &out, &count, &allocated);
      EXPECT_EQ(e, c.error);
      if (e == 0) {
        EXPECT_EQ(std::vector<uint32_t>(out, out + count), c.codes);
        if (allocated) FreeUcs4Buffer(out);
      }
    }
  }
  uint32_t* out = nullptr;
  size_t count = 0;
  int32_t allocated = 0;
  EXPECT_EQ(Utf8ToUcs4("abc", 3, 0, nullptr, 0, &out, &count, &allocated), 1003);
}

}  // namespace
