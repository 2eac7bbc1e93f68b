// Text objects: formatted text rendered once into an image with a mask or
// alpha channel and kept under a script identifier with its request, so
// that scaling and rotation render the text anew instead of resampling.
//
// Invariant: an object that a layer shows is never freed under it: a
// change first gives the layers a private copy, a free only flags it
// released (invisible to scripts) until its last layer goes.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "draw/draw.h"
#include "engine/engine.h"
#include "engine/optiontable.h"
#include "text/layout_private.h"
#include "text/text.h"

namespace {

struct TextObjectList {
  ObjectHead* head = nullptr;
  bool registered = false;
};
TextObjectList objects;

bool sameId(const ObjectHead* h, ObjectId id) {
  return id.autoId ? h->autoId == id.autoId : (!h->autoId && h->number == id.number);
}

ObjectId idOf(const TextObject* o) {
  return o->head.autoId ? ObjectId{o->head.autoId, 0} : ObjectId{nullptr, o->head.number};
}

void append(TextObject* o) {
  ObjectHead** tail = &objects.head;
  while (*tail) tail = &(*tail)->next;
  *tail = &o->head;
}

void unlink(TextObject* o) {
  for (ObjectHead** p = &objects.head; *p; p = &(*p)->next)
    if (*p == &o->head) {
      *p = o->head.next;
      return;
    }
}

void freeImages(TextObject* o) {
  FreeBitmap(o->bitmap);
  FreeBitMask(o->mask);
  FreeAlphaChannel(o->alpha);
  o->bitmap = o->mask = o->alpha = nullptr;
}

void deleteObject(VmState* L, TextObject* o) {
  unlink(o);
  freeImages(o);
  FreeTextRecord(&o->record);
  if (L) FreeObjectDataList(L, &o->head.data);
  FreeMemory(o);
}

// A new object (not yet listed) with its image and request.
ErrorCode newObject(ObjectId id, int automatic, const TextImageResult& image,
                    const TextRecord& record, TextObject** out) {
  auto* o = static_cast<TextObject*>(AllocMemory(sizeof(TextObject), 1));
  if (!o) return ERR_MEM;
  if (ErrorCode e = CopyTextRecord(&record, &o->record)) {
    FreeMemory(o);
    return e;
  }
  o->head.type = OBJTYPE_TEXTOBJECT;
  o->head.number = automatic ? 0 : id.number;
  o->head.autoId = automatic ? o : nullptr;
  o->bitmap = image.bitmap;
  o->mask = image.mask;
  o->alpha = image.alpha;
  o->width = o->baseWidth = image.width;
  o->height = o->baseHeight = image.height;
  o->originX = image.originX;
  o->originY = image.originY;
  CopyDefaultTransform(&o->transform);
  *out = o;
  return ERR_NONE;
}

ErrorCode findObject(ObjectId id, bool released, TextObject** out) {
  for (ObjectHead* h = objects.head; h; h = h->next) {
    auto* o = reinterpret_cast<TextObject*>(h);
    if (o->released && !released) continue;
    if (sameId(h, id)) {
      *out = o;
      return ERR_NONE;
    }
  }
  *out = nullptr;
  if (id.autoId) return ERR_FINDARRAY;
  SetErrorArgNumber(id.number);
  return ERR_FINDTEXTOBJECT;
}

int readTextObjectAttribute(VmState* L, int32_t attribute) {
  if (attribute == ATTRCOUNT) {
    int32_t n = 0;
    for (ObjectHead* h = objects.head; h; h = h->next)
      if (!reinterpret_cast<TextObject*>(h)->released) ++n;
    VmPushNumber(L, n);
    return 1;
  }
  TextObject* o = nullptr;
  if (ErrorCode e = GetTextObject(L, GetObjectIdArg(L, 2, nullptr), &o, 0)) return e;
  if (PushTextAttribute(L, attribute, &o->record)) return 1;
  switch (attribute) {
    case ATTRWIDTH:
      VmPushNumber(L, o->width);
      return 1;
    case ATTRHEIGHT:
      VmPushNumber(L, o->height);
      return 1;
    default:
      return ERR_UNKNOWNATTR;
  }
}

// The request of CreateTextObject's arguments from index 2 on.
ErrorCode readRequest(VmState* L, TextRecord* r) {
  int n = VmGetTop(L);
  const char* text = VmCheckString(L, 2, nullptr);
  r->style = *GetCurrentTextStyle();
  r->align = ALIGN_LEFT;
  r->encoding = GetDefaultTextEncoding();
  if (n == 3 && VmType(L, 3) == VM_TYPE_TABLE) {
    uint32_t colour = r->style.fontColor;
    const OptionField rows[] = {
        {.name = "align", .type = OPTION_INT, .to = &r->align},
        {.name = "wordwrap", .type = OPTION_INT, .to = &r->wrapWidth},
        {.name = "encoding", .type = OPTION_INT, .to = &r->encoding},
        {.name = "color", .type = OPTION_BITS, .to = &colour},
    };
    if (ErrorCode e = ReadOptionTable(L, 3, rows)) return e;
    r->style.fontColor = colour;
  } else {
    r->align = VmOptInteger(L, 3, ALIGN_LEFT);
    r->wrapWidth = VmOptInteger(L, 4, 0);
    r->encoding = VmOptInteger(L, 5, r->encoding);
  }
  if (r->wrapWidth < 0 || r->encoding < 0 || r->encoding > 1) return ERR_WRONGUSAGE;
  return SetTextRecordText(r, text);
}

int cmdCreateTextObject(VmState* L) {
  CheckArgCount(L, 2, 5, 0, 0);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 1, &automatic);
  TextRecord r{};
  ErrorCode e = readRequest(L, &r);
  if (!e && !automatic) e = FreeTextObjectById(L, id, 0);
  TextImageResult image{};
  DisplayTransform t;
  CopyDefaultTransform(&t);
  if (!e) e = DrawFormattedText(L, &r, LAYER_TEXTOBJECT, TEXTDRAW_RERENDER, &t, nullptr, &image);
  TextObject* o = nullptr;
  if (!e) {
    e = newObject(id, automatic, image, r, &o);
    if (e) {
      FreeBitmap(image.bitmap);
      FreeBitMask(image.mask);
      FreeAlphaChannel(image.alpha);
    }
  }
  FreeTextRecord(&r);
  if (e) return e;
  append(o);
  if (automatic) return PushObjectId(L, ObjectId{o, 0});
  return 0;
}

int cmdDisplayTextObject(VmState* L) {
  CheckArgCount(L, 3, 4, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  int32_t x = VmCheckInteger(L, 2), y = VmCheckInteger(L, 3);
  return ShowTextObject(L, -1, id, x, y, VmGetTop(L) >= 4 ? 4 : 0, nullptr, 0);
}

int cmdFreeTextObject(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  return FreeTextObjectById(L, GetObjectIdArg(L, 1, nullptr), 1);
}

int cmdCopyTextObject(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  ObjectId source = GetObjectIdArg(L, 1, nullptr);
  int automatic = 0;
  ObjectId destination = GetObjectIdArg(L, 2, &automatic);
  if (!automatic && !source.autoId && source.number == destination.number) return ERR_WRONGUSAGE;
  TextObject* from = nullptr;
  if (ErrorCode e = GetTextObject(L, source, &from, 0)) return e;
  if (!automatic) {
    if (ErrorCode e = FreeTextObjectById(L, destination, 0)) return e;
  }
  TextObject* copy = nullptr;
  if (ErrorCode e = CopyTextObjectCore(L, from, destination, automatic, &copy)) return e;
  if (automatic) return PushObjectId(L, ObjectId{copy, 0});
  return 0;
}

// Rotation and scaling: a new matrix from the base size, the new size and
// the rotation, and the request rendered anew through it.
ErrorCode transformTextObject(VmState* L, ObjectId id, const int32_t* size, const double* angle) {
  TextObject* o = nullptr;
  if (ErrorCode e = GetTextObject(L, id, &o, 1)) return e;
  DisplayTransform t = o->transform;
  if (size) {
    int32_t w = size[0], h = size[1];
    if (w == KEEPASPRAT || h == KEEPASPRAT) {
      if (ErrorCode e = ResolveKeepAspectSize(o->baseWidth, o->baseHeight, &w, &h)) return e;
    }
    if (w <= 0 || h <= 0) return ERR_BADDIMENSIONS;
    t.width = w;
    t.height = h;
  }
  if (angle) t.rotate = std::fmod(*angle, 360.0);
  int32_t w = t.width > 0 ? t.width : o->baseWidth, h = t.height > 0 ? t.height : o->baseHeight;
  double m[4];
  BuildRotateScaleMatrix(m, w, h, o->baseWidth, o->baseHeight, 1.0, 1.0, t.rotate);
  t.m11 = m[0];
  t.m12 = m[1];
  t.m21 = m[2];
  t.m22 = m[3];
  t.scaleX = static_cast<double>(w) / o->baseWidth;
  t.scaleY = static_cast<double>(h) / o->baseHeight;
  TextImageResult image{};
  if (ErrorCode e = DrawFormattedText(L, &o->record, LAYER_TEXTOBJECT,
                                      TEXTDRAW_RERENDER | TEXTDRAW_KEEPLAYER, &t, nullptr, &image))
    return e;
  freeImages(o);
  o->bitmap = image.bitmap;
  o->mask = image.mask;
  o->alpha = image.alpha;
  o->width = image.width;
  o->height = image.height;
  bool unrotated = std::fmod(t.rotate, 360.0) == 0;
  o->originX = unrotated ? image.originX : 0;
  o->originY = unrotated ? image.originY : 0;
  o->transform = t;
  return ERR_NONE;
}

int32_t sizeArgument(VmState* L, int index, int32_t base) {
  if (VmType(L, index) == VM_TYPE_NONE) return base;
  return VmNumberToInteger(VmCheckNumber(L, index));
}

int cmdScaleTextObject(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  TextObject* o = nullptr;
  if (ErrorCode e = GetTextObject(L, id, &o, 0)) return e;
  int32_t size[2] = {sizeArgument(L, 2, o->baseWidth), sizeArgument(L, 3, o->baseHeight)};
  return transformTextObject(L, id, size, nullptr);
}

int cmdRotateTextObject(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  double angle = VmCheckNumber(L, 2);
  return transformTextObject(L, id, nullptr, &angle);
}

// ---- The layer kind of text objects ----

ErrorCode objectBitmaps(VmState*, qmLayer* layer, LayerImageState*, int32_t, LayerTriple* out,
                        int32_t* width, int32_t* height) {
  TextObject* o = nullptr;
  if (ErrorCode e = findObject(layer->sourceId, true, &o)) return e;
  *out = LayerTriple{o->bitmap, o->mask, o->alpha};
  *width = o->width;
  *height = o->height;
  return ERR_NONE;
}

// The font and text attributes of a layer: a text object layer answers
// with its object's request, a TextOut or Print layer with the request it
// keeps for rendering again.
int readLayerTextAttribute(VmState* L, qmLayer* layer, int32_t attribute) {
  if (layer->type == LAYER_TEXTOBJECT) {
    TextObject* o = nullptr;
    return findObject(layer->sourceId, true, &o) == ERR_NONE &&
           PushTextAttribute(L, attribute, &o->record);
  }
  for (const LayerImageState* s : {layer->base, layer->unscaled, layer->display})
    if (s && s->kindData)
      return PushTextAttribute(L, attribute, static_cast<const TextRecord*>(s->kindData));
  return 0;
}

// A transformed text-object layer renders the object's request anew.
ErrorCode renderObjectLayer(VmState* L, qmLayer* layer, LayerImageState* state,
                            DisplayTransform transform, uint32_t) {
  TextObject* o = nullptr;
  if (ErrorCode e = findObject(layer->sourceId, true, &o)) return e;
  TextImageResult image{};
  if (ErrorCode e =
          DrawFormattedText(L, &o->record, LAYER_TEXTOBJECT, TEXTDRAW_RERENDER | TEXTDRAW_KEEPLAYER,
                            &transform, nullptr, &image))
    return e;
  FreeBitmap(state->transformed.bitmap);
  FreeBitMask(state->transformed.mask);
  FreeAlphaChannel(state->transformed.alpha);
  state->transformed = LayerTriple{image.bitmap, image.mask, image.alpha};
  int32_t w0 = std::max(o->width, 1), h0 = std::max(o->height, 1);
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

void flushObjects(VmState* L) { FreeReleasedTextObjects(L); }

const LayerKind TEXTOBJECT_KIND{LAYER_TEXTOBJECT, renderObjectLayer, objectBitmaps, nullptr,
                                nullptr,          nullptr,           flushObjects,  nullptr};

// ConvertToBrush and the transitions take copies of an object's image.
ErrorCode copyObjectImage(VmState* L, ObjectId id, BitmapHandle** bitmap, BitmapHandle** mask,
                          BitmapHandle** alpha, int32_t* width, int32_t* height) {
  TextObject* o = nullptr;
  if (ErrorCode e = GetTextObject(L, id, &o, 0)) return e;
  if (ErrorCode e = ConvertBitmap(o->bitmap, o->mask, o->alpha, 0, 0, o->width, o->height, 0, 0,
                                  nullptr, nullptr, bitmap, mask, alpha))
    return e;
  *width = o->width;
  *height = o->height;
  return ERR_NONE;
}

ErrorCode showObjectLayer(VmState* L, ObjectId id, int32_t x, int32_t y) {
  return ShowTextObject(L, -1, id, x, y, 0, nullptr, 0);
}

const TextObjectDrawHooks DRAW_HOOKS{copyObjectImage, showObjectLayer};

const CommandTableEntry TEXTOBJECT_COMMANDS[] = {
    {"CreateTextObject", cmdCreateTextObject},
    {"DisplayTextObject", cmdDisplayTextObject},
    {"FreeTextObject", cmdFreeTextObject},
    {"ScaleTextObject", cmdScaleTextObject},
    {"CopyTextObject", cmdCopyTextObject},
    {"RotateTextObject", cmdRotateTextObject},
    {nullptr, nullptr},
};

}  // namespace

ErrorCode GetTextObject(VmState* L, ObjectId id, TextObject** out, uint32_t flags) {
  if (ErrorCode e = findObject(id, (flags & 2) != 0, out)) return e;
  TextObject* o = *out;
  if (!(flags & 1)) return ERR_NONE;
  if (o->locked) return ERR_LOCKEDOBJ;
  if (!(flags & 4) && IsObjectOnLayer(LAYER_TEXTOBJECT, idOf(o))) {
    // The layers keep showing the look they had: they move to a private
    // copy, hidden from the script.
    TextObject* copy = nullptr;
    if (ErrorCode e = CopyTextObjectCore(L, o, ObjectId{nullptr, 0}, 1, &copy)) return e;
    copy->released = 1;
    RepointLayers(LAYER_TEXTOBJECT, idOf(o), ObjectId{copy, 0});
  }
  return ERR_NONE;
}

ErrorCode CopyTextObjectCore(VmState* L, TextObject* source, ObjectId destination, int automatic,
                             TextObject** out) {
  TextImageResult image{};
  image.width = source->width;
  image.height = source->height;
  image.originX = source->originX;
  image.originY = source->originY;
  if (ErrorCode e = ConvertBitmap(source->bitmap, source->mask, source->alpha, 0, 0, source->width,
                                  source->height, 0, 0, nullptr, nullptr, &image.bitmap,
                                  &image.mask, &image.alpha))
    return VmBitmapFailureAsMem(e);
  TextObject* copy = nullptr;
  if (ErrorCode e = newObject(destination, automatic, image, source->record, &copy)) {
    FreeBitmap(image.bitmap);
    FreeBitMask(image.mask);
    FreeAlphaChannel(image.alpha);
    return e;
  }
  copy->baseWidth = source->baseWidth;
  copy->baseHeight = source->baseHeight;
  copy->transform = source->transform;
  if (ErrorCode e = CopyObjectDataList(L, source->head.data, &copy->head.data)) {
    deleteObject(L, copy);
    return e;
  }
  append(copy);
  if (out) *out = copy;
  return ERR_NONE;
}

ErrorCode FreeTextObjectById(VmState* L, ObjectId id, int strict) {
  TextObject* o = nullptr;
  ErrorCode e = GetTextObject(L, id, &o, 1 | 4);
  if (e) return strict || e == ERR_LOCKEDOBJ ? e : ERR_NONE;
  ObjectId own = idOf(o);
  if (IsObjectOnLayer(LAYER_TEXTOBJECT, own)) {
    // The layers keep it; the identifier is free for a new object at once.
    o->head.number = 0;
    o->head.autoId = o;
    o->released = 1;
    RepointLayers(LAYER_TEXTOBJECT, own, ObjectId{o, 0});
    return ERR_NONE;
  }
  deleteObject(L, o);
  return ERR_NONE;
}

void FreeReleasedTextObjects(VmState* L) {
  ObjectHead* h = objects.head;
  while (h) {
    auto* o = reinterpret_cast<TextObject*>(h);
    h = h->next;
    if (o->released && !IsObjectOnLayer(LAYER_TEXTOBJECT, ObjectId{o, 0})) deleteObject(L, o);
  }
}

void FreeAllTextObjects(VmState* L) {
  while (objects.head) deleteObject(L, reinterpret_cast<TextObject*>(objects.head));
}

ErrorCode AddTextObjectLayer(VmState* L, TextObject* object, int32_t x, int32_t y,
                             const DisplayTransform* transform, const ObjectStyle* style,
                             int32_t position, uint32_t flags, qmLayer** out) {
  LayerImageState* state = AllocLayerImageState();
  if (!state) return ERR_MEM;
  state->requestedWidth = object->width;
  state->requestedHeight = object->height;
  ObjectId id = idOf(object);
  return NewLayer(L, LAYER_TEXTOBJECT, &id, x, y, object->width, object->height, transform, style,
                  nullptr, nullptr, nullptr, state, position, flags, out);
}

ErrorCode ShowTextObject(VmState* L, int32_t position, ObjectId id, int32_t x, int32_t y,
                         int optionsIndex, const DisplayTransform* transform, uint32_t flags) {
  TextObject* o = nullptr;
  if (ErrorCode e = GetTextObject(L, id, &o, 0)) return e;
  DisplayTransform t = transform ? *transform : o->transform;
  ObjectStyle os;
  CopyDefaultObjectStyle(&os);
  os.shadow.on = os.border.on = 0;
  if (!transform && optionsIndex > 0) {
    if (ErrorCode e =
            ParseDisplayOptions(L, optionsIndex, o->baseWidth, o->baseHeight, 0, 0,
                                (o->record.style.flags & TEXTSTYLE_ANTIALIAS) != 0, &t, &os, 0))
      return e;
  }
  if (ErrorCode e = PrepareOutputTarget(L)) return e;
  DisplayRecord* d = GetOutputDisplay();
  int32_t ow = 0, oh = 0;
  GetOutputTargetSize(d, &ow, &oh);
  int32_t rx = ResolveXPos(x, o->width, ow, t.anchorX);
  int32_t ry = ResolveYPos(y, o->height, oh, t.anchorY);
  const bool identity = t.m11 == 1 && t.m12 == 0 && t.m21 == 0 && t.m22 == 1;
  if (d->layers) {
    qmLayer* layer = nullptr;
    if (ErrorCode e = AddTextObjectLayer(L, o, rx + o->originX, ry + o->originY, &t, &os, position,
                                         flags, &layer))
      return e;
    // Shown where the display shows it (at the display's scale, when the
    // display scales its layers).
    if (identity && !os.effects && !layer->hidden) {
      const LayerImageState* s = layer->display;
      RefreshRect(L, s->x, s->y, s->width, s->height);
    }
    return ERR_NONE;
  }
  // Layers off: a transformed object is rendered anew at that transform.
  TextImageResult image{};
  if (!identity) {
    if (ErrorCode e =
            DrawFormattedText(L, &o->record, LAYER_TEXTOBJECT,
                              TEXTDRAW_RERENDER | TEXTDRAW_KEEPLAYER, &t, nullptr, &image))
      return e;
  } else if (os.effects || os.transparency) {
    if (ErrorCode e = ConvertBitmap(o->bitmap, o->mask, o->alpha, 0, 0, o->width, o->height, 0, 0,
                                    nullptr, nullptr, &image.bitmap, &image.mask, &image.alpha))
      return e;
    image.width = o->width;
    image.height = o->height;
    image.originX = o->originX;
    image.originY = o->originY;
  }
  if (!image.bitmap) {
    return BlitToOutputTarget(L, o->bitmap, o->mask, o->alpha, o->width, o->height, rx + o->originX,
                              ry + o->originY);
  }
  ErrorCode e =
      ApplyDrawEffects(&os, image.bitmap, &image.mask, &image.alpha, image.width, image.height);
  if (!e)
    e = BlitToOutputTarget(L, image.bitmap, image.mask, image.alpha, image.width, image.height,
                           rx + image.originX, ry + image.originY);
  FreeBitmap(image.bitmap);
  FreeBitMask(image.mask);
  FreeAlphaChannel(image.alpha);
  return e;
}

ErrorCode OpenTextObjectCommands(VmState* L) {
  if (ErrorCode e = RegisterLibrary(TEXTOBJECT_COMMANDS, "text")) return e;
  VmRegisterFunctions(L, nullptr, TEXTOBJECT_COMMANDS, 0);
  if (ErrorCode e = RegisterObjectList(&objects.head)) return e;
  if (ErrorCode e = RegisterAttributeReader(OBJTYPE_TEXTOBJECT, readTextObjectAttribute)) return e;
  RegisterLayerKind(&TEXTOBJECT_KIND);
  SetTextObjectDrawHooks(&DRAW_HOOKS);
  SetLayerTextAttributeReader(readLayerTextAttribute);
  return ERR_NONE;
}

int32_t* GetTextObjectUseCount(TextObject* object) { return &object->locked; }

void GetTextObjectImage(const TextObject* object, TextObjectImage* out) {
  *out = TextObjectImage{object->bitmap, object->mask,    object->alpha,  object->width,
                         object->height, object->originX, object->originY};
}

int PushTextAttribute(VmState* L, int32_t attribute, const TextRecord* record) {
  const FontRecord* font = record->style.font;
  switch (attribute) {
    case ATTRFONTASCENDER:
      VmPushNumber(L, font ? font->baseline : 0);
      return 1;
    case ATTRFONTDESCENDER:
      VmPushNumber(L, font ? font->height - font->baseline : 0);
      return 1;
    case ATTRFONTNAME:
      VmPushString(L, font ? font->name : "");
      return 1;
    case ATTRFONTSIZE:
      VmPushNumber(L, font ? font->requestedSize : 0);
      return 1;
    case ATTRFONTSCALABLE:
      VmPushNumber(L, font && font->scalable ? 1 : 0);
      return 1;
    case ATTRFONTAA:
      VmPushNumber(L, (record->style.flags & TEXTSTYLE_ANTIALIAS) != 0 ? 1 : 0);
      return 1;
    case ATTRTEXT:
      VmPushString(L, record->text ? record->text : "");
      return 1;
    default:
      return 0;
  }
}
