// Service header of the display library: the display record and the display
// list, background-picture records, opening and closing display windows,
// refresh of changed areas (scaled or not), scaling set-up and monitors, as
// other folders call them; what only display/ calls is in display/*_private.h.
// Invariant: every display in the list is fully built (its background
// picture, X11 part and mutex exist); a display's window bitmap always has
// the size of its background picture's current images.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/engine.h"
#include "engine/optiontable.h"
#include "gfx/gfx.h"
#include "plugins/plugins.h"
#include "runtime/displayoptions.h"
#include "runtime/runtime.h"

struct X11DisplayRecord;

// ---- Constants ----

enum : int32_t {
  OBJECT_BGPIC = 1,
  OBJECT_BRUSH = 3,
  OBJECT_DISPLAY = 21,
};
constexpr int32_t KEEPPOSITION = 100000;

// Fill styles of backgrounds and drawn shapes.
enum : int32_t { FILLNONE = 0, FILLCOLOR = 1, FILLGRADIENT = 2, FILLTEXTURE = 3 };
enum : int32_t { DISPSTATE_CLOSED = 0, DISPSTATE_OPEN = 1, DISPSTATE_MINIMIZED = 2 };

// ---- Background pictures ----

// How a picture was filled, so that it can be built again at another size.
struct BGPicFill {
  int32_t style;  // FILL*
  uint32_t colour;
  uint32_t endColour;
  ObjectId textureBrush;
  int32_t textureX, textureY;
  BitmapHandle* bitmap;  // a bitmap the description holds, or null
  GradientFill gradient;
};

struct BGPic {
  ObjectHead head;  // type OBJECT_BGPIC; next links the global list
  void* pictureHandle;
  BitmapHandle *bitmap, *mask, *alpha;                    // current (display) size
  BitmapHandle *sourceBitmap, *sourceMask, *sourceAlpha;  // the script's size
  BitmapHandle *firstBitmap, *firstMask, *firstAlpha;     // as loaded or made
  int32_t width, height, sourceWidth, sourceHeight, firstWidth, firstHeight;
  int32_t widthAsMade;
  int64_t transparentColour;  // -1 none
  uint32_t* palette;
  List layers;
  void* sprites;
  int32_t locked;
  int32_t freePending;
  void* buttons;
  int32_t reserved;
  int32_t selectionKind, selectionFrame;
  void* selectionRecord;
  int32_t selectionSet;
  int32_t layersChanged;
  void* clipRegion;
  BGPicFill fill;
  int32_t rerender;
  int32_t loaderValue;
  // Loaded while preloading: the images are built from the picture handle
  // at the first opening, with the loaded alpha channel when loadAlpha.
  int32_t deferredLoad;
  int32_t loadAlpha;
  // Set when a layer that stands in for this picture (a transition's
  // "bgpicemu") must draw it again; the transition clears it.
  int32_t dirty;
};

// ---- Display transforms, object styles and filter slots ----

// The filters an object or layer can run, one slot each, in this order.
enum : int32_t {
  FILTER_BLUR,
  FILTER_CHARCOAL,
  FILTER_CONTRAST,
  FILTER_EDGE,
  FILTER_EMBOSS,
  FILTER_GAMMA,
  FILTER_GRAYSCALE,
  FILTER_INVERT,
  FILTER_MODULATE,
  FILTER_MONOCHROME,
  FILTER_OILPAINT,
  FILTER_PIXELATE,
  FILTER_SEPIATONE,
  FILTER_SHARPEN,
  FILTER_SOLARIZE,
  FILTER_SWIRL,
  FILTER_TINT,
  FILTER_WATERRIPPLE,
  FILTER_XFLIP,
  FILTER_YFLIP,
  FILTER_QUANTIZE,
  FILTER_SLOTS
};
// A filter's arguments in its own order: each integer (or level) fills the
// next of ints, each real the next of reals.
struct FilterSlot {
  uint8_t on;
  uint8_t priority;  // the highest runs first
  int32_t ints[4];
  float reals[4];
};

// Geometry of a drawn object: the effective matrix (m11, m12, m21, m22)
// and what it was built from.
struct DisplayTransform {
  double m11, m12, m21, m22;
  double scaleX, scaleY;
  int32_t width, height;  // 0: the source's
  double rotate;          // degrees, reduced modulo 360 (the sign kept)
  double matrix[4];       // the "transform" option's matrix
  int32_t hasMatrix;      // the effective matrix is not the plain identity
  int32_t smoothScale;
  double anchorX, anchorY;  // 0.0 to 1.0
};

enum : int32_t {
  SHDWNORTH,
  SHDWNORTHEAST,
  SHDWEAST,
  SHDWSOUTHEAST,
  SHDWSOUTH,
  SHDWSOUTHWEST,
  SHDWWEST,
  SHDWNORTHWEST
};
struct ShadowStyle {
  int32_t on;
  uint32_t colour;  // ARGB
  int32_t size;
  int32_t direction;  // SHDW*
  double radius, sigma;
};
struct BorderStyle {
  int32_t on;
  uint32_t colour;
  int32_t size;
};

// The look of a drawn object. The tint lives in its filter slot (colour in
// ints[0], level 0-255 in ints[1]).
constexpr size_t OBJECT_NAME_SIZE = 256;
struct ObjectStyle {
  char name[OBJECT_NAME_SIZE];  // at most 255 characters
  int32_t hidden;
  int32_t insertPos;     // 0: on top
  int32_t transparency;  // 0 opaque to 255 invisible
  ShadowStyle shadow;
  BorderStyle border;
  FilterSlot filters[FILTER_SLOTS];
  int32_t effects;  // the object needs more than a plain copy
};

// Every drawing path starts from these defaults, copied whole: the
// identity, scales 1, a shadow 0x80000000 of size 4 to the south-east with
// radius 5 and sigma 5/3, border size 2, every filter off.
void CopyDefaultTransform(DisplayTransform* transform);
void CopyDefaultObjectStyle(ObjectStyle* style);
// The defaults in force, for a drawing that only reads them (a command
// without options); valid until the defaults are next replaced.
const DisplayTransform* GetDefaultTransform();
const ObjectStyle* GetDefaultObjectStyle();
// Replaces those defaults for every later drawing (SetDrawTagsDefault);
// null for both restores the initial ones.
void SetDefaultDrawOptions(const DisplayTransform* transform, const ObjectStyle* style);

// Reads the "filters" list of the option table into the slots it names
// (other slots keep what they held). 1 when the list was read whole (and
// *readFlag, when given, becomes 1); 0 when the field is absent (*error 0)
// or when an error stopped it (*error holds it; the slots are unchanged).
// A present "args" that is not a table and a bad level raise.
int ReadLayerFilters(VmState* L, int table, FilterSlot slots[FILTER_SLOTS], int32_t* readFlag,
                     ErrorCode* error);
// Runs the slots that are on over the bitmap and its mask and alpha channel
// (either may be null), priority 255 down, equal priorities in slot order;
// the first failing filter stops it and its error is returned.
ErrorCode ApplyLayerEffects(const FilterSlot slots[FILTER_SLOTS], BitmapHandle* bitmap,
                            BitmapHandle* mask, BitmapHandle* alpha, int32_t width, int32_t height);

// ---- Layers ----

// What a layer shows (its type): the object types of the shown objects and
// the primitives that drawing commands record.
enum : int32_t {
  LAYER_BRUSH = 3,
  LAYER_ANIM = 4,
  LAYER_NOOBJECT = 7,  // being taken off the screen: the redraw skips it
  LAYER_TEXTOBJECT = 8,
  LAYER_TEXTOUT = 9,
  LAYER_PRINT = 11,
  LAYER_BRUSHPART = 12,
  LAYER_BGPICPART = 13,
  LAYER_BOX = 14,
  LAYER_CIRCLE = 15,
  LAYER_ELLIPSE = 16,
  LAYER_LINE = 17,
  LAYER_POLYGON = 27,
  LAYER_ARC = 31,
  LAYER_VECTORPATH = 49,
  LAYER_VIDEO = 50,
};

// One bitmap with its optional mask and alpha channel.
struct LayerTriple {
  BitmapHandle *bitmap, *mask, *alpha;
};

// An image state of a layer: where it is and what it looks like. The own
// triple is null when the layer shows its source object's current bitmaps;
// the transformed triple is the image drawn through the layer's transform;
// the filtered and bordered triples and the shadow are caches that the
// redraw builds when missing and any change of the layer's look frees.
struct LayerImageState {
  LayerTriple own, transformed, filtered, bordered;
  BitmapHandle* shadow;  // an alpha map
  ClipRegion* clip;
  int32_t requestedX, requestedY, requestedWidth, requestedHeight;
  int32_t x, y;                  // actual position on the background picture
  int32_t anchoredX, anchoredY;  // the requested position minus size x anchor
  int32_t width, height;         // actual size
  int32_t borderX, borderY, borderWidth, borderHeight;  // bordered image offset and size
  int32_t partX, partY;  // brush parts, picture parts, videos: the part's offset
  int32_t frame;         // anims: the shown frame
  void* kindData;        // what the layer's kind keeps besides (text, shape, path records)
};

struct qmLayer {
  Node node;  // in the background picture's layer list, bottom first
  int32_t type;
  ObjectId sourceId, firstId;
  int32_t hidden, pending;
  int32_t transparency;  // 0 opaque to 255 invisible
  char* name;            // heap, or null
  char group[OBJECT_NAME_SIZE];
  intptr_t takenOver;  // carried over when a layer replaces another
  DisplayTransform transform;
  double anchorX, anchorY;
  ShadowStyle shadow;
  int32_t shadowFade;  // 0 none, else 1-256: opacity x (fade - 1) / 255
  BorderStyle border;
  int32_t borderFade;
  FilterSlot filters[FILTER_SLOTS];
  int32_t outlineFilters;  // one of the filters that the border outline applies too is on
  VmRef* refs;             // script values the layer holds, released with it
  int32_t refCount;
  int32_t asyncUse;                            // an asynchronous drawing draws into it
  LayerImageState *base, *unscaled, *display;  // two or three may be one record
  ObjectDataEntry* data;                       // the named items scripts attached (SetObjectData)
  int32_t noClipTransform;  // the clip region stays as it is when the layer is transformed
  int32_t movingEffect;     // a moving transition effect runs on it, standing in for a picture
  // While a running transition draws the layer through an image state of
  // its own (then `display`): the layer's own displayed state and
  // transform, which renders of the layer make again in their place.
  LayerImageState* heldDisplay;
  DisplayTransform heldTransform;
  int32_t heldChanges;  // counts the layer's new pictures while held
};

// How display/ reaches a kind of layer that a higher library draws: each
// library registers its kinds when it opens. Null entries: the kind has no
// such step (bitmaps are then its image state's own triple, nothing is
// freed or copied besides the common header, the outline is made from the
// mask or alpha channel).
struct LayerKind {
  int32_t type;
  // Draws the layer's content again through the transform into the state
  // (its transformed triple, actual position and size).
  ErrorCode (*render)(VmState* L, qmLayer* layer, LayerImageState* state,
                      DisplayTransform transform, uint32_t flags);
  // The source object's current bitmaps (frame -1: the current one).
  ErrorCode (*imageBitmaps)(VmState* L, qmLayer* layer, LayerImageState* state, int32_t frame,
                            LayerTriple* out, int32_t* width, int32_t* height);
  // Duplicates and frees what the kind keeps in kindData.
  ErrorCode (*copyState)(const LayerImageState* from, LayerImageState* to);
  void (*freeState)(VmState* L, LayerImageState* state);
  // The outline of the layer's shape in the border colour (bordered triple
  // and its offset in the state); null: from the bitmaps.
  ErrorCode (*outline)(VmState* L, qmLayer* layer, LayerImageState* state);
  // Frees the objects of this kind whose freeing waited for their layers.
  void (*flushDeferred)(VmState* L);
  // Whether a point of the layer is solid; null: its rectangle.
  int (*hitTest)(VmState* L, qmLayer* layer, int32_t x, int32_t y);
};
void RegisterLayerKind(const LayerKind* kind);  // replaces one of the same type
// Whether the composer leaves a layer's body out because its border already
// shows it: a shape or path layer drawn without fill in the border's own
// colour. The drawing library registers one per such kind.
using LayerBodyTest = int (*)(const qmLayer* layer, const LayerImageState* state);
void RegisterLayerBodyTest(int32_t type, LayerBodyTest test);  // null removes it

// NewLayer flags. A layer made on the picture of a display that scales its
// layers is always drawn at the display's scale as it is made.
enum : uint32_t {
  NEWLAYER_HIDDEN = 0x1,
  NEWLAYER_REPLACE = 0x8,
  NEWLAYER_KEEPPOSITION = 0x100,
  NEWLAYER_KEEPFILTERS = 0x200,
  // The state already holds the requested position and size; x, y, width
  // and height are where the image lies (an image larger than what was
  // asked for, as a shape with its anti-aliased edge).
  NEWLAYER_ACTUALGEOMETRY = 0x400,
};
// Makes a layer on the current background picture (see layer.cpp). The
// passed image state (made with AllocLayerImageState) and bitmaps belong to
// the layer on success and are freed on failure.
ErrorCode NewLayer(VmState* L, int32_t type, const ObjectId* sourceId, int32_t x, int32_t y,
                   int32_t width, int32_t height, const DisplayTransform* transform,
                   const ObjectStyle* style, BitmapHandle* bitmap, BitmapHandle* mask,
                   BitmapHandle* alpha, LayerImageState* state, int32_t position, uint32_t flags,
                   qmLayer** out);
// A zeroed image state; null when out of memory.
LayerImageState* AllocLayerImageState();
// A layer of a brush, brush part, anim, picture part or video (position
// -1: on top); the bitmap, when given, belongs to the layer; extra is an
// anim layer's frame (from 0).
ErrorCode CreateObjectLayer(VmState* L, int32_t type, ObjectId id, int32_t sx, int32_t sy,
                            int32_t x, int32_t y, int32_t width, int32_t height,
                            const DisplayTransform* transform, const ObjectStyle* style,
                            BitmapHandle* bitmap, int32_t position, uint32_t flags, intptr_t extra);
// Whether a layer of any picture shows the object (type and id).
int IsObjectOnLayer(int32_t type, ObjectId id);
// Re-points the layers that show the object to another identifier (a
// private copy, or the hidden record of an object freed while shown).
void RepointLayers(int32_t type, ObjectId from, ObjectId to);
// Queues the layer's area (with shadow and border) in the list.
struct DirtyList;
void MarkLayerDirty(VmState* L, DirtyList* list, qmLayer* layer, LayerImageState* state);
// A layer's display state takes a new size and position (x, y: the anchor
// point; a line keeps its corner with SETGEOMETRY_KEEPLINE) and, when
// given, a new bitmap triple. The old area goes into collect when given,
// else the union of old and new areas is shown again.
enum : uint32_t { SETGEOMETRY_KEEPLINE = 64 };
struct LayerRect;
void SetLayerGeometry(VmState* L, qmLayer* layer, LayerRect* collect, int32_t x, int32_t y,
                      int32_t width, int32_t height, BitmapHandle* bitmap, BitmapHandle* mask,
                      BitmapHandle* alpha, uint32_t flags);
// Shows again a rectangle of the current background picture: at once when
// the display is the output, queued while the picture is selected.
void RefreshRect(VmState* L, int32_t x, int32_t y, int32_t width, int32_t height);
// What the layer commands ask of the brush library, which installs it when
// it opens: a width x height brush of the colour with an automatic id (a
// mask or alpha channel when asked, fully transparent with clear), and the
// freeing of a brush (kept hidden while a layer shows it).
struct LayerBrushServices {
  ErrorCode (*makeBrush)(int32_t width, int32_t height, uint32_t colour, int32_t mask,
                         int32_t alpha, int32_t clear, ObjectId* id);
  ErrorCode (*freeBrush)(VmState* L, ObjectId id);
  // SelectLayer: the layer at the position made the drawing target.
  ErrorCode (*selectLayer)(VmState* L, int32_t position, int32_t mode, int32_t frame,
                           int32_t combo);
  // A width x height brush of the images, which it takes over (they are
  // freed when it cannot be made), with an automatic id.
  ErrorCode (*adoptBrush)(LayerTriple images, int32_t width, int32_t height, ObjectId* id);
};
void SetLayerBrushServices(const LayerBrushServices* services);
// What the layer commands ask of the anim library, which installs it when
// it opens.
struct LayerAnimServices {
  // An anim of count frames of width x height filled with the colour (a
  // mask or alpha channel when asked, fully transparent with clear) under
  // an automatic id.
  ErrorCode (*makeAnim)(int32_t width, int32_t height, int32_t count, uint32_t colour, int32_t mask,
                        int32_t alpha, int32_t clear, ObjectId* id);
  // Frees the anim (kept hidden while a layer shows it).
  ErrorCode (*freeAnim)(VmState* L, ObjectId id);
  // The number of frames of the anim.
  ErrorCode (*frameCount)(VmState* L, ObjectId id, int32_t* count);
  // The frames of the layer's anim change (count and position as for
  // ModifyAnimFrames) on a private copy that the layer shows from then on;
  // *frames receives the new frame count.
  ErrorCode (*changeFrames)(VmState* L, qmLayer* layer, int32_t count, int32_t position,
                            int32_t* frames);
  // The number of frames of the anim the layer shows and the delay of one
  // of them (from 0) in milliseconds.
  ErrorCode (*layerFrames)(VmState* L, qmLayer* layer, int32_t frame, int32_t* count,
                           int32_t* delay);
};
void SetLayerAnimServices(const LayerAnimServices* services);
// ---- Layer styles ----

// What SetLayerStyle has read of one table before it changes the layer.
// The type-specific hooks of a kind fill the kind's part: a scratch copy of
// its record (kindData), what it requires, a position it derives.
struct LayerStyleWork {
  qmLayer* layer;
  int32_t type;          // the type after "type"
  int32_t typeChanged;   // "type" names another type
  int32_t content;       // the content is to be drawn again
  int32_t styleChanged;  // a shadow or border switched by "formstyle"
  void* kindData;        // the hook's scratch record (freed by freeWork)
  ShadowStyle shadow;    // working copies of the layer's shadow and border
  BorderStyle border;
  ObjectId id;  // "id": the shown object
  int32_t idGiven;
  int32_t partX, partY, partWidth, partHeight;  // the source rectangle
  int32_t width, height;                        // the content's size as the hook knows it (0: keep)
  int32_t hasPosition;                          // the hook derives the position (line end points)
  int32_t x, y;
  int32_t offsetX, offsetY;  // added to an "x"/"y" (a polygon's vertex minimum)
  uint32_t deferFlags;       // kinds of objects replaced (FlushDeferredFrees bits)
  int32_t frame;             // an anim layer's new frame (from 0)
  int32_t frameGiven;        // the table named a frame
};
// The type-specific part of the style of a kind of layer.
struct LayerStyleHooks {
  // Reads the kind's fields of the table into the work (type is the new
  // type); an error ends the table.
  ErrorCode (*read)(VmState* L, int table, LayerStyleWork* work);
  // Sets the kind's fields of the layer on the table at the top.
  void (*write)(VmState* L, qmLayer* layer);
  // Draws the content again from the work's record and puts the new layer
  // in place of the old one (NewLayer flags given, the box at x, y); on
  // failure the old layer stays as it was.
  ErrorCode (*remake)(VmState* L, qmLayer* layer, LayerStyleWork* work, int32_t x, int32_t y,
                      const DisplayTransform* transform, uint32_t flags, qmLayer** out);
  void (*freeWork)(LayerStyleWork* work);
};
void RegisterLayerStyleHooks(int32_t type, const LayerStyleHooks* hooks);
// What the style commands ask of the drawing library: the shadow and
// border fields of a table.
struct LayerStyleServices {
  ErrorCode (*parseShadow)(VmState* L, int table, ShadowStyle* shadow, int* found);
  ErrorCode (*parseBorder)(VmState* L, int table, int aliases, BorderStyle* border, int* found);
};
void SetLayerStyleServices(const LayerStyleServices* services);
// A filter slot's name and its argument kinds ('i' integer, 'l' level,
// 'r' real).
const char* FilterSlotName(int32_t slot);
const char* FilterSlotKinds(int32_t slot);
// Frees the layers of the current picture and shows its background (keep:
// the layers are burnt into it instead).
ErrorCode ClearLayersCore(VmState* L, int keep);
// The library opener "layers" and its shut-down.
ErrorCode OpenLayersLibrary(VmState* L);
void FreeLayerSystem(VmState* L);

// ---- Display record ----

constexpr size_t DISPLAY_TITLE_MAX = 256;
constexpr size_t DISPLAY_REGION_MAX = 64;
constexpr int32_t DISPLAY_HANDLER_SLOTS = 35;

struct DisplayRegion {
  int32_t type;  // always 14 (box)
  int32_t x, y, width, height;
};

struct DisplayBackfill {
  int32_t type;  // 0 none, 1 colour, 2 gradient, 3 texture, 4 picture
  uint32_t colour, endColour;
  int32_t x, y;
  ObjectId brush;
  int32_t scalePicture, hideTitleBar, smoothScale;
  char brushFile[1024];
};

// What the event pump found for a display in its pass (cleared when the
// pass starts), and an outside resize that waits for the left button.
struct DisplayPumpState {
  int32_t refreshNeeded;
  int32_t modeSwitch;  // -1 none, 0 to a window, 1 to full screen
  int32_t quitRequested;
  int32_t sizePending, pendingWidth, pendingHeight;
};

// Rectangles changed since the last flip or redraw: inclusive corners, an
// entry whose merged flag is set was merged into another (a flag, not a
// coordinate value, so that any real rectangle is refreshed). A full list
// means "everything changed": the next flip copies the whole buffer once
// and empties it.
constexpr int32_t DIRTY_BLOCK = 1024;  // entries a list starts with and grows by
struct DirtyRect {
  int32_t x1, y1, x2, y2;
  int32_t merged;
};
struct DirtyList {
  DirtyRect* entries;
  int32_t count, capacity;
  int32_t full;
};

// Key codes 0-255 are Latin-1 characters, 256-313 named keys.
constexpr uint32_t KEY_STATE_COUNT = 314;
struct DisplayRecord {
  ObjectHead head;  // type OBJECT_DISPLAY; next links the display list
  int32_t layers;
  int32_t outputKind;
  BGPic* bgpic;
  int32_t ownBGPic;
  int32_t isBackfill, isResourceMonitor;
  int32_t x, y, width, height;  // width and height: the window's inner size
  int32_t state;
  BGPicFill fill;
  char title[DISPLAY_TITLE_MAX];
  uint32_t flags, flags2;
  DisplayRegion dragRegions[DISPLAY_REGION_MAX], sizeRegions[DISPLAY_REGION_MAX];
  int32_t dragCount, sizeCount, dragGiven, sizeGiven;
  DisplayRegion scaledDrag[DISPLAY_REGION_MAX], scaledSize[DISPLAY_REGION_MAX];
  int32_t borderLeft, borderTop, borderHorizontal, borderVertical, bordersKnown;
  int32_t autoscale, layerscale;
  int32_t marginLeft, marginTop, marginRight, marginBottom;
  int32_t scaleWidth, scaleHeight;
  int32_t smooth;
  double scaleX, scaleY;
  int32_t handlerRefs[DISPLAY_HANDLER_SLOTS];  // -1: no handler
  // closePending: a close request (X11 or injected, from any thread) that
  // the event poll has not looked at yet.
  int32_t closeHandler, closePending;
  uint8_t keyStates[KEY_STATE_COUNT], rawKeyStates[KEY_STATE_COUNT];
  int32_t textX, textY, textLeft, textRight;
  void* pointer;
  int32_t pointerHidden;
  int32_t fullscreen, fullscreenScale, monitor, monitorBefore;
  int32_t fakeFullscreen;
  int32_t orientation, density;
  double dpiX, dpiY;
  void* menu;
  PlatformMutex* mutex;
  void* pendingFrames;
  int32_t mode, screenWidth, screenHeight, screenDepth, desktop;
  DisplayBackfill backfill;
  int32_t xRelative, yRelative, systemScale, scaleFactorActive;
  int32_t restoreWidth, restoreHeight;
  char* osdata;
  size_t osdataLength;
  double scaleFactor, savedScaleFactor;
  int32_t reposition;
  int32_t savedWindowed, savedX, savedY;
  uint32_t savedFlags;
  DisplayRecord* parent;  // a backfill display's display
  char xserver[256];
  uintptr_t windowHandle;  // an adapter's window, 0 while closed
  X11DisplayRecord* x11;
  // The window bitmap: what the window shows, at the picture's current size.
  BitmapHandle* windowBitmap;
  BitmapHandle *ownMask, *ownAlpha;
  int32_t collectRefreshes;  // a refresh bracket is open
  // The display's own request that BeginRefresh open a bracket, and the
  // frame-rate limit's time of the last frame.
  int32_t bracketRequest;
  TimeValue lastFrameTime;
  int32_t doubleBuffer;
  TimeValue openTime;
  DisplayPumpState pump;
  // Input that a display adapter injected (hostevent.cpp): button states,
  // the pointer-moved flag with its time, the active flag, and a resize or
  // show that another thread asked for, applied by the main thread.
  int32_t hostButtons[3];
  int32_t hostPointerMoved;
  TimeValue hostMoveTime;
  int32_t hostActive;
  int32_t hostPending;
  int32_t hostResizePending, hostResizeWidth, hostResizeHeight;
  int32_t hostShownPending;
  // The output target (draw/ selects it): the drawing bitmap, mask and
  // alpha channel (null: none) and whether they live in video memory.
  BitmapHandle *drawBitmap, *drawMask, *drawAlpha;
  int32_t outputVideo;
  // Double buffering: the video-memory back buffer and adapter switches,
  // the switch a selection suspended with the adapter switch it saved, the
  // buffer the window shows and the one drawing goes to, and the
  // rectangles changed since the last flip.
  int32_t videoBackBuffer, adapterDoubleBuffer;
  int32_t bufferSuspended, savedAdapterDoubleBuffer;
  BitmapHandle *presentBuffer, *backBuffer;
  DirtyList dirty;
  // With layers: the picture's background with layers burnt into it by
  // FreeLayers (null: the picture's own bitmap), and the picture it is of.
  BitmapHandle* layerBackground;
  BGPic* layerBackgroundPic;
  // The records that stand for a selected device and for the back buffer
  // (each made once per display, owned by it).
  BGPic *deviceRecord, *backBufferRecord;
  // Callbacks plug-ins attached (callback.cpp), in the order added, and
  // the input they posted: pointer position, qualifiers, a close request.
  QmDisplayCallback* callbacks;
  int32_t callbackMouseX, callbackMouseY;
  uint32_t callbackQualifiers;
  int32_t callbackCloseRequested;
  TimeValue callbackCloseTime;
  // A resize a callback asked for from another thread, for the main thread.
  int32_t callbackResizePending, callbackResizeWidth, callbackResizeHeight;
  int32_t callbackScaledWidth, callbackScaledHeight;
  // The objects of the backfill behind a full-screen display (backfill.cpp):
  // the backfill display, its picture and brush, each with a made flag.
  ObjectId backfillDisplay, backfillPic, backfillBrush;
  int32_t backfillDisplayMade, backfillPicMade, backfillBrushMade;
  // The text library's tab stops (absolute x, ascending) and their count.
  int32_t tabStops[32];
  int32_t tabCount;
  // The text cursor and margins an output selection put aside (saved flag
  // set), given back when it ends.
  int32_t drawStateSaved;
  int32_t savedTextX, savedTextY, savedTextLeft, savedTextRight;
};

// Globals of the library.
DisplayRecord* GetDisplayList();
DisplayRecord* GetCurrentDisplay();
// The words plug-ins store with the global-value tags 33, 39 and 43 (index
// 0, 1, 2); kept until the display context is freed.
void SetPluginDisplayWord(int index, uintptr_t value);
uintptr_t GetPluginDisplayWord(int index);
// Clears a display's input state (keys held, a pending close, the pump's
// key memory): after a requester or an external program had the input.
void ResetDisplayState(DisplayRecord* display);

// The library opener "display": commands (into the table at the top of the
// stack, which is popped, as every opener does), constants, object lists.
ErrorCode OpenDisplayLibrary(VmState* L);
// Shut-down of the library: every display, then every picture, then the
// list mutex and the scratch bitmaps.
void CloseDisplayLibrary(VmState* L);

// ---- Opening and closing ----

enum : uint32_t {
  OPEN_CHOOSEMONITOR = 1,
  OPEN_FIRST = 2,
  OPEN_MODECHANGE = 4,
  OPEN_MONITORCHANGED = 8,
};
ErrorCode OpenFirstDisplay(VmState* L, int quiet);
ErrorCode OpenDisplayWindow(VmState* L, DisplayRecord* display, uint32_t flags);

// What the display library asks of the brush library around its windows;
// the brush library installs it when it opens (null entries: nothing).
// realize turns deferred brushes into bitmaps when the first display
// opens; restore rebuilds a display's saved video-memory brushes once its
// window exists; a window closed to be opened again saves them, a final
// close frees them.
struct DisplayBrushHooks {
  ErrorCode (*realize)(int forceSoftware, int skipAdapterOwned);
  ErrorCode (*saveHardware)(DisplayRecord* display);
  void (*restoreHardware)(DisplayRecord* display);
  void (*freeDisplay)(DisplayRecord* display);
};
void SetDisplayBrushHooks(const DisplayBrushHooks* hooks);
// What the display library asks of the video library; installed when the
// video library opens (null entries: no video exists). stop ends every
// video bound to the display (every video for null); suspend and resume
// follow the display's window closing and opening again; rects writes the
// on-screen rectangles (x, y, width, height) of the videos that draw
// straight into the display, up to max of them, and returns their count;
// shown tells whether a video is bound to the display (see
// DisplayShowsVideo).
struct DisplayVideoHooks {
  void (*stop)(VmState* L, DisplayRecord* display);
  void (*suspend)(DisplayRecord* display);
  void (*resume)(DisplayRecord* display);
  int32_t (*rects)(const DisplayRecord* display, int32_t* rects, int32_t max);
  int (*shown)(const DisplayRecord* display, int excludeLayers, int includePictureLayers);
  // The size of a video that a drawing of object type 50 shows
  // (ERR_FINDVIDEO when there is none).
  ErrorCode (*size)(ObjectId id, int32_t* width, int32_t* height);
  // What the layers ask of a video layer's video: stopLayer stops it
  // (nothing when it does not play); command is one of VIDEOLAYER_;
  // insert shows the video's first frame as a layer at a position.
  void (*stopLayer)(VmState* L, qmLayer* layer);
  ErrorCode (*command)(VmState* L, qmLayer* layer, int32_t command, int32_t value);
  ErrorCode (*insert)(VmState* L, ObjectId id, int32_t x, int32_t y, int32_t position, int hidden);
  // The display's size or scale changed: its videos' rectangles follow.
  void (*rescale)(VmState* L, DisplayRecord* display);
};
enum : int32_t {
  VIDEOLAYER_PLAY = 1,
  VIDEOLAYER_STOP,
  VIDEOLAYER_PAUSE,
  VIDEOLAYER_RESUME,
  VIDEOLAYER_SEEK,
  VIDEOLAYER_VOLUME,
};
void SetDisplayVideoHooks(const DisplayVideoHooks* hooks);
// 1 when a playing, paused or finished video is bound to the display
// (with excludeLayers, only one that is not shown as a layer); with
// includePictureLayers also when a layer of the display's background
// picture shows a video.
int DisplayShowsVideo(const DisplayRecord* display, int excludeLayers, int includePictureLayers);
// The size of the video a drawing shows: ERR_FINDVIDEO without one.
ErrorCode GetDrawnVideoSize(ObjectId id, int32_t* width, int32_t* height);
// The video layer hooks; without the video library a layer's video does
// not play (stop does nothing, the others give ERR_FINDVIDEO).
void StopLayerVideo(VmState* L, qmLayer* layer);
ErrorCode RunVideoLayerCommand(VmState* L, qmLayer* layer, int32_t command, int32_t value);
ErrorCode InsertVideoLayer(VmState* L, ObjectId id, int32_t x, int32_t y, int32_t position,
                           int hidden);
// A frame a video thread finished for the display: 0xAARRGGBB rows of
// width pixels (AllocMemory) that the main thread copies to x, y, or hands
// to apply (with target) when that is set: a video shown as a layer.
struct PendingDisplayFrame {
  PendingDisplayFrame* next;
  const void* owner;  // the playback the frame belongs to
  uint32_t* pixels;
  int32_t x, y, width, height;
  void (*apply)(VmState* L, const PendingDisplayFrame* frame);
  void* target;
};
// Any thread: appends the frame under the display's mutex, dropping the
// owner's older frames, and wakes the main thread's event wait.
void QueueDisplayFrame(DisplayRecord* display, PendingDisplayFrame* frame);
// Any thread: frees the owner's pending frames on the display.
void DropDisplayFrames(DisplayRecord* display, const void* owner);
// The rectangles (x, y, width, height in display pixels) that videos
// drawing straight into the display cover, up to max; their count. None
// while the frames of those videos themselves are being copied.
int32_t GetDisplayVideoRects(const DisplayRecord* display, int32_t* rects, int32_t max);
// Main thread: copies every display's pending frames to their windows in
// order and frees them.
ErrorCode ApplyPendingDisplayFrames(VmState* L);
// A video layer's own bitmap holds a new frame: what is made from it (the
// image through the layer's transform or the display's scale, and the
// cached looks) is made again, and its area shown when the display shows
// the layer's picture.
void RenewVideoLayer(VmState* L, DisplayRecord* display, qmLayer* layer);
// After a change of the display's size or scale: the rectangles of the
// videos that play on it (not as layers) follow the scale, and the display
// is shown again when any did.
void RescaleDisplayVideos(VmState* L, DisplayRecord* display);
// Videos that play straight on a display show through an on-screen
// sprite instance of its background picture while a display adapter is
// installed: 1 then.
int VideosAsSprites();
struct SpriteInstance;
// A video instance at the end of the display's picture's sprite list (so
// that it stays over the sprites), showing nothing until its first frame;
// null without a picture or memory.
SpriteInstance* AddVideoSprite(DisplayRecord* display, void* video, ObjectId id, int32_t x,
                               int32_t y, int32_t width, int32_t height);
// The instance shows the bitmap (which the video keeps and frees after the
// next call) at x, y in its size; the old and new areas are shown again.
void ShowVideoSpriteFrame(VmState* L, DisplayRecord* display, SpriteInstance* instance,
                          BitmapHandle* bitmap, int32_t x, int32_t y);
// Takes the video's instance off whichever picture holds it and shows its
// area again on a display that shows that picture.
void RemoveVideoSprite(VmState* L, const void* video);

// ---- Dirty rectangles and buffer flips ----

// Appends the rectangle; a list at its capacity grows by DIRTY_BLOCK when
// grow is set (and becomes full when that fails), otherwise it becomes
// full. A full list takes no entries.
void AddDirtyRect(DirtyList* list, int32_t x1, int32_t y1, int32_t x2, int32_t y2, int grow);
// Joins overlapping rectangles; the entries merged away become free.
void MergeDirtyRects(DirtyList* list);
// Empties the list (its entries stay allocated), full flag cleared.
void ClearDirtyRects(DirtyList* list);
void FreeDirtyRects(DirtyList* list);
// Records a changed width x height rectangle at x, y of a display that
// draws into its back buffer (nothing otherwise); the list never grows
// here.
void MarkDisplayDirty(DisplayRecord* display, int32_t x, int32_t y, int32_t width, int32_t height);
// Shows the presentation buffer in the window: everything with full (or a
// full dirty list, or scaling), else the dirty rectangles. Nothing while
// the adapter does the double buffering.
void FlipDisplayBuffers(DisplayRecord* display, int full, uint32_t flags);
// Frees the buffers, dirty list and device records of a display.
void FreeDisplayOutputState(DisplayRecord* display);

// ---- Output selections ----

// The display that drawing addresses: the current display, or a spare
// record (made on first use, owned by the library) while none exists.
DisplayRecord* GetOutputDisplay();
// Ends the display's output selection: drawing goes to the display again,
// or to the back buffer of the double-buffered frame the selection was
// made in.
ErrorCode EndOutputSelection(VmState* L, DisplayRecord* display, int noRefresh);
// A selection's drawing state: the text cursor and margins are put aside
// (once: a second save while one is kept changes nothing) and start at 0,
// 0 with the right margin at width - 1; the restore gives them back.
void SaveDisplayDrawState(DisplayRecord* display, int32_t width);
void RestoreDisplayDrawState(DisplayRecord* display);
// The library opener "bgpic" (EndSelect).
ErrorCode OpenBGPicLibrary(VmState* L);

// What the background-picture commands ask of the brush library, which
// installs it when it opens. A brush's images are lent (not owned).
struct BGPicBrushImages {
  BitmapHandle *bitmap, *mask, *alpha;
  int32_t width, height;
  int64_t keyColour;  // -1 none
  int32_t transformedVector;
};
struct BGPicBrushHooks {
  ErrorCode (*getBrush)(VmState* L, ObjectId id, BGPicBrushImages* out);
  // Frees a brush of a numeric id first; takes the images on success.
  ErrorCode (*addBrush)(VmState* L, ObjectId* id, int automatic, const BGPicBrushImages* images);
  // The brush library's output selection of a background picture
  // (SELMODE_NORMAL or SELMODE_COMBO).
  ErrorCode (*selectOutput)(VmState* L, ObjectId id, int32_t mode, int32_t extra);
  // Draws a part of a picture (with its layers when asked) like any object;
  // optionsIndex 0: no option table.
  ErrorCode (*drawPart)(VmState* L, ObjectId id, int32_t sx, int32_t sy, int32_t width,
                        int32_t height, int32_t dx, int32_t dy, int32_t layers, int optionsIndex);
  // Ends the display's double buffering (when another picture is shown).
  ErrorCode (*endDoubleBuffer)(VmState* L, DisplayRecord* display);
};
void SetBGPicBrushHooks(const BGPicBrushHooks* hooks);
// The core of CreateBGPic: a picture of one colour (ERR_WRONGUSAGE below
// 1x1, ERR_BITMAP); id as AddBGPicObject takes it.
ErrorCode CreateColorBGPic(VmState* L, ObjectId* id, int automatic, int32_t width, int32_t height,
                           ArgbColor colour, BGPic** out);
// Makes the picture the current display's background. With capture, the
// screen before (scaled to the new picture's size) and the new picture
// with its layers come back as new bitmaps, and the screen still shows the
// old picture.
ErrorCode ShowBGPic(VmState* L, ObjectId id, int32_t x, int32_t y, int capture,
                    BitmapHandle** newImage, BitmapHandle** oldImage);
// A picture that drawing may select as its target: not shown by any
// display (ERR_SELECTBGPIC2) and with images (ERR_BGPICTYPE).
ErrorCode GetSelectableBGPic(VmState* L, ObjectId id, BGPic** out);
// The mask (kind OUTPUT_MASK) or alpha channel (OUTPUT_ALPHA) of a selected
// picture's source images, made when missing: an all-visible mask
// (ERR_ALLOCMASK) or an opaque alpha channel (ERR_ALLOCALPHA) that replaces
// the other channel.
ErrorCode PrepareBGPicChannel(VmState* L, ObjectId id, int32_t kind, BitmapHandle** channel);
// The picture as the display shows it, with its layers and sprites (not
// owned).
BitmapHandle* GetShownBGPicImage(VmState* L, DisplayRecord* display, BGPic* picture);
// The picture with its layers over the rectangle, for copying a part of
// it: the current display's window bitmap when it shows the picture
// unscaled (not owned), else a new bitmap of the picture's script size
// (*owned 1; ERR_BITMAP).
ErrorCode GetBGPicBitmapWithLayers(VmState* L, BGPic* picture, int32_t x, int32_t y, int32_t width,
                                   int32_t height, BitmapHandle** out, int* owned);
// Draws the picture's layers over a copy of its pixels at its script size
// (the bitmap CopyBGPicImages made); nothing for a picture without layers.
ErrorCode DrawBGPicLayersInto(VmState* L, ObjectId id, BitmapHandle* copy);
// Copies of a picture's images at its script size (the caller owns them).
ErrorCode CopyBGPicImages(VmState* L, ObjectId id, BitmapHandle** bitmap, BitmapHandle** mask,
                          BitmapHandle** alpha, int32_t* width, int32_t* height);
// The pixels that CreateTexturedBGPic and CreateGradientBGPic make from
// their arguments (the id first), for the brush makers of the same name.
ErrorCode MakeTexturedBitmap(VmState* L, BitmapHandle** out, int32_t* width, int32_t* height);
ErrorCode MakeGradientBitmap(VmState* L, BitmapHandle** out, int32_t* width, int32_t* height);
// The gradient reader that the picture commands use, for the drawing
// style: the options table at the argument index ("centerx", "centery",
// "balance", "border", "colors"; absent, nil or not a table reads
// nothing), the same fields under names with a prefix in the table at a
// stack index, and the gradient written into the table on top of the
// stack under prefixed names ("colors" only when it has colour pairs).
// The gradient's type must be set before reading: radial and conical
// gradients check their fractions.
ErrorCode ReadGradientOptions(VmState* L, int index, GradientFill* gradient);
ErrorCode ReadGradientFields(VmState* L, int table, const char* prefix, GradientFill* gradient);
void SetFillStyleFields(VmState* L, const char* prefix, const GradientFill* gradient);

// ---- Refresh, scaling, monitors ----

enum : uint32_t {
  REFRESH_SCALE = 0x1,
  REFRESH_NATIVE = 0x10,
  REFRESH_NOCALLBACKS = 0x40,
  REFRESH_FORCE = 0x80,
  REFRESH_SCALED = 0x100,
};
void RefreshDisplay(VmState* L, DisplayRecord* display, uint32_t flags);
// Where a rectangle of a picture lies in the pixels of a display that
// scales it by scaleX, scaleY: the coordinates of its first and its last
// pixel (x and x + width - 1) scaled, each rounded to the nearest, and
// the size running from the one to the other (at least one pixel for a
// rectangle of any). Every layer, and whatever lines up with layers, is
// placed by it. Any out pointer may be null.
void ScaleRectToDisplay(int32_t x, int32_t y, int32_t width, int32_t height, double scaleX,
                        double scaleY, int32_t* outX, int32_t* outY, int32_t* outWidth,
                        int32_t* outHeight);
// The transition-running switch: the transition effects raise it while a
// background-picture transition runs synchronously; RefreshDisplay then
// draws the background without the layers.
void SetTransitionRunning(int32_t running);
int32_t IsTransitionRunning();
// Copies a bitmap area to the display's window (see refresh.cpp).
void RefreshDisplayRect(BitmapHandle* bitmap, int32_t sx, int32_t sy, DisplayRecord* display,
                        int32_t dx, int32_t dy, int32_t width, int32_t height, uint32_t flags);
void RefreshScaledDisplay(BitmapHandle* source, int32_t sx, int32_t sy, DisplayRecord* display,
                          int32_t dx, int32_t dy, int32_t width, int32_t height,
                          int32_t scaledWidth, int32_t scaledHeight, uint32_t flags,
                          BitmapHandle* mask, BitmapHandle* alpha, const BlitClip* clip);
int IsDisplayMonitorFree(DisplayRecord* display);
// The desktop rectangle of the display's monitor.
ErrorCode GetDisplayMonitorRect(DisplayRecord* display, int32_t* x, int32_t* y, int32_t* width,
                                int32_t* height);
// A copy of the screen area (x, y, width, height) as a new bitmap that the
// caller frees: the display adapter's screen grab when one is installed,
// else the X11 screen. The two zero arguments are reserved. ERR_GRABSCREEN
// when nothing can be grabbed.
ErrorCode GrabDisplayPixels(DisplayRecord* display, int32_t x, int32_t y, int32_t width,
                            int32_t height, int32_t reserved1, int32_t reserved2,
                            BitmapHandle** bitmap);
// Moves the pointer to (x, y) of the display's window.
void MoveDisplayPointer(DisplayRecord* display, int32_t x, int32_t y);
// Window-system pointers: an ARGB image (width x height, hot spot inside
// it) made into the display adapter's pointer when one is installed, else
// an X11 one; ERR_POINTERIMG when the adapter makes none. The display's
// pointer becomes kind 0 (the system pointer), 1 (the busy pointer) or 2
// (the image); the adapter is given null for the first two.
ErrorCode CreateDisplayPointer(const uint32_t* argb, int32_t width, int32_t height, int32_t hotX,
                               int32_t hotY, void** out);
void FreeDisplayPointer(void* pointer);
void SetDisplayPointer(DisplayRecord* display, void* pointer, int32_t kind);
// Shows or hides the pointer over the display's window.
void ShowDisplayPointer(DisplayRecord* display, int visible);
// Registers the attribute query's readers of displays, background
// pictures, intervals and timeouts (the graphics library's opener does).
ErrorCode RegisterDisplayAttributeReaders();
// Waits for the display's next frame: the adapter's VWait when it waits
// itself and the display has its window, else the native frame wait.
void WaitDisplayVBlank(VmState* L, DisplayRecord* display, int32_t frame);
// The adapter's Sleep when it sleeps itself (then one poll), else the
// runtime's wait: 0, or what ends the wait early (see PollWhileWaiting).
ErrorCode SleepViaAdapter(VmState* L, int32_t milliseconds);
// The display that owns a new video-memory bitmap: when the adapter binds
// video bitmaps to displays (bitmap flag 32), the display of the id (the
// current one for number 0) must have its adapter window, else
// ERR_HWBMCLOSEDISP (or the look-up's error); otherwise null.
ErrorCode GetHardwareBitmapDisplay(ObjectId id, DisplayRecord** out);
// Whether the adapter double-buffers windows itself; its begin, end and
// flip (sync: wait for the next frame first) of the display's window.
int AdapterDoubleBuffers();
ErrorCode AdapterBeginDoubleBuffer(DisplayRecord* display);
ErrorCode AdapterEndDoubleBuffer(DisplayRecord* display);
ErrorCode AdapterFlip(DisplayRecord* display, int32_t sync);
// The wall-clock seconds at which the event library opened: the run's time
// base, which event time stamps and the system library's timestamps count from.
double GetEventTimeBase();

// Finished background programs (cross-thread notices of kind 10, whose
// second value names the run record) belong to the dos library, which
// registers these hooks when it opens: userData gives the record's user
// data reference (0 when the record is no longer listed), release frees
// the record once the "RunFinished" handler ran or when none is installed.
struct RunFinishedHooks {
  int (*userData)(uintptr_t record, VmRef* out);
  void (*release)(VmState* L, uintptr_t record);
};
void SetRunFinishedHooks(const RunFinishedHooks* hooks);  // null removes them
// Whether the script installed a handler for the "RunFinished" event.
int HasRunFinishedHandler();

// ---- Display callbacks (callback.cpp) ----

// Plug-in services; see plugins/qmplugin.h for messages, values and tags.
QmDisplayCallback* AddDisplayCallback(int32_t displayId, QmDisplayCallbackFunc function,
                                      void* userData, const QmTagItem* tags, int32_t callMode);
void RemoveDisplayCallback(QmDisplayCallback* record);
void PostDisplayCallbackEvent(QmDisplayCallback* record, int32_t message, const intptr_t* data);
ErrorCode ChangeDisplaySizeForCallback(QmDisplayCallback* record, int32_t width, int32_t height,
                                       const QmTagItem* tags);
int32_t GetDisplayAttrsForPlugin(void* handleOrRecord, const QmTagItem* tags);
ErrorCode RefreshDisplayByHandle(void* window);
void RefreshDisplayForCallback(QmDisplayCallback* record);
// Non-zero when a callback on the display asked for refresh brackets
// (QM_DCBTAG_BRACKET).
int DisplayCallbacksWantRefreshBracket(const DisplayRecord* display);

// ---- Requesters (requester.cpp) ----

// Each goes to the requester adapter when it took that requester, else to
// the platform's; the results are runtime memory (FreeMemory).
// type: 0 information ... 4 none; *choice the button as the native
// requester numbers it.
ErrorCode ShowMessageRequester(VmState* L, DisplayRecord* display, const char* title,
                               const char* body, const char* buttons, int32_t type,
                               int32_t defaultButton, int32_t* choice);
// mode 0 open, 1 several, 2 save; "*" and "#?" (or no pattern) match every
// file. *outFiles holds *count names, each ended by a zero byte.
ErrorCode RequestFiles(VmState* L, const char* title, const char* pattern, int32_t mode,
                       const char* folder, const char* file, char** outFolder, char** outFiles,
                       int32_t* count, int32_t* chosen);
ErrorCode RunPathRequester(VmState* L, const char* title, int32_t mode, const char* folder,
                           char** out);
// type 1-4 (3: numbers only); *out "" when cancelled.
ErrorCode RunStringRequester(VmState* L, const char* title, const char* prompt, const char* text,
                             int32_t type, int32_t maxLength, int32_t hidden, char** out);
ErrorCode RunListRequester(VmState* L, const char* title, const char* body, const char* choices,
                           int32_t start, int32_t* index);

// ---- Resizing ----

ErrorCode ResizeDisplay(VmState* L, DisplayRecord* display, int32_t x, int32_t y, int32_t width,
                        int32_t height, int32_t smooth, int32_t scaledWidth, int32_t scaledHeight,
                        uint32_t flags);

// ---- Events, handlers, intervals and timeouts ----

// Queued event types. Every producer (the X11 pump, display code, plug-ins,
// other threads) posts one layout per type; the dispatcher reads only these:
//   1 left, 2 right, 16 middle button: x, y, 1 pressed / 0 released
//   11 wheel up (X button 4), 12 wheel down (X button 5): x, y, 0
//   3 key (translated code), 29 raw key: 1 pressed / 0 released, 0, key code
//   28 typed character: 0, 0, Unicode code point
//   4 moved, 5 size changed, 6 inactive, 7 close requested, 8 active,
//   9 hidden, 10 shown, 13 mode switched, 15 clipboard changed, 17
//   orientation, 18 show keyboard, 19 hide keyboard, 20 hot key, 21 tray
//   icon, 22 touch, 27 dock click, 30 accelerometer, 31 gyroscope: the
//   arguments are not read (the display's current state is reported)
//   14 files dropped: x, y, 0; payload: one block of NUL-terminated paths
//     ended by an empty one
//   23 quit request: none
//   24 plug-in event: payload two words; dropped (no handler reads it)
//   25 application message: payload "message\0sender\0"
//   26 menu select: 0, 0, check state; payload the item's identifier text
//   32 and above: a user event type; payload released by its free hook
// Key codes below 256 are Latin-1 characters; 256 to 313 are named keys.
enum : int32_t {
  EVENT_LEFTBUTTON = 1,
  EVENT_RIGHTBUTTON = 2,
  EVENT_KEY = 3,
  EVENT_MOVEWINDOW = 4,
  EVENT_INACTIVEWINDOW = 6,
  EVENT_CLOSEWINDOW = 7,
  EVENT_ACTIVEWINDOW = 8,
  EVENT_HIDEWINDOW = 9,
  EVENT_SHOWWINDOW = 10,
  EVENT_WHEELUP = 11,
  EVENT_WHEELDOWN = 12,
  EVENT_MODESWITCH = 13,
  EVENT_DROPFILE = 14,
  EVENT_CLIPBOARD = 15,
  EVENT_MIDBUTTON = 16,
  EVENT_ORIENTATION = 17,
  EVENT_SHOWKEYBOARD = 18,
  EVENT_HIDEKEYBOARD = 19,
  EVENT_HOTKEY = 20,
  EVENT_TRAYICON = 21,
  EVENT_TOUCH = 22,
  EVENT_QUIT = 23,
  EVENT_PLUGIN = 24,
  EVENT_APPMESSAGE = 25,
  EVENT_MENUSELECT = 26,
  EVENT_DOCKYCLICK = 27,
  EVENT_CHAR = 28,
  EVENT_RAWKEY = 29,
  EVENT_ACCELEROMETER = 30,
  EVENT_GYROSCOPE = 31,
  EVENT_FIRSTUSERTYPE = 32,
};

// One pass of the central event poll (flags 1: run the poll hooks and expire
// stale events first); 1 when the script must stop (the error, 0 for a quit
// request, in *error). Installed as the platform's event poll;
// the waiting loops of the libraries run it too (flags 2: pump only).
int PollEvents(VmState* L, int32_t flags, int32_t unused, ErrorCode* error);
// User event types that plug-ins register. Mode 0: the library calls the
// handler and the message hook adds fields to the table at the stack top
// (0 or an error). Mode 1: the call hook pushes a function and its
// arguments and returns how many values it pushed (-1 nothing to do, other
// negative values a negated error code); the free hook then gets the
// payload.
using UserEventMessageHook = ErrorCode (*)(VmState* L, void* payload);
using UserEventCallHook = int (*)(VmState* L, VmRef handler, VmRef userData, void* payload);
using UserEventFreeHook = void (*)(VmState* L, void* payload);
// The new type number, or 0 when the name is taken (built-in or user type,
// compared without regard to case) or memory runs out.
int32_t AddUserEventType(const char* name, int32_t mode, UserEventMessageHook messageHook,
                         UserEventCallHook callHook, UserEventFreeHook freeHook, void* thirdHook,
                         int32_t builtin);
// The library opener "event": commands and the per-line event poll hook.
ErrorCode OpenEventLibrary(VmState* L);
// Host event injection (a display adapter's input): kind and its words, the
// first the adapter's window handle for display events. 0 or an error code.
// May be called from any thread; see hostevent.cpp.
ErrorCode PostHostEvent(VmState* L, int32_t kind, const uintptr_t* data);
// The thread that opened the event library applies injected resizes and
// shows; the poll applies those other threads recorded.
void NoteHostEventMainThread();
void ApplyPendingHostEvents(VmState* L);
// Shut-down: intervals, timeouts, user event types and global handlers.
void FreeAllEvents(VmState* L);
// The VM line hook: polls (see PollEvents).
void EventPollHook(VmState* L, VmDebugInfo* ar, int* status, int line);

// The network library's events. While a handler of one of them is
// installed, each dispatch round asks the installed source for due events
// until it reports none: restart is 1 on the round's first call (the source
// then begins its walk of the UDP, server and connection lists again) and
// wanted holds the bits of the events that have handlers.
enum : int32_t {
  NETWORK_EVENT_CONNECT = 1,      // "OnConnect": id is the server, clientId the new connection
  NETWORK_EVENT_RECEIVEDATA = 2,  // "OnReceiveData": id is the connection
  NETWORK_EVENT_DISCONNECT = 4,   // "OnDisconnect": id is the connection
  NETWORK_EVENT_RECEIVEUDP = 8,   // "OnReceiveUDPData": id is the UDP object
};
struct NetworkEventNotice {
  int32_t kind;  // one NETWORK_EVENT_ bit
  ObjectId id;
  ObjectId clientId;
};
// 1 and *out filled when an event is due, 0 when the walk is over.
using NetworkEventSource = int (*)(int restart, uint32_t wanted, NetworkEventNotice* out);
void SetNetworkEventSource(NetworkEventSource source);  // null: none

// The sound library's script-fed music. Each dispatch round first asks the
// installed source once for a music whose queue runs low (1 and *out
// filled, 0 none); the "fillmusicbuffer" handler then runs (message kind
// 20) with "id", "samples" (the frames queued) and "count" (the frames
// missing to one second). running(1) and running(0) bracket every call of
// that handler, the immediate ones too.
struct MusicFillNotice {
  ObjectId id;
  int32_t samples;
  int32_t count;
};
using MusicFillSource = int (*)(MusicFillNotice* out);
using MusicFillRunning = void (*)(int on);
void SetMusicFillSource(MusicFillSource source, MusicFillRunning running);  // null: none
int HasFillMusicBufferHandler();
// Runs the handler at once, collecting nothing: 0 (also without a handler)
// or the handler's error.
ErrorCode CallFillMusicBufferHandler(VmState* L, ObjectId id, int32_t samples, int32_t count);

// The event pump (pump.cpp): turns wake messages and the platform's X11
// events into queued events and carries out what they asked; 1 when the
// program must stop (*error holds a failure code, else 0).
int RunX11EventPump(VmState* L, ErrorCode* error);
// Zone 0 to 7 of a size region (see pump.cpp) and the press offsets.
int32_t HitTestWindowBorder(const DisplayRecord* display, const DisplayRegion* region, int32_t x,
                            int32_t y, int32_t* offsetX, int32_t* offsetY);
// 0x80000000 plus the qualifier bits of the held modifier keys.
uint32_t GetKeyQualifiers(const DisplayRecord* display);
// 1 once when the pointer moved in the display since the last call, with
// its last position inside the window.
int TakePointerMoved(DisplayRecord* display, int32_t* x, int32_t* y);

// ---- Context record ----

// The folder's mutable state (displays, background pictures and event handlers) lives in one
// record. Init puts it in its start state; Free releases whatever it still
// holds and leaves it in the start state. The library table calls both.
void InitDisplayContext();
void FreeDisplayContext();

// ---- What the transition effects ask of the layers (fxservices.cpp) ----

// The picture the layer commands act on, and its layers by 1-based
// position (null out of range).
BGPic* GetFXLayerPicture();
qmLayer* GetFXLayerByIndex(int32_t position);
int32_t CountFXLayers();
int32_t GetFXLayerPosition(const qmLayer* layer);  // -1: not on the picture
// A layer argument: a 1-based position, or a name (ERR_FINDLAYER returned
// for an unknown one); another type raises ERR_STRORNUM.
ErrorCode ReadFXLayerArg(VmState* L, int index, int32_t* position);
// The layer's displayed rectangle with border and shadow.
void GetFXLayerBounds(VmState* L, qmLayer* layer, int32_t* x, int32_t* y, int32_t* width,
                      int32_t* height);
// No later visible layer overlaps it.
int IsFXLayerUncovered(qmLayer* layer);
// A visible layer before it in the list overlaps it.
int IsFXLayerOverlapped(qmLayer* layer);
// Composes the current picture's stack over the rectangle into dest (the
// display's window bitmap when null), leaving out one layer (or none).
void RedrawFXLayers(VmState* L, BitmapHandle* dest, int32_t x, int32_t y, int32_t width,
                    int32_t height, qmLayer* leaveOut);
// Shows the layer's area again (composed).
void RefreshFXLayerArea(VmState* L, qmLayer* layer);
void DeleteFXLayer(VmState* L, qmLayer* layer);
void MoveFXLayer(VmState* L, qmLayer* layer, int32_t x, int32_t y);
// Drops the layer's cached filtered, bordered and shadow images.
void FreeFXLayerCaches(qmLayer* layer);
// Frees an image state a transition made (its triples and caches).
void FreeFXImageState(VmState* L, LayerImageState* state);
// The layer output check of the layer commands (1082, 1339, 1147, 1167,
// then 1078 when layers are off).
ErrorCode CheckFXLayerOutput(int checkLayersOn);
// A copy of what the layer shows at its displayed size (the transformed
// image, unfiltered): new handles the caller owns (mask or alpha channel
// when it has one).
ErrorCode CopyFXLayerImage(VmState* L, qmLayer* layer, BitmapHandle** bitmap, BitmapHandle** mask,
                           BitmapHandle** alpha, int32_t* width, int32_t* height);
// A background picture by identifier (ERR_FINDBGPIC).
ErrorCode GetFXBGPic(VmState* L, ObjectId id, BGPic** out);
// Builds a picture's current images at a new size from its source images
// (sharing them at the source size); 0, ERR_BITMAP, ERR_ALLOCMASK or
// ERR_ALLOCALPHA, the old images kept on failure.
ErrorCode RescaleBGPic(BGPic* pic, int32_t width, int32_t height, int32_t smooth);

// ---- Single layers for other libraries (layerops.cpp) ----

// The current picture's layer named by the script argument (a position or
// a name) with its position: ERR_LAYERRANGE, ERR_FINDLAYER.
ErrorCode GetLayerFromArg(VmState* L, int index, qmLayer** out, int32_t* position);
// The current picture's layer at a 1-based position, or null.
qmLayer* GetCurrentLayerAt(int32_t position);
// The top layer of the current picture that shows the object, or null.
qmLayer* FindLayerShowingObject(int32_t type, ObjectId id);
// A layer of the current picture as drawing target: from now on it shows
// a copy of its image of its own, which is returned to draw into
// (ERR_RENDERADLAYER while an async drawing draws into the layer).
ErrorCode GetLayerDrawTarget(VmState* L, int32_t position, qmLayer** layer, LayerTriple* out,
                             int32_t* width, int32_t* height);
// The end of a layer selection: its derived images are made again and,
// unless noRefresh, its area is shown.
void EndLayerSelection(VmState* L, qmLayer* layer, int noRefresh);
// Whether the layer is in the list of some picture.
int LayerExists(const qmLayer* layer);
// Copies (owned by the caller) of the image of the current display's layer
// at a 1-based position as it is shown, filters aside; of an anim layer
// the frame (from 1) of its anim. ERR_NOLAYERS without layers,
// ERR_LAYERRANGE without such a layer.
ErrorCode CopyLayerImage(VmState* L, int32_t position, int32_t frame, LayerTriple* out,
                         int32_t* width, int32_t* height);
// Moves the layer to x, y (KEEPPOSITION keeps a coordinate) and shows the
// old and new areas.
void MoveLayerToPoint(VmState* L, qmLayer* layer, int32_t x, int32_t y);
// Moves an anim layer to x, y (KEEPPOSITION keeps a coordinate) and shows
// another frame (1-based; 0 the next one, wrapping; -1 the last) through
// the style path; with noRefresh the caller shows the area.
ErrorCode SetLayerPosFrame(VmState* L, qmLayer* layer, int32_t x, int32_t y, int32_t frame,
                           int noRefresh);

// ---- Sprite instances (sprites.cpp) ----

// The sprite library builds the frames of sprites made before any display
// when the first display opens (null: none).
void SetSpriteRestoreHook(ErrorCode (*restore)());
// The anim library turns the frames of anims loaded while preloading into
// bitmaps at the first opening; null removes the hook.
void SetAnimRealizeHook(ErrorCode (*realize)());
// The font attributes of a display (ATTRFONTASCENDER to ATTRFONTAA) are
// those of the text library's current font: the library registers the
// reader that pushes one (returning 1, or 0 for another attribute) when
// it opens; null removes it.
void SetDisplayFontAttributeReader(int (*reader)(VmState* L, int32_t attribute));
// The text cursor goes home and the margins span the new output target
// (outputWidth pixels wide) whenever the target changes.
void ResetTextCursor(DisplayRecord* display, int32_t outputWidth);
// The font attributes (ATTRFONTASCENDER to ATTRFONTAA) and ATTRTEXT of
// text, print and text-object layers come from the text library: it
// registers the reader that pushes one (returning 1, or 0 when it has no
// answer) when it opens; null removes it.
using LayerTextAttributeReader = int (*)(VmState* L, qmLayer* layer, int32_t attribute);
void SetLayerTextAttributeReader(LayerTextAttributeReader reader);
// The video library answers the playback attributes of video layers.
void SetLayerVideoAttributeReader(LayerTextAttributeReader reader);

// A sprite (or, without layers, a video) on the screen: one per shown
// object, kept in its background picture's list in drawing order. The
// sprite library keeps image pointing at the current frame's bitmaps.
struct SpriteInstance {
  SpriteInstance* next;
  ObjectId id;
  int32_t x, y, width, height;
  int32_t frame;  // from 1
  void* sprite;
  void* video;
  int32_t pictureWord;
  int32_t videoWord;
  int32_t redrawMark;
  LayerTriple image;
};
// Whether the rectangle overlaps (inclusive corners) an instance of the picture.
int RectHitsSprite(const BGPic* picture, int32_t x, int32_t y, int32_t width, int32_t height);
// Instances of the picture without a video.
int32_t CountSpriteInstances(const BGPic* picture);
// Frees the picture's instances without a redraw.
void FreeSpriteInstances(BGPic* picture);
// The instance of the sprite on the current display's picture, with its
// index from 0 (-1 none).
SpriteInstance* FindSpriteInstance(ObjectId id, int32_t* index);
// A new instance, before the first video instance (videos at the end).
SpriteInstance* AddSpriteInstance(BGPic* picture, int isVideo);
// Frees the instances of the sprite record on every picture, without redraw.
void ForgetSpriteInstances(const void* sprite);
// Unlinks the instance (not freed).
void UnlinkSpriteInstance(BGPic* picture, SpriteInstance* instance);
// Shows the rectangle of the current display again: its window bitmap
// with the sprites over it.
void RedrawSpriteArea(VmState* L, DisplayRecord* display, int32_t x, int32_t y, int32_t width,
                      int32_t height);
// Draws the picture's instances that meet the rectangle into the bitmap
// (coordinates of the picture, the bitmap's origin at originX, originY).
void DrawSpriteInstances(const BGPic* picture, BitmapHandle* dest, int32_t originX, int32_t originY,
                         int32_t x, int32_t y, int32_t width, int32_t height);

// ---- What the graphics library reads and sets of a display ----
// Installed into the graphics library (GfxDisplayHooks) by the composition
// root (display/gfxhooks.cpp).

// The pointer in the display's window as the server has it now (0, 0 when
// it cannot be asked).
void QueryDisplayPointer(DisplayRecord* display, int32_t* x, int32_t* y);
void GetGfxDisplayValues(const DisplayRecord* display, GfxDisplayValues* out);
// The pointer record the display shows, and whether it is hidden.
void SetDisplayPointerState(DisplayRecord* display, void* pointer, int hidden);
// Opens (1) or closes (0) the display's refresh bracket.
void SetDisplayRefreshBracket(DisplayRecord* display, int open);
// The text margins; the text cursor goes to the left one.
void SetDisplayTextMargins(DisplayRecord* display, int32_t left, int32_t right);
// The time of the display's last frame, which the frame-rate limit keeps.
TimeValue* GetDisplayFrameTime(DisplayRecord* display);
