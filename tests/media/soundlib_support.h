// Shared set-up of the sound library tests: an in-process player with the
// sound and event libraries opened over the test audio adapter plug-in,
// whose channels the test pulls frames from; commands are called by name
// with argument builders; fixtures come from sox.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "display/display.h"
#include "media/audio_private.h"
#include "media/media_private.h"
#include "libs/libs.h"
#include "media/sound_private.h"
#include "tests/plugins/plugin_fixture.h"
#include "tests/support/harness.h"

namespace soundtest {

using Push = std::function<void(VmState*)>;
inline Push N(double n) {
  return [n](VmState* L) { VmPushNumber(L, n); };
}
inline Push S(const std::string& s) {
  return [s](VmState* L) { VmPushString(L, s.c_str()); };
}
inline Push B(bool b) {
  return [b](VmState* L) { VmPushBoolean(L, b); };
}
inline Push Nil() {
  return [](VmState* L) { VmPushNil(L); };
}
// A table of named fields.
inline Push T(const std::vector<std::pair<std::string, Push>>& fields) {
  return [fields](VmState* L) {
    VmNewTable(L);
    for (const auto& f : fields) {
      VmPushString(L, f.first.c_str());
      f.second(L);
      VmSetTable(L, -3);
    }
  };
}
// A table of numbers from index 0.
inline Push A(const std::vector<double>& values) {
  return [values](VmState* L) {
    VmNewTable(L);
    for (size_t i = 0; i < values.size(); i++) {
      VmPushNumber(L, values[i]);
      VmRawSetI(L, -2, static_cast<int>(i));
    }
  };
}

inline std::vector<uint8_t> RunSox(const std::string& arguments) {
  std::vector<uint8_t> out;
  FILE* p = popen(("sox " + arguments + " 2>/dev/null").c_str(), "r");
  if (!p) return out;
  uint8_t buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.insert(out.end(), buffer, buffer + n);
  pclose(p);
  return out;
}

inline TimeValue fakeNow = {1000, 0};
inline void FakeClock(TimeValue* now) { *now = fakeNow; }

class SoundTest : public ::testing::Test {
 public:
  // Pulls frames from the channel once, as the adapter's thread would;
  // the frames supplied.
  uint32_t PullBlock(int32_t channel, void* buffer, uint32_t frames) {
    EXPECT_EQ(WaitStreamThreadsIdle(5000), 1);
    return pull(GetAudioChannel(channel), buffer, frames);
  }

 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qmsoundtest.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    std::filesystem::create_directories(root + "/Plugins");
    std::filesystem::copy_file(plugintest::ModulePath("testaudio"),
                               root + "/Plugins/testaudio.qmp");
    h = std::make_unique<PlayerHarness>();
    L = h->L;
    TagItem quiet[] = {{ATTR_QUIET, 1}, {ATTR_DONE, 0}};
    SetGlobalAttrs(L, quiet);
    ASSERT_EQ(LoadPluginsAndFormats(L, root.c_str(), 0, nullptr), ERR_NONE);
    SetAppletVersion(6, 0);
    TagItem preload[] = {{ATTR_DEFERBITMAPS, 1}, {ATTR_DONE, 0}};
    SetGlobalAttrs(nullptr, preload);
    ASSERT_EQ(LoadPluginFile(L, "testaudio", 0, 0, 0, 0, 0), ERR_NONE);
    preload[0].data = 0;
    SetGlobalAttrs(nullptr, preload);
    for (ErrorCode (*open)(VmState*) : {OpenEventLibrary, OpenSoundLibrary}) {
      VmPushValue(L, VM_GLOBALS_INDEX);
      ASSERT_EQ(open(L), ERR_NONE);
      VmSetTop(L, 0);
    }
    const std::string path = root + "/Plugins/testaudio.qmp";
    pull = plugintest::ModuleSymbol<PullFunc>(path, "TestAudioPull");
    logText = plugintest::ModuleSymbol<LogFunc>(path, "TestAudioLog");
    clearLog = plugintest::ModuleSymbol<ClearFunc>(path, "TestAudioClearLog");
    ASSERT_TRUE(pull && logText && clearLog);
    fakeNow = {1000, 0};
    SetAudioClock(FakeClock);
  }
  void TearDown() override {
    h.reset();
    SetAudioClock(nullptr);
    SetAppletVersion(8, 0);
    TagItem quiet[] = {{ATTR_QUIET, 0}, {ATTR_DONE, 0}};
    SetGlobalAttrs(nullptr, quiet);
    std::filesystem::remove_all(root);
  }

  // Calls the command; its results stay on the stack above index 0.
  ErrorCode Call(const char* name, const std::vector<Push>& args) {
    VmSetTop(L, 0);
    for (const Push& p : args) p(L);
    return h->Call(name, static_cast<int>(args.size()));
  }
  double Number(int index) { return VmToNumber(L, index); }
  std::string File(const std::string& name) { return root + "/" + name; }
  std::string ErrorText(ErrorCode code) {
    char text[512];
    GetErrorText(code, text, sizeof text);
    return text;
  }

  // Pulls the channel in blocks until it supplies fewer frames than asked.
  std::vector<uint8_t> PullAll(int32_t channel, uint32_t block, int32_t bpf, size_t limit) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> buffer(static_cast<size_t>(block) * bpf);
    for (;;) {
      EXPECT_EQ(WaitStreamThreadsIdle(5000), 1);
      uint32_t n = pull(GetAudioChannel(channel), buffer.data(), block);
      if (n == 0xFFFFFFFF) break;
      out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<size_t>(n) * bpf);
      if (n < block || out.size() >= limit) break;
    }
    return out;
  }
  // The channel the music object plays on, -1 when none.
  int32_t ChannelOf(int32_t number) {
    for (int32_t i = 0; i < GetAudioChannelCount(); i++) {
      int32_t state = 0;
      ObjectId owner = {};
      if (GetChannelState(i, &state, &owner, 0) == ERR_NONE && state != CHANNELSTATE_FREE &&
          owner.number == number && !owner.autoId)
        return i;
    }
    return -1;
  }

  using PullFunc = uint32_t (*)(void*, void*, uint32_t);
  using LogFunc = const char* (*)();
  using ClearFunc = void (*)();
  PullFunc pull = nullptr;
  LogFunc logText = nullptr;
  ClearFunc clearLog = nullptr;
  std::string root;
  std::unique_ptr<PlayerHarness> h;
  VmState* L = nullptr;
};

}  // namespace soundtest
