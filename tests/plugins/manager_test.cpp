// The plug-in manager and loader with real plug-in modules: the directory
// scan and its progress lines, library commands called by scripts and
// their constants, refused plug-ins, deferred plug-ins and script
// requests with versions, loader strings, and command hooks.
#include "engine/object.h"  // VmSetAllocFailure, before the API header
#include "tests/plugins/plugin_fixture.h"
#include "platform/linux/system_private.h"
#include "plugins/plugin_private.h"
#include "runtime/runtime_private.h"

#include <cstring>

namespace plugintest {
namespace {

const char* PLUGADD_SCRIPT =
    ".source \"=t\"\n"
    "GETGLOBAL 0, \"PlugAdd\"\n"  // names are looked up as the script spells them
    "LOADNUM 1, 2\n"
    "LOADNUM 2, 40\n"
    "CALL 0, 3, 2\n"
    "SETGLOBAL 0, \"result\"\n"
    "RETURN 0, 1\n";

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

TEST_F(PluginTest, ScanLoadsGoodPluginsReportsBadOnesAndScriptsCallTheLibrary) {
  Install("testlib");
  Install("badversion");
  Install("noclose");
  Install("nosymbol");
  WriteBytes(root + "/Plugins/junk.qmp", {'n', 'o', 't', ' ', 'e', 'l', 'f'});
  WriteBytes(root + "/Plugins/readme.txt", {'x'});
  int32_t count = 0;
  ASSERT_EQ(ScanPluginDirectory(root.c_str(), 0, nullptr, &count), 0);
  EXPECT_EQ(count, 5);  // counting loads nothing
  EXPECT_EQ(GetPluginList(), nullptr);

  Quiet(0);
  testing::internal::CaptureStdout();
  ASSERT_EQ(ScanAndRegister(), 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Loading plugin testlib.qmp...done\n"), std::string::npos) << out;
  for (const char* bad : {"badversion.qmp", "noclose.qmp", "nosymbol.qmp", "junk.qmp"})
    EXPECT_NE(out.find(std::string("Loading plugin ") + bad + "...failed\n(Reason: "),
              std::string::npos)
        << bad << "\n"
        << out;

  // Only the good plug-in is known; the scan went on past the bad ones.
  int known = 0;
  for (const PluginEntry* e = GetPluginList(); e; e = e->next) known++;
  EXPECT_EQ(known, 1);
  ASSERT_NE(Entry("testlib"), nullptr);
  EXPECT_EQ(Entry("testlib")->capabilities, uint32_t{PLUGINCAPS_LIBRARY | PLUGINCAPS_REQUIRE});

  ASSERT_EQ(Run(PLUGADD_SCRIPT), ERR_FUNCDECLA);  // compiled names are lower-case
  ASSERT_EQ(Run(Lower(PLUGADD_SCRIPT)), 0);
  EXPECT_EQ(GlobalNumber("result"), 42);
  EXPECT_EQ(Constant("testlib_answer"), "42");
  EXPECT_EQ(Constant("testlib_name"), "forty-two");
  EXPECT_EQ(Run(".source \"=t\"\nGETGLOBAL 0, \"plugfail\"\nCALL 0, 1, 1\nRETURN 0, 1\n"),
            ERR_WRONGUSAGE);

  // A second scan finds the loaded plug-in and passes it over quietly.
  Quiet(1);
  ASSERT_EQ(ScanAndRegister(), 0);
  ASSERT_EQ(Run(".source \"=t\"\nGETGLOBAL 0, \"pluginits\"\nCALL 0, 1, 2\nSETGLOBAL 0, "
                "\"n\"\nRETURN 0, 1\n"),
            0);
  EXPECT_EQ(GlobalNumber("n"), 2);  // RegisterFormatPlugin ran twice in this test

  const LibraryEntry* lib = GetLibraryList();
  while (lib && std::strcmp(lib->name, "plugin") != 0) lib = lib->next;
  EXPECT_NE(lib, nullptr);
}

TEST_F(PluginTest, LoaderRefusesWithTheSpecifiedErrorAndArgument) {
  WriteBytes(root + "/Plugins/junk.qmp", {'n', 'o', 't', ' ', 'e', 'l', 'f'});
  Install("testlib", "other.qmp");
  Install("testlib", "_testlib.qmp");
  Install("testlib", "TESTLIB.qmp");
  // ClosePlugin runs exactly when InitPlugin succeeded (the broken
  // plug-ins' ClosePlugin leaves the error number 77).
  struct Case {
    const char* file;
    ErrorCode code;
    const char* argument;  // null: not checked
    bool closed;
  } cases[] = {
      {"badversion.qmp", ERR_NEWQMPLUGIN, "8.1", true},
      {"noclose.qmp", ERR_LOADPLUGIN, "noclose.qmp", false},
      {"nosymbol.qmp", ERR_PLUGINSYMBOL, "GetCommands", true},
      {"initfails.qmp", ERR_LOADPLUGIN, "initfails.qmp", false},
      {"nocaps.qmp", ERR_PLUGINTYPE, "80000", true},
      {"junk.qmp", ERR_DLOPEN, nullptr, false},
      {"other.qmp", ERR_LOADPLUGIN, "other.qmp", false},  // module name must match the file
      {"_testlib.qmp", ERR_NONE, nullptr, false},
      {"TESTLIB.qmp", ERR_NONE, nullptr, false},  // matched without regard to case
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    std::string path = root + "/Plugins/" + c.file;
    if (!fs::exists(path))
      fs::copy_file(ModulePath(std::string(c.file, std::strlen(c.file) - 4)), path);
    uint32_t mask = 0;
    PluginHandle* handle = nullptr;
    SetErrorArgString("");
    SetErrorArgNumber(0);
    EXPECT_EQ(OpenPluginLibrary(path.c_str(), &mask, &handle), c.code);
    if (c.argument) {
      EXPECT_STREQ(GetErrorArgString(), c.argument);
    }
    if (c.code) {
      EXPECT_EQ(handle, nullptr);
      EXPECT_EQ(GetErrorArgNumber() == 77, c.closed);
      continue;
    }
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(mask, uint32_t{PLUGINCAPS_LIBRARY | PLUGINCAPS_REQUIRE});
    EXPECT_EQ(GetPluginBase(handle)->hostVersion, 8);
    EXPECT_NE(GetPluginEntry(GetPluginBase(handle), "GetCommands"), nullptr);
    EXPECT_EQ(GetPluginEntry(GetPluginBase(handle), "LoadImage"),
              nullptr);  // capability not declared
    ClosePluginLibrary(handle);
  }
}

TEST_F(PluginTest, BridgedPluginIsNeverCalledDirectly) {
  Install("bridged");
  ASSERT_EQ(ScanAndRegister(), 0);
  ASSERT_NE(Entry("bridged"), nullptr);
  ASSERT_NE(Entry("bridged")->handle, nullptr);
  EXPECT_EQ(LoadPluginFile(L, "bridged", 0, 0, 0, 0, 0), 0);
  SetErrorArgNumber(0);
  FreeRegistries(L);
  FreePluginLibraries(L);
  FreeAllPlugins();
  EXPECT_NE(GetErrorArgNumber(), 77);  // ClosePlugin went to the call bridge
}

TEST_F(PluginTest, LoadUnderAllocationFailureGivesOutOfMemoryAndLeavesNothing) {
  Install("testlib");
  std::string path = root + "/Plugins/testlib.qmp";
  int failures = 0;
  for (uint64_t n = 1;; n++) {
    SCOPED_TRACE(n);
    ASSERT_LT(n, 100u);
    PluginEntry* entry = nullptr;
    SetAllocFailure(n, false);
    ErrorCode error = ProbePluginFile(path.c_str(), 0, &entry);
    if (!error) error = RegisterFormatPlugin(L, entry);
    SetAllocFailure(0, false);
    if (!error) break;
    EXPECT_EQ(error, ERR_MEM);
    failures++;
    FreeAllPlugins();
  }
  EXPECT_GT(failures, 0);
  ASSERT_NE(Entry("testlib"), nullptr);
  EXPECT_NE(Entry("testlib")->handle, nullptr);

  // The VM running out of memory while the library registers comes back as
  // 1000 instead of ending the program.
  FreeRegistries(L);
  FreeAllPlugins();
  PluginEntry* entry = nullptr;
  ASSERT_EQ(ProbePluginFile(path.c_str(), 0, &entry), 0);
  failures = 0;
  for (uint64_t n = 1;; n++) {
    SCOPED_TRACE(n);
    ASSERT_LT(n, 200u);
    VmSetAllocFailure(n, false);
    ErrorCode error = RegisterFormatPlugin(L, entry);
    VmSetAllocFailure(0, false);
    EXPECT_EQ(VmGetTop(L), 0);
    if (!error) break;
    EXPECT_EQ(error, ERR_MEM);
    failures++;
  }
  EXPECT_GT(failures, 3);
  ASSERT_EQ(
      Run(".source \"=t\"\nGETGLOBAL 0, \"plugadd\"\nLOADNUM 1, 1\nLOADNUM 2, 1\nCALL 0, 3, 2\n"
          "SETGLOBAL 0, \"result\"\nRETURN 0, 1\n"),
      0);
  EXPECT_EQ(GlobalNumber("result"), 2);
}

TEST_F(PluginTest, DeferredPluginsLoadOnRequestWithVersionChecks) {
  Install("testlib", "_testlib.qmp");
  Install("testhook");
  Install("testimg");

  // "*" defers everything: nothing loads, everything is known.
  ASSERT_EQ(ScanAndRegister("*\0"), 0);
  for (const char* m : {"testlib", "testhook", "testimg"}) {
    ASSERT_NE(Entry(m), nullptr) << m;
    EXPECT_EQ(Entry(m)->handle, nullptr) << m;
  }
  FreeAllPlugins();

  // A named skip (with or without ".qmp") defers only that one.
  ASSERT_EQ(ScanAndRegister("testhook\0"), 0);
  EXPECT_EQ(Entry("testhook")->handle, nullptr);
  EXPECT_NE(Entry("testimg")->handle, nullptr);
  EXPECT_EQ(Entry("testlib")->handle, nullptr);  // a leading '_' defers too
  EXPECT_EQ(Run(".source \"=t\"\nGETGLOBAL 0, \"plugadd\"\nCALL 0, 1, 1\nRETURN 0, 1\n"),
            ERR_FUNCDECLA);

  struct Case {
    const char* name;
    int32_t version, revision;
    ErrorCode code;
    const char* argument;
  } cases[] = {
      {"testlib.qmp", 2, 0, ERR_REQUIREPLUGIN, "testlib.qmp 2.0"},
      {"TestLib", 1, 10, ERR_REQUIREPLUGIN, "TestLib.qmp 1.10"},
      {"testlib", 1, 5, ERR_NONE, nullptr},
      {"testlib", 1, 9, ERR_NONE, nullptr},
      {"nothere", 0, 0, ERR_REQUIREPLUGIN, "nothere.qmp"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.version) + "." +
                 std::to_string(c.revision));
    EXPECT_EQ(LoadPluginFile(L, c.name, c.version, c.revision, 0, 1234, 0), c.code);
    if (c.argument) {
      EXPECT_STREQ(GetErrorArgString(), c.argument);
    }
  }
  EXPECT_NE(Entry("testlib")->handle, nullptr);
  // RequirePlugin ran once, on the first request that passed, with its tag.
  std::string loaded = root + "/Plugins/_testlib.qmp";
  ASSERT_NE(ModuleSymbol<int (*)()>(loaded, "TestRequireCalls"), nullptr);
  EXPECT_EQ(ModuleSymbol<int (*)()>(loaded, "TestRequireCalls")(), 1);
  EXPECT_EQ(ModuleSymbol<uintptr_t (*)()>(loaded, "TestRequireTag")(), 1234u);
  ASSERT_EQ(Run(Lower(PLUGADD_SCRIPT)), 0);
  EXPECT_EQ(GlobalNumber("result"), 42);
  ASSERT_EQ(Run(".source \"=t\"\nGETGLOBAL 0, \"pluginits\"\nCALL 0, 1, 2\nSETGLOBAL 0, "
                "\"n\"\nRETURN 0, 1\n"),
            0);
  EXPECT_EQ(GlobalNumber("n"), 1);  // registered once, on the first request
}

TEST(LoaderStrings, AdmitAndNameAsSpecified) {
  struct Case {
    const char* loaders;
    const char* name;
    int classFlag;
    bool allowed;
    bool named;
  } cases[] = {
      {"jpeg|inbuilt", "jpegplus", 0, true, true},  // an item matches names it begins
      {"jpeg|inbuilt", "inbuilt", 0, true, true},
      {"jpeg|inbuilt", "native", 0, false, false},
      {"jpeg|inbuilt", "png", 1, false, false},
      {"JPEG|Inbuilt", "jpeg", 0, true, true},  // case-less
      {"plugin", "png", 1, true, false},        // the class admits every plug-in
      {"plugin", "png", 0, false, false},
      {"plugin", "inbuilt", 0, false, false},
      {"pluginx|native", "plugin", 0, false, false},  // class names are whole items
      {"jpe", "jpeg", 0, true, true},
      {"jpegplus", "jpeg", 0, false, false},  // a longer item does not match
      {"a||b", "zzz", 0, false, false},       // an empty item names nothing
      {"", "anything", 0, true, false},       // default strings admit all, name none
      {nullptr, "native", 0, true, false},
      {"Default", "png", 0, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.loaders ? c.loaders : "(null)") + " / " + c.name);
    EXPECT_EQ(IsLoaderAllowed(c.loaders, c.name, c.classFlag), c.allowed);
    EXPECT_EQ(IsLoaderNamed(c.loaders, c.name), c.named);
  }
  EXPECT_TRUE(IsDefaultLoaderString("inbuilt"));
  EXPECT_TRUE(IsDefaultLoaderString("NATIVE"));
  EXPECT_FALSE(IsDefaultLoaderString("plugin"));
  EXPECT_STREQ(GetLoaderName(0, nullptr), "inbuilt");
  EXPECT_STREQ(GetLoaderName(1, nullptr), "native");
}

TEST_F(PluginTest, LoaderStringsPutNamedPluginsAtTheEndOfTheirList) {
  Install("testimg");
  ASSERT_EQ(ScanAndRegister(), 0);
  PluginBase* img = GetPluginBase(Entry("testimg")->handle);
  ASSERT_NE(GetPluginListForType(PLUGINCAPS_IMAGE), nullptr);
  EXPECT_EQ(GetPluginListForType(PLUGINCAPS_IMAGE)->base, img);
  EXPECT_EQ(GetPluginListForType(PLUGINCAPS_SOUND), nullptr);
  EXPECT_EQ(AddToLoaderList(img, PLUGINCAPS_LIBRARY),
            ERR_WRONGUSAGE);  // no list for that capability

  // Out of the default list, the plug-in comes back only when named, and
  // then must be named to be used.
  RemoveFromLoaderList(img, PLUGINCAPS_IMAGE);
  EXPECT_EQ(GetPluginListForType(PLUGINCAPS_IMAGE), nullptr);
  for (const char* s : {"plugin|inbuilt|native", "nosuchplugin", "testim", "default"}) {
    EXPECT_EQ(CollectLoaderPlugins(s, PLUGINCAPS_IMAGE), 0) << s;
    EXPECT_EQ(GetPluginListForType(PLUGINCAPS_IMAGE), nullptr) << s;
  }
  ASSERT_EQ(CollectLoaderPlugins("nosuchplugin|TESTIMG|testimg", PLUGINCAPS_IMAGE), 0);
  LoaderNode* list = GetPluginListForType(PLUGINCAPS_IMAGE);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->base, img);
  EXPECT_EQ(list->next, nullptr);  // not added twice
  EXPECT_EQ(img->mustBeNamed, 1);
  EXPECT_EQ(CollectLoaderPlugins("sound|testimg", PLUGINCAPS_SOUND), 0);  // lacks the capability
  EXPECT_EQ(GetPluginListForType(PLUGINCAPS_SOUND), nullptr);

  SetAppletVersion(5, 9);
  EXPECT_EQ(AddToLoaderList(img, PLUGINCAPS_SOUND), ERR_OLDAPPLET);
  SetAppletVersion(8, 0);
}

TEST_F(PluginTest, HookedCommandRunsThePluginsFunctionAndItsErrorsReachTheHandler) {
  Install("testlib");
  Install("testhook");
  ASSERT_EQ(ScanAndRegister(), 0);
  const std::string call =
      ".source \"=t\"\n"
      "GETGLOBAL 0, \"plugadd\"\n"
      "LOADNUM 1, 1\n"
      "LOADNUM 2, 2\n"
      "CALL 0, 3, 2\n"
      "SETGLOBAL 0, \"result\"\n"
      "RETURN 0, 1\n";
  ASSERT_EQ(Run(call), 0);
  EXPECT_EQ(GlobalNumber("result"), 3);

  ASSERT_EQ(Run(".source \"=t\"\nGETGLOBAL 0, \"hookcommand\"\nLOADCONST 1, \"plugadd\"\nCALL 0, "
                "2, 1\nRETURN 0, 1\n"),
            0);
  ASSERT_EQ(Run(call), 0);
  EXPECT_EQ(GlobalNumber("result"), 777);

  // An error raised inside the hook unwinds to the script and the record's
  // handler is told; an error elsewhere is not reported to it.
  EXPECT_EQ(Run(".source \"=t\"\nGETGLOBAL 0, \"plugadd\"\nLOADCONST 1, \"raise\"\nCALL 0, 2, "
                "1\nRETURN 0, 1\n"),
            ERR_WRONGUSAGE);
  EXPECT_EQ(Run(".source \"=t\"\nGETGLOBAL 0, \"nosuchcommand\"\nCALL 0, 1, 1\nRETURN 0, 1\n"),
            ERR_FUNCDECLA);
  ASSERT_EQ(
      Run(".source \"=t\"\nGETGLOBAL 0, \"hookerrors\"\nCALL 0, 1, 3\nSETGLOBAL 0, \"count\"\n"
          "SETGLOBAL 1, \"status\"\nRETURN 0, 1\n"),
      0);
  EXPECT_EQ(GlobalNumber("count"), 1);
  EXPECT_EQ(GlobalNumber("status"), ERR_WRONGUSAGE);

  ASSERT_EQ(Run(".source \"=t\"\nGETGLOBAL 0, \"unhook\"\nCALL 0, 1, 1\nRETURN 0, 1\n"), 0);
  ASSERT_EQ(Run(call), 0);
  EXPECT_EQ(GlobalNumber("result"), 3);
}

}  // namespace
}  // namespace plugintest
