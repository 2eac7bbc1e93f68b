// The "graphics" library: the attribute query that answers for every
// object type, and the script constants that name object types and
// attributes. Each library that owns an object type registers its reader
// with the runtime's object registry; this file only dispatches.
#include "engine/engine.h"
#include "gfx/context_private.h"
#include "gfx/gfx.h"
#include "gfx/hooks_private.h"
#include "gfx/graphics_private.h"
#include "runtime/runtime.h"

namespace {

// The look-up error of each built-in type: what the query returns for a
// type whose library has not registered a reader. Types without a look-up
// error of their own answer only ATTRCOUNT and report ERR_UNKNOWNATTR.
struct TypeLookup {
  int32_t type;
  ErrorCode notFound;
};
constexpr TypeLookup typeLookups[] = {
    {OBJTYPE_BGPIC, ERR_FINDBGPIC},
    {OBJTYPE_SAMPLE, ERR_FINDSAMPLE},
    {OBJTYPE_BRUSH, ERR_FINDBRUSH},
    {OBJTYPE_ANIM, ERR_FINDANIM},
    {OBJTYPE_TEXTOBJECT, ERR_FINDTEXTOBJECT},
    {OBJTYPE_DISPLAY, ERR_FINDDISPLAY},
    {OBJTYPE_LAYER, ERR_FINDLAYER},
    {OBJTYPE_SPRITE, ERR_FINDSPRITE},
    {OBJTYPE_MUSIC, ERR_FINDMUSIC},
    {OBJTYPE_CLIPREGION, ERR_FINDCLIPREGION},
    {OBJTYPE_POINTER, ERR_FINDPOINTER},
    {OBJTYPE_ASYNCDRAW, ERR_FINDASYNCDRAW},
    {OBJTYPE_MEMORY, ERR_FINDMEMBLK},
    {OBJTYPE_EVENTHANDLER, ERR_UNKNOWNATTR},
    {OBJTYPE_INTERVAL, ERR_FINDINTERVAL},
    {OBJTYPE_TIMEOUT, ERR_FINDTIMEOUT},
    {OBJTYPE_FONT, ERR_FINDFONT2},
    {OBJTYPE_FILE, ERR_FINDFILE},
    {OBJTYPE_DIRECTORY, ERR_FINDDIR},
    {OBJTYPE_VECTORPATH, ERR_FINDPATH},
    {OBJTYPE_VIDEO, ERR_FINDVIDEO},
    {OBJTYPE_MOVELIST, ERR_FINDMOVE},
    {OBJTYPE_ANIMSTREAM, ERR_FINDANIMSTREAM},
    {OBJTYPE_TIMER, ERR_FINDTIMER},
    {OBJTYPE_CLIENT, ERR_FINDCLIENT},
    {OBJTYPE_SERVER, ERR_FINDSERVER},
    {OBJTYPE_UDPOBJECT, ERR_FINDUDPOBJECT},
    {OBJTYPE_MENU, ERR_FINDMENU},
    {OBJTYPE_ICON, ERR_FINDICON},
    {OBJTYPE_SERIAL, ERR_FINDSERIAL},
};

const TypeLookup* findTypeLookup(int32_t type) {
  for (const TypeLookup& t : typeLookups)
    if (t.type == type) return &t;
  return nullptr;
}

// GetAttribute (type, id, attribute [, parameter]).
int cmdGetAttribute(VmState* L) {
  CheckArgCount(L, 3, 4, 0, 0);
  int32_t type = VmCheckInteger(L, 1);
  int32_t attribute = VmCheckInteger(L, 3);
  const TypeLookup* lookup = findTypeLookup(type);
  if (!lookup) return ERR_WRONGUSAGE;
  if (AttributeReader reader = FindAttributeReader(type)) return reader(L, attribute);
  // No library answers for this type yet: it has no objects.
  if (attribute == ATTRCOUNT) {
    VmPushNumber(L, 0);
    return 1;
  }
  ObjectId id = GetObjectIdArg(L, 2, nullptr);
  if (id.autoId) return ERR_FINDARRAY;
  SetErrorArgNumber(id.number);
  return lookup->notFound;
}

const CommandTableEntry graphicsCommands[] = {
    {"Red", CmdRed},
    {"Green", CmdGreen},
    {"Blue", CmdBlue},
    {"RGB", CmdRGB},
    {"ARGB", CmdARGB},
    {"MovePointer", CmdMovePointer},
    {"HidePointer", CmdHidePointer},
    {"SetPointer", CmdSetPointer},
    {"ShowPointer", CmdShowPointer},
    {"GetAttribute", cmdGetAttribute},
    {"GetPen", CmdGetPen},
    {"VWait", CmdVWait},
    {"SetFPSLimit", CmdSetFPSLimit},
    {"GetFPSLimit", CmdGetFPSLimit},
    {"IsPicture", CmdIsPicture},
    {"GetRealColor", CmdGetRealColor},
    {"SaveSnapshot", CmdSaveSnapshot},
    {"MixRGB", CmdMixRGB},
    {"CreateClipRegion", CmdCreateClipRegion},
    {"SetClipRegion", CmdSetClipRegion},
    {"FreeClipRegion", CmdFreeClipRegion},
    {"CreatePointer", CmdCreatePointer},
    {"FreePointer", CmdFreePointer},
    {"AsyncDrawFrame", CmdAsyncDrawFrame},
    {"CancelAsyncDraw", CmdCancelAsyncDraw},
    {"FinishAsyncDraw", CmdFinishAsyncDraw},
    {"DumpVideoTime", CmdDumpVideoTime},
    {"GetRandomColor", CmdGetRandomColor},
    {"BeginRefresh", CmdBeginRefresh},
    {"EndRefresh", CmdEndRefresh},
    {"Intersection", CmdIntersection},
    {"SetDrawTagsDefault", CmdSetDrawTagsDefault},
    {nullptr, nullptr},
};

// The object-type and attribute constants; the attribute numbers follow the
// ObjectAttribute codes.
// clang-format off
const ConstantTableEntry graphicsConstants[] = {
    {"BGPIC", nullptr, OBJTYPE_BGPIC}, {"SAMPLE", nullptr, OBJTYPE_SAMPLE},
    {"BRUSH", nullptr, OBJTYPE_BRUSH}, {"ANIM", nullptr, OBJTYPE_ANIM},
    {"TEXTOBJECT", nullptr, OBJTYPE_TEXTOBJECT}, {"DISPLAY", nullptr, OBJTYPE_DISPLAY},
    {"LAYER", nullptr, OBJTYPE_LAYER}, {"SPRITE", nullptr, OBJTYPE_SPRITE},
    {"MUSIC", nullptr, OBJTYPE_MUSIC}, {"CLIPREGION", nullptr, OBJTYPE_CLIPREGION},
    {"POINTER", nullptr, OBJTYPE_POINTER}, {"ASYNCDRAW", nullptr, OBJTYPE_ASYNCDRAW},
    {"MEMORY", nullptr, OBJTYPE_MEMORY}, {"EVENTHANDLER", nullptr, OBJTYPE_EVENTHANDLER},
    {"INTERVAL", nullptr, OBJTYPE_INTERVAL}, {"TIMEOUT", nullptr, OBJTYPE_TIMEOUT},
    {"FONT", nullptr, OBJTYPE_FONT}, {"FILE", nullptr, OBJTYPE_FILE},
    {"DIRECTORY", nullptr, OBJTYPE_DIRECTORY}, {"VECTORPATH", nullptr, OBJTYPE_VECTORPATH},
    {"VIDEO", nullptr, OBJTYPE_VIDEO}, {"MOVELIST", nullptr, OBJTYPE_MOVELIST},
    {"ANIMSTREAM", nullptr, OBJTYPE_ANIMSTREAM}, {"TIMER", nullptr, OBJTYPE_TIMER},
    {"CLIENT", nullptr, OBJTYPE_CLIENT}, {"SERVER", nullptr, OBJTYPE_SERVER},
    {"UDPOBJECT", nullptr, OBJTYPE_UDPOBJECT}, {"MENU", nullptr, OBJTYPE_MENU},
    {"ICON", nullptr, OBJTYPE_ICON}, {"SERIAL", nullptr, OBJTYPE_SERIAL},
    {"ATTRWIDTH", nullptr, ATTRWIDTH},
    {"ATTRHEIGHT", nullptr, ATTRHEIGHT},
    {"ATTRTRANSPARENTCOLOR", nullptr, ATTRTRANSPARENTCOLOR},
    {"ATTRLAYERS", nullptr, ATTRLAYERS},
    {"ATTRTYPE", nullptr, ATTRTYPE},
    {"ATTRHASMASK", nullptr, ATTRHASMASK},
    {"ATTRHASALPHA", nullptr, ATTRHASALPHA},
    {"ATTRCLIPREGION", nullptr, ATTRCLIPREGION},
    {"ATTRCOUNT", nullptr, ATTRCOUNT},
    {"ATTRLOADER", nullptr, ATTRLOADER},
    {"ATTRSPRITES", nullptr, ATTRSPRITES},
    {"ATTRHARDWARE", nullptr, ATTRHARDWARE},
    {"ATTRDISPLAY", nullptr, ATTRDISPLAY},
    {"ATTRFONTASCENDER", nullptr, ATTRFONTASCENDER},
    {"ATTRFONTDESCENDER", nullptr, ATTRFONTDESCENDER},
    {"ATTRFONTNAME", nullptr, ATTRFONTNAME},
    {"ATTRFONTSIZE", nullptr, ATTRFONTSIZE},
    {"ATTRFONTSCALABLE", nullptr, ATTRFONTSCALABLE},
    {"ATTRFONTAA", nullptr, ATTRFONTAA},
    {"ATTRTEXT", nullptr, ATTRTEXT},
    {"ATTRMAXWIDTH", nullptr, ATTRMAXWIDTH},
    {"ATTRMAXHEIGHT", nullptr, ATTRMAXHEIGHT},
    {"ATTRBGPIC", nullptr, ATTRBGPIC},
    {"ATTRXPOS", nullptr, ATTRXPOS},
    {"ATTRYPOS", nullptr, ATTRYPOS},
    {"ATTRCURSORX", nullptr, ATTRCURSORX},
    {"ATTRCURSORY", nullptr, ATTRCURSORY},
    {"ATTRBORDERLEFT", nullptr, ATTRBORDERLEFT},
    {"ATTRBORDERTOP", nullptr, ATTRBORDERTOP},
    {"ATTRBORDERRIGHT", nullptr, ATTRBORDERRIGHT},
    {"ATTRBORDERBOTTOM", nullptr, ATTRBORDERBOTTOM},
    {"ATTRHOSTWIDTH", nullptr, ATTRHOSTWIDTH},
    {"ATTRHOSTHEIGHT", nullptr, ATTRHOSTHEIGHT},
    {"ATTRPOINTER", nullptr, ATTRPOINTER},
    {"ATTRSTATE", nullptr, ATTRSTATE},
    {"ATTRACTIVE", nullptr, ATTRACTIVE},
    {"ATTRMODE", nullptr, ATTRMODE},
    {"ATTRSCALEMODE", nullptr, ATTRSCALEMODE},
    {"ATTRSCALEWIDTH", nullptr, ATTRSCALEWIDTH},
    {"ATTRSCALEHEIGHT", nullptr, ATTRSCALEHEIGHT},
    {"ATTRBORDERLESS", nullptr, ATTRBORDERLESS},
    {"ATTRFIXED", nullptr, ATTRFIXED},
    {"ATTRSIZEABLE", nullptr, ATTRSIZEABLE},
    {"ATTRNOHIDE", nullptr, ATTRNOHIDE},
    {"ATTRNOMODESWITCH", nullptr, ATTRNOMODESWITCH},
    {"ATTRTITLE", nullptr, ATTRTITLE},
    {"ATTRMARGINLEFT", nullptr, ATTRMARGINLEFT},
    {"ATTRMARGINRIGHT", nullptr, ATTRMARGINRIGHT},
    {"ATTROUTPUTDEVICE", nullptr, ATTROUTPUTDEVICE},
    {"ATTRDOUBLEBUFFER", nullptr, ATTRDOUBLEBUFFER},
    {"ATTRHOSTDEPTH", nullptr, ATTRHOSTDEPTH},
    {"ATTRNOCLOSE", nullptr, ATTRNOCLOSE},
    {"ATTRMASKMODE", nullptr, ATTRMASKMODE},
    {"ATTRALPHAINTENSITY", nullptr, ATTRALPHAINTENSITY},
    {"ATTRRAWWIDTH", nullptr, ATTRRAWWIDTH},
    {"ATTRRAWHEIGHT", nullptr, ATTRRAWHEIGHT},
    {"ATTRLAYERSON", nullptr, ATTRLAYERSON},
    {"ATTRORIENTATION", nullptr, ATTRORIENTATION},
    {"ATTRKEYBOARD", nullptr, ATTRKEYBOARD},
    {"ATTRDENSITY", nullptr, ATTRDENSITY},
    {"ATTRXDPI", nullptr, ATTRXDPI},
    {"ATTRYDPI", nullptr, ATTRYDPI},
    {"ATTRMONITOR", nullptr, ATTRMONITOR},
    {"ATTRADAPTER", nullptr, ATTRADAPTER},
    {"ATTRMENU", nullptr, ATTRMENU},
    {"ATTRHOSTMONITORS", nullptr, ATTRHOSTMONITORS},
    {"ATTRXSERVER", nullptr, ATTRXSERVER},
    {"ATTRMAXIMIZED", nullptr, ATTRMAXIMIZED},
    {"ATTRHOSTTITLEBARHEIGHT", nullptr, ATTRHOSTTITLEBARHEIGHT},
    {"ATTRHOSTTASKBAR", nullptr, ATTRHOSTTASKBAR},
    {"ATTRHOSTSCALEX", nullptr, ATTRHOSTSCALEX},
    {"ATTRHOSTSCALEY", nullptr, ATTRHOSTSCALEY},
    {"ATTRHOSTSCALE", nullptr, ATTRHOSTSCALE},
    {"ATTRVISIBLE", nullptr, ATTRVISIBLE},
    {"ATTRNUMFRAMES", nullptr, ATTRNUMFRAMES},
    {"ATTRCURFRAME", nullptr, ATTRCURFRAME},
    {"ATTRLAYERID", nullptr, ATTRLAYERID},
    {"ATTRDURATION", nullptr, ATTRDURATION},
    {"ATTRPOSITION", nullptr, ATTRPOSITION},
    {"ATTRFORMAT", nullptr, ATTRFORMAT},
    {"ATTRFRAMEDELAY", nullptr, ATTRFRAMEDELAY},
    {"ATTRGROUP", nullptr, ATTRGROUP},
    {"ATTRRAWXPOS", nullptr, ATTRRAWXPOS},
    {"ATTRRAWYPOS", nullptr, ATTRRAWYPOS},
    {"ATTRCANSEEK", nullptr, ATTRCANSEEK},
    {"ATTRZPOS", nullptr, ATTRZPOS},
    {"ATTRID", nullptr, ATTRID},
    {"ATTRPLAYING", nullptr, ATTRPLAYING},
    {"ATTRPAUSED", nullptr, ATTRPAUSED},
    {"ATTRONSCREEN", nullptr, ATTRONSCREEN},
    {"ATTRPITCH", nullptr, ATTRPITCH},
    {"ATTRBITRATE", nullptr, ATTRBITRATE},
    {"ATTRNUMSUBSONGS", nullptr, ATTRNUMSUBSONGS},
    {"ATTRCURSUBSONG", nullptr, ATTRCURSUBSONG},
    {"ATTRDRIVER", nullptr, ATTRDRIVER},
    {"ATTRSIZE", nullptr, ATTRSIZE},
    {"ATTRFUNCTION", nullptr, ATTRFUNCTION},
    {"ATTRUSERDATA", nullptr, ATTRUSERDATA},
    {"ATTRNUMENTRIES", nullptr, ATTRNUMENTRIES},
    {"ATTRSTANDARD", nullptr, ATTRSTANDARD},
    {"BOX", nullptr, CLIPTYPE_BOX}, {"MASK", nullptr, CLIPTYPE_MASK},
    {"CENTER", nullptr, POS_CENTER}, {"LEFT", nullptr, POS_LEFT},
    {"RIGHT", nullptr, POS_RIGHT}, {"TOP", nullptr, POS_TOP},
    {"BOTTOM", nullptr, POS_BOTTOM}, {"LEFTOUT", nullptr, POS_LEFTOUT},
    {"RIGHTOUT", nullptr, POS_RIGHTOUT}, {"TOPOUT", nullptr, POS_TOPOUT},
    {"BOTTOMOUT", nullptr, POS_BOTTOMOUT}, {"KEEPASPRAT", nullptr, KEEPASPRAT},
    {"STDPTR_SYSTEM", nullptr, 0}, {"STDPTR_BUSY", nullptr, 1},
    {"SNAPWINDOW", nullptr, 0}, {"SNAPDISPLAY", nullptr, 1}, {"SNAPDESKTOP", nullptr, 2},
    {"IMGFMT_BMP", nullptr, 0}, {"IMGFMT_PNG", nullptr, 1}, {"IMGFMT_JPEG", nullptr, 2},
    {"IMGFMT_GIF", nullptr, 3}, {"IMGFMT_ILBM", nullptr, 4},
    {nullptr, nullptr, 0},
};
// clang-format on

}  // namespace

ErrorCode OpenGraphicsLibrary(VmState* L) {
  ErrorCode err = RegisterLibrary(graphicsCommands, "graphics");
  if (err != ERR_NONE) return err;
  VmRegisterFunctions(L, nullptr, graphicsCommands, 0);
  VmRegisterConstants(L, graphicsConstants, 0);
  if (ErrorCode e = RegisterObjectList(&gfxContext.clipList)) return e;
  if (ErrorCode e = RegisterAttributeReader(OBJTYPE_CLIPREGION, ReadClipRegionAttribute)) return e;
  if (ErrorCode e = RegisterObjectList(&gfxContext.asyncList)) return e;
  if (ErrorCode e = RegisterAttributeReader(OBJTYPE_ASYNCDRAW, ReadAsyncDrawAttribute)) return e;
  if (ErrorCode e = RegisterObjectList(&gfxContext.pointerList)) return e;
  if (ErrorCode e = RegisterAttributeReader(OBJTYPE_POINTER, ReadPointerAttribute)) return e;
  if (ErrorCode e = DisplayHooks().registerAttributeReaders()) return e;
  if (ErrorCode e = RegisterGraphicsAttrHandlers()) return e;
  return ERR_NONE;
}

void CloseGraphicsLibrary(VmState* L) {
  FreePictureCache();
  FreeAllAsyncDraws(L);
  FreeAllClipRegions();
  FreeAllPointers(L);
  FreeBlitScratch();
}
