// The "sprite" command library: sprites made from brushes (whole, or a
// strip of frames), anims, text objects and other sprites (linked), copied,
// shown, reordered, removed, flipped, scaled and freed, and the
// GetAttribute reader of sprites. Invariant: a command that fails at its
// checks changes nothing; a linked sprite links only to sprites with
// frames of their own, so freeing those frees every sprite that shows them.
#include <algorithm>
#include <vector>

#include "draw/draw_private.h"

namespace {

// The check of the commands that draw or remove sprites.
ErrorCode checkSpriteOutput(const DisplayRecord* d) {
  if (!d) return ERR_CLOSEDDISPLAY;
  if (ErrorCode e = SelectedOutputRefusal(d)) return e;
  const BGPic* pic = d->bgpic;
  if (d->layers ||
      (pic && pic->layers.head && pic->layers.head->succ && pic->layers.head->succ->succ))
    return ERR_LAYERSOFF;
  return ERR_NONE;
}

ErrorCode checkedDisplay(DisplayRecord** d) {
  *d = GetCurrentDisplay();
  return checkSpriteOutput(*d);
}

// Frame arrays under construction, freed unless handed over.
struct FrameSet {
  std::vector<BitmapHandle*> bitmaps, masks, alphas;
  ~FrameSet() {
    for (BitmapHandle* b : bitmaps) FreeBitmap(b);
    for (BitmapHandle* m : masks) FreeBitMask(m);
    for (BitmapHandle* a : alphas) FreeAlphaChannel(a);
  }
  void add(BitmapHandle* b, BitmapHandle* m, BitmapHandle* a) {
    bitmaps.push_back(b);
    masks.push_back(m);
    alphas.push_back(a);
  }
  // Moves the frames into runtime arrays (the set is empty afterwards).
  ErrorCode handOver(SpriteFrames* out) {
    const size_t n = bitmaps.size();
    *out = SpriteFrames{};
    out->count = static_cast<int32_t>(n);
    out->bitmaps = static_cast<BitmapHandle**>(AllocMemoryArray(n, sizeof(BitmapHandle*), 1));
    out->masks = static_cast<BitmapHandle**>(AllocMemoryArray(n, sizeof(BitmapHandle*), 1));
    out->alphas = static_cast<BitmapHandle**>(AllocMemoryArray(n, sizeof(BitmapHandle*), 1));
    if (!out->bitmaps || !out->masks || !out->alphas) {
      FreeMemory(out->bitmaps);
      FreeMemory(out->masks);
      FreeMemory(out->alphas);
      *out = SpriteFrames{};
      return ERR_MEM;
    }
    std::copy(bitmaps.begin(), bitmaps.end(), out->bitmaps);
    std::copy(masks.begin(), masks.end(), out->masks);
    std::copy(alphas.begin(), alphas.end(), out->alphas);
    bitmaps.clear();
    masks.clear();
    alphas.clear();
    return ERR_NONE;
  }
};

void freeFrameArrays(SpriteFrames* f) {
  for (int32_t i = 0; i < f->count; ++i) {
    FreeBitmap(f->bitmaps ? f->bitmaps[i] : nullptr);
    FreeBitMask(f->masks ? f->masks[i] : nullptr);
    FreeAlphaChannel(f->alphas ? f->alphas[i] : nullptr);
  }
  FreeMemory(f->bitmaps);
  FreeMemory(f->masks);
  FreeMemory(f->alphas);
  *f = SpriteFrames{};
}

bool sameId(ObjectId a, ObjectId b) { return a.number == b.number && a.autoId == b.autoId; }

// Frames of a brush: the whole brush, or a strip of frame width, frame
// height, frame count, frames per row from x, y.
ErrorCode brushFrames(VmState* L, FrameSet* set, int32_t* width, int32_t* height,
                      int64_t* keyColour) {
  BrushObject* b = nullptr;
  if (ErrorCode e = GetBrushObject(L, GetObjectIdArg(L, 3, nullptr), &b, 0)) return e;
  if (!b->bitmap) return ERR_WRONGUSAGE;
  *keyColour = b->keyColour;
  int32_t n[6] = {0, 0, 0, 0, 0, 0};
  const int given = std::max(0, VmGetTop(L) - 3);
  for (int i = 0; i < 6 && i < given; ++i) n[i] = VmTruncInt32(VmCheckNumber(L, 4 + i));
  if (given < 4) {
    n[0] = b->width;
    n[1] = b->height;
    n[2] = n[3] = 1;
    n[4] = n[5] = 0;
  }
  const int64_t fw = n[0], fh = n[1], count = n[2], perRow = n[3], x = n[4], y = n[5];
  if (fw < 1 || fh < 1 || count < 1 || perRow < 1 || x < 0 || y < 0) return ERR_BRUSHSIZE;
  const int64_t columns = std::min(count, perRow), rows = (count + perRow - 1) / perRow;
  if (x + columns * fw > b->width || y + rows * fh > b->height) return ERR_BRUSHSIZE;
  for (int64_t i = 0; i < count; ++i) {
    BitmapHandle *fb = nullptr, *fm = nullptr, *fa = nullptr;
    if (ErrorCode e =
            ConvertBitmap(b->bitmap, b->mask, b->alpha, static_cast<int32_t>(x + (i % perRow) * fw),
                          static_cast<int32_t>(y + (i / perRow) * fh), static_cast<int32_t>(fw),
                          static_cast<int32_t>(fh), 0, 0, nullptr, nullptr, &fb, &fm, &fa))
      return e;
    set->add(fb, fm, fa);
  }
  *width = static_cast<int32_t>(fw);
  *height = static_cast<int32_t>(fh);
  return ERR_NONE;
}

ErrorCode animFrames(VmState* L, FrameSet* set, int32_t* width, int32_t* height) {
  const AnimDrawHooks& hooks = drawContext.animHooks;
  const ObjectId id = GetObjectIdArg(L, 3, nullptr);
  if (!hooks.getFrame) return ObjectNotFound(id, ERR_FINDANIM);
  for (int32_t i = 0;; ++i) {
    AnimFrameView view{};
    ErrorCode e = hooks.getFrame(L, id, i, &view);
    if (e == ERR_ANIMFRAME && i > 0) break;
    if (e) return e;
    *width = view.width;
    *height = view.height;
    if (view.owned) {
      set->add(view.bitmap, view.mask, view.alpha);
      continue;
    }
    BitmapHandle *fb = nullptr, *fm = nullptr, *fa = nullptr;
    if (ErrorCode c = ConvertBitmap(view.bitmap, view.mask, view.alpha, 0, 0, view.width,
                                    view.height, 0, 0, nullptr, nullptr, &fb, &fm, &fa))
      return c;
    set->add(fb, fm, fa);
  }
  return ERR_NONE;
}

// The link array of a sprite made of sprites (arguments 3 on): sprites
// that are linked themselves contribute their links, so every entry has
// frames of its own.
ErrorCode linkSources(VmState* L, ObjectId target, int automatic, std::vector<SpriteObject*>* out,
                      int32_t* width, int32_t* height) {
  const int top = VmGetTop(L);
  if (top < 3) return ERR_WRONGUSAGE;
  for (int i = 3; i <= top; ++i) {
    const ObjectId id = GetObjectIdArg(L, i, nullptr);
    // The target would be freed before it is read.
    if (!automatic && sameId(id, target)) return ERR_WRONGUSAGE;
    SpriteObject* s = nullptr;
    if (ErrorCode e = GetSpriteObject(id, &s, 0)) return e;
    if (out->empty()) {
      *width = s->width;
      *height = s->height;
    } else if (s->width != *width || s->height != *height) {
      return ERR_WRONGSPRITESIZE;
    }
    if (s->links)
      for (SpriteObject** l = s->links; *l; ++l) out->push_back(*l);
    else
      out->push_back(s);
  }
  return ERR_NONE;
}

// A sprite whose link array holds the sprite of the id: freeing that
// sprite first would free the new one's frames.
bool linksTo(const std::vector<SpriteObject*>& links, ObjectId id) {
  SpriteObject* s = nullptr;
  if (GetSpriteObject(id, &s, 0) != ERR_NONE) return false;
  return std::find(links.begin(), links.end(), s) != links.end();
}

ErrorCode addLinkedSprite(VmState* L, ObjectId* id, int automatic,
                          const std::vector<SpriteObject*>& links, int32_t width, int32_t height,
                          int64_t keyColour, SpriteObject** out) {
  if (!automatic && linksTo(links, *id)) return ERR_WRONGUSAGE;
  auto* array =
      static_cast<SpriteObject**>(AllocMemoryArray(links.size() + 1, sizeof(SpriteObject*), 1));
  if (!array) return ERR_MEM;
  std::copy(links.begin(), links.end(), array);
  SpriteFrames none{};
  SpriteObject* s = nullptr;
  if (ErrorCode e = AddSpriteObject(L, id, automatic, width, height, keyColour, &none, &s)) {
    FreeMemory(array);
    return e;
  }
  s->links = array;
  int32_t count = 0;
  for (SpriteObject* l : links) count += l->frameCount;
  s->frameCount = count;
  if (out) *out = s;
  return ERR_NONE;
}

// The sprite library's own builder of CreateSprite.
int buildSprite(VmState* L) {
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 1, &automatic);
  const int32_t type = VmTruncInt32(VmCheckNumber(L, 2));
  FrameSet set;
  int32_t width = 0, height = 0;
  int64_t keyColour = -1;
  switch (type) {
    case OBJTYPE_BRUSH:
      if (ErrorCode e = brushFrames(L, &set, &width, &height, &keyColour)) return e;
      break;
    case OBJTYPE_ANIM:
      if (ErrorCode e = animFrames(L, &set, &width, &height)) return e;
      break;
    case OBJTYPE_TEXTOBJECT: {
      ObjectBitmaps copies{};
      if (ErrorCode e = GetTextObjectBitmaps(L, GetObjectIdArg(L, 3, nullptr), &copies)) return e;
      set.add(copies.bitmap, copies.mask, copies.alpha);
      width = copies.width;
      height = copies.height;
      break;
    }
    case OBJTYPE_SPRITE: {
      std::vector<SpriteObject*> links;
      if (ErrorCode e = linkSources(L, id, automatic, &links, &width, &height)) return e;
      if (ErrorCode e = addLinkedSprite(L, &id, automatic, links, width, height, -1, nullptr))
        return e;
      return automatic ? PushObjectId(L, id) : 0;
    }
    default:
      return ERR_WRONGUSAGE;
  }
  SpriteFrames frames{};
  if (ErrorCode e = set.handOver(&frames)) return e;
  if (ErrorCode e =
          AddSpriteObject(L, &id, automatic, width, height, keyColour, &frames, nullptr)) {
    freeFrameArrays(&frames);
    return e;
  }
  return automatic ? PushObjectId(L, id) : 0;
}

// CreateSprite(id or Nil, type, source, ...).
int cmdCreateSprite(VmState* L) {
  CheckArgCount(L, 3, 255, 0, 0);
  if (drawContext.spriteBuild) return drawContext.spriteBuild(L);
  return buildSprite(L);
}

// LoadSprite(id, file[, options]): the anim loader makes sprites.
int cmdLoadSprite(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  if (!drawContext.spriteLoad) return ERR_UNSUPPORTEDFEAT;
  return drawContext.spriteLoad(L);
}

// CopySprite(source, target or Nil).
int cmdCopySprite(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  const ObjectId source = GetObjectIdArg(L, 1, nullptr);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 2, &automatic);
  if (!automatic && sameId(source, id)) return ERR_WRONGUSAGE;
  SpriteObject* s = nullptr;
  if (ErrorCode e = GetSpriteObject(source, &s, 0)) return e;
  ObjectDataEntry* data = nullptr;
  if (ErrorCode e = CopyObjectDataList(L, s->head.data, &data)) return e;
  SpriteObject* made = nullptr;
  ErrorCode e = ERR_NONE;
  if (s->links) {
    std::vector<SpriteObject*> links;
    for (SpriteObject** l = s->links; *l; ++l) links.push_back(*l);
    e = addLinkedSprite(L, &id, automatic, links, s->width, s->height, s->keyColour, &made);
  } else {
    FrameSet set;
    for (int32_t i = 0; i < s->frameCount && !e; ++i) {
      BitmapHandle *b = nullptr, *m = nullptr, *a = nullptr;
      if ((e = GetSpriteFrame(s, i, &b, &m, &a))) break;
      BitmapHandle *fb = nullptr, *fm = nullptr, *fa = nullptr;
      if ((e = ConvertBitmap(b, m, a, 0, 0, s->width, s->height, 0, 0, nullptr, nullptr, &fb, &fm,
                             &fa)))
        break;
      set.add(fb, fm, fa);
    }
    SpriteFrames frames{};
    if (!e) e = set.handOver(&frames);
    if (!e) {
      e = AddSpriteObject(L, &id, automatic, s->width, s->height, s->keyColour, &frames, &made);
      if (e) freeFrameArrays(&frames);
    }
  }
  if (e) {
    FreeObjectDataList(L, &data);
    return e;
  }
  made->head.data = data;
  return automatic ? PushObjectId(L, id) : 0;
}

int cmdFreeSprite(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  return FreeSpriteById(L, GetObjectIdArg(L, 1, nullptr), 1);
}

// DisplaySprite(id, x, y[, frame]).
int cmdDisplaySprite(VmState* L) {
  CheckArgCount(L, 3, 4, 0, 0);
  if (ErrorCode e = checkSpriteOutput(GetCurrentDisplay())) return e;
  const ObjectId id = GetObjectIdArg(L, 1, nullptr);
  return DisplaySpriteCore(L, id, VmTruncInt32(VmCheckNumber(L, 2)),
                           VmTruncInt32(VmCheckNumber(L, 3)), VmOptInteger(L, 4, 0));
}

ErrorCode notOnScreen(ObjectId id) {
  if (id.autoId) return ERR_SPRITEONSCREEN2;
  SetErrorArgNumber(id.number);
  return ERR_SPRITEONSCREEN;
}

// RemoveSprite(id).
int cmdRemoveSprite(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  DisplayRecord* d;
  if (ErrorCode e = checkedDisplay(&d)) return e;
  const ObjectId id = GetObjectIdArg(L, 1, nullptr);
  SpriteObject* s = nullptr;
  if (ErrorCode e = GetSpriteObject(id, &s, 0)) return e;
  SpriteInstance* inst = FindSpriteInstance(id, nullptr);
  if (!inst) return notOnScreen(id);
  UnlinkSpriteInstance(d->bgpic, inst);
  const int32_t x = inst->x, y = inst->y, w = inst->width, h = inst->height;
  FreeMemory(inst);
  RedrawSpriteArea(L, d, x, y, w, h);
  return 0;
}

// RemoveSprites([keep]): with keep the sprites' last images stay in the
// display's picture.
int cmdRemoveSprites(VmState* L) {
  CheckArgCount(L, 0, 1, 0, 0);
  DisplayRecord* d;
  if (ErrorCode e = checkedDisplay(&d)) return e;
  const int keep = VmOptInteger(L, 1, 0) != 0;
  BGPic* pic = d->bgpic;
  if (!pic) return 0;
  for (auto* i = static_cast<SpriteInstance*>(pic->sprites); i; i = i->next)
    if (!i->video && i->sprite && static_cast<SpriteObject*>(i->sprite)->useCount)
      return ERR_LOCKEDOBJ;
  if (keep && d->windowBitmap) {
    DrawSpriteInstances(pic, d->windowBitmap, 0, 0, 0, 0, d->windowBitmap->width,
                        d->windowBitmap->height);
    for (auto* i = static_cast<SpriteInstance*>(pic->sprites); i;) {
      SpriteInstance* next = i->next;
      if (!i->video) {
        UnlinkSpriteInstance(pic, i);
        FreeMemory(i);
      }
      i = next;
    }
    return 0;
  }
  for (auto* i = static_cast<SpriteInstance*>(pic->sprites); i;) {
    SpriteInstance* next = i->next;
    if (!i->video) {
      UnlinkSpriteInstance(pic, i);
      const int32_t x = i->x, y = i->y, w = i->width, h = i->height;
      FreeMemory(i);
      RedrawSpriteArea(L, d, x, y, w, h);
    }
    i = next;
  }
  return 0;
}

// SetSpriteZPos(id, z): 1 the back, 0 the front.
int cmdSetSpriteZPos(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  DisplayRecord* d;
  if (ErrorCode e = checkedDisplay(&d)) return e;
  const ObjectId id = GetObjectIdArg(L, 1, nullptr);
  const int32_t z = VmTruncInt32(VmCheckNumber(L, 2));
  SpriteObject* s = nullptr;
  if (ErrorCode e = GetSpriteObject(id, &s, 0)) return e;
  int32_t index = -1;
  SpriteInstance* inst = FindSpriteInstance(id, &index);
  if (!inst) return notOnScreen(id);
  const int32_t count = CountSpriteInstances(d->bgpic);
  if (z < 0 || int64_t{z} - 1 == index || (z == 0 && index == count - 1)) return ERR_WRONGUSAGE;
  BGPic* pic = d->bgpic;
  UnlinkSpriteInstance(pic, inst);
  // Sprites keep before the video instances: place z among the sprites.
  const int32_t target = z == 0 || z > count ? count : z;
  auto** link = reinterpret_cast<SpriteInstance**>(&pic->sprites);
  for (int32_t place = 1; place < target && *link && !(*link)->video; ++place)
    link = &(*link)->next;
  inst->next = *link;
  *link = inst;
  RedrawSpriteArea(L, d, inst->x, inst->y, inst->width, inst->height);
  return 0;
}

// The sprite that flip and scale may change: off screen, not linked.
ErrorCode changeableSprite(VmState* L, SpriteObject** out) {
  const ObjectId id = GetObjectIdArg(L, 1, nullptr);
  if (ErrorCode e = GetSpriteObject(id, out, SPRITE_MODIFY)) return e;
  for (const BGPic* pic = GetCurrentDisplay() ? GetCurrentDisplay()->bgpic : nullptr; pic;
       pic = nullptr)
    for (auto* i = static_cast<const SpriteInstance*>(pic->sprites); i; i = i->next)
      if (i->sprite == *out) return ERR_MODIFYSPRITE;
  if (SpriteIsLinked(*out)) return ERR_MODIFYSPRITE2;
  if (!(*out)->bitmaps) return ERR_LOCKBMAP;
  return ERR_NONE;
}

// FlipSprite(id, horizontal).
int cmdFlipSprite(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  SpriteObject* s = nullptr;
  if (ErrorCode e = changeableSprite(L, &s)) return e;
  const int vertical = VmCheckInteger(L, 2) == 0;
  for (int32_t i = 0; i < s->frameCount; ++i)
    if (ErrorCode e = FlipBitmap(s->bitmaps[i], s->masks ? s->masks[i] : nullptr,
                                 s->alphas ? s->alphas[i] : nullptr, s->width, s->height, vertical))
      return e;
  return 0;
}

int32_t sizeArgument(VmState* L, int index, int32_t base) {
  int percent = 0;
  const double v = GetNumberArgEx(L, index, 0, 1, &percent);
  if (percent) return std::max(1, VmTruncInt32(v * base));
  return VmTruncInt32(v);
}

// ScaleSprite(id, width, height[, smooth]).
int cmdScaleSprite(VmState* L) {
  CheckArgCount(L, 3, 4, 0, 0);
  SpriteObject* s = nullptr;
  if (ErrorCode e = changeableSprite(L, &s)) return e;
  int32_t width = sizeArgument(L, 2, s->width), height = sizeArgument(L, 3, s->height);
  const int32_t smooth = VmOptInteger(L, 4, 0) != 0;
  if (ErrorCode e = ResolveKeepAspectSize(s->width, s->height, &width, &height)) return e;
  if (width < 1 || height < 1) return ERR_WRONGUSAGE;
  if (width == s->width && height == s->height) return 0;
  FrameSet set;
  for (int32_t i = 0; i < s->frameCount; ++i) {
    BitmapHandle *b = nullptr, *m = nullptr, *a = nullptr;
    if (ErrorCode e = TransformBitmap(s->bitmaps[i], s->masks ? s->masks[i] : nullptr,
                                      s->alphas ? s->alphas[i] : nullptr, 0, 0, nullptr, s->width,
                                      s->height, width, height, smooth, &b, &m, &a))
      return e;
    set.add(b, m, a);
  }
  for (int32_t i = 0; i < s->frameCount; ++i) {
    FreeBitmap(s->bitmaps[i]);
    s->bitmaps[i] = set.bitmaps[i];
    if (s->masks) {
      FreeBitMask(s->masks[i]);
      s->masks[i] = set.masks[i];
    } else {
      FreeBitMask(set.masks[i]);
    }
    if (s->alphas) {
      FreeAlphaChannel(s->alphas[i]);
      s->alphas[i] = set.alphas[i];
    } else {
      FreeAlphaChannel(set.alphas[i]);
    }
  }
  set.bitmaps.clear();
  set.masks.clear();
  set.alphas.clear();
  s->width = width;
  s->height = height;
  return 0;
}

int readSpriteAttribute(VmState* L, int32_t attribute) {
  if (attribute == ATTRCOUNT) {
    int32_t count = 0;
    for (SpriteObject* s = FirstSpriteObject(); s;
         s = reinterpret_cast<SpriteObject*>(s->head.next))
      if (!s->copyForLayers) count++;
    VmPushNumber(L, count);
    return 1;
  }
  const ObjectId id = GetObjectIdArg(L, 2, nullptr);
  SpriteObject* s = nullptr;
  if (ErrorCode e = GetSpriteObject(id, &s, 0)) return e;
  int32_t index = -1;
  const SpriteInstance* inst = FindSpriteInstance(id, &index);
  BitmapHandle *b = nullptr, *m = nullptr, *a = nullptr;
  GetSpriteFrame(s, inst ? inst->frame - 1 : 0, &b, &m, &a);
  double value = 0;
  switch (attribute) {
    case ATTRWIDTH:
      value = s->width;
      break;
    case ATTRHEIGHT:
      value = s->height;
      break;
    case ATTRTRANSPARENTCOLOR:
      value = static_cast<double>(s->keyColour);
      break;
    case ATTRXPOS:
      value = inst ? inst->x : 0;
      break;
    case ATTRYPOS:
      value = inst ? inst->y : 0;
      break;
    case ATTRNUMFRAMES:
      value = s->frameCount;
      break;
    case ATTRCURFRAME:
      value = inst ? inst->frame : 0;
      break;
    case ATTRHASMASK:
      value = m != nullptr;
      break;
    case ATTRHASALPHA:
      value = a != nullptr;
      break;
    case ATTRONSCREEN:
      value = inst != nullptr;
      break;
    case ATTRZPOS:
      value = inst ? index + 1 : 0;
      break;
    default:
      return ERR_UNKNOWNATTR;
  }
  VmPushNumber(L, value);
  return 1;
}

const CommandTableEntry SPRITE_COMMANDS[] = {
    {"LoadSprite", cmdLoadSprite},
    {"CreateSprite", cmdCreateSprite},
    {"CopySprite", cmdCopySprite},
    {"FreeSprite", cmdFreeSprite},
    {"DisplaySprite", cmdDisplaySprite},
    {"RemoveSprite", cmdRemoveSprite},
    {"RemoveSprites", cmdRemoveSprites},
    {"SetSpriteZPos", cmdSetSpriteZPos},
    {"FlipSprite", cmdFlipSprite},
    {"ScaleSprite", cmdScaleSprite},
    {nullptr, nullptr},
};

}  // namespace

void SetSpriteBuildHook(SpriteBuildHook hook) { drawContext.spriteBuild = hook; }
void SetSpriteLoadHook(SpriteBuildHook hook) { drawContext.spriteLoad = hook; }

ErrorCode OpenSpriteLibrary(VmState* L) {
  if (ErrorCode e = RegisterLibrary(SPRITE_COMMANDS, "sprite")) return e;
  VmRegisterFunctions(L, nullptr, SPRITE_COMMANDS, 0);
  if (ErrorCode e = RegisterObjectList(&drawContext.spriteList)) return e;
  if (ErrorCode e = RegisterAttributeReader(OBJTYPE_SPRITE, readSpriteAttribute)) return e;
  SetSpriteRestoreHook(RestoreSpriteBitmaps);
  return ERR_NONE;
}
