// The drawing library's shapes inside draw/: the shape descriptor, the
// outline and geometry routines, the coverage drawing wrapper and the
// renderer. Used by the shape and line commands and by tests.
#pragma once

#include <cstdint>
#include <vector>

#include "draw/draw_private.h"

// Outlines never hold more points than the scratch buffers of the
// library keep.
constexpr int32_t SHAPE_MAX_POINTS = 1000;
// The largest thickness a line or outline is drawn with; beyond it the
// command is refused.
constexpr int32_t SHAPE_MAX_THICKNESS = 32767;
// Lines clamp their thickness to this.
constexpr int32_t LINE_MAX_THICKNESS = 64;

struct ShapeDescriptor {
  int32_t kind;       // SHAPE_BOX, SHAPE_CIRCLE, SHAPE_ELLIPSE, SHAPE_POLYGON, SHAPE_ARC
  int32_t lineBased;  // non-zero: the polygon route
  int32_t x, y;       // as passed in
  int32_t width, height;
  int32_t rx, ry;
  int32_t startAngle, endAngle;
  int32_t corners[4];            // top-left, bottom-left, bottom-right, top-right
  std::vector<double> vertices;  // x, y pairs relative to the bounding box
  uint32_t color;                // top byte: transparency
  int32_t clockwise;
  const DrawStyle* style;
  const DisplayTransform* transform;
  const ObjectStyle* objectStyle;
  ObjectId layerId;
  int32_t objectId;
};

// A point list: x, y pairs.
using ShapePoints = std::vector<int32_t>;

// ---- Geometry ----

// The point turned by the matrix about the pivot at the anchor fractions of
// the size (truncated); the identity returns it unchanged.
void RotatePointAbout(int32_t px, int32_t py, int32_t width, int32_t height, const double m[4],
                      double ax, double ay, int32_t* outX, int32_t* outY);
// Points of the ellipse arc from start to end degrees (0 at 3 o'clock,
// counter-clockwise on screen) around the centre; pie appends the centre to
// a part arc; bounds puts the whole ellipse's minimum and maximum first.
int32_t BuildEllipseArc(ShapePoints* out, int32_t cx, int32_t cy, int32_t rx, int32_t ry,
                        int32_t start, int32_t end, const double m[4], double ax, double ay,
                        int pie, int bounds);
// The closed outline of the shape at width x height (0 points for an
// unknown kind).
int32_t BuildShapeOutline(const ShapeDescriptor* shape, int32_t width, int32_t height,
                          const double m[4], double ax, double ay, ShapePoints* out);
// The polygon outline moved outward by size: every vertex moves along its
// bisector (at most 4 size), one point per vertex.
void OffsetPolygonOutline(const ShapePoints& in, int32_t size, ShapePoints* out);
// Clips the segment to lo..hi on the axis of the first coordinates; 0 when
// nothing is left.
int ClipLineSegment(int32_t* a1, int32_t* b1, int32_t* a2, int32_t* b2, int32_t lo, int32_t hi);
void ClampCorners(int32_t corners[4]);
// Offsets of the shadow and of the body inside an image grown by size in
// the direction.
void SplitShadowOffset(int32_t size, int32_t direction, int32_t* shadowX, int32_t* shadowY,
                       int32_t* bodyX, int32_t* bodyY);
void GrowByDirection(int32_t size, int32_t direction, int32_t* width, int32_t* height);
void NormalizeVector(double* x, double* y);

// ---- Coverage drawing (the only place that calls OpenCV) ----

// An 8-bit coverage image; rows padded to 4 bytes.
struct Coverage {
  int32_t width = 0, height = 0, stride = 0;
  std::vector<uint8_t> bytes;
  // 0 when the size is refused or too large.
  int Make(int32_t w, int32_t h);
  uint8_t At(int32_t x, int32_t y) const {
    return x < 0 || y < 0 || x >= width || y >= height
               ? 0
               : bytes[static_cast<size_t>(y) * static_cast<size_t>(stride) + x];
  }
};
// Fills the polygon (closed or not) with 255, anti-aliased or 8-connected.
void CoverageFillPolygon(Coverage* c, const int32_t* points, int32_t count, int antialias);
// A polyline of the thickness (closed: back to the first point too);
// thickness below 1 fills the polygon instead.
void CoveragePolyline(Coverage* c, const int32_t* points, int32_t count, int closed,
                      int32_t thickness, int antialias);
void CoverageLine(Coverage* c, int32_t x1, int32_t y1, int32_t x2, int32_t y2, int32_t thickness,
                  int antialias);

// ---- Rendering ----

// One layer of a shape image: coverage of the image's size in one colour
// (or the fill source) at an opacity.
struct ShapeImageLayer {
  const Coverage* coverage;
  uint32_t color;
  int32_t opacity;
  const std::vector<uint32_t>* source;  // fill source of the image's size, or null
};
// Composes the layers, each over the ones before it, into ARGB pixels.
void BlendShapeImages(std::vector<uint32_t>* pixels, int32_t w, int32_t h,
                      const ShapeImageLayer* layers, int n);
// The fill source (texture or gradient) of a w x h image of a body of
// bodyW x bodyH with its top-left at bodyX, bodyY of the image (either
// way); empty for a plain colour.
ErrorCode MakeShapeFillSource(VmState* L, const DrawStyle* s, int32_t w, int32_t h, int32_t bodyX,
                              int32_t bodyY, int32_t bodyW, int32_t bodyH,
                              std::vector<uint32_t>* out);
// What MakeShapeFillSource would refuse (a texture brush gone), for an
// image of which nothing is rendered.
ErrorCode CheckShapeFillSource(VmState* L, const DrawStyle* s);

enum : uint32_t { SHAPE_TOLAYER = 16, SHAPE_LAYERTRANSFORM = 8, SHAPE_NODRAW = 1 };
ErrorCode RenderShape(VmState* L, ShapeDescriptor* shape, uint32_t flags);
// RenderShape's route for a box filled with a plain colour (sharp after
// clamping its corners, unturned, without effects) into a selected brush,
// mask or alpha channel, taken before a descriptor is built: *drawn 1 when
// it drew; 0 with no error when RenderShape must draw the box.
ErrorCode RenderPlainBox(VmState* L, const DrawStyle* style, int32_t x, int32_t y, int32_t w,
                         int32_t h, uint32_t color, const int32_t corners[4],
                         const DisplayTransform* t, const ObjectStyle* os, int* drawn);
ErrorCode DrawLineCore(VmState* L, ObjectId layer, const DrawStyle* style, int32_t x1, int32_t y1,
                       int32_t x2, int32_t y2, uint32_t color, int32_t thickness,
                       const DisplayTransform* transform, const ObjectStyle* objectStyle,
                       uint32_t flags);
// Whether the running script draws shapes the newer way (anti-aliased
// round shapes through the vector route).
int ShapeNewMode();
// The route word of a box.
int32_t BoxRoute(const DrawStyle* style, const int32_t corners[4], const double m[4]);

// Hands a composed ARGB image to the output at tx, ty: a selected mask or
// alpha channel takes its alpha, any other output the image blended
// through its alpha after the object style's effects. A shape capture
// takes the pixels over (the vector is left empty then).
ErrorCode DeliverShapeImage(VmState* L, std::vector<uint32_t>& pixels, int32_t w, int32_t h,
                            int32_t tx, int32_t ty, const ObjectStyle* objectStyle);
// ERR_BITMAP for an image size beyond what a shape may render into.
ErrorCode CheckShapeImageSize(int64_t w, int64_t h);
// The part of an image going to the output that is rendered: where it
// lies from the image's top-left, and its size.
struct ShapeWindow {
  int64_t x = 0, y = 0;
  int32_t width = 0, height = 0;
  bool Empty() const { return width < 1 || height < 1; }
};
// For a w x h image with its top-left at tx, ty of the current output:
// the whole image, unless it is far larger than the output (then the part
// the output shows, empty when none). Layers (the shape capture) and the
// object style's filters take whole images.
ShapeWindow VisibleShapeWindow(const ObjectStyle& os, int64_t tx, int64_t ty, int32_t w, int32_t h);
// Test hook: while on, every shape image going to the output is cut to
// the part the output shows, whatever its size (normally only images far
// larger than the output are).
void SetShapeCutAlways(bool on);

// Every layer of the display freed (Cls with layers on).
ErrorCode ClearShapeLayers(VmState* L, DisplayRecord* display);
// A shape or line layer of the kind made from the descriptor: the layer
// keeps a record of the shape and draws it again through its transform.
ErrorCode AddShapeLayer(VmState* L, ShapeDescriptor* shape, int32_t kind);
// While set, the image that a shape or line would hand to the output is
// kept here instead (the shape layers draw their images this way): ARGB
// pixels and where the image lies. Lines are then not clipped to the
// output.
struct ShapeCapture {
  std::vector<uint32_t> pixels;
  int32_t width = 0, height = 0, x = 0, y = 0;
  int taken = 0;
};
extern ShapeCapture* activeShapeCapture;
// Registers the shape and line layer kinds with the layers library.
void RegisterShapeLayerKinds();
// The "linebasedshapes" switch of LegacyControl: on, every shape takes the
// polygon route as older applets drew them.
inline int LineBasedShapesSwitch() { return GetLegacySwitch(LEGACY_LINEBASEDSHAPES) != 0; }

// Shape commands (shapes.cpp, lines.cpp).
int CmdBox(VmState* L);
int CmdCircle(VmState* L);
int CmdEllipse(VmState* L);
int CmdArc(VmState* L);
int CmdPolygon(VmState* L);
int CmdLine(VmState* L);
int CmdPlot(VmState* L);
int CmdReadPixel(VmState* L);
int CmdCls(VmState* L);
