// The layer services the transition effects use: thin entries into the
// layer list, its bounds and its redraw, so that fx/ reaches them through
// the display's service header.
#include "display/display.h"
#include "display/display_private.h"
#include "display/layer_private.h"

BGPic* GetFXLayerPicture() { return GetLayerPicture(); }

qmLayer* GetFXLayerByIndex(int32_t position) {
  return GetLayerByIndex(GetLayerPicture(), position);
}

int32_t CountFXLayers() { return CountLayers(GetLayerPicture()); }

int32_t GetFXLayerPosition(const qmLayer* layer) { return GetLayerPosition(layer); }

ErrorCode ReadFXLayerArg(VmState* L, int index, int32_t* position) {
  return GetLayerIdArg(L, index, GetLayerPicture(), position);
}

void GetFXLayerBounds(VmState* L, qmLayer* layer, int32_t* x, int32_t* y, int32_t* width,
                      int32_t* height) {
  LayerRect r;
  GetLayerBounds(L, layer, layer->display, &r);
  *x = r.x;
  *y = r.y;
  *width = r.width;
  *height = r.height;
}

int IsFXLayerUncovered(qmLayer* layer) { return IsLayerUncovered(GetLayerPicture(), layer); }

int IsFXLayerOverlapped(qmLayer* layer) {
  LayerRect r = StateRect(layer->display);
  for (qmLayer* l = PrevLayer(layer); l; l = PrevLayer(l))
    if (!l->hidden && !l->pending && RectsOverlap(StateRect(l->display), r)) return 1;
  return 0;
}

void RedrawFXLayers(VmState* L, BitmapHandle* dest, int32_t x, int32_t y, int32_t width,
                    int32_t height, qmLayer* leaveOut) {
  DisplayRecord* d = GetLayerDisplay();
  BGPic* pic = GetLayerPicture();
  if (!d || !pic) return;
  if (!dest) dest = GetComposeBuffer(d);
  if (!dest) return;
  // Redraw skips hidden layers: the left-out one is hidden meanwhile.
  int32_t hidden = leaveOut ? leaveOut->hidden : 0;
  if (leaveOut) leaveOut->hidden = 1;
  LayerRect r;
  if (IntersectRects(LayerRect{x, y, width, height}, LayerRect{0, 0, pic->width, pic->height}, &r))
    Redraw(L, d, pic, dest, r.x, r.y, r.width, r.height, 0);
  if (leaveOut) leaveOut->hidden = hidden;
}

void RefreshFXLayerArea(VmState* L, qmLayer* layer) { RefreshLayerArea(L, layer, 0); }

void DeleteFXLayer(VmState* L, qmLayer* layer) { DeleteLayer(L, layer, 0, nullptr, nullptr, 1); }

void MoveFXLayer(VmState* L, qmLayer* layer, int32_t x, int32_t y) {
  MoveLayerTo(L, layer, nullptr, x, y, 0, 0, nullptr);
}

void FreeFXLayerCaches(qmLayer* layer) { FreeLayerCaches(layer); }

void FreeFXImageState(VmState* L, LayerImageState* state) {
  FreeImageState(L, LAYER_NOOBJECT, state);
}

ErrorCode CheckFXLayerOutput(int checkLayersOn) { return CheckLayerOutput(checkLayersOn); }

ErrorCode CopyFXLayerImage(VmState* L, qmLayer* layer, BitmapHandle** bitmap, BitmapHandle** mask,
                           BitmapHandle** alpha, int32_t* width, int32_t* height) {
  LayerImageState* s = layer->display;
  LayerTriple t{};
  int32_t w = 0, h = 0, fromSource = 0;
  if (ErrorCode e = GetLayerImageBitmaps(L, layer, s, 0, 1, -1, &t, &w, &h, &fromSource)) return e;
  int32_t sx = fromSource ? s->partX : 0, sy = fromSource ? s->partY : 0;
  int32_t cw = s->width, ch = s->height;
  if (sx + cw > w) cw = w - sx;
  if (sy + ch > h) ch = h - sy;
  if (cw < 1 || ch < 1) return ERR_WRONGUSAGE;
  if (ErrorCode e = ConvertBitmap(t.bitmap, t.mask, t.alpha, sx, sy, cw, ch, 0, 0, nullptr, nullptr,
                                  bitmap, mask, alpha))
    return e;
  *width = cw;
  *height = ch;
  return ERR_NONE;
}

ErrorCode GetFXBGPic(VmState* L, ObjectId id, BGPic** out) { return GetBGPicObject(L, id, out, 0); }
