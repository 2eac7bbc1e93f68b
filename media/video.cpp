// The video playback back end: a decoder (a video plug-in or the built-in
// CDXL decoder) behind one table, and per playing video up to four threads:
// the packet reader fills an audio and a video queue, the video server
// converts frames into a two-entry picture queue and times them, the audio
// server consumes the sound and keeps the audio clock, and the refresh
// thread hands each frame to its display's pending list when it is due.
//
// Invariant: the main thread touches the decoder only while no thread runs
// or while all of them report idle (paused); every thread tests its stop
// request after each wait, so StopVideoThreads always joins them.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "display/display.h"
#include "media/audio_private.h"
#include "media/media.h"
#include "media/video_private.h"
#include "platform/linux/platform.h"
#include "plugins/plugins.h"
#include "runtime/runtime.h"

namespace {

constexpr size_t AUDIO_QUEUE_LIMIT = 81920;    // bytes of sound the reader queues
constexpr size_t VIDEO_QUEUE_LIMIT = 1310720;  // bytes of video packets
constexpr int32_t AUDIO_STAGING = 262144;      // sound decoded ahead in one go
constexpr int32_t SPARE_ROW = 64;              // pixels of spare row length per frame buffer
constexpr double NO_TIME_STAMP = -10000.0;     // the last time stamp before any frame
constexpr double SOUND_BLOCK_SECONDS = 0.02;   // the audio server's pace

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct PacketNode {
  PacketNode* next;
  QmVideoPacket* packet;  // null: a flush node
  size_t size;
};

struct PacketQueue {
  PacketNode* first = nullptr;
  PacketNode* last = nullptr;
  size_t bytes = 0;
  bool ended = false;
  std::mutex mutex;
  std::condition_variable condition;
};

struct Picture {
  uint32_t* pixels;  // 0xAARRGGBB rows of width + SPARE_ROW pixels
  int32_t width, height;
  double due, timeStamp;
  int64_t position;
};

}  // namespace

struct VideoPlayback {
  const VideoDecoderOps* ops;
  VideoDecoderOps pluginOps;
  PluginBase* plugin;
  void* decoder;
  QmVideoFormat format;
  uint8_t* decodeBuffer;  // source-size frame of a 32-bit decoder
  int32_t decodeRowBytes;
  // Binding.
  DisplayRecord* display;
  int32_t x, y, width, height, smooth, volume, channel;
  ObjectId owner;
  // Set while a layer shows the video: frames go to apply on the main
  // thread, whole, instead of to the window.
  void (*layerApply)(VmState* L, const PendingDisplayFrame* frame);
  void* layerTarget;
  VideoSound* sound;  // the channel the sound goes to, or none
  VideoEndHandler endHandler;
  void* endContext;
  // Queues.
  PacketQueue audioQueue, videoQueue;
  Picture pictures[2];
  int32_t writeIndex, readIndex, count;
  std::mutex pictureMutex;
  std::condition_variable pictureCondition;
  std::mutex decodeMutex;  // held by the video server while it converts and times a frame
  // Timing (video server).
  double frameTimer, lastDelay, lastTimeStamp, videoClock, skipRatio, skipAccumulator;
  // Clocks.
  std::atomic<double> audioClock;
  double externalOffset, pausedAt;
  std::atomic<double> shownTimeStamp, shownAt;
  // Flags.
  std::atomic<bool> paused, suspended, seekRequested, endOfStream, finished, threadsRunning;
  std::atomic<bool> readerIdle, serverIdle, refreshIdle, audioIdle, presenting, resetTiming;
  std::atomic<int64_t> seekTarget;
  bool noSound, pendingSeek, playedOnce;
  int64_t pendingSeekMs, savedPositionMs, finalPositionMs;
  // Threads.
  ThreadRecord *reader, *server, *audio, *refresh;
  std::atomic<int32_t> running;
  std::mutex refreshMutex;
  std::condition_variable refreshCondition;
  // The frame shown last, kept for redraws.
  std::mutex currentMutex;
  uint32_t* current;
  int32_t currentWidth, currentHeight;
  // Single frames.
  int32_t decodedFrames;
  // Counters the tests read.
  std::atomic<int64_t> presented, dropped;
};

namespace {

// ---- Packet queues ----

void putNode(PacketQueue* q, QmVideoPacket* packet, size_t size) {
  auto* node = new (std::nothrow) PacketNode{nullptr, packet, size};
  if (!node) return;
  std::lock_guard<std::mutex> lock(q->mutex);
  if (q->last)
    q->last->next = node;
  else
    q->first = node;
  q->last = node;
  q->bytes += size;
  q->condition.notify_all();
}

void flushQueue(VideoPlayback* v, PacketQueue* q) {
  std::lock_guard<std::mutex> lock(q->mutex);
  for (PacketNode* n = q->first; n;) {
    PacketNode* next = n->next;
    if (n->packet) v->ops->freePacket(v->decoder, n->packet);
    delete n;
    n = next;
  }
  q->first = q->last = nullptr;
  q->bytes = 0;
  q->ended = false;
}

// Takes the next node, waiting while the queue is empty. Null when the
// thread is asked to stop, or when ended is given and the queue is empty
// after the end of the stream (*ended is then set).
PacketNode* takeNode(PacketQueue* q, ThreadRecord* thread, const std::atomic<bool>* paused,
                     bool* ended) {
  std::unique_lock<std::mutex> lock(q->mutex);
  for (;;) {
    if (ThreadStopRequested(thread)) return nullptr;
    if (paused && paused->load()) return nullptr;
    if (q->first) break;
    if (ended && q->ended) {
      *ended = true;
      return nullptr;
    }
    q->condition.wait_for(lock, std::chrono::milliseconds(10));
  }
  PacketNode* n = q->first;
  q->first = n->next;
  if (!q->first) q->last = nullptr;
  q->bytes -= n->size;
  return n;
}

// ---- Frames ----

uint8_t clampByte(int32_t v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// The decoded frame as 0xAARRGGBB at source size (rows of width words).
void frameToArgb(const VideoPlayback* v, const QmVideoFrame& f, uint32_t* out) {
  const int32_t w = v->format.width, h = v->format.height;
  for (int32_t y = 0; y < h; y++) {
    uint32_t* o = out + static_cast<size_t>(y) * static_cast<size_t>(w);
    if (v->format.pixelFormat == 1) {
      const uint8_t* p = f.pixels + static_cast<size_t>(y) * static_cast<size_t>(f.rowBytes);
      for (int32_t x = 0; x < w; x++, p += 4)
        o[x] = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
    } else {
      // Planar 4:2:0, ITU-R BT.601 studio range.
      const uint8_t* py = f.planes[0] + static_cast<size_t>(y) * f.planeRowBytes[0];
      const uint8_t* pu = f.planes[1] + static_cast<size_t>(y / 2) * f.planeRowBytes[1];
      const uint8_t* pv = f.planes[2] + static_cast<size_t>(y / 2) * f.planeRowBytes[2];
      for (int32_t x = 0; x < w; x++) {
        const int32_t c = 298 * (py[x] - 16), d = pu[x / 2] - 128, e = pv[x / 2] - 128;
        o[x] = (uint32_t{clampByte((c + 409 * e + 128) >> 8)} << 16) |
               (uint32_t{clampByte((c - 100 * d - 208 * e + 128) >> 8)} << 8) |
               clampByte((c + 516 * d + 128) >> 8);
      }
    }
  }
}

// Nearest-neighbour copy of a source picture into a destination of
// another size (rows of destRow words).
void scaleArgb(const uint32_t* src, int32_t sw, int32_t sh, size_t srcRow, uint32_t* dst,
               int32_t dw, int32_t dh, size_t dstRow) {
  for (int32_t y = 0; y < dh; y++) {
    const uint32_t* s = src + static_cast<size_t>(static_cast<int64_t>(y) * sh / dh) * srcRow;
    uint32_t* d = dst + static_cast<size_t>(y) * dstRow;
    for (int32_t x = 0; x < dw; x++) d[x] = s[static_cast<int64_t>(x) * sw / dw];
  }
}

// A buffer of height rows of width + SPARE_ROW words, the size checked.
uint32_t* allocFrame(int32_t width, int32_t height) {
  if (width < 1 || height < 1) return nullptr;
  const size_t row = static_cast<size_t>(width) + SPARE_ROW;
  if (static_cast<size_t>(height) > SIZE_MAX / 4 / row) return nullptr;
  return static_cast<uint32_t*>(AllocMemoryArray(row * static_cast<size_t>(height), 4, 1));
}

// Decodes a video packet into a source-size ARGB picture: 0 on success.
int32_t decodeToArgb(VideoPlayback* v, QmVideoPacket* packet, uint32_t* out, double* stamp,
                     int32_t* repeat) {
  QmVideoFrame f{};
  f.pixels = v->decodeBuffer;
  f.rowBytes = v->decodeRowBytes;
  if (v->ops->decodeVideo(v->decoder, packet, &f) != 0) return -1;
  frameToArgb(v, f, out);
  if (stamp) *stamp = f.presentationTime != -1.0 ? f.presentationTime : f.decodingTime;
  if (repeat) *repeat = f.repeatFields;
  return 0;
}

// Copies the picture into the display's pending list (or straight to the
// window on the main thread): the part inside the display.
void presentPicture(VideoPlayback* v, const uint32_t* pixels, int32_t width, int32_t height) {
  DisplayRecord* d = v->display;
  if (!d || v->suspended) return;
  int32_t sx = 0, sy = 0, dx = v->x, dy = v->y, w = width, h = height;
  if (v->layerApply) {
    dx = dy = 0;  // the layer takes the whole frame
  } else {
    if (dx < 0) sx = -dx, w += dx, dx = 0;
    if (dy < 0) sy = -dy, h += dy, dy = 0;
    w = std::min(w, d->width - dx);
    h = std::min(h, d->height - dy);
  }
  if (w <= 0 || h <= 0) return;
  auto* frame = static_cast<PendingDisplayFrame*>(AllocMemory(sizeof(PendingDisplayFrame), 1));
  auto* copy = static_cast<uint32_t*>(
      AllocMemoryArray(static_cast<size_t>(w) * static_cast<size_t>(h), 4, 0));
  if (!frame || !copy) {
    FreeMemory(frame);
    FreeMemory(copy);
    return;
  }
  const size_t row = static_cast<size_t>(width) + SPARE_ROW;
  for (int32_t y = 0; y < h; y++)
    std::memcpy(copy + static_cast<size_t>(y) * static_cast<size_t>(w),
                pixels + static_cast<size_t>(y + sy) * row + sx, static_cast<size_t>(w) * 4);
  *frame = PendingDisplayFrame{nullptr, v, copy, dx, dy, w, h, v->layerApply, v->layerTarget};
  QueueDisplayFrame(d, frame);
}

// Keeps the picture as the current frame (for redraws and pauses).
void keepCurrent(VideoPlayback* v, const uint32_t* pixels, int32_t width, int32_t height) {
  std::lock_guard<std::mutex> lock(v->currentMutex);
  if (!v->current || v->currentWidth != width || v->currentHeight != height) {
    FreeMemory(v->current);
    v->current = allocFrame(width, height);
    v->currentWidth = v->current ? width : 0;
    v->currentHeight = v->current ? height : 0;
  }
  if (v->current)
    std::memcpy(v->current, pixels,
                (static_cast<size_t>(width) + SPARE_ROW) * static_cast<size_t>(height) * 4);
}

double masterClock(VideoPlayback* v) {
  if (!v->noSound) return v->audioClock.load();
  if (v->paused) return v->pausedAt + v->externalOffset;
  return now() + v->externalOffset;
}

// ---- Threads ----

void* readerThread(void* argument) {
  ThreadRecord* self = ThreadRecordFromArg(argument);
  auto* v = static_cast<VideoPlayback*>(GetThreadArgument(self));
  v->running++;
  SignalThreadStarted(self);
  while (!ThreadStopRequested(self)) {
    if (v->seekRequested && !v->paused) {
      v->ops->seek(v->decoder, v->seekTarget);
      if (!v->noSound) flushQueue(v, &v->audioQueue);
      flushQueue(v, &v->videoQueue);
      if (!v->noSound) putNode(&v->audioQueue, nullptr, 0);
      putNode(&v->videoQueue, nullptr, 0);
      v->seekRequested = false;
      v->endOfStream = false;
    }
    bool idle = true;
    while (!ThreadStopRequested(self) && !v->paused && !v->endOfStream && !v->seekRequested &&
           v->audioQueue.bytes <= AUDIO_QUEUE_LIMIT && v->videoQueue.bytes <= VIDEO_QUEUE_LIMIT) {
      idle = false;
      QmVideoPacket* packet = nullptr;
      const int32_t result = v->ops->nextPacket(v->decoder, &packet);
      if (result == -1) {
        v->endOfStream = true;
      } else if (result == 0 && packet) {
        if (packet->isAudio && v->noSound)
          v->ops->freePacket(v->decoder, packet);
        else
          putNode(packet->isAudio ? &v->audioQueue : &v->videoQueue, packet, packet->size);
      }
    }
    for (PacketQueue* q : {&v->audioQueue, &v->videoQueue}) {
      std::lock_guard<std::mutex> lock(q->mutex);
      if (v->endOfStream) q->ended = true;
      q->condition.notify_all();
    }
    v->readerIdle = idle && v->paused;
    Delay(10);
  }
  v->running--;
  WaitThreadRelease(self);
  return nullptr;
}

void* serverThread(void* argument) {
  ThreadRecord* self = ThreadRecordFromArg(argument);
  auto* v = static_cast<VideoPlayback*>(GetThreadArgument(self));
  v->running++;
  SignalThreadStarted(self);
  const size_t sourcePixels =
      static_cast<size_t>(v->format.width) * static_cast<size_t>(v->format.height);
  auto* source = static_cast<uint32_t*>(AllocMemoryArray(sourcePixels, 4, 0));
  while (source && !ThreadStopRequested(self)) {
    if (v->paused) {
      v->serverIdle = true;
      Delay(5);
      continue;
    }
    v->serverIdle = false;
    PacketNode* node = takeNode(&v->videoQueue, self, &v->paused, nullptr);
    if (!node) continue;
    if (!node->packet || v->resetTiming.exchange(false)) {
      if (!node->packet) {
        v->ops->flushVideo(v->decoder);
        std::unique_lock<std::mutex> lock(v->pictureMutex);
        v->count = 0;
        v->readIndex = v->writeIndex = 0;
      }
      v->lastTimeStamp = NO_TIME_STAMP;
      v->frameTimer = now();
      v->skipRatio = 1.0;
    }
    if (!node->packet) {
      delete node;
      continue;
    }
    QmVideoPacket* packet = node->packet;
    delete node;
    double stamp = -1.0;
    int32_t repeat = 0;
    std::unique_lock<std::mutex> decodeLock(v->decodeMutex);
    if (decodeToArgb(v, packet, source, &stamp, &repeat) != 0) {
      decodeLock.unlock();
      v->ops->freePacket(v->decoder, packet);
      continue;
    }
    v->ops->freePacket(v->decoder, packet);
    v->skipAccumulator += 1.0;
    if (v->skipAccumulator < v->skipRatio) {
      v->dropped++;
      continue;
    }
    v->skipAccumulator -= std::min(v->skipRatio, 1.0);
    if (stamp < 0) stamp = v->videoClock;
    v->videoClock = stamp + v->format.frameDuration * (1.0 + 0.5 * repeat);
    // The wait for a free entry holds no decode lock: a resize of a paused
    // video, whose entries stay queued, takes that lock meanwhile.
    decodeLock.unlock();
    {
      std::unique_lock<std::mutex> lock(v->pictureMutex);
      if (v->count == 2 && !v->presenting) v->skipRatio = std::max(0.95, v->skipRatio * 0.95);
      // Waiting here while paused counts as idle: the entries stay queued.
      while (v->count == 2 && !ThreadStopRequested(self)) {
        v->serverIdle = v->paused.load();
        v->pictureCondition.wait_for(lock, std::chrono::milliseconds(10));
      }
      v->serverIdle = false;
    }
    if (ThreadStopRequested(self)) break;
    // Only this thread fills entries: one stays free until it is written.
    decodeLock.lock();
    Picture& p = v->pictures[v->writeIndex];
    scaleArgb(source, v->format.width, v->format.height, static_cast<size_t>(v->format.width),
              p.pixels, p.width, p.height, static_cast<size_t>(p.width) + SPARE_ROW);
    double delay = stamp - v->lastTimeStamp;
    if (delay <= 0 || delay >= 10.0) delay = v->lastDelay;
    v->lastTimeStamp = stamp;
    v->lastDelay = delay;
    if (!v->noSound) {
      const double shown = v->shownTimeStamp.load();
      const double video = v->paused ? shown : shown + (now() - v->shownAt.load());
      const double diff = video - masterClock(v);
      if (std::abs(diff) < 10.0) {
        const double threshold = std::max(delay, 0.01);
        if (diff <= -threshold)
          delay = 0;
        else if (diff >= threshold)
          delay *= 2;
      }
    }
    v->frameTimer += delay;
    p.due = v->frameTimer;
    p.timeStamp = stamp;
    decodeLock.unlock();
    {
      std::lock_guard<std::mutex> lock(v->pictureMutex);
      v->writeIndex = (v->writeIndex + 1) % 2;
      v->count++;
    }
    v->refreshCondition.notify_all();
    std::this_thread::yield();
  }
  FreeMemory(source);
  v->running--;
  WaitThreadRelease(self);
  return nullptr;
}

// Consumes the video's sound at its playing pace and keeps the audio clock:
// the time stamp of the sound played last.
void* audioThread(void* argument) {
  ThreadRecord* self = ThreadRecordFromArg(argument);
  auto* v = static_cast<VideoPlayback*>(GetThreadArgument(self));
  v->running++;
  SignalThreadStarted(self);
  const double bytesPerSecond = 2.0 * std::max(v->format.channels, 1) * v->format.sampleRate;
  const int32_t block =
      std::max(2, static_cast<int32_t>(bytesPerSecond * SOUND_BLOCK_SECONDS) & ~1);
  auto* buffer = static_cast<uint8_t*>(AllocMemory(static_cast<size_t>(AUDIO_STAGING), 0));
  QmVideoPacket* packet = nullptr;
  double packetClock = 0;
  bool ended = false;
  double nextBlock = now();
  while (buffer && !ThreadStopRequested(self)) {
    if (v->paused || ended) {
      v->audioIdle = true;
      nextBlock = now();
      Delay(5);
      if (ended && !v->endOfStream) ended = false;  // a seek reopened the stream
      continue;
    }
    v->audioIdle = false;
    int32_t got = 0;
    while (got < block && !ThreadStopRequested(self) && !v->paused) {
      if (packet) {
        const int32_t n = v->ops->decodeAudio(v->decoder, packet, buffer + got, block - got);
        if (n > 0) {
          got += n;
          packetClock += n / bytesPerSecond;
          continue;
        }
        v->ops->freePacket(v->decoder, packet);
        packet = nullptr;
      }
      bool queueEnded = false;
      PacketNode* node = takeNode(&v->audioQueue, self, &v->paused, &queueEnded);
      if (queueEnded) {
        ended = true;
        break;
      }
      if (!node) continue;
      if (!node->packet) {
        v->ops->flushAudio(v->decoder);
        nextBlock = now();
      } else {
        packet = node->packet;
        if (packet->timeStamp != -1.0) packetClock = packet->timeStamp;
      }
      delete node;
    }
    // The block plays from nextBlock on; the clock reads the sound that is
    // playing now.
    if (got > 0) FeedVideoSound(v->sound, buffer, got);
    const double length = got / bytesPerSecond;
    const double wait = nextBlock - now();
    if (wait > 0) Delay(static_cast<int32_t>(wait * 1000));
    v->audioClock = packetClock - length;
    nextBlock = std::max(nextBlock, now() - 0.1) + length;
  }
  if (packet) v->ops->freePacket(v->decoder, packet);
  FreeMemory(buffer);
  v->running--;
  WaitThreadRelease(self);
  return nullptr;
}

void reachEnd(VideoPlayback* v) {
  v->finished = true;
  v->finalPositionMs = static_cast<int64_t>(masterClock(v) * 1000);
  if (Listening(LISTEN_VIDEOEND))
    PostThreadEvent(THREAD_EVENT_VIDEO_END, reinterpret_cast<uintptr_t>(v->owner.autoId),
                    static_cast<uintptr_t>(static_cast<uint32_t>(v->owner.number)), 0, 0, 1);
  if (v->endHandler) v->endHandler(v->endContext);
}

void* refreshThread(void* argument) {
  ThreadRecord* self = ThreadRecordFromArg(argument);
  auto* v = static_cast<VideoPlayback*>(GetThreadArgument(self));
  v->running++;
  SignalThreadStarted(self);
  double lastDrawn = now();
  while (!ThreadStopRequested(self)) {
    int32_t count;
    {
      std::lock_guard<std::mutex> lock(v->pictureMutex);
      count = v->count;
    }
    v->refreshIdle = v->paused && true;
    if (count == 0 || v->paused) {
      bool drained;
      {
        std::lock_guard<std::mutex> a(v->audioQueue.mutex), b(v->videoQueue.mutex);
        drained = !v->audioQueue.first && !v->videoQueue.first;
      }
      if (count == 0 && v->endOfStream && drained && !v->finished && !v->paused &&
          !v->seekRequested)
        reachEnd(v);
      std::unique_lock<std::mutex> lock(v->refreshMutex);
      v->refreshCondition.wait_for(lock, std::chrono::milliseconds(1));
      continue;
    }
    Picture& p = v->pictures[v->readIndex];
    const double t = now();
    if (p.due > t) {
      const auto ms = static_cast<int64_t>((p.due - t) * 1000);
      if (ms > 0) {
        std::unique_lock<std::mutex> lock(v->refreshMutex);
        v->refreshCondition.wait_for(lock, std::chrono::milliseconds(std::min<int64_t>(ms, 20)));
      }
      continue;
    }
    v->shownTimeStamp = p.timeStamp;
    v->shownAt = t;
    bool late;
    double pastNext;
    if (count == 2) {
      late = v->pictures[(v->readIndex + 1) % 2].due <= t;
      pastNext = 0;
    } else {
      // The following frame is due one frame delay after this one.
      const double next = p.due + v->lastDelay;
      late = t > next;
      pastNext = t - next;
    }
    if (late) v->skipRatio *= 1.05;
    const bool drop = late && (count == 2 || pastNext > 0.5) && t - lastDrawn < 1.0;
    if (drop) {
      v->dropped++;
    } else {
      v->presenting = true;
      keepCurrent(v, p.pixels, p.width, p.height);
      presentPicture(v, p.pixels, p.width, p.height);
      v->presenting = false;
      if (!v->suspended) v->presented++;
      lastDrawn = t;
    }
    {
      std::lock_guard<std::mutex> lock(v->pictureMutex);
      v->readIndex = (v->readIndex + 1) % 2;
      v->count--;
    }
    v->pictureCondition.notify_all();
  }
  v->running--;
  WaitThreadRelease(self);
  return nullptr;
}

void freePictures(VideoPlayback* v) {
  for (Picture& p : v->pictures) {
    FreeMemory(p.pixels);
    p = Picture{};
  }
}

ErrorCode allocPictures(VideoPlayback* v, int32_t width, int32_t height) {
  freePictures(v);
  for (Picture& p : v->pictures) {
    p.pixels = allocFrame(width, height);
    if (!p.pixels) {
      freePictures(v);
      return ERR_MEM;
    }
    p.width = width;
    p.height = height;
  }
  return ERR_NONE;
}

void rewindDecoder(VideoPlayback* v) {
  v->ops->seek(v->decoder, 0);
  v->ops->flushVideo(v->decoder);
  v->ops->flushAudio(v->decoder);
  v->decodedFrames = 0;
}

// Waits (10 ms steps, at most 2 s) until the condition holds.
template <class F>
void waitFor(F condition) {
  for (int i = 0; i < 200 && !condition(); i++) Delay(10);
}

// Seeks the idle decoder, decodes the first frame there into the current
// frame and shows it.
ErrorCode seekAndShow(VideoPlayback* v, int64_t ms) {
  if (v->ops->seek(v->decoder, ms) != 0) return ERR_SEEKRANGE;
  v->ops->flushVideo(v->decoder);
  v->ops->flushAudio(v->decoder);
  flushQueue(v, &v->audioQueue);
  flushQueue(v, &v->videoQueue);
  {
    std::lock_guard<std::mutex> lock(v->pictureMutex);
    v->count = 0;
    v->readIndex = v->writeIndex = 0;
  }
  v->endOfStream = false;
  v->finished = false;
  v->resetTiming = true;
  const size_t pixels =
      static_cast<size_t>(v->format.width) * static_cast<size_t>(v->format.height);
  auto* source = static_cast<uint32_t*>(AllocMemoryArray(pixels, 4, 0));
  if (!source) return ERR_MEM;
  QmVideoPacket* packet = nullptr;
  double stamp = -1;
  bool shown = false;
  while (!shown && v->ops->nextPacket(v->decoder, &packet) != -1) {
    if (!packet) continue;
    if (packet->isAudio) {
      if (!v->noSound && v->display)
        putNode(&v->audioQueue, packet, packet->size);
      else
        v->ops->freePacket(v->decoder, packet);
      continue;
    }
    shown = decodeToArgb(v, packet, source, &stamp, nullptr) == 0;
    v->ops->freePacket(v->decoder, packet);
  }
  if (shown) {
    const int32_t w = v->width, h = v->height;
    uint32_t* scaled = allocFrame(w, h);
    if (scaled) {
      scaleArgb(source, v->format.width, v->format.height, static_cast<size_t>(v->format.width),
                scaled, w, h, static_cast<size_t>(w) + SPARE_ROW);
      keepCurrent(v, scaled, w, h);
      presentPicture(v, scaled, w, h);
      FreeMemory(scaled);
    }
    v->shownTimeStamp = stamp;
    v->audioClock = stamp;
    v->pausedAt = now();
    v->externalOffset = stamp - v->pausedAt;
  }
  FreeMemory(source);
  return ERR_NONE;
}

}  // namespace

// ---- Opening and closing ----

ErrorCode OpenVideoDecoder(const char* file, const char* loader, const char* adapter,
                           VideoPlayback** out, int32_t* width, int32_t* height, int32_t* duration,
                           int32_t* seekable) {
  *out = nullptr;
  auto* v = new (std::nothrow) VideoPlayback();
  if (!v) return ERR_MEM;
  const char* loaders = loader && *loader ? loader : nullptr;
  auto preset = [&]() {
    v->format = QmVideoFormat{};
    v->format.streamSize = -2;
    v->format.adapter = adapter && *adapter ? adapter : nullptr;
  };
  preset();
  const QmVideoFormat initial = v->format;
  VideoPluginEntries e{};
  void* handle = nullptr;
  if (ErrorCode error =
          OpenVideoPlugin(file, loaders, &initial, &v->format, &v->plugin, &handle, &e)) {
    delete v;
    return error;
  }
  if (handle) {
    v->pluginOps = VideoDecoderOps{
        v->plugin->moduleName, e.open, e.close,      e.nextPacket, e.freePacket, e.decodeVideo,
        e.decodeAudio,         e.seek, e.flushAudio, e.flushVideo, e.frameCount, e.formatName};
    v->ops = &v->pluginOps;
    v->decoder = handle;
  }
  if (!v->decoder && IsLoaderAllowed(loaders, "inbuilt", 0)) {
    preset();
    v->ops = GetCdxlDecoderOps();
    v->decoder = v->ops->open(file, &v->format);
  }
  if (!v->decoder || v->format.width < 1 || v->format.height < 1) {
    if (v->decoder) v->ops->close(v->decoder);
    delete v;
    SetErrorArgString(file);
    return ERR_LOADVIDEO;
  }
  if (v->format.streamSize == -2)
    v->format.streamSize = -1;  // only byte seeking needs it, and it seeks by its own rate
  v->noSound = v->format.channels <= 0 || v->format.sampleRate <= 0;
  if (v->format.frameDuration <= 0) v->format.frameDuration = 0.04;
  if (v->format.pixelFormat == 1) {
    const size_t row = (static_cast<size_t>(v->format.width) + SPARE_ROW) * 4;
    v->decodeRowBytes = static_cast<int32_t>(row);
    if (static_cast<size_t>(v->format.height) <= SIZE_MAX / row)
      v->decodeBuffer =
          static_cast<uint8_t*>(AllocMemory(row * static_cast<size_t>(v->format.height), 1));
    if (!v->decodeBuffer) {
      v->ops->close(v->decoder);
      delete v;
      return ERR_MEM;
    }
  }
  v->lastTimeStamp = NO_TIME_STAMP;
  v->lastDelay = v->format.frameDuration;
  v->width = v->format.width;
  v->height = v->format.height;
  *out = v;
  if (width) *width = v->format.width;
  if (height) *height = v->format.height;
  if (duration) *duration = v->format.duration;
  if (seekable) *seekable = (v->format.flags & QM_VIDEOFLAG_SEEKABLE) ? 1 : 0;
  return ERR_NONE;
}

int IsVideoFile(const char* file, const char* loader, const char* adapter) {
  VideoPlayback* v = nullptr;
  if (OpenVideoDecoder(file, loader, adapter, &v, nullptr, nullptr, nullptr, nullptr)) return 0;
  FreeVideoHandle(v);
  return 1;
}

void FreeVideoHandle(VideoPlayback* v) {
  if (!v) return;
  StopVideoThreads(v);
  v->ops->close(v->decoder);
  FreeMemory(v->decodeBuffer);
  FreeMemory(v->current);
  delete v;
}

int32_t QueryVideoFrameCount(VideoPlayback* v) { return v->ops->frameCount(v->decoder); }
const char* QueryVideoFormat(VideoPlayback* v) { return v->ops->formatName(v->decoder); }
const char* QueryVideoLoader(const VideoPlayback* v) {
  return v->ops == &v->pluginOps ? v->plugin->moduleName : "inbuilt";
}
int VideoHasSound(const VideoPlayback* v) { return v->noSound ? 0 : 1; }

// ---- Playback ----

ErrorCode StartVideoThreads(VideoPlayback* v, ObjectId owner, VideoEndHandler onEnd,
                            void* endContext, DisplayRecord* display, int32_t x, int32_t y,
                            int32_t width, int32_t height, int32_t volume, int32_t smooth,
                            int32_t channel) {
  if (v->threadsRunning) return ERR_VIDPLAYING;
  v->owner = owner;
  v->endHandler = onEnd;
  v->endContext = endContext;
  v->display = display;
  v->x = x, v->y = y, v->smooth = smooth, v->volume = volume, v->channel = channel;
  v->width = std::max(width, 1), v->height = std::max(height, 1);
  // Single frames and exports leave the decoder anywhere: playback starts
  // from the beginning, or where a seek made while stopped asked.
  rewindDecoder(v);
  if (v->pendingSeek) {
    v->pendingSeek = false;
    if (v->ops->seek(v->decoder, v->pendingSeekMs) != 0) return ERR_SEEKRANGE;
  }
  flushQueue(v, &v->audioQueue);
  flushQueue(v, &v->videoQueue);
  v->count = v->readIndex = v->writeIndex = 0;
  v->lastTimeStamp = NO_TIME_STAMP;
  v->lastDelay = v->format.frameDuration;
  v->frameTimer = now();
  v->skipRatio = 1.0;
  v->skipAccumulator = 0;
  v->paused = v->suspended = v->seekRequested = v->endOfStream = v->finished = false;
  v->resetTiming = false;
  const double start = v->pendingSeekMs / 1000.0;
  v->pendingSeekMs = 0;
  v->audioClock = start;
  v->videoClock = start;
  v->shownTimeStamp = start;
  v->shownAt = now();
  v->externalOffset = start - now();
  if (ErrorCode e = allocPictures(v, v->width, v->height)) return e;
  v->playedOnce = true;
  v->decodedFrames = 0;
  struct Start {
    ThreadRecord** slot;
    const char* name;
    ThreadEntry entry;
    size_t stack;
    int32_t priority;
  } starts[] = {
      {&v->server, "Quillmere video server", serverThread, 200000, 0},
      {&v->audio, "Quillmere audio server", audioThread, 200000, 100},
      {&v->reader, "Quillmere video decoder", readerThread, 200000, 0},
      {&v->refresh, "Quillmere video refresh", refreshThread, 16384, 0},
  };
  v->threadsRunning = true;
  for (const Start& s : starts) {
    if (s.slot == &v->audio && v->noSound) continue;
    *s.slot = StartNamedThread(s.name, s.entry, v, 0, s.stack, s.priority);
    if (!*s.slot) {
      StopVideoThreads(v);
      return ERR_THREAD;
    }
  }
  return ERR_NONE;
}

void StopVideoThreads(VideoPlayback* v) {
  if (!v->threadsRunning) return;
  const int64_t position = GetVideoPositionMs(v);
  for (ThreadRecord** t : {&v->refresh, &v->reader, &v->server, &v->audio}) {
    if (!*t) continue;
    RequestThreadStop(*t);
    v->refreshCondition.notify_all();
    v->pictureCondition.notify_all();
    v->videoQueue.condition.notify_all();
    v->audioQueue.condition.notify_all();
    JoinThread(*t);
    *t = nullptr;
  }
  v->threadsRunning = false;
  v->savedPositionMs = position;
  freePictures(v);
  DropDisplayFrames(v->display, v);
  flushQueue(v, &v->audioQueue);
  flushQueue(v, &v->videoQueue);
  rewindDecoder(v);
  v->paused = false;
  v->display = nullptr;
}

void PauseVideoPlayback(VideoPlayback* v) {
  if (!v->threadsRunning || v->paused) return;
  v->pausedAt = now();
  v->paused = true;
  v->refreshCondition.notify_all();
  waitFor([v] {
    return (v->readerIdle || v->endOfStream) && v->serverIdle && (v->noSound || v->audioIdle);
  });
  DropDisplayFrames(v->display, v);
}

void ResumeVideoPlayback(VideoPlayback* v) {
  if (!v->threadsRunning || !v->paused) return;
  const double t = now();
  v->frameTimer = t - v->pausedAt + v->frameTimer;
  for (Picture& p : v->pictures) p.due += t - v->pausedAt;
  v->shownAt = t;
  v->externalOffset = v->pausedAt + v->externalOffset - t;
  v->readerIdle = v->serverIdle = v->audioIdle = false;
  v->paused = false;
}

ErrorCode SeekVideoPlayback(VideoPlayback* v, int64_t ms) {
  int64_t target = ms;
  if (v->format.seekByBytes) {
    // A decoder that seeks by bytes gets the byte position of the time.
    const double seconds = ms / 1000.0;
    target = static_cast<int64_t>(seconds * v->format.byteRate);
    if (target < 0) target = 0;
  }
  if (v->threadsRunning && !v->paused && !v->finished) {
    v->seekTarget = target;
    v->finished = false;
    v->seekRequested = true;
    return ERR_NONE;
  }
  if (v->threadsRunning || v->display) {
    ErrorCode e = seekAndShow(v, target);
    if (!e && v->paused) v->pausedAt = now();
    return e;
  }
  v->pendingSeek = true;
  v->pendingSeekMs = target;
  v->savedPositionMs = ms;
  return ERR_NONE;
}

void SetVideoRect(VideoPlayback* v, int32_t x, int32_t y, int32_t width, int32_t height,
                  int32_t smooth) {
  v->smooth = smooth;
  if (!v->threadsRunning || (width == v->width && height == v->height)) {
    v->x = x, v->y = y, v->width = width, v->height = height;
    std::lock_guard<std::mutex> lock(v->currentMutex);
    return;
  }
  std::unique_lock<std::mutex> decodeLock(v->decodeMutex);
  std::unique_lock<std::mutex> pictureLock(v->pictureMutex);
  uint32_t* kept = nullptr;
  int32_t keptWidth = 0, keptHeight = 0;
  {
    std::lock_guard<std::mutex> lock(v->currentMutex);
    kept = v->current;
    keptWidth = v->currentWidth, keptHeight = v->currentHeight;
    v->current = nullptr;
    v->currentWidth = v->currentHeight = 0;
  }
  v->x = x, v->y = y, v->width = width, v->height = height;
  allocPictures(v, width, height);
  v->count = v->readIndex = v->writeIndex = 0;
  pictureLock.unlock();
  v->pictureCondition.notify_all();
  if (kept) {
    uint32_t* scaled = allocFrame(width, height);
    if (scaled) {
      scaleArgb(kept, keptWidth, keptHeight, static_cast<size_t>(keptWidth) + SPARE_ROW, scaled,
                width, height, static_cast<size_t>(width) + SPARE_ROW);
      keepCurrent(v, scaled, width, height);
      presentPicture(v, scaled, width, height);
      FreeMemory(scaled);
    }
    FreeMemory(kept);
  }
}

void SetVideoLayerTarget(VideoPlayback* v,
                         void (*apply)(VmState* L, const PendingDisplayFrame* frame),
                         void* target) {
  std::lock_guard<std::mutex> lock(v->currentMutex);
  v->layerApply = apply;
  v->layerTarget = target;
}

void SetVideoSoundOutput(VideoPlayback* v, VideoSound* sound) {
  if (!v->threadsRunning) v->sound = sound;
}

void SetVideoSuspended(VideoPlayback* v, int suspended) {
  std::lock_guard<std::mutex> lock(v->currentMutex);
  v->suspended = suspended != 0;
  if (suspended) DropDisplayFrames(v->display, v);
}

void RedrawVideo(VideoPlayback* v) {
  std::lock_guard<std::mutex> lock(v->currentMutex);
  if (v->current) presentPicture(v, v->current, v->currentWidth, v->currentHeight);
}

int64_t GetVideoPositionMs(VideoPlayback* v) {
  if (!v->threadsRunning) return v->savedPositionMs;
  if (v->finished) return v->finalPositionMs;
  if (v->paused && v->seekRequested) return v->seekTarget;
  return static_cast<int64_t>(masterClock(v) * 1000);
}

void GetVideoStats(VideoPlayback* v, int64_t* presented, int64_t* dropped, int32_t* threads) {
  if (presented) *presented = v->presented;
  if (dropped) *dropped = v->dropped;
  if (threads) *threads = v->running;
}

// ---- Single frames ----

ErrorCode FetchVideoFrame(VideoPlayback* v, int32_t position, int32_t mode, int32_t count,
                          uint32_t** pixels, int32_t* width, int32_t* height, int32_t* rowLength) {
  *pixels = nullptr;
  if (v->threadsRunning) return ERR_FGRABVIDSTATE;
  const int32_t w = v->format.width, h = v->format.height;
  uint32_t* out = allocFrame(w, h);
  auto* source = static_cast<uint32_t*>(
      AllocMemoryArray(static_cast<size_t>(w) * static_cast<size_t>(h), 4, 0));
  if (!out || !source) {
    FreeMemory(out);
    FreeMemory(source);
    return ERR_MEM;
  }
  int32_t wanted;
  double target = -1;
  if (mode == 0) {
    if (position < v->decodedFrames - 1 || v->playedOnce || v->pendingSeek) {
      rewindDecoder(v);
      v->playedOnce = false;
      v->pendingSeek = false;
    }
    wanted = position - v->decodedFrames + 1;  // frames still to decode
  } else {
    rewindDecoder(v);
    if (v->ops->seek(v->decoder, position) != 0) {
      FreeMemory(out);
      FreeMemory(source);
      return ERR_SEEKRANGE;
    }
    // The frame shown at that time: the first that is not followed by
    // another before it, after at most count + 1 frames.
    wanted = position == 0 ? 1 : count + 1;
    target = position / 1000.0 - v->format.frameDuration + 1e-9;
  }
  bool have = false;
  if (mode == 0 && wanted == 0 && v->current && v->currentWidth == w && v->currentHeight == h) {
    std::memcpy(out, v->current, (static_cast<size_t>(w) + SPARE_ROW) * static_cast<size_t>(h) * 4);
    have = true;
  }
  while (!have && wanted > 0) {
    QmVideoPacket* packet = nullptr;
    const int32_t result = v->ops->nextPacket(v->decoder, &packet);
    if (result == -1) break;
    if (result != 0 || !packet) continue;
    if (packet->isAudio) {
      v->ops->freePacket(v->decoder, packet);
      continue;
    }
    double stamp = -1;
    const bool decoded = decodeToArgb(v, packet, source, &stamp, nullptr) == 0;
    v->ops->freePacket(v->decoder, packet);
    if (!decoded) continue;
    v->decodedFrames++;
    wanted--;
    if (wanted == 0 || (mode == 1 && stamp > target)) {
      scaleArgb(source, w, h, static_cast<size_t>(w), out, w, h,
                static_cast<size_t>(w) + SPARE_ROW);
      keepCurrent(v, out, w, h);
      have = true;
    }
  }
  FreeMemory(source);
  if (!have) {
    FreeMemory(out);
    return ERR_VIDEOFRAME;
  }
  if (mode == 1) v->playedOnce = true;  // the count of decoded frames is no longer a position
  *pixels = out;
  *width = w;
  *height = h;
  *rowLength = w + SPARE_ROW;
  return ERR_NONE;
}

// ---- Export ----

int32_t VideoFormatChannels(const VideoPlayback* v) { return v->format.channels; }
int32_t VideoFormatRate(const VideoPlayback* v) { return v->format.sampleRate; }

ErrorCode ReadVideoExportPacket(VideoPlayback* v, uint32_t* frame, int* isFrame, uint8_t* sound,
                                int32_t soundBytes, int32_t* soundGot) {
  *isFrame = 0;
  *soundGot = 0;
  for (;;) {
    QmVideoPacket* packet = nullptr;
    const int32_t result = v->ops->nextPacket(v->decoder, &packet);
    if (result == -1) return ERR_USERABORT;
    if (result != 0 || !packet) continue;
    if (packet->isAudio) {
      int32_t n;
      while (*soundGot < soundBytes &&
             (n = v->ops->decodeAudio(v->decoder, packet, sound + *soundGot,
                                      soundBytes - *soundGot)) > 0)
        *soundGot += n;
    } else {
      *isFrame = decodeToArgb(v, packet, frame, nullptr, nullptr) == 0;
    }
    v->ops->freePacket(v->decoder, packet);
    return ERR_NONE;
  }
}

void RewindVideoForExport(VideoPlayback* v) {
  rewindDecoder(v);
  v->playedOnce = true;
}
