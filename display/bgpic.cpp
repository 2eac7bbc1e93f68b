// Background-picture records and their global list: making, finding,
// freeing (deferred while a display shows the picture) and rescaling.
// Invariant: the three image triples may share bitmaps (current = source
// when unscaled, source = first until scaled); every freeing step frees each
// distinct bitmap exactly once.
#include <cstring>

#include "display/display.h"
#include "display/context_private.h"
#include "display/display_private.h"
#include "display/layer_private.h"

namespace {

bool sameId(const BGPic* pic, ObjectId id) {
  return id.autoId ? pic->head.autoId == id.autoId
                   : (!pic->head.autoId && pic->head.number == id.number);
}

ErrorCode notFound(ObjectId id) {
  if (id.autoId) return ERR_FINDARRAY;
  SetErrorArgNumber(id.number);
  return ERR_FINDBGPIC;
}

bool shownByDisplay(const BGPic* pic) {
  for (DisplayRecord* d = GetDisplayList(); d; d = reinterpret_cast<DisplayRecord*>(d->head.next))
    if (d->bgpic == pic) return true;
  return false;
}

void unlink(BGPic* pic) {
  for (BGPic** link = &displayContext.bgpicList; *link;
       link = reinterpret_cast<BGPic**>(&(*link)->head.next)) {
    if (*link == pic) {
      *link = reinterpret_cast<BGPic*>(pic->head.next);
      break;
    }
  }
  if (displayContext.currentBGPic == pic) displayContext.currentBGPic = nullptr;
}

// Frees the current triple where it is not the source triple.
void freeCurrentImages(BGPic* pic) {
  if (pic->bitmap != pic->sourceBitmap && pic->bitmap != pic->firstBitmap) FreeBitmap(pic->bitmap);
  if (pic->mask != pic->sourceMask && pic->mask != pic->firstMask) FreeBitMask(pic->mask);
  if (pic->alpha != pic->sourceAlpha && pic->alpha != pic->firstAlpha) FreeAlphaChannel(pic->alpha);
}

}  // namespace

BGPic* GetBGPicList() { return displayContext.bgpicList; }
BGPic* GetCurrentBGPic() { return displayContext.currentBGPic; }
void SetCurrentBGPic(BGPic* pic) { displayContext.currentBGPic = pic; }

void InitBGPicRecord(BGPic* pic, int32_t selectionKind, void* selectionRecord,
                     int32_t selectionFrame, ObjectId id, BitmapHandle* bitmap, BitmapHandle* mask,
                     BitmapHandle* alpha, int32_t width, int32_t height, int clear) {
  if (clear) {
    std::memset(static_cast<void*>(pic), 0, sizeof *pic);
    NewList(&pic->layers);
  }
  pic->head.type = OBJECT_BGPIC;
  pic->head.number = id.number;
  pic->head.autoId = id.autoId;
  pic->selectionKind = selectionKind;
  pic->selectionRecord = selectionRecord;
  pic->selectionFrame = selectionFrame;
  pic->bitmap = pic->sourceBitmap = pic->firstBitmap = bitmap;
  pic->mask = pic->sourceMask = pic->firstMask = mask;
  pic->alpha = pic->sourceAlpha = pic->firstAlpha = alpha;
  pic->width = pic->sourceWidth = pic->firstWidth = width;
  pic->height = pic->sourceHeight = pic->firstHeight = height;
}

ErrorCode AddBGPicObject(ObjectId* id, int automatic, int32_t rerender, int32_t width,
                         int32_t height, int32_t widthAsMade, void* pictureHandle,
                         BitmapHandle* bitmap, uint32_t* palette, int64_t transparentColour,
                         BitmapHandle* mask, BitmapHandle* alpha, const BGPicFill* fill,
                         BGPic** out) {
  auto* pic = static_cast<BGPic*>(AllocMemory(sizeof(BGPic), 1));
  if (!pic) return ERR_MEM;
  if (automatic) *id = ObjectId{pic, 0};
  InitBGPicRecord(pic, 0, nullptr, 0, *id, bitmap, mask, alpha, width, height, 1);
  pic->rerender = rerender;
  pic->widthAsMade = widthAsMade;
  pic->pictureHandle = pictureHandle;
  pic->palette = palette;
  pic->transparentColour = transparentColour;
  if (fill) pic->fill = *fill;
  BGPic** link = &displayContext.bgpicList;
  while (*link) link = reinterpret_cast<BGPic**>(&(*link)->head.next);
  *link = pic;
  if (out) *out = pic;
  return ERR_NONE;
}

ErrorCode GetBGPicObject(VmState* L, ObjectId id, BGPic** out, uint32_t access) {
  *out = nullptr;
  for (BGPic* pic = displayContext.bgpicList; pic; pic = reinterpret_cast<BGPic*>(pic->head.next)) {
    if (!sameId(pic, id) || (pic->freePending && !(access & BGPIC_FREEPENDING))) continue;
    if (access & BGPIC_WRITE) {
      if (pic->locked) return ERR_LOCKEDOBJ;
      if (!(access & BGPIC_NOLAYERCOPY)) {
        void* copy = nullptr;
        ErrorCode error = CopyObjectForLayers(L, OBJECT_BGPIC, id, nullptr, pic, &copy);
        if (error != ERR_NONE) return error;
      }
    }
    *out = pic;
    return ERR_NONE;
  }
  return notFound(id);
}

void FreeBGPicContents(VmState* L, BGPic* pic, int withButtons) {
  FreeSpriteInstances(pic);
  FreeAllLayers(L, pic, withButtons, 1);
  if (withButtons) FreeBGPicButtons(L, pic);
  freeCurrentImages(pic);
  if (pic->sourceBitmap != pic->firstBitmap) FreeBitmap(pic->sourceBitmap);
  if (pic->sourceMask != pic->firstMask) FreeBitMask(pic->sourceMask);
  if (pic->sourceAlpha != pic->firstAlpha) FreeAlphaChannel(pic->sourceAlpha);
  FreeBitmap(pic->firstBitmap);
  FreeBitMask(pic->firstMask);
  FreeAlphaChannel(pic->firstAlpha);
  pic->bitmap = pic->sourceBitmap = pic->firstBitmap = nullptr;
  pic->mask = pic->sourceMask = pic->firstMask = nullptr;
  pic->alpha = pic->sourceAlpha = pic->firstAlpha = nullptr;
  FreeMemory(pic->palette);
  pic->palette = nullptr;
  FreeBitmap(pic->fill.bitmap);
  pic->fill.bitmap = nullptr;
  ReleasePictureHandle(static_cast<PictureHandle*>(pic->pictureHandle));
  pic->pictureHandle = nullptr;
}

ErrorCode RealizeBGPicImages(VmState* L) {
  for (BGPic* pic = displayContext.bgpicList; pic; pic = reinterpret_cast<BGPic*>(pic->head.next)) {
    if (!pic->pictureHandle || pic->bitmap) continue;
    if (pic->deferredLoad) {
      // A picture loaded while preloading: its images are built from the
      // loaded picture, which is then released.
      auto* handle = static_cast<PictureHandle*>(pic->pictureHandle);
      BitmapHandle *bitmap = nullptr, *mask = nullptr, *alpha = nullptr;
      int64_t key = pic->transparentColour;
      if (ErrorCode e = BuildLoadedBGPicImages(handle, &key, pic->loadAlpha, pic->fill, &bitmap,
                                               &mask, &alpha))
        return e;
      InitBGPicRecord(pic, pic->selectionKind, pic->selectionRecord, pic->selectionFrame,
                      ObjectId{pic->head.autoId, pic->head.number}, bitmap, mask, alpha,
                      pic->firstWidth, pic->firstHeight, 0);
      pic->transparentColour = key;
      pic->deferredLoad = 0;
      pic->pictureHandle = nullptr;
      ReleasePictureHandle(handle);
      continue;
    }
    // A picture made while preloading: its images are built from its
    // description at the size it was made; an unfilled one starts black.
    BitmapHandle* raw = nullptr;
    if (pic->fill.style != FILLNONE) {
      if (ErrorCode e = BuildDisplayFill(L, pic->fill, pic->firstWidth, pic->firstHeight, &raw))
        return e;
    } else {
      raw = AllocBitmap(pic->firstWidth, pic->firstHeight, 0, nullptr);
      if (!raw) return ERR_BITMAP;
      FillBitmapRect(raw, 0, 0, pic->firstWidth, pic->firstHeight, 0);
    }
    pic->bitmap = pic->sourceBitmap = pic->firstBitmap = raw;
    pic->width = pic->sourceWidth = pic->firstWidth;
    pic->height = pic->sourceHeight = pic->firstHeight;
    ReleasePictureHandle(static_cast<PictureHandle*>(pic->pictureHandle));
    pic->pictureHandle = nullptr;
  }
  return ERR_NONE;
}

ErrorCode PrepareBGPicChannel(VmState* L, ObjectId id, int32_t kind, BitmapHandle** channel) {
  *channel = nullptr;
  BGPic* pic = nullptr;
  if (ErrorCode e = GetBGPicObject(L, id, &pic, 0)) return e;
  const bool wantMask = kind == OUTPUT_MASK;
  BitmapHandle* made = wantMask ? pic->sourceMask : pic->sourceAlpha;
  if (!made) {
    const int32_t w = pic->sourceWidth, h = pic->sourceHeight;
    if (wantMask) {
      made = AllocBitMask(pic->sourceBitmap, w, h, 0, nullptr, 0);
      if (!made) return ERR_ALLOCMASK;
      MaskRectOp(made, 0, 0, w, h, 0);
    } else {
      made = AllocAlphaChannel(w, h, 0, nullptr, 0);
      if (!made) return ERR_ALLOCALPHA;
      FillAlphaRect(made, 0, 0, w, h, 255);
    }
    // A picture has a mask or an alpha channel, never both. Every triple
    // that shares the source images takes the new channel; a current
    // triple at another size is made again from the source images when
    // the selection ends.
    BitmapHandle* other = wantMask ? pic->sourceAlpha : pic->sourceMask;
    const BitmapHandle* source = pic->sourceBitmap;
    auto give = [&](BitmapHandle* bitmap, BitmapHandle** mask, BitmapHandle** alpha) {
      if (bitmap != source) return;
      *(wantMask ? mask : alpha) = made;
      *(wantMask ? alpha : mask) = nullptr;
    };
    give(pic->bitmap, &pic->mask, &pic->alpha);
    give(pic->sourceBitmap, &pic->sourceMask, &pic->sourceAlpha);
    give(pic->firstBitmap, &pic->firstMask, &pic->firstAlpha);
    // Freed unless a triple at another size still holds it.
    const bool held = wantMask ? (other == pic->alpha || other == pic->firstAlpha)
                               : (other == pic->mask || other == pic->firstMask);
    if (other && !held) {
      if (wantMask)
        FreeAlphaChannel(other);
      else
        FreeBitMask(other);
    }
  }
  *channel = made;
  return ERR_NONE;
}

void FreeBGPicByRecord(VmState* L, BGPic* pic) {
  if (!pic) return;
  unlink(pic);
  FreeBGPicContents(L, pic, 1);
  FreeMemory(pic);
}

ErrorCode FreeBGPicRecord(VmState* L, ObjectId id) {
  BGPic* pic = nullptr;
  ErrorCode error = GetBGPicObject(L, id, &pic, BGPIC_FREEPENDING);
  if (error != ERR_NONE) return error;
  FreeBGPicByRecord(L, pic);
  return ERR_NONE;
}

ErrorCode DeleteBGPic(VmState* L, ObjectId id, int strict) {
  BGPic* pic = nullptr;
  ErrorCode error = GetBGPicObject(L, id, &pic, BGPIC_WRITE);
  if (error != ERR_NONE) return strict || error == ERR_LOCKEDOBJ ? error : ERR_NONE;
  // Drawing goes into the picture: it stays until the selection ends.
  if (IsBGPicOutputSelection(pic)) return ERR_MODIFYABGPIC;
  if (shownByDisplay(pic) || FindLayerOfObject(OBJECT_BGPIC, id, nullptr, nullptr, nullptr)) {
    pic->head.number = 0;
    pic->head.autoId = pic;
    pic->freePending = 1;
    return ERR_NONE;
  }
  FreeBGPicByRecord(L, pic);
  return ERR_NONE;
}

void FreePendingBGPics(VmState* L) {
  for (BGPic* pic = displayContext.bgpicList; pic;) {
    BGPic* next = reinterpret_cast<BGPic*>(pic->head.next);
    if (pic->freePending && !shownByDisplay(pic)) FreeBGPicByRecord(L, pic);
    pic = next;
  }
}

void FreeAllBGPics(VmState* L) {
  while (displayContext.bgpicList) FreeBGPicByRecord(L, displayContext.bgpicList);
  displayContext.currentBGPic = nullptr;
}

void GetBGPicDisplaySize(const BGPic* pic, int32_t* width, int32_t* height) {
  *width = pic->width;
  *height = pic->height;
}

ErrorCode RebuildScaledBGPicImages(BGPic* pic, int32_t smooth) {
  if (pic->bitmap == pic->sourceBitmap) return ERR_NONE;
  const int32_t width = pic->width, height = pic->height;
  freeCurrentImages(pic);
  pic->bitmap = pic->sourceBitmap;
  pic->mask = pic->sourceMask;
  pic->alpha = pic->sourceAlpha;
  pic->width = pic->sourceWidth;
  pic->height = pic->sourceHeight;
  return RescaleBGPic(pic, width, height, smooth);
}

ErrorCode RescaleBGPic(BGPic* pic, int32_t width, int32_t height, int32_t smooth) {
  if (width < 1 || height < 1) return ERR_BITMAP;
  if (width == pic->width && height == pic->height) return ERR_NONE;
  BitmapHandle *bitmap = pic->sourceBitmap, *mask = pic->sourceMask, *alpha = pic->sourceAlpha;
  if (width != pic->sourceWidth || height != pic->sourceHeight) {
    bitmap = mask = alpha = nullptr;
    ErrorCode error = TransformBitmap(pic->sourceBitmap, pic->sourceMask, pic->sourceAlpha, 0, 0,
                                      nullptr, pic->sourceWidth, pic->sourceHeight, width, height,
                                      smooth, &bitmap, &mask, &alpha);
    if (error != ERR_NONE) return error == ERR_MEM ? ERR_BITMAP : error;
  }
  freeCurrentImages(pic);
  pic->bitmap = bitmap;
  pic->mask = mask;
  pic->alpha = alpha;
  pic->width = width;
  pic->height = height;
  return ERR_NONE;
}
