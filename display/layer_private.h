// What the layer files share (layer.cpp: records and list; layerredraw.cpp:
// composing and dirty rectangles; layertransform.cpp: transforms and
// re-rendering; layercmds.cpp: the "layers" commands; layermove.cpp: move
// lists and show/hide). Used inside display/ and by tests.
#pragma once

#include <cstdint>

#include "display/display.h"

// ---- Library state ----

constexpr int32_t LAYER_KIND_TYPES = 64;  // layer type codes lie below this
constexpr int32_t MOVELIST_ENTRIES = 512;

struct MoveEntry {
  int32_t type;
  ObjectId id;  // layer entries: number is a layer position
  int32_t x, y;
  int32_t handled;
  int32_t frame;
  int32_t x1, y1, x2, y2;  // the rectangle the step dirtied (inclusive)
  int32_t hasRect;         // a flag, so that any real rectangle is refreshed
  int32_t merged;
};
struct MoveList {
  ObjectHead head;  // type OBJTYPE_MOVELIST; next links the global list
  int32_t count;
  MoveEntry entries[MOVELIST_ENTRIES];
};

struct LayerContext {
  const LayerKind* kinds[LAYER_KIND_TYPES];
  LayerBodyTest bodyTests[LAYER_KIND_TYPES];
  DirtyList shared;       // areas that multi-layer removals collect
  ObjectHead* moveLists;  // MoveList records, appended at the tail
  uint64_t cacheBuilds;   // derived bitmaps built (filtered, bordered, shadow)
  const LayerBrushServices* brushes;
  int32_t opened;
  const LayerAnimServices* anims;
  LayerTextAttributeReader textAttributes;   // null until the text library opens
  LayerTextAttributeReader videoAttributes;  // null until the video library opens
};
extern LayerContext layerContext;
// Puts the layer state back to its start (the display context's free).
void ResetLayerContext();

const LayerKind* GetLayerKind(int32_t type);
// The registered body test of a type; null when none.
LayerBodyTest GetLayerBodyTest(int32_t type);
// The current background picture of the layer functions: the picture
// selected as output in layers mode, else the current display's.
BGPic* GetLayerPicture();
DisplayRecord* GetLayerDisplay();
// Whether the display draws the layers of the picture at its own scale: it
// scales by layers to a scaled size, shows the picture, and a scale factor
// is not 1. Such layers have a display state of their own.
inline bool DisplayScalesLayers(const DisplayRecord* d, const BGPic* pic) {
  return d && d->layerscale && d->scaleWidth > 0 && d->scaleHeight > 0 && pic && pic == d->bgpic &&
         (d->scaleX != 1.0 || d->scaleY != 1.0);
}

// ---- Records and the list (layer.cpp) ----

inline qmLayer* FirstLayer(const BGPic* pic) {
  Node* n = pic->layers.head;
  return n && n->succ ? reinterpret_cast<qmLayer*>(n) : nullptr;
}
inline qmLayer* NextLayer(const qmLayer* layer) {
  Node* n = layer->node.succ;
  return n && n->succ ? reinterpret_cast<qmLayer*>(n) : nullptr;
}
inline qmLayer* LastLayer(const BGPic* pic) {
  Node* n = pic->layers.tailPred;
  return n && n->pred ? reinterpret_cast<qmLayer*>(n) : nullptr;
}
inline qmLayer* PrevLayer(const qmLayer* layer) {
  Node* n = layer->node.pred;
  return n && n->pred ? reinterpret_cast<qmLayer*>(n) : nullptr;
}
qmLayer* GetLayerByIndex(const BGPic* pic, int32_t position);
int32_t CountLayers(const BGPic* pic);
int32_t GetLayerPosition(const qmLayer* layer);  // in the current picture, -1 none
int32_t FindLayerByName(const BGPic* pic, const char* name);
ErrorCode AssignLayerName(qmLayer* layer, const char* name);
// The group name (at most 255 characters; "" leaves the group). A name that
// another layer has as its name: ERR_GROUPNAMEUSED.
ErrorCode AssignLayerGroup(qmLayer* layer, const char* group);
// A layer argument: a 1-based position, or a layer's name, looked up like a
// number: an unknown name is ERR_FINDLAYER (the name its argument),
// returned. Another type raises ERR_STRORNUM.
ErrorCode GetLayerIdArg(VmState* L, int index, const BGPic* pic, int32_t* position);
ErrorCode GetLayerArgOrGroup(VmState* L, int index, const BGPic* pic, qmLayer** out,
                             int32_t* cursor, int32_t* isGroup);
void FreeImageState(VmState* L, int32_t type, LayerImageState* state);
void FreeLayerImageStates(VmState* L, qmLayer* layer);
void FreeLayerBitmaps(qmLayer* layer);
void FreeLayerBorderImages(qmLayer* layer);
void FreeLayerShadowBitmap(qmLayer* layer);
// Every derived bitmap of every state: after any change of the layer's look.
void FreeLayerCaches(qmLayer* layer);
void ForgetLayerClipRegion(ClipRegion* region);
void FreeAllLayers(VmState* L, BGPic* pic, int withButtons, int flush);
enum : uint32_t {
  DEFER_BRUSHES = 1,
  DEFER_ANIMS = 2,
  DEFER_TEXTOBJECTS = 4,
  DEFER_BGPICS = 8,
  DEFER_VIDEOS = 16
};
void FlushDeferredFrees(VmState* L, uint32_t kinds);
uint32_t DeferKindOfType(int32_t type);
void CopyLayerStyleFields(qmLayer* to, const qmLayer* from);
// A typed copy of the state's geometry and kind data, bitmap pointers
// cleared; null when out of memory.
LayerImageState* CopyLayerImageState(int32_t type, const LayerImageState* from);
// Draws the layers of the picture again in full, with the display and the
// picture current; the first error.
ErrorCode RerenderAllLayers(VmState* L, DisplayRecord* display, BGPic* pic);
// Makes the layer again in place (same position, look, name and
// filters) from a new bitmap, which it takes over (freed on failure).
ErrorCode RemakeLayerInPlace(VmState* L, DisplayRecord* display, qmLayer** layer,
                             BitmapHandle* bitmap);
// Unlinks and frees one layer record (its states, name, references).
void DestroyLayer(VmState* L, qmLayer* layer);

// ---- Rectangles and redraw (layerredraw.cpp) ----

struct LayerRect {
  int32_t x, y, width, height;  // width -1: empty
};
bool IntersectRects(const LayerRect& a, const LayerRect& b, LayerRect* out);
bool RectsOverlap(const LayerRect& a, const LayerRect& b);
void UniteRect(LayerRect* into, const LayerRect& with);
inline LayerRect StateRect(const LayerImageState* s) { return {s->x, s->y, s->width, s->height}; }

enum : uint32_t {
  REDRAW_NOSPRITES = 0x1,
  REDRAW_SCALEDBACKGROUND = 0x4,
  REDRAW_NOSCALEDBACKGROUND = 0x8,
  REDRAW_SOURCESIZE = 0x10,
  REDRAW_MARKEDSPRITES = 0x20,
  REDRAW_ONLYBACKGROUND = 0x40,
};
void Redraw(VmState* L, DisplayRecord* display, BGPic* pic, BitmapHandle* dest, int32_t x,
            int32_t y, int32_t width, int32_t height, uint32_t flags);
void RefreshLayerRect(VmState* L, int32_t x, int32_t y, int32_t width, int32_t height,
                      uint32_t flags);
void RefreshDirtyRects(VmState* L, DirtyList* list);
void GetLayerBounds(VmState* L, qmLayer* layer, LayerImageState* state, LayerRect* out);
void RefreshLayerArea(VmState* L, qmLayer* layer, int quick);
int IsLayerUncovered(const BGPic* pic, const qmLayer* layer);
ErrorCode GetLayerImageBitmaps(VmState* L, qmLayer* layer, LayerImageState* state, int useFiltered,
                               int useTransformed, int32_t frame, LayerTriple* out, int32_t* width,
                               int32_t* height, int32_t* fromSource);
// The bitmap the redraw composes into (made at the picture's size).
BitmapHandle* GetComposeBuffer(DisplayRecord* display);
// SafeBlt's layers step and the area refresh: the stack composed over the
// rectangle of the display's picture, then shown.
void LayerBlitRefresh(void* state, DisplayRecord* display, int32_t x, int32_t y, int32_t width,
                      int32_t height);
// The whole stack composed into the window bitmap (a display with layers),
// with the composer's flags (REDRAW_*).
void RedrawDisplayLayers(DisplayRecord* display, uint32_t flags);
// Installs the layer composing into SafeBlt's layers flag and the region
// hooks of the graphics library.
void InstallLayerHooks();

// ---- Transforms (layertransform.cpp) ----

void ComputeLayerTransform(DisplayTransform* transform, int32_t width, int32_t height);
// Shear flag and decomposed scales of a matrix (see layertransform.cpp).
struct DecomposedTransform {
  int32_t shear;
  double angle, scaleX, scaleY;
};
DecomposedTransform DecomposeTransform(const DisplayTransform& transform);
enum : uint32_t { RENDER_DISPLAYSCALE = 1, RENDER_TRANSFORM = 2, RENDER_BASESIZE = 4 };
ErrorCode RenderLayerImage(VmState* L, qmLayer* layer, uint32_t mode, DisplayRecord* display);
ErrorCode RenderLayerState(VmState* L, qmLayer* layer, LayerImageState* state,
                           DisplayTransform transform, uint32_t flags);
void SetLayerOffset(qmLayer* layer, LayerImageState* state, int32_t x, int32_t y);
// Puts the display state of a layer whose unscaled state moved where that
// lands on the display; an image that takes another size there is drawn
// again (failing that, it keeps its size).
void PlaceDisplayState(VmState* L, qmLayer* layer, DisplayRecord* display);
ErrorCode RerenderLayerImage(VmState* L, qmLayer* layer);
// The picture's layers are shown at its own size again (the display left
// layer scaling): a display state of their own is freed.
void UnscaleLayerStates(VmState* L, BGPic* pic);
// Before a layer is drawn into: a layer that draws itself from a record
// (text, text object, shape, path) becomes a brush layer showing a brush of
// its own with its image, so that what is drawn into it stays when it is
// drawn again. ERR_RENDERADLAYER while an async drawing draws into it.
ErrorCode MakeLayerDrawable(VmState* L, qmLayer* layer);

// ---- Core operations and commands (layercmds.cpp) ----

// The output-target check of the layer commands (1082, 1339, 1147, 1167,
// then 1078 when layers are off).
ErrorCode CheckLayerOutput(int checkLayersOn);
ErrorCode InsertLayerObject(VmState* L, int32_t position, int32_t type, ObjectId id, int32_t x,
                            int32_t y, int noRefresh, int hidden, qmLayer** out);
// The same for an anim layer showing the frame (from 0).
ErrorCode InsertLayerObjectFrame(VmState* L, int32_t position, int32_t type, ObjectId id,
                                 int32_t frame, int32_t x, int32_t y, int noRefresh, int hidden,
                                 qmLayer** out);
void DeleteLayer(VmState* L, qmLayer* layer, int noRefresh, LayerRect* outRect, DirtyList* list,
                 int stopVideo);
ErrorCode UndoLayerEntry(VmState* L, int32_t type, ObjectId id, int32_t level, int noRefresh,
                         LayerRect* outRect);
ErrorCode SwapLayersCore(VmState* L, int32_t a, int32_t b);
void MoveLayerTo(VmState* L, qmLayer* layer, LayerRect* outRect, int32_t x, int32_t y,
                 int noRefresh, uint32_t relative, DirtyList* list);
ErrorCode ClearLayersCore(VmState* L, int keep);
int MoveLayerToZ(qmLayer* layer, int32_t position);
// The per-layer commands (layerops.cpp) into the table on the stack.
ErrorCode RegisterLayerOpCommands(VmState* L);
int PixelCollision(int32_t x1, int32_t y1, int32_t width1, int32_t height1, BitmapHandle* mask1,
                   BitmapHandle* alpha1, int32_t partX1, int32_t partY1, int32_t x2, int32_t y2,
                   int32_t width2, int32_t height2, BitmapHandle* mask2, BitmapHandle* alpha2,
                   int32_t partX2, int32_t partY2, const ClipRegion* clip1,
                   const ClipRegion* clip2);

// ---- Move lists and show/hide (layermove.cpp) ----

MoveList* FindMoveList(ObjectId id);
// Appends a step (the per-layer commands fill lists through this).
ErrorCode AddMoveEntry(MoveList* list, const MoveEntry& entry);
ErrorCode NewMoveList(ObjectId id, int automatic, MoveList** out);
ErrorCode ShowHideLayers(VmState* L, int32_t x, int32_t y, int32_t hide);
void DoMoveLayerStep(VmState* L, MoveEntry* entry, int frameIsVisibility);
int CmdDoMove(VmState* L);
int CmdClearMove(VmState* L);
int CmdShowLayer(VmState* L);
int CmdHideLayer(VmState* L);
void FreeMoveLists();
ErrorCode RegisterMoveListReader();

// ---- Layer styles (layerstyle.cpp, layerstyleget.cpp) ----

const LayerStyleHooks* GetLayerStyleHooks(int32_t type);
// Applies the style table at the stack index to the layer (which a content
// change replaces: *layer is then the new one). Group tables read only the
// fields every layer has. The dirty areas go to the list; the kinds of
// replaced objects are added to deferFlags.
ErrorCode ApplyLayerStyle(VmState* L, qmLayer** layer, int table, int group, uint32_t* deferFlags,
                          DirtyList* list);
// The pairs of layer (position, name or group) and table in the arguments
// 1..nargs; refreshes the areas at the end unless told not to.
ErrorCode SetLayerStyleCore(VmState* L, int nargs, int noRefresh);
// Pushes the style table of the layer.
void PushLayerStyle(VmState* L, qmLayer* layer);
int CmdGetLayerStyle(VmState* L);
ErrorCode RegisterLayerStyleCommands(VmState* L);
