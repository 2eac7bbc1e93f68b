// Brush transforms: the size and box of a 2 x 2 transform, the one routine
// that transforms bitmaps (a copy, a scale, a general rotate-and-scale, or
// a fresh rendering of a vector picture), and ScaleBrush, RotateBrush and
// TransformBrush. Invariant: a brush keeps its old bitmaps on any error;
// its new ones are installed only after the whole transform succeeded.
#include <cmath>

#include "draw/draw_private.h"
#include "plugins/plugins.h"

namespace {

bool isIdentity(const double m[4]) { return m[0] == 1 && m[1] == 0 && m[2] == 0 && m[3] == 1; }
bool isPureScale(const double m[4]) { return m[1] == 0 && m[2] == 0 && m[0] >= 0 && m[3] >= 0; }

int32_t atLeastOne(double v) {
  int32_t n = VmTruncInt32(v);
  return n < 1 ? 1 : n;
}

// Renders the vector picture through the matrix at the size and makes
// bitmaps of it (the alpha channel from the rendered pixels).
ErrorCode renderVector(PictureHandle* picture, const double m[4], int32_t width, int32_t height,
                       BitmapHandle** bitmap, BitmapHandle** mask, BitmapHandle** alpha) {
  if (!picture) return ERR_TFIMAGE;
  if (ErrorCode e = RenderPictureHandle(picture, m, width, height)) return e;
  const uint32_t* pixels = GetPictureHandlePixels(picture);
  if (!pixels) return ERR_TFIMAGE;
  return CreateBitmapFromRGB(pixels, -1, width, height, width, 0, 8, nullptr, bitmap, mask, alpha);
}

// The brush that a transform command changes: looked up for modification
// (video-memory brushes too), never the current output device.
ErrorCode brushToChange(VmState* L, ObjectId id, BrushObject** out) {
  if (ErrorCode e = GetBrushObject(L, id, out, BRUSH_MODIFY | BRUSH_HARDWARE)) return e;
  if (IsBrushOutputDevice(*out)) return ERR_MODIFYABR;
  return ERR_NONE;
}

// A size argument: a number, or "N%" of the brush's size (at least 1), or
// KEEPASPRAT.
int32_t sizeArgument(VmState* L, int index, int32_t base) {
  int percent = 0;
  double v = GetNumberArgEx(L, index, 0, 1, &percent);
  if (percent) return atLeastOne(v * base);
  return VmTruncInt32(v);
}

}  // namespace

void GetTransformedSize(const double m[4], int32_t width, int32_t height, int32_t* outWidth,
                        int32_t* outHeight) {
  if (isIdentity(m)) {
    *outWidth = width;
    *outHeight = height;
    return;
  }
  if (isPureScale(m)) {
    // A layer-scaled display's own factors give its scaled size exactly, so
    // that the picture does not drift by a pixel from rounding.
    DisplayRecord* d = GetCurrentDisplay();
    if (d && d->bgpic && d->layerscale && d->scaleWidth > 0 && d->scaleHeight > 0 &&
        m[0] == d->scaleX && m[3] == d->scaleY && width == d->bgpic->width &&
        height == d->bgpic->height) {
      *outWidth = d->scaleWidth;
      *outHeight = d->scaleHeight;
      return;
    }
    *outWidth = atLeastOne(width * m[0]);
    *outHeight = atLeastOne(height * m[3]);
    return;
  }
  int32_t x, y;
  ComputeTransformBounds(m, width, height, outWidth, outHeight, &x, &y);
}

void GetTransformedBounds(int32_t x, int32_t y, int32_t width, int32_t height, double anchorX,
                          double anchorY, const double m[4], int32_t* outX, int32_t* outY,
                          int32_t* outWidth, int32_t* outHeight) {
  int32_t boxWidth, boxHeight;
  ComputeRotatedBox(x, y, width, height, anchorX, anchorY, m, outX, outY, &boxWidth, &boxHeight);
  GetTransformedSize(m, width, height, outWidth, outHeight);
  if (*outWidth < 1) *outWidth = 1;
  if (*outHeight < 1) *outHeight = 1;
}

ErrorCode TransformBitmapMatrix(VmState*, int32_t isVector, PictureHandle* picture,
                                BitmapHandle* bitmap, BitmapHandle* mask, BitmapHandle* alpha,
                                int32_t sx, int32_t sy, int32_t x, int32_t y, int32_t width,
                                int32_t height, double anchorX, double anchorY, const double m[4],
                                int32_t smooth, DisplayRecord* display, BitmapHandle** outBitmap,
                                BitmapHandle** outMask, BitmapHandle** outAlpha, int32_t* outX,
                                int32_t* outY, int32_t* outWidth, int32_t* outHeight) {
  int32_t nx, ny, nw, nh;
  GetTransformedBounds(x, y, width, height, anchorX, anchorY, m, &nx, &ny, &nw, &nh);
  BitmapHandle *b = nullptr, *k = nullptr, *a = nullptr;
  ErrorCode e = ERR_NONE;
  if ((isVector == 0 || isVector == 1) && isIdentity(m)) {
    e = ConvertBitmap(bitmap, mask, alpha, sx, sy, width, height, 0, 0, display, display, &b, &k,
                      &a);
  } else if (isVector == 0 && isPureScale(m)) {
    e = TransformBitmap(bitmap, mask, alpha, sx, sy, nullptr, width, height, nw, nh, smooth, &b, &k,
                        &a);
  } else if (isVector == 0) {
    e = RotateScaleBitmap(bitmap, mask, alpha, sx, sy, width, height, m, smooth, 0, &b, &k, &a, &nw,
                          &nh);
  } else if (isVector == 1) {
    e = renderVector(picture, m, nw, nh, &b, &k, &a);
  }
  if (e) return e;
  if (outBitmap) *outBitmap = b;
  if (outMask) *outMask = k;
  if (outAlpha) *outAlpha = a;
  *outX = nx;
  *outY = ny;
  *outWidth = nw;
  *outHeight = nh;
  return ERR_NONE;
}

ErrorCode TransformBrushCore(VmState* L, ObjectId id, const double m[4], int32_t smooth) {
  BrushObject* brush = nullptr;
  if (ErrorCode e = brushToChange(L, id, &brush)) return e;
  for (int i = 0; i < 4; ++i)
    if (!std::isfinite(m[i])) return ERR_WRONGUSAGE;
  BitmapHandle *b = nullptr, *k = nullptr, *a = nullptr;
  int32_t width = 0, height = 0;
  if (brush->isVector) {
    int32_t x, y;
    if (ErrorCode e =
            TransformBitmapMatrix(L, 1, brush->picture, brush->bitmap, brush->mask, brush->alpha, 0,
                                  0, 0, 0, brush->width, brush->height, 0, 0, m, smooth,
                                  brush->display, &b, &k, &a, &x, &y, &width, &height))
      return e;
    brush->transformed = 1;
  } else {
    if (ErrorCode e =
            RotateScaleBitmap(brush->bitmap, brush->mask, brush->alpha, 0, 0, brush->width,
                              brush->height, m, smooth, 0, &b, &k, &a, &width, &height))
      return e;
  }
  ReplaceBrushBitmaps(brush, b, k, a, width, height);
  return ERR_NONE;
}

int CmdScaleBrush(VmState* L) {
  CheckArgCount(L, 3, 4, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  BrushObject* brush = nullptr;
  if (ErrorCode e = brushToChange(L, id, &brush)) return e;
  int32_t width = sizeArgument(L, 2, brush->width);
  int32_t height = sizeArgument(L, 3, brush->height);
  int32_t smooth = VmOptFlag(L, 4, 0);
  if (ErrorCode e = ResolveKeepAspectSize(brush->width, brush->height, &width, &height)) return e;
  if (width == brush->width && height == brush->height) return 0;
  BitmapHandle *b = nullptr, *k = nullptr, *a = nullptr;
  if (brush->isVector) {
    int32_t pictureWidth = 0, pictureHeight = 0;
    // The picture's own size: a rendering at another size leaves it alone.
    GetPictureHandleSourceSize(brush->picture, &pictureWidth, &pictureHeight);
    if (pictureWidth < 1 || pictureHeight < 1) return ERR_TFIMAGE;
    const double m[4] = {static_cast<double>(width) / pictureWidth, 0, 0,
                         static_cast<double>(height) / pictureHeight};
    if (ErrorCode e = renderVector(brush->picture, m, width, height, &b, &k, &a)) return e;
    brush->transformed = 1;
  } else if (ErrorCode e =
                 TransformBitmap(brush->bitmap, brush->mask, brush->alpha, 0, 0, nullptr,
                                 brush->width, brush->height, width, height, smooth, &b, &k, &a)) {
    return e;
  }
  ReplaceBrushBitmaps(brush, b, k, a, width, height);
  return 0;
}

int CmdRotateBrush(VmState* L) {
  CheckArgCount(L, 2, 5, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  double angle = VmCheckNumber(L, 2);
  double scaleX = VmOptNumber(L, 3, 1), scaleY = VmOptNumber(L, 4, 1);
  int32_t smooth = VmOptFlag(L, 5, 0);
  if (scaleX == 0 || scaleY == 0 || !std::isfinite(scaleX) || !std::isfinite(scaleY) ||
      !std::isfinite(angle))
    return ERR_WRONGUSAGE;
  double m[4];
  BuildRotateScaleMatrix(m, 0, 0, 0, 0, scaleX, scaleY, angle);
  return TransformBrushCore(L, id, m, smooth);
}

int CmdTransformBrush(VmState* L) {
  CheckArgCount(L, 5, 6, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  const double m[4] = {VmCheckNumber(L, 2), VmCheckNumber(L, 3), VmCheckNumber(L, 4),
                       VmCheckNumber(L, 5)};
  int32_t smooth = VmOptFlag(L, 6, 0);
  if (m[0] == 0 || m[3] == 0) return ERR_WRONGUSAGE;
  return TransformBrushCore(L, id, m, smooth);
}
