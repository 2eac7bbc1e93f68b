// Numbers that no integer holds (NaN, the infinities, 1e30 and -1e30) given
// to commands of several libraries where they read integers: each command
// ends in its error for a bad value, or clamps as the engine's integer
// check or the command itself does, and never converts the number out of
// range (the sanitizer build would stop the program).
#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "draw/draw.h"
#include "libs/libs.h"
#include "tests/media/soundlib_support.h"

using namespace soundtest;

namespace {

class HostileNumbers : public SoundTest {
 protected:
  void SetUp() override {
    SoundTest::SetUp();
    for (ErrorCode (*open)(VmState*) :
         {OpenDisplayLibrary, OpenDrawLibrary, OpenMemBlockLibrary, OpenNetworkLibrary}) {
      VmPushValue(L, VM_GLOBALS_INDEX);
      ASSERT_EQ(open(L), ERR_NONE);
      VmSetTop(L, 0);
    }
  }
};

const double VALUES[] = {std::nan(""), INFINITY, -INFINITY, 1e30, -1e30};
constexpr size_t COUNT = std::size(VALUES);

TEST_F(HostileNumbers, CommandsGiveTheirErrorOrClamp) {
  ASSERT_EQ(Call("AllocMem", {N(1), N(16)}), ERR_NONE);
  ASSERT_EQ(Call("OpenFile", {N(1), S(File("f.bin")), N(1006)}), ERR_NONE);  // MODE_WRITE
  ASSERT_EQ(
      std::system(("sox -n -r 4000 -c 1 -b 16 " + File("a.wav") + " synth 1 sine 300").c_str()), 0);
  ASSERT_EQ(Call("OpenMusic", {N(1), S(File("a.wav"))}), ERR_NONE);
  // The colour's 0xRRGGBB: the engine's 32-bit pattern, all bits set for the
  // large values and the lowest signed word for the small ones.
  const std::vector<double> colours = {0, 0xFFFFFF, 0, 0xFFFFFF, 0};
  // The music volume is clamped to 0-64.
  const std::vector<double> volumes = {0, 64, 0, 64, 0};
  struct Case {
    const char* name;
    const char* command;
    std::function<std::vector<Push>(double)> args;
    std::vector<ErrorCode> errors;   // by value, in the order of VALUES
    std::function<double()> result;  // after success, compared with results
    std::vector<double> results;
  } cases[] = {
      {"brush colour",
       "CreateBrush",
       [](double v) {
         return std::vector<Push>{N(1), N(2), N(2), N(v)};
       },
       {ERR_NONE, ERR_NONE, ERR_NONE, ERR_NONE, ERR_NONE},
       [this] {
         EXPECT_EQ(Call("ReadBrushPixel", {N(1), N(0), N(0)}), ERR_NONE);
         return static_cast<double>(static_cast<uint32_t>(Number(1)) & 0xFFFFFF);
       },
       colours},
      {"brush pixel colour",
       "WriteBrushPixel",
       [](double v) {
         return std::vector<Push>{N(1), N(1), N(1), N(v)};
       },
       {ERR_NONE, ERR_NONE, ERR_NONE, ERR_NONE, ERR_NONE},
       [this] {
         EXPECT_EQ(Call("ReadBrushPixel", {N(1), N(1), N(1)}), ERR_NONE);
         return static_cast<double>(static_cast<uint32_t>(Number(1)) & 0xFFFFFF);
       },
       colours},
      {"background picture colour",
       "CreateBGPic",
       [](double v) {
         return std::vector<Push>{N(1), N(2), N(2), N(v)};
       },
       {ERR_NONE, ERR_NONE, ERR_NONE, ERR_NONE, ERR_NONE},
       nullptr,
       {}},
      {"gradient colours",
       "SetFillStyle",
       [](double v) {
         return std::vector<Push>{N(2), N(1), N(v), N(v)};
       },
       {ERR_NONE, ERR_NONE, ERR_NONE, ERR_NONE, ERR_NONE},
       nullptr,
       {}},
      {"memory block offset",
       "Peek",
       [](double v) {
         return std::vector<Push>{N(1), N(v)};
       },
       {ERR_NONE, ERR_MEMRANGE, ERR_MEMRANGE, ERR_MEMRANGE, ERR_MEMRANGE},
       nullptr,
       {}},
      {"file position",
       "Seek",
       [](double v) {
         return std::vector<Push>{N(1), N(v)};
       },
       {ERR_SEEKFILE, ERR_SEEKFILE, ERR_SEEKFILE, ERR_SEEKFILE, ERR_SEEKFILE},
       nullptr,
       {}},
      {"sample offset in a memory block",
       "CreateSample",
       [](double v) {
         return std::vector<Push>{N(2),
                                  T({{"source", S("memory")}, {"id", N(1)}, {"offset", N(v)}}),
                                  N(8000), N(0), N(4)};
       },
       {ERR_WRONGUSAGE, ERR_WRONGUSAGE, ERR_WRONGUSAGE, ERR_WRONGUSAGE, ERR_WRONGUSAGE},
       nullptr,
       {}},
      {"music volume",
       "PlayMusic",
       [](double v) {
         return std::vector<Push>{N(1), T({{"volume", N(v)}})};
       },
       {ERR_NONE, ERR_NONE, ERR_NONE, ERR_NONE, ERR_NONE},
       [this] {
         MusicObject* m = nullptr;
         EXPECT_EQ(FindMusic(ObjectId{nullptr, 1}, &m), ERR_NONE);
         double volume = m ? m->volume : -1;
         EXPECT_EQ(Call("StopMusic", {N(1)}), ERR_NONE);
         return volume;
       },
       volumes},
      {"network time-out",
       "SetNetworkTimeout",
       [](double v) { return std::vector<Push>{N(v)}; },
       {ERR_NONE, ERR_WRONGUSAGE, ERR_WRONGUSAGE, ERR_WRONGUSAGE, ERR_WRONGUSAGE},
       nullptr,
       {}},
  };
  for (const Case& c : cases) {
    for (size_t i = 0; i < COUNT; i++) {
      SCOPED_TRACE(std::string(c.name) + " with " + std::to_string(VALUES[i]));
      ASSERT_EQ(Call(c.command, c.args(VALUES[i])), c.errors[i]);
      if (c.result && c.errors[i] == ERR_NONE) {
        EXPECT_EQ(c.result(), c.results[i]);
      }
    }
  }
}

// Channels counted from 1 at the lowest 32-bit number: refused as out of
// range, not wrapped round by the step to a count from 0.
TEST_F(HostileNumbers, ChannelsAtTheLowestInteger) {
  ASSERT_EQ(
      std::system(("sox -n -r 4000 -c 1 -b 16 " + File("a.wav") + " synth 1 sine 300").c_str()), 0);
  ASSERT_EQ(Call("OpenMusic", {N(1), S(File("a.wav"))}), ERR_NONE);  // opens the output
  const double lowest = -2147483648.0;
  EXPECT_EQ(Call("StopChannel", {N(lowest)}), ERR_CHANNELRANGE);
  EXPECT_EQ(Call("SetChannelVolume", {N(lowest), N(32)}), ERR_CHANNELRANGE);
  EXPECT_EQ(Call("IsChannelPlaying", {N(lowest)}), ERR_CHANNELRANGE);
}

}  // namespace
