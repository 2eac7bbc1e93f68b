// The "sound" library: its opener (the command tables, the constants, the
// sample and music lists with their attribute readers, the cross-thread
// event list and the option hook), the attribute reader of samples, the
// sources of CreateSample that other libraries hand over, and the library's
// close, which frees every sample and music and closes the output.
#include "display/display.h"
#include "media/sound_private.h"

namespace {

const ConstantTableEntry SOUND_CONSTANTS[] = {
    {"MONO8", nullptr, 0},
    {"MONO16", nullptr, 1},
    {"STEREO8", nullptr, 2},
    {"STEREO16", nullptr, 3},
    {"SAMPLE", nullptr, OBJTYPE_SAMPLE},
    {"MUSIC", nullptr, OBJTYPE_MUSIC},
    {"SMPFMT_WAVE", nullptr, 0},
    {nullptr, nullptr, 0},
};

// The library's 51 command names in one table, for the library registry.
constexpr size_t SOUND_COMMAND_COUNT = 51;
CommandTableEntry soundCommands[SOUND_COMMAND_COUNT + 1];

void buildCommandTable() {
  size_t n = 0;
  for (const CommandTableEntry* table :
       {SAMPLE_MAKE_COMMANDS, SAMPLE_PLAY_COMMANDS, MUSIC_COMMANDS})
    for (const CommandTableEntry* e = table; e->name && n < SOUND_COMMAND_COUNT; e++)
      soundCommands[n++] = *e;
  soundCommands[n] = CommandTableEntry{nullptr, nullptr};
}

SampleDataSource fileSource = nullptr;
SampleDataSource memorySource = nullptr;

}  // namespace

void SetSampleFileSource(SampleDataSource file) { fileSource = file; }
void SetSampleMemorySource(SampleDataSource memory) { memorySource = memory; }

ErrorCode ReadSampleSourceFile(VmState* L, ObjectId id, uint8_t* buffer, size_t bytes) {
  if (fileSource) return fileSource(L, id, 0, buffer, bytes);
  SetErrorArgNumber(id.number);
  return ERR_FINDFILE;
}

ErrorCode ReadSampleSourceMemory(VmState* L, ObjectId id, size_t offset, uint8_t* buffer,
                                 size_t bytes) {
  if (memorySource) return memorySource(L, id, offset, buffer, bytes);
  SetErrorArgNumber(id.number);
  return ERR_FINDMEMBLK;
}

int ReadSampleAttribute(VmState* L, int32_t attribute) {
  if (attribute == ATTRCOUNT) {
    VmPushNumber(L, CountObjectList(soundContext.samples));
    return 1;
  }
  SampleObject* s = nullptr;
  if (ErrorCode e = FindSample(GetObjectIdArg(L, 2, nullptr), &s)) return e;
  int32_t frameSize = GetSoundFrameSize(s->formatCode);
  uint32_t frames = frameSize ? s->length / static_cast<uint32_t>(frameSize) : 0;
  switch (attribute) {
    case ATTRFORMAT:
      VmPushNumber(L, CodeToScriptFormat(s->formatCode));
      return 1;
    case ATTRDURATION:
      // Floating point, then truncated.
      VmPushNumber(L,
                   s->pitch > 0 ? VmTruncInt32(static_cast<double>(frames) / s->pitch * 1000) : 0);
      return 1;
    case ATTRPITCH:
      VmPushNumber(L, s->pitch);
      return 1;
    case ATTRPOSITION: {
      int64_t ms = -1;
      int32_t passes = -1;
      if (IsAudioDeviceOpen()) {
        CheckChannelTimeouts();
        GetSamplePlayPosition(s->desc, &ms, &passes);
      }
      VmPushNumber(L, static_cast<double>(ms));
      VmPushNumber(L, passes);
      return 2;
    }
    case ATTRNUMFRAMES:
      VmPushNumber(L, frames);
      return 1;
    case ATTRPLAYING:
      VmPushNumber(L, IsAudioDeviceOpen() && IsSampleOnChannel(s->desc) ? 1 : 0);
      return 1;
    case ATTRLOADER:
      VmPushString(L, s->plugin ? s->plugin->moduleName : "inbuilt");
      return 1;
    default:
      return ERR_UNKNOWNATTR;
  }
}

ErrorCode OpenSoundLibrary(VmState* L) {
  ErrorCode error = InitThreadEventList();
  if (!error) error = AddSetAttrHandler(SetSoundOption);
  buildCommandTable();
  if (!error) error = RegisterLibrary(soundCommands, "sound");
  if (error) return error;
  // Into the globals, whatever the caller left on the stack.
  VmPushValue(L, VM_GLOBALS_INDEX);
  VmRegisterFunctions(L, nullptr, soundCommands, 0);
  VmSetTop(L, -2);
  VmRegisterConstants(L, SOUND_CONSTANTS, 0);
  if (!error) error = RegisterObjectList(&soundContext.samples);
  if (!error) error = RegisterObjectList(&soundContext.music);
  if (!error) error = RegisterAttributeReader(OBJTYPE_SAMPLE, ReadSampleAttribute);
  if (!error) error = RegisterAttributeReader(OBJTYPE_MUSIC, ReadMusicAttribute);
  soundContext.state = L;
  SetMusicFillSource(PollMusicBufferEvents, SetFillHandlerRunning);
  return error;
}

void FreeAllMusic(VmState* L) {
  FreeAllSamples(L);
  FreeAllMusicObjects(L);
  CloseAudioDevice();
}

// Every channel stops before the objects go and the output closes; the
// event list goes last, after every audio thread has ended.
void FreeSoundLibrary(VmState* L) {
  ShutdownAudio(L);
  FreeAllMusic(L);
  FreeThreadEventList();
  SetMusicFillSource(nullptr, nullptr);
  soundContext = SoundContext{};
}
