// The "video" command library: video objects (type 50) in one list under
// the list lock, their commands, the binding of a playing video to a
// display, and the hooks through which displays suspend, resume and stop
// their videos and keep drawing out of their rectangles.
//
// Invariant: a video is bound to a display exactly while its state is 1, 2,
// 3 or 4, and its back end then has running threads; the refresh thread
// changes a state only from 1 to 4, under the list lock.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "display/display.h"
#include "engine/engine.h"
#include "engine/optiontable.h"
#include "gfx/gfx.h"
#include "draw/draw.h"
#include "media/audio_private.h"
#include "media/media.h"
#include "media/sound_private.h"
#include "media/video_private.h"
#include "platform/linux/platform.h"
#include "runtime/runtime.h"

namespace {

constexpr int32_t LOADING_VIDEO_TEXT = 751;  // "Loading video %s"
constexpr size_t LOADER_TEXT_MAX = 256;      // loader and adapter strings, cut there
constexpr size_t FILE_NAME_MAX = 1024;
constexpr int32_t VOLUME_MAX = 64;
constexpr int32_t GRAB_COUNT = 15;  // frames decoded after a seek for one frame
constexpr int32_t WAVE_HEADER = 44;
constexpr int32_t EXPORT_SOUND_BYTES = 262144;
constexpr int32_t OUTPUT_MASK = 28;  // output target kinds of a display
constexpr int32_t OUTPUT_ALPHA = 30;
constexpr int32_t VIDDRV_OS = 0;  // the operating system's own player
constexpr int32_t VIDDRV_QUILLMERE = 1;

enum : int32_t {
  STATE_STOPPED = 0,
  STATE_PLAYING = 1,
  STATE_PAUSED = 2,
  STATE_SUSPENDED = 3,
  STATE_FINISHED = 4,
};

struct VideoObject {
  ObjectHead head;
  VideoPlayback* backend;
  int32_t x, y, screenX, screenY;
  int32_t nativeWidth, nativeHeight, width, height, screenWidth, screenHeight;
  int32_t smooth, duration;
  std::atomic<int32_t> state;
  int32_t savedState;
  DisplayRecord* display;
  qmLayer* layer;  // the layer that shows the video, while asLayer
  // The size of the frames that layer cuts its part from (the layer's
  // image holds only the part).
  int32_t frameWidth, frameHeight;
  BGPic* picture;     // that layer's picture
  VideoSound* sound;  // its channel while it plays with sound
  // With a display adapter: the sprite instance that shows the video while
  // it is bound, and the bitmap of the frame the instance shows.
  SpriteInstance* spriteInstance;
  BitmapHandle* frameBitmap;
  int32_t volume, seekable, asLayer, internal, locks;
  int32_t busy, closePending;  // an export runs; CloseVideo came during it
  char fileName[FILE_NAME_MAX];
  char loader[LOADER_TEXT_MAX];
  char adapterName[LOADER_TEXT_MAX];
};

struct VideoContext {
  ObjectHead* list = nullptr;
  PlatformMutex* lock = nullptr;
  char defaultLoader[LOADER_TEXT_MAX] = "";
};
VideoContext videoContext;

VideoObject* firstVideo() { return reinterpret_cast<VideoObject*>(videoContext.list); }
VideoObject* nextVideo(VideoObject* v) { return reinterpret_cast<VideoObject*>(v->head.next); }

bool active(const VideoObject* v) {
  const int32_t s = v->state;
  return s == STATE_PLAYING || s == STATE_PAUSED || s == STATE_FINISHED;
}

void lockList() {
  if (videoContext.lock) LockMutex(videoContext.lock);
}
void unlockList() {
  if (videoContext.lock) UnlockMutex(videoContext.lock);
}

enum : uint32_t { FIND_MODIFY = 1, FIND_INTERNAL = 2 };

ErrorCode getVideo(ObjectId id, VideoObject** out, uint32_t flags) {
  *out = nullptr;
  for (VideoObject* v = firstVideo(); v; v = nextVideo(v)) {
    if (v->internal && !(flags & FIND_INTERNAL)) continue;
    if (v->head.number != id.number || v->head.autoId != id.autoId) continue;
    if ((flags & FIND_MODIFY) && v->locks > 0) return ERR_LOCKEDOBJ;
    *out = v;
    return ERR_NONE;
  }
  if (id.autoId) return ERR_FINDARRAY;
  SetErrorArgNumber(id.number);
  return ERR_FINDVIDEO;
}

ObjectId idOf(const VideoObject* v) { return ObjectId{v->head.autoId, v->head.number}; }

bool shownByLayer(const VideoObject* v) { return IsObjectOnLayer(LAYER_VIDEO, idOf(v)) != 0; }

// Runs on the refresh thread when the stream ended.
void onVideoEnd(void* context) {
  auto* v = static_cast<VideoObject*>(context);
  lockList();
  int32_t playing = STATE_PLAYING;
  v->state.compare_exchange_strong(playing, STATE_FINISHED);
  unlockList();
}

// The screen rectangle: on a scaled display where the display shows the
// video's rectangle, as it places layers.
void rescaleVideoRect(VideoObject* v) {
  DisplayRecord* d = v->display;
  // A sprite instance lies in the picture's pixels and is scaled with the
  // picture when it is shown.
  if (d && !VideosAsSprites() && (d->autoscale || d->layerscale) && d->scaleWidth > 0 && d->bgpic &&
      d->bgpic->width > 0) {
    ScaleRectToDisplay(v->x, v->y, v->width, v->height, d->scaleX, d->scaleY, &v->screenX,
                       &v->screenY, &v->screenWidth, &v->screenHeight);
    v->screenWidth = std::max(1, v->screenWidth);
    v->screenHeight = std::max(1, v->screenHeight);
    return;
  }
  v->screenX = v->x, v->screenY = v->y;
  v->screenWidth = v->width, v->screenHeight = v->height;
}

// Repaints the display where a video stopped showing.
void refreshArea(VmState* L, DisplayRecord* d) {
  if (d && d->state == DISPSTATE_OPEN) RefreshDisplay(L, d, REFRESH_FORCE);
}

// The sprite instance goes (its area shown again) with the frame it showed.
void dropSprite(VmState* L, VideoObject* v) {
  if (!v->spriteInstance) return;
  RemoveVideoSprite(L, v);
  v->spriteInstance = nullptr;
  FreeBitmap(v->frameBitmap);
  v->frameBitmap = nullptr;
}

// A frame of a video shown by a sprite instance, as the main thread
// installs it: the instance shows it at the video's place.
void applySpriteFrame(VmState* L, const PendingDisplayFrame* f) {
  auto* v = static_cast<VideoObject*>(f->target);
  DisplayRecord* d = v->display;
  if (!v->spriteInstance || !d) return;
  BitmapHandle* frame = nullptr;
  if (CreateBitmapFromRGB(f->pixels, -1, f->width, f->height, f->width, 0, 0, d, &frame, nullptr,
                          nullptr) != ERR_NONE)
    return;
  ShowVideoSpriteFrame(L, d, v->spriteInstance, frame, v->screenX, v->screenY);
  FreeBitmap(v->frameBitmap);
  v->frameBitmap = frame;
}

// The channel goes once the threads are joined.
void releaseSound(VideoObject* v) {
  SetVideoSoundOutput(v->backend, nullptr);
  FreeVideoSound(v->sound);
  v->sound = nullptr;
}

ErrorCode stopVideo(VmState* L, VideoObject* v, int refresh) {
  if (!active(v) && v->state != STATE_SUSPENDED) return ERR_VIDSTOPPED;
  StopVideoThreads(v->backend);
  releaseSound(v);
  DisplayRecord* d = v->display;
  const bool sprite = v->spriteInstance != nullptr;
  dropSprite(L, v);
  lockList();
  v->state = STATE_STOPPED;
  v->display = nullptr;
  unlockList();
  // A layer keeps the last frame it was given; a sprite's area was shown
  // again as it went.
  if (refresh && !v->asLayer && !sprite) refreshArea(L, d);
  return ERR_NONE;
}

void freeVideo(VmState* L, VideoObject* v) {
  lockList();
  for (ObjectHead** link = &videoContext.list; *link; link = &(*link)->next) {
    if (*link == &v->head) {
      *link = v->head.next;
      break;
    }
  }
  unlockList();
  if (L) FreeObjectDataList(L, &v->head.data);
  FreeVideoHandle(v->backend);
  dropSprite(L, v);
  FreeVideoSound(v->sound);
  delete v;
}

ErrorCode readLoaderOptions(VmState* L, int index, char* loader, char* adapter) {
  if (VmType(L, index) == VM_TYPE_NONE || VmType(L, index) == VM_TYPE_NIL) return ERR_NONE;
  VmCheckTable(L, index);
  OptionField rows[] = {{"loader", OPTION_STRING, loader, LOADER_TEXT_MAX},
                        {"adapter", OPTION_STRING, adapter, LOADER_TEXT_MAX}};
  return ReadOptionTable(L, index, rows);
}

int32_t resolveX(int32_t x, int32_t width) {
  DisplayRecord* d = GetCurrentDisplay();
  return ResolveXPos(x, width, d ? d->width : 0, 0);
}
int32_t resolveY(int32_t y, int32_t height) {
  DisplayRecord* d = GetCurrentDisplay();
  return ResolveYPos(y, height, d ? d->height : 0, 0);
}

// The output target must be the display itself.
ErrorCode checkOutputIsDisplay(DisplayRecord* d) {
  switch (d->outputKind) {
    case OBJTYPE_BRUSH:
      return ERR_SELECTBRUSH;
    case OUTPUT_MASK:
      return ERR_SELECTMASK;
    case OUTPUT_ALPHA:
      return ERR_SELECTALPHACHANNEL;
    default:
      return ERR_NONE;
  }
}

// ---- Layers ----

// A hidden copy of the video from the same file, for a layer while the
// video itself plays or another layer shows it.
ErrorCode openCopy(const VideoObject* v, VideoObject** out) {
  *out = nullptr;
  VideoPlayback* backend = nullptr;
  int32_t w = 0, h = 0, duration = 0, seekable = 0;
  if (ErrorCode e = OpenVideoDecoder(v->fileName, v->loader, v->adapterName, &backend, &w, &h,
                                     &duration, &seekable))
    return e;
  auto* copy = new (std::nothrow) VideoObject();
  if (!copy) {
    FreeVideoHandle(backend);
    return ERR_MEM;
  }
  copy->head.type = OBJTYPE_VIDEO;
  copy->head.autoId = copy;
  copy->backend = backend;
  copy->nativeWidth = w;
  copy->nativeHeight = h;
  copy->width = copy->screenWidth = v->width;
  copy->height = copy->screenHeight = v->height;
  copy->smooth = v->smooth;
  copy->duration = duration;
  copy->seekable = seekable;
  copy->volume = v->volume;
  copy->internal = 1;
  std::snprintf(copy->fileName, sizeof copy->fileName, "%s", v->fileName);
  std::snprintf(copy->loader, sizeof copy->loader, "%s", v->loader);
  std::snprintf(copy->adapterName, sizeof copy->adapterName, "%s", v->adapterName);
  lockList();
  ObjectHead** link = &videoContext.list;
  while (*link) link = &(*link)->next;
  *link = &copy->head;
  unlockList();
  *out = copy;
  return ERR_NONE;
}

// A frame of the video as the main thread installs it into its layer's
// image, which then shows again.
void applyLayerFrame(VmState* L, const PendingDisplayFrame* f) {
  auto* v = static_cast<VideoObject*>(f->target);
  qmLayer* layer = v->layer;
  if (!layer || !LayerExists(layer) || !layer->base || !layer->base->own.bitmap) return;
  BitmapHandle* target = layer->base->own.bitmap;
  BitmapHandle* frame = nullptr;
  if (CreateBitmapFromRGB(f->pixels, -1, f->width, f->height, f->width, 0, 0, nullptr, &frame,
                          nullptr, nullptr) != ERR_NONE)
    return;
  const int32_t sx = layer->base->partX, sy = layer->base->partY;
  const int32_t w = std::min(f->width - sx, static_cast<int32_t>(GetBitmapAttr(target, 0)));
  const int32_t h = std::min(f->height - sy, static_cast<int32_t>(GetBitmapAttr(target, 14)));
  if (w > 0 && h > 0) BltBitmapToTarget(frame, sx, sy, target, 0, 0, w, h);
  FreeBitmap(frame);
  RenewVideoLayer(L, v->display, layer);
}

// Binds the video to the display and starts its threads: into its layer
// when one shows it, else at its screen rectangle. On failure the video
// is stopped and no longer a layer's.
ErrorCode startPlayback(VmState* L, VideoObject* v, DisplayRecord* d, int32_t channel) {
  // The sound takes a channel (the option's, or any free one) unless
  // there is no sound output.
  if (VideoHasSound(v->backend) && !v->sound) {
    int skip = 0;
    ErrorCode e = EnsureSoundOutput(L, &skip);
    int32_t index = VmIndexFromOne(channel);
    if (!e && !skip)
      e = AllocVideoSoundChannel(L, idOf(v), v, VideoFormatChannels(v->backend),
                                 VideoFormatRate(v->backend), v->volume, &index, &v->sound);
    // A device that cannot be opened is no sound output, as for samples.
    if (e == ERR_OPENAUDIO && !mediaContext.forceSound) e = ERR_NONE;
    if (e) {
      v->asLayer = 0;
      v->layer = nullptr;
      dropSprite(L, v);
      return e;
    }
    SetVideoSoundOutput(v->backend, v->sound);
  }
  lockList();
  v->display = d;
  v->state = STATE_PLAYING;
  unlockList();
  int32_t x = v->screenX, y = v->screenY, w = v->screenWidth, h = v->screenHeight;
  if (v->asLayer) {
    SetVideoLayerTarget(v->backend, applyLayerFrame, v);
    x = y = 0;
    w = v->frameWidth;
    h = v->frameHeight;
  } else if (v->spriteInstance) {
    SetVideoLayerTarget(v->backend, applySpriteFrame, v);
  } else {
    SetVideoLayerTarget(v->backend, nullptr, nullptr);
  }
  ErrorCode e = StartVideoThreads(v->backend, idOf(v), onVideoEnd, v, d, x, y, w, h, v->volume,
                                  v->smooth, VmIndexFromOne(channel));
  if (e) {
    lockList();
    v->state = STATE_STOPPED;
    v->display = nullptr;
    v->asLayer = 0;
    v->layer = nullptr;
    unlockList();
    releaseSound(v);
    dropSprite(L, v);
  }
  return e;
}

// Makes the layer that shows the video from its frame bitmap (which it
// takes) through the common draw routine, with the display options of
// the argument optionsIndex (0: the defaults).
ErrorCode makeVideoLayer(VmState* L, VideoObject* v, BitmapHandle* frame, int32_t x, int32_t y,
                         int optionsIndex, int32_t insertAt, int hidden) {
  const int32_t w = static_cast<int32_t>(GetBitmapAttr(frame, 0));
  const int32_t h = static_cast<int32_t>(GetBitmapAttr(frame, 14));
  DisplayTransform transform;
  ObjectStyle style;
  CopyDefaultTransform(&transform);
  CopyDefaultObjectStyle(&style);
  if (optionsIndex > 0 && VmType(L, optionsIndex) == VM_TYPE_TABLE) {
    if (ErrorCode e = ParseDisplayOptions(L, optionsIndex, w, h, 0, 0, v->smooth, &transform,
                                          &style, DISPOPT_DEFAULTS)) {
      FreeBitmap(frame);
      return e;
    }
  }
  if (hidden) style.hidden = 1;
  if (insertAt > 0) style.insertPos = insertAt;
  DrawRequest r{};
  r.layer = -1;
  r.type = OBJTYPE_VIDEO;
  r.id = idOf(v);
  r.x = x;
  r.y = y;
  r.transform = &transform;
  r.style = &style;
  r.bitmap = frame;
  v->asLayer = 1;
  if (ErrorCode e = DrawObject(L, &r)) {
    v->asLayer = 0;
    return e;
  }
  v->layer = FindLayerShowingObject(LAYER_VIDEO, idOf(v));
  v->picture = GetFXLayerPicture();
  v->frameWidth = w;
  v->frameHeight = h;
  return ERR_NONE;
}

// PlayVideo with "uselayer": a video that plays or that a layer shows
// already is not taken; a hidden copy plays instead.
ErrorCode playAsLayer(VmState* L, VideoObject* v, DisplayRecord* d, int32_t x, int32_t y,
                      int32_t channel) {
  VideoObject* copy = nullptr;
  if (active(v) || v->asLayer || shownByLayer(v)) {
    if (ErrorCode e = openCopy(v, &copy)) return e;
    v = copy;
  }
  BitmapHandle* frame = AllocBitmap(v->width, v->height, 0, nullptr);
  ErrorCode e = frame ? ERR_NONE : ERR_BITMAP;
  if (frame) {
    FillBitmapRect(frame, 0, 0, v->width, v->height, 0xFF000000u);
    e = makeVideoLayer(L, v, frame, x, y, 4, 0, 0);
  }
  if (!e) e = startPlayback(L, v, d, channel);
  // A copy that no layer shows goes at once.
  if (e && copy && !shownByLayer(copy)) freeVideo(L, copy);
  return e;
}

// DisplayVideoFrame and an inserted video: the frame at ms as a layer.
ErrorCode showFrameLayer(VmState* L, VideoObject* v, int32_t x, int32_t y, int32_t ms,
                         int optionsIndex, int32_t insertAt, int hidden) {
  if (v->state == STATE_FINISHED) stopVideo(L, v, 1);
  VideoObject* copy = nullptr;
  if (active(v) || v->asLayer || shownByLayer(v)) {
    if (ErrorCode e = openCopy(v, &copy)) return e;
    v = copy;
  }
  uint32_t* pixels = nullptr;
  int32_t w = 0, h = 0, row = 0;
  // The start needs no seek: the first frame is taken by its number.
  ErrorCode e = FetchVideoFrame(v->backend, ms, ms == 0 ? 0 : 1, GRAB_COUNT, &pixels, &w, &h, &row);
  BitmapHandle* frame = nullptr;
  if (!e && CreateBitmapFromRGB(pixels, -1, w, h, row, 0, 0, nullptr, &frame, nullptr, nullptr))
    e = ERR_BITMAP;
  FreeMemory(pixels);
  if (!e) e = makeVideoLayer(L, v, frame, x, y, optionsIndex, insertAt, hidden);
  if (e && copy && !shownByLayer(copy)) freeVideo(L, copy);
  return e;
}

// The video a layer shows (hidden copies included).
ErrorCode layerVideo(const qmLayer* layer, VideoObject** out) {
  return getVideo(layer->sourceId, out, FIND_INTERNAL);
}

// ---- Workers shared by the video and the layer commands ----

ErrorCode pauseVideo(VideoObject* v) {
  if (v->state != STATE_PLAYING) return ERR_VIDNOTPLAYING;
  PauseVideoPlayback(v->backend);
  lockList();
  v->state = STATE_PAUSED;
  unlockList();
  return ERR_NONE;
}

ErrorCode resumeVideo(VideoObject* v) {
  if (v->state != STATE_PAUSED) return ERR_VIDNOTPAUSED;
  ResumeVideoPlayback(v->backend);
  v->state = STATE_PLAYING;
  return ERR_NONE;
}

ErrorCode seekVideo(VideoObject* v, int32_t ms) {
  if (!v->seekable) return ERR_SEEKFORMAT;
  if (ms < 0 || ms > v->duration - 1) return ERR_SEEKRANGE;
  if (v->state == STATE_FINISHED) {
    // The end was reached: the video shows the frame there and holds.
    PauseVideoPlayback(v->backend);
    v->state = STATE_PAUSED;
  }
  return SeekVideoPlayback(v->backend, ms);
}

void setVolume(VideoObject* v, double volume) {
  v->volume = std::clamp(VmTruncInt32(volume), 0, VOLUME_MAX);
  SetVideoSoundVolume(v->sound, v->volume);
}

// ---- Commands ----

int cmdOpenVideo(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 1, &automatic);
  // A file linked into the applet is read from its place there.
  const std::string resolved = GetFileNameArg(L, 2);
  const char* file = resolved.c_str();
  char loader[LOADER_TEXT_MAX], adapter[LOADER_TEXT_MAX] = "";
  std::snprintf(loader, sizeof loader, "%s", videoContext.defaultLoader);
  if (ErrorCode e = readLoaderOptions(L, 3, loader, adapter)) return e;
  if (!automatic) {
    VideoObject* old = nullptr;
    if (getVideo(id, &old, 0) == ERR_NONE) {
      if (active(old) || old->state == STATE_SUSPENDED) stopVideo(L, old, 1);
      freeVideo(L, old);
    }
  }
  PrintProgress(GetBuiltinString(LOADING_VIDEO_TEXT), file, 0);
  VideoPlayback* backend = nullptr;
  int32_t w = 0, h = 0, duration = 0, seekable = 0;
  if (ErrorCode e = OpenVideoDecoder(file, loader, adapter, &backend, &w, &h, &duration, &seekable))
    return e;
  auto* v = new (std::nothrow) VideoObject();
  if (!v) {
    FreeVideoHandle(backend);
    return ERR_MEM;
  }
  v->head.type = OBJTYPE_VIDEO;
  v->head.number = automatic ? 0 : id.number;
  v->head.autoId = automatic ? v : nullptr;
  v->backend = backend;
  v->nativeWidth = v->width = v->screenWidth = w;
  v->nativeHeight = v->height = v->screenHeight = h;
  v->duration = duration;
  v->seekable = seekable;
  v->volume = VOLUME_MAX;
  std::snprintf(v->fileName, sizeof v->fileName, "%s", file);
  std::snprintf(v->loader, sizeof v->loader, "%s", loader);
  std::snprintf(v->adapterName, sizeof v->adapterName, "%s", adapter);
  lockList();
  ObjectHead** link = &videoContext.list;
  while (*link) link = &(*link)->next;
  *link = &v->head;
  unlockList();
  PrintDone();
  return automatic ? PushObjectId(L, ObjectId{v, 0}) : 0;
}

int cmdCloseVideo(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  VideoObject* v = nullptr;
  if (ErrorCode e = getVideo(GetObjectIdArg(L, 1, nullptr), &v, FIND_MODIFY)) return e;
  // A video being exported is freed when the export ends; until then the
  // script cannot find it.
  if (v->busy) {
    v->closePending = 1;
    v->internal = 1;
    return 0;
  }
  // A video that layers show stays for them under its own address, hidden
  // from the script; it goes with the last of those layers.
  if (shownByLayer(v)) {
    const ObjectId own{v, 0};
    RepointLayers(LAYER_VIDEO, idOf(v), own);
    lockList();
    v->head.number = 0;
    v->head.autoId = v;
    v->internal = 1;
    unlockList();
    return 0;
  }
  if (active(v) || v->state == STATE_SUSPENDED) stopVideo(L, v, 1);
  freeVideo(L, v);
  return 0;
}

int cmdPlayVideo(VmState* L) {
  CheckArgCount(L, 1, 4, 0, 0);
  VideoObject* v = nullptr;
  if (ErrorCode e = getVideo(GetObjectIdArg(L, 1, nullptr), &v, FIND_MODIFY)) return e;
  int32_t x = VmOptInteger(L, 2, 0), y = VmOptInteger(L, 3, 0);
  int32_t useLayer = 0, channel = 0;
  if (VmType(L, 4) != VM_TYPE_NONE && VmType(L, 4) != VM_TYPE_NIL) {
    VmCheckTable(L, 4);
    OptionField rows[] = {{"uselayer", OPTION_BOOL, &useLayer, 0},
                          {"channel", OPTION_INT, &channel, 0}};
    if (ErrorCode e = ReadOptionTable(L, 4, rows)) return e;
    if (channel != 0) CheckArgCount(L, 1, 4, 6, 0);
  }
  DisplayRecord* d = GetCurrentDisplay();
  if (!d) return ERR_WRONGUSAGE;
  if (ErrorCode e = checkOutputIsDisplay(d)) return e;
  if (!d->layers) {
    if (d->bgpic && (d->bgpic->mask || d->bgpic->alpha)) return ERR_VIDEOTRANS;
    if (useLayer) return ERR_NOLAYERS;
  }
  if (VideoRecorderActive()) return ERR_WRONGCMDRECVIDEO;
  if (v->state == STATE_FINISHED) stopVideo(L, v, 0);
  if (useLayer) return playAsLayer(L, v, d, x, y, channel);
  if (v->state == STATE_PLAYING) return ERR_VIDPLAYING;
  if (v->state == STATE_PAUSED) return ERR_VIDPAUSED;
  if (shownByLayer(v)) return ERR_DBVIDEOLAYER;
  v->x = resolveX(x, v->width);
  v->y = resolveY(y, v->height);
  v->display = d;
  rescaleVideoRect(v);
  if (v->screenWidth != v->width || v->screenHeight != v->height) v->smooth = d->smooth;
  // With a display adapter the video shows through a sprite instance of the
  // display's picture, over the sprites; else it draws into the window.
  if (VideosAsSprites()) {
    v->spriteInstance =
        AddVideoSprite(d, v, idOf(v), v->screenX, v->screenY, v->screenWidth, v->screenHeight);
    if (!v->spriteInstance) {
      v->display = nullptr;
      return ERR_MEM;
    }
  }
  return startPlayback(L, v, d, channel);
}

int cmdStopVideo(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  VideoObject* v = nullptr;
  if (ErrorCode e = getVideo(GetObjectIdArg(L, 1, nullptr), &v, FIND_MODIFY)) return e;
  if (!active(v)) return ERR_VIDSTOPPED;
  return stopVideo(L, v, 1);
}

int cmdPauseVideo(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  VideoObject* v = nullptr;
  if (ErrorCode e = getVideo(GetObjectIdArg(L, 1, nullptr), &v, FIND_MODIFY)) return e;
  return pauseVideo(v);
}

int cmdResumeVideo(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  VideoObject* v = nullptr;
  if (ErrorCode e = getVideo(GetObjectIdArg(L, 1, nullptr), &v, FIND_MODIFY)) return e;
  return resumeVideo(v);
}

int cmdSeekVideo(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  VideoObject* v = nullptr;
  if (ErrorCode e = getVideo(GetObjectIdArg(L, 1, nullptr), &v, FIND_MODIFY)) return e;
  return seekVideo(v, VmCheckInteger(L, 2));
}

int cmdIsVideo(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  // A file linked into the applet is read from its place there.
  const std::string resolved = GetFileNameArg(L, 1);
  const char* file = resolved.c_str();
  char loader[LOADER_TEXT_MAX] = "", adapter[LOADER_TEXT_MAX] = "";
  if (ErrorCode e = readLoaderOptions(L, 2, loader, adapter)) return e;
  VmPushNumber(L, IsVideoFile(file, loader, adapter));
  return 1;
}

void applyRect(VmState* L, VideoObject* v) {
  if (!active(v)) return;
  rescaleVideoRect(v);
  SetVideoRect(v->backend, v->screenX, v->screenY, v->screenWidth, v->screenHeight, v->smooth);
  // A sprite instance shows its old and new areas when its next frame comes.
  if (!v->spriteInstance) refreshArea(L, v->display);
  RedrawVideo(v->backend);
}

int cmdSetVideoSize(VmState* L) {
  CheckArgCount(L, 3, 4, 0, 0);
  VideoObject* v = nullptr;
  if (ErrorCode e = getVideo(GetObjectIdArg(L, 1, nullptr), &v, FIND_MODIFY)) return e;
  int32_t width = VmCheckInteger(L, 2), height = VmCheckInteger(L, 3);
  const int32_t smooth = VmOptFlag(L, 4, 0);
  if (v->asLayer) return ERR_VIDLAYERFUNC;
  if (width < 1 && width != KEEPASPRAT) return ERR_BADDIMENSIONS;
  if (height < 1 && height != KEEPASPRAT) return ERR_BADDIMENSIONS;
  if (ErrorCode e = ResolveKeepAspectSize(v->nativeWidth, v->nativeHeight, &width, &height))
    return e;
  if (width == v->width && height == v->height && smooth == v->smooth) return 0;
  v->width = width, v->height = height, v->smooth = smooth;
  applyRect(L, v);
  return 0;
}

int cmdSetVideoPosition(VmState* L) {
  CheckArgCount(L, 3, 3, 0, 0);
  VideoObject* v = nullptr;
  if (ErrorCode e = getVideo(GetObjectIdArg(L, 1, nullptr), &v, FIND_MODIFY)) return e;
  const int32_t x = VmCheckInteger(L, 2), y = VmCheckInteger(L, 3);
  if (v->asLayer) return ERR_VIDLAYERFUNC;
  v->x = resolveX(x, v->width);
  v->y = resolveY(y, v->height);
  applyRect(L, v);
  return 0;
}

int cmdSetVideoVolume(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  VideoObject* v = nullptr;
  if (ErrorCode e = getVideo(GetObjectIdArg(L, 1, nullptr), &v, FIND_MODIFY)) return e;
  setVolume(v, GetNumberArgEx(L, 2, VOLUME_MAX, 0, nullptr));
  return 0;
}

int cmdGetVideoFrame(VmState* L) {
  CheckArgCount(L, 3, 5, 0, 0);
  int automatic = 0;
  ObjectId brushId = GetObjectIdArg(L, 1, &automatic);
  const int32_t position = VmCheckInteger(L, 2);
  VideoObject* v = nullptr;
  if (ErrorCode e = getVideo(GetObjectIdArg(L, 3, nullptr), &v, FIND_MODIFY)) return e;
  const int32_t mode = VmOptInteger(L, 4, 0), count = VmOptInteger(L, 5, GRAB_COUNT);
  if (v->state != STATE_STOPPED) return ERR_FGRABVIDSTATE;
  if (v->asLayer) return ERR_WRONGUSAGE;
  if (mode == 0) {
    if (position < 1) return ERR_VIDEOFRAME;
  } else if (mode == 1) {
    if (!v->seekable) return ERR_SEEKFORMAT;
    if (position < 0 || position >= v->duration) return ERR_SEEKRANGE;
  } else {
    return ERR_WRONGUSAGE;
  }
  if (!automatic)
    if (ErrorCode e = FreeBrushObject(L, brushId, 0)) return e;
  uint32_t* pixels = nullptr;
  int32_t w = 0, h = 0, row = 0;
  // Frames count from 1 for scripts and from 0 in the back end.
  if (ErrorCode e = FetchVideoFrame(v->backend, mode == 0 ? VmIndexFromOne(position) : position,
                                    mode, std::max(count, 0), &pixels, &w, &h, &row))
    return e;
  BrushPixels description{pixels, row, 0, 0};
  ErrorCode e = CreateBrushFromPixels(L, &brushId, automatic, w, h, &description, nullptr);
  FreeMemory(pixels);
  if (e) return e;
  return automatic ? PushObjectId(L, brushId) : 0;
}

int cmdIsVideoPlaying(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  VideoObject* v = nullptr;
  if (ErrorCode e = getVideo(GetObjectIdArg(L, 1, nullptr), &v, 0)) return e;
  VmPushNumber(L, v->state == STATE_PLAYING ? 1 : 0);
  return 1;
}

int cmdForceVideoMode(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  return ERR_UNSUPPORTEDFEAT;
}

int cmdForceVideoDriver(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  const int32_t driver = VmTruncInt32(VmCheckNumber(L, 1));
  if (driver == 0) std::snprintf(videoContext.defaultLoader, LOADER_TEXT_MAX, "native");
  if (driver == 1) std::snprintf(videoContext.defaultLoader, LOADER_TEXT_MAX, "inbuilt|plugin");
  return 0;
}

void put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v), p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
  put16(p, v & 0xFFFF);
  put16(p + 2, v >> 16);
}

// Finishes the WAVE file: data filled to a multiple of 4, both sizes
// written. A short write is ERR_WRITE, a failed close ERR_CLOSEFILE.
ErrorCode finishWave(FILE* f, uint32_t dataBytes, const char* name) {
  static const uint8_t zeros[4] = {0, 0, 0, 0};
  const uint32_t fill = (4 - dataBytes % 4) % 4;
  uint8_t size[4];
  bool ok = std::fwrite(zeros, 1, fill, f) == fill;
  put32(size, dataBytes + fill + 36);
  ok = ok && std::fseek(f, 4, SEEK_SET) == 0 && std::fwrite(size, 1, 4, f) == 4;
  put32(size, dataBytes);
  ok = ok && std::fseek(f, 40, SEEK_SET) == 0 && std::fwrite(size, 1, 4, f) == 4;
  const bool closed = std::fclose(f) == 0;
  SetErrorArgString(name);
  if (!ok) return ERR_WRITE;
  return closed ? ERR_NONE : ERR_CLOSEFILE;
}

int cmdDumpVideo(VmState* L) {
  CheckArgCount(L, 1, 5, 0, 0);
  VideoObject* v = nullptr;
  if (ErrorCode e = getVideo(GetObjectIdArg(L, 1, nullptr), &v, FIND_MODIFY)) return e;
  const int32_t x = VmOptInteger(L, 2, 0), y = VmOptInteger(L, 3, 0);
  const char* prefix =
      VmGetTop(L) >= 4 && VmType(L, 4) == VM_TYPE_STRING ? VmCheckString(L, 4, nullptr) : nullptr;
  const int32_t format = VmOptInteger(L, 5, 0);
  static const char* const EXTENSIONS[] = {"bmp", "png", "jpg", "gif", "iff"};
  if (format < 0 || format >= 5 || v->state != STATE_STOPPED) return ERR_WRONGUSAGE;
  DisplayRecord* d = GetCurrentDisplay();
  const int32_t w = v->nativeWidth, h = v->nativeHeight;
  const int32_t dx = resolveX(x, v->width), dy = resolveY(y, v->height);
  auto* frame = static_cast<uint32_t*>(
      AllocMemoryArray(static_cast<size_t>(w) * static_cast<size_t>(h), 4, 0));
  auto* sound = static_cast<uint8_t*>(AllocMemory(EXPORT_SOUND_BYTES, 0));
  if (!frame || !sound) {
    FreeMemory(frame);
    FreeMemory(sound);
    return ERR_MEM;
  }
  FILE* wave = nullptr;
  std::string waveName;
  ErrorCode error = ERR_NONE;
  if (prefix) {
    waveName = std::string(prefix) + ".wav";
    wave = std::fopen(waveName.c_str(), "wb");
    if (!wave) {
      FreeMemory(frame);
      FreeMemory(sound);
      SetErrorArgString(waveName.c_str());
      return ERR_WRITEFILE;
    }
    const int32_t channels = std::max(VideoFormatChannels(v->backend), 1);
    const uint32_t rate = static_cast<uint32_t>(VideoFormatRate(v->backend));
    const uint32_t frameBytes = channels == 2 ? 4 : 2;
    uint8_t header[WAVE_HEADER] = {'R', 'I', 'F', 'F', 0,   0,   0,   0,
                                   'W', 'A', 'V', 'E', 'f', 'm', 't', ' '};
    put32(header + 16, 16);
    put16(header + 20, 1);
    put16(header + 22, static_cast<uint32_t>(channels));
    put32(header + 24, rate);
    put32(header + 28, rate * frameBytes);
    put16(header + 32, frameBytes);
    put16(header + 34, 16);
    std::memcpy(header + 36, "data", 4);
    if (std::fwrite(header, 1, WAVE_HEADER, wave) != WAVE_HEADER) error = ERR_WRITE;
  }
  RewindVideoForExport(v->backend);
  uint32_t dataBytes = 0;
  int32_t frameNumber = 0;
  v->busy++;
  while (!error && !v->closePending) {
    int isFrame = 0;
    int32_t got = 0;
    ErrorCode e =
        ReadVideoExportPacket(v->backend, frame, &isFrame, sound, EXPORT_SOUND_BYTES, &got);
    if (e) break;
    if (isFrame) {
      if (d && d->state == DISPSTATE_OPEN) {
        PendingDisplayFrame* f =
            static_cast<PendingDisplayFrame*>(AllocMemory(sizeof(PendingDisplayFrame), 1));
        int32_t cw = std::min(w, d->width - dx), ch = std::min(h, d->height - dy);
        uint32_t* copy = nullptr;
        if (f && cw > 0 && ch > 0 && dx >= 0 && dy >= 0)
          copy = static_cast<uint32_t*>(
              AllocMemoryArray(static_cast<size_t>(cw) * static_cast<size_t>(ch), 4, 0));
        if (copy) {
          for (int32_t row = 0; row < ch; row++)
            std::memcpy(copy + static_cast<size_t>(row) * cw, frame + static_cast<size_t>(row) * w,
                        static_cast<size_t>(cw) * 4);
          *f = PendingDisplayFrame{nullptr, v, copy, dx, dy, cw, ch, nullptr, nullptr};
          QueueDisplayFrame(d, f);
        } else {
          FreeMemory(f);
        }
      }
      if (prefix) {
        char name[FILE_NAME_MAX + 32];
        std::snprintf(name, sizeof name, "%s%d.%s", prefix, frameNumber, EXTENSIONS[format]);
        error = WriteImageFile(format, frame, w, h, name, -1, 0, 90, 256, 0);
      }
      frameNumber++;
    }
    if (!error && wave && got > 0) {
      if (std::fwrite(sound, 1, static_cast<size_t>(got), wave) != static_cast<size_t>(got))
        error = ERR_WRITE;
      dataBytes += static_cast<uint32_t>(got);
    }
    if (!error) {
      // Handlers run while the export goes on; one that asks to end
      // completes the files as at the end of the stream.
      const int ended = PollEvents(L, 1, 0, &error);
      if (ended && !error) break;
    }
  }
  v->busy--;
  if (wave) {
    ErrorCode e = finishWave(wave, dataBytes, waveName.c_str());
    if (!error) error = e;
  }
  RewindVideoForExport(v->backend);
  FreeMemory(frame);
  FreeMemory(sound);
  // A handler closed the video while it was exported: it goes now.
  if (v->closePending && !v->busy) freeVideo(L, v);
  return error;
}

int cmdDisplayVideoFrame(VmState* L) {
  CheckArgCount(L, 4, 5, 0, 0);
  VideoObject* v = nullptr;
  if (ErrorCode e = getVideo(GetObjectIdArg(L, 1, nullptr), &v, FIND_MODIFY)) return e;
  const int32_t x = VmCheckInteger(L, 2), y = VmCheckInteger(L, 3);
  const int32_t position = VmCheckInteger(L, 4);
  DisplayRecord* d = GetCurrentDisplay();
  if (!d) return ERR_WRONGUSAGE;
  if (ErrorCode e = checkOutputIsDisplay(d)) return e;
  if (!d->layers) return ERR_NOLAYERS;
  if (position != 0 && !v->seekable) return ERR_SEEKFORMAT;
  if (position < 0 || (position != 0 && position >= v->duration)) return ERR_SEEKRANGE;
  return showFrameLayer(L, v, x, y, position, 5, 0, 0);
}

const CommandTableEntry videoCommands[] = {
    {"OpenVideo", cmdOpenVideo},
    {"CloseVideo", cmdCloseVideo},
    {"PlayVideo", cmdPlayVideo},
    {"StopVideo", cmdStopVideo},
    {"PauseVideo", cmdPauseVideo},
    {"ResumeVideo", cmdResumeVideo},
    {"SeekVideo", cmdSeekVideo},
    {"IsVideo", cmdIsVideo},
    {"SetVideoSize", cmdSetVideoSize},
    {"SetVideoPosition", cmdSetVideoPosition},
    {"SetVideoVolume", cmdSetVideoVolume},
    {"GetVideoFrame", cmdGetVideoFrame},
    {"IsVideoPlaying", cmdIsVideoPlaying},
    {"ForceVideoMode", cmdForceVideoMode},
    {"ForceVideoDriver", cmdForceVideoDriver},
    {"DumpVideo", cmdDumpVideo},
    {"DisplayVideoFrame", cmdDisplayVideoFrame},
    {nullptr, nullptr},
};

const ConstantTableEntry videoConstants[] = {
    {"VIDDRV_OS", nullptr, VIDDRV_OS},
    {"VIDDRV_QUILLMERE", nullptr, VIDDRV_QUILLMERE},
    {nullptr, nullptr, 0},
};

// ---- Display hooks ----

void stopDisplayVideos(VmState* L, DisplayRecord* d) {
  for (VideoObject* v = firstVideo(); v; v = nextVideo(v))
    if ((active(v) || v->state == STATE_SUSPENDED) && (!d || v->display == d)) stopVideo(L, v, 0);
}

void suspendDisplayVideos(DisplayRecord* d) {
  for (VideoObject* v = firstVideo(); v; v = nextVideo(v)) {
    if (!active(v) || v->display != d || v->asLayer) continue;
    SetVideoSuspended(v->backend, 1);
    lockList();
    v->savedState = v->state;
    v->state = STATE_SUSPENDED;
    unlockList();
  }
}

void resumeDisplayVideos(DisplayRecord* d) {
  for (VideoObject* v = firstVideo(); v; v = nextVideo(v)) {
    if (v->state != STATE_SUSPENDED || v->display != d) continue;
    SetVideoSuspended(v->backend, 0);
    v->state = v->savedState;
    RedrawVideo(v->backend);
  }
}

int32_t videoRects(const DisplayRecord* d, int32_t* rects, int32_t max) {
  int32_t n = 0;
  lockList();
  for (VideoObject* v = firstVideo(); v && n < max; v = nextVideo(v)) {
    const int32_t s = v->state;
    if (s < STATE_PLAYING || s > STATE_FINISHED || v->display != d || v->asLayer ||
        v->spriteInstance)
      continue;
    rects[4 * n] = v->screenX, rects[4 * n + 1] = v->screenY;
    rects[4 * n + 2] = v->screenWidth, rects[4 * n + 3] = v->screenHeight;
    n++;
  }
  unlockList();
  return n;
}

ErrorCode videoSize(ObjectId id, int32_t* width, int32_t* height) {
  VideoObject* v = nullptr;
  if (ErrorCode e = getVideo(id, &v, FIND_INTERNAL)) return e;
  *width = v->width;
  *height = v->height;
  return ERR_NONE;
}

// The layer goes: its video stops and is no layer's any more.
void stopLayerVideo(VmState* L, qmLayer* layer) {
  VideoObject* v = nullptr;
  if (layerVideo(layer, &v) != ERR_NONE || v->layer != layer) return;
  if (active(v) || v->state == STATE_SUSPENDED) stopVideo(L, v, 0);
  v->asLayer = 0;
  v->layer = nullptr;
  v->picture = nullptr;
}

ErrorCode layerCommand(VmState* L, qmLayer* layer, int32_t command, int32_t value) {
  VideoObject* v = nullptr;
  if (ErrorCode e = layerVideo(layer, &v)) return e;
  switch (command) {
    case VIDEOLAYER_PLAY: {
      if (v->state == STATE_FINISHED) stopVideo(L, v, 0);
      if (active(v) || v->state == STATE_SUSPENDED) return ERR_VIDPLAYING;
      DisplayRecord* d = GetCurrentDisplay();
      if (!d || !layer->base || !layer->base->own.bitmap) return ERR_WRONGUSAGE;
      v->asLayer = 1;
      v->layer = layer;
      v->picture = GetFXLayerPicture();
      return startPlayback(L, v, d, 0);
    }
    case VIDEOLAYER_STOP:
      return stopVideo(L, v, 0);
    case VIDEOLAYER_PAUSE:
      return pauseVideo(v);
    case VIDEOLAYER_RESUME:
      return resumeVideo(v);
    case VIDEOLAYER_SEEK:
      return seekVideo(v, value);
    case VIDEOLAYER_VOLUME:
      setVolume(v, value);
      return ERR_NONE;
    default:
      return ERR_WRONGUSAGE;
  }
}

ErrorCode insertVideoLayer(VmState* L, ObjectId id, int32_t x, int32_t y, int32_t position,
                           int hidden) {
  VideoObject* v = nullptr;
  if (ErrorCode e = getVideo(id, &v, FIND_MODIFY)) return e;
  return showFrameLayer(L, v, x, y, 0, 0, position, hidden);
}

// The display's scale changed: the videos that play on it straight follow.
void rescaleDisplayVideos(VmState* L, DisplayRecord* d) {
  bool any = false;
  for (VideoObject* v = firstVideo(); v; v = nextVideo(v)) {
    // A sprite instance lies in the picture's pixels, which the scale
    // leaves alone.
    if (!active(v) || v->display != d || v->asLayer || v->spriteInstance) continue;
    rescaleVideoRect(v);
    if (v->screenWidth != v->width || v->screenHeight != v->height) v->smooth = d->smooth;
    SetVideoRect(v->backend, v->screenX, v->screenY, v->screenWidth, v->screenHeight, v->smooth);
    any = true;
  }
  if (!any) return;
  refreshArea(L, d);
  for (VideoObject* v = firstVideo(); v; v = nextVideo(v))
    if (active(v) && v->display == d && !v->asLayer && !v->spriteInstance) RedrawVideo(v->backend);
}

const DisplayVideoHooks VIDEO_HOOKS = {stopDisplayVideos,   suspendDisplayVideos,
                                       resumeDisplayVideos, videoRects,
                                       IsVideoOnDisplay,    videoSize,
                                       stopLayerVideo,      layerCommand,
                                       insertVideoLayer,    rescaleDisplayVideos};

// Videos whose layers went: one whose layer went without it stops; a
// hidden one that no layer shows any more is freed.
void flushPendingVideoFrees(VmState* L) {
  for (VideoObject* v = firstVideo(); v;) {
    VideoObject* next = nextVideo(v);
    if (v->asLayer && v->layer && !LayerExists(v->layer)) {
      if (active(v) || v->state == STATE_SUSPENDED) stopVideo(L, v, 0);
      v->asLayer = 0;
      v->layer = nullptr;
      v->picture = nullptr;
    }
    if (v->internal && !v->busy && !shownByLayer(v)) {
      if (active(v) || v->state == STATE_SUSPENDED) stopVideo(L, v, 0);
      freeVideo(L, v);
    }
    v = next;
  }
}

const LayerKind VIDEO_LAYER_KIND{
    LAYER_VIDEO, nullptr, nullptr, nullptr, nullptr, nullptr, flushPendingVideoFrees, nullptr};

// ---- Style fields of video layers: the part of the frames shown ----

constexpr const char* PART_FIELDS[4] = {"partx", "party", "partwidth", "partheight"};

ErrorCode readVideoLayerStyle(VmState* L, int table, LayerStyleWork* w) {
  const LayerImageState* base = w->layer->base;
  w->partX = base->partX;
  w->partY = base->partY;
  w->partWidth = base->requestedWidth;
  w->partHeight = base->requestedHeight;
  int32_t* fields[4] = {&w->partX, &w->partY, &w->partWidth, &w->partHeight};
  bool part = false;
  int found = 0;
  for (int i = 0; i < 4; ++i)
    part = GetTableFieldInt(L, table, PART_FIELDS[i], fields[i], &found) || part;
  if (!part) return ERR_NONE;
  VideoObject* v = nullptr;
  if (ErrorCode e = layerVideo(w->layer, &v)) return e;
  // The part lies inside the frames; a size past their edge is cut there.
  if (w->partX < 0 || w->partY < 0) return ERR_WRONGUSAGE;
  w->partWidth = std::min(w->partWidth, v->frameWidth - w->partX);
  w->partHeight = std::min(w->partHeight, v->frameHeight - w->partY);
  if (w->partWidth < 1 || w->partHeight < 1) return ERR_WRONGUSAGE;
  w->content = 1;
  w->width = w->partWidth;
  w->height = w->partHeight;
  return ERR_NONE;
}

void writeVideoLayerStyle(VmState* L, qmLayer* layer) {
  const LayerImageState* base = layer->base;
  const int32_t values[4] = {base->partX, base->partY, base->requestedWidth, base->requestedHeight};
  for (int i = 0; i < 4; ++i) {
    VmPushString(L, PART_FIELDS[i]);
    VmPushNumber(L, values[i]);
    VmSetTable(L, -3);
  }
}

// The layer is made again with an image of the new part, which keeps what
// the old part showed of the same frame, and is bound to its video again;
// a bound video shows its held frame in it at once.
ErrorCode remakeVideoLayer(VmState* L, qmLayer* layer, LayerStyleWork* w, int32_t x, int32_t y,
                           const DisplayTransform* transform, uint32_t flags, qmLayer** out) {
  VideoObject* v = nullptr;
  if (ErrorCode e = layerVideo(layer, &v)) return e;
  const LayerImageState* base = layer->base;
  BitmapHandle* image = AllocBitmap(w->partWidth, w->partHeight, 0, nullptr);
  if (!image) return ERR_MEM;
  FillBitmapRect(image, 0, 0, w->partWidth, w->partHeight, 0xFF000000u);
  if (base->own.bitmap) {
    const int32_t oldW = static_cast<int32_t>(GetBitmapAttr(base->own.bitmap, 0));
    const int32_t oldH = static_cast<int32_t>(GetBitmapAttr(base->own.bitmap, 14));
    // Where the old and the new part meet, in frame pixels.
    const int32_t x0 = std::max(base->partX, w->partX), y0 = std::max(base->partY, w->partY);
    const int32_t x1 = std::min(base->partX + oldW, w->partX + w->partWidth);
    const int32_t y1 = std::min(base->partY + oldH, w->partY + w->partHeight);
    if (x1 > x0 && y1 > y0)
      BltBitmapToTarget(base->own.bitmap, x0 - base->partX, y0 - base->partY, image, x0 - w->partX,
                        y0 - w->partY, x1 - x0, y1 - y0);
  }
  LayerImageState* state = AllocLayerImageState();
  if (!state) {
    FreeBitmap(image);
    return ERR_MEM;
  }
  state->partX = w->partX;
  state->partY = w->partY;
  state->requestedWidth = w->partWidth;
  state->requestedHeight = w->partHeight;
  int32_t position = 1;
  for (const Node* n = layer->node.pred; n && n->pred; n = n->pred) ++position;
  const ObjectId id = layer->sourceId;
  // The old layer takes its leave inside NewLayer; unbound from it, the
  // video does not stop with it.
  const bool bound = v->layer == layer;
  if (bound) v->layer = nullptr;
  qmLayer* made = nullptr;
  ErrorCode e = NewLayer(L, LAYER_VIDEO, &id, x, y, w->partWidth, w->partHeight, transform, nullptr,
                         image, nullptr, nullptr, state, position, flags, &made);
  if (bound) v->layer = e ? layer : made;
  if (e) return e;
  *out = made;
  if (active(v) && v->layer == made) RedrawVideo(v->backend);
  return ERR_NONE;
}

const LayerStyleHooks VIDEO_LAYER_STYLE{readVideoLayerStyle, writeVideoLayerStyle, remakeVideoLayer,
                                        nullptr};

int readVideoAttribute(VmState* L, int32_t attribute) {
  if (attribute == ATTRCOUNT) {
    int32_t count = 0;
    for (VideoObject* v = firstVideo(); v; v = nextVideo(v))
      if (!v->internal) count++;
    VmPushNumber(L, count);
    return 1;
  }
  VideoObject* v = nullptr;
  if (ErrorCode e = getVideo(GetObjectIdArg(L, 2, nullptr), &v, 0)) return e;
  switch (attribute) {
    case ATTRWIDTH:
      VmPushNumber(L, v->width);
      return 1;
    case ATTRHEIGHT:
      VmPushNumber(L, v->height);
      return 1;
    case ATTRRAWWIDTH:
      VmPushNumber(L, v->nativeWidth);
      return 1;
    case ATTRRAWHEIGHT:
      VmPushNumber(L, v->nativeHeight);
      return 1;
    case ATTRDURATION:
      VmPushNumber(L, v->duration);
      return 1;
    case ATTRPOSITION:
      VmPushNumber(L, static_cast<double>(GetVideoPositionMs(v->backend)));
      return 1;
    case ATTRFORMAT:
      VmPushString(L, QueryVideoFormat(v->backend));
      return 1;
    case ATTRNUMFRAMES:
      VmPushNumber(L, QueryVideoFrameCount(v->backend));
      return 1;
    case ATTRPLAYING:
      VmPushNumber(L, v->state == STATE_PLAYING ? 1 : 0);
      return 1;
    case ATTRPAUSED:
      VmPushNumber(L, v->state == STATE_PAUSED ? 1 : 0);
      return 1;
    case ATTRCANSEEK:
      VmPushNumber(L, v->seekable);
      return 1;
    case ATTRXPOS:
      VmPushNumber(L, v->x);
      return 1;
    case ATTRYPOS:
      VmPushNumber(L, v->y);
      return 1;
    case ATTRSCALEMODE:  // interpolated scaling
      VmPushNumber(L, v->smooth);
      return 1;
    case ATTRSCALEWIDTH:  // on the display while bound, else the requested size
      VmPushNumber(L, active(v) ? v->screenWidth : v->width);
      return 1;
    case ATTRSCALEHEIGHT:
      VmPushNumber(L, active(v) ? v->screenHeight : v->height);
      return 1;
    case ATTRDRIVER:  // every video plays through the own renderer
      VmPushNumber(L, VIDDRV_QUILLMERE);
      return 1;
    case ATTRLOADER:
      VmPushString(L, QueryVideoLoader(v->backend));
      return 1;
    default:
      return ERR_UNKNOWNATTR;
  }
}

// GetAttribute of a video layer: the playback of the video it shows.
int readVideoLayerAttribute(VmState* L, qmLayer* layer, int32_t attribute) {
  VideoObject* v = nullptr;
  if (layerVideo(layer, &v) != ERR_NONE) return 0;
  switch (attribute) {
    case ATTRDURATION:
      VmPushNumber(L, v->duration);
      return 1;
    case ATTRPOSITION:
      VmPushNumber(L, static_cast<double>(GetVideoPositionMs(v->backend)));
      return 1;
    case ATTRFORMAT:
      VmPushString(L, QueryVideoFormat(v->backend));
      return 1;
    case ATTRCANSEEK:
      VmPushNumber(L, v->seekable);
      return 1;
    case ATTRPLAYING:
      VmPushNumber(L, v->state == STATE_PLAYING ? 1 : 0);
      return 1;
    case ATTRPAUSED:
      VmPushNumber(L, v->state == STATE_PAUSED ? 1 : 0);
      return 1;
    default:
      return 0;
  }
}

}  // namespace

ErrorCode OpenVideoLibrary(VmState* L) {
  if (!videoContext.lock) videoContext.lock = AllocMutex();
  if (!videoContext.lock) return ERR_SEMAPHORE;
  if (ErrorCode e = RegisterLibrary(videoCommands, "video")) return e;
  VmRegisterFunctions(L, nullptr, videoCommands, 0);
  VmRegisterConstants(L, videoConstants, 0);
  if (ErrorCode e = RegisterObjectList(&videoContext.list)) return e;
  if (ErrorCode e = RegisterAttributeReader(OBJTYPE_VIDEO, readVideoAttribute)) return e;
  SetDisplayVideoHooks(&VIDEO_HOOKS);
  SetLayerVideoAttributeReader(readVideoLayerAttribute);
  RegisterLayerKind(&VIDEO_LAYER_KIND);
  RegisterLayerStyleHooks(LAYER_VIDEO, &VIDEO_LAYER_STYLE);
  return 0;
}

void FreeAllVideos(VmState* L) {
  SetDisplayVideoHooks(nullptr);
  SetLayerVideoAttributeReader(nullptr);
  RegisterLayerStyleHooks(LAYER_VIDEO, nullptr);
  while (VideoObject* v = firstVideo()) freeVideo(L, v);
  FreeMutex(videoContext.lock);
  videoContext.lock = nullptr;
  videoContext.defaultLoader[0] = 0;
}

ErrorCode StopVideoOfChannel(VmState* L, void* video) {
  auto* v = static_cast<VideoObject*>(video);
  return stopVideo(L, v, 1);
}

void SetVideoVolumeOfChannel(void* video, int32_t volume) {
  setVolume(static_cast<VideoObject*>(video), volume);
}

void StopAllVideos(VmState* L) { stopDisplayVideos(L, nullptr); }

int IsVideoIdPlaying(ObjectId id) {
  VideoObject* v = nullptr;
  return getVideo(id, &v, FIND_INTERNAL) == ERR_NONE && v->state == STATE_PLAYING;
}

int IsVideoAtPosition(const DisplayRecord* display, int32_t x, int32_t y) {
  for (VideoObject* v = firstVideo(); v; v = nextVideo(v)) {
    if (!active(v) || v->display != display || v->asLayer) continue;
    if (x >= v->screenX && x - v->screenX < v->screenWidth && y >= v->screenY &&
        y - v->screenY < v->screenHeight)
      return 1;
  }
  return 0;
}

int IsVideoOnDisplay(const DisplayRecord* display, int excludeLayers, int includePictureLayers) {
  for (VideoObject* v = firstVideo(); v; v = nextVideo(v)) {
    if (!active(v)) continue;
    if (v->display == display && !(excludeLayers && v->asLayer)) return 1;
    if (includePictureLayers && v->asLayer && display->bgpic && v->picture == display->bgpic)
      return 1;
  }
  return 0;
}

ErrorCode GetVideoTestStats(ObjectId id, VideoTestStats* out) {
  VideoObject* v = nullptr;
  if (ErrorCode e = getVideo(id, &v, FIND_INTERNAL)) return e;
  GetVideoStats(v->backend, &out->presented, &out->dropped, &out->threads);
  out->state = v->state;
  out->volume = v->volume;
  return ERR_NONE;
}
