// Plug-ins reach a brush's pixels through the graphics table: locked with
// its mask and alpha channel, read as ARGB rows with their size and kind,
// and as the host's bitmap handle.
#include <gtest/gtest.h>

#include "draw/draw.h"
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

TEST(BrushSlots, LockReadAndBitmapOfABrush) {
  PlayerHarness h;
  auto create = slotAs<QmCreateBrushFromPixelsFunc>(QM_GFX_CREATEBRUSHFROMPIXELS);
  auto lock = slotAs<void* (*)(void*, int32_t, QmBrushLock*)>(4);
  auto unlock = slotAs<void (*)(void*)>(5);
  auto read = slotAs<uint32_t* (*)(void*, int32_t, const QmTagItem*)>(6);
  auto freePixels = slotAs<void (*)(uint32_t*)>(7);
  auto bitmapOf = slotAs<void* (*)(void*, int32_t)>(30);

  const uint32_t pixels[6] = {0x80FF0000, 0xFF00FF00, 0x000000FF,
                              0xFFFFFFFF, 0xFF102030, 0x40405060};
  QmBrushPixels withAlpha{pixels, 3, 0, 1};
  ASSERT_EQ(create(nullptr, 3, 3, 2, &withAlpha), ERR_NONE);
  BrushObject* b = nullptr;
  ASSERT_EQ(GetBrushObject(h.L, ObjectId{nullptr, 3}, &b, 0), ERR_NONE);

  QmBrushLock locked{};
  void* handle = lock(nullptr, 3, &locked);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(locked.pixels.width, 3);
  EXPECT_EQ(locked.pixels.height, 2);
  EXPECT_EQ(locked.alpha, b->alpha);
  EXPECT_EQ(locked.mask, nullptr);
  unlock(handle);
  EXPECT_EQ(lock(nullptr, 9, &locked), nullptr);

  int32_t width = 0, height = 0, kind = -1;
  QmTagItem tags[] = {{QM_BRUSHTAG_WIDTH, reinterpret_cast<uintptr_t>(&width)},
                      {QM_BRUSHTAG_HEIGHT, reinterpret_cast<uintptr_t>(&height)},
                      {QM_BRUSHTAG_KIND, reinterpret_cast<uintptr_t>(&kind)},
                      {0, 0}};
  uint32_t* argb = read(nullptr, 3, tags);
  ASSERT_NE(argb, nullptr);
  EXPECT_EQ(width, 3);
  EXPECT_EQ(height, 2);
  EXPECT_EQ(kind, 2);
  for (int i = 0; i < 6; i++) EXPECT_EQ(argb[i], pixels[i]) << i;
  freePixels(argb);
  EXPECT_EQ(read(nullptr, 9, tags), nullptr);

  EXPECT_EQ(bitmapOf(nullptr, 3), b->bitmap);
  EXPECT_EQ(bitmapOf(nullptr, 9), nullptr);
  EXPECT_EQ(FreeBrushObject(h.L, ObjectId{nullptr, 3}, 1), ERR_NONE);
}

}  // namespace
