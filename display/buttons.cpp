// Buttons on background pictures: rectangles with their own handler tables
// ("OnMouseOver", "OnMouseOut" and the down and up events of the three
// mouse buttons), found newest first. The dispatcher offers every queued
// mouse button event to the buttons of the picture its display shows before
// the window's handlers, and checks the pointer over them once per round.
// Invariants: a picture's list is newest first; at most one button of a
// picture has the over state; a button's handler references live exactly
// as long as the button.
#include <cstdio>
#include <cstring>

#include "display/context_private.h"
#include "display/event_private.h"
#include "display/layer_private.h"
#include "platform/linux/platform.h"

namespace {

enum : int32_t { SIMPLEBUTTON = 0, LAYERBUTTON = 1 };

// The handler names in slot order; the down and up names of mouse button
// i (0 left, 1 right, 2 middle) are 2 + 2i and 3 + 2i.
constexpr const char* HANDLER_NAMES[BUTTON_HANDLERS] = {
    "onmouseover",      "onmouseout",     "onmousedown",    "onmouseup",
    "onrightmousedown", "onrightmouseup", "onmidmousedown", "onmidmouseup"};
constexpr const char* ACTIONS[BUTTON_HANDLERS] = {
    "OnMouseOver",      "OnMouseOut",     "OnMouseDown",    "OnMouseUp",
    "OnRightMouseDown", "OnRightMouseUp", "OnMidMouseDown", "OnMidMouseUp"};
enum : int32_t { SLOT_OVER = 0, SLOT_OUT = 1 };

qmBGPicButton*& listOf(BGPic* pic) { return *reinterpret_cast<qmBGPicButton**>(&pic->buttons); }

bool sameId(const qmBGPicButton* b, ObjectId id) {
  return id.autoId ? b->head.autoId == id.autoId : (!b->head.autoId && b->head.number == id.number);
}

// The picture the button commands work on: the display's, while drawing
// goes to the display or a background picture.
ErrorCode currentPicture(BGPic** out) {
  DisplayRecord* d = GetCurrentDisplay();
  if (!d || !d->bgpic || (d->outputKind != OBJECT_DISPLAY && d->outputKind != OBJECT_BGPIC))
    return ERR_BGPICBUTTON;
  *out = d->bgpic;
  return ERR_NONE;
}

void freeButton(VmState* L, qmBGPicButton* b) {
  for (VmRef& ref : b->handlers) VmReleaseReference(L, VM_REGISTRY_INDEX, ref);
  VmReleaseReference(L, VM_REGISTRY_INDEX, b->userData);
  FreeMemory(b);
}

qmBGPicButton* unlinkButton(BGPic* pic, ObjectId id) {
  for (qmBGPicButton** link = &listOf(pic); *link; link = &(*link)->next) {
    if (!sameId(*link, id)) continue;
    qmBGPicButton* b = *link;
    *link = b->next;
    return b;
  }
  return nullptr;
}

qmBGPicButton* findButton(BGPic* pic, ObjectId id) {
  for (qmBGPicButton* b = listOf(pic); b; b = b->next)
    if (sameId(b, id)) return b;
  return nullptr;
}

ErrorCode notFound(ObjectId id) {
  if (id.autoId) return ERR_FINDARRAY;
  SetErrorArgNumber(id.number);
  return ERR_FINDBUTTON;
}

// A layer button's rectangle is where its layer is shown now, so the
// button follows the layer as it moves or changes size. The rectangle is
// in the coordinates of the layer's shown image: the display's own when
// layers are scaled with it, else the picture's.
void followLayer(qmBGPicButton* b) {
  const auto* layer = static_cast<const qmLayer*>(b->layer);
  const LayerImageState* s = layer->display ? layer->display : layer->base;
  if (!s) return;
  b->x1 = s->x;
  b->y1 = s->y;
  b->x2 = VmTruncInt32(static_cast<double>(s->x) + s->width - 1);
  b->y2 = VmTruncInt32(static_cast<double>(s->y) + s->height - 1);
}

// Reads the handler table at index into the button's references; 0 when
// the table names none of the eight handlers.
int readHandlers(VmState* L, int index, qmBGPicButton* b) {
  int found = 0;
  for (int i = 0; i < BUTTON_HANDLERS; ++i) {
    VmPushString(L, HANDLER_NAMES[i]);
    VmGetTable(L, index);
    if (VmType(L, -1) == VM_TYPE_NIL) {
      VmSetTop(L, -2);
      continue;
    }
    b->handlers[i] = VmCreateReference(L, VM_REGISTRY_INDEX);
    found = 1;
  }
  return found;
}

int cmdMakeButton(VmState* L) {
  CheckArgCount(L, 6, 8, 0, 0);
  BGPic* pic = nullptr;
  if (ErrorCode error = currentPicture(&pic)) return error;
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 1, &automatic);
  int32_t type = VmCheckInteger(L, 2);
  int32_t rect[4] = {0, 0, 0, 0};
  int32_t extra[2] = {0, 0};
  void* layer = nullptr;
  int tableIndex;
  if (type == SIMPLEBUTTON) {
    CheckArgCount(L, 7, 8, 0, 0);
    for (int i = 0; i < 4; ++i) rect[i] = VmCheckInteger(L, 3 + i);
    if (rect[2] < 1 || rect[3] < 1) return ERR_WRONGUSAGE;
    rect[0] = ResolveXPos(rect[0], rect[2], pic->width, 0.0);
    rect[1] = ResolveYPos(rect[1], rect[3], pic->height, 0.0);
    tableIndex = 7;
  } else if (type == LAYERBUTTON) {
    if (ErrorCode error = FindButtonLayer(L, 3, pic, &layer)) return error;
    // The button that this one replaces does not hold the layer.
    for (qmBGPicButton* b = listOf(pic); b; b = b->next)
      if (b->layer == layer && (automatic || !sameId(b, id))) return ERR_WRONGUSAGE;
    extra[0] = VmCheckInteger(L, 4);
    extra[1] = VmCheckInteger(L, 5);
    tableIndex = 6;
  } else {
    return ERR_WRONGUSAGE;
  }
  VmCheckTable(L, tableIndex);
  auto* b = static_cast<qmBGPicButton*>(AllocMemory(sizeof(qmBGPicButton), 1));
  if (!b) return ERR_MEM;
  for (VmRef& ref : b->handlers) ref = VM_REF_NIL;
  b->userData = VM_REF_NIL;
  if (!readHandlers(L, tableIndex, b)) {
    freeButton(L, b);
    return ERR_WRONGUSAGE;
  }
  if (VmGetTop(L) > tableIndex) {
    VmPushValue(L, tableIndex + 1);
    b->userData = VmCreateReference(L, VM_REGISTRY_INDEX);
  }
  if (!automatic) {
    if (qmBGPicButton* old = unlinkButton(pic, id)) freeButton(L, old);
  }
  b->head.number = automatic ? 0 : id.number;
  b->head.autoId = automatic ? b : id.autoId;
  b->type = type;
  b->x1 = rect[0];
  b->y1 = rect[1];
  b->x2 = rect[0] + rect[2] - 1;
  b->y2 = rect[1] + rect[3] - 1;
  b->enabled = 1;
  b->layer = layer;
  b->layerHidden = extra[0];
  b->layerExtra = extra[1];
  if (layer) followLayer(b);
  b->next = listOf(pic);
  listOf(pic) = b;
  if (!automatic) return 0;
  VmPushLightUserdata(L, b);
  return 1;
}

// Finds the button named by the first argument on the current picture.
ErrorCode buttonArg(VmState* L, BGPic** pic, ObjectId* id, qmBGPicButton** out) {
  CheckArgCount(L, 1, 1, 0, 0);
  if (ErrorCode error = currentPicture(pic)) return error;
  int automatic = 0;
  *id = GetObjectIdArg(L, 1, &automatic);
  *out = automatic ? nullptr : findButton(*pic, *id);
  return *out ? ERR_NONE : notFound(*id);
}

int cmdDeleteButton(VmState* L) {
  BGPic* pic;
  ObjectId id;
  qmBGPicButton* b;
  if (ErrorCode error = buttonArg(L, &pic, &id, &b)) return error;
  freeButton(L, unlinkButton(pic, id));
  return 0;
}

int switchButton(VmState* L, int32_t on) {
  BGPic* pic;
  ObjectId id;
  qmBGPicButton* b;
  if (ErrorCode error = buttonArg(L, &pic, &id, &b)) return error;
  b->enabled = on;
  b->over = 0;
  std::memset(b->pressed, 0, sizeof b->pressed);
  return 0;
}
int cmdEnableButton(VmState* L) { return switchButton(L, 1); }
int cmdDisableButton(VmState* L) { return switchButton(L, 0); }

int cmdDumpButtons(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  BGPic* pic = nullptr;
  if (ErrorCode error = currentPicture(&pic)) return error;
  int32_t count = 0;
  for (qmBGPicButton* b = listOf(pic); b; b = b->next) ++count;
  PrintToConsole("BUTTON SYSTEM INFO - BGPIC: %d (%p)\nsizeof(qmBGPicButton): %d\nButtons: %d\n",
                 pic->head.number, static_cast<void*>(pic), static_cast<int>(sizeof(qmBGPicButton)),
                 count);
  for (qmBGPicButton* b = listOf(pic); b; b = b->next)
    PrintToConsole("(%d) Type: %d - X1: %d - Y1: %d - X2: %d - Y2: %d\n", b->head.number, b->type,
                   b->x1, b->y1, b->x2, b->y2);
  return 0;
}

// Whether the button takes part and lies under the point (the picture's
// coordinates). A layer button takes part while its layer is visible, or
// hidden when its switch says so.
bool hit(const DisplayRecord* d, qmBGPicButton* b, int32_t x, int32_t y) {
  if (!b->enabled) return false;
  if (b->layer) {
    const auto* layer = static_cast<const qmLayer*>(b->layer);
    if ((layer->hidden || layer->pending) && !b->layerHidden) return false;
    followLayer(b);
    if (d->layerscale && d->scaleWidth > 0 && d->scaleHeight > 0) {
      x = VmTruncInt32(x * d->scaleX);
      y = VmTruncInt32(y * d->scaleY);
    }
  }
  return x >= b->x1 && x <= b->x2 && y >= b->y1 && y <= b->y2;
}

// The 1-based position of the layer among the picture's layers; 0 when
// it is not there.
int32_t layerIndex(const BGPic* pic, const void* layer) {
  int32_t i = 1;
  for (const qmLayer* l = FirstLayer(pic); l; l = NextLayer(l), ++i)
    if (l == layer) return i;
  return 0;
}

void fillMessage(ButtonMessage* m, DisplayRecord* d, qmBGPicButton* b, int32_t slot) {
  m->display = d;
  m->layerIndex = b->layer && d->bgpic ? layerIndex(d->bgpic, b->layer) : 0;
  m->button = b;
  m->handler = b->handlers[slot];
  m->userData = b->userData;
  m->action = ACTIONS[slot];
}

// The point of a queued mouse event in the picture's coordinates.
void eventPoint(const EventRecord* e, int32_t* x, int32_t* y) {
  const DisplayRecord* d = e->display;
  double px = e->args[0] - d->marginLeft, py = e->args[1] - d->marginTop;
  if (d->scaleX > 0) px /= d->scaleX;
  if (d->scaleY > 0) py /= d->scaleY;
  *x = VmTruncInt32(px);
  *y = VmTruncInt32(py);
}

}  // namespace

const CommandTableEntry BUTTON_COMMANDS[] = {
    {"MakeButton", cmdMakeButton},     {"DeleteButton", cmdDeleteButton},
    {"EnableButton", cmdEnableButton}, {"DisableButton", cmdDisableButton},
    {"DumpButtons", cmdDumpButtons},   {nullptr, nullptr},
};

const ConstantTableEntry BUTTON_CONSTANTS[] = {
    {"SIMPLEBUTTON", nullptr, SIMPLEBUTTON},
    {"LAYERBUTTON", nullptr, LAYERBUTTON},
    {nullptr, nullptr, 0},
};

int OfferToButtons(const EventRecord* e, ButtonMessage* m) {
  DisplayRecord* d = e->display;
  if (!d || !d->bgpic) return 0;
  int32_t index = e->type == EVENT_LEFTBUTTON ? 0 : e->type == EVENT_RIGHTBUTTON ? 1 : 2;
  int32_t x, y;
  eventPoint(e, &x, &y);
  bool press = e->args[2] != 0;
  for (qmBGPicButton* b = listOf(d->bgpic); b; b = b->next) {
    if (!hit(d, b, x, y)) continue;
    int32_t slot = 2 + 2 * index + (press ? 0 : 1);
    if (press) {
      b->pressed[index] = 1;
    } else {
      if (!b->pressed[index]) continue;
      b->pressed[index] = 0;
    }
    if (b->handlers[slot] == VM_REF_NIL) continue;
    fillMessage(m, d, b, slot);
    return 1;
  }
  // A release that no button took ends every press of that mouse button.
  if (!press)
    for (qmBGPicButton* b = listOf(d->bgpic); b; b = b->next) b->pressed[index] = 0;
  return 0;
}

int CheckButtonsUnderPointer(DisplayRecord* d, ButtonMessage* m) {
  if (!d || !d->bgpic || !listOf(d->bgpic) || d->state != DISPSTATE_OPEN) return 0;
  int32_t x, y;
  GetDisplayMousePosition(d, &x, &y);
  qmBGPicButton* under = nullptr;
  for (qmBGPicButton* b = listOf(d->bgpic); b && !under; b = b->next)
    if (hit(d, b, x, y)) under = b;
  for (qmBGPicButton* b = listOf(d->bgpic); b; b = b->next) {
    if (!b->over || b == under) continue;
    b->over = 0;
    if (b->handlers[SLOT_OUT] == VM_REF_NIL) continue;
    fillMessage(m, d, b, SLOT_OUT);
    return 1;
  }
  if (!under || under->over) return 0;
  under->over = 1;
  if (under->handlers[SLOT_OVER] == VM_REF_NIL) return 0;
  fillMessage(m, d, under, SLOT_OVER);
  return 1;
}

void FillButtonMessage(VmState* L, const ButtonMessage* m) {
  const qmBGPicButton* b = m->button;
  SetTableFieldId(L, "id", ObjectId{b->head.autoId, b->head.number});
  SetTableFieldInt(L, "x", b->x1);
  SetTableFieldInt(L, "y", b->y1);
  SetTableFieldInt(L, "width", b->x2 - b->x1 + 1);
  SetTableFieldInt(L, "height", b->y2 - b->y1 + 1);
  SetTableFieldInt(L, "mousedown", b->pressed[0]);
  SetTableFieldInt(L, "rightmousedown", b->pressed[1]);
  SetTableFieldInt(L, "midmousedown", b->pressed[2]);
  if (m->display)
    SetTableFieldId(L, "display", ObjectId{m->display->head.autoId, m->display->head.number});
  if (b->layer && m->layerIndex > 0) {
    const auto* layer = static_cast<const qmLayer*>(b->layer);
    SetTableFieldInt(L, "layer", m->layerIndex);
    SetTableFieldString(L, "layername", layer->name ? layer->name : "");
  }
}

void FreeBGPicButtons(VmState* L, BGPic* pic) {
  while (qmBGPicButton* b = listOf(pic)) {
    listOf(pic) = b->next;
    freeButton(L, b);
  }
}

void FreeLayerButtons(VmState* L, BGPic* pic, void* layer) {
  for (qmBGPicButton** link = &listOf(pic); *link;) {
    qmBGPicButton* b = *link;
    if (b->layer != layer) {
      link = &b->next;
      continue;
    }
    *link = b->next;
    freeButton(L, b);
  }
}

void MoveLayerButtons(BGPic* pic, void* from, void* to) {
  for (qmBGPicButton* b = listOf(pic); b; b = b->next)
    if (b->layer == from) b->layer = to;
}

void ResetButtonStates(BGPic* pic) {
  if (!pic) return;
  for (qmBGPicButton* b = listOf(pic); b; b = b->next) {
    b->over = 0;
    std::memset(b->pressed, 0, sizeof b->pressed);
  }
}
