// The on-screen sprite instances of background pictures: their list (new
// sprites before the first video instance, so that videos stay on top),
// the overlap test that keeps sprites intact under other drawing, and the
// redraw of a rectangle: the window bitmap (the picture with what was
// drawn on it) with the sprites composed over it, shown in the window.
// The sprites never become part of the window bitmap.
#include <algorithm>

#include "display/context_private.h"
#include "display/display_private.h"

namespace {

SpriteInstance*& listOf(BGPic* pic) { return reinterpret_cast<SpriteInstance*&>(pic->sprites); }

bool overlaps(const SpriteInstance* s, int64_t x, int64_t y, int64_t width, int64_t height) {
  // Inclusive corners on both sides.
  const int64_t ax2 = int64_t{s->x} + s->width - 1, ay2 = int64_t{s->y} + s->height - 1;
  const int64_t bx2 = x + width - 1, by2 = y + height - 1;
  return s->width > 0 && s->height > 0 && width > 0 && height > 0 && s->x <= bx2 && x <= ax2 &&
         s->y <= by2 && y <= ay2;
}

}  // namespace

void SetSpriteRestoreHook(ErrorCode (*restore)()) { displayContext.spriteRestore = restore; }

int RectHitsSprite(const BGPic* pic, int32_t x, int32_t y, int32_t width, int32_t height) {
  if (!pic) return 0;
  for (auto* s = static_cast<const SpriteInstance*>(pic->sprites); s; s = s->next)
    if (overlaps(s, x, y, width, height)) return 1;
  return 0;
}

int32_t CountSpriteInstances(const BGPic* pic) {
  int32_t n = 0;
  if (pic)
    for (auto* s = static_cast<const SpriteInstance*>(pic->sprites); s; s = s->next)
      if (!s->video) ++n;
  return n;
}

void FreeSpriteInstances(BGPic* pic) {
  SpriteInstance*& head = listOf(pic);
  while (SpriteInstance* s = head) {
    head = s->next;
    FreeMemory(s);
  }
}

SpriteInstance* FindSpriteInstance(ObjectId id, int32_t* index) {
  if (index) *index = -1;
  DisplayRecord* d = GetCurrentDisplay();
  if (!d || !d->bgpic) return nullptr;
  int32_t i = 0;
  for (SpriteInstance* s = listOf(d->bgpic); s; s = s->next, ++i)
    if (!s->video && s->id.number == id.number && s->id.autoId == id.autoId) {
      if (index) *index = i;
      return s;
    }
  return nullptr;
}

SpriteInstance* AddSpriteInstance(BGPic* pic, int isVideo) {
  auto* s = static_cast<SpriteInstance*>(AllocMemory(sizeof(SpriteInstance), 1));
  if (!s) return nullptr;
  s->pictureWord = pic->reserved;
  SpriteInstance** link = &listOf(pic);
  if (!isVideo)
    while (*link && !(*link)->video) link = &(*link)->next;
  else
    while (*link) link = &(*link)->next;
  s->next = *link;
  *link = s;
  return s;
}

void ForgetSpriteInstances(const void* sprite) {
  for (BGPic* p = GetBGPicList(); p; p = reinterpret_cast<BGPic*>(p->head.next))
    for (SpriteInstance** link = &listOf(p); *link;) {
      SpriteInstance* s = *link;
      if (s->sprite == sprite && !s->video) {
        *link = s->next;
        FreeMemory(s);
      } else {
        link = &s->next;
      }
    }
}

void UnlinkSpriteInstance(BGPic* pic, SpriteInstance* instance) {
  for (SpriteInstance** link = &listOf(pic); *link; link = &(*link)->next)
    if (*link == instance) {
      *link = instance->next;
      instance->next = nullptr;
      return;
    }
}

void DrawSpriteInstances(const BGPic* pic, BitmapHandle* dest, int32_t originX, int32_t originY,
                         int32_t x, int32_t y, int32_t width, int32_t height) {
  if (!pic || !dest) return;
  for (auto* s = static_cast<const SpriteInstance*>(pic->sprites); s; s = s->next) {
    if (!s->image.bitmap || !overlaps(s, x, y, width, height)) continue;
    const int32_t x1 = std::max(s->x, x), y1 = std::max(s->y, y);
    const int32_t x2 = static_cast<int32_t>(std::min(int64_t{s->x} + s->width, int64_t{x} + width));
    const int32_t y2 =
        static_cast<int32_t>(std::min(int64_t{s->y} + s->height, int64_t{y} + height));
    SafeBlt(nullptr, s->image.bitmap, x1 - s->x, y1 - s->y, dest, x1 - originX, y1 - originY,
            x2 - x1, y2 - y1, s->width, s->height, static_cast<int32_t>(GetBitmapAttr(dest, 0)),
            static_cast<int32_t>(GetBitmapAttr(dest, 14)),
            SAFEBLT_BITMAPONLY | SAFEBLT_NOSPRITES | SAFEBLT_NOCLIPRECORD, s->image.mask,
            s->image.alpha, nullptr);
  }
}

void RedrawSpriteArea(VmState*, DisplayRecord* d, int32_t x, int32_t y, int32_t width,
                      int32_t height) {
  if (!d || !d->windowBitmap || !d->bgpic) return;
  BitmapHandle* shown = d->windowBitmap;
  const int32_t bw = shown->width, bh = shown->height;
  // A scaled window is refreshed whole, so the whole picture is composed.
  if (d->autoscale && d->scaleWidth > 0 && d->scaleHeight > 0 &&
      (d->scaleWidth != bw || d->scaleHeight != bh)) {
    x = y = 0;
    width = bw;
    height = bh;
  }
  const int32_t x1 = std::max(x, 0), y1 = std::max(y, 0);
  const int32_t x2 = static_cast<int32_t>(std::min<int64_t>(int64_t{x} + width, bw));
  const int32_t y2 = static_cast<int32_t>(std::min<int64_t>(int64_t{y} + height, bh));
  if (x2 <= x1 || y2 <= y1) return;
  const bool whole = x1 == 0 && y1 == 0 && x2 == bw && y2 == bh;
  OwnedBitmap buffer(AllocBitmap(whole ? bw : x2 - x1, whole ? bh : y2 - y1, 0, nullptr));
  if (!buffer) return;
  const int32_t ox = whole ? 0 : x1, oy = whole ? 0 : y1;
  BltBitmapToTarget(shown, x1, y1, buffer.get(), x1 - ox, y1 - oy, x2 - x1, y2 - y1);
  DrawSpriteInstances(d->bgpic, buffer.get(), ox, oy, x1, y1, x2 - x1, y2 - y1);
  if (whole)
    RefreshDisplayRect(buffer.get(), 0, 0, d, 0, 0, bw, bh, REFRESH_SCALE);
  else
    RefreshDisplayRect(buffer.get(), 0, 0, d, x1, y1, x2 - x1, y2 - y1, 0);
}
