// What the background-picture commands need of brushes: a brush's images,
// a new brush from a picture's images, the output selection of a picture
// and the drawing of a picture part; and the brush makers that take their
// pixels from the picture commands. Installed when the brush library opens.
// Invariant: images handed to a new brush belong to it only on success.
#include "draw/draw_private.h"

namespace {

ErrorCode getBrush(VmState* L, ObjectId id, BGPicBrushImages* out) {
  BrushObject* b = nullptr;
  if (ErrorCode e = GetBrushObject(L, id, &b, 0)) return e;
  if (!b->bitmap) return ERR_LOCKBMAP;
  *out = BGPicBrushImages{b->bitmap,
                          b->mask,
                          b->alpha,
                          b->width,
                          b->height,
                          b->mask ? b->keyColour : -1,
                          b->isVector && b->transformed};
  return ERR_NONE;
}

ErrorCode addBrush(VmState* L, ObjectId* id, int automatic, const BGPicBrushImages* images) {
  if (!automatic) FreeBrushObject(L, *id, 0);
  int64_t key = images->mask ? (images->keyColour >= 0 ? images->keyColour : BRUSH_MASK_KEY) : -1;
  return AddBrushObject(id, automatic, 0, images->width, images->height, images->width, 0, nullptr,
                        images->bitmap, key, images->mask, images->alpha, nullptr, nullptr);
}

ErrorCode selectOutput(VmState* L, ObjectId id, int32_t mode, int32_t extra) {
  return SelectOutputDevice(L, OBJECT_BGPIC, id, OBJECT_BRUSH, 0, mode, extra);
}

// The part is drawn from a brush made of the picture's images (its layers
// composed in when asked) for the draw, so that it takes every path a
// brush part takes.
ErrorCode drawPart(VmState* L, ObjectId id, int32_t sx, int32_t sy, int32_t width, int32_t height,
                   int32_t dx, int32_t dy, int32_t layers, int optionsIndex) {
  BGPicBrushImages images{};
  if (ErrorCode e = CopyBGPicImages(L, id, &images.bitmap, &images.mask, &images.alpha,
                                    &images.width, &images.height))
    return e;
  images.keyColour = -1;
  ObjectId brush{nullptr, 0};
  ErrorCode composed = layers ? DrawBGPicLayersInto(L, id, images.bitmap) : ERR_NONE;
  if (ErrorCode e = composed ? composed : addBrush(L, &brush, 1, &images)) {
    FreeBitmap(images.bitmap);
    FreeBitMask(images.mask);
    FreeAlphaChannel(images.alpha);
    return e;
  }
  DrawRequest r{};
  r.layer = -1;
  r.type = DRAW_BRUSHPART;
  r.id = brush;
  r.sx = sx;
  r.sy = sy;
  r.x = dx;
  r.y = dy;
  r.width = width;
  r.height = height;
  r.optionsIndex = optionsIndex;
  ErrorCode e = DrawObject(L, &r);
  FreeBrushObject(L, brush, 0);
  return e;
}

const BGPicBrushHooks BGPIC_BRUSH_HOOKS = {getBrush, addBrush, selectOutput, drawPart,
                                           EndDoubleBufferCore};

// A new brush of the made pixels under the id of argument 1.
ErrorCode brushFromBitmap(VmState* L, BitmapHandle* bitmap, int32_t width, int32_t height) {
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 1, &automatic);
  BGPicBrushImages images{bitmap, nullptr, nullptr, width, height, -1, 0};
  if (ErrorCode e = addBrush(L, &id, automatic, &images)) {
    FreeBitmap(bitmap);
    return e;
  }
  if (automatic) return PushObjectId(L, id);
  return 0;
}

}  // namespace

void InstallBGPicBrushHooks() { SetBGPicBrushHooks(&BGPIC_BRUSH_HOOKS); }

ErrorCode GetBGPicBitmaps(VmState* L, ObjectId id, ObjectBitmaps* out) {
  return CopyBGPicImages(L, id, &out->bitmap, &out->mask, &out->alpha, &out->width, &out->height);
}

ErrorCode MakeTexturedPicture(VmState* L, int) {
  BitmapHandle* bitmap = nullptr;
  int32_t width = 0, height = 0;
  if (ErrorCode e = MakeTexturedBitmap(L, &bitmap, &width, &height)) return e;
  return brushFromBitmap(L, bitmap, width, height);
}

ErrorCode MakeGradientPicture(VmState* L, int) {
  BitmapHandle* bitmap = nullptr;
  int32_t width = 0, height = 0;
  if (ErrorCode e = MakeGradientBitmap(L, &bitmap, &width, &height)) return e;
  return brushFromBitmap(L, bitmap, width, height);
}
