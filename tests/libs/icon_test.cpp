// The icon commands called by name on small pictures that PIL writes: the
// icon file's layout as PIL and pngcheck read it, round trips, crafted
// files that must be refused, the entry rules, the attribute query and the
// scaled images handed to plug-ins.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <cstdlib>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "draw/draw.h"
#include "engine/engine.h"
#include "libs/libs.h"
#include "libs/libs_private.h"
#include "platform/linux/platform.h"
#include "plugins/hostapi.h"
#include "plugins/plugin_private.h"
#include "plugins/qmplugin.h"
#include "runtime/player.h"
#include "runtime/runtime.h"
#include "tests/support/harness.h"

namespace {

// A host slot as the entry point it holds; the detour through void (*)()
// is the one cast between function types that compilers accept quietly.
template <typename F>
F slotAs(QmHostFunc slot) {
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(slot));
}

constexpr double FILE_TYPE = 44;

// An entry table: {type = FILE, image = ..., [selimage = ...], [standard]}.
struct Entry {
  std::string image = {}, selimage = {};  // picture names without ".png"
  bool standard = false;
  double type = FILE_TYPE;
};

class IconTest : public ::testing::Test {
 protected:
  PlayerHarness p;
  VmState* L = p.L;
  std::string dir;

  void SetUp() override {
    VmPushValue(L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenIconLibrary(L), 0);
    VmSetTop(L, 0);
    char templ[] = "/tmp/qmiconXXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir = templ;
    // Pictures: RGBA squares with a pattern that holds alpha-0 pixels,
    // an RGB one, one 2 pixels wide, and icon files with crafted headers
    // (magic row, then one header row: width, height, flags).
    ASSERT_EQ(python(R"(
from PIL import Image
def square(name, w, h, seed, mode="RGBA"):
    im = Image.new(mode, (w, h))
    px = [((x * 7 + seed) % 256, (y * 11 + seed) % 256, (x + y + seed) % 256,
           0 if (x + y) % 5 == 0 else 255)[:len(mode)] for y in range(h) for x in range(w)]
    im.putdata(px)
    im.save(d + "/" + name)
for n, w, h, s in [("a16", 16, 16, 1), ("s16", 16, 16, 2), ("a32", 32, 32, 3), ("a64", 64, 64, 4),
                   ("a8x8", 8, 8, 5), ("a8x4", 8, 4, 6), ("a1", 1, 1, 7), ("s8", 8, 8, 8)]:
    square(n + ".png", w, h, s)
square("rgb16.png", 16, 16, 9, "RGB")
square("rgb8.png", 8, 8, 9, "RGB")
square("narrow.png", 2, 1, 9)
magic = [(0x51, 0x55, 0x49, 0), (0x4C, 0x4C, 0x4D, 0), (0x45, 0x52, 0x45, 0)]
def crafted(name, width, rows, header):
    im = Image.new("RGBA", (width, rows))
    px = [(0, 0, 0, 0)] * (width * rows)
    px[0:3] = magic
    for i, v in enumerate(header):
        px[width + i] = ((v >> 16) & 255, (v >> 8) & 255, v & 255, v >> 24)
    im.putdata(px)
    im.save(d + "/" + name)
crafted("magiconly.png", 3, 1, [])
crafted("width0.png", 4, 3, [0, 1, 0])
crafted("selpast.png", 4, 3, [3, 1, 1])
crafted("heightpast.png", 4, 3, [2, 2, 0])
crafted("huge.png", 4, 3, [0x7FFFFFFF, 1, 0])
)"),
              0);
  }
  void TearDown() override { std::system(("rm -rf " + dir).c_str()); }

  int python(const std::string& body) {
    std::string script = dir + "/gen.py";
    FILE* f = std::fopen(script.c_str(), "w");
    if (!f) return -1;
    std::fprintf(f, "d = %s\n%s", ("'" + dir + "'").c_str(), body.c_str());
    std::fclose(f);
    return std::system(("/usr/bin/python3 " + script).c_str());
  }
  std::string path(const std::string& name) { return dir + "/" + name; }
  static std::string run(const std::string& command) {
    std::string out;
    FILE* f = popen(command.c_str(), "r");
    if (!f) return out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    pclose(f);
    return out;
  }
  std::string pngSize(const std::string& name) {
    return run("/usr/bin/python3 -c \"from PIL import Image; print(Image.open('" + path(name) +
               "').size)\"");
  }

  void pushEntry(const Entry& e) {
    VmNewTable(L);
    SetTableFieldNumber(L, "type", e.type);
    if (!e.image.empty()) SetTableFieldString(L, "image", path(e.image + ".png").c_str());
    if (!e.selimage.empty()) SetTableFieldString(L, "selimage", path(e.selimage + ".png").c_str());
    if (e.standard) SetTableFieldNumber(L, "standard", 1);
  }
  ErrorCode create(double id, const std::vector<Entry>& entries) {
    VmSetTop(L, 0);
    VmPushNumber(L, id);
    VmNewTable(L);
    for (size_t i = 0; i < entries.size(); i++) {
      pushEntry(entries[i]);
      VmRawSetI(L, 2, static_cast<int>(i));
    }
    return p.Call("CreateIcon", 2);
  }
  ErrorCode add(double id, const Entry& e) {
    VmSetTop(L, 0);
    VmPushNumber(L, id);
    pushEntry(e);
    return p.Call("AddIconImage", 2);
  }
  ErrorCode call(const char* name, double id, const std::string& text) {
    VmSetTop(L, 0);
    VmPushNumber(L, id);
    VmPushString(L, text.c_str());
    return p.Call(name, 2);
  }
  ErrorCode call(const char* name, std::vector<double> args) {
    VmSetTop(L, 0);
    for (double a : args) VmPushNumber(L, a);
    return p.Call(name, static_cast<int>(args.size()));
  }
  double attribute(double id, int32_t attr, double position = 0) {
    EXPECT_EQ(call("GetAttribute", {OBJTYPE_ICON, id, double(attr), position}), 0);
    return VmToNumber(L, -1);
  }
};

TEST_F(IconTest, SavedFileLayoutAndRoundTrip) {
  ASSERT_EQ(create(1, {{"a32"}, {"a16", "s16"}}), 0);
  EXPECT_EQ(attribute(1, ATTRNUMENTRIES), 2);
  EXPECT_EQ(attribute(1, ATTRWIDTH, 1), 16);
  EXPECT_EQ(attribute(1, ATTRNUMFRAMES, 1), 2);
  EXPECT_EQ(attribute(1, ATTRNUMFRAMES, 2), 1);
  EXPECT_EQ(call("GetAttribute", {OBJTYPE_ICON, 1, ATTRWIDTH, 3}), ERR_ICONENTRY);
  ASSERT_EQ(call("SaveIcon", 1, path("out.png")), 0);
  EXPECT_NE(run("pngcheck " + path("out.png")).find("OK"), std::string::npos);
  // PIL reads the layout independently; every line it prints must be True.
  std::string check = run("/usr/bin/python3 -c \"\nfrom PIL import Image\nd='" + dir + R"('
o = Image.open(d + '/out.png'); a16 = Image.open(d + '/a16.png'); s16 = Image.open(d + '/s16.png')
a32 = Image.open(d + '/a32.png')
print(o.mode == 'RGBA' and o.size == (32, 51))
print(o.tobytes()[:12] == bytes.fromhex('515549004C4C4D0045524500'))
print([o.getpixel((i, 1)) for i in range(3)] == [(0, 0, 16, 0), (0, 0, 16, 0), (0, 0, 3, 0)])
print(all(o.getpixel((x, 2 + y)) == a16.getpixel((x, y)) for x in range(16) for y in range(16)))
print(all(o.getpixel((16 + x, 2 + y)) == s16.getpixel((x, y)) for x in range(16) for y in range(16)))
print([o.getpixel((i, 18)) for i in range(3)] == [(0, 0, 32, 0), (0, 0, 32, 0), (0, 0, 2, 0)])
print(all(o.getpixel((x, 19 + y)) == a32.getpixel((x, y)) for x in range(32) for y in range(32)))
"
)");
  EXPECT_EQ(check, "True\nTrue\nTrue\nTrue\nTrue\nTrue\nTrue\n");

  // Loaded again and saved again: the same pixels, alpha-0 ones included.
  ASSERT_EQ(call("LoadIcon", 2, path("out.png")), 0);
  EXPECT_EQ(attribute(2, ATTRNUMENTRIES), 2);
  ASSERT_EQ(call("SaveIcon", 2, path("again.png")), 0);
  EXPECT_EQ(run("cmp " + path("out.png") + " " + path("again.png") + " && echo same"), "same\n");
}

TEST_F(IconTest, SmallAndEmptyIconsAndEqualWidths) {
  ASSERT_EQ(create(1, {{"a1"}}), 0);
  ASSERT_EQ(call("SaveIcon", 1, path("one.png")), 0);
  EXPECT_EQ(pngSize("one.png"), "(3, 3)\n");

  ASSERT_EQ(call("LoadIcon", 2, path("magiconly.png")), 0);
  EXPECT_EQ(attribute(2, ATTRNUMENTRIES), 0);
  EXPECT_EQ(GetScaledIconImage(ObjectId{nullptr, 2}, 1.0, 0), nullptr);
  EXPECT_EQ(CopyIconImages(ObjectId{nullptr, 2}), nullptr);
  ASSERT_EQ(call("SaveIcon", 2, path("empty.png")), 0);
  EXPECT_EQ(pngSize("empty.png"), "(3, 1)\n");

  // Equal widths of different heights are kept and read back.
  ASSERT_EQ(create(3, {{"a8x8"}, {"a8x4"}}), 0);
  ASSERT_EQ(call("SaveIcon", 3, path("eq.png")), 0);
  ASSERT_EQ(call("LoadIcon", 3, path("eq.png")), 0);
  EXPECT_EQ(attribute(3, ATTRNUMENTRIES), 2);
  EXPECT_EQ(attribute(3, ATTRHEIGHT, 1), 8);
  EXPECT_EQ(attribute(3, ATTRHEIGHT, 2), 4);
}

TEST_F(IconTest, BadFilesAreRefused) {
  for (const char* name :
       {"rgb16.png", "narrow.png", "width0.png", "selpast.png", "heightpast.png", "huge.png"}) {
    EXPECT_EQ(call("LoadIcon", 1, path(name)), ERR_LOADICON) << name;
    EXPECT_EQ(std::string(GetErrorArgString()), path(name)) << name;
  }
  EXPECT_EQ(call("GetAttribute", {OBJTYPE_ICON, 0, ATTRCOUNT}), 0);
  EXPECT_EQ(VmToNumber(L, -1), 0);
}

TEST_F(IconTest, EntryRules) {
  ASSERT_EQ(create(1, {{"a16", "", true}}), 0);
  struct Case {
    const char* what;
    Entry entry;
    ErrorCode code;
    double position;
  } cases[] = {
      {"selected of another size", {"a32", "s16"}, ERR_ICONPARMS, 0},
      {"selected without alpha", {"a8x8", "rgb8"}, ERR_ICONPARMS, 0},
      {"size used twice", {"s16"}, ERR_ICONSIZE, 0},
      {"second standard", {"a32", "", true}, ERR_ICONSTANDARD, 0},
      {"unknown type", {"a32", "", false, 5}, ERR_WRONGUSAGE, 0},
      {"no image", {""}, ERR_MISSINGFIELD, 0},
      {"no brush yet", {"", "", false, 3}, ERR_MISSINGFIELD, 0},
      {"narrower than all", {"a8x8"}, 0, 1},
      {"as wide as the widest", {"a8x4"}, 0, 2},
      {"widest", {"a64"}, 0, 4},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(add(1, c.entry), c.code) << c.what;
    if (c.code == 0) {
      EXPECT_EQ(VmToNumber(L, -1), c.position) << c.what;
    }
  }
  EXPECT_EQ(attribute(1, ATTRNUMENTRIES), 4);
  EXPECT_EQ(attribute(1, ATTRSTANDARD), 3);
  EXPECT_EQ(call("SetStandardIconImage", {1, 5}), ERR_ICONENTRY);
  EXPECT_EQ(attribute(1, ATTRSTANDARD), 3);
  EXPECT_EQ(call("SetStandardIconImage", {1, 4}), 0);
  EXPECT_EQ(attribute(1, ATTRSTANDARD), 4);
  EXPECT_EQ(call("SetStandardIconImage", {1, 0}), 0);
  EXPECT_EQ(attribute(1, ATTRSTANDARD), 0);
  EXPECT_EQ(call("RemoveIconImage", {1, 0}), ERR_ICONENTRY);
  EXPECT_EQ(call("RemoveIconImage", {1, 5}), ERR_ICONENTRY);
  for (int i = 0; i < 3; i++) EXPECT_EQ(call("RemoveIconImage", {1, 1}), 0);
  EXPECT_EQ(call("RemoveIconImage", {1, 1}), ERR_WRONGUSAGE);
  EXPECT_EQ(attribute(1, ATTRWIDTH, 1), 64);

  // CreateIcon: elements must be tables, the list must not be empty, and
  // a failure keeps nothing; an old applet cannot use it.
  VmSetTop(L, 0);
  VmPushNumber(L, 2);
  VmNewTable(L);
  VmPushNumber(L, 7);
  VmRawSetI(L, 2, 0);
  EXPECT_EQ(p.Call("CreateIcon", 2), ERR_TABLEORNIL);
  EXPECT_EQ(create(2, {}), ERR_WRONGUSAGE);
  EXPECT_EQ(create(2, {{"a16"}, {"s16"}}), ERR_ICONSIZE);
  EXPECT_EQ(call("FreeIcon", {2}), ERR_FINDICON);
  EXPECT_EQ(GetErrorArgNumber(), 2);
  VmSetAppletVersion(7, 9);
  EXPECT_EQ(create(2, {{"a16"}}), ERR_OLDAPPLET);
  EXPECT_EQ(call("LoadIcon", 2, path("magiconly.png")), ERR_OLDAPPLET);
  VmSetAppletVersion(8, 0);
  EXPECT_EQ(call("FreeIcon", {1}), 0);
}

TEST_F(IconTest, ScaledImagesForPlugins) {
  ASSERT_EQ(create(1, {{"a32", "", true}}), 0);
  ASSERT_EQ(create(2, {{"a32", "", true}, {"a64"}}), 0);
  struct Case {
    double id, scale;
    uint32_t flags;
    int32_t width;  // 0: no image
  } cases[] = {
      {1, 1.5, 0, 48}, {2, 1.5, 0, 48}, {2, 1.5, 8, 48}, {2, 1.5, 2, 32},
      {2, 1.5, 4, 0},  {2, 2.0, 4, 64}, {2, 1.0, 1, 0},  {3, 1.0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.id << " " << c.scale << " " << c.flags);
    ScaledIconImage* image = GetScaledIconImage(ObjectId{nullptr, int32_t(c.id)}, c.scale, c.flags);
    if (c.width == 0) {
      EXPECT_EQ(image, nullptr);
      continue;
    }
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->width, c.width);
    EXPECT_EQ(image->height, c.width);
    EXPECT_EQ(image->flags & 3u, c.width == 64 ? 0u : 1u);
    FreeScaledIconImage(image);
  }
  // The same through the host's graphics slots.
  const HostGraphicsTable* g = GetPluginHostApi()->graphics;
  auto scaled = slotAs<QmGetScaledIconImageFunc>(g->slot[QM_GFX_GETSCALEDICONIMAGE]);
  auto freeScaled = slotAs<QmFreeScaledIconImageFunc>(g->slot[QM_GFX_FREESCALEDICONIMAGE]);
  auto copy = slotAs<QmCopyIconImagesFunc>(g->slot[QM_GFX_COPYICONIMAGES]);
  auto freeList = slotAs<QmFreeIconImageListFunc>(g->slot[QM_GFX_FREEICONIMAGELIST]);
  const double oneAndHalf = 1.5;
  QmScaledIconImage* viaHost = scaled(nullptr, 2, &oneAndHalf, 0);
  ASSERT_NE(viaHost, nullptr);
  EXPECT_EQ(viaHost->width, 48);
  freeScaled(viaHost);
  EXPECT_EQ(scaled(nullptr, 7, &oneAndHalf, 0), nullptr);
  QmIconImage* copied = copy(nullptr, 2);
  ASSERT_NE(copied, nullptr);
  EXPECT_EQ(copied->width, 32);
  freeList(copied);

  IconImage* list = CopyIconImages(ObjectId{nullptr, 2});
  ASSERT_NE(list, nullptr);
  ASSERT_NE(list->next, nullptr);
  EXPECT_EQ(list->width, 32);
  EXPECT_EQ(list->next->width, 64);
  EXPECT_EQ(list->next->next, nullptr);
  FreeIconImageList(list);
}

// Entries from brushes: the pixels with the brush's alpha, the selected
// image's checks, and brushes that do not exist.
TEST_F(IconTest, EntriesFromBrushes) {
  std::vector<uint32_t> pixels16(16 * 16), pixels32(32 * 32);
  for (size_t i = 0; i < pixels16.size(); i++)
    pixels16[i] = (i % 3 ? 0xFF000000u : 0) | uint32_t(i);
  for (size_t i = 0; i < pixels32.size(); i++) pixels32[i] = 0xFF000000u | uint32_t(i * 7);
  struct Brush {
    int32_t id, size;
    const uint32_t* pixels;
    uint32_t flags;  // 1: alpha from the top bytes
  } brushes[] = {
      {1, 16, pixels16.data(), 1}, {2, 16, pixels16.data(), 0}, {3, 32, pixels32.data(), 0}};
  for (const Brush& b : brushes) {
    ObjectId id{nullptr, b.id};
    BrushPixels description{b.pixels, b.size, 0, b.flags};
    BrushObject* out = nullptr;
    ASSERT_EQ(CreateBrushFromPixels(L, &id, 0, b.size, b.size, &description, &out), 0);
  }
  auto brushEntry = [&](double image, double selimage) {
    VmNewTable(L);
    SetTableFieldNumber(L, "type", 3);
    SetTableFieldNumber(L, "image", image);
    if (selimage) SetTableFieldNumber(L, "selimage", selimage);
  };
  auto addBrush = [&](double image, double selimage) {
    VmSetTop(L, 0);
    VmPushNumber(L, 1);
    brushEntry(image, selimage);
    return p.Call("AddIconImage", 2);
  };
  ASSERT_EQ(create(1, {{"a8x8"}}), 0);
  EXPECT_EQ(addBrush(1, 2), ERR_ICONPARMS);  // alpha against none
  EXPECT_EQ(addBrush(99, 0), ERR_FINDBRUSH);
  EXPECT_EQ(addBrush(3, 1), ERR_ICONPARMS);
  ASSERT_EQ(addBrush(1, 1), 0);
  EXPECT_EQ(VmToNumber(L, -1), 2);
  ASSERT_EQ(addBrush(3, 0), 0);
  EXPECT_EQ(VmToNumber(L, -1), 3);
  EXPECT_EQ(addBrush(2, 0), ERR_ICONSIZE);
  std::unique_ptr<IconImage, void (*)(IconImage*)> list(CopyIconImages(ObjectId{nullptr, 1}),
                                                        FreeIconImageList);
  ASSERT_NE(list, nullptr);
  const IconImage* normal16 = list->next;  // after the 8-pixel image
  ASSERT_NE(normal16, nullptr);
  const IconImage* selected16 = normal16->next;
  ASSERT_NE(selected16, nullptr);
  const IconImage* image32 = selected16->next;
  ASSERT_NE(image32, nullptr);
  EXPECT_EQ(image32->next, nullptr);
  EXPECT_EQ(normal16->flags, 0u);
  EXPECT_EQ(selected16->flags, 2u);
  EXPECT_EQ(image32->flags, 4u);
  EXPECT_TRUE(std::equal(pixels16.begin(), pixels16.end(), normal16->pixels));
  EXPECT_TRUE(std::equal(pixels16.begin(), pixels16.end(), selected16->pixels));
  EXPECT_TRUE(std::equal(pixels32.begin(), pixels32.end(), image32->pixels));
}

// The application icon set from the icon table's slots: picture files of
// the slot's size, the images an applet's icon file lends, the window icon
// taking the normal ones, and a picture of the wrong size refused.
TEST_F(IconTest, ApplicationIconSet) {
  const int32_t sizes[10] = {16, 24, 32, 48, 64, 96, 128, 256, 512, 1024};
  for (size_t i = 0; i < ICON_TABLE_SIZE; i++) player.icons[i] = IconTableEntry{};
  for (size_t i = 0; i < ICON_TABLE_SIZE; i++) player.icons[i].size = sizes[i % 10];
  auto sameAsFile = [&](const uint32_t* pixels, const char* file, int32_t size) {
    IconImageEntry* entries = nullptr;
    std::string icon = path(std::string(file) + ".icon");
    EXPECT_EQ(create(9, {{file}}), 0);
    EXPECT_EQ(call("SaveIcon", 9, icon), 0);
    EXPECT_EQ(ParseIconImage(icon.c_str(), nullptr, &entries), 0);
    bool same = entries && std::equal(pixels, pixels + size * size, entries->normal);
    FreeIconEntries(entries);
    return same;
  };
  auto windowImage = [](int32_t size) {
    const uint32_t* block = GetWindowIconBlock();
    while (static_cast<int32_t>(block[0]) != size) block += 2 + block[0] * block[1];
    return block + 2;
  };

  std::string wrong = path("a32.png");
  player.icons[0].imageName = wrong.data();
  EXPECT_EQ(LoadDefaultAppIcons(0), ERR_ICONDIMS);
  EXPECT_STREQ(GetErrorArgString(), "16x16");
  EXPECT_EQ(GetAppIconSet(), nullptr);
  std::string right = path("a16.png");
  player.icons[0].imageName = right.data();
  ASSERT_EQ(LoadDefaultAppIcons(0), 0);
  player.icons[0].imageName = nullptr;
  ASSERT_NE(GetAppIconSet(), nullptr);
  EXPECT_EQ(GetAppIconSet()->width, 16);
  EXPECT_EQ(GetAppIconSet()->next, nullptr);
  EXPECT_TRUE(sameAsFile(GetAppIconSet()->pixels, "a16", 16));
  EXPECT_TRUE(sameAsFile(windowImage(16), "a16", 16));

  // The applet's icon file lends its entries to the slots of their size and
  // replaces the slots' file names.
  ASSERT_EQ(create(1, {{"s16", "a16", true}, {"a32"}}), 0);
  ASSERT_EQ(call("SaveIcon", 1, path("applet.icon")), 0);
  auto record = std::make_unique<PlayerRecord>();
  auto context = std::make_unique<PlayerRunContext>();
  context->quiet = 1;
  DeclaredResource declared{};
  declared.kind = 17;
  std::string iconName = path("applet.icon");
  declared.fileName = iconName.data();
  record->resources = &declared;
  player.icons[3].imageName = static_cast<char*>(AllocMemory(8, 1));
  ASSERT_EQ(LoadAppletIcon(record.get(), context.get()), 0);
  EXPECT_EQ(player.icons[3].imageName, nullptr);
  ASSERT_EQ(LoadDefaultAppIcons(0), 0);
  struct Want {
    int32_t size;
    uint32_t flags;
    const char* file;
  } wants[] = {{16, 1, "s16"}, {32, 0, "a32"}, {16, 3, "a16"}};
  const IconImage* image = GetAppIconSet();
  for (const Want& w : wants) {
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->width, w.size);
    EXPECT_EQ(image->flags, w.flags);
    EXPECT_TRUE(sameAsFile(image->pixels, w.file, w.size)) << w.file;
    image = image->next;
  }
  EXPECT_EQ(image, nullptr);
  EXPECT_TRUE(sameAsFile(windowImage(16), "s16", 16));
  EXPECT_TRUE(sameAsFile(windowImage(32), "a32", 32));

  // What plug-ins get through the host: the five window images (16 and 32
  // replaced, 16 standard), then the selected 16 of the set.
  const HostGraphicsTable* g = GetPluginHostApi()->graphics;
  auto getApp = slotAs<QmGetAppIconImagesFunc>(g->slot[QM_GFX_GETAPPICONIMAGES]);
  auto freeList = slotAs<QmFreeIconImageListFunc>(g->slot[QM_GFX_FREEICONIMAGELIST]);
  QmIconImage* images = getApp();
  std::vector<std::pair<int32_t, uint32_t>> got;
  for (const QmIconImage* i = images; i; i = i->next) got.emplace_back(i->width, i->flags);
  const std::vector<std::pair<int32_t, uint32_t>> want = {{16, 1}, {24, 0},  {32, 0},
                                                          {48, 0}, {256, 0}, {16, 3}};
  EXPECT_EQ(got, want);
  ASSERT_NE(images, nullptr);
  EXPECT_TRUE(sameAsFile(images->pixels, "s16", 16));
  freeList(images);
  for (size_t i = 0; i < ICON_TABLE_SIZE; i++) player.icons[i] = IconTableEntry{};
}

}  // namespace
