// DrawFormattedText, the one road from a text request to pixels: layout,
// block rendering, scaling through the font and the rest of a transform
// through the image, then the image handed to a text object, inserted as a
// text or print layer, or drawn into the current output target; and the
// layer kinds that let text and print layers render again.
//
// Invariant: the font's scale is back at 1.0 x 1.0 whenever this returns.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "draw/draw.h"
#include "engine/engine.h"
#include "engine/optiontable.h"
#include "text/layout_private.h"

namespace {

constexpr double TOLERANCE = 1e-9;
// Blocks of up to this many pixels, or of up to four times the output's,
// are rendered whole, so that text of ordinary size takes no new road.
constexpr int64_t WHOLE_BLOCK_PIXELS = int64_t{1} << 20;

bool isIdentity(const DisplayTransform& t) {
  return t.m11 == 1 && t.m12 == 0 && t.m21 == 0 && t.m22 == 1;
}

bool selectedOutput(const DisplayRecord* d) {
  return d->outputKind == OBJECT_BRUSH || d->outputKind == OUTPUT_MASK ||
         d->outputKind == OUTPUT_ALPHA;
}

void freeImage(TextImageResult* r) {
  FreeBitmap(r->bitmap);
  FreeBitMask(r->mask);
  FreeAlphaChannel(r->alpha);
  r->bitmap = r->mask = r->alpha = nullptr;
}

// The text style's edge, shadow and colour transparency become the layer's
// border, shadow and transparency, so that the layer style can change them
// without laying the text out again.
void moveEffectsToLayerStyle(TextStyle* s, ObjectStyle* os) {
  if (s->flags & TEXTSTYLE_EDGE) {
    s->flags &= ~TEXTSTYLE_EDGE;
    os->border.on = 1;
    os->border.colour = s->edgeColor;
    os->border.size = s->edgeSize;
    os->effects = 1;
  }
  if (s->flags & TEXTSTYLE_SHADOW) {
    s->flags &= ~TEXTSTYLE_SHADOW;
    os->shadow.on = 1;
    os->shadow.colour = s->shadowColor;
    os->shadow.size = s->shadowSize;
    os->shadow.direction = s->shadowDirection;
    os->effects = 1;
  }
  if (s->fontColor >> 24) {
    os->transparency = static_cast<int32_t>(s->fontColor >> 24);
    s->fontColor &= 0xFFFFFF;
    os->effects = 1;
  }
}

// Lays the request out and renders the block, with the font scaled by
// (sx, sy) and the distances of the request scaled by sx.
ErrorCode renderBlock(VmState* L, TextRecord* record, uint32_t flags, bool isPrint, double sx,
                      double sy, TextBlock* block, TextLayout* layout,
                      const TextWindowFunction* window) {
  TextRecord work = *record;
  FontRecord* font = record->style.font;
  bool scaled = sx != 1.0 || sy != 1.0;
  auto scale = [&](int32_t v) { return VmTruncInt32(std::round(v * sx)); };
  if (scaled) {
    SetFontScale(font, sx, sy);
    work.leftMargin = scale(work.leftMargin);
    work.wrapWidth = scale(work.wrapWidth);
    for (int32_t k = 0; k < work.tabCount; ++k) work.tabs[k] = scale(work.tabs[k]);
    work.style.shadowSize = std::clamp(scale(work.style.shadowSize), 1, MAX_EFFECT_SIZE);
    work.style.edgeSize = std::clamp(scale(work.style.edgeSize), 1, MAX_EFFECT_SIZE);
    if (flags & TEXTDRAW_SCALECURSOR) work.cursorX = scale(work.cursorX);
  }
  if (!record->wrapTableSet) work.wrapTable = nullptr, work.wrapCount = 0;
  if (!record->tabTableSet) work.tabTable = nullptr, work.tabTableCount = 0;
  int32_t startX = isPrint ? work.cursorX - work.leftMargin : 0;
  int32_t wrap = work.wrapWidth;
  if (isPrint) wrap = work.wrapWidth + 1 - work.leftMargin;
  ErrorCode e = LayoutText(L, &work, flags, startX, std::max(wrap, 0), layout);
  if (!e) e = EdgeDraw(*layout, work.align, std::max(wrap, 0), work.encoding, block, window);
  if (scaled) SetFontScale(font, 1.0, 1.0);
  // The computed tables go back to the request (or are dropped).
  if (!record->wrapTableSet) {
    if (e) {
      FreeMemory(work.wrapTable);
    } else {
      FreeMemory(record->wrapTable);
      record->wrapTable = work.wrapTable;
      record->wrapCount = work.wrapCount;
    }
  }
  if (!record->tabTableSet) {
    if (e) {
      FreeMemory(work.tabTable);
    } else {
      FreeMemory(record->tabTable);
      record->tabTable = work.tabTable;
      record->tabTableCount = work.tabTableCount;
    }
  }
  return e;
}

// ---- The fast path ----

bool isPositionConstant(int32_t v) { return v >= POS_CENTER - 4999 && v < POS_BOTTOMOUT + 5000; }

// Plain text in one opaque colour, the plain or anti-aliased style, left
// aligned and untransformed, drawn without a layer and without a replayed
// wrap table, is drawn line by line straight into one coverage plane of
// the block: no runs, no per-run planes, no colour composing. The block,
// its place and the cursor come out as the general path makes them (the
// same measures of the same words and lines), so the pixels are the same.
// Returns false, having made nothing, for any text it does not take: a
// tag, a tab, a single closing bracket, an empty text, a word that would
// wrap, invalid UTF-8 (the general path then reports what is wrong).
class FastText {
 public:
  FastText(const TextRecord* record, bool isPrint) : record_(record), isPrint_(isPrint) {}

  bool Eligible(uint32_t flags) {
    const TextStyle& s = record_->style;
    const FontRecord* font = s.font;
    if (!font || !record_->text || !record_->text[0]) return false;
    if ((s.flags & ~(TEXTSTYLE_NORMAL | TEXTSTYLE_ANTIALIAS)) != 0 || (s.fontColor >> 24) != 0)
      return false;
    const bool truetype = font->type == FONT_TRUETYPE;
    if (!truetype && !(font->type == FONT_BITMAP && !font->native)) return false;
    if ((s.flags & TEXTSTYLE_ANTIALIAS) && !truetype) return false;
    if (record_->align != ALIGN_LEFT || (record_->wrapTableSet && record_->wrapCount > 0))
      return false;
    if (!isPrint_ && (isPositionConstant(record_->x) || isPositionConstant(record_->y)))
      return false;
    const char* text = record_->text;
    const size_t length = std::strlen(text);
    if (record_->encoding == TEXT_ENCODING_UTF8 && !Utf8CheckBytes(text, length)) return false;
    const bool literal = flags & TEXTDRAW_LITERAL;
    scratch_.reserve(length);
    lines_.push_back(0);
    for (size_t i = 0; i < length; ++i) {
      const char c = text[i];
      if (c == '[' || c == ']') {
        if (i + 1 < length && text[i + 1] == c)
          ++i;
        else if (!literal)
          return false;
        scratch_.push_back(c);
      } else if (c == '\t') {
        return false;
      } else if (c == '\n') {
        lines_.push_back(scratch_.size());
      } else if (c != '\r') {
        scratch_.push_back(c);
      }
    }
    lines_.push_back(scratch_.size());
    return true;
  }

  // The block's image and, for the cursor, the layout's end and line
  // count. *taken false: a word wraps or the block is too large, nothing
  // is made.
  ErrorCode Draw(int32_t startX, int32_t wrapWidth, const TextWindowFunction& window,
                 TextImageResult* image, TextWindow* shown, TextLayout* layout, bool* taken) {
    *taken = false;
    const TextStyle& style = record_->style;
    FontRecord* font = style.font;
    const int32_t encoding = record_->encoding;
    const int32_t lineHeight = font->height;
    const size_t lineCount = lines_.size() - 1;
    struct Run {
      size_t start, length;
      int32_t x, y;
      TextMetrics m;
    };
    std::vector<Run> runs;
    runs.reserve(lineCount);
    int32_t x = startX;
    const bool itemsNeeded = isPrint_ || wrapWidth > 0;
    TextMetrics space{};
    if (itemsNeeded)
      if (ErrorCode e = MeasureText(" ", 1, encoding, &space, &style)) return e;
    for (size_t line = 0; line < lineCount; ++line) {
      const size_t start = lines_[line], end = lines_[line + 1];
      x = line == 0 ? startX : 0;
      Run r{start, end - start, x, static_cast<int32_t>(line) * lineHeight, {}};
      // The pen moves word by word as the layout moves it.
      for (size_t k = start; itemsNeeded && k < end;) {
        if (scratch_[k] == ' ') {
          x += space.advance;
          ++k;
          continue;
        }
        size_t wordEnd = k;
        while (wordEnd < end && scratch_[wordEnd] != ' ') ++wordEnd;
        TextMetrics word{};
        if (ErrorCode e = MeasureText(&scratch_[k], wordEnd - k, encoding, &word, &style)) return e;
        if (wrapWidth > 0 && int64_t{x} + word.advance > wrapWidth) return ERR_NONE;
        x += word.advance;
        k = wordEnd;
      }
      if (r.length == 0) continue;
      if (ErrorCode e = MeasureText(&scratch_[start], r.length, encoding, &r.m, &style)) return e;
      runs.push_back(r);
    }
    if (runs.empty()) return ERR_NONE;
    int64_t left = INT32_MAX, right = INT32_MIN, maxY = 0;
    for (const Run& r : runs) {
      left = std::min<int64_t>(left, int64_t{r.x} + std::min(r.m.inkLeft, 0));
      right = std::max<int64_t>(right, int64_t{r.x} + r.m.totalWidth);
      maxY = std::max<int64_t>(maxY, r.y);
    }
    int64_t width = right - left;
    if (wrapWidth > 0 && width > wrapWidth - left) width = wrapWidth - left;
    width = std::max<int64_t>(width, 1);
    const int64_t height = maxY + lineHeight + 1;
    if (width > INT32_MAX || height > INT32_MAX || width * height > (int64_t{1} << 28))
      return ERR_NONE;
    // Only the part of the block the output shows is drawn.
    *shown = window(static_cast<int32_t>(width), static_cast<int32_t>(height),
                    static_cast<int32_t>(left), 0);
    layout->lineHeight = lineHeight;
    layout->lines = static_cast<int32_t>(lineCount);
    layout->endX = x;
    if (shown->width < 1 || shown->height < 1) {
      *image = TextImageResult{nullptr, nullptr, nullptr, 0, 0, static_cast<int32_t>(left), 0};
      *taken = true;
      return ERR_NONE;
    }
    const int32_t w = shown->width, h = shown->height;

    const bool aa = style.flags & TEXTSTYLE_ANTIALIAS;
    BitmapHandle* bitmap = AllocBitmap(w, h, 0, nullptr);
    if (!bitmap) return ERR_BITMAP;
    BitmapHandle* plane =
        aa ? AllocAlphaChannel(w, h, 1, nullptr, 0) : AllocBitMask(bitmap, w, h, 1, nullptr, 0);
    if (!plane) {
      FreeBitmap(bitmap);
      return aa ? ERR_ALLOCALPHA : ERR_ALLOCMASK;
    }
    FillBitmapRect(bitmap, 0, 0, w, h, 0xFF000000u | style.fontColor);
    for (const Run& r : runs) {
      // Each line is drawn inside the plane the general path gives its run.
      const int64_t y = r.y - shown->y;
      if (y + lineHeight <= 0 || y >= h) continue;
      const int32_t penX = -std::min(r.m.inkLeft, 0);
      const int64_t gx = r.x - left - penX - shown->x;
      const int64_t gw = penX + std::max(r.m.totalWidth, 1) + 1;
      if (gx + gw <= 0 || gx >= w) continue;
      const int32_t cx = static_cast<int32_t>(std::max<int64_t>(gx, 0));
      const FontClip clip{cx, static_cast<int32_t>(y),
                          static_cast<int32_t>(std::min<int64_t>(gx + gw, w) - cx),
                          std::max(lineHeight, 1)};
      DrawFontText(font, aa ? plane : nullptr, aa ? nullptr : plane,
                   static_cast<int32_t>(gx + penX), static_cast<int32_t>(y), &scratch_[r.start],
                   r.length, style.flags, encoding, &clip, -1);
    }
    BitmapHandle *mask = aa ? nullptr : plane, *alpha = aa ? plane : nullptr;
    // Coverage of only 0 and 255 is said exactly by a mask.
    if (aa && !hasPartialCoverage(alpha, w, h)) {
      mask = AllocBitMask(bitmap, w, h, 1, nullptr, 0);
      if (!mask) {
        FreeAlphaChannel(alpha);
        FreeBitmap(bitmap);
        return ERR_ALLOCMASK;
      }
      AlphaToMaskRect(alpha, 0, 0, mask, 0, 0, w, h, 0);
      FreeAlphaChannel(alpha);
      alpha = nullptr;
    }
    *image = TextImageResult{bitmap, mask, alpha, w, h, static_cast<int32_t>(left), 0};
    *taken = true;
    return ERR_NONE;
  }

 private:
  static bool hasPartialCoverage(BitmapHandle* alpha, int32_t w, int32_t h) {
    BitmapLock lock{};
    if (!LockBitmap(alpha, 1, &lock)) return true;
    bool partial = false;
    for (int32_t y = 0; y < h && !partial; ++y) {
      const uint8_t* row = lock.address + static_cast<size_t>(y) * lock.rowLength;
      for (int32_t x = 0; x < w; ++x)
        if (row[x] && row[x] != 255) {
          partial = true;
          break;
        }
    }
    UnlockBitmap(&lock);
    return partial;
  }

  const TextRecord* record_;
  bool isPrint_;
  std::vector<char> scratch_;
  std::vector<size_t> lines_;  // where each line starts in the scratch, then its end
};

}  // namespace

void GetOutputTargetSize(const DisplayRecord* d, int32_t* width, int32_t* height) {
  // A display that scales its layers is drawn on in its picture's own
  // size; the window shows it at the scaled size.
  if (!d->drawBitmap && d->layerscale && d->bgpic) {
    *width = d->bgpic->sourceWidth;
    *height = d->bgpic->sourceHeight;
    return;
  }
  const BitmapHandle* target = d->drawBitmap ? d->drawBitmap : d->windowBitmap;
  if (target) {
    *width = target->width;
    *height = target->height;
  } else {
    *width = d->width;
    *height = d->height;
  }
}

ErrorCode MakeTextBitmaps(const TextBlock& block, TextImageResult* out) {
  out->bitmap = out->mask = out->alpha = nullptr;
  out->width = block.width;
  out->height = block.height;
  out->originX = block.originX;
  out->originY = block.originY;
  BitmapHandle *bitmap = nullptr, *mask = nullptr, *alpha = nullptr;
  if (ErrorCode e = CreateBitmapFromRGB(block.pixels.data(), -1, block.width, block.height,
                                        block.width, 0, 8, nullptr, &bitmap, &mask, &alpha))
    return e;
  FreeBitMask(mask);
  mask = nullptr;
  if (!block.needsAlpha) {
    // Every pixel is either covered or not: a mask says it exactly.
    FreeAlphaChannel(alpha);
    alpha = nullptr;
    mask = AllocBitMask(bitmap, block.width, block.height, 1, nullptr, 0);
    BitmapLock lock{};
    if (!mask || !LockBitmap(mask, 0, &lock)) {
      FreeBitMask(mask);
      FreeBitmap(bitmap);
      return ERR_ALLOCMASK;
    }
    for (int32_t y = 0; y < block.height; ++y) {
      uint8_t* row = lock.address + static_cast<size_t>(y) * static_cast<size_t>(lock.rowLength);
      const uint32_t* src = block.pixels.data() + static_cast<size_t>(y) * block.width;
      for (int32_t x = 0; x < block.width; ++x)
        if (src[x] >> 24) row[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
    }
    UnlockBitmap(&lock);
  } else if (!alpha) {
    FreeBitmap(bitmap);
    return ERR_ALLOCALPHA;
  }
  out->bitmap = bitmap;
  out->mask = mask;
  out->alpha = alpha;
  return ERR_NONE;
}

ErrorCode BlitToOutputTarget(VmState* L, BitmapHandle* bitmap, BitmapHandle* mask,
                             BitmapHandle* alpha, int32_t width, int32_t height, int32_t x,
                             int32_t y) {
  DisplayRecord* d = GetOutputDisplay();
  if (ErrorCode e = PrepareOutputTarget(L)) return e;
  if (d->outputKind == OUTPUT_MASK || d->outputKind == OUTPUT_ALPHA) {
    // A selected mask or alpha channel takes the image's coverage.
    BitmapHandle* target = d->drawBitmap;
    if (!target) return ERR_NONE;
    uint32_t* argb = BitmapToARGBWithAlpha(bitmap, mask, alpha, width, height);
    if (!argb) return ERR_MEM;
    for (int32_t j = 0; j < height; ++j)
      for (int32_t i = 0; i < width; ++i) {
        uint32_t a = argb[static_cast<size_t>(j) * width + i] >> 24;
        int64_t tx = int64_t{x} + i, ty = int64_t{y} + j;
        if (!a || tx < 0 || ty < 0 || tx >= target->width || ty >= target->height) continue;
        if (d->outputKind == OUTPUT_MASK) {
          if (a >= 128) MaskRectOp(target, int32_t(tx), int32_t(ty), 1, 1, 0);
        } else {
          FillAlphaRect(target, int32_t(tx), int32_t(ty), 1, 1, static_cast<uint8_t>(a));
        }
      }
    FreeMemory(argb);
    return ERR_NONE;
  }
  int32_t ow = 0, oh = 0;
  GetOutputTargetSize(d, &ow, &oh);
  MarkDisplayDirty(d, x, y, width, height);
  // A selected brush is drawn into as a bitmap; nothing of it is shown.
  uint32_t blitFlags = selectedOutput(d) && d->drawBitmap
                           ? SAFEBLT_BITMAPONLY
                           : SAFEBLT_BACKBUFFER | SAFEBLT_LAYERS | SAFEBLT_SCALED;
  SafeBlt(L, bitmap, 0, 0, d->drawBitmap, x, y, width, height, width, height, ow, oh, blitFlags,
          mask, alpha, nullptr);
  return ERR_NONE;
}

ErrorCode DrawFormattedText(VmState* L, TextRecord* record, int32_t layerType, uint32_t flags,
                            const DisplayTransform* transform, const ObjectStyle* style,
                            TextImageResult* result) {
  DisplayTransform t;
  if (transform)
    t = *transform;
  else
    CopyDefaultTransform(&t);
  DisplayRecord* d = GetOutputDisplay();
  const bool isPrint = layerType == LAYER_PRINT;
  const bool toLayer = layerType != LAYER_TEXTOBJECT && d->layers &&
                       !(flags & (TEXTDRAW_GEOMETRY | TEXTDRAW_RERENDER));
  ObjectStyle layerStyle{};
  if (style) layerStyle = *style;
  if (toLayer) moveEffectsToLayerStyle(&record->style, &layerStyle);

  // A scalable font is rendered at the target size; what remains of the
  // transform (rotation, mirroring) is applied to the finished image.
  FontRecord* font = record->style.font;
  double sx = 1.0, sy = 1.0;
  double rest[4] = {t.m11, t.m12, t.m21, t.m22};
  const bool identity = isIdentity(t);
  if (!identity && font && font->scalable) {
    sx = std::hypot(t.m11, t.m12);
    sy = std::hypot(t.m21, t.m22);
    if (sx < TOLERANCE || sy < TOLERANCE) return ERR_WRONGUSAGE;
    rest[0] /= sx;
    rest[1] /= sx;
    rest[2] /= sy;
    rest[3] /= sy;
  }
  const bool turned = std::fabs(rest[0] - 1) > TOLERANCE || std::fabs(rest[1]) > TOLERANCE ||
                      std::fabs(rest[2]) > TOLERANCE || std::fabs(rest[3] - 1) > TOLERANCE;
  int32_t ow = 0, oh = 0;
  GetOutputTargetSize(d, &ow, &oh);
  // Where a block of w x h with its top-left at originX, originY from the
  // text's nominal position goes on the output.
  auto placeAt = [&](int32_t w, int32_t h, int32_t originX, int32_t originY, int64_t* px,
                     int64_t* py) {
    if (isPrint) {
      *px = int64_t{record->leftMargin} + originX;
      *py = int64_t{record->cursorY} + originY;
    } else {
      *px = int64_t{ResolveXPos(record->x, w, ow, t.anchorX)} + originX;
      *py = int64_t{ResolveYPos(record->y, h, oh, t.anchorY)} + originY;
    }
  };
  // A block drawn straight into the output (no layer keeps it, no turn or
  // filter works on all of it) that is far larger than the output renders
  // only the part the output shows.
  ObjectStyle filters = layerStyle;
  filters.transparency = 0;
  const bool cuttable = !toLayer && layerType != LAYER_TEXTOBJECT &&
                        !(flags & (TEXTDRAW_GEOMETRY | TEXTDRAW_RERENDER)) && !turned &&
                        !HasDrawEffects(&filters);
  bool cut = false;
  int32_t blockWidth = 0, blockHeight = 0;
  const TextWindowFunction window = [&](int32_t w, int32_t h, int32_t originX, int32_t originY) {
    const TextWindow whole{0, 0, w, h};
    const int64_t pixels = int64_t{w} * h;
    if (!cuttable || pixels <= std::max(WHOLE_BLOCK_PIXELS, 4 * int64_t{ow} * oh)) return whole;
    cut = true;
    blockWidth = w;
    blockHeight = h;
    int64_t px, py;
    placeAt(w, h, originX, originY, &px, &py);
    const int64_t x0 = std::max<int64_t>(0, -px), y0 = std::max<int64_t>(0, -py);
    const int64_t x1 = std::min<int64_t>(w, ow - px), y1 = std::min<int64_t>(h, oh - py);
    if (x1 <= x0 || y1 <= y0) return TextWindow{};
    return TextWindow{x0, y0, static_cast<int32_t>(x1 - x0), static_cast<int32_t>(y1 - y0)};
  };
  TextLayout layout;
  TextImageResult image{};
  TextWindow shown{};
  bool fast = false;
  if (identity && !toLayer && !layerStyle.effects && !layerStyle.transparency &&
      (layerType == LAYER_PRINT || layerType == LAYER_TEXTOUT) &&
      !(flags & (TEXTDRAW_GEOMETRY | TEXTDRAW_RERENDER))) {
    FastText text(record, isPrint);
    if (text.Eligible(flags)) {
      const int32_t startX = isPrint ? record->cursorX - record->leftMargin : 0;
      const int32_t wrap =
          std::max(isPrint ? record->wrapWidth + 1 - record->leftMargin : record->wrapWidth, 0);
      if (ErrorCode e = text.Draw(startX, wrap, window, &image, &shown, &layout, &fast)) return e;
    }
  }
  if (!fast) {
    cut = false;
    TextBlock block;
    if (ErrorCode e = renderBlock(L, record, flags, isPrint, sx, sy, &block, &layout, &window))
      return e;
    shown = TextWindow{block.windowX, block.windowY, block.width, block.height};
    if (block.width > 0 && block.height > 0) {
      if (ErrorCode e = MakeTextBitmaps(block, &image)) return e;
    } else {
      image = TextImageResult{nullptr, nullptr, nullptr, 0, 0, block.originX, block.originY};
    }
  }
  if (turned) {
    TextImageResult made{};
    ErrorCode e = RotateScaleBitmap(image.bitmap, image.mask, image.alpha, 0, 0, image.width,
                                    image.height, rest, t.smoothScale, 0, &made.bitmap, &made.mask,
                                    &made.alpha, &made.width, &made.height);
    freeImage(&image);
    if (e) return e;
    image.bitmap = made.bitmap;
    image.mask = made.mask;
    image.alpha = made.alpha;
    image.width = made.width;
    image.height = made.height;
    image.originX = image.originY = 0;
  }
  if (flags & TEXTDRAW_RERENDER) {
    record->wrapTableSet = 1;
    record->tabTableSet = 1;
  }

  if (layerType == LAYER_TEXTOBJECT || (flags & TEXTDRAW_RERENDER)) {
    *result = image;
    return ERR_NONE;
  }

  // A cut block is placed by its whole size, its pixels where they lie in it.
  int64_t px, py;
  if (cut) {
    placeAt(blockWidth, blockHeight, image.originX, image.originY, &px, &py);
    px += shown.x;
    py += shown.y;
  } else {
    placeAt(image.width, image.height, image.originX, image.originY, &px, &py);
  }
  const int32_t x = VmSaturateInt<int32_t>(px), y = VmSaturateInt<int32_t>(py);
  if (isPrint && !(flags & (TEXTDRAW_GEOMETRY | TEXTDRAW_RERENDER))) {
    d->textX = layout.endX + record->leftMargin;
    d->textY = record->cursorY + (layout.lines - 1) * layout.lineHeight;
  }
  if (!image.bitmap) return ERR_NONE;  // nothing of it is seen

  if (toLayer) {
    auto* kept = static_cast<TextRecord*>(AllocMemory(sizeof(TextRecord), 1));
    LayerImageState* state = AllocLayerImageState();
    ErrorCode e = kept && state ? CopyTextRecord(record, kept) : ERR_MEM;
    if (e) {
      FreeMemory(kept);
      FreeMemory(state);
      freeImage(&image);
      return e;
    }
    kept->wrapTableSet = kept->tabTableSet = 1;
    kept->x = x - image.originX;
    kept->y = y - image.originY;
    kept->imageWidth = image.width;
    kept->imageHeight = image.height;
    state->kindData = kept;
    qmLayer* layer = nullptr;
    e = NewLayer(L, layerType, nullptr, x, y, image.width, image.height, &t, &layerStyle,
                 image.bitmap, image.mask, image.alpha, state, -1, 0, &layer);
    if (e) return e;
    // Shown where the display shows it (at the display's scale, when the
    // display scales its layers).
    if (identity && !layerStyle.effects && !layer->hidden) {
      const LayerImageState* s = layer->display;
      RefreshRect(L, s->x, s->y, s->width, s->height);
    }
    return ERR_NONE;
  }

  ErrorCode e = ApplyDrawEffects(&layerStyle, image.bitmap, &image.mask, &image.alpha, image.width,
                                 image.height);
  if (!e)
    e = BlitToOutputTarget(L, image.bitmap, image.mask, image.alpha, image.width, image.height, x,
                           y);
  freeImage(&image);
  return e;
}

namespace {

ErrorCode copyTextState(const LayerImageState* from, LayerImageState* to) {
  to->kindData = nullptr;
  if (!from->kindData) return ERR_NONE;
  auto* kept = static_cast<TextRecord*>(AllocMemory(sizeof(TextRecord), 1));
  if (!kept) return ERR_MEM;
  if (ErrorCode e = CopyTextRecord(static_cast<const TextRecord*>(from->kindData), kept)) {
    FreeMemory(kept);
    return e;
  }
  to->kindData = kept;
  return ERR_NONE;
}

void freeTextState(VmState*, LayerImageState* state) {
  auto* kept = static_cast<TextRecord*>(state->kindData);
  FreeTextRecord(kept);
  FreeMemory(kept);
  state->kindData = nullptr;
}

// Renders the kept request again at the layer's transform, so that scaled
// text is drawn sharp at its new size.
ErrorCode renderTextLayer(VmState* L, qmLayer* layer, LayerImageState* state,
                          DisplayTransform transform, uint32_t) {
  auto* kept = static_cast<TextRecord*>(state->kindData);
  if (!kept) return ERR_WRONGUSAGE;
  TextImageResult image{};
  if (ErrorCode e = DrawFormattedText(L, kept, layer->type, TEXTDRAW_RERENDER | TEXTDRAW_KEEPLAYER,
                                      &transform, nullptr, &image))
    return e;
  FreeBitmap(state->transformed.bitmap);
  FreeBitMask(state->transformed.mask);
  FreeAlphaChannel(state->transformed.alpha);
  state->transformed = LayerTriple{image.bitmap, image.mask, image.alpha};
  // The rendered block's anchor point lands on the requested position.
  int32_t w0 = std::max(kept->imageWidth, 1), h0 = std::max(kept->imageHeight, 1);
  double ax = transform.anchorX * w0, ay = transform.anchorY * h0;
  double tx = transform.m11 * ax + transform.m21 * ay, ty = transform.m12 * ax + transform.m22 * ay;
  int32_t bw = 0, bh = 0, ox = 0, oy = 0;
  const double m[4] = {transform.m11, transform.m12, transform.m21, transform.m22};
  ComputeTransformBounds(m, w0, h0, &bw, &bh, &ox, &oy);
  state->x = state->requestedX - VmTruncInt32(std::round(tx - ox));
  state->y = state->requestedY - VmTruncInt32(std::round(ty - oy));
  state->width = image.width;
  state->height = image.height;
  return ERR_NONE;
}

// ---- Layer style fields of text and print layers ----

void setNumber(VmState* L, const char* name, double value) {
  VmPushString(L, name);
  VmPushNumber(L, value);
  VmSetTable(L, -3);
}

bool readInt(VmState* L, int table, const char* name, int32_t* value) {
  int found = 0;
  return GetTableFieldInt(L, table, name, value, &found) != 0;
}

// "tabs": numbers in index order from 0 (or 1) up to the first nil, at
// most 31, kept ascending.
ErrorCode readTabs(VmState* L, int table, TextRecord* rec, bool* given) {
  std::vector<int32_t> tabs;
  bool present = false;
  if (ErrorCode e = ReadNumberList(L, table, "tabs", {ERR_NUMTABLEARG, TAB_STOPS - 1, ERR_INTERNAL},
                                   &tabs, &present))
    return e;
  if (!present) return ERR_NONE;
  std::sort(tabs.begin(), tabs.end());
  std::copy(tabs.begin(), tabs.end(), rec->tabs);
  rec->tabCount = static_cast<int32_t>(tabs.size());
  *given = true;
  return ERR_NONE;
}

// The text fields of a style table on a copy of the layer's request:
// "color", "fontstyle" and "fontstyleclear" (shadow and edge switch the
// layer's shadow and border), "encoding", "rightmargin", "text"; "align"
// for text layers; "leftmargin", "cursorx", "cursory" and "tabs" for print
// layers. Another kind of layer cannot become a text or print layer: it
// has no request to show.
ErrorCode readTextStyle(VmState* L, int table, LayerStyleWork* w) {
  const qmLayer* layer = w->layer;
  const bool textKind = layer->type == LAYER_TEXTOUT || layer->type == LAYER_PRINT;
  if (!textKind || !layer->base || !layer->base->kindData) return ERR_WRONGUSAGE;
  auto* rec = static_cast<TextRecord*>(AllocMemory(sizeof(TextRecord), 1));
  if (!rec) return ERR_MEM;
  if (ErrorCode e = CopyTextRecord(static_cast<const TextRecord*>(layer->base->kindData), rec)) {
    FreeMemory(rec);
    return e;
  }
  w->kindData = rec;
  const bool print = w->type == LAYER_PRINT;
  bool content = w->typeChanged != 0;
  int found = 0;
  uint32_t colour = 0;
  if (GetTableFieldU32(L, table, "color", &colour, &found)) {
    rec->style.fontColor = colour & 0xFFFFFF;
    content = true;
  }
  int32_t v = 0;
  if (readInt(L, table, "fontstyle", &v)) {
    if (v & TEXTSTYLE_NORMAL) {
      rec->style.flags = TEXTSTYLE_NORMAL;
    } else {
      rec->style.flags |= v & ~(TEXTSTYLE_SHADOW | TEXTSTYLE_EDGE);
      if (v & TEXTSTYLE_SHADOW) w->shadow.on = 1;
      if (v & TEXTSTYLE_EDGE) w->border.on = 1;
      if (v & (TEXTSTYLE_SHADOW | TEXTSTYLE_EDGE)) w->styleChanged = 1;
    }
    content = true;
  }
  if (readInt(L, table, "fontstyleclear", &v)) {
    rec->style.flags &= ~(v & ~(TEXTSTYLE_SHADOW | TEXTSTYLE_EDGE));
    if (v & TEXTSTYLE_SHADOW) w->shadow.on = 0;
    if (v & TEXTSTYLE_EDGE) w->border.on = 0;
    if (v & (TEXTSTYLE_SHADOW | TEXTSTYLE_EDGE)) w->styleChanged = 1;
    content = true;
  }
  if (readInt(L, table, "encoding", &v)) {
    if (v < 0 || v > 1) return ERR_WRONGUSAGE;
    rec->encoding = v;
    content = true;
  }
  if (readInt(L, table, "rightmargin", &v)) {
    if (v < 0 && print) return ERR_WRONGUSAGE;
    rec->wrapWidth = v;
    content = true;
  }
  if (!print && readInt(L, table, "align", &v)) {
    rec->align = v;
    content = true;
  }
  if (print) {
    if (readInt(L, table, "leftmargin", &v)) {
      if (v < 0) return ERR_WRONGUSAGE;
      rec->leftMargin = v;
      content = true;
    }
    if (readInt(L, table, "cursorx", &rec->cursorX)) content = true;
    if (readInt(L, table, "cursory", &rec->cursorY)) content = true;
    if (rec->cursorX < rec->leftMargin || rec->cursorX > rec->wrapWidth)
      rec->cursorX = rec->leftMargin;
    bool tabs = false;
    if (ErrorCode e = readTabs(L, table, rec, &tabs)) return e;
    content = content || tabs;
  }
  // Any of "font", "fontsize" and "fontengine" opens the font anew; what
  // is not given is the current font's.
  char name[FONT_NAME_SIZE] = "";
  int32_t size = rec->style.font ? rec->style.font->requestedSize : 8;
  int32_t engine = FONTENGINE_NATIVE, cache = 1;
  bool fontGiven = GetTableFieldString(L, table, "font", name, sizeof name, &found) != 0;
  fontGiven = readInt(L, table, "fontsize", &size) || fontGiven;
  fontGiven = readInt(L, table, "fontengine", &engine) || fontGiven;
  readInt(L, table, "fontcache", &cache);
  if (fontGiven) {
    if (!name[0])
      std::snprintf(name, sizeof name, "%s", rec->style.font ? rec->style.font->name : "topaz");
    int32_t isFont = 0;
    const char* resolved = ResolveLinkedFile(L, name, 1, &isFont);
    char path[FONT_NAME_SIZE];
    if (std::strlen(resolved) >= sizeof path) return ERR_OPENFONT;
    std::strcpy(path, resolved);
    FontRecord* font = nullptr;
    if (ErrorCode e =
            OpenFontEx(path, size, engine, cache, rec->style.font ? rec->style.font->usePoints : 0,
                       resolved != name ? 1 : 0, &font))
      return e;
    rec->style.font = font;
    content = true;
  }
  VmPushString(L, "text");
  VmGetTable(L, table);
  if (VmType(L, -1) != VM_TYPE_NIL) {
    const char* text = VmToString(L, -1);
    ErrorCode e = text ? SetTextRecordText(rec, text) : ERR_WRONGUSAGE;
    VmSetTop(L, VmGetTop(L) - 1);
    if (e) return e;
    content = true;
  } else {
    VmSetTop(L, VmGetTop(L) - 1);
  }
  ClampTextStyle(&rec->style);
  if (content) w->content = 1;
  return ERR_NONE;
}

void writeTextStyle(VmState* L, qmLayer* layer) {
  const auto* rec = static_cast<const TextRecord*>(layer->base->kindData);
  if (!rec) return;
  setNumber(L, "color", static_cast<double>(rec->style.fontColor));
  setNumber(L, "fontstyle", rec->style.flags);
  setNumber(L, "encoding", rec->encoding);
  setNumber(L, "rightmargin", rec->wrapWidth);
  if (layer->type == LAYER_TEXTOUT) setNumber(L, "align", rec->align);
  if (layer->type == LAYER_PRINT) {
    setNumber(L, "leftmargin", rec->leftMargin);
    setNumber(L, "cursorx", rec->cursorX);
    setNumber(L, "cursory", rec->cursorY);
    VmPushString(L, "tabs");
    VmNewTable(L);
    for (int32_t i = 0; i < rec->tabCount; ++i) {
      VmPushNumber(L, rec->tabs[i]);
      VmRawSetI(L, -2, i);
    }
    VmSetTable(L, -3);
  }
  if (rec->style.font) {
    VmPushString(L, "font");
    VmPushString(L, rec->style.font->name);
    VmSetTable(L, -3);
    setNumber(L, "fontsize", rec->style.font->requestedSize);
  }
  VmPushString(L, "text");
  VmPushString(L, rec->text ? rec->text : "");
  VmSetTable(L, -3);
}

int32_t listPosition(const qmLayer* layer) {
  int32_t position = 1;
  for (const Node* n = layer->node.pred; n && n->pred; n = n->pred) ++position;
  return position;
}

// The layer again from the work's request, laid out anew (its wrap and tab
// tables made again), its requested position at x, y, in the old layer's
// place.
ErrorCode remakeTextLayer(VmState* L, qmLayer* layer, LayerStyleWork* w, int32_t x, int32_t y,
                          const DisplayTransform* transform, uint32_t flags, qmLayer** out) {
  auto* rec = static_cast<TextRecord*>(w->kindData);
  if (!rec) return ERR_WRONGUSAGE;
  FreeMemory(rec->wrapTable);
  FreeMemory(rec->tabTable);
  rec->wrapTable = rec->tabTable = nullptr;
  rec->wrapCount = rec->tabTableCount = 0;
  rec->wrapTableSet = rec->tabTableSet = 0;
  DisplayTransform plain;
  CopyDefaultTransform(&plain);
  plain.m11 = plain.m22 = 1;
  plain.m12 = plain.m21 = 0;
  TextImageResult image{};
  if (ErrorCode e = DrawFormattedText(L, rec, w->type, TEXTDRAW_RERENDER | TEXTDRAW_KEEPLAYER,
                                      &plain, nullptr, &image))
    return e;
  auto* kept = static_cast<TextRecord*>(AllocMemory(sizeof(TextRecord), 1));
  LayerImageState* state = AllocLayerImageState();
  ErrorCode e = kept && state ? CopyTextRecord(rec, kept) : ERR_MEM;
  if (e) {
    FreeMemory(kept);
    FreeMemory(state);
    freeImage(&image);
    return e;
  }
  kept->x = x - image.originX;
  kept->y = y - image.originY;
  kept->imageWidth = image.width;
  kept->imageHeight = image.height;
  state->kindData = kept;
  return NewLayer(L, w->type, nullptr, x, y, image.width, image.height, transform, nullptr,
                  image.bitmap, image.mask, image.alpha, state, listPosition(layer), flags, out);
}

void freeTextWork(LayerStyleWork* w) {
  auto* rec = static_cast<TextRecord*>(w->kindData);
  FreeTextRecord(rec);
  FreeMemory(rec);
  w->kindData = nullptr;
}

const LayerStyleHooks TEXT_STYLE{readTextStyle, writeTextStyle, remakeTextLayer, freeTextWork};

const LayerKind TEXTOUT_KIND{LAYER_TEXTOUT, renderTextLayer, nullptr, copyTextState,
                             freeTextState, nullptr,         nullptr, nullptr};
const LayerKind PRINT_KIND{LAYER_PRINT,   renderTextLayer, nullptr, copyTextState,
                           freeTextState, nullptr,         nullptr, nullptr};

}  // namespace

void RegisterTextLayerKinds() {
  RegisterLayerKind(&TEXTOUT_KIND);
  RegisterLayerKind(&PRINT_KIND);
  RegisterLayerStyleHooks(LAYER_TEXTOUT, &TEXT_STYLE);
  RegisterLayerStyleHooks(LAYER_PRINT, &TEXT_STYLE);
}
