// The system library's preferences file, catalog, locale, folder and run
// information commands, its constants, and the plug-in and object
// commands, called by name in an in-process player with a scratch HOME.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "engine/engine.h"
#include "libs/libs.h"
#include "runtime/player.h"
#include "runtime/runtime.h"
#include "tests/support/harness.h"

namespace {

void putBE32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(v >> shift));
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class SystemInfoTest : public ::testing::Test {
 protected:
  PlayerHarness p;
  VmState* L = p.L;
  PlayerRecord record{};
  PlayerRunContext context{};
  std::string home;
  std::string oldHome, oldLang, oldCwd;
  bool hadLang = false;

  void SetUp() override {
    char templ[] = "/tmp/qm-sysinfo-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    home = templ;
    oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    hadLang = std::getenv("LANG") != nullptr;
    if (hadLang) oldLang = std::getenv("LANG");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    oldCwd = cwd;
    setenv("HOME", home.c_str(), 1);
    std::strcpy(record.title, "Test Applet");
    std::strcpy(record.text6, "game");
    player.record = &record;
    context.quiet = 1;
    player.context = &context;
  }
  void TearDown() override {
    player.record = nullptr;
    player.context = nullptr;
    setenv("HOME", oldHome.c_str(), 1);
    if (hadLang)
      setenv("LANG", oldLang.c_str(), 1);
    else
      unsetenv("LANG");
    EXPECT_EQ(chdir(oldCwd.c_str()), 0);
    std::string command = "rm -rf '" + home + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
  }
  std::string prefsFile(const char* name) { return home + "/.quillmere-kit/preferences/" + name; }
  double field(int table, const char* key) {
    VmPushString(L, key);
    VmRawGet(L, table);
    double n = VmToNumber(L, -1);
    VmSetTop(L, -2);
    return n;
  }
  std::string text(int table, const char* key) {
    if (table < 0) table = VmGetTop(L) + table + 1;
    VmPushString(L, key);
    VmRawGet(L, table);
    std::string s = VmType(L, -1) == VM_TYPE_STRING ? VmToString(L, -1) : "<none>";
    VmSetTop(L, -2);
    return s;
  }
};

TEST_F(SystemInfoTest, PreferencesRoundTripAndRefusals) {
  // Before any save, loading changes nothing and reports nothing.
  VmNewTable(L);
  VmPushString(L, "keep");
  VmPushNumber(L, 1);
  VmRawSet(L, 1);
  VmPushValue(L, 1);
  ASSERT_EQ(p.Call("LoadPrefs", 1), 0);
  EXPECT_EQ(field(1, "keep"), 1);
  EXPECT_EQ(text(1, "volume"), "<none>");

  VmSetTop(L, 0);
  VmNewTable(L);
  VmPushString(L, "volume");
  VmPushNumber(L, 5);
  VmRawSet(L, 1);
  ASSERT_EQ(p.Call("SavePrefs", 1), 0);
  std::string bytes = readFile(prefsFile("game"));
  std::string body;
  body.push_back('\x03');
  putBE32(body, 6);
  body += "volume";
  body.push_back('\x02');
  const unsigned char five[8] = {0x40, 0x14, 0, 0, 0, 0, 0, 0};
  body.append(reinterpret_cast<const char*>(five), 8);
  body.push_back('\0');
  EXPECT_EQ(bytes, "PRFS" + body);

  // Loading into a table keeps its other fields.
  VmSetTop(L, 0);
  VmNewTable(L);
  VmPushString(L, "keep");
  VmPushNumber(L, 1);
  VmRawSet(L, 1);
  VmPushValue(L, 1);
  ASSERT_EQ(p.Call("LoadPrefs", 1), 0);
  EXPECT_EQ(field(1, "keep"), 1);
  EXPECT_EQ(field(1, "volume"), 5);

  // Another magic.
  { std::ofstream(prefsFile("game"), std::ios::binary) << "XXXX" << body; }
  VmSetTop(L, 0);
  VmNewTable(L);
  EXPECT_EQ(p.Call("LoadPrefs", 1), ERR_FILEFORMAT);
  VmSetTop(L, 0);
  ASSERT_EQ(p.Call("DeletePrefs", 0), 0);
  EXPECT_NE(access(prefsFile("game").c_str(), F_OK), 0);
  EXPECT_EQ(p.Call("DeletePrefs", 0), 0) << "a missing file is fine";

  // Identifiers that are empty or could leave the directory.
  for (const char* identifier : {"", "../x", "a/b", "a\\b", ".."}) {
    SCOPED_TRACE(identifier);
    std::strcpy(record.text6, identifier);
    for (const char* command : {"SavePrefs", "LoadPrefs", "DeletePrefs"}) {
      VmSetTop(L, 0);
      int args = 0;
      if (std::strcmp(command, "DeletePrefs") != 0) {
        VmNewTable(L);
        args = 1;
      }
      EXPECT_EQ(p.Call(command, args), ERR_WRONGUSAGE) << command;
    }
  }
  EXPECT_NE(access((home + "/.quillmere-kit/x").c_str(), F_OK), 0);
}

TEST_F(SystemInfoTest, LanguageCountryAndFolders) {
  struct Case {
    const char* lang;  // null: unset
    double language, country;
  } cases[] = {{"it_IT.UTF-8", 3, 13}, {nullptr, 18, 38}, {"xx_YY", 18, 38}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lang ? c.lang : "unset");
    if (c.lang)
      setenv("LANG", c.lang, 1);
    else
      unsetenv("LANG");
    VmSetTop(L, 0);
    ASSERT_EQ(p.Call("GetSystemLanguage", 0), 0);
    ASSERT_EQ(p.Call("GetSystemCountry", 0), 0);
    EXPECT_EQ(VmToNumber(L, 1), c.language);
    EXPECT_EQ(VmToNumber(L, 2), c.country);
  }
  struct InfoCase {
    const char* command;
    double id;
    const char *key1, *value1, *key2, *value2;
  } infos[] = {
      {"GetLanguageInfo", 3, "code", "it", "name", "italian"},
      {"GetLanguageInfo", 18, "code", "??", "name", "unknown"},
      {"GetLanguageInfo", 9999, "code", "??", "name", "unknown"},
      {"GetCountryInfo", 9, "alpha2", "DE", "alpha3", "DEU"},
      {"GetCountryInfo", 38, "alpha2", "??", "alpha3", "???"},
  };
  for (const InfoCase& c : infos) {
    SCOPED_TRACE(c.command);
    VmSetTop(L, 0);
    VmPushNumber(L, c.id);
    ASSERT_EQ(p.Call(c.command, 1), 0);
    EXPECT_EQ(text(1, c.key1), c.value1);
    EXPECT_EQ(text(1, c.key2), c.value2);
  }
  VmSetTop(L, 0);
  ASSERT_EQ(p.Call("GetSystemInfo", 0), 0);
  EXPECT_EQ(text(1, "userhome"), home);
  EXPECT_EQ(text(1, "tempfiles"), "/tmp");
  EXPECT_EQ(text(1, "preferences"), home + "/.quillmere-kit/preferences");
  EXPECT_EQ(text(1, "windows"), "<none>");
  EXPECT_EQ(text(1, "mydocuments"), "<none>");
  char folder[1024];
  EXPECT_EQ(GetSpecialFolderPath(6, folder, sizeof folder), 1);
  EXPECT_EQ(folder, home);
  EXPECT_EQ(GetSpecialFolderPath(5, folder, sizeof folder), 0);
  VmSetTop(L, 0);
  ASSERT_EQ(p.Call("GetApplicationInfo", 0), 0);
  EXPECT_EQ(text(1, "title"), "Test Applet");
  EXPECT_EQ(text(1, "identifier"), "game");
}

TEST_F(SystemInfoTest, CatalogStringsWithDefaults) {
  ASSERT_EQ(chdir(home.c_str()), 0);
  ASSERT_EQ(mkdir("Catalogs", 0755), 0);
  ASSERT_EQ(mkdir("Catalogs/italiano", 0755), 0);
  // FORM CTLG with version and character-set chunks and one string,
  // number 7.
  std::string strs;
  putBE32(strs, 7);
  putBE32(strs, 6);
  strs += std::string("ciao!", 5) + '\0';
  while (strs.size() % 4) strs.push_back('\0');
  std::string version = std::string("$VER: game.catalog 1.0", 22) + '\0' + '\0';
  std::string inner = "CTLGFVER";
  putBE32(inner, static_cast<uint32_t>(version.size()));
  inner += version + "CSET";
  putBE32(inner, 32);
  inner += std::string(32, '\0') + "STRS";
  putBE32(inner, static_cast<uint32_t>(strs.size()));
  inner += strs;
  std::string file = "FORM";
  putBE32(file, static_cast<uint32_t>(inner.size()));
  { std::ofstream("Catalogs/italiano/game.catalog", std::ios::binary) << file + inner; }
  setenv("LANG", "it_IT.UTF-8", 1);

  auto lookUp = [&](double number) {
    VmSetTop(L, 0);
    VmPushNumber(L, number);
    VmPushString(L, "default");
    EXPECT_EQ(p.Call("GetCatalogString", 2), 0);
    return std::string(VmToString(L, -1));
  };
  EXPECT_EQ(lookUp(7), "default") << "no catalog open";
  VmSetTop(L, 0);
  VmPushString(L, "game.catalog");
  ASSERT_EQ(p.Call("OpenCatalog", 1), 0);
  EXPECT_EQ(lookUp(7), "ciao!");
  EXPECT_EQ(lookUp(8), "default");
  VmSetTop(L, 0);
  VmPushString(L, "missing.catalog");
  ASSERT_EQ(p.Call("OpenCatalog", 1), 0) << "no catalog is no error";
  EXPECT_EQ(lookUp(7), "default");
  VmSetTop(L, 0);
  VmPushString(L, "game.catalog");
  ASSERT_EQ(p.Call("OpenCatalog", 1), 0);
  ASSERT_EQ(p.Call("CloseCatalog", 0), 0);
  EXPECT_EQ(lookUp(7), "default");
}

TEST_F(SystemInfoTest, RunInformation) {
  VmSetTop(L, 0);
  ASSERT_EQ(p.Call("GetVersion", 0), 0);
  std::map<std::string, std::string> got;
  VmPushNil(L);
  while (VmNext(L, 1)) {
    std::string key = VmToString(L, -2);
    if (VmType(L, -1) == VM_TYPE_TABLE)
      got[key] = "<table>";
    else if (VmType(L, -1) == VM_TYPE_NUMBER)
      got[key] = std::to_string(static_cast<int>(VmToNumber(L, -1)));
    else
      got[key] = VmToString(L, -1);
    VmSetTop(L, -2);
  }
  std::map<std::string, std::string> want = {{"application", "QuillmerePlayer"},
                                             {"version", "8.0"},
                                             {"version_date", "08.02.19"},
                                             {"kernel", "8.0"},
                                             {"kernel_date", "08.02.19"},
                                             {"beta", "0"},
                                             {"platform", "Linux"},
                                             {"bigendian", "0"},
                                             {"cpu", "x86_64"},
                                             {"plugins", "<table>"}};
  EXPECT_EQ(got, want);

  // The command line, program type and file argument as start-up kept them.
  UnmatchedOption second{nullptr, const_cast<char*>("level"), const_cast<char*>("3")};
  UnmatchedOption first{&second, const_cast<char*>("fast"), nullptr};
  context.unmatched = &first;
  context.appletFlag = 1;
  std::strcpy(context.appletPath, "/games/x.qma");
  std::strcpy(context.programPath, "/usr/bin/player");
  std::strcpy(context.appletArgument, "x.qma");
  VmSetTop(L, 0);
  ASSERT_EQ(p.Call("GetCommandLine", 0), 0);
  EXPECT_EQ(VmToNumber(L, 2), 2);
  VmRawGetI(L, 1, 0);
  EXPECT_EQ(text(-1, "arg"), "fast");
  EXPECT_EQ(text(-1, "param"), "");
  VmRawGetI(L, 1, 1);
  EXPECT_EQ(text(-1, "arg"), "level");
  EXPECT_EQ(text(-1, "param"), "3");
  VmSetTop(L, 0);
  ASSERT_EQ(p.Call("GetProgramInfo", 0), 0);
  EXPECT_EQ(VmToNumber(L, 1), 1);
  EXPECT_STREQ(VmToString(L, 2), "/games/x.qma");
  EXPECT_STREQ(VmToString(L, 3), "/usr/bin/player");
  VmSetTop(L, 0);
  ASSERT_EQ(p.Call("GetFileArgument", 0), 0);
  EXPECT_STREQ(VmToString(L, 1), "x.qma");
  context.unmatched = nullptr;

  // Switches and memory.
  VmSetTop(L, 0);
  EXPECT_EQ(GetLegacySwitch(LEGACY_SINGLEMUSIC), 1);
  VmPushString(L, "SingleMusic");
  VmPushNumber(L, 0);
  EXPECT_EQ(p.Call("LegacyControl", 2), 0);
  EXPECT_EQ(GetLegacySwitch(LEGACY_SINGLEMUSIC), 0);
  VmPushString(L, "LINEBASEDSHAPES");
  VmPushNumber(L, 1);
  EXPECT_EQ(p.Call("LegacyControl", 2), 0);
  EXPECT_EQ(GetLegacySwitch(LEGACY_LINEBASEDSHAPES), 1);
  VmPushString(L, "foo");
  VmPushNumber(L, 1);
  EXPECT_EQ(p.Call("LegacyControl", 2), ERR_UNKNOWNTAG);
  char message[256];
  GetErrorText(ERR_UNKNOWNTAG, message, sizeof message);
  EXPECT_NE(std::strstr(message, "foo"), nullptr) << message;
  VmSetTop(L, 0);
  VmPushNumber(L, 2);
  EXPECT_EQ(p.Call("GetMemoryInfo", 1), ERR_WRONGUSAGE);
  VmSetTop(L, 0);
  VmPushNumber(L, 1);
  ASSERT_EQ(p.Call("GetMemoryInfo", 1), 0);
  EXPECT_GT(VmToNumber(L, -1), 0);
}

TEST_F(SystemInfoTest, LocaleAndPluginConstants) {
  struct Case {
    const char* name;
    double value;
  } cases[] = {{"LANGUAGE_ITALIAN", 3},
               {"LANGUAGE_UNKNOWN", 18},
               {"COUNTRY_GERMANY", 9},
               {"COUNTRY_UK", 0},
               {"COUNTRY_USA", 1},
               {"COUNTRY_UNKNOWN", 38},
               {"PLUGINCAPS_AUDIOADAPTER", 0x10000},
               {"REQ_HIDEICONS", 65536},
               {"DURATION_SHORT", -1},
               {"CLIPBOARD_IMAGE", 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VmSetTop(L, 0);
    VmPushString(L, c.name);
    ASSERT_EQ(p.Call("GetConstant", 1), 0);
    EXPECT_EQ(VmToNumber(L, -1), c.value);
  }
  VmSetTop(L, 0);
  VmPushString(L, "PLUGINCAPS_NETWORKADAPTER");
  EXPECT_EQ(p.Call("GetConstant", 1), ERR_FINDCST);

  // Every language id 0-183 and country id 0-232 has exactly one constant,
  // and each name resolves to its id.
  std::ifstream in(std::string(QM_SOURCE_DIR) + "/data/locale/locale_constants.inc");
  std::string line;
  std::map<std::string, std::map<int, int>> ids;
  while (std::getline(in, line)) {
    if (line.rfind("{\"", 0) != 0) continue;
    std::string name = line.substr(2, line.find('"', 2) - 2);
    int id = std::atoi(line.substr(line.rfind(',', line.size() - 3) + 1).c_str());
    std::string set = name.substr(0, name.find('_'));
    ids[set][id]++;
    VmSetTop(L, 0);
    VmPushString(L, name.c_str());
    ASSERT_EQ(p.Call("GetConstant", 1), 0) << name;
    EXPECT_EQ(VmToNumber(L, -1), id) << name;
  }
  ASSERT_EQ(ids["LANGUAGE"].size(), 184u);
  ASSERT_EQ(ids["COUNTRY"].size(), 233u);
  for (auto& [set, counts] : ids) {
    EXPECT_EQ(counts.begin()->first, 0) << set;
    EXPECT_EQ(counts.rbegin()->first, static_cast<int>(counts.size()) - 1) << set;
    for (auto& [id, n] : counts) EXPECT_EQ(n, 1) << set << " " << id;
  }
}

TEST_F(SystemInfoTest, ObjectRegistryAndObjectData) {
  std::string path = home + "/f.txt";
  VmSetTop(L, 0);
  VmPushNil(L);
  VmPushString(L, path.c_str());
  VmPushNumber(L, 1006);
  ASSERT_EQ(p.Call("OpenFile", 3), 0);
  void* handle = VmToUserdata(L, 1);
  VmSetTop(L, 0);
  VmPushNumber(L, 7);
  VmPushString(L, (home + "/g.txt").c_str());
  VmPushNumber(L, 1006);
  ASSERT_EQ(p.Call("OpenFile", 3), 0);

  VmSetTop(L, 0);
  VmPushLightUserdata(L, handle);
  ASSERT_EQ(p.Call("GetObjectType", 1), 0);
  EXPECT_EQ(VmToNumber(L, 1), OBJTYPE_FILE);
  VmSetTop(L, 0);
  VmPushLightUserdata(L, L);
  ASSERT_EQ(p.Call("GetObjectType", 1), 0);
  EXPECT_EQ(VmToNumber(L, 1), -1);
  VmSetTop(L, 0);
  VmPushNumber(L, OBJTYPE_FILE);
  ASSERT_EQ(p.Call("GetObjects", 1), 0);
  EXPECT_EQ(VmToNumber(L, 2), 2);
  VmSetTop(L, 0);
  VmPushNumber(L, OBJTYPE_FILE);
  VmPushNumber(L, 7);
  ASSERT_EQ(p.Call("HaveObject", 2), 0);
  EXPECT_EQ(VmToNumber(L, 1), 1);
  VmSetTop(L, 0);
  VmPushNumber(L, OBJTYPE_FILE);
  VmPushNumber(L, 8);
  ASSERT_EQ(p.Call("HaveObject", 2), 0);
  EXPECT_EQ(VmToNumber(L, 1), 0);

  // Object data: (command, id 7 or the handle, name, value) and the result.
  auto call = [&](const char* command, bool automatic, const char* name, const char* value) {
    VmSetTop(L, 0);
    VmPushNumber(L, OBJTYPE_FILE);
    if (automatic)
      VmPushLightUserdata(L, handle);
    else
      VmPushNumber(L, 7);
    int args = 2;
    if (name != nullptr) {
      VmPushString(L, name);
      args++;
    }
    if (value != nullptr) {
      VmPushString(L, value);
      args++;
    }
    return p.Call(command, args);
  };
  EXPECT_EQ(call("SetObjectData", false, "", "v"), ERR_WRONGUSAGE);
  EXPECT_EQ(call("HaveObjectData", false, "", nullptr), ERR_WRONGUSAGE);
  ASSERT_EQ(call("SetObjectData", false, "Colour", "red"), 0);
  ASSERT_EQ(call("SetObjectData", false, "size", "big"), 0);
  ASSERT_EQ(call("GetObjectData", false, "COLOUR", nullptr), 0);
  EXPECT_STREQ(VmToString(L, -1), "red");
  EXPECT_EQ(call("GetObjectData", false, "missing", nullptr), ERR_FINDOBJECTDATA);
  char message[256];
  GetErrorText(ERR_FINDOBJECTDATA, message, sizeof message);
  EXPECT_NE(std::strstr(message, "missing"), nullptr) << message;
  VmSetTop(L, 0);
  VmPushNumber(L, OBJTYPE_FILE);
  VmPushNumber(L, 99);
  VmPushString(L, "x");
  VmPushNumber(L, 1);
  EXPECT_EQ(p.Call("SetObjectData", 4), ERR_FINDARRAY);

  // Copying: without overwrite the target keeps its own item.
  ASSERT_EQ(call("SetObjectData", true, "colour", "blue"), 0);
  VmSetTop(L, 0);
  VmPushNumber(L, OBJTYPE_FILE);
  VmPushNumber(L, 7);
  VmPushNumber(L, OBJTYPE_FILE);
  VmPushLightUserdata(L, handle);
  VmPushBoolean(L, 0);
  ASSERT_EQ(p.Call("CopyObjectData", 5), 0);
  ASSERT_EQ(call("GetObjectData", true, "colour", nullptr), 0);
  EXPECT_STREQ(VmToString(L, -1), "blue");
  ASSERT_EQ(call("GetObjectData", true, "size", nullptr), 0);
  EXPECT_STREQ(VmToString(L, -1), "big");
  VmSetTop(L, 0);
  VmPushNumber(L, OBJTYPE_FILE);
  VmPushNumber(L, 7);
  VmPushNumber(L, OBJTYPE_FILE);
  VmPushLightUserdata(L, handle);
  ASSERT_EQ(p.Call("CopyObjectData", 4), 0);
  ASSERT_EQ(call("GetObjectData", true, "colour", nullptr), 0);
  EXPECT_STREQ(VmToString(L, -1), "red");

  // Clearing one item, then all.
  ASSERT_EQ(call("ClearObjectData", true, "size", nullptr), 0);
  EXPECT_EQ(call("ClearObjectData", true, "size", nullptr), ERR_FINDOBJECTDATA);
  ASSERT_EQ(call("HaveObjectData", true, "colour", nullptr), 0);
  EXPECT_EQ(VmToNumber(L, -1), 1);
  ASSERT_EQ(call("ClearObjectData", true, nullptr, nullptr), 0);
  ASSERT_EQ(call("HaveObjectData", true, "colour", nullptr), 0);
  EXPECT_EQ(VmToNumber(L, -1), 0);

  // Layers without a display with layers.
  VmSetTop(L, 0);
  VmPushNumber(L, OBJTYPE_LAYER);
  VmPushNumber(L, 1);
  VmPushString(L, "x");
  EXPECT_EQ(p.Call("HaveObjectData", 3), ERR_NOLAYERS);

  // With no plug-in loaded the list is empty, and unknown plug-ins are
  // reported by name.
  VmSetTop(L, 0);
  ASSERT_EQ(p.Call("GetPlugins", 0), 0);
  EXPECT_EQ(VmType(L, 1), VM_TYPE_TABLE);
  VmSetTop(L, 0);
  VmPushString(L, "nosuch.qmp");
  EXPECT_EQ(p.Call("DisablePlugin", 1), ERR_FINDPLUGIN);
  VmSetTop(L, 0);
  VmPushString(L, "nosuch");
  ASSERT_EQ(p.Call("HavePlugin", 1), 0);
  EXPECT_EQ(VmToNumber(L, 1), 0);
  EXPECT_EQ(VmToNumber(L, 2), 0);
}

TEST_F(SystemInfoTest, BellNotificationAndDesktopOpener) {
  std::string out;
  ASSERT_EQ(p.RunCapture("GETGLOBAL 0, \"beep\"\nCALL 0, 1, 1\nRETURN 0, 1", &out), 0);
  EXPECT_EQ(out, "\a");
  // Without a notification service the notification returns quietly.
  VmSetTop(L, 0);
  VmPushString(L, "");
  VmPushString(L, "text");
  EXPECT_EQ(p.Call("ShowNotification", 2), 0);
  // Applets older than 8.0 have neither.
  VmSetAppletVersion(7, 0);
  VmSetTop(L, 0);
  EXPECT_EQ(p.Call("Beep", 0), ERR_OLDAPPLET);
  VmPushString(L, "t");
  VmPushString(L, "text");
  EXPECT_EQ(p.Call("ShowNotification", 2), ERR_OLDAPPLET);
  VmSetAppletVersion(8, 0);

  // The opener gets the URL as its only argument.
  std::string bin = home + "/bin";
  ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
  std::string record = home + "/opened";
  {
    std::ofstream script(bin + "/xdg-open");
    script << "#!/bin/sh\nprintf '%s|' \"$#\" \"$@\" > '" << record << ".part'\nmv '" << record
           << ".part' '" << record << "'\n";
  }
  ASSERT_EQ(chmod((bin + "/xdg-open").c_str(), 0755), 0);
  std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
  setenv("PATH", (bin + ":" + oldPath).c_str(), 1);
  VmSetTop(L, 0);
  VmPushString(L, "https://example.org/a?x=1&y=2");
  ErrorCode error = p.Call("OpenURL", 1);
  setenv("PATH", oldPath.c_str(), 1);
  ASSERT_EQ(error, 0);
  for (int i = 0; i < 500 && access(record.c_str(), F_OK) != 0; i++) usleep(10000);
  EXPECT_EQ(readFile(record), "1|https://example.org/a?x=1&y=2|");
}

}  // namespace
