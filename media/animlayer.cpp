// Anims shown as layers: the layer kind through which display/ draws an
// anim layer (the frame its image state shows, of the anim found by the
// layer's source id, which moves to a private copy before the anim changes
// and to the hidden record when the anim is freed), the anim layer's style
// fields "id" and "frame", and what the layer commands ask of anims.
// Invariant: a disk anim's frame decoded for a layer is cached in the image
// state that asked for it and freed with that state; an in-memory anim's
// frames are lent, never copied.
#include "display/display.h"
#include "draw/draw.h"
#include "engine/engine.h"
#include "gfx/gfx.h"
#include "media/anim_private.h"
#include "media/media.h"

namespace {

constexpr uint32_t DEFER_ANIM_FREES = 2;        // the anims' FlushDeferredFrees bit
constexpr int64_t MASKED_LAYER_KEY = 0xAFC0DE;  // the key colour of masked anim layers

// The frame of a disk anim decoded for one image state.
struct DecodedFrame {
  const AnimObject* anim;
  int32_t frame, width, height;
  LayerTriple triple;
};

void freeTriple(LayerTriple* t) {
  FreeBitmap(t->bitmap);
  FreeBitMask(t->mask);
  FreeAlphaChannel(t->alpha);
  *t = LayerTriple{};
}

void freeDecoded(VmState*, LayerImageState* state) {
  auto* cache = static_cast<DecodedFrame*>(state->kindData);
  if (!cache) return;
  freeTriple(&cache->triple);
  FreeMemory(cache);
  state->kindData = nullptr;
}

// The frame (-1: the one the state shows) at the anim's size.
ErrorCode animBitmaps(VmState* L, qmLayer* layer, LayerImageState* state, int32_t frame,
                      LayerTriple* out, int32_t* width, int32_t* height) {
  AnimObject* a = nullptr;
  if (ErrorCode e = GetAnimObject(L, layer->sourceId, &a, ANIM_PENDING)) return e;
  if (frame < 0) frame = state->frame;
  if (frame < 0 || frame >= a->frameCount) return ERR_ANIMFRAME;
  *width = a->width;
  *height = a->height;
  if (!a->fromDisk) {
    return GetAnimFrameBitmap(a, frame, 0, 0, &out->bitmap, &out->mask, &out->alpha);
  }
  auto* cache = static_cast<DecodedFrame*>(state->kindData);
  if (cache && cache->anim == a && cache->frame == frame && cache->width == a->width &&
      cache->height == a->height) {
    *out = cache->triple;
    return ERR_NONE;
  }
  LayerTriple t{};
  if (ErrorCode e = GetAnimFrameBitmap(a, frame, 1, 0, &t.bitmap, &t.mask, &t.alpha)) return e;
  if (!cache) {
    cache = static_cast<DecodedFrame*>(AllocMemory(sizeof(DecodedFrame), 1));
    if (!cache) {
      freeTriple(&t);
      return ERR_MEM;
    }
    state->kindData = cache;
  }
  freeTriple(&cache->triple);
  *cache = DecodedFrame{a, frame, a->width, a->height, t};
  *out = t;
  return ERR_NONE;
}

void flushAnims(VmState* L) { FlushPendingAnimFrees(L); }

const LayerKind ANIM_KIND{LAYER_ANIM,  nullptr, animBitmaps, nullptr,
                          freeDecoded, nullptr, flushAnims,  nullptr};

// ---- Style fields ----

int32_t listPosition(const qmLayer* layer) {
  int32_t position = 1;
  for (const Node* n = layer->node.pred; n && n->pred; n = n->pred) ++position;
  return position;
}

// "id" (another anim: its size, and the frame back to the first) and
// "frame" (1 to the count; -1 the last; 0 the next one, wrapping).
ErrorCode readAnimStyle(VmState* L, int table, LayerStyleWork* w) {
  VmPushString(L, "id");
  VmGetTable(L, table);
  bool idGiven = VmType(L, -1) != VM_TYPE_NIL;
  if (idGiven) w->id = GetObjectIdArg(L, VmGetTop(L), nullptr);
  VmSetTop(L, VmGetTop(L) - 1);
  AnimObject* a = nullptr;
  if (idGiven) {
    if (ErrorCode e = GetAnimObject(L, w->id, &a, 0)) return e;
    w->idGiven = 1;
    w->content = 1;
    w->deferFlags |= DEFER_ANIM_FREES;
    w->width = a->width;
    w->height = a->height;
  } else if (w->typeChanged) {
    return ERR_MISSINGPARAMTR;
  } else if (ErrorCode e = GetAnimObject(L, w->layer->sourceId, &a, ANIM_PENDING)) {
    return e;
  }
  int found = 0;
  int32_t frame = 0;
  if (!GetTableFieldInt(L, table, "frame", &frame, &found)) return ERR_NONE;
  const int32_t shown = idGiven || w->typeChanged ? 0 : w->layer->base->frame;
  if (frame == 0)
    frame = shown + 1 < a->frameCount ? shown + 1 : 0;
  else if (frame == -1)
    frame = a->frameCount - 1;
  else if (frame >= 1 && frame <= a->frameCount)
    frame -= 1;
  else
    return ERR_ANIMFRAME;
  w->frame = frame;
  w->frameGiven = 1;
  return ERR_NONE;
}

void writeAnimStyle(VmState* L, qmLayer* layer) {
  VmPushString(L, "id");
  PushObjectId(L, layer->sourceId);
  VmSetTable(L, -3);
  VmPushString(L, "frame");
  VmPushNumber(L, layer->base->frame + 1);
  VmSetTable(L, -3);
}

ErrorCode remakeAnimLayer(VmState* L, qmLayer* layer, LayerStyleWork* w, int32_t x, int32_t y,
                          const DisplayTransform* transform, uint32_t flags, qmLayer** out) {
  ObjectId id = w->idGiven ? w->id : layer->sourceId;
  AnimObject* a = nullptr;
  if (ErrorCode e = GetAnimObject(L, id, &a, ANIM_PENDING)) return e;
  LayerImageState* state = AllocLayerImageState();
  if (!state) return ERR_MEM;
  state->frame = w->frameGiven ? w->frame : (w->idGiven ? 0 : layer->base->frame);
  if (state->frame >= a->frameCount) state->frame = 0;
  state->requestedWidth = a->width;
  state->requestedHeight = a->height;
  return NewLayer(L, LAYER_ANIM, &id, x, y, a->width, a->height, transform, nullptr, nullptr,
                  nullptr, nullptr, state, listPosition(layer), flags, out);
}

const LayerStyleHooks ANIM_STYLE{readAnimStyle, writeAnimStyle, remakeAnimLayer, nullptr};

// ---- Services of the layer commands ----

ErrorCode makeAnim(int32_t width, int32_t height, int32_t count, uint32_t colour, int32_t mask,
                   int32_t alpha, int32_t clear, ObjectId* id) {
  AnimFrameArrays frames{};
  if (ErrorCode e = AllocAnimFrames(count, 1, &frames)) return e;
  ErrorCode e = ERR_NONE;
  for (int32_t i = 0; i < count && !e; ++i) {
    BitmapHandle* b = AllocBitmap(width, height, 0, nullptr);
    frames.bitmaps[i] = b;
    if (!b) {
      e = ERR_BITMAP;
      break;
    }
    FillBitmapRect(b, 0, 0, width, height, colour);
    if (mask) {
      frames.masks[i] = AllocBitMask(b, width, height, clear, nullptr, 0);
      if (!frames.masks[i])
        e = ERR_ALLOCMASK;
      else if (!clear)
        MaskRectOp(frames.masks[i], 0, 0, width, height, 0);
    } else if (alpha) {
      frames.alphas[i] = AllocAlphaChannel(width, height, clear, nullptr, 0);
      if (!frames.alphas[i])
        e = ERR_ALLOCALPHA;
      else if (!clear)
        FillAlphaRect(frames.alphas[i], 0, 0, width, height, 255);
    }
  }
  AnimObject* a = nullptr;
  if (!e)
    e = AddAnimObject(id, 1, width, height, &frames, mask ? MASKED_LAYER_KEY : -1, 0, 0, 0, &a);
  if (e) FreeAnimFrames(&frames, nullptr);
  return e;
}

ErrorCode freeAnim(VmState* L, ObjectId id) { return FreeAnimObject(L, id, 0); }

ErrorCode frameCount(VmState* L, ObjectId id, int32_t* count) {
  AnimObject* a = nullptr;
  if (ErrorCode e = GetAnimObject(L, id, &a, 0)) return e;
  *count = a->frameCount;
  return ERR_NONE;
}

// The layer shows a private copy of its anim from now on; the frames
// change on that copy, which goes with the layer.
ErrorCode changeFrames(VmState* L, qmLayer* layer, int32_t count, int32_t position,
                       int32_t* frames) {
  AnimObject* a = nullptr;
  if (ErrorCode e = GetAnimObject(L, layer->sourceId, &a, ANIM_PENDING)) return e;
  if (a->fromDisk) return ERR_ANIMDISK;
  AnimObject* copy = nullptr;
  if (ErrorCode e = CopyAnimObject(a, &copy)) return e;
  if (ErrorCode e = ChangeAnimFrames(copy, count, position)) {
    FlushPendingAnimFrees(L);  // the unused copy goes at once
    return e;
  }
  layer->sourceId = ObjectId{copy, 0};
  FlushPendingAnimFrees(L);  // the old anim, when it was hidden and only this layer showed it
  *frames = copy->frameCount;
  return ERR_NONE;
}

// The anim the layer shows (a hidden copy too): its frame count and the
// delay of one frame.
ErrorCode layerFrames(VmState* L, qmLayer* layer, int32_t frame, int32_t* count, int32_t* delay) {
  AnimObject* a = nullptr;
  if (ErrorCode e = GetAnimObject(L, layer->sourceId, &a, ANIM_PENDING)) return e;
  if (frame < 0 || frame >= a->frameCount) return ERR_ANIMFRAME;
  *count = a->frameCount;
  *delay = GetAnimFrameDelay(a, frame);
  return ERR_NONE;
}

const LayerAnimServices ANIM_SERVICES{makeAnim, freeAnim, frameCount, changeFrames, layerFrames};

}  // namespace

void RegisterAnimLayerKind() {
  RegisterLayerKind(&ANIM_KIND);
  RegisterLayerStyleHooks(LAYER_ANIM, &ANIM_STYLE);
  SetLayerAnimServices(&ANIM_SERVICES);
}
