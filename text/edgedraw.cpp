// The text block renderer: fixes the block's size from the runs' metrics,
// aligns each line, draws every run's glyphs with synthetic bold and
// italic, underline, edge and shadow, and lays them over one another into
// one straight-alpha image; and the edge builders it shares with outlines.
//
// Invariant: per run the parts are laid in the order shadow, edge, glyphs,
// each with the "over" rule, so monochrome text keeps its exact colours.
#include <algorithm>
#include <cstring>

#include "engine/engine.h"
#include "text/layout_private.h"

namespace {

// North is up; the directions go clockwise from it.
constexpr int8_t SHADOW_DX[8] = {0, 1, 1, 1, 0, -1, -1, -1};
constexpr int8_t SHADOW_DY[8] = {-1, -1, 0, 1, 1, 1, 0, -1};

int32_t opacityOf(uint32_t colour) { return 255 - static_cast<int32_t>(colour >> 24); }

uint8_t scaleBy(int32_t value, int32_t opacity) {
  return static_cast<uint8_t>((value * opacity + 127) / 255);
}

// Lays a colour of coverage alpha over a straight-alpha pixel.
void over(uint32_t* pixel, uint32_t colour, uint32_t alpha) {
  if (!alpha) return;
  uint32_t bottom = *pixel;
  uint32_t ba = bottom >> 24;
  if (alpha == 255 || !ba) {
    *pixel = alpha << 24 | (colour & 0xFFFFFF);
    return;
  }
  uint32_t rest = (ba * (255 - alpha) + 127) / 255;
  uint32_t oa = alpha + rest;
  uint32_t out = oa << 24;
  for (int shift = 0; shift < 24; shift += 8) {
    uint32_t t = (colour >> shift) & 255, b = (bottom >> shift) & 255;
    out |= ((t * alpha + b * rest + oa / 2) / oa) << shift;
  }
  *pixel = out;
}

// Reads a locked mask or alpha channel into coverage bytes.
bool readCoverage(BitmapHandle* plane, bool isMask, int32_t width, int32_t height, Coverage8* out) {
  out->width = width;
  out->height = height;
  out->bytes.assign(static_cast<size_t>(width) * static_cast<size_t>(height), 0);
  BitmapLock lock{};
  if (!LockBitmap(plane, 1, &lock)) return false;
  for (int32_t y = 0; y < height && y < lock.height; ++y) {
    const uint8_t* row =
        lock.address + static_cast<size_t>(y) * static_cast<size_t>(lock.rowLength);
    uint8_t* dst = out->bytes.data() + static_cast<size_t>(y) * static_cast<size_t>(width);
    for (int32_t x = 0; x < width && x < lock.width; ++x)
      dst[x] = isMask ? ((row[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0) : row[x];
  }
  UnlockBitmap(&lock);
  return true;
}

struct RunImage {
  Coverage8 glyphs;
  std::vector<uint32_t> colours;  // colour fonts: the glyph pixels, else empty
  int32_t penX = 0;               // where the pen starts in the planes
};

// The width of a run's planes drawn whole.
int32_t runWidth(const TextRun& r) {
  return -std::min(r.metrics.inkLeft, 0) + std::max(r.metrics.totalWidth, 1) + 1;
}

// The run's glyphs drawn into coverage (and colours for colour fonts),
// with synthetic bold, italic and the underline: the planes from column
// from up to to of the run's whole planes (the pen then starts from - far
// to the left of the planes' own start).
ErrorCode drawRun(const TextLayout& layout, const TextRun& r, int32_t encoding, int32_t from,
                  int32_t to, RunImage* out) {
  FontRecord* font = r.style.font;
  const int32_t flags = r.style.flags;
  const bool aa = flags & TEXTSTYLE_ANTIALIAS;
  const bool colourFont = font && font->type == FONT_COLOR;
  out->penX = -std::min(r.metrics.inkLeft, 0) - from;
  const int32_t w = std::max(to - from, 1);
  const int32_t h = std::max(layout.lineHeight, 1);
  const char* text = layout.scratch.data() + r.start;
  BitmapHandle* plane = nullptr;
  BitmapHandle* pixels = nullptr;
  if (aa) {
    plane = AllocAlphaChannel(w, h, 1, nullptr, 0);
    if (!plane) return ERR_ALLOCALPHA;
    DrawFontText(font, plane, nullptr, out->penX, 0, text, r.length, flags, encoding, nullptr, -1);
  } else {
    if (colourFont) {
      pixels = AllocBitmap(w, h, 0, nullptr);
      if (!pixels) return ERR_BITMAP;
    }
    plane = AllocBitMask(pixels, w, h, 1, nullptr, 0);
    if (!plane) {
      FreeBitmap(pixels);
      return ERR_ALLOCMASK;
    }
    DrawFontText(font, pixels, plane, out->penX, 0, text, r.length, flags, encoding, nullptr, -1);
  }
  bool read = readCoverage(plane, !aa, w, h, &out->glyphs);
  if (read && colourFont) {
    uint32_t* argb = BitmapToARGBWithAlpha(pixels, nullptr, nullptr, w, h);
    if (argb) out->colours.assign(argb, argb + static_cast<size_t>(w) * static_cast<size_t>(h));
    FreeMemory(argb);
    read = argb != nullptr;
  }
  if (aa)
    FreeAlphaChannel(plane);
  else
    FreeBitMask(plane);
  FreeBitmap(pixels);
  if (!read) return ERR_MEM;

  Coverage8& g = out->glyphs;
  std::vector<uint32_t>& c = out->colours;
  if ((flags & TEXTSTYLE_BOLD) && !aa && !FontHasNativeBold(font)) {
    // The mask ORed with itself shifted one pixel right.
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = w - 1; x > 0; --x) {
        size_t at = static_cast<size_t>(y) * w + x;
        if (!g.bytes[at] && g.bytes[at - 1]) {
          g.bytes[at] = g.bytes[at - 1];
          if (!c.empty()) c[at] = c[at - 1];
        }
      }
  }
  const int32_t baseline = font ? font->baseline : 0;
  if ((flags & TEXTSTYLE_ITALIC) && !FontHasNativeItalic(font)) {
    // Half the baseline height to the right at the top row, one pixel
    // further left every second row.
    std::vector<uint8_t> row(static_cast<size_t>(w));
    std::vector<uint32_t> crow(c.empty() ? 0 : static_cast<size_t>(w));
    for (int32_t y = 0; y < h; ++y) {
      int32_t shift = baseline / 2 - y / 2;
      if (!shift) continue;
      uint8_t* line = g.bytes.data() + static_cast<size_t>(y) * w;
      std::fill(row.begin(), row.end(), 0);
      for (int32_t x = 0; x < w; ++x) {
        int32_t to = x + shift;
        if (to < 0 || to >= w || !line[x]) continue;
        row[static_cast<size_t>(to)] = line[x];
        if (!c.empty()) crow[static_cast<size_t>(to)] = c[static_cast<size_t>(y) * w + x];
      }
      std::copy(row.begin(), row.end(), line);
      if (!c.empty())
        std::copy(crow.begin(), crow.end(), c.begin() + static_cast<ptrdiff_t>(y) * w);
    }
  }
  if (flags & TEXTSTYLE_UNDERLINED) {
    const int32_t lh = layout.lineHeight;
    int32_t t = std::max((lh - baseline) / 3, 1);
    int32_t uy = lh == baseline ? baseline : lh - baseline == 1 ? baseline + 1 : baseline + t;
    for (int32_t y = uy; y < uy + t && y < h; ++y)
      for (int32_t x = out->penX; x < out->penX + r.metrics.advance && x < w; ++x) {
        if (y < 0 || x < 0) continue;
        size_t at = static_cast<size_t>(y) * w + x;
        g.bytes[at] = 255;
        if (!c.empty()) c[at] = 0xFF000000u | (r.style.fontColor & 0xFFFFFF);
      }
  }
  return ERR_NONE;
}

// Lays a coverage plane in one colour over the block at x, y (parts outside
// the block are not drawn).
void layPlane(TextBlock* block, const Coverage8& plane, int64_t x, int64_t y, uint32_t colour,
              int32_t opacity, const std::vector<uint32_t>* colours) {
  for (int32_t py = 0; py < plane.height; ++py) {
    int64_t by = y + py;
    if (by < 0 || by >= block->height) continue;
    for (int32_t px = 0; px < plane.width; ++px) {
      int64_t bx = x + px;
      if (bx < 0 || bx >= block->width) continue;
      size_t at = static_cast<size_t>(py) * plane.width + px;
      uint8_t v = plane.bytes[at];
      if (!v) continue;
      uint32_t c = colours ? (*colours)[at] : colour;
      over(&block->pixels[static_cast<size_t>(by) * block->width + static_cast<size_t>(bx)], c,
           scaleBy(v, opacity));
    }
  }
}

}  // namespace

void StampMaskOffsets(const Coverage8& source, int32_t e, Coverage8* out) {
  out->width = source.width + 2 * e;
  out->height = source.height + 2 * e;
  out->bytes.assign(static_cast<size_t>(out->width) * static_cast<size_t>(out->height), 0);
  // Separable: a row dilation, then a column dilation of its result.
  std::vector<uint8_t> rows(static_cast<size_t>(out->width) * static_cast<size_t>(source.height));
  for (int32_t y = 0; y < source.height; ++y)
    for (int32_t x = 0; x < source.width; ++x) {
      if (!source.bytes[static_cast<size_t>(y) * source.width + x]) continue;
      std::memset(&rows[static_cast<size_t>(y) * out->width + x], 255,
                  static_cast<size_t>(2 * e + 1));
    }
  for (int32_t y = 0; y < source.height; ++y)
    for (int32_t x = 0; x < out->width; ++x) {
      if (!rows[static_cast<size_t>(y) * out->width + x]) continue;
      for (int32_t k = y; k <= y + 2 * e; ++k)
        out->bytes[static_cast<size_t>(k) * out->width + x] = 255;
    }
}

void BuildEdgeAlpha(const Coverage8& source, int32_t e, int32_t opacity, Coverage8* out) {
  out->width = source.width + 2 * e;
  out->height = source.height + 2 * e;
  out->bytes.assign(static_cast<size_t>(out->width) * static_cast<size_t>(out->height), 0);
  // Box sums in 32 bits: (2e+1)^2 x 255 needs 24 bits at e = 64.
  const int32_t side = 2 * e + 1;
  std::vector<uint32_t> rows(static_cast<size_t>(out->width) * static_cast<size_t>(source.height),
                             0);
  for (int32_t y = 0; y < source.height; ++y) {
    const uint8_t* src = source.bytes.data() + static_cast<size_t>(y) * source.width;
    uint32_t* dst = rows.data() + static_cast<size_t>(y) * out->width;
    uint32_t sum = 0;
    for (int32_t x = 0; x < out->width; ++x) {
      // Output x covers source columns x - 2e .. x.
      if (x < source.width) sum += src[x];
      if (x - side >= 0 && x - side < source.width) sum -= src[x - side];
      dst[x] = sum;
    }
  }
  for (int32_t x = 0; x < out->width; ++x) {
    uint32_t sum = 0;
    for (int32_t y = 0; y < out->height; ++y) {
      if (y < source.height) sum += rows[static_cast<size_t>(y) * out->width + x];
      if (y - side >= 0 && y - side < source.height)
        sum -= rows[static_cast<size_t>(y - side) * out->width + x];
      uint32_t v = std::min<uint32_t>(sum / static_cast<uint32_t>(side), 255);
      out->bytes[static_cast<size_t>(y) * out->width + x] =
          scaleBy(static_cast<int32_t>(v), opacity);
    }
  }
}

ErrorCode BuildOutlineCoverage(const Coverage8& source, int64_t s, bool antialiased,
                               Coverage8* out) {
  // width + 2s + 1 in 64 bits: a size from a script must not wrap.
  if (s < 0) s = 0;
  int64_t w = int64_t{source.width} + 2 * s + 1, h = int64_t{source.height} + 2 * s + 1;
  if (s > INT32_MAX / 4 || w > INT32_MAX || h > INT32_MAX || w * h > (int64_t{1} << 30))
    return ERR_BITMAP;
  Coverage8 grown;
  if (antialiased)
    BuildEdgeAlpha(source, static_cast<int32_t>(s), 255, &grown);
  else
    StampMaskOffsets(source, static_cast<int32_t>(s), &grown);
  out->width = static_cast<int32_t>(w);
  out->height = static_cast<int32_t>(h);
  out->bytes.assign(static_cast<size_t>(w) * static_cast<size_t>(h), 0);
  for (int32_t y = 0; y < grown.height; ++y)
    std::memcpy(&out->bytes[static_cast<size_t>(y) * out->width],
                &grown.bytes[static_cast<size_t>(y) * grown.width],
                static_cast<size_t>(grown.width));
  return ERR_NONE;
}

ErrorCode EdgeDraw(const TextLayout& layout, int32_t align, int32_t wrapWidth, int32_t encoding,
                   TextBlock* out, const TextWindowFunction* window) {
  const std::vector<TextRun>& runs = layout.runs;
  if (runs.empty()) {
    out->width = 1;
    out->height = std::max(layout.lineHeight, 1);
    out->originX = out->originY = 0;
    out->pixels.assign(static_cast<size_t>(out->height), 0);
    out->needsAlpha = false;
    return ERR_NONE;
  }
  int64_t left = INT32_MAX, right = INT32_MIN, maxY = 0;
  int32_t minTop = 0, maxBottom = 0;
  for (const TextRun& r : runs) {
    const TextMetrics& m = r.metrics;
    left = std::min<int64_t>(left, int64_t{r.x} + std::min(m.inkLeft, 0) + m.marginLeft);
    right = std::max<int64_t>(right, int64_t{r.x} + m.totalWidth + m.marginRight);
    maxY = std::max<int64_t>(maxY, r.y);
    minTop = std::min(minTop, m.marginTop);
    maxBottom = std::max(maxBottom, m.marginBottom);
  }
  int64_t width = right - left;
  if (wrapWidth > 0 && width > wrapWidth - left) width = wrapWidth - left;
  int64_t height = maxY + layout.lineHeight + 1 + (maxBottom - minTop);
  width = std::max<int64_t>(width, 1);
  if (width > INT32_MAX || height > INT32_MAX || width * height > (int64_t{1} << 28))
    return ERR_BITMAP;
  out->originX = static_cast<int32_t>(left);
  out->originY = minTop;
  TextWindow win{0, 0, static_cast<int32_t>(width), static_cast<int32_t>(height)};
  if (window) win = (*window)(win.width, win.height, out->originX, out->originY);
  out->windowX = win.x;
  out->windowY = win.y;
  out->width = std::max(win.width, 0);
  out->height = std::max(win.height, 0);
  AssignLarge(&out->pixels, static_cast<size_t>(out->width) * static_cast<size_t>(out->height));
  out->needsAlpha = false;
  if (out->width < 1 || out->height < 1) return ERR_NONE;

  // Alignment: each line moves within the widest line.
  std::vector<int64_t> shifts(runs.size(), 0);
  if (align == ALIGN_CENTER || align == ALIGN_RIGHT || align == ALIGN_JUSTIFIED) {
    int64_t available = INT32_MIN;
    for (const TextRun& r : runs)
      available = std::max<int64_t>(available, int64_t{r.x} + r.metrics.inkRight + 1);
    available = std::min<int64_t>(available, left + width);
    size_t first = 0;
    while (first < runs.size()) {
      size_t last = first;
      while (last + 1 < runs.size() && runs[last + 1].line == runs[first].line) ++last;
      const TextRun& end = runs[last];
      int64_t rest = std::max<int64_t>(available - (int64_t{end.x} + end.metrics.inkRight) - 1, 0);
      if (align == ALIGN_CENTER || align == ALIGN_RIGHT) {
        int64_t shift = align == ALIGN_CENTER ? rest / 2 : rest;
        for (size_t k = first; k <= last; ++k) shifts[k] = shift;
      } else {
        int64_t gaps = 0;
        for (size_t k = first + 1; k <= last; ++k) gaps += runs[k].followsGap;
        size_t line = static_cast<size_t>(runs[first].line);
        bool wrapped = line < layout.lineWrapped.size() && layout.lineWrapped[line];
        if (gaps > 0 && rest > 0 && (wrapped || rest / gaps <= 2 * int64_t{layout.spaceWidth})) {
          // Each gap in turn takes one pixel, left to right, until the
          // remainder is given out; runs after a gap move with it.
          int64_t given = 0, gap = 0;
          for (size_t k = first + 1; k <= last; ++k) {
            if (runs[k].followsGap) {
              given += rest / gaps + (gap < rest % gaps ? 1 : 0);
              ++gap;
            }
            shifts[k] = given;
          }
        }
      }
      first = last + 1;
    }
  }

  // How far a run's drawing reaches past its planes: the edge and the
  // shadow's offset, synthetic bold and the italic slant.
  const int64_t reach = 2 * int64_t{MAX_EFFECT_SIZE} + layout.lineHeight + 2;
  for (size_t k = 0; k < runs.size(); ++k) {
    const TextRun& r = runs[k];
    // The run's planes drawn whole would start at gx, gy of the window.
    const int64_t gx =
        int64_t{r.x} + shifts[k] - left + std::min(r.metrics.inkLeft, 0) - out->windowX;
    const int64_t gy = int64_t{r.y} - minTop - out->windowY;
    const int64_t whole = runWidth(r);
    if (gy + layout.lineHeight + reach < 0 || gy - reach >= out->height || gx + whole + reach < 0 ||
        gx - reach >= out->width)
      continue;
    // Only the columns of the planes that can reach the window.
    const int32_t from = static_cast<int32_t>(std::clamp<int64_t>(-gx - reach, 0, whole));
    const int32_t to =
        static_cast<int32_t>(std::clamp<int64_t>(out->width - gx + reach, from, whole));
    RunImage image;
    if (ErrorCode e = drawRun(layout, r, encoding, from, to, &image)) return e;
    const int64_t px = gx + from;  // where the planes drawn start
    const TextStyle& s = r.style;
    const bool aa = s.flags & TEXTSTYLE_ANTIALIAS;
    const bool edge = s.flags & TEXTSTYLE_EDGE;
    const bool shadow = s.flags & TEXTSTYLE_SHADOW;
    Coverage8 edged;
    int32_t e = std::clamp(s.edgeSize, 1, MAX_EFFECT_SIZE);
    if (edge) {
      if (aa)
        BuildEdgeAlpha(image.glyphs, e, 255, &edged);
      else
        StampMaskOffsets(image.glyphs, e, &edged);
    }
    if (shadow) {
      int32_t direction = s.shadowDirection < 0 || s.shadowDirection > 7 ? 3 : s.shadowDirection;
      int64_t size = std::clamp(s.shadowSize, 1, MAX_EFFECT_SIZE);
      int64_t dx = SHADOW_DX[direction] * size, dy = SHADOW_DY[direction] * size;
      if (edge)
        layPlane(out, edged, px - e + dx, gy - e + dy, s.shadowColor, opacityOf(s.shadowColor),
                 nullptr);
      else
        layPlane(out, image.glyphs, px + dx, gy + dy, s.shadowColor, opacityOf(s.shadowColor),
                 nullptr);
    }
    if (edge) layPlane(out, edged, px - e, gy - e, s.edgeColor, opacityOf(s.edgeColor), nullptr);
    layPlane(out, image.glyphs, px, gy, s.fontColor, opacityOf(s.fontColor),
             image.colours.empty() ? nullptr : &image.colours);
  }
  for (uint32_t p : out->pixels) {
    uint32_t a = p >> 24;
    if (a && a != 255) {
      out->needsAlpha = true;
      break;
    }
  }
  return ERR_NONE;
}
