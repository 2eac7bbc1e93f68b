// Plug-ins fill polygons into a locked bitmap through the graphics table:
// the polygon's pixels take the colour at the opacity, cut by the lock and
// a clip rectangle, with partly covered edge pixels when anti-aliased.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gfx/gfx.h"
#include "plugins/hostapi.h"
#include "plugins/plugin_private.h"
#include "plugins/qmplugin.h"
#include "tests/support/harness.h"

namespace {

template <typename F>
F slotAs(int slot) {
  return reinterpret_cast<F>(
      reinterpret_cast<void (*)()>(GetPluginHostApi()->graphics->slot[slot]));
}

constexpr int32_t SIZE = 8;

// The bitmap's rows as text: '.' black, '#' the full colour (red), '+'
// anything between.
std::vector<std::string> picture(uint32_t* argb) {
  std::vector<std::string> rows;
  for (int32_t y = 0; y < SIZE; y++) {
    std::string row;
    for (int32_t x = 0; x < SIZE; x++) {
      uint32_t p = argb[y * SIZE + x] & 0xFFFFFF;
      row += p == 0 ? '.' : p == 0xFF0000 ? '#' : '+';
    }
    rows.push_back(row);
  }
  return rows;
}

TEST(PolygonSlot, FillsCutsAndBlends) {
  PlayerHarness h;
  auto lockBitmap = slotAs<void* (*)(void*, const QmTagItem*, QmBitmapLock*)>(16);
  auto unlock = slotAs<void (*)(void*)>(17);
  auto fill = slotAs<void (*)(const QmBitmapLock*, int32_t, int32_t, int32_t, int32_t, uint32_t,
                              uint32_t, const QmTagItem*)>(22);
  auto read = slotAs<uint32_t* (*)(void*, int32_t, int32_t, const QmTagItem*)>(25);
  auto polygon = slotAs<void (*)(const QmBitmapLock*, const int32_t*, int32_t, uint32_t, uint32_t,
                                 const QmTagItem*)>(31);

  const int32_t box[] = {2, 1, 5, 1, 5, 3, 2, 3};
  const int32_t far[] = {-50, -50, -40, -50, -40, -40};
  const int32_t triangle[] = {0, 0, 7, 0, 0, 7};
  const QmRect clip = {3, 0, 8, 2};
  const QmTagItem clipped[] = {{QM_DRAWTAG_CLIP, reinterpret_cast<uintptr_t>(&clip)}, {0, 0}};
  const QmTagItem transparent[] = {{QM_DRAWTAG_OPACITY, 0}, {0, 0}};
  struct Case {
    const char* name;
    const int32_t* points;
    int32_t count;
    uint32_t flags;
    const QmTagItem* tags;
    std::vector<std::string> expected;  // empty: checked below
  };
  const std::vector<std::string> blank(SIZE, std::string(SIZE, '.'));
  std::vector<std::string> boxed = blank;
  for (int y = 1; y <= 3; y++) boxed[y] = "..####..";
  std::vector<std::string> cut = blank;
  cut[1] = "...###..";
  const Case cases[] = {
      {"box", box, 4, 0, nullptr, boxed},
      {"clipped", box, 4, 0, clipped, cut},
      {"no opacity", box, 4, 0, transparent, blank},
      {"outside", far, 3, 0, nullptr, blank},
      {"no points", box, 0, 0, nullptr, blank},
      {"anti-aliased", triangle, 3, QM_DRAW_ANTIALIAS, nullptr, {}},
  };
  BitmapHandle* bitmap = AllocBitmap(SIZE, SIZE, 0, nullptr);
  ASSERT_NE(bitmap, nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const QmTagItem write[] = {{QM_LOCKTAG_WRITE, 1}, {0, 0}};
    QmBitmapLock lock{};
    void* handle = lockBitmap(bitmap, write, &lock);
    ASSERT_NE(handle, nullptr);
    fill(&lock, 0, 0, SIZE, SIZE, 0, 0, nullptr);
    polygon(&lock, c.points, c.count, 0xFF0000, c.flags, c.tags);
    unlock(handle);
    uint32_t* argb = read(bitmap, 0, 0, nullptr);
    ASSERT_NE(argb, nullptr);
    std::vector<std::string> got = picture(argb);
    FreeMemory(argb);
    if (!c.expected.empty()) {
      EXPECT_EQ(got, c.expected);
      continue;
    }
    // Inside full, beyond the long edge black, partly covered pixels on it.
    EXPECT_EQ(got[1][1], '#');
    EXPECT_EQ(got[7][7], '.');
    std::string all;
    for (const std::string& row : got) all += row;
    EXPECT_NE(all.find('+'), std::string::npos);
  }
  FreeBitmap(bitmap);
}

}  // namespace
