// Anim objects: the list, look-up, frame access, the frame arrays, frame
// changes, scaling, copying and freeing, and the commands on existing
// anims. Invariant: the list holds only fully built anims; an operation
// that fails frees what it made and leaves the anim as it was, so every
// frame array always holds frameCount entries.
#include <cstring>

#include "draw/draw.h"
#include "gfx/gfx.h"
#include "media/anim_private.h"
#include "media/media.h"

AnimContext animContext;

namespace {

AnimObject* firstAnim() { return reinterpret_cast<AnimObject*>(animContext.anims); }
AnimObject* nextAnim(AnimObject* a) { return reinterpret_cast<AnimObject*>(a->head.next); }

void freeRecord(VmState* L, AnimObject* a) {
  FreeAnimFrames(&a->frames, a->file);
  CloseAnimFile(a->file);
  FreeMemory(a->fileName);
  if (L) FreeObjectDataList(L, &a->head.data);
  FreeMemory(a);
}

void unlink(AnimObject* a) {
  for (ObjectHead** p = &animContext.anims; *p; p = &(*p)->next) {
    if (*p == &a->head) {
      *p = a->head.next;
      return;
    }
  }
}

// Hides an anim that is still shown: no script finds it any more, and it
// is freed once its last layer goes.
void hide(AnimObject* a) {
  a->head.number = 0;
  a->head.autoId = a;
  a->freePending = 1;
}

void freeFrame(BitmapHandle* bitmap, BitmapHandle* mask, BitmapHandle* alpha) {
  FreeBitmap(bitmap);
  FreeBitMask(mask);
  FreeAlphaChannel(alpha);
}

// A size argument: a number, or a percentage of base.
int32_t sizeArgument(VmState* L, int index, int32_t base) {
  int percent = 0;
  double v = GetNumberArgEx(L, index, 0, 1, &percent);
  if (percent) {
    int32_t n = VmTruncInt32(v * base);
    return n < 1 ? 1 : n;
  }
  return VmTruncInt32(v);
}

// A copy of every frame of an in-memory anim, or a reopened file for a
// disk anim, as a new anim.
ErrorCode copyAnim(AnimObject* source, ObjectId* id, int automatic, AnimObject** out) {
  AnimFrameArrays frames{};
  AnimFile* file = nullptr;
  char* fileName = nullptr;
  if (source->fromDisk) {
    const char* loader = source->loaderIndex == 0   ? "inbuilt"
                         : source->loaderIndex == 1 ? "native"
                                                    : nullptr;
    int32_t w = 0, h = 0, count = 0, hasAlpha = 0, loaderIndex = 0;
    PluginBase* plugin = nullptr;
    if (ErrorCode e = OpenAnimFile(source->fileName, loader, source->adapter, source->deinterlace,
                                   source->loadTransparency, &file, &w, &h, &count, &hasAlpha,
                                   &loaderIndex, &plugin))
      return e;
    if (w != source->storedWidth || h != source->storedHeight || count != source->frameCount) {
      CloseAnimFile(file);
      return ERR_LOADFRAME;  // the file changed under the anim
    }
    size_t n = strlen(source->fileName) + 1;
    fileName = static_cast<char*>(AllocMemory(n, 0));
    if (!fileName || AllocAnimFrames(source->frameCount, 0, &frames)) {
      FreeMemory(fileName);
      CloseAnimFile(file);
      return ERR_MEM;
    }
    memcpy(fileName, source->fileName, n);
  } else {
    if (ErrorCode e = AllocAnimFrames(source->frameCount, 1, &frames)) return e;
    for (int32_t i = 0; i < source->frameCount; i++) {
      ErrorCode e = GetAnimFrameBitmap(source, i, 1, 0, &frames.bitmaps[i], &frames.masks[i],
                                       &frames.alphas[i]);
      if (e) {
        FreeAnimFrames(&frames, nullptr);
        return e;
      }
    }
  }
  memcpy(frames.delays, source->frames.delays,
         static_cast<size_t>(source->frameCount) * sizeof(int32_t));
  ObjectDataEntry* data = nullptr;
  if (source->head.data) {
    if (ErrorCode e = CopyObjectDataList(animContext.state, source->head.data, &data)) {
      FreeAnimFrames(&frames, nullptr);
      FreeMemory(fileName);
      CloseAnimFile(file);
      return e;
    }
  }
  AnimObject* copy = nullptr;
  ErrorCode e =
      AddAnimObject(id, automatic, source->width, source->height, &frames, source->keyColour,
                    source->loadAlpha, source->fromDisk, source->deinterlace, &copy);
  if (e) {
    FreeObjectDataList(animContext.state, &data);
    FreeAnimFrames(&frames, nullptr);
    FreeMemory(fileName);
    CloseAnimFile(file);
    return e;
  }
  copy->head.data = data;
  copy->storedWidth = source->storedWidth;
  copy->storedHeight = source->storedHeight;
  copy->smooth = source->smooth;
  copy->file = file;
  copy->fileName = fileName;
  copy->loaderIndex = source->loaderIndex;
  copy->loaderPlugin = source->loaderPlugin;
  memcpy(copy->adapter, source->adapter, sizeof copy->adapter);
  copy->loadTransparency = source->loadTransparency;
  *out = copy;
  return ERR_NONE;
}

}  // namespace

ErrorCode CopyAnimObject(AnimObject* source, AnimObject** out) {
  ObjectId id{};
  AnimObject* copy = nullptr;
  if (ErrorCode e = copyAnim(source, &id, 1, &copy)) return e;
  hide(copy);
  *out = copy;
  return ERR_NONE;
}

int CmdCopyAnim(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  ObjectId sourceId = GetObjectIdArg(L, 1, nullptr);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 2, &automatic);
  AnimObject* source = nullptr;
  if (ErrorCode e = GetAnimObject(L, sourceId, &source, 0)) return e;
  if (!automatic && !id.autoId && !sourceId.autoId && id.number == sourceId.number)
    return ERR_WRONGUSAGE;
  if (!automatic)
    if (ErrorCode e = FreeAnimObject(L, id, 0)) return e;
  AnimObject* copy = nullptr;
  if (ErrorCode e = copyAnim(source, &id, automatic, &copy)) return e;
  return automatic ? PushObjectId(L, id) : 0;
}

int CmdFreeAnim(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  return FreeAnimObject(L, GetObjectIdArg(L, 1, nullptr), 1);
}

int CmdScaleAnim(VmState* L) {
  CheckArgCount(L, 3, 4, 0, 0);
  AnimObject* a = nullptr;
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  if (ErrorCode e = GetAnimObject(L, id, &a, ANIM_MODIFY)) return e;
  if (IsAnimOutputDevice(id)) return ERR_MODIFYAANIM;
  int32_t width = sizeArgument(L, 2, a->width);
  int32_t height = sizeArgument(L, 3, a->height);
  int32_t smooth = VmOptFlag(L, 4, 0);
  if (ErrorCode e = ResolveKeepAspectSize(a->width, a->height, &width, &height)) return e;
  if (width == a->width && height == a->height) return 0;
  if (a->fromDisk) {
    // Disk frames are scaled as they are decoded.
    a->width = width;
    a->height = height;
    a->smooth = smooth;
    return 0;
  }
  if (ErrorCode e = RealizeAnimFrames(a)) return e;
  AnimFrameArrays scaled{};
  if (ErrorCode e = AllocAnimFrames(a->frameCount, 1, &scaled)) return e;
  for (int32_t i = 0; i < a->frameCount; i++) {
    ErrorCode e = TransformBitmap(a->frames.bitmaps[i], a->frames.masks[i], a->frames.alphas[i], 0,
                                  0, nullptr, a->storedWidth, a->storedHeight, width, height,
                                  smooth, &scaled.bitmaps[i], &scaled.masks[i], &scaled.alphas[i]);
    if (!e && !scaled.bitmaps[i]) e = ERR_BITMAP;
    if (e) {
      FreeAnimFrames(&scaled, nullptr);
      return e;
    }
  }
  memcpy(scaled.delays, a->frames.delays, static_cast<size_t>(a->frameCount) * sizeof(int32_t));
  FreeAnimFrames(&a->frames, a->file);
  a->frames = scaled;
  a->width = a->storedWidth = width;
  a->height = a->storedHeight = height;
  a->smooth = smooth;
  return 0;
}

int CmdModifyAnimFrames(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  AnimObject* a = nullptr;
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  if (ErrorCode e = GetAnimObject(L, id, &a, ANIM_MODIFY)) return e;
  if (IsAnimOutputDevice(id)) return ERR_MODIFYAANIM;
  int32_t count = VmCheckInteger(L, 2);
  int32_t position = VmOptInteger(L, 3, 0);
  return ChangeAnimFrames(a, count, position);
}

int CmdSetAnimFrameDelay(VmState* L) {
  CheckArgCount(L, 3, 3, 0, 0);
  AnimObject* a = nullptr;
  if (ErrorCode e = GetAnimObject(L, GetObjectIdArg(L, 1, nullptr), &a, 0)) return e;
  int32_t frame = VmCheckInteger(L, 2);
  int32_t delay = VmCheckInteger(L, 3);
  if (delay < 0) return ERR_WRONGUSAGE;
  if (frame < 1 || frame > a->frameCount) return ERR_ANIMFRAME;
  a->frames.delays[frame - 1] = delay;
  return 0;
}

int CmdGetAnimFrame(VmState* L) {
  CheckArgCount(L, 3, 3, 0, 0);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 1, &automatic);
  int32_t frame = VmCheckInteger(L, 2);
  AnimObject* a = nullptr;
  if (ErrorCode e = GetAnimObject(L, GetObjectIdArg(L, 3, nullptr), &a, 0)) return e;
  if (frame < 1 || frame > a->frameCount) return ERR_ANIMFRAME;
  BitmapHandle *bitmap = nullptr, *mask = nullptr, *alpha = nullptr;
  if (ErrorCode e = GetAnimFrameBitmap(a, frame - 1, 1, 0, &bitmap, &mask, &alpha)) return e;
  if (!automatic) FreeBrushObject(L, id, 0);
  BrushObject* brush = nullptr;
  int64_t key = a->keyColour == -1 ? -1 : (a->keyColour & 0xFFFFFF);
  if (ErrorCode e = AddBrushObject(&id, automatic, 0, a->width, a->height, a->width, 0, nullptr,
                                   bitmap, key, mask, alpha, nullptr, &brush)) {
    freeFrame(bitmap, mask, alpha);
    return e;
  }
  return automatic ? PushObjectId(L, id) : 0;
}

namespace {

// What GetAttribute reads of an anim; ATTRFRAMEDELAY takes the frame as
// its parameter.
int readAnimAttribute(VmState* L, int32_t attribute) {
  if (attribute == ATTRCOUNT) {
    int32_t count = 0;
    for (AnimObject* a = firstAnim(); a; a = nextAnim(a))
      if (!a->freePending) count++;
    VmPushNumber(L, count);
    return 1;
  }
  AnimObject* a = nullptr;
  if (ErrorCode e = GetAnimObject(L, GetObjectIdArg(L, 2, nullptr), &a, 0)) return e;
  switch (attribute) {
    case ATTRWIDTH:
      VmPushNumber(L, a->width);
      return 1;
    case ATTRHEIGHT:
      VmPushNumber(L, a->height);
      return 1;
    case ATTRNUMFRAMES:
      VmPushNumber(L, a->frameCount);
      return 1;
    case ATTRFRAMEDELAY: {
      int32_t frame = VmCheckInteger(L, 4);
      if (frame < 1 || frame > a->frameCount) return ERR_ANIMFRAME;
      VmPushNumber(L, GetAnimFrameDelay(a, frame - 1));
      return 1;
    }
    default:
      return ERR_UNKNOWNATTR;
  }
}

int readAnimStreamAttribute(VmState* L, int32_t attribute) {
  if (attribute != ATTRCOUNT) return ERR_UNKNOWNATTR;
  VmPushNumber(L, CountObjectList(animContext.streams));
  return 1;
}

}  // namespace

void InitAnimContext() { animContext = AnimContext{}; }

void FreeAnimContext() {
  while (AnimObject* a = firstAnim()) {
    unlink(a);
    freeRecord(nullptr, a);
  }
  FreeAnimStreams();
  animContext = AnimContext{};
}

ErrorCode AllocAnimFrames(int32_t count, int withBitmaps, AnimFrameArrays* frames) {
  *frames = AnimFrameArrays{};
  if (count < 1) return ERR_WRONGUSAGE;
  frames->count = count;
  auto n = static_cast<size_t>(count);
  frames->delays = static_cast<int32_t*>(AllocMemoryArray(n, sizeof(int32_t), 0));
  bool ok = frames->delays != nullptr;
  if (ok && withBitmaps) {
    frames->bitmaps = static_cast<BitmapHandle**>(AllocMemoryArray(n, sizeof(void*), 1));
    frames->masks = static_cast<BitmapHandle**>(AllocMemoryArray(n, sizeof(void*), 1));
    frames->alphas = static_cast<BitmapHandle**>(AllocMemoryArray(n, sizeof(void*), 1));
    frames->raw = static_cast<uint32_t**>(AllocMemoryArray(n, sizeof(void*), 1));
    ok = frames->bitmaps && frames->masks && frames->alphas && frames->raw;
  }
  if (!ok) {
    FreeAnimFrames(frames, nullptr);
    return ERR_MEM;
  }
  for (size_t i = 0; i < n; i++) frames->delays[i] = -1;
  return ERR_NONE;
}

void FreeAnimFrames(AnimFrameArrays* frames, AnimFile* file) {
  for (int32_t i = 0; i < frames->count; i++) {
    if (frames->bitmaps) FreeBitmap(frames->bitmaps[i]);
    if (frames->masks) FreeBitMask(frames->masks[i]);
    if (frames->alphas) FreeAlphaChannel(frames->alphas[i]);
    if (frames->raw && frames->raw[i]) {
      if (file)
        FreeAnimFileFrame(file, frames->raw[i]);
      else
        FreeMemory(frames->raw[i]);
    }
  }
  FreeMemory(frames->bitmaps);
  FreeMemory(frames->masks);
  FreeMemory(frames->alphas);
  FreeMemory(frames->raw);
  FreeMemory(frames->delays);
  *frames = AnimFrameArrays{};
}

ErrorCode RealizeAnimFrame(AnimObject* a, int32_t index) {
  uint32_t* raw = a->frames.raw ? a->frames.raw[index] : nullptr;
  if (!raw) return ERR_NONE;
  BitmapHandle *bitmap = nullptr, *mask = nullptr;
  if (ErrorCode e = CreateBitmapFromRGB(raw, a->keyColour, a->storedWidth, a->storedHeight,
                                        a->storedWidth, 0, 0, nullptr, &bitmap, &mask, nullptr))
    return e;
  a->frames.bitmaps[index] = bitmap;
  a->frames.masks[index] = mask;
  if (a->file)
    FreeAnimFileFrame(a->file, raw);
  else
    FreeMemory(raw);
  a->frames.raw[index] = nullptr;
  return ERR_NONE;
}

ErrorCode RealizeAnimFrames(AnimObject* a) {
  if (a->fromDisk) return ERR_NONE;
  for (int32_t i = 0; i < a->frameCount; i++)
    if (ErrorCode e = RealizeAnimFrame(a, i)) return e;
  // Every raw frame went back to the file, which has no more use.
  CloseAnimFile(a->file);
  a->file = nullptr;
  return ERR_NONE;
}

ErrorCode RealizeDeferredAnims() {
  ErrorCode result = ERR_NONE;
  for (AnimObject* a = firstAnim(); a; a = nextAnim(a)) {
    ErrorCode e = RealizeAnimFrames(a);
    if (result == ERR_NONE) result = e;
  }
  return result;
}

ErrorCode GetAnimObject(VmState* L, ObjectId id, AnimObject** out, uint32_t flags) {
  (void)L;
  *out = nullptr;
  AnimObject* found = nullptr;
  for (AnimObject* a = firstAnim(); a && !found; a = nextAnim(a)) {
    if (a->head.number != id.number || a->head.autoId != id.autoId) continue;
    if (a->freePending && !(flags & ANIM_PENDING)) continue;
    found = a;
  }
  if (!found) {
    if (id.autoId) return ERR_FINDARRAY;
    SetErrorArgNumber(id.number);
    return ERR_FINDANIM;
  }
  if ((flags & ANIM_MODIFY) && found->useCount > 0) return ERR_LOCKEDOBJ;
  // Layers that show an anim about to change move to a private copy, which
  // no script can find and which goes with its last layer.
  if ((flags & ANIM_MODIFY) && !(flags & ANIM_NOCOPY) && IsObjectOnLayer(LAYER_ANIM, id)) {
    AnimObject* copy = nullptr;
    if (ErrorCode e = CopyAnimObject(found, &copy)) return e;
    RepointLayers(LAYER_ANIM, id, ObjectId{copy, 0});
  }
  *out = found;
  return ERR_NONE;
}

ErrorCode AddAnimObject(ObjectId* id, int automatic, int32_t width, int32_t height,
                        AnimFrameArrays* frames, int64_t keyColour, int32_t loadAlpha,
                        int32_t fromDisk, int32_t deinterlace, AnimObject** out) {
  auto* a = static_cast<AnimObject*>(AllocMemory(sizeof(AnimObject), 1));
  if (!a) return ERR_MEM;
  a->head.type = OBJTYPE_ANIM;
  if (automatic) {
    a->head.autoId = a;
    *id = ObjectId{a, 0};
  } else {
    a->head.number = id->number;
  }
  a->width = a->storedWidth = width;
  a->height = a->storedHeight = height;
  a->frameCount = frames->count;
  a->frames = *frames;
  *frames = AnimFrameArrays{};
  a->keyColour = keyColour;
  a->loadAlpha = loadAlpha;
  a->fromDisk = fromDisk;
  a->deinterlace = deinterlace;
  ObjectHead** tail = &animContext.anims;
  while (*tail) tail = &(*tail)->next;
  *tail = &a->head;
  if (out) *out = a;
  return ERR_NONE;
}

ErrorCode FreeAnimObject(VmState* L, ObjectId id, int report) {
  AnimObject* a = nullptr;
  ErrorCode e = GetAnimObject(L, id, &a, 0);
  if (e) return report ? e : ERR_NONE;
  // The selected frame's bitmaps are where drawing goes.
  if (IsAnimOutputDevice(id)) return ERR_MODIFYAANIM;
  if (a->useCount > 0) return ERR_LOCKEDOBJ;
  // An anim that layers show is kept, hidden, until its last layer goes.
  if (IsObjectOnLayer(LAYER_ANIM, id)) {
    hide(a);
    RepointLayers(LAYER_ANIM, id, ObjectId{a, 0});
    return ERR_NONE;
  }
  unlink(a);
  freeRecord(L, a);
  return ERR_NONE;
}

ErrorCode GetAnimFrameBitmap(AnimObject* a, int32_t index, int copy, int noScale,
                             BitmapHandle** bitmap, BitmapHandle** mask, BitmapHandle** alpha) {
  *bitmap = *mask = *alpha = nullptr;
  if (index < 0 || index >= a->frameCount) return ERR_ANIMFRAME;
  if (a->fromDisk) {
    int32_t transparency = 0;
    uint32_t* raw = GetAnimFileFrame(a->file, index, a->loadAlpha, &transparency);
    if (!raw) return ERR_LOADFRAME;
    if (a->loadTransparency && !transparency) {
      FreeAnimFileFrame(a->file, raw);
      SetErrorArgString(a->fileName);
      return ERR_NOTRANSPARENCY;
    }
    BitmapHandle *b = nullptr, *m = nullptr, *al = nullptr;
    ErrorCode e =
        CreateBitmapFromRGB(raw, a->keyColour, a->storedWidth, a->storedHeight, a->storedWidth, 0,
                            (a->loadAlpha || transparency) ? 8u : 0u, nullptr, &b, &m, &al);
    FreeAnimFileFrame(a->file, raw);
    if (e) return e;
    if (!noScale && (a->width != a->storedWidth || a->height != a->storedHeight)) {
      BitmapHandle *sb = nullptr, *sm = nullptr, *sa = nullptr;
      e = TransformBitmap(b, m, al, 0, 0, nullptr, a->storedWidth, a->storedHeight, a->width,
                          a->height, a->smooth, &sb, &sm, &sa);
      freeFrame(b, m, al);
      if (e) return e;
      if (!sb) return ERR_BITMAP;
      b = sb;
      m = sm;
      al = sa;
    }
    *bitmap = b;
    *mask = m;
    *alpha = al;
    return ERR_NONE;
  }
  // A frame kept raw since the preload becomes a bitmap when first asked for.
  if (ErrorCode e = RealizeAnimFrame(a, index)) return e;
  BitmapHandle* b = a->frames.bitmaps[index];
  BitmapHandle* m = a->frames.masks[index];
  BitmapHandle* al = a->frames.alphas[index];
  if (!b) return ERR_LOADFRAME;
  if (!copy) {
    *bitmap = b;
    *mask = m;
    *alpha = al;
    return ERR_NONE;
  }
  return ConvertBitmap(b, m, al, 0, 0, a->width, a->height, 0, 0, nullptr, nullptr, bitmap, mask,
                       alpha);
}

int32_t GetAnimFrameDelay(AnimObject* a, int32_t index) {
  if (index < 0 || index >= a->frameCount) return 0;
  int32_t delay = a->frames.delays[index];
  if (delay != -1) return delay;
  if (a->fromDisk && a->file) return GetAnimFileFrameDelay(a->file, index);
  return 0;
}

ErrorCode ChangeAnimFrames(AnimObject* a, int32_t count, int32_t position) {
  if (a->fromDisk) return ERR_ANIMDISK;
  const int64_t frames = a->frameCount;
  if (count == 0 || count <= -frames || position < 0) return ERR_WRONGUSAGE;
  if (count < 0 && position > 0 && position - static_cast<int64_t>(count) > frames + 1)
    return ERR_WRONGUSAGE;
  if (count > 0 && position > frames + 1) return ERR_WRONGUSAGE;
  const int64_t total = frames + count;
  if (total > INT32_MAX) return ERR_WRONGUSAGE;
  const int32_t start =
      position > 0 ? position - 1 : static_cast<int32_t>(count < 0 ? total : frames);
  // New frames follow the first frame's mask or alpha channel.
  if (ErrorCode e = RealizeAnimFrames(a)) return e;
  AnimFrameArrays next{};
  if (ErrorCode e = AllocAnimFrames(static_cast<int32_t>(total), 1, &next)) return e;
  AnimFrameArrays& old = a->frames;
  if (count > 0) {
    // New frames: colour 0, fully visible through a mask or alpha channel
    // when the first frame has one.
    for (int32_t i = start; i < start + count; i++) {
      ErrorCode e = ERR_NONE;
      next.bitmaps[i] = AllocBitmap(a->width, a->height, 0, nullptr);
      if (!next.bitmaps[i]) {
        e = ERR_BITMAP;
      } else {
        FillBitmapRect(next.bitmaps[i], 0, 0, a->width, a->height, 0);
        if (old.masks[0]) {
          next.masks[i] = AllocBitMask(next.bitmaps[i], a->width, a->height, 0, nullptr, 0);
          if (!next.masks[i])
            e = ERR_ALLOCMASK;
          else
            MaskRectOp(next.masks[i], 0, 0, a->width, a->height, 0);
        }
        if (!e && old.alphas[0]) {
          next.alphas[i] = AllocAlphaChannel(a->width, a->height, 0, nullptr, 0);
          if (!next.alphas[i])
            e = ERR_ALLOCALPHA;
          else
            FillAlphaRect(next.alphas[i], 0, 0, a->width, a->height, 255);
        }
      }
      if (e) {
        FreeAnimFrames(&next, nullptr);
        return e;
      }
    }
  }
  // Nothing can fail from here on: the old frames move over or are freed.
  for (int32_t i = 0, j = 0; i < a->frameCount; i++) {
    if (count < 0 && i >= start && i < start - count) {
      freeFrame(old.bitmaps[i], old.masks[i], old.alphas[i]);
      if (old.raw[i]) {
        if (a->file)
          FreeAnimFileFrame(a->file, old.raw[i]);
        else
          FreeMemory(old.raw[i]);
      }
      continue;
    }
    if (count > 0 && j == start) j += count;
    next.bitmaps[j] = old.bitmaps[i];
    next.masks[j] = old.masks[i];
    next.alphas[j] = old.alphas[i];
    next.raw[j] = old.raw[i];
    next.delays[j] = old.delays[i];
    j++;
  }
  FreeMemory(old.bitmaps);
  FreeMemory(old.masks);
  FreeMemory(old.alphas);
  FreeMemory(old.raw);
  FreeMemory(old.delays);
  a->frames = next;
  a->frameCount = static_cast<int32_t>(total);
  return ERR_NONE;
}

void FlushPendingAnimFrees(VmState* L) {
  // A hidden anim lives on while a playback holds it or a layer shows it.
  AnimObject* a = firstAnim();
  while (a) {
    AnimObject* next = nextAnim(a);
    if (a->freePending && a->useCount == 0 && !IsObjectOnLayer(LAYER_ANIM, ObjectId{a, 0})) {
      unlink(a);
      freeRecord(L, a);
    }
    a = next;
  }
}

void FreeAllAnims(VmState* L) {
  while (AnimObject* a = firstAnim()) {
    unlink(a);
    freeRecord(L, a);
  }
  FreeAnimStreams();
  SetAnimDrawHooks(nullptr);
  SetSpriteLoadHook(nullptr);
  SetAnimRealizeHook(nullptr);
}

ErrorCode RegisterAnimObjectLists() {
  if (ErrorCode e = RegisterObjectList(&animContext.anims)) return e;
  if (ErrorCode e = RegisterObjectList(&animContext.streams)) return e;
  if (ErrorCode e = RegisterAttributeReader(OBJTYPE_ANIM, readAnimAttribute)) return e;
  return RegisterAttributeReader(OBJTYPE_ANIMSTREAM, readAnimStreamAttribute);
}
