// The built-in vector engine inside draw/: path items as the vector path
// buffers hold them, the request records the engine's entry points take,
// and the shape routine the drawing library's vector route calls.
#pragma once

#include <cstdint>
#include <vector>

#include "draw/draw.h"

// Item kinds of a path buffer; each item is its 32-bit kind followed by
// its fields packed without gaps (integers 32 bits, doubles 64 bits,
// pointers pointer-sized, strings zero-terminated and padded to 4 bytes);
// a 32-bit 0 ends the buffer.
enum : int32_t {
  PATHITEM_END = 0,
  PATHITEM_MOVETO = 1,
  PATHITEM_LINETO = 2,
  PATHITEM_CURVETO = 3,
  PATHITEM_NEWSUBPATH = 5,
  PATHITEM_CLOSEPATH = 6,
  PATHITEM_ARC = 7,
  PATHITEM_BOX = 8,
  PATHITEM_TEXT = 9,
};
enum : int32_t { JOINMITER = 0, JOINROUND = 1, JOINBEVEL = 2 };
enum : int32_t { CAPBUTT = 0, CAPROUND = 1, CAPSQUARE = 2 };
enum : int32_t { FILLRULEWINDING = 0, FILLRULEEVENODD = 1 };

struct VectorLineStyle {
  int32_t join, cap, fillRule, antialias;
  double dashOffset;
  const double* dashes;
  int32_t dashCount;
  double miterLimit;
};

struct VectorPathRequest {
  const uint8_t* items;
  const VectorLineStyle* style;
  int32_t fill;  // 1 fill, 0 stroke
  int32_t lineWidth;
  double xOffset, yOffset;
  double x1, y1, x2, y2;  // extents results
  const double* matrix;   // xx, yx, xy, yy; null or identity: none
  // Drawing: the 8-bit coverage target, clear on entry.
  uint8_t* target;
  int32_t bytesPerRow, width, height;
  // Whole pixels the outline moves by after its box corner is placed at
  // 0, 0 (either way); what falls outside the target is cut off.
  int32_t shiftX, shiftY;
};

struct VectorShapeRequest {
  uint8_t* target;  // null: measure only; else clear on entry
  int32_t bytesPerRow;
  int32_t kind;  // 14 box, 31 arc, else an ellipse
  int32_t rx, ry;
  int32_t startAngle, endAngle;
  int32_t width, height;
  int32_t clockwise;
  int32_t outWidth, outHeight;
  int32_t growth;  // added to the radii and, twice, to width and height
  const double* matrix;
  const int32_t* corners;
  int32_t fill;
  int32_t strokeWidth;
  // Drawing into a target other than the measured box: its size and where
  // the box's top-left lies in it (either way); what falls outside is cut
  // off. A size of 0 is the measured box itself.
  int32_t targetWidth, targetHeight;
  int32_t originX, originY;
};

// The built-in engine's entry points. Path entries return 1 on success, 0
// on failure (nothing is written then).
int GetVectorPathExtents(VectorPathRequest* request);
int DrawVectorPath(VectorPathRequest* request);
// The anti-aliased coverage DrawVectorPath would write (same placement and
// clipping, rows from 0 at the top), handed over as spans of one coverage
// value instead: no buffer is cleared or scanned. 0 without anti-aliasing
// or on failure.
// One row's spans: x from the target's left, length, coverage (laid out as
// FreeType's span record, so a row is handed over as FreeType gives it).
using VectorSpan = CoverageSpan;
using VectorSpanFunction = void (*)(void* user, int32_t y, const VectorSpan* spans, int32_t count);
int DrawVectorPathSpans(VectorPathRequest* request, VectorSpanFunction span, void* user);
void TranslateVectorPath(uint8_t* items, double dx, double dy);
int GetVectorCurrentPoint(VectorPathRequest* request, double* x, double* y);
// A FreeType face over the bytes (which must stay while it is open); null
// on failure. Released with CloseVectorFont.
void* OpenVectorFont(const uint8_t* bytes, size_t length);
void CloseVectorFont(void* face);
int InbuiltDrawShape(VectorShapeRequest* request);
// The anti-aliased coverage InbuiltDrawShape would write, handed over as
// spans after place has been told the measured size and agreed, naming the
// part of the measured box it wants (x, y, width, height, at most INT16_MAX
// wide as a span's x is 16 bits; spans and rows then count from that
// part's top-left): 1 drawn, 0 failed (before place, or in FreeType), -1
// declined (an empty size, or place said no; nothing drawn).
int InbuiltDrawShapeSpans(VectorShapeRequest* request,
                          int (*place)(void* user, int32_t width, int32_t height, int32_t part[4]),
                          VectorSpanFunction span, void* user);
// Releases the engine's FreeType library.
void FreeVectorEngine();

// Appends items to a path buffer (for callers building items by hand).
struct PathItemWriter {
  std::vector<uint8_t> bytes;
  void Int(int32_t v);
  void Double(double v);
  void Pointer(const void* p);
  void String(const char* text);
  // The ending 0; the buffer is ready to be read then.
  const uint8_t* Finish();
};

// ---- The vectorgraphics library (paths.cpp, pathdraw.cpp) ----

struct PluginBase;

// The library's line style: one block for the whole program; paths and
// path layers keep copies with their own dash arrays.
struct PathLineStyle {
  int32_t join, cap;
  double dashOffset;
  int32_t dashCount;
  double* dashes;  // owned
  int32_t fillRule;
  double miterLimit;
};
// The bytes of the item at p (its kind word included); 0 at the ending 0
// or an unknown kind.
size_t PathItemSize(const uint8_t* p);
// What StartPath records of the styles.
struct PathStyleSnapshot {
  PathLineStyle line;
  DrawStyle draw;
};
// A path object. The item buffer ends with a 32-bit 0 behind length bytes
// of items, and capacity covers both.
struct VectorPath {
  ObjectHead head;  // OBJTYPE_VECTORPATH; next links the path list
  uint8_t* items;
  size_t capacity;
  size_t length;
  PathStyleSnapshot* style;
};
// Everything a path is drawn with, kept whole by a path layer (with its
// own copies of the items and the dashes).
struct PathDrawRecord {
  int32_t requestedX, requestedY, requestedWidth, requestedHeight;
  uint32_t color;  // RGB; the top byte is not used
  uint8_t* items;
  size_t capacity;
  PathLineStyle line;
  DrawStyle draw;
  PluginBase* engine;  // null: the built-in engine
};

// The geometry half of an engine request.
struct PathGeometry {
  const uint8_t* items;
  const PathLineStyle* line;
  int32_t antialias;
  int32_t fill;  // 1 fill, 0 stroke with lineWidth
  int32_t lineWidth;
  const double* matrix;  // xx, yx, xy, yy; null: identity
};
// The engine calls. A null engine is the built-in one; an engine of the
// bridged kind is not called and gives zero results (return 0).
int EngineGetExtents(PluginBase* engine, const PathGeometry& g, double box[4]);
// x, y: where the outline's box corner goes. The built-in engine takes the
// whole target and moves the outline there (either way), cutting it to
// the target; another engine gets them as its placement, with the target
// handed over from that corner.
int EngineDrawPath(PluginBase* engine, const PathGeometry& g, int32_t x, int32_t y, uint8_t* target,
                   int32_t bytesPerRow, int32_t width, int32_t height);
// The built-in engine's coverage as spans (see DrawVectorPathSpans), the
// outline's box corner at x, y of a width x height target; -1 when the
// engine cannot give them (another engine, no anti-aliasing), else 1 drawn
// or 0 failed.
int EngineDrawPathSpans(PluginBase* engine, const PathGeometry& g, int32_t x, int32_t y,
                        int32_t width, int32_t height, VectorSpanFunction span, void* user);
void EngineTranslatePath(PluginBase* engine, uint8_t* items, double dx, double dy);
int EngineCurrentPoint(PluginBase* engine, const PathGeometry& g, double* x, double* y);
// Gives every Text item the handle of its font for the engine (made on
// first use); ERR_VFONT when an item's font is gone or gives no handle.
ErrorCode ResolvePathTextHandles(PluginBase* engine, uint8_t* items);

// The library's state as drawing reads it.
PluginBase* CurrentVectorEngine();
const PathLineStyle* CurrentPathLineStyle();
int PathUseForced();
// ERR_FINDPATH (naming the number) or ERR_FINDARRAY for an automatic id.
ErrorCode FindPathById(ObjectId id, VectorPath** out);
// The engine of a name: "default" the built-in one (null), else a loaded
// plug-in with the vector capability by file name (".qmp" added when
// missing); ERR_FINDPLUGIN naming the file.
ErrorCode FindVectorEngine(const char* name, PluginBase** out);
// A new path of an automatic id that the caller frees with FreePathObject.
ErrorCode NewTemporaryPath(VectorPath** out);
ErrorCode AppendPathBytes(VectorPath* path, const uint8_t* bytes, size_t length);
void FreePathObject(VmState* L, VectorPath* path);
// Copies a line style with its own dash array; ERR_MEM leaves to empty.
ErrorCode CopyPathLineStyle(const PathLineStyle& from, PathLineStyle* to);
void FreePathLineStyle(PathLineStyle* style);

// Drawing (pathdraw.cpp).
enum : uint32_t {
  PATHDRAW_NOLAYER = 1,  // draw into the output even when layers are on
};
// The image a path draws for a layer: bitmap and alpha channel owned by the
// caller, their offset from the layer's position and their size.
struct PathLayerOutput {
  BitmapHandle* bitmap;
  BitmapHandle* alpha;
  int32_t offsetX, offsetY;
  int32_t width, height;
};
ErrorCode DrawPathCore(VmState* L, PathDrawRecord* record, int32_t x, int32_t y,
                       const DisplayTransform* transform, const ObjectStyle* objectStyle,
                       uint32_t flags, PathLayerOutput* layerOutput);
// Fills a record from the path, the current line style, drawing style and
// engine (items and dashes are borrowed, not copied).
void FillPathDrawRecord(const VectorPath* path, uint32_t color, PathDrawRecord* record);
ErrorCode DrawPathUsingCurrentStyle(VmState* L, ObjectId id, int32_t x, int32_t y, uint32_t color,
                                    int optionsIndex);
void RegisterPathLayerKind();
void FreePathDrawScratch();
int CmdDrawPath(VmState* L);
int CmdPathToBrush(VmState* L);
// The drawing library's shapes through a temporary path while path use
// is forced: kind (SHAPE_BOX, SHAPE_CIRCLE, SHAPE_ELLIPSE, SHAPE_POLYGON,
// SHAPE_ARC), the position, colour and options index of the command, and
// the shape's parameters (vertices as x, y pairs).
struct PathShapeParameters {
  double width, height;
  double rx, ry;
  double startAngle, endAngle;
  int32_t clockwise;
  int32_t corners[4];
  const double* vertices;
  int32_t vertexCount;
};
ErrorCode DrawPathObject(VmState* L, int32_t kind, int32_t x, int32_t y, uint32_t color,
                         int optionsIndex, const PathShapeParameters& shape);
