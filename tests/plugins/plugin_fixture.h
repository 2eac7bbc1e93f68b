// Shared set-up of the plug-in tests: a private directory tree with a
// "Plugins" folder holding copies of the test plug-ins, a VM, assembled
// scripts, and a tear-down that frees every plug-in as shut-down does.
#pragma once

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "platform/linux/platform.h"
#include "plugins/plugins.h"
#include "runtime/runtime.h"
#include "tests/support/harness.h"
#include "tools/qmasm/qmasm.h"

namespace plugintest {

namespace fs = std::filesystem;

inline std::string ModulePath(const std::string& module) {
  return std::string(QM_TEST_PLUGIN_DIR) + "/" + module + ".qmp";
}

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// A symbol of a loaded test plug-in (the same mapping the host loaded).
template <typename F>
F ModuleSymbol(const std::string& path, const char* name) {
  void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (!lib) return nullptr;
  auto f = reinterpret_cast<F>(dlsym(lib, name));
  dlclose(lib);
  return f;
}

class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qmplugtest.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    fs::create_directories(root + "/Plugins");
    fs::create_directories(root + "/tmp");
    SetTempDirectory((root + "/tmp").c_str());
    VmResetRunState();
    L = VmOpenState();
    ASSERT_NE(L, nullptr);
    Quiet(1);
  }
  // In shut-down's order: the registries (whose library list points into
  // the plug-ins' command tables) go before the plug-ins are closed; then
  // nothing of the run may be left.
  void TearDown() override {
    FreeRunState(L);
    DeletePluginTempDirectory();
    SetTempDirectory(nullptr);
    TagItem quiet[2] = {{ATTR_QUIET, 0}, {ATTR_DONE, 0}};
    SetGlobalAttrs(nullptr, quiet);
    fs::remove_all(root);
  }

  void Quiet(int on) {
    TagItem tags[2] = {{ATTR_QUIET, static_cast<uintptr_t>(on)}, {ATTR_DONE, 0}};
    SetGlobalAttrs(L, tags);
  }

  // Copies a built test plug-in into the Plugins folder under fileName.
  void Install(const std::string& module, const std::string& fileName = "") {
    fs::copy_file(ModulePath(module),
                  root + "/Plugins/" + (fileName.empty() ? module + ".qmp" : fileName),
                  fs::copy_options::overwrite_existing);
  }

  ErrorCode ScanAndRegister(const char* skipList = nullptr) {
    return LoadPluginsAndFormats(L, root.c_str(), 0, skipList);
  }

  const PluginEntry* Entry(const char* module) {
    for (const PluginEntry* e = GetPluginList(); e; e = e->next)
      if (CompareNoCase(e->moduleName, module) == 0) return e;
    return nullptr;
  }

  // Assembles and runs a script; returns the raised or returned code. A
  // failed command ends a run, so each run starts with a fresh run state.
  ErrorCode Run(const std::string& text) {
    VmResetRunState();
    std::vector<uint8_t> chunk;
    std::string error;
    EXPECT_TRUE(qmasm::AssembleChunk(text, &chunk, &error)) << error;
    struct Reader {
      std::vector<uint8_t>* bytes;
      bool done = false;
      static const char* Read(VmState*, void* data, size_t* size) {
        auto* r = static_cast<Reader*>(data);
        if (r->done) {
          *size = 0;
          return nullptr;
        }
        r->done = true;
        *size = r->bytes->size();
        return reinterpret_cast<const char*>(r->bytes->data());
      }
    } reader{&chunk};
    ErrorCode code = VmLoad(L, Reader::Read, &reader, "=test");
    if (code) return code;
    return VmPCall(L, 0, 0, 0);
  }

  double GlobalNumber(const char* name) {
    VmPushString(L, name);
    VmGetTable(L, VM_GLOBALS_INDEX);
    double n = VmToNumber(L, -1);
    VmSetTop(L, -2);
    return n;
  }

  // registry["constants"][name] as text ("" when absent).
  std::string Constant(const char* name) {
    VmPushString(L, "constants");
    VmRawGet(L, VM_REGISTRY_INDEX);
    if (VmType(L, -1) != VM_TYPE_TABLE) {
      VmSetTop(L, -2);
      return "";
    }
    VmPushString(L, name);
    VmRawGet(L, -2);
    const char* text = VmType(L, -1) == VM_TYPE_NIL ? "" : VmToString(L, -1);
    std::string result = text ? text : "";
    VmSetTop(L, -3);
    return result;
  }

  std::string root;
  VmState* L = nullptr;
};

}  // namespace plugintest
