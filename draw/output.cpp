// Output devices and double buffering: SelectBrush, SelectMask and
// SelectAlphaChannel redirect drawing to a brush's pixels, mask or alpha
// channel; PrepareOutputTarget makes a missing mask or alpha channel once
// per selection; BeginDoubleBuffer, Flip and EndDoubleBuffer draw into a
// back buffer that is shown rectangle by rectangle. Invariant: every
// refusal leaves the output target as it was; a selection made while
// double buffering suspends it and its end resumes it.
#include <algorithm>

#include "draw/draw_private.h"
#include "platform/linux/platform.h"

namespace {

bool isSelectionKind(int32_t kind) {
  return kind == OBJECT_BRUSH || kind == OUTPUT_MASK || kind == OUTPUT_ALPHA;
}

// The display's selection record: made once, owned by the display.
BGPic* deviceRecord(DisplayRecord* d) {
  if (!d->deviceRecord) d->deviceRecord = static_cast<BGPic*>(AllocMemory(sizeof(BGPic), 1));
  return d->deviceRecord;
}

bool sameSelection(const DisplayRecord* d, int32_t type, ObjectId id, int32_t kind, int32_t frame) {
  const BGPic* r = d->deviceRecord;
  return r && d->outputKind == kind && !d->doubleBuffer && r->head.type == type &&
         r->head.number == id.number && r->head.autoId == id.autoId && r->selectionFrame == frame;
}

// The drawing bitmaps of a brush for the target kind.
void pointAtBrush(DisplayRecord* d, const BrushObject* b, int32_t kind, int32_t mode) {
  d->drawBitmap = d->drawMask = d->drawAlpha = nullptr;
  if (kind == OUTPUT_MASK) {
    d->drawBitmap = b->video ? b->bitmap : b->mask;
  } else if (kind == OUTPUT_ALPHA) {
    d->drawBitmap = b->video ? b->bitmap : b->alpha;
  } else {
    d->drawBitmap = b->bitmap;
    if (mode == SELMODE_COMBO) {
      d->drawMask = b->mask;
      d->drawAlpha = b->alpha;
    }
  }
}

// Arguments of the selection commands: id[, type[, frame]].
int selectCommand(VmState* L, int32_t kind) {
  CheckArgCount(L, 1, 3, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  int32_t type = VmOptInteger(L, 2, OBJECT_BRUSH);
  int32_t frame = 0;
  if (type == OBJTYPE_ANIM && VmGetTop(L) < 3) return ERR_MISSINGPARAMTR;
  if (VmGetTop(L) >= 3) frame = VmCheckInteger(L, 3);
  return SelectOutputDevice(L, type, id, kind, frame, SELMODE_NORMAL, 0);
}

}  // namespace

int CmdSelectBrush(VmState* L) {
  CheckArgCount(L, 1, 3, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  int32_t mode = VmOptInteger(L, 2, SELMODE_NORMAL);
  int32_t combo = VmOptInteger(L, 3, 0);
  if (mode < SELMODE_NORMAL || mode > SELMODE_LAYERS) return ERR_WRONGUSAGE;
  return SelectOutputDevice(L, OBJECT_BRUSH, id, OBJECT_BRUSH, 0, mode, combo);
}

int CmdSelectMask(VmState* L) { return selectCommand(L, OUTPUT_MASK); }
int CmdSelectAlphaChannel(VmState* L) { return selectCommand(L, OUTPUT_ALPHA); }

ErrorCode SelectedOutputRefusal(const DisplayRecord* d) {
  switch (d->outputKind) {
    case OBJECT_BRUSH:
      if (d->doubleBuffer || d->bufferSuspended) return ERR_ENDDOUBLEBUFFER;
      return d->deviceRecord && d->deviceRecord->head.type == OBJTYPE_ANIM ? ERR_SELECTANIM
                                                                           : ERR_SELECTBRUSH;
    case OBJTYPE_ANIM:
      return ERR_SELECTANIM;
    case OBJECT_BGPIC:
      return ERR_SELECTBG;
    case OUTPUT_MASK:
      return ERR_SELECTMASK;
    case OUTPUT_ALPHA:
      return ERR_SELECTALPHACHANNEL;
    default:
      return ERR_NONE;
  }
}

namespace {

// Why double buffering cannot begin now, or 0.
ErrorCode beginRefusal(const DisplayRecord* d) {
  switch (d->outputKind) {
    case OBJECT_BRUSH:
      if (d->doubleBuffer) return ERR_ENDDOUBLEBUFFER;
      return d->deviceRecord && d->deviceRecord->head.type == OBJTYPE_ANIM ? ERR_SELECTANIM
                                                                           : ERR_SELECTBRUSH;
    case OBJECT_DISPLAY:
      // The adapter's buffering draws into the display itself.
      if (d->doubleBuffer) return ERR_ENDDOUBLEBUFFER;
      break;
    case OUTPUT_MASK:
      return ERR_SELECTMASK;
    case OUTPUT_ALPHA:
      return ERR_SELECTALPHACHANNEL;
    case OBJECT_BGPIC:
      return ERR_SELECTBG;
    default:
      break;
  }
  const BGPic* pic = d->bgpic;
  // An Exec-style list is empty when its head is its tail node.
  bool pictureLayers = pic && pic->layers.head && pic->layers.head->succ;
  if (d->layers || pictureLayers) return ERR_LAYERSOFF;
  if (d->collectRefreshes) return ERR_BEGINREFRESH;
  // A video shown through a sprite instance is refused as a video below.
  if (pic && CountSpriteInstances(pic)) return ERR_NOSPRITES;
  if (pic && (pic->mask || pic->alpha)) return ERR_DBTRANSWIN;
  if (DisplayShowsVideo(d, 0, 0)) return ERR_VIDATTACHED;
  return ERR_NONE;
}

}  // namespace

int CmdBeginDoubleBuffer(VmState* L) {
  CheckArgCount(L, 0, 1, 0, 0);
  int hardware = VmOptFlag(L, 1, 0);
  DisplayRecord* d = GetCurrentDisplay();
  if (!d) return ERR_CLOSEDDISPLAY;
  if (ErrorCode e = beginRefusal(d)) return e;
  if (!d->bgpic || !d->bgpic->bitmap) return ERR_BITMAP;
  int32_t width = d->bgpic->width, height = d->bgpic->height;
  if (hardware && AdapterDoubleBuffers()) {
    // The adapter buffers the window itself: drawing goes into the display
    // as always, and the window shows it at each flip.
    if (d->callbacks) return ERR_SATELLITE;
    if (!d->windowHandle) return ERR_CLOSEDDISPLAY;
    if (ErrorCode e = AdapterBeginDoubleBuffer(d)) return e;
    d->adapterDoubleBuffer = 1;
    d->doubleBuffer = 1;
    return 0;
  }
  // A back buffer in video memory when asked and the adapter makes video
  // bitmaps, unless the video recorder reads the pixels.
  bool video = hardware && (AdapterSupportedBitmapFlags(8) & 8) && !VideoRecorderActive();
  if (ErrorCode e = AllocBackBuffer(d, width, height)) return e;
  OwnedBitmap back(AllocBitmap(width, height, video ? 8u : 0u, nullptr));
  if (!back) return ERR_BITMAP;
  FillBitmapRect(back.get(), 0, 0, width, height, 0xFF000000u);
  if (!d->backBufferRecord)
    d->backBufferRecord = static_cast<BGPic*>(AllocMemory(sizeof(BGPic), 1));
  if (!d->backBufferRecord) return ERR_MEM;
  FreeDirtyRects(&d->dirty);
  d->dirty.entries = static_cast<DirtyRect*>(AllocMemoryArray(DIRTY_BLOCK, sizeof(DirtyRect), 0));
  if (!d->dirty.entries) return ERR_MEM;
  d->dirty.capacity = DIRTY_BLOCK;
  BGPic* r = d->backBufferRecord;
  r->head.type = OBJECT_BRUSH;
  r->width = width;
  r->height = height;
  FreeBitmap(d->backBuffer);
  d->backBuffer = back.release();
  d->videoBackBuffer = d->backBuffer->video ? 1 : 0;
  d->outputKind = OBJECT_BRUSH;
  d->outputVideo = d->videoBackBuffer;
  d->drawBitmap = d->backBuffer;
  d->drawMask = d->drawAlpha = nullptr;
  d->doubleBuffer = 1;
  return 0;
}

int CmdFlip(VmState* L) {
  CheckArgCount(L, 0, 1, 0, 0);
  int32_t sync = VmOptInteger(L, 1, 1);
  DisplayRecord* d = GetCurrentDisplay();
  if (!d || !d->doubleBuffer) return ERR_NODOUBLEBUFFER;
  if (d->adapterDoubleBuffer) return AdapterFlip(d, sync);
  if (ErrorCode e = CopyBackBuffer(d)) return e;
  if (sync) WaitDisplayVBlank(L, d, 1);
  FlipDisplayBuffers(d, 0, 0);
  ClearDirtyRects(&d->dirty);
  return 0;
}

int CmdEndDoubleBuffer(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  DisplayRecord* d = GetCurrentDisplay();
  if (!d) return ERR_NODOUBLEBUFFER;
  return EndDoubleBufferCore(L, d);
}

ErrorCode CopyBackBuffer(DisplayRecord* d) {
  int32_t width = d->backBuffer->width, height = d->backBuffer->height;
  bool scaled = d->autoscale && d->scaleWidth > 0 && d->scaleHeight > 0;
  if (scaled && (d->presentBuffer->width != width || d->presentBuffer->height != height)) {
    if (ErrorCode e =
            TransformBitmap(d->backBuffer, nullptr, nullptr, 0, 0, d->presentBuffer, width, height,
                            d->presentBuffer->width, d->presentBuffer->height, d->smooth, nullptr,
                            nullptr, nullptr))
      return e;
  } else if (!d->dirty.full) {
    MergeDirtyRects(&d->dirty);
    // Top to bottom, so that the rows of neighbouring rectangles are copied
    // close together in time: the pages and lines of both buffers are
    // then still at hand.
    DirtyRect* first = d->dirty.entries;
    DirtyRect* live =
        std::partition(first, first + d->dirty.count, [](const DirtyRect& r) { return !r.merged; });
    std::sort(first, live, [](const DirtyRect& a, const DirtyRect& b) {
      return a.y1 != b.y1 ? a.y1 < b.y1 : a.x1 < b.x1;
    });
    for (int32_t i = 0; i < d->dirty.count; ++i) {
      DirtyRect r = d->dirty.entries[i];
      if (r.merged) continue;
      int32_t x = r.x1, y = r.y1, w = r.x2 - r.x1 + 1, h = r.y2 - r.y1 + 1;
      ClipBlitRect(nullptr, &x, &y, &x, &y, &w, &h, width, height, width, height, 0);
      if (w > 0 && h > 0) BltBitmapToTarget(d->backBuffer, x, y, d->presentBuffer, x, y, w, h);
    }
  } else {
    BltBitmapToTarget(d->backBuffer, 0, 0, d->presentBuffer, 0, 0, width, height);
  }
  return ERR_NONE;
}

ErrorCode SelectOutputDevice(VmState* L, int32_t type, ObjectId id, int32_t kind, int32_t frame,
                             int32_t mode, int32_t combo) {
  DisplayRecord* d = GetOutputDisplay();
  if (!d) return ERR_MEM;
  if (sameSelection(d, type, id, kind, frame)) return ERR_NONE;
  BrushObject* brush = nullptr;
  BrushObject frameBrush{};  // an anim frame's or a layer's own bitmaps
  qmLayer* selectedLayer = nullptr;
  switch (type) {
    case OBJECT_BRUSH: {
      if (ErrorCode e = GetBrushObject(L, id, &brush, BRUSH_NOVECTOR | BRUSH_HARDWARE)) return e;
      uint32_t need = kind == OBJECT_BRUSH ? 64u : 128u;
      if (brush->video && !(AdapterSupportedBitmapFlags(need) & need)) return ERR_HWBRUSH;
      break;
    }
    case OBJTYPE_ANIM: {
      if (frame == 0) return ERR_MISSINGPARAMTR;
      if (!drawContext.animHooks.getFrame) return ObjectNotFound(id, ERR_FINDANIM);
      AnimFrameView view{};
      if (ErrorCode e = drawContext.animHooks.getFrame(L, id, VmIndexFromOne(frame), &view))
        return e;
      if (view.owned) {
        // A disk anim's frames are decoded anew each time: nothing drawn
        // into one would stay.
        FreeBitmap(view.bitmap);
        FreeBitMask(view.mask);
        FreeAlphaChannel(view.alpha);
        return ERR_ANIMDISK;
      }
      if ((kind == OUTPUT_MASK && !view.mask) || (kind == OUTPUT_ALPHA && !view.alpha))
        return ERR_WRONGUSAGE;
      frameBrush.bitmap = view.bitmap;
      frameBrush.mask = view.mask;
      frameBrush.alpha = view.alpha;
      frameBrush.width = view.width;
      frameBrush.height = view.height;
      brush = &frameBrush;
      break;
    }
    case OBJECT_BGPIC: {
      // Drawing goes into the picture's images at the script's size.
      BGPic* pic = nullptr;
      if (ErrorCode e = GetSelectableBGPic(L, id, &pic)) return e;
      frameBrush.bitmap = pic->sourceBitmap;
      frameBrush.mask = pic->sourceMask;
      frameBrush.alpha = pic->sourceAlpha;
      frameBrush.width = pic->sourceWidth;
      frameBrush.height = pic->sourceHeight;
      brush = &frameBrush;
      break;
    }
    case OBJTYPE_LAYER: {
      LayerTriple t{};
      if (ErrorCode e = GetLayerDrawTarget(L, id.number, &selectedLayer, &t, &frameBrush.width,
                                           &frameBrush.height))
        return e;
      frameBrush.bitmap = t.bitmap;
      frameBrush.mask = t.mask;
      frameBrush.alpha = t.alpha;
      brush = &frameBrush;
      break;
    }
    default:
      return ERR_WRONGUSAGE;
  }
  BGPic* record = deviceRecord(d);
  if (!record) return ERR_MEM;
  if (isSelectionKind(d->outputKind) && !d->doubleBuffer) EndOutputSelection(L, d, 1);
  record->head.type = type;
  record->head.number = id.number;
  record->head.autoId = id.autoId;
  record->selectionFrame = frame;
  record->selectionKind = kind;
  record->width = brush->width;
  record->height = brush->height;
  record->selectionSet = 0;  // not yet prepared
  record->selectionRecord = selectedLayer;
  SaveDisplayDrawState(d, brush->width);
  SetBlitSelectionMode(mode);
  drawContext.selectionCombo = combo;
  d->outputKind = kind;
  d->outputVideo = brush->video;
  if (d->doubleBuffer) {
    d->bufferSuspended = 1;
    d->savedAdapterDoubleBuffer = d->adapterDoubleBuffer;
    d->doubleBuffer = 0;
  }
  pointAtBrush(d, brush, kind, mode);
  return ERR_NONE;
}

ErrorCode PrepareOutputTarget(VmState* L) {
  DisplayRecord* d = GetOutputDisplay();
  if (!d || d->doubleBuffer || !isSelectionKind(d->outputKind) || !d->deviceRecord) return 0;
  BGPic* r = d->deviceRecord;
  if (r->selectionSet) return ERR_NONE;
  if (r->head.type == OBJECT_BGPIC &&
      (d->outputKind == OUTPUT_MASK || d->outputKind == OUTPUT_ALPHA)) {
    // A picture without the selected channel gets one.
    BitmapHandle* channel = nullptr;
    ObjectId id{r->head.autoId, r->head.number};
    if (ErrorCode e = PrepareBGPicChannel(L, id, d->outputKind, &channel)) return e;
    d->drawBitmap = channel;
    d->drawMask = d->drawAlpha = nullptr;
    r->selectionSet = 1;
    return ERR_NONE;
  }
  if (r->head.type == OBJTYPE_ANIM || r->head.type == OBJECT_BGPIC ||
      r->head.type == OBJTYPE_LAYER) {
    // The selected frame's or layer's channels were checked when it was
    // selected, a picture's pixels need nothing, and the object refuses
    // every change while it is selected.
    r->selectionSet = 1;
    return ERR_NONE;
  }
  if (r->head.type != OBJECT_BRUSH) return ERR_WRONGUSAGE;
  BrushObject* b = nullptr;
  ObjectId id{r->head.autoId, r->head.number};
  uint32_t flags = BRUSH_MODIFY | (d->outputVideo ? BRUSH_HARDWARE : 0u);
  if (ErrorCode e = GetBrushObject(L, id, &b, flags)) return e;
  if (b->video) {
    // A video bitmap carries its mask or alpha channel in its pixels: the
    // adapter gets it ready for drawing into them.
    if (ErrorCode e = PrepareVideoBitmap(b->bitmap)) return e;
  } else {
    if (d->outputKind == OUTPUT_MASK && !b->mask) {
      BitmapHandle* mask = AllocBitMask(b->bitmap, b->width, b->height, 0, nullptr, 0);
      if (!mask) return ERR_ALLOCMASK;
      MaskRectOp(mask, 0, 0, b->width, b->height, 0);
      b->mask = mask;
      b->keyColour = BRUSH_MASK_KEY;
      // A brush has a mask or an alpha channel, never both.
      FreeAlphaChannel(b->alpha);
      b->alpha = nullptr;
    } else if (d->outputKind == OUTPUT_ALPHA && !b->alpha) {
      BitmapHandle* alpha = AllocAlphaChannel(b->width, b->height, 0, nullptr, 0);
      if (!alpha) return ERR_ALLOCALPHA;
      FillAlphaRect(alpha, 0, 0, b->width, b->height, 255);
      b->alpha = alpha;
      FreeBitMask(b->mask);
      b->mask = nullptr;
      b->keyColour = -1;
    }
    pointAtBrush(d, b, d->outputKind, GetBlitSelectionMode());
  }
  r->selectionSet = 1;
  return ERR_NONE;
}

int IsBrushOutputDevice(const BrushObject* brush) {
  DisplayRecord* d = GetCurrentDisplay();
  if (!d) d = GetOutputDisplay();
  if (!d || d->doubleBuffer || !isSelectionKind(d->outputKind) || !d->deviceRecord) return 0;
  const BGPic* r = d->deviceRecord;
  return r->head.type == OBJECT_BRUSH && r->head.number == brush->head.number &&
         r->head.autoId == brush->head.autoId;
}

int IsAnimOutputDevice(ObjectId id) {
  DisplayRecord* d = GetCurrentDisplay();
  if (!d) d = GetOutputDisplay();
  if (!d || d->doubleBuffer || !isSelectionKind(d->outputKind) || !d->deviceRecord) return 0;
  const BGPic* r = d->deviceRecord;
  return r->head.type == OBJTYPE_ANIM && r->head.number == id.number && r->head.autoId == id.autoId;
}

void SetAnimDrawHooks(const AnimDrawHooks* hooks) {
  drawContext.animHooks = hooks ? *hooks : AnimDrawHooks{};
}

ErrorCode GetAnimFrameBitmaps(VmState* L, ObjectId id, int32_t frame, ObjectBitmaps* out) {
  *out = ObjectBitmaps{};
  if (!drawContext.animHooks.getFrame) return ObjectNotFound(id, ERR_FINDANIM);
  AnimFrameView view{};
  if (ErrorCode e = drawContext.animHooks.getFrame(L, id, VmIndexFromOne(frame), &view)) return e;
  out->width = view.width;
  out->height = view.height;
  if (view.owned) {
    out->bitmap = view.bitmap;
    out->mask = view.mask;
    out->alpha = view.alpha;
    return ERR_NONE;
  }
  return ConvertBitmap(view.bitmap, view.mask, view.alpha, 0, 0, view.width, view.height, 0, 0,
                       nullptr, nullptr, &out->bitmap, &out->mask, &out->alpha);
}

ErrorCode AllocBackBuffer(DisplayRecord* d, int32_t width, int32_t height) {
  if (d->adapterDoubleBuffer || (d->bufferSuspended && d->savedAdapterDoubleBuffer))
    return ERR_NONE;
  // The window shows the presentation buffer at the scaled size when this
  // side scales it (no adapter scales it).
  if (d->autoscale && d->scaleWidth > 0 && d->scaleHeight > 0) {
    width = d->scaleWidth;
    height = d->scaleHeight;
  }
  BitmapHandle* buffer = AllocBitmap(width, height, 0, nullptr);
  if (!buffer) return ERR_MEM;
  FillBitmapRect(buffer, 0, 0, width, height, 0xFF000000u);
  FreeBitmap(d->presentBuffer);
  d->presentBuffer = buffer;
  return ERR_NONE;
}

ErrorCode EndDoubleBufferCore(VmState* L, DisplayRecord* d) {
  if (d->bufferSuspended) EndOutputSelection(L, d, 1);
  if (!d->doubleBuffer) return ERR_NODOUBLEBUFFER;
  if (d->adapterDoubleBuffer) {
    if (ErrorCode e = AdapterEndDoubleBuffer(d)) return e;
  } else if (d->backBuffer && d->windowBitmap) {
    int32_t w = std::min(d->backBuffer->width, d->windowBitmap->width);
    int32_t h = std::min(d->backBuffer->height, d->windowBitmap->height);
    BltBitmapToTarget(d->backBuffer, 0, 0, d->windowBitmap, 0, 0, w, h);
  }
  FreeBitmap(d->backBuffer);
  FreeBitmap(d->presentBuffer);
  d->backBuffer = d->presentBuffer = nullptr;
  ClearDirtyRects(&d->dirty);
  d->drawBitmap = d->drawMask = d->drawAlpha = nullptr;
  d->outputKind = OBJECT_DISPLAY;
  d->outputVideo = 0;
  d->doubleBuffer = d->videoBackBuffer = d->adapterDoubleBuffer = 0;
  return ERR_NONE;
}
