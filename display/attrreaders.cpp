// The attribute query's readers of the display library's objects:
// displays, background pictures, intervals and timeouts. Each reader
// answers ATTRCOUNT without a look-up, finds its object by the identifier
// argument (2) and pushes the attribute's value; an attribute its type
// lacks is ERR_UNKNOWNATTR.
#include <cstring>

#include "display/context_private.h"
#include "display/display.h"
#include "display/display_private.h"
#include "display/event_private.h"
#include "engine/engine.h"
#include "gfx/gfx.h"
#include "plugins/plugins.h"
#include "runtime/runtime.h"

namespace {

enum : int32_t { SCALEMODE_NONE = 0, SCALEMODE_AUTO = 1, SCALEMODE_LAYER = 2 };

int pushNumber(VmState* L, double n) {
  VmPushNumber(L, n);
  return 1;
}

int pushFlag(VmState* L, bool on) { return pushNumber(L, on ? 1 : 0); }

int pushText(VmState* L, const char* text) {
  VmPushString(L, text ? text : "");
  return 1;
}

int32_t countList(const void* head) {
  int32_t n = 0;
  for (auto* h = static_cast<const ObjectHead*>(head); h; h = h->next) ++n;
  return n;
}

// A picture's layers: the nodes up to the list's tail sentinel.
int32_t countLayers(const BGPic* pic) {
  int32_t n = 0;
  for (const Node* node = pic->layers.head; node && node->succ; node = node->succ) ++n;
  return n;
}

// The output selection: its kind, the selected object's identifier and a
// third word (all 0 while the display is double-buffered).
int pushOutputDevice(VmState* L, const DisplayRecord* d) {
  if (d->doubleBuffer) {
    for (int i = 0; i < 3; ++i) VmPushNumber(L, 0);
    return 3;
  }
  VmPushNumber(L, d->outputKind);
  if (d->outputKind == OBJECT_BGPIC && d->bgpic)
    PushObjectId(L, ObjectId{d->bgpic->head.autoId, d->bgpic->head.number});
  else
    VmPushNumber(L, d->outputKind == OBJECT_DISPLAY ? d->head.number : 0);
  VmPushNumber(L, 0);
  return 3;
}

int readDisplayAttribute(VmState* L, int32_t attribute) {
  if (attribute == ATTRCOUNT) return pushNumber(L, countList(GetDisplayList()));
  DisplayRecord* d = nullptr;
  int t = VmType(L, 2);
  if (t == VM_TYPE_NONE || t == VM_TYPE_NIL) {
    d = GetCurrentDisplay();
    if (!d) {
      SetErrorArgNumber(0);
      return ERR_FINDDISPLAY;
    }
  } else if (ErrorCode e = FindDisplayById(GetObjectIdArg(L, 2, nullptr), &d)) {
    return e;
  }
  int32_t mx = 0, my = 0, mw = 0, mh = 0;
  auto monitor = [&] {
    if (GetDisplayMonitorRect(d, &mx, &my, &mw, &mh) != ERR_NONE) mw = mh = 0;
  };
  const BGPic* pic = d->bgpic;
  switch (attribute) {
    case ATTRWIDTH:
      return pushNumber(L, d->width);
    case ATTRHEIGHT:
      return pushNumber(L, d->height);
    case ATTRRAWWIDTH:
      return pushNumber(L, d->scaleWidth > 0 ? d->scaleWidth : d->width);
    case ATTRRAWHEIGHT:
      return pushNumber(L, d->scaleHeight > 0 ? d->scaleHeight : d->height);
    case ATTRMAXWIDTH:
      monitor();
      return pushNumber(L, mw - d->borderHorizontal);
    case ATTRMAXHEIGHT:
      monitor();
      return pushNumber(L, mh - d->borderVertical);
    case ATTRHOSTWIDTH:
      monitor();
      return pushNumber(L, mw);
    case ATTRHOSTHEIGHT:
      monitor();
      return pushNumber(L, mh);
    case ATTRBGPIC:
      if (!pic) return pushNumber(L, 0);
      return PushObjectId(L, ObjectId{pic->head.autoId, pic->head.number});
    case ATTRLAYERS:
      return pushNumber(L, pic ? countLayers(pic) : 0);
    case ATTRLAYERSON:
      return pushFlag(L, d->layers != 0);
    case ATTRXPOS:
      return pushNumber(L, d->x);
    case ATTRYPOS:
      return pushNumber(L, d->y);
    case ATTRCURSORX:
      return pushNumber(L, d->textX);
    case ATTRCURSORY:
      return pushNumber(L, d->textY);
    case ATTRBORDERLEFT:
      return pushNumber(L, d->borderLeft);
    case ATTRBORDERTOP:
      return pushNumber(L, d->borderTop);
    case ATTRBORDERRIGHT:
      return pushNumber(L, d->borderHorizontal - d->borderLeft);
    case ATTRBORDERBOTTOM:
      return pushNumber(L, d->borderVertical - d->borderTop);
    case ATTRHOSTTITLEBARHEIGHT:
      return pushNumber(L, d->borderTop);
    case ATTRFONTASCENDER:
    case ATTRFONTDESCENDER:
    case ATTRFONTSIZE:
    case ATTRFONTSCALABLE:
    case ATTRFONTAA:
    case ATTRFONTNAME:
      // Without the text library there is no font: nothing of it is known.
      if (displayContext.fontAttributeReader && displayContext.fontAttributeReader(L, attribute))
        return 1;
      return attribute == ATTRFONTNAME ? pushText(L, "") : pushNumber(L, 0);
    case ATTRPOINTER:
      return pushFlag(L, !d->pointerHidden);
    case ATTRSTATE:
      return pushNumber(L, d->state);
    case ATTRACTIVE:
      return pushFlag(L, (d->flags & DSF_ACTIVE) != 0 || d->hostActive);
    case ATTRMODE:
      return pushNumber(L, d->mode);
    case ATTRSCALEMODE:
      return pushNumber(L, d->autoscale    ? SCALEMODE_AUTO
                           : d->layerscale ? SCALEMODE_LAYER
                                           : SCALEMODE_NONE);
    case ATTRSCALEWIDTH:
      return pushNumber(L, d->scaleWidth > 0 ? d->scaleWidth : d->width);
    case ATTRSCALEHEIGHT:
      return pushNumber(L, d->scaleHeight > 0 ? d->scaleHeight : d->height);
    case ATTRBORDERLESS:
      return pushFlag(L, (d->flags & DSF_BORDERLESS) != 0);
    case ATTRFIXED:
      return pushFlag(L, (d->flags & DSF_FIXED) != 0);
    case ATTRSIZEABLE:
      return pushFlag(L, (d->flags & DSF_SIZEABLE) != 0);
    case ATTRNOHIDE:
      return pushFlag(L, (d->flags & DSF_NOHIDE) != 0);
    case ATTRNOMODESWITCH:
      return pushFlag(L, (d->flags & DSF_NOMODESWITCH) != 0);
    case ATTRNOCLOSE:
      return pushFlag(L, (d->flags & DSF_NOCLOSE) != 0);
    case ATTRMAXIMIZED:
      return pushFlag(L, (d->flags & DSF_MAXIMIZED) != 0);
    case ATTRTITLE:
      return pushText(L, d->title);
    case ATTRMARGINLEFT:
      return pushNumber(L, d->textLeft);
    case ATTRMARGINRIGHT:
      return pushNumber(L, d->textRight);
    case ATTROUTPUTDEVICE:
      return pushOutputDevice(L, d);
    case ATTRDOUBLEBUFFER:
      return pushFlag(L, d->doubleBuffer != 0);
    case ATTRHOSTDEPTH:
      return pushNumber(
          L, d->windowBitmap ? static_cast<double>(GetBitmapAttr(d->windowBitmap, 5)) : 32.0);
    case ATTRMASKMODE:
      return pushNumber(L, GetBlitMaskMode());
    case ATTRALPHAINTENSITY:
      return pushNumber(L, GetBlitAlphaIntensity());
    case ATTRORIENTATION:
      return pushNumber(L, d->orientation);
    case ATTRKEYBOARD:
      return pushFlag(L, false);
    case ATTRDENSITY:
      return pushNumber(L, d->density);
    case ATTRXDPI:
      return pushNumber(L, d->dpiX);
    case ATTRYDPI:
      return pushNumber(L, d->dpiY);
    case ATTRMONITOR:
      return pushNumber(L, FindDisplayMonitor(d) + 1);
    case ATTRADAPTER: {
      const DisplayAdapter* a = GetDisplayAdapter();
      return pushText(L, a && a->base ? a->base->moduleName : "inbuilt");
    }
    case ATTRMENU:
      return pushFlag(L, d->menu != nullptr);
    case ATTRXSERVER:
      return pushText(L, d->xserver);
    case ATTRHOSTTASKBAR:
      return pushNumber(L, 0);
    case ATTRSPRITES:
      return pushNumber(L, CountSpriteInstances(d->bgpic));
    case ATTRHOSTSCALEX:
    case ATTRHOSTSCALEY:
    case ATTRHOSTSCALE:
      return pushNumber(L, 1.0);
    default:
      return ERR_UNKNOWNATTR;
  }
}

int readBGPicAttribute(VmState* L, int32_t attribute) {
  if (attribute == ATTRCOUNT) return pushNumber(L, countList(GetBGPicList()));
  BGPic* pic = nullptr;
  if (ErrorCode e = GetBGPicObject(L, GetObjectIdArg(L, 2, nullptr), &pic, 0)) return e;
  switch (attribute) {
    case ATTRWIDTH:
      return pushNumber(L, pic->sourceWidth);
    case ATTRHEIGHT:
      return pushNumber(L, pic->sourceHeight);
    case ATTRTRANSPARENTCOLOR:
      return pushNumber(L, static_cast<double>(pic->transparentColour));
    case ATTRLAYERS:
      return pushNumber(L, countLayers(pic));
    case ATTRTYPE:
      return pushNumber(L, 0);  // a picture of pixels, as brushes number it
    case ATTRHASMASK:
      return pushFlag(L, pic->mask != nullptr);
    case ATTRHASALPHA:
      return pushFlag(L, pic->alpha != nullptr);
    case ATTRCLIPREGION:
      return pushFlag(L, pic->clipRegion != nullptr);
    case ATTRLOADER:
      return pushText(L, "");
    case ATTRSPRITES:
      return pushNumber(L, CountSpriteInstances(pic));
    default:
      return ERR_UNKNOWNATTR;
  }
}

int readTimerAttribute(VmState* L, int32_t type, int32_t attribute) {
  IntervalRecord* list =
      type == OBJECT_INTERVAL ? displayContext.intervals : displayContext.timeouts;
  if (attribute == ATTRCOUNT) return pushNumber(L, countList(list));
  ObjectId id = GetObjectIdArg(L, 2, nullptr);
  IntervalRecord* r = list;
  while (r && !(r->head.number == id.number && r->head.autoId == id.autoId))
    r = reinterpret_cast<IntervalRecord*>(r->head.next);
  if (!r) {
    if (id.autoId) return ERR_FINDARRAY;
    SetErrorArgNumber(id.number);
    return type == OBJECT_INTERVAL ? ERR_FINDINTERVAL : ERR_FINDTIMEOUT;
  }
  switch (attribute) {
    case ATTRFUNCTION:
    case ATTRUSERDATA: {
      VmRef ref = attribute == ATTRFUNCTION ? r->handler : r->userData;
      if (ref == VM_REF_NIL)
        VmPushNil(L);
      else
        VmRawGetI(L, VM_REGISTRY_INDEX, ref);
      return 1;
    }
    case ATTRDURATION:
      return pushNumber(L, r->milliseconds);
    default:
      return ERR_UNKNOWNATTR;
  }
}

int readIntervalAttribute(VmState* L, int32_t attribute) {
  return readTimerAttribute(L, OBJECT_INTERVAL, attribute);
}
int readTimeoutAttribute(VmState* L, int32_t attribute) {
  return readTimerAttribute(L, OBJECT_TIMEOUT, attribute);
}

}  // namespace

ErrorCode RegisterDisplayAttributeReaders() {
  if (ErrorCode e = RegisterAttributeReader(OBJTYPE_DISPLAY, readDisplayAttribute)) return e;
  if (ErrorCode e = RegisterAttributeReader(OBJTYPE_BGPIC, readBGPicAttribute)) return e;
  if (ErrorCode e = RegisterAttributeReader(OBJTYPE_INTERVAL, readIntervalAttribute)) return e;
  return RegisterAttributeReader(OBJTYPE_TIMEOUT, readTimeoutAttribute);
}

void SetDisplayFontAttributeReader(int (*reader)(VmState* L, int32_t attribute)) {
  displayContext.fontAttributeReader = reader;
}
