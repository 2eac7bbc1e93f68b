// Reading the player's vocabulary out of a VM: the globals that hold
// built-in commands and the registry's "constants" table, before and after
// each library opens.
#include "tools/reference/vocabulary.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

#include "display/display.h"
#include "draw/draw.h"
#include "engine/engine.h"
#include "engine/engine_private.h"
#include "fx/fx.h"
#include "gfx/gfx.h"
#include "libs/libs.h"
#include "media/media.h"
#include "root/root.h"
#include "runtime/player.h"
#include "runtime/runtime.h"
#include "runtime/runtime_private.h"
#include "text/text.h"

namespace vocabulary {

namespace {

// The player's libraries with the functions that open them, in the order
// start-up opens them. The composition root holds the player's own table;
// CollectPlayerVocabulary checks that this one registers exactly what the
// player registers, so a library missing here is reported, not skipped.
struct LibraryOpener {
  const char* name;
  ErrorCode (*open)(VmState* L);
};
const LibraryOpener LIBRARIES[] = {
    {"string", OpenStringLibrary},
    {"math", OpenMathLibrary},
    {"graphics", OpenGraphicsLibrary},
    {"draw", OpenDrawLibrary},
    {"moveobject", OpenMoveObjectLibrary},
    {"dos", OpenDosLibrary},
    {"event", OpenEventLibrary},
    {"system", OpenSystemLibrary},
    {"layers", OpenLayersLibrary},
    {"text", OpenTextLibrary},
    {"anim", OpenAnimLibrary},
    {"display", OpenDisplayLibrary},
    {"sound", OpenSoundLibrary},
    {"brush", OpenBrushLibrary},
    {"bgpic", OpenBGPicLibrary},
    {"transitionfx", OpenTransitionFXLibrary},
    {"sprite", OpenSpriteLibrary},
    {"memblock", OpenMemBlockLibrary},
    {"vectorgraphics", OpenVectorGraphicsLibrary},
    {"icon", OpenIconLibrary},
    {"serial", OpenSerialLibrary},
    {"network", OpenNetworkLibrary},
    {"video", OpenVideoLibrary},
    {"arexx", OpenArexxLibrary},
};

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// A VM as start-up makes it, before any library opens: the folders'
// context records built, the built-in "next" registered. Its end frees
// what the libraries made, as shut-down does.
class Vm {
 public:
  Vm() {
    InstallPlayerComposition();
    InitFolderContexts();
    L = VmOpenState();
    if (L != nullptr) VmRegisterBaseFunctions(L);
  }
  ~Vm() {
    if (L != nullptr) FreePlayerLibraries(L);
    FreeRegistries(L);
    if (L != nullptr) VmCloseState(L);
    FreeFolderContexts();
  }
  Vm(const Vm&) = delete;
  Vm& operator=(const Vm&) = delete;

  VmState* L = nullptr;
};

// The lower-cased names of the globals that hold built-in commands.
std::set<std::string> commandGlobals(VmState* L) {
  std::set<std::string> names;
  int top = VmGetTop(L);
  VmPushNil(L);
  while (VmNext(L, VM_GLOBALS_INDEX) != 0) {
    if (VmType(L, -2) == VM_TYPE_STRING && VmToBuiltinFunction(L, -1) != nullptr)
      names.insert(VmToString(L, -2));
    VmSetTop(L, -2);
  }
  VmSetTop(L, top);
  return names;
}

// The built-in message of an error code as written, with its "%s" and "%d"
// where the report puts the error's text and number; for the two codes
// whose message is whatever text the failing call gave, a note saying so.
std::string errorMessage(ErrorCode code) {
  if (code == ERR_OPENFONT || code == ERR_ERRORCALLED) return "(the message given with the error)";
  int32_t number = GetErrorTextNumber(code);
  const char* text = number >= 0 ? GetBuiltinString(number) : nullptr;
  return text != nullptr ? text : "";
}

// The registry's "constants" table, complete, by lower-cased name.
std::map<std::string, Constant> constants(VmState* L) {
  std::map<std::string, Constant> all;
  VmCompleteConstants(L);
  int top = VmGetTop(L);
  VmPushString(L, "constants");
  VmRawGet(L, VM_REGISTRY_INDEX);
  if (VmType(L, -1) == VM_TYPE_TABLE) {
    VmPushNil(L);
    while (VmNext(L, -2) != 0) {
      if (VmType(L, -2) == VM_TYPE_STRING) {
        Constant c;
        const char* key = VmToString(L, -2);
        c.name = upper(key);
        if (VmType(L, -1) == VM_TYPE_STRING) {
          c.isText = true;
          c.text.assign(VmToString(L, -1), VmStrLen(L, -1));
        } else {
          c.number = VmToNumber(L, -1);
          if (c.name.rfind("ERR_", 0) == 0 && c.number == static_cast<ErrorCode>(c.number))
            c.meaning = errorMessage(static_cast<ErrorCode>(c.number));
        }
        all.emplace(key, c);
      }
      VmSetTop(L, -2);
    }
  }
  VmSetTop(L, top);
  return all;
}

template <typename Set>
std::string firstMissing(const Set& from, const Set& in) {
  for (const auto& item : from) {
    std::string key;
    if constexpr (std::is_same_v<Set, std::set<std::string>>)
      key = item;
    else
      key = item.first;
    if (in.count(key) == 0) return key;
  }
  return "";
}

}  // namespace

bool CollectPlayerVocabulary(std::vector<Library>* libraries, std::string* error) {
  libraries->clear();
  std::set<std::string> allCommands;
  std::map<std::string, Constant> allConstants;
  std::set<std::string> registeredNames;
  {
    Vm vm;
    if (vm.L == nullptr) {
      *error = "no memory for a VM";
      return false;
    }
    std::set<std::string> commandsBefore = commandGlobals(vm.L);
    std::map<std::string, Constant> constantsBefore = constants(vm.L);
    for (const LibraryOpener& opener : LIBRARIES) {
      VmPushValue(vm.L, VM_GLOBALS_INDEX);
      ErrorCode code = opener.open(vm.L);
      VmSetTop(vm.L, 0);
      if (code != 0) {
        *error = std::string("the ") + opener.name + " library failed to open: error " +
                 std::to_string(code);
        return false;
      }
      std::set<std::string> commandsNow = commandGlobals(vm.L);
      std::map<std::string, Constant> constantsNow = constants(vm.L);
      Library library;
      library.name = opener.name;
      for (const std::string& name : commandsNow) {
        if (commandsBefore.count(name) != 0) continue;
        // The spelling of the library's own table. A command that no
        // registered library lists would be missing from the player's own
        // vocabulary listing too.
        const char* spelling = RegisteredCommandSpelling(name.c_str());
        if (spelling == nullptr) {
          *error = "the command " + name + " of the " + opener.name +
                   " library is registered without being listed with its library";
          return false;
        }
        library.commands.push_back(spelling);
      }
      for (const auto& [key, constant] : constantsNow)
        if (constantsBefore.count(key) == 0) library.constants.push_back(constant);
      std::sort(library.commands.begin(), library.commands.end());
      std::sort(library.constants.begin(), library.constants.end(),
                [](const Constant& a, const Constant& b) { return a.name < b.name; });
      libraries->push_back(library);
      commandsBefore.swap(commandsNow);
      constantsBefore.swap(constantsNow);
    }
    allCommands = commandsBefore;
    allConstants = constantsBefore;
    for (const LibraryEntry* entry = GetLibraryList(); entry != nullptr; entry = entry->next)
      registeredNames.insert(entry->name);
  }

  // The player's own opening must register the same: nothing more, nothing
  // less, and no library of another name.
  Vm vm;
  if (vm.L == nullptr || OpenPlayerLibraries(vm.L) != 0) {
    *error = "the player's libraries failed to open";
    return false;
  }
  std::set<std::string> playerCommands = commandGlobals(vm.L);
  std::map<std::string, Constant> playerConstants = constants(vm.L);
  std::set<std::string> playerNames;
  for (const LibraryEntry* entry = GetLibraryList(); entry != nullptr; entry = entry->next)
    playerNames.insert(entry->name);
  std::string name;
  if (!(name = firstMissing(playerNames, registeredNames)).empty() ||
      !(name = firstMissing(playerCommands, allCommands)).empty() ||
      !(name = firstMissing(playerConstants, allConstants)).empty()) {
    *error = "the player registers " + name +
             ", which no library of tools/reference/vocabulary.cpp accounts for";
    return false;
  }
  if (!(name = firstMissing(allCommands, playerCommands)).empty() ||
      !(name = firstMissing(allConstants, playerConstants)).empty()) {
    *error = name + " is registered here but not by the player's own opening";
    return false;
  }
  return true;
}

struct PlayerConstants::State {
  Vm vm;
  bool opened = false;
};

PlayerConstants::PlayerConstants() : state_(new State) {
  state_->opened = state_->vm.L != nullptr && OpenPlayerLibraries(state_->vm.L) == 0;
}

PlayerConstants::~PlayerConstants() { delete state_; }

bool PlayerConstants::Find(const std::string& name, Constant* value) {
  if (!state_->opened) return false;
  const char* text = nullptr;
  double number = 0;
  if (!VmFindConstant(state_->vm.L, name.c_str(), &text, &number)) return false;
  value->name = upper(name);
  value->isText = text != nullptr;
  value->text = text != nullptr ? text : "";
  value->number = number;
  return true;
}

}  // namespace vocabulary
