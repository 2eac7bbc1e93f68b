// Pixel commands of the brush library: reading and writing single pixels
// and whole RGB tables, masks and alpha channels (make, delete, invert,
// reduce), key colours, flood fill, cropping and trimming, and the two
// drawing settings SetAlphaIntensity and SetMaskMode. Invariant: a command
// that fails leaves the brush as it was; kernels that make new bitmaps
// replace the brush's only after they succeeded.
#include <algorithm>
#include <cstring>
#include <vector>

#include "draw/draw_private.h"
#include "engine/engine.h"

namespace {

// The bit of a 1-bit mask row (most significant bit first).
bool maskBit(const uint8_t* row, int32_t x) { return (row[x >> 3] >> (7 - (x & 7))) & 1; }

// Holds a lock of a pixel bitmap, mask or alpha channel.
struct Locked {
  BitmapLock lock{};
  bool held = false;
  bool take(BitmapHandle* handle, uint32_t flags) {
    held = handle && LockBitmap(handle, flags, &lock) != 0;
    return held;
  }
  ~Locked() {
    if (held) UnlockBitmap(&lock);
  }
};

// The colour argument 0xRRGGBB (a script may pass the top byte as well).
ArgbColor colourArg(VmState* L, int index) {
  return static_cast<ArgbColor>(VmCheckInteger(L, index));
}

// The brush for reading: video-memory brushes are refused (ERR_HWBRUSH).
ErrorCode readBrush(VmState* L, int index, uint32_t flags, BrushObject** b) {
  return GetBrushObject(L, GetObjectIdArg(L, index, nullptr), b, flags);
}

// The box of the visible pixels: set mask bits, or else non-zero alpha
// bytes. false when there are none.
bool visibleBox(BrushObject* b, int32_t* x0, int32_t* y0, int32_t* x1, int32_t* y1) {
  *x0 = b->width;
  *y0 = b->height;
  *x1 = *y1 = -1;
  Locked l;
  bool isMask = b->mask != nullptr;
  if (!l.take(isMask ? b->mask : b->alpha, 1)) return false;
  for (int32_t y = 0; y < b->height && y < l.lock.height; ++y) {
    const uint8_t* row = l.lock.address + static_cast<ptrdiff_t>(y) * l.lock.rowLength;
    for (int32_t x = 0; x < b->width && x < l.lock.width; ++x) {
      if (isMask ? !maskBit(row, x) : row[x] == 0) continue;
      *x0 = std::min(*x0, x);
      *x1 = std::max(*x1, x);
      *y0 = std::min(*y0, y);
      *y1 = std::max(*y1, y);
    }
  }
  return *x1 >= 0;
}

// Copies the rectangle into new bitmaps that replace the brush's.
ErrorCode cutBrush(BrushObject* b, int32_t x, int32_t y, int32_t width, int32_t height) {
  BitmapHandle *bitmap = nullptr, *mask = nullptr, *alpha = nullptr;
  if (ErrorCode e = ConvertBitmap(b->bitmap, b->mask, b->alpha, x, y, width, height, 0, 0, nullptr,
                                  nullptr, &bitmap, &mask, &alpha))
    return e;
  ReplaceBrushBitmaps(b, bitmap, mask, alpha, width, height);
  return ERR_NONE;
}

}  // namespace

// IsBrushEmpty(id): 1 when no pixel is visible through the mask or the
// alpha channel, 0 for a brush with neither.
int CmdIsBrushEmpty(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  BrushObject* b;
  if (ErrorCode e = readBrush(L, 1, 0, &b)) return e;
  int empty = 0;
  if (b->height < 1) {
    empty = 1;
  } else if (b->mask || b->alpha) {
    int32_t x0, y0, x1, y1;
    empty = !visibleBox(b, &x0, &y0, &x1, &y1);
  }
  VmPushNumber(L, empty);
  return 1;
}

// ReduceAlphaChannel(id, level): the alpha channel scaled by level / 255.
int CmdReduceAlphaChannel(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  int32_t level;
  if (ErrorCode e = ReadLevelArg(L, 2, &level)) return e;
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  if (level > 255 || !b->alpha) return ERR_WRONGUSAGE;
  CopyBitmapPixels(b->alpha, b->alpha, b->height, level);
  return 0;
}

// WriteBrushPixel(id, x, y, colour[, alpha = -1]): outside the brush
// nothing happens.
int CmdWriteBrushPixel(VmState* L) {
  CheckArgCount(L, 4, 5, 0, 0);
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  int32_t x = ResolveXPos(VmCheckInteger(L, 2), 1, b->width, 0.0);
  int32_t y = ResolveYPos(VmCheckInteger(L, 3), 1, b->height, 0.0);
  ArgbColor colour = colourArg(L, 4);
  int32_t level = VmOptInteger(L, 5, -1);
  if (level > 255) return ERR_WRONGUSAGE;
  if (x < 0 || y < 0 || x >= b->width || y >= b->height) return 0;
  WriteBitmapPixel(b->bitmap, x, y, colour & 0xFFFFFF, 0);
  if (level >= 0 && b->alpha) {
    Locked l;
    if (!l.take(b->alpha, 0)) return ERR_LOCKBMAP;
    l.lock.address[static_cast<ptrdiff_t>(y) * l.lock.rowLength + x] = static_cast<uint8_t>(level);
  }
  return 0;
}

// ReadBrushPixel(id, x, y): the colour and the mask bit, or the alpha byte,
// or -1; outside the brush -1, -1.
int CmdReadBrushPixel(VmState* L) {
  CheckArgCount(L, 3, 3, 0, 0);
  BrushObject* b;
  if (ErrorCode e = readBrush(L, 1, 0, &b)) return e;
  int32_t x = ResolveXPos(VmCheckInteger(L, 2), 1, b->width, 0.0);
  int32_t y = ResolveYPos(VmCheckInteger(L, 3), 1, b->height, 0.0);
  if (!b->bitmap || x < 0 || y < 0 || x >= b->width || y >= b->height) {
    VmPushNumber(L, -1);
    VmPushNumber(L, -1);
    return 2;
  }
  VmPushNumber(L, ReadBitmapPixel(b->bitmap, x, y, 0) & 0xFFFFFF);
  if (b->mask) {
    VmPushNumber(L, ReadBitmapPixel(b->mask, x, y, 1));
  } else if (b->alpha) {
    Locked l;
    if (!l.take(b->alpha, 1)) return ERR_LOCKBMAP;
    VmPushNumber(L, l.lock.address[static_cast<ptrdiff_t>(y) * l.lock.rowLength + x]);
  } else {
    VmPushNumber(L, -1);
  }
  return 2;
}

// BrushToRGBArray(id[, withAlpha]): the pixels row by row from index 0;
// with alpha the top bytes are the opacity (mask bits as 255 or 0).
int CmdBrushToRGBArray(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  BrushObject* b;
  if (ErrorCode e = readBrush(L, 1, 0, &b)) return e;
  int withAlpha = VmOptFlag(L, 2, 0);
  if (!b->bitmap) return ERR_LOCKBMAP;
  uint32_t* pixels = BitmapToARGBWithAlpha(b->bitmap, b->mask, b->alpha, b->width, b->height);
  if (!pixels) return ERR_LOCKBMAP;
  OwnedMemory<uint32_t> keep(pixels);
  size_t count = static_cast<size_t>(b->width) * static_cast<size_t>(b->height);
  VmNewTable(L);
  for (size_t i = 0; i < count; ++i) {
    uint32_t v = withAlpha ? pixels[i] : pixels[i] & 0xFFFFFF;
    VmPushNumber(L, v);
    VmRawSetI(L, -2, static_cast<int>(i));
  }
  return 1;
}

// RGBArrayToBrush(id, table, width, height[, key = -1[, kind = 0]]): a new
// brush from 32-bit colours; a short table leaves the rest 0. Kind 30 takes
// an alpha channel from the top bytes, kind 28 a mask (from the key colour,
// or all visible).
int CmdRGBArrayToBrush(VmState* L) {
  CheckArgCount(L, 4, 6, 0, 0);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 1, &automatic);
  VmCheckTable(L, 2);
  int32_t width = VmCheckInteger(L, 3), height = VmCheckInteger(L, 4);
  int64_t key = VmGetTop(L) >= 5 ? VmSaturateInt<int64_t>(VmCheckNumber(L, 5)) : -1;
  int32_t kind = VmOptInteger(L, 6, 0);
  if (width < 1 || height < 1) return ERR_BADDIMENSIONS;
  if (kind != 0 && kind != OUTPUT_MASK && kind != OUTPUT_ALPHA) return ERR_WRONGUSAGE;
  if (key >= 0) key &= 0xFFFFFF;
  // A size no bitmap may have is refused before its colours are gathered.
  if (!BitmapSizeFits(width, height)) return ERR_MEM;
  size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
  uint32_t* pixels = static_cast<uint32_t*>(AllocMemoryArray(count, 4, 1));
  if (!pixels) return ERR_MEM;
  OwnedMemory<uint32_t> keep(pixels);
  for (size_t i = 0; i < count; ++i) {
    VmRawGetI(L, 2, static_cast<int>(i));
    bool number = VmType(L, -1) == VM_TYPE_NUMBER;
    if (number) pixels[i] = static_cast<uint32_t>(VmNumberToInteger(VmToNumber(L, -1)));
    VmSetTop(L, -2);
    if (!number) break;
  }
  if (!automatic) FreeBrushObject(L, id, 0);
  BitmapHandle *bitmap = nullptr, *mask = nullptr, *alpha = nullptr;
  if (ErrorCode e =
          CreateBitmapFromRGB(pixels, kind == OUTPUT_MASK ? key : -1, width, height, width, 0,
                              kind == OUTPUT_ALPHA ? 8u : 0u, nullptr, &bitmap, &mask, &alpha))
    return e;
  OwnedBitmap owned(bitmap);
  if (kind == OUTPUT_MASK && !mask) {
    mask = AllocBitMask(bitmap, width, height, 0, nullptr, 0);
    if (!mask) return ERR_ALLOCMASK;
    MaskRectOp(mask, 0, 0, width, height, 0);
  }
  int64_t brushKey = mask ? (key >= 0 ? key : BRUSH_MASK_KEY) : -1;
  if (ErrorCode e = AddBrushObject(&id, automatic, 0, width, height, width, 0, nullptr, bitmap,
                                   brushKey, mask, alpha, nullptr, nullptr)) {
    FreeBitMask(mask);
    FreeAlphaChannel(alpha);
    return e;
  }
  owned.release();
  return automatic ? PushObjectId(L, id) : 0;
}

// ChangeBrushTransparency(id, kind): 28 a mask (from the alpha channel, or
// all visible), 30 an alpha channel (from the mask, or opaque), -1 neither.
int CmdChangeBrushTransparency(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  int32_t kind = VmCheckInteger(L, 2);
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  switch (kind) {
    case OUTPUT_MASK: {
      if (b->mask) return 0;
      BitmapHandle* mask = AllocBitMask(b->bitmap, b->width, b->height, 1, nullptr, 0);
      if (!mask) return ERR_ALLOCMASK;
      if (b->alpha) {
        AlphaToMaskRect(b->alpha, 0, 0, mask, 0, 0, b->width, b->height, 0);
        FreeAlphaChannel(b->alpha);
        b->alpha = nullptr;
      } else {
        MaskRectOp(mask, 0, 0, b->width, b->height, 0);
      }
      b->mask = mask;
      if (b->keyColour < 0) b->keyColour = BRUSH_MASK_KEY;
      return 0;
    }
    case OUTPUT_ALPHA: {
      if (b->alpha) return 0;
      BitmapHandle* alpha = AllocAlphaChannel(b->width, b->height, 1, nullptr, 0);
      if (!alpha) return ERR_ALLOCALPHA;
      if (b->mask) {
        MaskToAlphaRect(b->mask, 0, 0, alpha, 0, 0, b->width, b->height, 255);
        FreeBitMask(b->mask);
        b->mask = nullptr;
        b->keyColour = -1;
      } else {
        FillAlphaRect(alpha, 0, 0, b->width, b->height, 255);
      }
      b->alpha = alpha;
      return 0;
    }
    case -1:
      FreeBitMask(b->mask);
      FreeAlphaChannel(b->alpha);
      b->mask = b->alpha = nullptr;
      b->keyColour = -1;
      return 0;
    default:
      return ERR_WRONGUSAGE;
  }
}

// RasterizeBrush(id): a vector brush keeps only its pixels.
int CmdRasterizeBrush(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, 0, &b)) return e;
  if (!b->isVector) return 0;
  ReleasePictureHandle(b->picture);
  b->picture = nullptr;
  b->isVector = 0;
  b->transformed = 0;
  return 0;
}

// TrimBrush(id): cuts the brush to its visible pixels and returns the left
// and top offset of what it kept.
int CmdTrimBrush(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  int32_t x0 = 0, y0 = 0, x1 = b->width - 1, y1 = b->height - 1;
  if (b->height < 1) return ERR_TRANSBRUSH;
  if (b->mask || b->alpha) {
    if (!visibleBox(b, &x0, &y0, &x1, &y1)) return ERR_TRANSBRUSH;
    if (x0 != 0 || y0 != 0 || x1 != b->width - 1 || y1 != b->height - 1)
      if (ErrorCode e = cutBrush(b, x0, y0, x1 - x0 + 1, y1 - y0 + 1)) return e;
  }
  VmPushNumber(L, x0);
  VmPushNumber(L, y0);
  return 2;
}

int CmdDeleteMask(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  FreeBitMask(b->mask);
  b->mask = nullptr;
  b->keyColour = -1;
  return 0;
}

int CmdDeleteAlphaChannel(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  FreeAlphaChannel(b->alpha);
  b->alpha = nullptr;
  return 0;
}

// Inverts every byte of the mask or alpha channel; a brush without one is
// ERR_WRONGUSAGE.
static ErrorCode invertPlane(BitmapHandle* plane) {
  if (!plane) return ERR_WRONGUSAGE;
  Locked l;
  if (!l.take(plane, 0)) return ERR_LOCKBMAP;
  InvertByteRect(l.lock.address, l.lock.height, l.lock.rowLength);
  return ERR_NONE;
}

int CmdInvertAlphaChannel(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  return invertPlane(b->alpha);
}

int CmdInvertMask(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  return invertPlane(b->mask);
}

// FloodFill(id, x, y, colour[, border = colour]): fills what is reachable
// from x, y without crossing the border colour.
int CmdFloodFill(VmState* L) {
  CheckArgCount(L, 4, 5, 0, 0);
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  int32_t x = ResolveXPos(VmCheckInteger(L, 2), 1, b->width, 0.0);
  int32_t y = ResolveYPos(VmCheckInteger(L, 3), 1, b->height, 0.0);
  ArgbColor colour = colourArg(L, 4) & 0xFFFFFF;
  ArgbColor border = VmGetTop(L) >= 5 ? colourArg(L, 5) & 0xFFFFFF : colour;
  if (x < 0 || y < 0) return ERR_NEGCOORDS;
  if (x >= b->width || y >= b->height) return ERR_COORDSRANGE;
  Locked l;
  if (!l.take(b->bitmap, 0)) return ERR_LOCKBMAP;
  FloodFillRequest q{l.lock.address,
                     b->width,
                     b->height,
                     l.lock.rowLength,
                     ColorToPixel(border, l.lock.pixelFormat, 0),
                     ColorToPixel(colour, l.lock.pixelFormat, 0),
                     0,
                     0};
  if (l.lock.bytesPerPixel == 4) {
    uint32_t compare = FloodCompareMask(l.lock.pixelFormat);
    q.border &= compare;
    return FloodFillSpan(&q, x, y, compare);
  }
  if (l.lock.bytesPerPixel == 2) return FloodFillSpan16(&q, x, y);
  return ERR_WRONGUSAGE;
}

// CropBrush(id, x, y, width, height): keeps the part of the rectangle that
// lies inside the brush.
int CmdCropBrush(VmState* L) {
  CheckArgCount(L, 5, 5, 0, 0);
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  int32_t x = VmCheckInteger(L, 2), y = VmCheckInteger(L, 3);
  int32_t width = VmCheckInteger(L, 4), height = VmCheckInteger(L, 5);
  if (x < 0 || y < 0) return ERR_NEGCOORDS;
  if (x >= b->width || y >= b->height) return ERR_COORDSRANGE;
  if (width < 1 || height < 1) return ERR_BADDIMENSIONS;
  width = std::min(width, b->width - x);
  height = std::min(height, b->height - y);
  return cutBrush(b, x, y, width, height);
}

// SaveBrush(id, file[, format = 0[, withAlpha = 0[, options]]]).
int CmdSaveBrush(VmState* L) {
  CheckArgCount(L, 2, 5, 0, 0);
  BrushObject* b;
  if (ErrorCode e = readBrush(L, 1, BRUSH_HARDWARE, &b)) return e;
  const char* file = VmCheckString(L, 2, nullptr);
  int32_t format = VmOptInteger(L, 3, 0);
  int32_t withAlpha = VmOptInteger(L, 4, 0);
  int32_t quality = 90, colours = 256, dither = 0;
  if (ErrorCode e = ReadImageSaveOptions(L, 5, &quality, &colours, &dither)) return e;
  if (!b->bitmap) return ERR_LOCKBMAP;
  return SaveBitmapImage(format, b->bitmap, b->width, b->height, file, b->mask, b->keyColour,
                         b->alpha, quality, colours, dither, withAlpha);
}

// SetBrushTransparency(id, colour): a mask of the pixels not of the colour.
int CmdSetBrushTransparency(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  ArgbColor colour = colourArg(L, 2) & 0xFFFFFF;
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  BitmapHandle* mask = nullptr;
  if (ErrorCode e = SetBitmapColorKey(b->bitmap, b->width, b->height, colour, &mask)) return e;
  if (!mask) return ERR_MEM;
  FreeBitMask(b->mask);
  b->mask = mask;
  b->keyColour = colour;
  return 0;
}

// FlipBrush(id, vertical): mirrors the pixels, mask and alpha channel.
int CmdFlipBrush(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  int32_t vertical = VmCheckInteger(L, 2) != 0;
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  return FlipBitmap(b->bitmap, b->mask, b->alpha, b->width, b->height, vertical);
}

// ReplaceColors(id, table): pairs (old, new) in a list from index 0.
int CmdReplaceColors(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  VmCheckTable(L, 2);
  std::vector<uint32_t> colours;
  for (int i = 0;; ++i) {
    VmRawGetI(L, 2, i);
    int type = VmType(L, -1);
    if (type == VM_TYPE_NIL) {
      VmSetTop(L, -2);
      break;
    }
    if (type != VM_TYPE_NUMBER) {
      VmSetTop(L, -2);
      SetErrorArgString("colortable");
      return ERR_NUMTABLEARG;
    }
    colours.push_back(static_cast<uint32_t>(VmNumberToInteger(VmToNumber(L, -1))) & 0xFFFFFF);
    VmSetTop(L, -2);
  }
  if (colours.size() % 2) return ERR_WRONGUSAGE;
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  Locked l;
  if (!l.take(b->bitmap, 0)) return ERR_LOCKBMAP;
  // Each pixel is compared with the old colours as they were, so that a
  // pair's new colour is not replaced again by a later pair.
  std::vector<uint32_t> from, to;
  for (size_t i = 0; i < colours.size(); i += 2) {
    from.push_back(
        PixelToColor(ColorToPixel(colours[i], l.lock.pixelFormat, 0), l.lock.pixelFormat, 0) &
        0xFFFFFF);
    to.push_back(colours[i + 1]);
  }
  for (int32_t y = 0; y < b->height; ++y)
    for (int32_t x = 0; x < b->width; ++x) {
      uint8_t* p = l.lock.address +
                   (static_cast<ptrdiff_t>(y) * l.lock.rowLength + x) * l.lock.bytesPerPixel;
      uint32_t raw = 0;
      std::memcpy(&raw, p, static_cast<size_t>(l.lock.bytesPerPixel));
      uint32_t c = PixelToColor(raw, l.lock.pixelFormat, 0) & 0xFFFFFF;
      for (size_t k = 0; k < from.size(); ++k) {
        if (from[k] != c) continue;
        uint32_t v = ColorToPixel(to[k], l.lock.pixelFormat, 0);
        std::memcpy(p, &v, static_cast<size_t>(l.lock.bytesPerPixel));
        break;
      }
    }
  return 0;
}

// SetAlphaIntensity(level): the alpha level of later drawing, -1 off.
int CmdSetAlphaIntensity(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  int32_t level;
  if (ErrorCode e = ReadLevelArg(L, 1, &level)) return e;
  if (level < -1 || level > 255) return ERR_WRONGUSAGE;
  SetBlitAlphaIntensity(level);
  return 0;
}

// SetMaskMode(mode): how later drawing into a selected mask combines.
int CmdSetMaskMode(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  int32_t mode = VmCheckInteger(L, 1);
  if (mode < -1 || mode > 5) return ERR_WRONGUSAGE;
  SetBlitMaskMode(mode);
  return 0;
}

ErrorCode GetModifiableBrush(VmState* L, int index, uint32_t flags, BrushObject** out) {
  ObjectId id = GetObjectIdArg(L, index, nullptr);
  BrushObject* b = nullptr;
  if (ErrorCode e = GetBrushObject(L, id, &b, BRUSH_HARDWARE | BRUSH_PENDING)) return e;
  if (IsBrushOutputDevice(b)) return ERR_MODIFYABR;
  if (ErrorCode e = GetBrushObject(L, id, &b, BRUSH_MODIFY | flags)) return e;
  if (!b->bitmap) return ERR_LOCKBMAP;
  *out = b;
  return ERR_NONE;
}

ErrorCode ReadLevelArg(VmState* L, int index, int32_t* level) {
  int percent = 0;
  double v = GetNumberArgEx(L, index, 255, 0, &percent);
  if (!VmIntegerOf(v, level)) return ERR_WRONGUSAGE;
  return ERR_NONE;
}
