// A test audio adapter and sound plug-in. RequirePlugin installs it as the
// audio adapter with the tags it gets; every adapter call is logged; the
// tests pull frames through the host's feeder synchronously
// (TestAudioPull). As a sound plug-in it reads a tiny raw format:
//   "QMTS", then little-endian u32 frames, u16 channels, u16 bits, u32
//   rate, u32 flags (QM_SOUNDFLAG_*), u32 subsongs, then the PCM.
// The header may announce more frames than follow (a length that does not
// fit the host's sizes, say); decoding ends where the data ends. As a
// sample saver it writes the same format as "qmts" (400), with subsongs 1,
// and refuses a file name holding "refuse".
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "plugins/qmplugin.h"

namespace {

struct Channel {
  QmAudioFeedFunc feed;
  void* hostChannel;
};

struct Sound {
  std::vector<uint8_t> data;
  uint32_t frames = 0;  // as the header says
  uint32_t bytesPerFrame = 0;
  uint32_t position = 0;
};

const PluginHostApi* host = nullptr;
PluginBase* self = nullptr;
std::string callLog;
std::map<void*, Channel> channels;  // by the handle given to the host
int refuseChannels = 0;
int handleWord = 1;
int channelWords[64];
int nextChannelWord = 0;

void log(const std::string& line) { callLog += line + "\n"; }

uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

int32_t install(uint32_t flags, const QmTagItem* tags) {
  auto slot = reinterpret_cast<QmInstallAudioAdapterFunc>(
      reinterpret_cast<void (*)()>(host->sound->installAudioAdapter));
  return slot(self, flags, tags);
}

}  // namespace

extern "C" {

int InitPlugin(PluginBase* base, const PluginHostApi* api, const char*) {
  host = api;
  self = base;
  base->capabilities =
      PLUGINCAPS_AUDIOADAPTER | PLUGINCAPS_REQUIRE | PLUGINCAPS_SOUND | PLUGINCAPS_SAVESAMPLE;
  base->version = 1;
  base->moduleName = "testaudio";
  callLog.clear();
  channels.clear();
  refuseChannels = 0;
  return 1;
}

void ClosePlugin() { channels.clear(); }

int32_t RequirePlugin(VmState*, int32_t, int32_t, uint32_t flags, const QmTagItem* tags) {
  return install(flags, tags);
}

// ---- Adapter ----

void* OpenAudio(uintptr_t, uintptr_t) {
  log("OpenAudio");
  return &handleWord;
}

void CloseAudio(void*) { log("CloseAudio"); }

void* AllocAudioChannel(void*, int32_t format, int32_t rate, int32_t volume, QmAudioFeedFunc feed,
                        uintptr_t, void* hostChannel, uintptr_t) {
  char line[96];
  std::snprintf(line, sizeof line, "AllocAudioChannel %d %d %d", format, rate, volume);
  log(line);
  if (refuseChannels) return nullptr;
  void* handle = &channelWords[nextChannelWord++ % 64];
  channels[handle] = {feed, hostChannel};
  return handle;
}

void FreeAudioChannel(void*, void* channel) {
  log("FreeAudioChannel");
  channels.erase(channel);
}

void SetChannelAttributes(void*, void*, const QmAudioTag* tags, int32_t count) {
  std::string line = "SetChannelAttributes";
  for (int32_t i = 0; i < count; i++)
    line.append(" ")
        .append(std::to_string(tags[i].tag))
        .append("=")
        .append(std::to_string(tags[i].value));
  log(line);
}

// ---- Sound plug-in ----

void* OpenStream(const char* name, QmSoundOpenRequest* request) {
  FILE* f = std::fopen(name, "rb");
  if (!f) return nullptr;
  uint8_t head[24];
  if (std::fread(head, 1, sizeof head, f) != sizeof head || std::memcmp(head, "QMTS", 4) != 0) {
    std::fclose(f);
    return nullptr;
  }
  auto* s = new Sound;
  s->frames = le32(head + 4);
  request->frames = s->frames;
  request->channels = head[8] | head[9] << 8;
  request->bits = head[10] | head[11] << 8;
  request->rate = static_cast<int32_t>(le32(head + 12));
  request->flags = le32(head + 16);
  request->subsongCount = static_cast<int32_t>(le32(head + 20));
  s->bytesPerFrame = static_cast<uint32_t>(request->channels * request->bits / 8);
  uint8_t buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
    s->data.insert(s->data.end(), buffer, buffer + n);
  std::fclose(f);
  char line[64];
  std::snprintf(line, sizeof line, "OpenStream subsong %d", request->subsong);
  log(line);
  return s;
}

void CloseStream(void* handle) { delete static_cast<Sound*>(handle); }

int32_t SeekStream(void* handle, uint32_t frame) {
  log("SeekStream " + std::to_string(frame));
  static_cast<Sound*>(handle)->position = frame;
  return 0;
}

int32_t StreamSamples(void* handle, QmSoundDecodeRequest* request) {
  auto* s = static_cast<Sound*>(handle);
  uint32_t present =
      s->bytesPerFrame ? static_cast<uint32_t>(s->data.size() / s->bytesPerFrame) : 0;
  uint32_t left = s->position < present ? present - s->position : 0;
  uint32_t n = request->frames < left ? request->frames : left;
  std::memcpy(request->buffer, s->data.data() + static_cast<size_t>(s->position) * s->bytesPerFrame,
              static_cast<size_t>(n) * s->bytesPerFrame);
  s->position += n;
  request->framesDone = n;
  request->done = n < request->frames;
  return 0;
}

const char* GetFormatName(void*) { return "Test sound"; }

// ---- Sample saver ----

uint32_t RegisterSampleSaver(SaverFormatEntry* entry) {
  entry->formatId = 400;
  entry->formatName = "qmts";
  return 0;
}

int32_t SaveSample(const char* file, QmSampleSaveRequest* request) {
  if (std::strstr(file, "refuse")) return 0;
  FILE* f = std::fopen(file, "wb");
  if (!f) return 0;
  auto put = [f](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; i++) std::fputc(static_cast<int>(v >> (8 * i)) & 0xFF, f);
  };
  std::fwrite("QMTS", 1, 4, f);
  put(request->frames, 4);
  put(static_cast<uint32_t>(request->channels), 2);
  put(static_cast<uint32_t>(request->bits), 2);
  put(static_cast<uint32_t>(request->pitch), 4);
  put(request->flags, 4);
  put(1, 4);
  std::fwrite(request->pcm, 1, request->length, f);
  return std::fclose(f) == 0;
}

// ---- Test controls ----

const char* TestAudioLog() { return callLog.c_str(); }
void TestAudioClearLog() { callLog.clear(); }
void TestAudioRefuseChannels(int on) { refuseChannels = on; }
int32_t TestAudioInstall(uint32_t flags, const QmTagItem* tags) { return install(flags, tags); }

// Calls the host's feeder of the channel that plays hostChannel, as the
// adapter's own thread would: the frames supplied, or 0xFFFFFFFF when the
// host holds no adapter channel for it.
uint32_t TestAudioPull(void* hostChannel, void* buffer, uint32_t frames) {
  for (auto& entry : channels)
    if (entry.second.hostChannel == hostChannel)
      return entry.second.feed(&handleWord, entry.first, buffer, frames, hostChannel);
  return 0xFFFFFFFF;
}

}  // extern "C"
