// Anims leaving the player: SaveAnim writes a whole anim, an anim stream
// (BeginAnimStream, WriteAnimFrame, FinishAnimStream) writes a file frame
// by frame from brushes. GIF frames are reduced to a palette (exactly when
// a frame has few enough colours, else through the quantiser); MJPEG
// frames go to the AVI writer; other formats go to the anim-saver plug-in
// that registered them, as palette frames or ARGB copies as it asks. Invariant: every writer that was begun is
// finished exactly once, on every path (streams still open at shut-down
// included), so no file is left incomplete and no error is dropped.
#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "draw/draw.h"
#include "engine/optiontable.h"
#include "gfx/gfx.h"
#include "media/anim_private.h"
#include "media/image_private.h"
#include "media/media.h"
#include "plugins/plugins.h"

namespace {

constexpr int32_t ANMFMT_GIF = 0;
constexpr int32_t ANMFMT_MJPEG = 1;

// The writer of one file, whatever its format.
struct AnimWriterState {
  int32_t format;
  int32_t width, height;
  int32_t useAlpha;
  GifWriter* gif;
  AviWriter* avi;
  AnimSaverFormat saver;  // a plug-in format: its plug-in, position and flags
  void* saverHandle;      // the plug-in's stream
};

struct FrameOptions {
  int32_t dither = 0;
  int32_t colours = 256;
  int64_t keyColour = -1;
  int32_t optimize = 1;
  int32_t delay = 0;
};

}  // namespace

struct AnimStream {
  ObjectHead head;  // type OBJTYPE_ANIMSTREAM
  AnimWriterState writer;
};

namespace {

AnimStream* firstStream() { return reinterpret_cast<AnimStream*>(animContext.streams); }
AnimStream* nextStream(AnimStream* s) { return reinterpret_cast<AnimStream*>(s->head.next); }

void unlinkStream(AnimStream* s) {
  for (ObjectHead** p = &animContext.streams; *p; p = &(*p)->next) {
    if (*p == &s->head) {
      *p = s->head.next;
      return;
    }
  }
}

// GIF always, and plug-in formats that take no true colour, get pens.
bool paletteFrames(const AnimWriterState* w) {
  return w->format == ANMFMT_GIF ||
         (w->format != ANMFMT_MJPEG && !(w->saver.flags & QM_SAVER_TRUECOLOR));
}

ErrorCode beginWriter(const char* file, int32_t format, int32_t width, int32_t height,
                      int32_t quality, int32_t fps, int32_t useAlpha, AnimWriterState* w) {
  *w = AnimWriterState{};
  w->format = format;
  w->width = width;
  w->height = height;
  w->useAlpha = useAlpha;
  switch (format) {
    case ANMFMT_GIF:
      if (ErrorCode e = OpenGifWriter(file, width, height, &w->gif)) {
        SetErrorArgString(file);
        return e;
      }
      return ERR_NONE;
    case ANMFMT_MJPEG: {
      const char* name = strrchr(file, '/');
      return AviWriteHeader(file, fps, 1, width, height, quality, 0, 0, name ? name + 1 : file, 0,
                            &w->avi);
    }
    default: {
      if (ErrorCode e = FindAnimSaverFormat(format, &w->saver)) return e;
      if (useAlpha && !(w->saver.flags & QM_SAVER_ALPHA)) return ERR_SAVERALPHA;
      uint32_t mode =
          (useAlpha ? QM_ANIMMODE_ALPHA : 0u) | (paletteFrames(w) ? QM_ANIMMODE_PALETTE : 0u);
      w->saverHandle = BeginAnimSaverStream(&w->saver, file, width, height, mode, quality, fps);
      return w->saverHandle ? ERR_NONE : ERR_SAVEANIM;
    }
  }
}

ErrorCode finishWriter(AnimWriterState* w) {
  ErrorCode e = ERR_NONE;
  if (w->gif) e = CloseGifWriter(w->gif);
  if (w->avi) e = AviFinish(w->avi);
  if (w->saverHandle) FinishAnimSaverStream(w->saver.base, w->saverHandle);
  w->gif = nullptr;
  w->avi = nullptr;
  w->saverHandle = nullptr;
  return e;
}

// Pens and palette of an ARGB frame: colours in order of first appearance
// while they fit, else the quantiser's. With a key colour, pixels of that
// colour and pixels the frame hides (top byte 0 when hides is set) take the
// last pen, which is then the transparent one.
ErrorCode buildPalette(BitmapHandle* bitmap, const uint32_t* argb, int32_t width, int32_t height,
                       int hides, const FrameOptions& o, uint8_t* pens, uint32_t* palette,
                       int32_t* colourCount, int32_t* transparentPen) {
  const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
  const int32_t limit = o.colours - (o.keyColour != -1 ? 1 : 0);
  const uint32_t key = static_cast<uint32_t>(o.keyColour) & 0xFFFFFF;
  auto transparent = [&](uint32_t v) {
    return o.keyColour != -1 && ((v & 0xFFFFFF) == key || (hides && (v >> 24) == 0));
  };
  uint32_t* reduced = nullptr;
  const uint32_t* source = argb;
  for (int pass = 0; pass < 2; pass++) {
    std::unordered_map<uint32_t, uint8_t> index;
    int32_t count = 0;
    bool fits = true;
    for (size_t i = 0; i < n && fits; i++) {
      if (transparent(argb[i])) continue;
      uint32_t c = source[i] & 0xFFFFFF;
      auto found = index.find(c);
      if (found != index.end()) {
        pens[i] = found->second;
        continue;
      }
      if (count == limit) {
        fits = false;
        break;
      }
      palette[count] = c;
      index.emplace(c, static_cast<uint8_t>(count));
      pens[i] = static_cast<uint8_t>(count++);
    }
    if (fits) {
      *transparentPen = -1;
      if (o.keyColour != -1) {
        palette[count] = key;
        *transparentPen = count++;
        for (size_t i = 0; i < n; i++)
          if (transparent(argb[i])) pens[i] = static_cast<uint8_t>(*transparentPen);
      }
      *colourCount = count;
      FreeMemory(reduced);
      return ERR_NONE;
    }
    if (pass == 1) break;
    // Too many colours: the quantiser reduces a copy of the frame.
    BitmapHandle *copy = nullptr, *noMask = nullptr, *noAlpha = nullptr;
    if (ErrorCode e = ConvertBitmap(bitmap, nullptr, nullptr, 0, 0, width, height, 0, 0, nullptr,
                                    nullptr, &copy, &noMask, &noAlpha))
      return e;
    ErrorCode e = QuantizeBitmap(copy, width, height, limit, o.dither);
    if (!e) {
      reduced = ReadBitmapRectARGB(copy, 0, 0, width, height, 1);
      if (!reduced) e = ERR_LOCKBMAP;
    }
    FreeBitmap(copy);
    if (e) return e;
    source = reduced;
  }
  FreeMemory(reduced);
  return ERR_WRONGUSAGE;  // the quantiser left more colours than asked
}

// Writes one frame of width x height (the writer's size) with its mask or
// alpha channel.
ErrorCode writeFrame(AnimWriterState* w, BitmapHandle* bitmap, BitmapHandle* mask,
                     BitmapHandle* alpha, const FrameOptions& o) {
  if (w->avi) return AviWriteVideoFrame(w->avi, bitmap, w->width, w->height, 1, 0);
  if (!w->gif && !w->saverHandle) return ERR_UNKNOWNANMOUT;
  OwnedMemory<uint32_t> argb(BitmapToARGBWithAlpha(bitmap, mask, alpha, w->width, w->height));
  if (!argb) return ERR_LOCKBMAP;
  QmAnimSaveFrame record{};
  record.delay = o.delay;
  record.formatId = w->format;
  if (!paletteFrames(w)) {
    // Without a mask or alpha channel the copy is opaque; the alpha bytes
    // count only where the format takes them.
    if (!mask && !alpha) {
      uint32_t* words = argb.get();
      for (size_t i = 0, n = static_cast<size_t>(w->width) * w->height; i < n; i++)
        words[i] |= 0xFF000000u;
    }
    record.pixels = argb.get();
    record.bytesPerRow = w->width * 4;
    if (alpha && (w->saver.flags & QM_SAVER_ALPHA)) record.flags |= QM_ANIMFRAME_ALPHA;
    return WriteAnimSaverFrame(w->saver.base, w->saverHandle, &record) ? ERR_NONE : ERR_SAVEANIM;
  }
  OwnedMemory<uint8_t> pens(static_cast<uint8_t*>(
      AllocMemory(static_cast<size_t>(w->width) * static_cast<size_t>(w->height), 1)));
  if (!pens) return ERR_MEM;
  uint32_t palette[256] = {};
  int32_t count = 0, transparentPen = -1;
  if (ErrorCode e = buildPalette(bitmap, argb.get(), w->width, w->height, mask || alpha, o,
                                 pens.get(), palette, &count, &transparentPen))
    return e;
  if (w->saverHandle) {
    record.pixels = pens.get();
    record.palette = palette;
    record.bytesPerRow = w->width;
    record.colourCount = count;
    if (transparentPen >= 0) {
      record.transparentPen = transparentPen;
      record.flags |= QM_ANIMFRAME_TRANSPEN;
    }
    return WriteAnimSaverFrame(w->saver.base, w->saverHandle, &record) ? ERR_NONE : ERR_SAVEANIM;
  }
  return WriteGifAnimFrame(w->gif, pens.get(), w->width, w->height, o.delay, palette, count,
                           transparentPen, o.optimize && o.keyColour == -1, 1);
}

// "dither", "colors", "transparency", "optimize" and, for streams, "delay",
// "x" and "y".
ErrorCode readFrameOptions(VmState* L, int index, FrameOptions* o, int32_t* x, int32_t* y) {
  if (VmType(L, index) == VM_TYPE_NONE || VmType(L, index) == VM_TYPE_NIL) return ERR_NONE;
  VmCheckTable(L, index);
  uint32_t key = 0;
  int keyGiven = 0;
  OptionField rows[] = {
      {"dither", OPTION_BOOL, &o->dither},
      {"colors", OPTION_INT, &o->colours, 0, nullptr, nullptr, OPTION_RANGE, 2, 256},
      {"transparency", OPTION_BITS, &key, 0, nullptr, nullptr, OPTION_ANY, 0, 0, ERR_WRONGUSAGE,
       false, false, 0, &keyGiven},
      {"optimize", OPTION_BOOL, &o->optimize},
  };
  if (ErrorCode e = ReadOptionTable(L, index, rows)) return e;
  if (keyGiven && static_cast<int32_t>(key) != -1) o->keyColour = key & 0xFFFFFF;
  if (!x) return ERR_NONE;
  OptionField more[] = {
      {"delay", OPTION_INT, &o->delay},
      {"x", OPTION_INT, x},
      {"y", OPTION_INT, y},
  };
  return ReadOptionTable(L, index, more);
}

struct WriterOptions {
  int32_t quality = 90, fps = 25, useAlpha = 0;
};
ErrorCode readWriterOptions(VmState* L, int index, WriterOptions* o) {
  if (VmType(L, index) == VM_TYPE_NONE || VmType(L, index) == VM_TYPE_NIL) return ERR_NONE;
  VmCheckTable(L, index);
  OptionField rows[] = {
      {"quality", OPTION_INT, &o->quality},
      {"fps", OPTION_INT, &o->fps},
      {"usealpha", OPTION_BOOL, &o->useAlpha},
  };
  return ReadOptionTable(L, index, rows);
}

ErrorCode findStream(ObjectId id, AnimStream** out) {
  for (AnimStream* s = firstStream(); s; s = nextStream(s)) {
    if (s->head.number == id.number && s->head.autoId == id.autoId) {
      *out = s;
      return ERR_NONE;
    }
  }
  if (id.autoId) return ERR_FINDARRAY;
  SetErrorArgNumber(id.number);
  return ERR_FINDANIMSTREAM;
}

ErrorCode finishStream(AnimStream* s) {
  unlinkStream(s);
  ErrorCode e = finishWriter(&s->writer);
  FreeMemory(s);
  return e;
}

// The brush placed at x, y in a frame of the stream's size filled with the
// key colour (or 0), hidden outside the brush when the brush has a mask or
// an alpha channel.
ErrorCode composeFrame(BrushObject* b, int32_t width, int32_t height, int32_t x, int32_t y,
                       int64_t keyColour, BitmapHandle** bitmap, BitmapHandle** alpha) {
  const int hides = b->mask || b->alpha;
  OwnedMemory<uint32_t> source(
      BitmapToARGBWithAlpha(b->bitmap, b->mask, b->alpha, b->width, b->height));
  if (!source) return ERR_LOCKBMAP;
  const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
  OwnedMemory<uint32_t> frame(static_cast<uint32_t*>(AllocMemoryArray(n, sizeof(uint32_t), 0)));
  if (!frame) return ERR_MEM;
  uint32_t* out = frame.get();
  const uint32_t fill = keyColour == -1 ? 0 : static_cast<uint32_t>(keyColour) & 0xFFFFFF;
  for (size_t i = 0; i < n; i++) out[i] = fill | (hides ? 0 : 0xFF000000u);
  const uint32_t* in = source.get();
  int32_t x0 = x < 0 ? 0 : x, y0 = y < 0 ? 0 : y;
  int32_t x1 = std::min<int64_t>(width, static_cast<int64_t>(x) + b->width);
  int32_t y1 = std::min<int64_t>(height, static_cast<int64_t>(y) + b->height);
  for (int32_t yy = y0; yy < y1; yy++)
    for (int32_t xx = x0; xx < x1; xx++) {
      uint32_t v = in[static_cast<size_t>(yy - y) * b->width + (xx - x)];
      out[static_cast<size_t>(yy) * width + xx] = hides ? v : (v | 0xFF000000u);
    }
  BitmapHandle* noMask = nullptr;
  return CreateBitmapFromRGB(out, -1, width, height, width, 0, hides ? 8u : 0u, nullptr, bitmap,
                             &noMask, hides ? alpha : nullptr);
}

}  // namespace

int CmdSaveAnim(VmState* L) {
  CheckArgCount(L, 2, 4, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  const char* file = VmCheckString(L, 2, nullptr);
  int32_t format = VmOptInteger(L, 3, ANMFMT_GIF);
  FrameOptions frame;
  WriterOptions writer;
  if (ErrorCode e = readFrameOptions(L, 4, &frame, nullptr, nullptr)) return e;
  if (ErrorCode e = readWriterOptions(L, 4, &writer)) return e;
  if (writer.useAlpha && frame.keyColour != -1) return ERR_MASKNALPHA;
  AnimObject* a = nullptr;
  if (ErrorCode e = GetAnimObject(L, id, &a, 0)) return e;
  AnimWriterState w;
  if (ErrorCode e = beginWriter(file, format, a->width, a->height, writer.quality, writer.fps,
                                writer.useAlpha, &w))
    return e;
  ErrorCode first = ERR_NONE;
  for (int32_t i = 0; i < a->frameCount && !first; i++) {
    BitmapHandle *bitmap = nullptr, *mask = nullptr, *alpha = nullptr;
    first = GetAnimFrameBitmap(a, i, 0, 0, &bitmap, &mask, &alpha);
    if (first) break;
    frame.delay = GetAnimFrameDelay(a, i);
    first = writeFrame(&w, bitmap, mask, alpha, frame);
    if (a->fromDisk) {
      FreeBitmap(bitmap);
      FreeBitMask(mask);
      FreeAlphaChannel(alpha);
    }
  }
  ErrorCode finished = finishWriter(&w);
  return first ? first : finished;
}

int CmdBeginAnimStream(VmState* L) {
  CheckArgCount(L, 4, 6, 0, 0);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 1, &automatic);
  const char* file = VmCheckString(L, 2, nullptr);
  int32_t width = VmCheckInteger(L, 3);
  int32_t height = VmCheckInteger(L, 4);
  int32_t format = VmOptInteger(L, 5, ANMFMT_GIF);
  WriterOptions o;
  if (ErrorCode e = readWriterOptions(L, 6, &o)) return e;
  if (!file[0] || width < 1 || height < 1) return ERR_WRONGUSAGE;
  AnimStream* old = nullptr;
  if (!automatic && findStream(id, &old) == ERR_NONE) finishStream(old);
  AnimWriterState w;
  if (ErrorCode e = beginWriter(file, format, width, height, o.quality, o.fps, o.useAlpha, &w))
    return e;
  auto* s = static_cast<AnimStream*>(AllocMemory(sizeof(AnimStream), 1));
  if (!s) {
    finishWriter(&w);
    return ERR_MEM;
  }
  s->head.type = OBJTYPE_ANIMSTREAM;
  if (automatic) {
    s->head.autoId = s;
    id = ObjectId{s, 0};
  } else {
    s->head.number = id.number;
  }
  s->writer = w;
  ObjectHead** tail = &animContext.streams;
  while (*tail) tail = &(*tail)->next;
  *tail = &s->head;
  return automatic ? PushObjectId(L, id) : 0;
}

int CmdWriteAnimFrame(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  ObjectId brushId = GetObjectIdArg(L, 2, nullptr);
  FrameOptions o;
  int32_t x = 0, y = 0;
  if (ErrorCode e = readFrameOptions(L, 3, &o, &x, &y)) return e;
  AnimStream* s = nullptr;
  if (ErrorCode e = findStream(id, &s)) return e;
  if (o.keyColour != -1 && s->writer.useAlpha) return ERR_MASKNALPHA;
  BrushObject* b = nullptr;
  if (ErrorCode e = GetBrushObject(L, brushId, &b, BRUSH_NOVECTOR)) return e;
  if (!b->bitmap) return ERR_LOCKBMAP;
  const int32_t width = s->writer.width, height = s->writer.height;
  x = ResolveXPos(x, b->width, width, 0);
  y = ResolveYPos(y, b->height, height, 0);
  if (x == 0 && y == 0 && b->width == width && b->height == height)
    return writeFrame(&s->writer, b->bitmap, b->mask, b->alpha, o);
  BitmapHandle *bitmap = nullptr, *alpha = nullptr;
  if (ErrorCode e = composeFrame(b, width, height, x, y, o.keyColour, &bitmap, &alpha)) return e;
  ErrorCode e = writeFrame(&s->writer, bitmap, nullptr, alpha, o);
  FreeBitmap(bitmap);
  FreeAlphaChannel(alpha);
  return e;
}

int CmdFinishAnimStream(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  AnimStream* s = nullptr;
  if (ErrorCode e = findStream(GetObjectIdArg(L, 1, nullptr), &s)) return e;
  return finishStream(s);
}

void FreeAnimStreams() {
  while (AnimStream* s = firstStream()) finishStream(s);
}
