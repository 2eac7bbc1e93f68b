// Gradients: the colour lookup along 16.16 positions (0x10000 is the end of
// the gradient) with the spread modes none, pad, repeat and reflect, and
// the kernel that fills a rectangle with a linear, radial or conical
// gradient through it. The lookup caches the segment between two stops
// that holds the last position, so positions that stay in one segment cost
// one multiplication per channel.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "gfx/effects_private.h"
#include "gfx/gfx.h"

namespace {

constexpr int64_t BEFORE_ALL = INT32_MIN;  // segment start before the first stop
constexpr int64_t BEYOND_ALL = INT32_MAX;  // segment end beyond the last stop
constexpr GradientStop BLACK_STOP = {0, 0, 0, 0};

void setColours(GradientState* s, const GradientStop& a, const GradientStop& b) {
  s->greenA = a.green >> 8;
  s->redBlueA = static_cast<uint32_t>(a.red >> 8) << 16 | (a.blue >> 8);
  s->greenB = b.green >> 8;
  s->redBlueB = static_cast<uint32_t>(b.red >> 8) << 16 | (b.blue >> 8);
}

// t in 0..256 along the cached segment.
int64_t segmentT(GradientState* s, int32_t pos) {
  if (s->invalid || pos < s->start || pos >= s->end) LocateGradientStops(s, pos);
  int64_t t = ((pos - s->start) * s->factor) >> 16;
  return t < 0 ? 0 : (t > 256 ? 256 : t);
}

}  // namespace

bool LocateGradientStops(GradientState* s, int32_t pos) {
  s->invalid = 0;
  if (!s->stops || s->count < 1) {
    // Nothing to look up: every position is black.
    setColours(s, BLACK_STOP, BLACK_STOP);
    s->start = BEFORE_ALL;
    s->end = BEYOND_ALL;
    s->factor = 0;
    return false;
  }
  const GradientStop* st = s->stops;
  const GradientStop& first = st[0];
  const GradientStop& last = st[s->count - 1];
  int64_t f = pos, shift = 0;
  bool odd = false;
  if (s->spread == GRADIENT_SPREAD_REPEAT) {
    f = pos & 0xFFFF;
    shift = static_cast<int64_t>(pos) - f;
  } else if (s->spread == GRADIENT_SPREAD_REFLECT) {
    odd = (pos >> 16) & 1;
    f = pos & 0xFFFF;
    shift = static_cast<int64_t>(pos) - f;
    if (odd) f = 0x10000 - f;
  }
  const GradientStop* a;
  const GradientStop* b;
  int64_t start, end;
  if (f < first.position) {
    switch (s->spread) {
      case GRADIENT_SPREAD_PAD:
        a = b = &first;
        start = BEFORE_ALL;
        end = first.position;
        break;
      case GRADIENT_SPREAD_REPEAT:
        a = &last;
        start = static_cast<int64_t>(last.position) - 0x10000;
        b = &first;
        end = first.position;
        break;
      case GRADIENT_SPREAD_REFLECT:
        a = b = &first;
        start = -static_cast<int64_t>(first.position);
        end = first.position;
        break;
      default:
        a = b = &BLACK_STOP;
        start = BEFORE_ALL;
        end = first.position;
        break;
    }
  } else {
    int32_t i = 1;
    while (i < s->count && f >= st[i].position) ++i;
    if (i < s->count) {
      a = &st[i - 1];
      start = a->position;
      b = &st[i];
      end = b->position;
    } else {
      a = &last;
      start = last.position;
      switch (s->spread) {
        case GRADIENT_SPREAD_PAD:
          b = &last;
          end = BEYOND_ALL;
          break;
        case GRADIENT_SPREAD_REPEAT:
          b = &first;
          end = static_cast<int64_t>(first.position) + 0x10000;
          break;
        case GRADIENT_SPREAD_REFLECT:
          b = &last;
          end = 0x20000 - static_cast<int64_t>(last.position);
          break;
        default:
          a = b = &BLACK_STOP;
          end = BEYOND_ALL;
          break;
      }
    }
  }
  if (odd) {
    std::swap(a, b);
    int64_t s0 = 0x10000 - end, e0 = 0x10000 - start;
    start = s0;
    end = e0;
  }
  s->start = start + shift;
  s->end = end + shift;
  setColours(s, *a, *b);
  int64_t length = s->end - s->start;
  bool same = s->greenA == s->greenB && s->redBlueA == s->redBlueB;
  s->factor = (length > 0 && !same) ? (length / 2 + 0x1000000) / length : 0;
  return true;
}

uint32_t GradientColorAt32(GradientState* s, int32_t pos) {
  uint64_t t = static_cast<uint64_t>(segmentT(s, pos)), u = 256 - t;
  uint64_t rb = ((s->redBlueA * u + s->redBlueB * t) >> 8) & 0xFF00FF;
  uint64_t g = ((s->greenA * u + s->greenB * t) >> 8) & 0xFF;
  return static_cast<uint32_t>(rb | g << 8);
}

uint16_t GradientColorAt16(GradientState* s, int32_t pos) {
  return static_cast<uint16_t>(pixel::Pack565(GradientColorAt32(s, pos)));
}

namespace {

// 16.16 fixed point of a coordinate, truncated.
double fixed(double v) { return VmTruncInt32(v * 65536.0) / 65536.0; }

void linearLine(int32_t angle, double w, double h, double p[4]) {
  int32_t a = angle % 360;
  if (a < 0) a += 360;
  double x2, y2;
  switch (a) {
    case 0:
      x2 = 0;
      y2 = -h;
      break;
    case 90:
      x2 = w;
      y2 = 0;
      break;
    case 180:
      x2 = 0;
      y2 = h;
      break;
    case 270:
      x2 = -w;
      y2 = 0;
      break;
    default: {
      double k = std::tan(a * M_PI / 180.0);
      double x = a > 180 ? -w : w;
      double y = (a < 90 || a > 270) ? -h : h;
      double y1 = y - x * k;
      x2 = y1 / (-1.0 / k - k);
      y2 = k * x2 + y1;
    }
  }
  if (x2 > 0 && y2 >= 0) {
    p[0] = 0;
    p[1] = h;
    p[2] = x2;
    p[3] = h - y2;
  } else if (x2 >= 0 && y2 <= 0) {
    p[0] = 0;
    p[1] = 0;
    p[2] = x2;
    p[3] = -y2;
  } else if (x2 < 0 && y2 < 0) {
    p[0] = w;
    p[1] = 0;
    p[2] = w + x2;
    p[3] = -y2;
  } else {
    p[0] = -x2;
    p[1] = y2;
    p[2] = 0;
    p[3] = 0;
  }
  for (int i = 0; i < 4; ++i) p[i] = fixed(p[i]);
}

GradientStop makeStop(ArgbColor c, int32_t position) {
  return GradientStop{position, static_cast<uint16_t>(((c >> 16) & 0xFF) * 257),
                      static_cast<uint16_t>(((c >> 8) & 0xFF) * 257),
                      static_cast<uint16_t>((c & 0xFF) * 257)};
}

template <int Bpp>
void storeGradientPixel(uint8_t* p, uint32_t format, uint32_t argb) {
  pixel::StoreRaw(p, Bpp, pixel::FromNative(argb, format, Bpp));
}

}  // namespace

bool RenderGradient(const GradientRequest* q) {
  const GradientSpec* g = q->gradient;
  if (!g || !q->pixels || q->width <= 0 || q->height <= 0) return false;
  if (q->bytesPerPixel != 2 && q->bytesPerPixel != 4) return false;
  if (g->type < GRADIENT_LINEAR || g->type > GRADIENT_CONICAL) return false;
  if (g->stopCount < 0) return false;
  // The stop table holds at most GRADIENT_MAX_STOPS (+1 for the conical
  // default); larger counts are clamped to what the record can hold.
  GradientStop stops[GRADIENT_MAX_STOPS + 1];
  int32_t count = std::min(g->stopCount, GRADIENT_MAX_STOPS);
  for (int32_t i = 0; i < count; ++i)
    stops[i] = makeStop(
        g->stops[i].colour,
        VmTruncInt32(static_cast<double>(static_cast<float>(g->stops[i].position)) * 65536.0));
  if (count == 0) {
    if (g->type == GRADIENT_CONICAL) {
      stops[0] = makeStop(g->secondColour, 0);
      stops[1] = makeStop(g->firstColour, VmTruncInt32(g->middle * 65536.0));
      stops[2] = makeStop(g->secondColour, 65536);
      count = 3;
    } else {
      stops[0] = makeStop(g->firstColour, 0);
      stops[1] = makeStop(g->secondColour, 65536);
      count = 2;
    }
  }
  std::stable_sort(stops, stops + count, [](const GradientStop& a, const GradientStop& b) {
    return a.position < b.position;
  });
  GradientState state{};
  state.stops = stops;
  state.count = count;
  state.spread = g->type == GRADIENT_CONICAL ? GRADIENT_SPREAD_REFLECT : GRADIENT_SPREAD_PAD;
  state.invalid = 1;

  double w = q->width, h = q->height;
  double line[4] = {0, 0, 0, 0};
  double dx = 0, dy = 0, len2 = 0;
  if (g->type == GRADIENT_LINEAR) {
    linearLine(g->angle, w, h, line);
    dx = line[2] - line[0];
    dy = line[3] - line[1];
    len2 = dx * dx + dy * dy;
  }
  double cx = g->centreX * w, cy = g->centreY * h;
  double radius = 0;
  if (g->type == GRADIENT_RADIAL) {
    double size = g->size == 1.0 ? 0.99 : g->size;
    radius = (1.0 - size) *
             (std::max(std::fabs(0.5 - g->centreX), std::fabs(0.5 - g->centreY)) + 0.5) *
             std::sqrt(w * w + h * h);
  }
  double turn = g->angle * M_PI / 180.0;
  int bpp = q->bytesPerPixel;
  for (int32_t j = 0; j < q->height; ++j) {
    uint8_t* row =
        static_cast<uint8_t*>(q->pixels) + pixel::Offset(q->x, q->y + j, q->rowLength, bpp);
    double py = j + 0.5;
    double rowT = 0, stepT = 0;
    if (g->type == GRADIENT_LINEAR && len2 > 0) {
      rowT = 65536.0 * (dx * (0.5 - line[0]) + dy * (py - line[1])) / len2;
      stepT = 65536.0 * dx / len2;
    }
    for (int32_t i = 0; i < q->width; ++i) {
      double px = i + 0.5;
      int32_t t;
      if (g->type == GRADIENT_LINEAR) {
        t = VmTruncInt32(rowT + stepT * i);
      } else if (g->type == GRADIENT_RADIAL) {
        double dx = px - cx, dy = py - cy;
        t = radius != 0 ? VmTruncInt32(65536.0 * std::sqrt(dx * dx + dy * dy) / radius) : 0;
      } else {
        double phi = std::fmod(std::atan2(py - cy, px - cx) + 2 * M_PI + turn, 2 * M_PI);
        t = VmTruncInt32(65536.0 * (1.0 - phi / (2 * M_PI)));
      }
      uint32_t c = GradientColorAt32(&state, t);
      if (bpp == 4)
        storeGradientPixel<4>(row + i * 4, q->format, c);
      else
        storeGradientPixel<2>(row + i * 2, q->format, c);
    }
  }
  return true;
}

void InitGradientFill(GradientFill* g, int32_t type, ArgbColor start, ArgbColor end, double angle) {
  *g = GradientFill{};
  g->type = type;
  g->startColour = start;
  g->endColour = end;
  g->angle = angle;
  g->centreX = g->centreY = g->balance = 0.5;
}

ErrorCode FillBitmapGradient(BitmapHandle* bitmap, const GradientFill* fill) {
  GradientSpec spec{};
  spec.type = fill->type;
  spec.angle = VmTruncInt32(fill->angle);
  if (fill->type == 0 || fill->type == 1) {
    spec.type = GRADIENT_LINEAR;
    spec.angle = fill->type == 0 ? 0 : 90;
  }
  if (spec.type < GRADIENT_LINEAR || spec.type > GRADIENT_CONICAL) return ERR_WRONGUSAGE;
  spec.firstColour = fill->startColour;
  spec.secondColour = fill->endColour;
  spec.stopCount = std::clamp(fill->pairCount, 0, GRADIENT_PAIRS_MAX);
  for (int32_t i = 0; i < spec.stopCount; ++i)
    spec.stops[i] = {fill->colours[i], fill->positions[i]};
  spec.centreX = fill->centreX;
  spec.centreY = fill->centreY;
  spec.middle = fill->balance;
  spec.size = fill->border;
  BitmapLock lock{};
  if (!bitmap || !LockBitmap(bitmap, 0, &lock)) return ERR_LOCKBMAP;
  GradientRequest request{lock.address, lock.bytesPerPixel, lock.pixelFormat, 0,    0,
                          lock.width,   lock.height,        lock.rowLength,   &spec};
  bool drawn = RenderGradient(&request);
  UnlockBitmap(&lock);
  return drawn ? ERR_NONE : ERR_WRONGUSAGE;
}

void DrawGradient(BitmapHandle* dest, int32_t x, int32_t y, int32_t width, int32_t height,
                  const GradientSpec* gradient) {
  if (!dest) {
    std::fputs("ERROR! DRAWGRADIENT() CALLED WITH DST=NULL!\n", stdout);
    std::fflush(stdout);
    return;
  }
  // The rectangle must lie inside the bitmap: the renderer writes every
  // pixel of it without clipping.
  if (x < 0 || y < 0 || width <= 0 || height <= 0 ||
      static_cast<int64_t>(x) + width > dest->width ||
      static_cast<int64_t>(y) + height > dest->height)
    return;
  BitmapLock lock{};
  if (!LockBitmap(dest, 0, &lock)) return;
  GradientRequest request{lock.address, lock.bytesPerPixel, lock.pixelFormat, x, y, width,
                          height,       lock.rowLength,     gradient};
  RenderGradient(&request);
  UnlockBitmap(&lock);
}
