// Every registered command of every library checks its argument count
// before it does anything else, and raises: too many arguments is 1193 and
// too few 1014, whatever the error policy, as for any other argument check.
// The commands' bounds are learnt through the argument-count probe, which
// stops each command at its check, so no command runs while they are read.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/engine_private.h"
#include "runtime/player.h"
#include "runtime/runtime.h"
#include "tests/support/harness.h"
#include "tests/support/unsupported_commands.h"

namespace {

// Commands that read no argument count: each takes any arguments.
const std::set<std::string> ANY_COUNT = [] {
  std::set<std::string> names = {
      // values... of any number, none included
      "Print", "NPrint", "ConsolePrint", "ConsolePrintNR", "DebugPrint", "DebugPrintNR", "DebugStr",
      "DebugVal", "Pack",
      // screens of other platforms: unsupported, no argument checked
      "SetScreenTitle", "SetSubtitle", "GetPubScreens", "ShowScreen", "HideScreen",
      "GetFrontScreen",
      // does nothing on this platform and reads none of its arguments
      "SetMasterVolume"};
  // fail as unsupported and check no argument
  names.insert(std::begin(UNSUPPORTED_COMMANDS), std::end(UNSUPPORTED_COMMANDS));
  return names;
}();

// Commands whose arguments have a minimum and no upper bound.
const std::set<std::string> NO_UPPER_BOUND = {
    "FormatStr",             // a format and its values
    "Min",           "Max",  // two or more numbers
    "AddTab",                // one or more tab positions
    "SetDash",               // an offset and any number of lengths
    "SetLayerStyle",         // pairs of layer and style table
    "MixSample",             // four settings, then pairs of sample and options
    "PlaySample",  // pairs of sample and options; a fifth pair is ERR_WRONGUSAGE, returned
};

constexpr ErrorCode PROBE_STOP = ERR_UNIMPLCMD;

struct Bounds {
  bool seen = false;
  int minimum = 0, maximum = 0;
};
Bounds probed;

void probe(VmState* L, int minimum, int maximum) {
  probed = {true, minimum, maximum};
  VmRaiseError(L, PROBE_STOP);
}

ErrorCode returned;

// Calls the command below the arguments and keeps the code it returned, so
// that a returned error and a raised one stay apart.
int keepReturnedCode(VmState* L) {
  returned = VmCall(L, VmGetTop(L) - 1, 0);
  return 0;
}

struct Outcome {
  ErrorCode raised = ERR_NONE;
  ErrorCode returned = ERR_NONE;
};

class ArgCount : public ::testing::Test {
 protected:
  void SetUp() override {
    PlayerHarness::ResetRunWords();
    L = VmOpenState();
    ASSERT_NE(L, nullptr);
    VmRegisterBaseFunctions(L);
    ASSERT_EQ(OpenPlayerLibraries(L), ERR_NONE);
    VmSetTop(L, 0);
  }
  void TearDown() override {
    SetArgCountProbe(nullptr);
    FreeRunState(L);
    PlayerHarness::ResetRunWords();
  }

  // The command called with n numbers (an identifier no object has).
  Outcome call(const std::string& name, int n) {
    VmSetTop(L, 0);
    EXPECT_TRUE(VmCheckStack(L, n + 4));
    VmPushCClosure(L, keepReturnedCode, 0);
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    VmPushString(L, lower.c_str());
    VmGetTable(L, VM_GLOBALS_INDEX);
    for (int i = 0; i < n; ++i) VmPushNumber(L, 4242);
    returned = ERR_NONE;
    Outcome o;
    o.raised = VmPCall(L, n + 1, 0, 0);
    if (o.raised == ERR_NONE) o.returned = returned;
    VmSetTop(L, 0);
    PlayerHarness::ResetRunWords();
    return o;
  }

  std::vector<std::string> commands() {
    std::vector<std::string> names;
    for (const LibraryEntry* l = GetLibraryList(); l; l = l->next)
      for (const CommandTableEntry* c = l->commands; c && c->name; ++c)
        if (c->function) names.push_back(c->name);
    return names;
  }

  VmState* L = nullptr;
};

TEST_F(ArgCount, EveryCommandRaisesOnTooManyAndTooFewArguments) {
  std::vector<std::string> names = commands();
  ASSERT_GT(names.size(), 800u);
  for (const std::set<std::string>* list : {&ANY_COUNT, &NO_UPPER_BOUND})
    for (const std::string& name : *list)
      EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
  for (const std::string& name : names) {
    if (ANY_COUNT.count(name)) continue;
    SetArgCountProbe(probe);
    probed = {};
    Outcome first = call(name, 0);
    SetArgCountProbe(nullptr);
    if (first.raised != PROBE_STOP || !probed.seen) {
      ADD_FAILURE() << name << " does not check its argument count first (raised " << first.raised
                    << ", returned " << first.returned << ")";
      continue;
    }
    Bounds b = probed;
    bool unbounded = b.maximum < 1 && !(b.minimum == 0 && b.maximum == 0);
    if (unbounded) {
      EXPECT_TRUE(NO_UPPER_BOUND.count(name)) << name << " takes any number of arguments";
    } else {
      int tooMany = b.maximum < 1 ? 1 : b.maximum + 1;
      Outcome o = call(name, tooMany);
      EXPECT_EQ(o.raised, ERR_TOOMANYARGS) << name << " with " << tooMany << " arguments";
    }
    if (b.minimum >= 1) {
      Outcome o = call(name, 0);
      EXPECT_EQ(o.raised, ERR_MISSINGPARAMTR) << name << " with no arguments";
    }
  }
}

}  // namespace
