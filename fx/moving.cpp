// The renderers that move, scale or squeeze whole pictures: ZOOMIN and
// ZOOMOUT, the FLIPCOIN effects, CRUSH, SLIDE, CARD, TURNDOWN, the two
// STRANGEPUSH effects and the STRETCH and ZOOM effects that open the new
// picture from an edge, a centre line, the centre or a corner.
//
// Invariant: every one is a whole-frame effect whose frame k depends on k
// alone: phase 1 draws frame `frame` + 1 and phase 2 frame `frame`, from the
// same formulas, so a jump shows what single frames show and the frames
// after it go on from there. The progress after frame k is k times the
// step, and the frame that reaches the end is frame frameCount exactly.
// Where a frame leaves part of the area to the fill colour, every part the
// previous frame covered and this one does not is filled, so that nothing
// of an earlier frame stays behind when a step jumps past the turning point.
#include <algorithm>
#include <cstdlib>

#include "fx/fx_private.h"

namespace {

// A rectangle of the picture area.
struct Rect {
  int32_t x, y, w, h;
  bool empty() const { return w <= 0 || h <= 0; }
};

Rect wholeOf(const FXState* s) { return Rect{0, 0, s->width, s->height}; }

// The work block of every renderer here.
struct MovingWork {
  BitmapHandle* scratch;  // scaled copies of pictures without mask or alpha
  BitmapHandle* work;     // frames composed before they are shown (direct mode)
  Rect prev;              // what the previous frame covered with a picture
  ArgbColor colour;       // the fill colour
};

MovingWork* workOf(FXState* s) { return static_cast<MovingWork*>(s->priv); }

void releaseMoving(FXState* s, int32_t) {
  auto* w = workOf(s);
  if (!w) return;
  FreeBitmap(w->scratch);
  FreeBitmap(w->work);
  w->scratch = w->work = nullptr;
}

// The work block with a scratch bitmap of the picture's size, which every
// scaled copy fits in.
ErrorCode prepareWork(FXState* s) {
  if (ErrorCode e = AllocFXPriv(s, sizeof(MovingWork))) return e;
  s->releasePriv = releaseMoving;
  auto* w = workOf(s);
  w->scratch = AllocBitmap(s->width, s->height, 0, nullptr);
  if (!w->scratch) return ERR_BITMAP;
  w->prev = wholeOf(s);
  w->colour =
      s->parameter == FX_RANDOMPARAMETER ? 0u : static_cast<ArgbColor>(s->parameter) & 0xFFFFFFu;
  return ERR_NONE;
}

// Moving effects in layer mode start from the old picture in the layer's
// image state, so that what a frame leaves alone shows the old picture.
void startFromOldPicture(FXState* s) {
  if (!s->layerMode || !s->layer || !s->background) return;
  LayerTriple& own = s->layer->display->own;
  BlitFXClipped(s->background, 0, 0, own.bitmap, 0, 0, s->width, s->height, s->background->width,
                s->background->height, s->width, s->height);
}

// Draws the rectangle (sx, sy, width, height) of a bitmap of size
// sourceWidth x sourceHeight at picture position (px, py): to the output in
// direct mode, into the layer's image state (not shown yet) in layer mode.
// Clipped to the source and to the picture.
void put(FXState* s, BitmapHandle* source, int32_t sx, int32_t sy, int32_t width, int32_t height,
         int32_t sourceWidth, int32_t sourceHeight, int32_t px, int32_t py,
         BitmapHandle* mask = nullptr, BitmapHandle* alpha = nullptr) {
  if (!source ||
      !ClipFXPictureRect(s, &sx, &sy, &width, &height, sourceWidth, sourceHeight, &px, &py))
    return;
  if (s->layerMode) {
    if (!s->layer) return;
    LayerTriple& own = s->layer->display->own;
    BlitFXRectMasked(source, sx, sy, own.bitmap, own.mask, own.alpha, px, py, width, height,
                     sourceWidth, sourceHeight, s->width, s->height, mask, alpha, s, FXMASK_NOSHOW);
    return;
  }
  SafeBlt(s->vm, source, sx, sy, s->dest, s->x + px, s->y + py, width, height, sourceWidth,
          sourceHeight, s->outWidth, s->outHeight, s->bltFlags, mask, alpha, nullptr);
}

// A whole bitmap drawn at picture position (px, py).
void putWhole(FXState* s, BitmapHandle* source, int32_t px, int32_t py) {
  if (source)
    put(s, source, 0, 0, source->width, source->height, source->width, source->height, px, py);
}

void fill(FXState* s, Rect r, ArgbColor colour) {
  if (!r.empty()) FillFXRect(s, r.x, r.y, r.w, r.h, colour, FXMASK_NOSHOW);
}

// Calls strip(r) for up to four strips that together are the part of prev
// that cur does not cover (all of prev when cur is empty).
template <typename Strip>
void forEachUncovered(Rect prev, Rect cur, Strip strip) {
  if (prev.empty()) return;
  if (cur.empty()) {
    strip(prev);
    return;
  }
  int32_t right = prev.x + prev.w, bottom = prev.y + prev.h;
  int32_t leftWidth = std::min(cur.x, right) - prev.x;
  if (leftWidth > 0) strip(Rect{prev.x, prev.y, leftWidth, prev.h});
  int32_t rightStart = std::max(cur.x + cur.w, prev.x);
  if (right - rightStart > 0) strip(Rect{rightStart, prev.y, right - rightStart, prev.h});
  int32_t topHeight = std::min(cur.y, bottom) - prev.y;
  if (topHeight > 0) strip(Rect{prev.x, prev.y, prev.w, topHeight});
  int32_t bottomStart = std::max(cur.y + cur.h, prev.y);
  if (bottom - bottomStart > 0) strip(Rect{prev.x, bottomStart, prev.w, bottom - bottomStart});
}

// A scaled copy: in the scratch bitmap, or in handles of its own (with the
// scaled mask and alpha channel) that go when it goes.
struct Scaled {
  BitmapHandle *bitmap = nullptr, *mask = nullptr, *alpha = nullptr;
  int32_t width = 0, height = 0;  // of the bitmap
  bool owned = false;
  Scaled() = default;
  Scaled(const Scaled&) = delete;
  Scaled& operator=(const Scaled&) = delete;
  ~Scaled() {
    if (!owned) return;
    FreeBitmap(bitmap);
    FreeBitMask(mask);
    FreeAlphaChannel(alpha);
  }
};

// Scales the rectangle (sx, sy, sw, sh) of source (clipped to it first) to
// dw x dh. Pictures without mask and alpha go into the scratch bitmap.
ErrorCode scaleInto(MovingWork* w, BitmapHandle* source, BitmapHandle* mask, BitmapHandle* alpha,
                    int32_t sx, int32_t sy, int32_t sw, int32_t sh, int32_t dw, int32_t dh,
                    Scaled* out) {
  sw = std::min(sw, source->width - sx);
  sh = std::min(sh, source->height - sy);
  if (sx < 0 || sy < 0 || sw < 1 || sh < 1) return ERR_NONE;
  if (!mask && !alpha && w->scratch &&
      TransformBitmap(source, nullptr, nullptr, sx, sy, w->scratch, sw, sh, dw, dh, 0, nullptr,
                      nullptr, nullptr) == ERR_NONE) {
    out->bitmap = w->scratch;
    out->width = w->scratch->width;
    out->height = w->scratch->height;
    return ERR_NONE;
  }
  BitmapHandle *bitmap = nullptr, *newMask = nullptr, *newAlpha = nullptr;
  if (ErrorCode e =
          TransformBitmap(source, mask, alpha, sx, sy, nullptr, sw, sh, dw, dh, 0, &bitmap,
                          mask ? &newMask : nullptr, alpha ? &newAlpha : nullptr))
    return e;
  out->bitmap = bitmap;
  out->mask = newMask;
  out->alpha = newAlpha;
  out->width = dw;
  out->height = dh;
  out->owned = true;
  return ERR_NONE;
}

// Draws the rectangle (sx, sy, sw, sh) of a picture without mask and alpha
// scaled into the rectangle `to`; at its own size it is drawn unscaled.
ErrorCode drawScaled(FXState* s, BitmapHandle* source, int32_t sx, int32_t sy, int32_t sw,
                     int32_t sh, Rect to) {
  if (!source || to.empty() || sw < 1 || sh < 1) return ERR_NONE;
  if (sw == to.w && sh == to.h) {
    put(s, source, sx, sy, sw, sh, source->width, source->height, to.x, to.y);
    return ERR_NONE;
  }
  Scaled scaled;
  if (ErrorCode e =
          scaleInto(workOf(s), source, nullptr, nullptr, sx, sy, sw, sh, to.w, to.h, &scaled))
    return e;
  if (scaled.bitmap)
    put(s, scaled.bitmap, 0, 0, to.w, to.h, scaled.width, scaled.height, to.x, to.y);
  return ERR_NONE;
}

ErrorCode drawScaledWhole(FXState* s, BitmapHandle* source, Rect to) {
  if (!source) return ERR_NONE;
  return drawScaled(s, source, 0, 0, source->width, source->height, to);
}

// The common frame of the renderers here: k is the frame to show; draw
// draws it (jump: from scratch) and says whether it is the last.
template <typename Draw>
ErrorCode runFrame(FXState* s, int32_t* done, Draw draw) {
  bool jump = s->phase == FXPHASE_JUMP;
  int32_t k = jump ? s->frame : s->frame + 1;
  if (!jump) {
    BeginFXFrame(s);
    if (s->bgpicEmu)
      if (ErrorCode e = RedrawFXBackground(s, 0)) return e;
  }
  bool last = false;
  if (ErrorCode e = draw(k, jump, &last)) return e;
  if (jump) {
    RefreshFXWhole(s);
    return ERR_NONE;
  }
  if (last) *done = 1;
  EndFXLevelFrame(s);
  return ERR_NONE;
}

// The fill of a frame that shows `cur` of a picture over the colour: all
// of the area on a jump, else what the previous frame covered and this one
// leaves.
void fillAround(FXState* s, bool jump, Rect cur) {
  MovingWork* w = workOf(s);
  if (jump)
    fill(s, wholeOf(s), w->colour);
  else
    forEachUncovered(w->prev, cur, [&](Rect r) { fill(s, r, w->colour); });
  w->prev = cur;
}

// Frame 0 of a moving effect: the old picture as it was.
void showOldPicture(FXState* s) {
  putWhole(s, s->background, 0, 0);
  workOf(s)->prev = wholeOf(s);
}

int32_t movingStep(const FXState* s, int32_t extent) {
  return std::max(ResolveFXStep(s->speed, extent, 60, 30, 120), 1);
}

// The prepare phase of the effects whose progress after frame k is
// step * k, up to span: the work block, the step, the frame count and, in
// layer mode, the old picture to start from.
ErrorCode prepareMoving(FXState* s, int32_t step, int32_t span) {
  if (ErrorCode e = prepareWork(s)) return e;
  s->speed = step;
  s->frameCount = FXStepCount(span - step, step, 0);
  startFromOldPicture(s);
  return ERR_NONE;
}

// A frame of those effects: frame 0 is the old picture as it was, and the
// frame whose progress reaches span is the new picture whole and the last;
// draw(p, jump, k) draws the frames between, at progress p.
template <typename Draw>
ErrorCode runMovingFrame(FXState* s, int32_t* done, int64_t span, Draw draw) {
  int64_t step = s->speed;
  return runFrame(s, done, [&](int32_t k, bool jump, bool* last) -> ErrorCode {
    if (k <= 0) {
      showOldPicture(s);
      return ERR_NONE;
    }
    int64_t p = step * k;
    if (p >= span) {
      *last = true;
      putWhole(s, s->image, 0, 0);
      return ERR_NONE;
    }
    return draw(p, jump, k);
  });
}

}  // namespace

// ---- ZOOMIN 118 and ZOOMOUT 119 ----
//
// The progress p runs to 2M (M the greater side); d = |M - p| is the
// greater side of a centred rectangle with the picture's proportions: the
// old picture while p <= M, the new one after.

ErrorCode RenderZoomFX(FXState* s, int32_t* done) {
  int32_t W = s->width, H = s->height, M = std::max(W, H);
  if (s->phase == FXPHASE_PREPARE) return prepareMoving(s, movingStep(s, M), 2 * M);
  return runMovingFrame(s, done, 2 * M, [&](int64_t p, bool jump, int32_t) -> ErrorCode {
    auto d = static_cast<int32_t>(p <= M ? M - p : p - M);
    int32_t w, h;
    if (W < H) {
      h = std::max(d, 1);
      w = static_cast<int32_t>(static_cast<double>(W) / H * h + 1.0);
    } else {
      w = std::max(d, 1);
      h = static_cast<int32_t>(static_cast<double>(H) / W * w + 1.0);
    }
    w = std::clamp(w, 1, W);
    h = std::clamp(h, 1, H);
    Rect r{(W - w) / 2, (H - h) / 2, w, h};
    BitmapHandle* picture = p <= M ? s->background : s->image;
    if (s->effect == 118) {
      fillAround(s, jump, r);
      return drawScaledWhole(s, picture, r);
    }
    // ZOOMOUT: the view dives into the centre of the old picture and comes
    // back out of the new one.
    if (!picture) return ERR_NONE;
    Rect source{r.x, r.y, std::min(r.w, picture->width - r.x),
                std::min(r.h, picture->height - r.y)};
    return drawScaled(s, picture, source.x, source.y, source.w, source.h, wholeOf(s));
  });
}

// ---- VFLIPCOIN 124, VLOWFLIPCOIN 125, HFLIPCOIN 126, HLOWFLIPCOIN 127 ----
//
// A band of the full width (height) d = |p - E|, at least 1, holds the
// whole picture: the old one while p <= E, the new one after.

ErrorCode RenderFlipCoinFX(FXState* s, int32_t* done) {
  int32_t W = s->width, H = s->height;
  bool rows = s->effect == 124 || s->effect == 125;
  int32_t E = rows ? H : W;
  if (s->phase == FXPHASE_PREPARE) return prepareMoving(s, movingStep(s, E), 2 * E);
  return runMovingFrame(s, done, 2 * E, [&](int64_t p, bool jump, int32_t) -> ErrorCode {
    auto d = static_cast<int32_t>(std::clamp<int64_t>(std::llabs(p - E), 1, E));
    Rect r;
    switch (s->effect) {
      case 124:
        r = Rect{0, (H - d) / 2, W, d};
        break;
      case 125:
        r = Rect{0, H - d, W, d};
        break;
      case 126:
        r = Rect{(W - d) / 2, 0, d, H};
        break;
      default:
        r = Rect{W - d, 0, d, H};
        break;
    }
    fillAround(s, jump, r);
    return drawScaledWhole(s, p <= E ? s->background : s->image, r);
  });
}

// ---- CRUSHLEFT 120, CRUSHRIGHT 121, CRUSHTOP 122, CRUSHBOTTOM 123 ----
//
// The new picture squeezed to p along the axis, the old one to E - p
// beside it; together they always cover the area.

ErrorCode RenderCrushFX(FXState* s, int32_t* done) {
  int32_t W = s->width, H = s->height;
  bool across = s->effect == 120 || s->effect == 121;
  int32_t E = across ? W : H;
  if (s->phase == FXPHASE_PREPARE) return prepareMoving(s, movingStep(s, E), E);
  return runMovingFrame(s, done, E, [&](int64_t progress, bool, int32_t) -> ErrorCode {
    auto p = static_cast<int32_t>(progress);
    Rect fresh, old;
    switch (s->effect) {
      case 120:
        fresh = Rect{0, 0, p, H};
        old = Rect{p, 0, W - p, H};
        break;
      case 121:
        fresh = Rect{W - p, 0, p, H};
        old = Rect{0, 0, W - p, H};
        break;
      case 122:
        fresh = Rect{0, 0, W, p};
        old = Rect{0, p, W, H - p};
        break;
      default:
        fresh = Rect{0, H - p, W, p};
        old = Rect{0, 0, W, H - p};
        break;
    }
    if (ErrorCode e = drawScaledWhole(s, s->image, fresh)) return e;
    return drawScaledWhole(s, s->background, old);
  });
}

// ---- SLIDELEFT 101, SLIDERIGHT 102, SLIDETOP 103, SLIDEBOTTOM 104 ----
//
// The old picture slides out over the colour while p <= E, then the new
// one slides in from the same side: at p the picture lies p (then 2E - p)
// away from its place.

ErrorCode RenderSlideFX(FXState* s, int32_t* done) {
  int32_t W = s->width, H = s->height;
  bool across = s->effect == 101 || s->effect == 102;
  int32_t E = across ? W : H;
  if (s->phase == FXPHASE_PREPARE)
    return prepareMoving(s, std::clamp(ResolveFXStep(s->speed, E, 60, 30, 120), 1, 30), 2 * E);
  return runMovingFrame(s, done, 2 * E, [&](int64_t p, bool jump, int32_t) -> ErrorCode {
    bool leaving = p <= E;
    auto offset = static_cast<int32_t>(leaving ? p : 2 * E - p);
    int32_t px = 0, py = 0;
    switch (s->effect) {
      case 101:
        px = offset;
        break;
      case 102:
        px = -offset;
        break;
      case 103:
        py = offset;
        break;
      default:
        py = -offset;
        break;
    }
    Rect shown{std::max(px, 0), std::max(py, 0), W - std::abs(px), H - std::abs(py)};
    if (shown.empty()) shown = Rect{0, 0, 0, 0};
    fillAround(s, jump, shown);
    if (!shown.empty()) putWhole(s, leaving ? s->background : s->image, px, py);
    return ERR_NONE;
  });
}

// ---- CARDTOP 111 and CARDBOTTOM 112 ----
//
// Two bands share the rows: the upper one shows rows q onwards of the
// first picture, the lower one a run of rows of the second. The halves
// change where 2p reaches H, so that both runs of rows lie inside their
// pictures on odd heights too.

ErrorCode RenderCardFX(FXState* s, int32_t* done) {
  int32_t W = s->width, H = s->height;
  if (s->phase == FXPHASE_PREPARE)
    return prepareMoving(s, std::clamp(ResolveFXStep(s->speed, std::max(W, H), 60, 30, 120), 1, 30),
                         H);
  return runMovingFrame(s, done, H, [&](int64_t progress, bool, int32_t) -> ErrorCode {
    auto p = static_cast<int32_t>(progress);
    bool secondHalf = 2 * p >= H;
    int32_t q = secondHalf ? H - p : p;
    bool top = s->effect == 111;
    int32_t upper, lower, lowerSource;
    if (top != secondHalf) {
      upper = q;
      lower = H - q;
      lowerSource = 0;
    } else {
      upper = H - q;
      lower = q;
      lowerSource = H - 2 * q;
    }
    BitmapHandle* first = top ? s->image : s->background;
    BitmapHandle* second = top ? s->background : s->image;
    if (first) put(s, first, 0, q, W, upper, first->width, first->height, 0, 0);
    if (second) put(s, second, 0, lowerSource, W, lower, second->width, second->height, 0, upper);
    return ERR_NONE;
  });
}

// ---- TURNDOWNTOP 128, TURNDOWNBOTTOM 129, TURNDOWNLEFT 130,
// TURNDOWNRIGHT 131 ----
//
// Worked along the fold axis from the starting edge: t = 0 is the top
// (bottom, left, right) edge. The first half [0, half) of the new picture
// grows to p while the old first half is squeezed into [p, half); then the
// new second half unrolls from half over the old second half, which stays
// in place. The frame whose step would pass half is drawn at half, so the
// first half is always complete before the second begins.

namespace {

struct FoldAxis {
  bool rows, fromFar;
  int32_t W, H, E;
  // The band [t, t + n) of the axis as a rectangle of the picture.
  Rect band(int32_t t, int32_t n) const {
    int32_t from = fromFar ? E - t - n : t;
    return rows ? Rect{0, from, W, n} : Rect{from, 0, n, H};
  }
};

ErrorCode drawBand(FXState* s, BitmapHandle* source, Rect from, Rect to) {
  return drawScaled(s, source, from.x, from.y, from.w, from.h, to);
}

}  // namespace

ErrorCode RenderTurnDownFX(FXState* s, int32_t* done) {
  int32_t W = s->width, H = s->height;
  FoldAxis axis{s->effect == 128 || s->effect == 129, s->effect == 129 || s->effect == 131, W, H,
                0};
  axis.E = axis.rows ? H : W;
  int32_t E = axis.E, half = E / 2;
  if (s->phase == FXPHASE_PREPARE) return prepareMoving(s, movingStep(s, E), E);
  return runMovingFrame(s, done, E, [&](int64_t progress, bool jump, int32_t k) -> ErrorCode {
    auto p = static_cast<int32_t>(progress);
    if (p > half && int64_t{s->speed} * (k - 1) < half) p = half;
    Rect firstHalf = axis.band(0, half), secondHalf = axis.band(half, E - half);
    // The parts that earlier frames settled are drawn again on a jump and
    // after the emulated background picture was drawn again.
    bool settle = jump || s->emuRedrawn;
    if (p <= half) {
      if (ErrorCode e = drawBand(s, s->image, firstHalf, axis.band(0, p))) return e;
      if (ErrorCode e = drawBand(s, s->background, firstHalf, axis.band(p, half - p))) return e;
      if (settle && s->background)
        put(s, s->background, secondHalf.x, secondHalf.y, secondHalf.w, secondHalf.h,
            s->background->width, s->background->height, secondHalf.x, secondHalf.y);
      return ERR_NONE;
    }
    int32_t unrolled = p - half;
    if (settle) {
      put(s, s->image, firstHalf.x, firstHalf.y, firstHalf.w, firstHalf.h, W, H, firstHalf.x,
          firstHalf.y);
      Rect rest = axis.band(half + unrolled, E - half - unrolled);
      if (s->background)
        put(s, s->background, rest.x, rest.y, rest.w, rest.h, s->background->width,
            s->background->height, rest.x, rest.y);
    }
    return drawBand(s, s->image, secondHalf, axis.band(half, unrolled));
  });
}

// ---- HSTRANGEPUSH 99 and VSTRANGEPUSH 100 ----
//
// Odd rows of the new picture come in from one side and even rows from the
// other. HSTRANGEPUSH: row y shows the strip of width p from the right-hand
// end of the picture at x = 0 when y is odd, from its left-hand end at
// x = W - p when y is even. VSTRANGEPUSH: the odd rows of the lower strip
// of height p come in at the top, the even rows of the upper strip at the
// bottom. Drawn row by row, each output row takes at most one picture row,
// so where the two strips overlap neither takes the other's rows away and
// the last frame is the whole picture.

namespace {

// Calls row(sourceX, sourceY, width, destX, destY) for each row of the
// picture that the frame at progress p shows.
template <typename Row>
void forEachPushedRow(const FXState* s, int32_t p, Row row) {
  int32_t W = s->width, H = s->height;
  if (p <= 0) return;
  if (s->effect == 99) {
    for (int32_t y = 0; y < H; y++) {
      if (y & 1)
        row(W - p, y, p, 0, y);
      else
        row(0, y, p, W - p, y);
    }
    return;
  }
  for (int32_t y = H - p; y < H; y++)
    if (y & 1) row(0, y, W, 0, y - (H - p));
  for (int32_t y = 0; y < p; y++)
    if (!(y & 1)) row(0, y, W, 0, y + H - p);
}

}  // namespace

ErrorCode RenderStrangePushFX(FXState* s, int32_t* done) {
  int32_t W = s->width, H = s->height;
  int32_t E = s->effect == 99 ? W : H;
  if (s->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = AllocFXPriv(s, sizeof(MovingWork))) return e;
    s->releasePriv = releaseMoving;
    int32_t step = ResolveFXStep(s->speed, E, 60, 30, 120);
    if (step < 1) step = 2;
    if (step & 1) step++;
    s->speed = step;
    s->frameCount = FXStepCount(E - step, step, 0);
    if (!s->layerMode) {
      auto* w = workOf(s);
      w->work = AllocBitmap(W, H, 0, nullptr);
      if (!w->work) return ERR_BITMAP;
      if (s->background)
        BlitFXClipped(s->background, 0, 0, w->work, 0, 0, W, H, s->background->width,
                      s->background->height, W, H);
    }
    return ERR_NONE;
  }
  int32_t step = s->speed;
  return runFrame(s, done, [&](int32_t k, bool jump, bool* last) -> ErrorCode {
    int64_t progress = s->reverse ? E - int64_t{step} * k : int64_t{step} * k;
    if (s->reverse ? progress < 1 : progress >= E) *last = k > 0;
    auto p = static_cast<int32_t>(std::clamp<int64_t>(progress, 0, E));
    if (s->layerMode) {
      if (!s->layer) return ERR_NONE;
      LayerTriple& own = s->layer->display->own;
      // Nothing shown, then the rows of this frame.
      BlitFXRectMasked(s->image, 0, 0, own.bitmap, own.mask, own.alpha, 0, 0, W, H, W, H, W, H,
                       s->mask, s->alpha, s, FXMASK_CLEAR | FXMASK_NOSHOW);
      forEachPushedRow(s, p, [&](int32_t sx, int32_t sy, int32_t n, int32_t dx, int32_t dy) {
        BlitFXRectMasked(s->image, sx, sy, own.bitmap, own.mask, own.alpha, dx, dy, n, 1, W, H, W,
                         H, s->mask, s->alpha, s, FXMASK_NOSHOW);
      });
      return ERR_NONE;
    }
    BitmapHandle* work = workOf(s)->work;
    // Rows only ever grow while showing a picture without mask or alpha;
    // otherwise the old picture comes back under every frame.
    if ((jump || s->reverse || s->mask || s->alpha) && s->background)
      BlitFXClipped(s->background, 0, 0, work, 0, 0, W, H, s->background->width,
                    s->background->height, W, H);
    constexpr uint32_t INTO_WORK = SAFEBLT_NOCLIPRECORD | SAFEBLT_NOSPRITES | SAFEBLT_BITMAPONLY;
    forEachPushedRow(s, p, [&](int32_t sx, int32_t sy, int32_t n, int32_t dx, int32_t dy) {
      SafeBlt(s->vm, s->image, sx, sy, work, dx, dy, n, 1, W, H, W, H, INTO_WORK, s->mask,
              s->mask ? nullptr : s->alpha, nullptr);
    });
    ShowFXWork(s, work);
    return ERR_NONE;
  });
}

// ---- STRETCH 55-60 and ZOOM 61-69 ----
//
// The new picture, scaled with its mask and alpha channel, fills a
// rectangle whose extent along the axis grows by the step each frame (or
// shrinks, hiding). Hiding clears (direct mode: restores) what the previous
// rectangle covered and this one does not.

namespace {

int32_t stretchExtent(const FXState* s) {
  switch (s->effect) {
    case 55:
    case 56:
    case 60:
      return s->width;
    case 57:
    case 58:
    case 59:
      return s->height;
    default:
      return std::max(s->width, s->height);
  }
}

// The rectangle of the frame whose extent along the axis is v.
Rect stretchRect(const FXState* s, int32_t v) {
  int32_t W = s->width, H = s->height;
  if (v <= 0) return Rect{0, 0, 0, 0};
  switch (s->effect) {
    case 55:
      return Rect{0, 0, v, H};
    case 56:
      return Rect{W - v, 0, v, H};
    case 57:
      return Rect{0, 0, W, v};
    case 58:
      return Rect{0, H - v, W, v};
    case 59:
      return Rect{0, (H - v) / 2, W, v};
    case 60:
      return Rect{(W - v) / 2, 0, v, H};
    default:
      break;
  }
  int32_t w, h;
  if (W >= H) {
    w = v;
    h = static_cast<int32_t>(int64_t{v} * H / W);
  } else {
    h = v;
    w = static_cast<int32_t>(int64_t{v} * W / H);
  }
  w = std::clamp(w, 1, W);
  h = std::clamp(h, 1, H);
  // 0 low side, 1 centred, 2 high side, for ZOOMCENTER to ZOOMNORTHWEST.
  static constexpr int8_t ALONG_X[9] = {1, 1, 2, 2, 2, 1, 0, 0, 0};
  static constexpr int8_t ALONG_Y[9] = {1, 0, 0, 1, 2, 2, 2, 1, 0};
  int32_t anchor = s->effect - 61;
  auto place = [](int8_t where, int32_t free) {
    return where == 0 ? 0 : where == 1 ? free / 2 : free;
  };
  return Rect{place(ALONG_X[anchor], W - w), place(ALONG_Y[anchor], H - h), w, h};
}

// Hides (layer mode) or restores to what lies beneath (direct mode) a
// rectangle of the picture.
void uncover(FXState* s, Rect r) {
  if (r.empty()) return;
  if (s->layerMode) {
    if (!s->layer) return;
    LayerTriple& own = s->layer->display->own;
    BlitFXRectMasked(s->image, r.x, r.y, own.bitmap, own.mask, own.alpha, r.x, r.y, r.w, r.h,
                     s->width, s->height, s->width, s->height, s->mask, s->alpha, s,
                     FXMASK_CLEAR | FXMASK_NOSHOW);
    return;
  }
  if (s->background)
    put(s, s->background, r.x, r.y, r.w, r.h, s->background->width, s->background->height, r.x,
        r.y);
}

// The new picture with its mask and alpha channel scaled into r. Direct
// mode puts a picture with mask or alpha onto the old picture's part under
// r first, so that what it leaves transparent shows what lies beneath.
ErrorCode drawStretched(FXState* s, Rect r) {
  int32_t W = s->width, H = s->height;
  if (r.empty()) return ERR_NONE;
  MovingWork* w = workOf(s);
  Scaled scaled;
  BitmapHandle *bitmap = s->image, *mask = s->mask, *alpha = s->alpha;
  int32_t bw = W, bh = H;
  if (r.w != W || r.h != H) {
    if (ErrorCode e = scaleInto(w, s->image, s->mask, s->alpha, 0, 0, W, H, r.w, r.h, &scaled))
      return e;
    if (!scaled.bitmap) return ERR_NONE;
    bitmap = scaled.bitmap;
    mask = scaled.mask;
    alpha = scaled.alpha;
    bw = scaled.width;
    bh = scaled.height;
  }
  if (s->layerMode) {
    if (!s->layer) return ERR_NONE;
    LayerTriple& own = s->layer->display->own;
    BlitFXRectMasked(bitmap, 0, 0, own.bitmap, own.mask, own.alpha, r.x, r.y, r.w, r.h, bw, bh, W,
                     H, mask, alpha, s, FXMASK_NOSHOW);
    return ERR_NONE;
  }
  if ((mask || alpha) && s->background && w->work) {
    BlitFXClipped(s->background, r.x, r.y, w->work, 0, 0, r.w, r.h, s->background->width,
                  s->background->height, W, H);
    SafeBlt(s->vm, bitmap, 0, 0, w->work, 0, 0, r.w, r.h, bw, bh, W, H,
            SAFEBLT_NOCLIPRECORD | SAFEBLT_NOSPRITES | SAFEBLT_BITMAPONLY, mask,
            mask ? nullptr : alpha, nullptr);
    put(s, w->work, 0, 0, r.w, r.h, W, H, r.x, r.y);
    return ERR_NONE;
  }
  put(s, bitmap, 0, 0, r.w, r.h, bw, bh, r.x, r.y, mask, mask ? nullptr : alpha);
  return ERR_NONE;
}

}  // namespace

ErrorCode RenderStretchFX(FXState* s, int32_t* done) {
  int32_t E = stretchExtent(s);
  if (s->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = prepareWork(s)) return e;
    auto* w = workOf(s);
    s->speed = std::max(ResolveFXStep(s->speed, E, 30, 10, 80), 1);
    s->frameCount = FXStepCount(E - s->speed, s->speed, 0);
    if (!s->layerMode && (s->mask || s->alpha)) {
      w->work = AllocBitmap(s->width, s->height, 0, nullptr);
      if (!w->work) return ERR_BITMAP;
    }
    w->prev = s->reverse ? wholeOf(s) : Rect{0, 0, 0, 0};
    return ERR_NONE;
  }
  int32_t step = s->speed;
  return runFrame(s, done, [&](int32_t k, bool jump, bool* last) -> ErrorCode {
    MovingWork* w = workOf(s);
    *last = k > 0 && int64_t{step} * k >= E;
    // The extent counts from the far side for STRETCHRIGHT and
    // STRETCHBOTTOM; v is the size of the rectangle along the axis.
    int32_t e = std::clamp(StretchExtentAt(s, std::min(k, E)), 0, E);
    int32_t v = s->effect == 56 || s->effect == 58 ? E - e : e;
    Rect r = stretchRect(s, v);
    if (jump) {
      uncover(s, wholeOf(s));
      w->prev = Rect{0, 0, 0, 0};
    } else if (s->reverse) {
      forEachUncovered(w->prev, r, [&](Rect strip) { uncover(s, strip); });
    }
    w->prev = r;
    return drawStretched(s, r);
  });
}
