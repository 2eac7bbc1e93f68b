// Anims come into being here: LoadAnim reads an anim file through the anim
// file layer, or cuts an ordinary picture into frames; CreateAnim cuts a
// brush strip; LoadAnimFrame loads one frame of an anim file into a brush.
// All anims are assembled by BuildAnimObject. Invariant: a failing build
// frees every frame it made and closes the file it was handed, and no
// existing anim changes before the new one is complete.
#include <string>
#include <cstring>

#include "draw/draw.h"
#include "engine/optiontable.h"
#include "gfx/gfx.h"
#include "media/anim_private.h"
#include "media/media.h"

namespace {

constexpr int32_t LOADING_ANIM_TEXT = 98;     // "Loading animation %s"
constexpr int32_t LOADING_SPRITE_TEXT = 262;  // "Loading sprite %s"
constexpr int32_t SOURCE_BITMAP = 3;
constexpr int32_t SOURCE_ANIM = 4;
constexpr int32_t TARGET_ANIM = ANIM_TARGET_ANIM;
constexpr int32_t TARGET_DISK = ANIM_TARGET_DISK;
constexpr int32_t TARGET_SPRITE = ANIM_TARGET_SPRITE;

struct LoadOptions {
  int64_t keyColour = -1;
  int32_t loadAlpha = 0, loadTransparency = 0;
  int32_t x = 0, y = 0, width = 0, height = 0, framesPerRow = 0, frames = 0;
  int32_t fromDisk = 0, skipLoopFrames = 0, deinterlace = 0;
  int framesGiven = 0;
  char loader[ANIM_ADAPTER_MAX] = "";
  char adapter[ANIM_ADAPTER_MAX] = "";
};

// The third argument: a key colour, or an option table. forAnim 0 reads
// what single frames take, 1 adds the layout fields (sprites), 2 also
// what only anims take: "fromdisk", "skiploopframes", "deinterlace".
ErrorCode readLoadOptions(VmState* L, int index, int forAnim, LoadOptions* o) {
  int type = VmType(L, index);
  if (type == VM_TYPE_NONE || type == VM_TYPE_NIL) return ERR_NONE;
  if (type == VM_TYPE_NUMBER) {
    o->keyColour = static_cast<uint32_t>(VmCheckInteger(L, index)) & 0xFFFFFF;
    return ERR_NONE;
  }
  VmCheckTable(L, index);
  uint32_t key = 0;
  int keyGiven = 0;
  OptionField common[] = {
      {"transparency", OPTION_BITS, &key, 0, nullptr, nullptr, OPTION_ANY, 0, 0, ERR_WRONGUSAGE,
       false, false, 0, &keyGiven},
      {"loadalpha", OPTION_BOOL, &o->loadAlpha},
      {"loadtransparency", OPTION_BOOL, &o->loadTransparency},
      {"loader", OPTION_STRING, o->loader, sizeof o->loader},
      {"adapter", OPTION_STRING, o->adapter, sizeof o->adapter},
  };
  if (ErrorCode e = ReadOptionTable(L, index, common)) return e;
  if (keyGiven && static_cast<int32_t>(key) != -1) o->keyColour = key & 0xFFFFFF;
  // A single frame is decoded from its file like an anim's.
  OptionField frame[] = {{"deinterlace", OPTION_INT, &o->deinterlace}};
  if (forAnim != 1)
    if (ErrorCode e = ReadOptionTable(L, index, frame)) return e;
  if (!forAnim) return ERR_NONE;
  OptionField layout[] = {
      {"x", OPTION_INT, &o->x},
      {"y", OPTION_INT, &o->y},
      {"width", OPTION_INT, &o->width},
      {"height", OPTION_INT, &o->height},
      {"fpr", OPTION_INT, &o->framesPerRow},
      {"frames", OPTION_INT, &o->frames, 0, nullptr, nullptr, OPTION_ANY, 0, 0, ERR_WRONGUSAGE,
       false, false, 0, &o->framesGiven},
  };
  if (ErrorCode e = ReadOptionTable(L, index, layout)) return e;
  // A frame count of 0 is none: the preload passes one for every anim.
  if (!o->frames) o->framesGiven = 0;
  if (forAnim == 1) return ERR_NONE;
  OptionField animOnly[] = {
      {"fromdisk", OPTION_BOOL, &o->fromDisk},
      {"skiploopframes", OPTION_BOOL, &o->skipLoopFrames},
  };
  return ReadOptionTable(L, index, animOnly);
}

const char* loaderText(const char* text) { return text[0] ? text : nullptr; }

// The alpha channel of a raw frame, which needs no display.
ErrorCode rawAlpha(const uint32_t* raw, int32_t width, int32_t height, BitmapHandle** alpha) {
  return CreateBitmapFromRGB(raw, -1, width, height, width, 0, 8u, nullptr, nullptr, nullptr,
                             alpha);
}

// Makes frame i of the build from the anim file; with keepRaw the frame
// stays as the file lent it.
ErrorCode fileFrame(AnimBuildSpec* s, int32_t i, AnimFrameArrays* f, bool keepRaw = false) {
  int32_t transparency = 0;
  uint32_t* raw = GetAnimFileFrame(s->file, i, s->loadAlpha, &transparency);
  if (!raw) return ERR_LOADFRAME;
  if (s->loadTransparency && !transparency) {
    FreeAnimFileFrame(s->file, raw);
    SetErrorArgString(s->fileName);
    return ERR_NOTRANSPARENCY;
  }
  if (keepRaw) {
    f->raw[i] = raw;
    return s->loadAlpha || transparency
               ? rawAlpha(raw, s->frameWidth, s->frameHeight, &f->alphas[i])
               : ERR_NONE;
  }
  ErrorCode e = CreateBitmapFromRGB(raw, s->keyColour, s->frameWidth, s->frameHeight, s->frameWidth,
                                    0, (s->loadAlpha || transparency) ? 8u : 0u, nullptr,
                                    &f->bitmaps[i], &f->masks[i], &f->alphas[i]);
  FreeAnimFileFrame(s->file, raw);
  return e;
}

// Frame i of the build as a raw copy of the picture's rectangle at sx, sy.
ErrorCode pixelFrame(const AnimBuildSpec* s, int32_t sx, int32_t sy, int32_t width, int32_t height,
                     int32_t i, AnimFrameArrays* f) {
  auto* raw = static_cast<uint32_t*>(
      AllocMemoryArray(static_cast<size_t>(width) * static_cast<size_t>(height), 4, 0));
  if (!raw) return ERR_MEM;
  for (int32_t y = 0; y < height; y++)
    memcpy(raw + static_cast<size_t>(y) * width,
           s->pixels + static_cast<size_t>(sy + y) * s->sourceWidth + sx,
           static_cast<size_t>(width) * 4);
  f->raw[i] = raw;
  return s->loadAlpha ? rawAlpha(raw, width, height, &f->alphas[i]) : ERR_NONE;
}

}  // namespace

int BuildAnimObject(VmState* L, AnimBuildSpec* s) {
  AnimObject* source = nullptr;
  int32_t width = 0, height = 0, count = 0, perRow = 1;
  switch (s->sourceKind) {
    case SOURCE_ANIM:
      if (s->layoutArgs > 3) return ERR_TOOMANYARGS;
      if (s->file) {
        width = s->frameWidth;
        height = s->frameHeight;
        count = s->frameCount;
      } else {
        if (ErrorCode e = GetAnimObject(L, s->sourceId, &source, 0)) return e;
        width = source->width;
        height = source->height;
        count = source->frameCount;
      }
      break;
    case SOURCE_BITMAP:
      if (!s->bitmap && !s->pixels) return ERR_WRONGUSAGE;
      if (s->layoutArgs < 4) {
        width = s->sourceWidth;
        height = s->sourceHeight;
        count = 1;
        break;
      }
      width = s->frameWidth;
      height = s->frameHeight;
      count = s->frameCount;
      if (width < 1 || height < 1 || count < 1) return ERR_WRONGUSAGE;
      perRow = s->framesPerRow < 1 ? count : s->framesPerRow;
      if (s->x < 0 || s->y < 0) return ERR_NEGCOORDS;
      {
        // 64-bit: large sizes must not wrap around into a fit.
        int64_t rows = (static_cast<int64_t>(count) + perRow - 1) / perRow;
        if (static_cast<int64_t>(width) * perRow + s->x > s->sourceWidth ||
            rows * height + s->y > s->sourceHeight)
          return ERR_BRUSHSIZE;
      }
      break;
    default:
      return ERR_WRONGUSAGE;
  }
  const int disk = s->targetKind == TARGET_DISK || s->fromDisk;
  // Frames wait for a display raw; only anims read files or pictures so.
  const bool keepRaw =
      s->keepRaw && !disk && s->targetKind == TARGET_ANIM && !source && (s->file || s->pixels);
  AnimFrameArrays f{};
  if (ErrorCode e = AllocAnimFrames(count, !disk, &f)) return e;
  ErrorCode e = ERR_NONE;
  if (!disk) {
    for (int32_t i = 0; i < count && !e; i++) {
      if (s->sourceKind == SOURCE_ANIM && s->file) {
        s->frameWidth = width;
        s->frameHeight = height;
        e = fileFrame(s, i, &f, keepRaw);
      } else if (keepRaw) {
        int32_t sx = s->layoutArgs < 4 ? 0 : (i % perRow) * width + s->x;
        int32_t sy = s->layoutArgs < 4 ? 0 : (i / perRow) * height + s->y;
        e = pixelFrame(s, sx, sy, width, height, i, &f);
      } else if (source) {
        e = GetAnimFrameBitmap(source, i, 1, 0, &f.bitmaps[i], &f.masks[i], &f.alphas[i]);
      } else if (s->layoutArgs < 4 && s->ownsSource) {
        f.bitmaps[0] = s->bitmap;
        f.masks[0] = s->mask;
        f.alphas[0] = s->alpha;
        s->bitmap = s->mask = s->alpha = nullptr;
      } else {
        int32_t sx = s->layoutArgs < 4 ? 0 : (i % perRow) * width + s->x;
        int32_t sy = s->layoutArgs < 4 ? 0 : (i / perRow) * height + s->y;
        e = ConvertBitmap(s->bitmap, s->mask, s->alpha, sx, sy, width, height, 0, 0, nullptr,
                          nullptr, &f.bitmaps[i], &f.masks[i], &f.alphas[i]);
      }
    }
    if (source && !e) memcpy(f.delays, source->frames.delays, sizeof(int32_t) * count);
    // Some readers know a frame's delay only once the frames after it were
    // decoded: the delays are taken when every frame is.
    if (s->sourceKind == SOURCE_ANIM && s->file && !e)
      for (int32_t i = 0; i < count; i++) f.delays[i] = GetAnimFileFrameDelay(s->file, i);
  }
  // Raw frames a file lent go back to it.
  AnimFile* lender = keepRaw ? s->file : nullptr;
  if (!e && s->targetKind == TARGET_SPRITE) {
    // The frames become the sprite's; what is left of the arrays goes.
    SpriteFrames frames{count, f.bitmaps, f.masks, f.alphas, nullptr};
    f.bitmaps = f.masks = f.alphas = nullptr;
    e = AddSpriteObject(L, &s->id, s->automatic, width, height, s->keyColour, &frames, nullptr);
    if (e) {
      f.bitmaps = frames.bitmaps;
      f.masks = frames.masks;
      f.alphas = frames.alphas;
    }
    FreeAnimFrames(&f, nullptr);
    if (e) return e;
    return s->automatic ? PushObjectId(L, s->id) : 0;
  }
  char* fileName = nullptr;
  if (!e && disk) {
    if (!s->file) {
      e = ERR_WRONGUSAGE;  // only anim files are played from disk
    } else {
      size_t n = strlen(s->fileName) + 1;
      fileName = static_cast<char*>(AllocMemory(n, 0));
      if (!fileName)
        e = ERR_MEM;
      else
        memcpy(fileName, s->fileName, n);
    }
  }
  AnimObject* anim = nullptr;
  if (!e)
    e = AddAnimObject(&s->id, s->automatic, width, height, &f, s->keyColour, s->loadAlpha, disk,
                      s->deinterlace, &anim);
  if (e) {
    FreeAnimFrames(&f, lender);
    FreeMemory(fileName);
    return e;
  }
  if (lender) {
    // The anim keeps the file until its frames are bitmaps.
    anim->file = s->file;
    s->file = nullptr;
  }
  if (disk) {
    anim->file = s->file;
    s->file = nullptr;
    anim->fileName = fileName;
    anim->loadTransparency = s->loadTransparency;
    anim->loaderIndex = s->loaderIndex;
    anim->loaderPlugin = s->loaderPlugin;
    snprintf(anim->adapter, sizeof anim->adapter, "%s", s->adapter ? s->adapter : "");
  }
  if (source) anim->smooth = source->smooth;
  return s->automatic ? PushObjectId(L, s->id) : 0;
}

// LoadAnim (target 4: id, file, options) and PlayAnimDisk (target 20: the
// file first, the key colour as argument 6, an automatic id).
int LoadAnimObject(VmState* L, int32_t target) {
  AnimBuildSpec s{};
  LoadOptions o;
  // A file linked into the applet is read from its place there.
  std::string resolved;
  if (target == TARGET_DISK) {
    resolved = GetFileNameArg(L, 1);
    s.automatic = 1;
    if (VmGetTop(L) >= 6) o.keyColour = static_cast<uint32_t>(VmCheckInteger(L, 6));
    if (o.keyColour == 0xFFFFFFFF) o.keyColour = -1;
    o.fromDisk = 1;
  } else {
    s.id = GetObjectIdArg(L, 1, &s.automatic);
    resolved = GetFileNameArg(L, 2);
    if (ErrorCode e = readLoadOptions(L, 3, target == TARGET_SPRITE ? 1 : 2, &o)) return e;
  }
  const char* file = resolved.c_str();
  if (o.loadTransparency && o.keyColour != -1) return ERR_WRONGUSAGE;
  if (o.loadAlpha && o.loadTransparency) return ERR_WRONGUSAGE;
  if (o.framesGiven && o.fromDisk) return ERR_WRONGUSAGE;
  if (o.loadAlpha && o.keyColour != -1) return ERR_MASKNALPHA;
  // A sprite's frames are always made in memory; the sprite library frees
  // one of the same number when the new one is complete.
  if (!s.automatic && target != TARGET_SPRITE)
    if (ErrorCode e = FreeAnimObject(L, s.id, 0)) return e;
  PrintProgress(GetBuiltinString(target == TARGET_SPRITE ? LOADING_SPRITE_TEXT : LOADING_ANIM_TEXT),
                file, 0);

  s.targetKind = target;
  s.keyColour = o.keyColour;
  s.loadAlpha = o.loadAlpha;
  s.loadTransparency = o.loadTransparency;
  s.deinterlace = o.deinterlace;
  s.fileName = file;
  s.adapter = o.adapter;
  s.fromDisk = o.fromDisk;
  // While preloading no display exists yet: frames stay raw until one opens.
  s.keepRaw = target == TARGET_ANIM && GetDeferBitmapsFlag();
  DecodedImage* picture = nullptr;
  ErrorCode e = ERR_OPENANIM2;
  if (!o.framesGiven) {
    int32_t hasAlpha = 0;
    e = OpenAnimFile(file, loaderText(o.loader), loaderText(o.adapter), o.deinterlace,
                     o.loadTransparency, &s.file, &s.frameWidth, &s.frameHeight, &s.frameCount,
                     &hasAlpha, &s.loaderIndex, &s.loaderPlugin);
    if (e && e != ERR_OPENANIM2) return e;
    if (!e) {
      if (o.skipLoopFrames && IsIffAnimFile(s.file)) {
        if (s.frameCount < 3) {
          CloseAnimFile(s.file);
          return ERR_WRONGUSAGE;
        }
        s.frameCount -= 2;
      }
      if (o.loadAlpha && !hasAlpha) {
        CloseAnimFile(s.file);
        SetErrorArgString(file);
        return ERR_NOALPHA;
      }
      s.sourceKind = SOURCE_ANIM;
      s.layoutArgs = 3;
    }
  }
  if (e == ERR_OPENANIM2) {
    // An ordinary picture: one frame, or cut into frames.
    if (o.fromDisk) {
      SetErrorArgString(file);
      return ERR_OPENANIM2;
    }
    DecodedImage* image = nullptr;
    int32_t transparent = -1, w = 0, h = 0, hasAlpha = 0;
    e = LoadImageFile(file, loaderText(o.loader), loaderText(o.adapter), nullptr, -1, 0, &image,
                      nullptr, &transparent, &w, &h, &hasAlpha, nullptr, nullptr);
    if (e == ERR_LOADPICTURE2) {
      SetErrorArgString(file);
      return ERR_OPENANIM2;
    }
    if (e) return e;
    if (o.loadAlpha && !hasAlpha) {
      FreeDecodedImage(image);
      SetErrorArgString(file);
      return ERR_NOALPHA;
    }
    if (o.loadTransparency && transparent < 0) {
      FreeDecodedImage(image);
      SetErrorArgString(file);
      return ERR_NOTRANSPARENCY;
    }
    if (transparent >= 0) s.keyColour = transparent & 0xFFFFFF;
    if (s.keepRaw) {
      // The frames are cut from the pixels; the image goes after the build.
      s.pixels = GetDecodedImagePixels(image);
      picture = image;
    } else {
      e = CreateBitmapFromRGB(GetDecodedImagePixels(image), s.keyColour, w, h, w, 0,
                              o.loadAlpha ? 8u : 0u, nullptr, &s.bitmap, &s.mask, &s.alpha);
      FreeDecodedImage(image);
      if (e) return e;
    }
    s.sourceKind = SOURCE_BITMAP;
    s.ownsSource = 1;
    s.sourceWidth = w;
    s.sourceHeight = h;
    if (o.width > 0 && o.height > 0) {
      s.layoutArgs = 7;
      s.frameWidth = o.width;
      s.frameHeight = o.height;
      s.frameCount = o.framesGiven ? o.frames : 1;
      s.framesPerRow = o.framesPerRow;
      s.x = o.x;
      s.y = o.y;
    } else {
      s.layoutArgs = 3;
    }
  }
  int results = BuildAnimObject(L, &s);
  // What the build did not take: the file of an in-memory anim, the
  // picture's bitmaps when frames were cut from it.
  CloseAnimFile(s.file);
  FreeDecodedImage(picture);
  FreeBitmap(s.bitmap);
  FreeBitMask(s.mask);
  FreeAlphaChannel(s.alpha);
  if (results >= 0 && results <= 1) PrintDone();
  return results;
}

int CmdLoadAnim(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  return LoadAnimObject(L, TARGET_ANIM);
}

int CmdCreateAnim(VmState* L) {
  CheckArgCount(L, 6, 8, 0, 0);
  AnimBuildSpec s{};
  s.id = GetObjectIdArg(L, 1, &s.automatic);
  ObjectId brushId = GetObjectIdArg(L, 2, nullptr);
  s.frameWidth = VmCheckInteger(L, 3);
  s.frameHeight = VmCheckInteger(L, 4);
  s.frameCount = VmCheckInteger(L, 5);
  s.framesPerRow = VmCheckInteger(L, 6);
  s.x = VmOptInteger(L, 7, 0);
  s.y = VmOptInteger(L, 8, 0);
  BrushObject* brush = nullptr;
  if (ErrorCode e = GetBrushObject(L, brushId, &brush, BRUSH_NOVECTOR)) return e;
  if (!s.automatic)
    if (ErrorCode e = FreeAnimObject(L, s.id, 0)) return e;
  s.sourceKind = SOURCE_BITMAP;
  s.targetKind = TARGET_ANIM;
  s.layoutArgs = 7;
  s.keyColour = -1;
  s.bitmap = brush->bitmap;
  s.mask = brush->mask;
  s.alpha = brush->alpha;
  s.sourceWidth = brush->width;
  s.sourceHeight = brush->height;
  return BuildAnimObject(L, &s);
}

int CmdLoadAnimFrame(VmState* L) {
  CheckArgCount(L, 3, 4, 0, 0);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 1, &automatic);
  int32_t frame = VmCheckInteger(L, 2);
  const char* file = VmCheckString(L, 3, nullptr);
  LoadOptions o;
  if (ErrorCode e = readLoadOptions(L, 4, 0, &o)) return e;
  if (o.loadTransparency && (o.loadAlpha || o.keyColour != -1)) return ERR_WRONGUSAGE;
  AnimFile* anim = nullptr;
  int32_t w = 0, h = 0, count = 0, hasAlpha = 0, loaderIndex = 0;
  PluginBase* plugin = nullptr;
  if (ErrorCode e =
          OpenAnimFile(file, loaderText(o.loader), loaderText(o.adapter), o.deinterlace,
                       o.loadTransparency, &anim, &w, &h, &count, &hasAlpha, &loaderIndex, &plugin))
    return e;
  AnimBuildSpec s{};
  s.file = anim;
  s.fileName = file;
  s.frameWidth = w;
  s.frameHeight = h;
  s.keyColour = o.keyColour;
  s.loadAlpha = o.loadAlpha;
  s.loadTransparency = o.loadTransparency;
  ErrorCode e = ERR_NONE;
  if (o.loadAlpha && !hasAlpha) {
    SetErrorArgString(file);
    e = ERR_NOALPHA;
  }
  if (frame == -1) frame = count;
  if (!e && (frame < 1 || frame > count)) e = ERR_ANIMFRAME;
  AnimFrameArrays f{};
  if (!e) e = AllocAnimFrames(count, 1, &f);
  if (!e) e = fileFrame(&s, frame - 1, &f);
  CloseAnimFile(anim);
  BitmapHandle *bitmap = nullptr, *mask = nullptr, *alpha = nullptr;
  if (!e) {
    bitmap = f.bitmaps[frame - 1];
    mask = f.masks[frame - 1];
    alpha = f.alphas[frame - 1];
    f.bitmaps[frame - 1] = f.masks[frame - 1] = f.alphas[frame - 1] = nullptr;
  }
  FreeAnimFrames(&f, nullptr);
  if (e) return e;
  if (!automatic) FreeBrushObject(L, id, 0);
  BrushObject* brush = nullptr;
  e = AddBrushObject(&id, automatic, 0, w, h, w, 0, nullptr, bitmap, o.keyColour, mask, alpha,
                     nullptr, &brush);
  if (e) {
    FreeBitmap(bitmap);
    FreeBitMask(mask);
    FreeAlphaChannel(alpha);
    return e;
  }
  return automatic ? PushObjectId(L, id) : 0;
}
