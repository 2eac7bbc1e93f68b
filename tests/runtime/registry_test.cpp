// Registries, hooks and global attributes: numbering of custom errors and
// object types, the call rules of every hook kind, removal of hooks (also
// from inside a walk), the tag lists and the out-of-memory paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"
#include "runtime/objref.h"
#include "runtime/runtime.h"
#include "runtime/runtime_private.h"

namespace {

class Registries : public ::testing::Test {
 protected:
  void TearDown() override {
    SetAllocFailure(0, false);
    FreeRegistries(nullptr);
  }
};

TEST_F(Registries, CustomErrorsAreNumberedFrom1630WithTheirTexts) {
  EXPECT_EQ(RegisterCustomError("first"), 1630);
  EXPECT_EQ(RegisterCustomError("second %s"), 1631);
  SetAllocFailure(1, false);
  EXPECT_EQ(RegisterCustomError("lost"), ERR_MEM);
  EXPECT_EQ(RegisterCustomError("third"), 1632);  // the failure took no number
  EXPECT_STREQ(GetCustomErrorText(1630), "first");
  EXPECT_STREQ(GetCustomErrorText(1631), "second %s");
  EXPECT_STREQ(GetCustomErrorText(1632), "third");
  EXPECT_EQ(GetCustomErrorText(1629), nullptr);
  EXPECT_EQ(GetCustomErrorText(1633), nullptr);
  FreeRegistries(nullptr);
  EXPECT_EQ(GetCustomErrorText(1630), nullptr);
  EXPECT_EQ(RegisterCustomError("again"), 1630);
}

int typeHandlerCalls = 0;
int typeHandler(VmState*, uintptr_t a, uintptr_t b) {
  ++typeHandlerCalls;
  return static_cast<int>(a + b);
}

TEST_F(Registries, ObjectTypesTakeIdsFrom61AndPlainListsTakeNone) {
  ObjectHead* listA = nullptr;
  ObjectHead* listB = nullptr;
  ObjectHead* listC = nullptr;
  int32_t idA = 0, idC = 0;
  ASSERT_EQ(RegisterObjectType(&listA, "alpha", typeHandler, &idA, 0), ERR_NONE);
  ASSERT_EQ(RegisterObjectList(&listB), ERR_NONE);
  ASSERT_EQ(RegisterObjectType(&listC, "gamma", typeHandler, &idC, 1), ERR_NONE);
  EXPECT_EQ(idA, 61);
  EXPECT_EQ(idC, 62);

  std::vector<std::string> names;
  std::vector<int32_t> ids;
  for (const ObjectTypeEntry* e = GetObjectTypeList(); e; e = e->next) {
    names.push_back(e->name ? e->name : "(list)");
    ids.push_back(e->typeId);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"alpha", "(list)", "gamma"}));
  EXPECT_EQ(ids, (std::vector<int32_t>{61, 0, 62}));
  EXPECT_EQ(GetObjectTypeList()->next->list, &listB);

  typeHandlerCalls = 0;
  EXPECT_EQ(CallObjectTypeHandler(nullptr, 61, 2, 3), 5);
  EXPECT_EQ(CallObjectTypeHandler(nullptr, 62, 2, 3), 0);  // bridged: not called
  EXPECT_EQ(CallObjectTypeHandler(nullptr, 0, 2, 3), ERR_WRONGUSAGE);
  EXPECT_EQ(CallObjectTypeHandler(nullptr, 63, 2, 3), ERR_WRONGUSAGE);
  EXPECT_EQ(typeHandlerCalls, 1);
}

TEST_F(Registries, ObjectsAreCountedByTypeOverEveryListAndTypesFoundById) {
  // A built-in type (7) spread over a plain list and a named type's list,
  // and an empty named type; ids that no entry owns find no record.
  ObjectHead plain[3] = {};
  ObjectHead named[2] = {};
  plain[0] = {7, 1, nullptr, nullptr, &plain[1]};
  plain[1] = {61, 2, nullptr, nullptr, &plain[2]};
  plain[2] = {7, 3, nullptr, nullptr, nullptr};
  named[0] = {61, 4, nullptr, nullptr, &named[1]};
  named[1] = {7, 5, nullptr, nullptr, nullptr};
  ObjectHead* plainList = plain;
  ObjectHead* namedList = named;
  ObjectHead* emptyList = nullptr;
  EXPECT_EQ(GetUserObjectTypeCount(), 0);
  ASSERT_EQ(RegisterObjectList(&plainList), ERR_NONE);
  EXPECT_EQ(GetUserObjectTypeCount(), 0);  // a plain list is no type
  ASSERT_EQ(RegisterObjectType(&namedList, "named", nullptr, nullptr, 0), ERR_NONE);
  ASSERT_EQ(RegisterObjectType(&emptyList, "empty", nullptr, nullptr, 0), ERR_NONE);
  EXPECT_EQ(GetUserObjectTypeCount(), 2);

  struct Case {
    int32_t type;
    int32_t count;
    const char* record;  // name of the type's record, or null
  };
  const Case cases[] = {{7, 3, nullptr},  {61, 2, "named"}, {62, 0, "empty"},
                        {63, 0, nullptr}, {0, 0, nullptr},  {-1, 0, nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    EXPECT_EQ(CountObjectsOfType(c.type), c.count);
    const ObjectTypeEntry* record = GetObjectTypeRecord(c.type);
    if (c.record == nullptr) {
      EXPECT_EQ(record, nullptr);
    } else {
      ASSERT_NE(record, nullptr);
      EXPECT_STREQ(record->name, c.record);
      EXPECT_EQ(record->typeId, c.type);
    }
  }
  namedList = nullptr;  // objects leave: the count follows the lists
  EXPECT_EQ(CountObjectsOfType(7), 2);
  FreeRegistries(nullptr);
  EXPECT_EQ(GetUserObjectTypeCount(), 0);
  EXPECT_EQ(GetObjectTypeRecord(61), nullptr);
}

int answerReader(VmState*, int32_t attribute) { return attribute; }

TEST_F(Registries, AttributeReadersAreKeptByTypeNumberUntilTheRegistriesAreFreed) {
  struct Case {
    int32_t type;
    ErrorCode registered;
  };
  const Case cases[] = {{OBJTYPE_SERIAL, ERR_NONE},
                        {0, ERR_NONE},
                        {ATTRIBUTE_READER_TYPES - 1, ERR_NONE},
                        {ATTRIBUTE_READER_TYPES, ERR_WRONGUSAGE},
                        {-1, ERR_WRONGUSAGE}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    EXPECT_EQ(RegisterAttributeReader(c.type, answerReader), c.registered);
    EXPECT_EQ(FindAttributeReader(c.type) != nullptr, c.registered == ERR_NONE);
  }
  EXPECT_EQ(FindAttributeReader(OBJTYPE_FILE), nullptr);
  FreeRegistries(nullptr);
  EXPECT_EQ(FindAttributeReader(OBJTYPE_SERIAL), nullptr);

  ObjectHead records[3] = {};
  records[0].next = &records[1];
  records[1].next = &records[2];
  EXPECT_EQ(CountObjectList(records), 3);
  EXPECT_EQ(CountObjectList(nullptr), 0);
  // The codes that stored applets use, at both ends and around the icon pair.
  EXPECT_EQ(ATTRWIDTH, 0);
  EXPECT_EQ(ATTRCOUNT, 8);
  EXPECT_EQ(ATTRADAPTER, 63);
  EXPECT_EQ(ATTRNUMENTRIES, 98);
}

TEST_F(Registries, FailedAllocationsLeaveRegistriesAsTheyWere) {
  // A named type needs two blocks; every failure must give ERR_MEM, keep
  // the list unchanged and use up no type id (ASan checks for leaks).
  ObjectHead* list = nullptr;
  int32_t id = 0;
  ErrorCode rc = ERR_MEM;
  uint64_t n = 1;
  for (; rc == ERR_MEM && n < 10; ++n) {
    SetAllocFailure(n, false);
    rc = RegisterObjectType(&list, "beta", typeHandler, &id, 0);
    if (rc == ERR_MEM) {
      EXPECT_EQ(GetObjectTypeList(), nullptr) << "n=" << n;
    }
  }
  EXPECT_EQ(rc, ERR_NONE);
  EXPECT_EQ(n, 4u);  // failed at the first and the second block
  EXPECT_EQ(id, 61);

  SetAllocFailure(1, true);
  EXPECT_EQ(RegisterLibrary(nullptr, "lost"), ERR_MEM);
  EXPECT_EQ(AddSetAttrHandler([](VmState*, uint32_t, uintptr_t) { return 1; }), ERR_MEM);
  EXPECT_EQ(AddHook(HOOK_POLL, nullptr, nullptr, 0), nullptr);
  EXPECT_EQ(GetLibraryList(), nullptr);
  EXPECT_EQ(GetHookList(), nullptr);
  TagItem unknown[] = {{77, 1}, {ATTR_DONE, 0}};
  EXPECT_EQ(SetGlobalAttrs(nullptr, unknown), 0);
}

TEST_F(Registries, LibrariesKeepOpeningOrderAndCutLongNames) {
  std::string longName(70, 'x');
  ASSERT_EQ(RegisterLibrary(nullptr, "graphics"), ERR_NONE);
  ASSERT_EQ(RegisterLibrary(nullptr, longName.c_str()), ERR_NONE);
  const LibraryEntry* e = GetLibraryList();
  ASSERT_NE(e, nullptr);
  EXPECT_STREQ(e->name, "graphics");
  ASSERT_NE(e->next, nullptr);
  EXPECT_EQ(std::string(e->next->name), longName.substr(0, LIBRARY_NAME_MAX));
  EXPECT_EQ(e->next->next, nullptr);
}

// ---- Hooks ----

struct HookLog {
  std::vector<std::string> calls;
};
HookLog* hookLog = nullptr;

// Each hook's user data: its name and the results it returns in turn (the
// last one repeats).
struct HookScript {
  const char* name;
  std::vector<int> results;
  size_t calls = 0;
  int next() {
    int r = results[std::min(calls, results.size() - 1)];
    ++calls;
    return r;
  }
};

int loopHook(void* ud) {
  auto* s = static_cast<HookScript*>(ud);
  hookLog->calls.push_back(s->name);
  return s->next();
}
int pollHook(VmState*, void* ud) { return loopHook(ud); }
int notifyHook(uintptr_t b, void* ud) {
  auto* s = static_cast<HookScript*>(ud);
  hookLog->calls.push_back(std::string(s->name) + ":" + std::to_string(b));
  return s->next();
}
int displayHook(uintptr_t a, uintptr_t b, void* ud, uintptr_t reserved) {
  auto* s = static_cast<HookScript*>(ud);
  hookLog->calls.push_back(std::string(s->name) + ":" + std::to_string(a) + "," +
                           std::to_string(b) + "," + std::to_string(reserved));
  return s->next();
}

HookFunc callbackFor(int32_t kind) {
  switch (kind) {
    case HOOK_LOOP:
      return reinterpret_cast<HookFunc>(loopHook);
    case HOOK_POLL:
      return reinterpret_cast<HookFunc>(pollHook);
    case HOOK_DISPLAYHANDLER:
      return reinterpret_cast<HookFunc>(displayHook);
    default:
      return reinterpret_cast<HookFunc>(notifyHook);
  }
}

TEST_F(Registries, HooksOfEachKindRunInRegistrationOrderByTheirRules) {
  struct HookSpec {
    const char* name;
    int32_t kind;
    std::vector<int> results;
    int32_t disabled;
    int32_t bridge;
  };
  struct Case {
    const char* name;
    int32_t kind;
    std::vector<HookSpec> hooks;
    int expected;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"loop: the first enabled one again and again until non-zero",
       HOOK_LOOP,
       {{"off", HOOK_LOOP, {9}, 1, 0},
        {"poll", HOOK_POLL, {9}, 0, 0},
        {"a", HOOK_LOOP, {0, 0, 7}, 0, 0},
        {"b", HOOK_LOOP, {8}, 0, 0}},
       7,
       {"a", "a", "a"}},
      {"loop: -1 ends the run with 0", HOOK_LOOP, {{"a", HOOK_LOOP, {0, -1}, 0, 0}}, 0, {"a", "a"}},
      {"loop: a bridged hook ends the run at once",
       HOOK_LOOP,
       {{"bridged", HOOK_LOOP, {0}, 0, 1}, {"b", HOOK_LOOP, {5}, 0, 0}},
       0,
       {}},
      {"poll: the first non-zero result stops the walk",
       HOOK_POLL,
       {{"a", HOOK_POLL, {0}, 0, 0},
        {"bridged", HOOK_POLL, {4}, 0, 1},
        {"off", HOOK_POLL, {4}, 1, 0},
        {"b", HOOK_POLL, {1003}, 0, 0},
        {"c", HOOK_POLL, {6}, 0, 0}},
       1003,
       {"a", "b"}},
      {"poll: none stops", HOOK_POLL, {{"a", HOOK_POLL, {0}, 0, 0}}, 0, {"a"}},
      {"notify: every one runs, results ignored",
       HOOK_NOTIFY,
       {{"a", HOOK_NOTIFY, {5}, 0, 0},
        {"released", HOOK_SCRIPTRELEASED, {0}, 0, 0},
        {"b", HOOK_NOTIFY, {-1}, 0, 0}},
       0,
       {"a:22", "b:22"}},
      {"script released: every one runs",
       HOOK_SCRIPTRELEASED,
       {{"a", HOOK_SCRIPTRELEASED, {3}, 0, 0},
        {"off", HOOK_SCRIPTRELEASED, {3}, 1, 0},
        {"b", HOOK_SCRIPTRELEASED, {3}, 0, 0}},
       0,
       {"a:22", "b:22"}},
      {"display handler: every one runs with both arguments",
       HOOK_DISPLAYHANDLER,
       {{"a", HOOK_DISPLAYHANDLER, {1}, 0, 0},
        {"bridged", HOOK_DISPLAYHANDLER, {1}, 0, 1},
        {"b", HOOK_DISPLAYHANDLER, {1}, 0, 0}},
       0,
       {"a:11,22,0", "b:11,22,0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HookLog log;
    hookLog = &log;
    std::vector<HookScript> scripts;
    scripts.reserve(c.hooks.size());
    for (const HookSpec& h : c.hooks) {
      scripts.push_back({h.name, h.results});
      HookRecord* r = AddHook(h.kind, callbackFor(h.kind), &scripts.back(), h.bridge);
      ASSERT_NE(r, nullptr);
      SetHookDisabled(r, h.disabled);
    }
    EXPECT_EQ(CallHooksOfKind(nullptr, c.kind, 11, 22), c.expected);
    EXPECT_EQ(log.calls, c.calls);
    FreeRegistries(nullptr);
  }
  hookLog = nullptr;
}

TEST_F(Registries, AddHookRefusesKindsAbove4) {
  EXPECT_EQ(AddHook(5, callbackFor(HOOK_POLL), nullptr, 0), nullptr);
  EXPECT_EQ(AddHook(-1, callbackFor(HOOK_POLL), nullptr, 0), nullptr);
  EXPECT_EQ(GetHookList(), nullptr);
}

std::vector<const HookRecord*> hookList() {
  std::vector<const HookRecord*> out;
  for (const HookRecord* r = GetHookList(); r; r = r->next) out.push_back(r);
  return out;
}

TEST_F(Registries, RemovingHooksKeepsTheOthersInOrder) {
  HookRecord* only = AddHook(HOOK_POLL, callbackFor(HOOK_POLL), nullptr, 0);
  RemoveHook(only);
  EXPECT_EQ(GetHookList(), nullptr);

  HookRecord* a = AddHook(HOOK_POLL, callbackFor(HOOK_POLL), nullptr, 0);
  HookRecord* b = AddHook(HOOK_NOTIFY, callbackFor(HOOK_NOTIFY), nullptr, 0);
  HookRecord* c = AddHook(HOOK_POLL, callbackFor(HOOK_POLL), nullptr, 0);
  RemoveHook(b);
  EXPECT_EQ(hookList(), (std::vector<const HookRecord*>{a, c}));
  int notListed = 0;
  RemoveHook(reinterpret_cast<HookRecord*>(&notListed));  // ignored
  SetHookDisabled(reinterpret_cast<HookRecord*>(&notListed), 1);
  RemoveHook(a);
  EXPECT_EQ(hookList(), (std::vector<const HookRecord*>{c}));
  RemoveHook(c);
  EXPECT_EQ(GetHookList(), nullptr);
}

// A hook that removes records while its kind is being walked.
struct Remover {
  const char* name;
  std::vector<HookRecord*> victims;
  int calls = 0;
};
std::vector<std::string>* removerLog = nullptr;
int removingHook(VmState*, void* ud) {
  auto* r = static_cast<Remover*>(ud);
  ++r->calls;
  removerLog->push_back(r->name);
  for (HookRecord* v : r->victims) RemoveHook(v);
  return 0;
}

TEST_F(Registries, HooksMayRemoveThemselvesAndOthersDuringAWalk) {
  std::vector<std::string> log;
  removerLog = &log;
  HookFunc fn = reinterpret_cast<HookFunc>(removingHook);
  Remover ra{"a", {}}, rb{"b", {}}, rc{"c", {}}, rd{"d", {}};
  HookRecord* a = AddHook(HOOK_POLL, fn, &ra, 0);
  HookRecord* b = AddHook(HOOK_POLL, fn, &rb, 0);
  HookRecord* c = AddHook(HOOK_POLL, fn, &rc, 0);
  HookRecord* d = AddHook(HOOK_POLL, fn, &rd, 0);
  rb.victims = {b, c};  // itself and the next one, which must not run
  ra.victims = {};
  EXPECT_EQ(CallHooksOfKind(nullptr, HOOK_POLL, 0, 0), 0);
  EXPECT_EQ(log, (std::vector<std::string>{"a", "b", "d"}));
  EXPECT_EQ(hookList(), (std::vector<const HookRecord*>{a, d}));

  log.clear();
  rd.victims = {a, d};  // the last one removes the first and itself
  EXPECT_EQ(CallHooksOfKind(nullptr, HOOK_POLL, 0, 0), 0);
  EXPECT_EQ(log, (std::vector<std::string>{"a", "d"}));
  EXPECT_EQ(GetHookList(), nullptr);

  // Shutting down from inside a hook frees the records after the walk.
  log.clear();
  auto shutDown = [](VmState*, void* ud) {
    removerLog->push_back(static_cast<Remover*>(ud)->name);
    FreeRegistries(nullptr);
    return 0;
  };
  AddHook(HOOK_POLL, reinterpret_cast<HookFunc>(+shutDown), &ra, 0);
  AddHook(HOOK_POLL, fn, &rb, 0);
  EXPECT_EQ(CallHooksOfKind(nullptr, HOOK_POLL, 0, 0), 0);
  EXPECT_EQ(log, (std::vector<std::string>{"a"}));
  EXPECT_EQ(GetHookList(), nullptr);
  removerLog = nullptr;
}

// ---- Global attributes ----

std::vector<uint32_t> offeredTags;
int declineAll(VmState*, uint32_t tag, uintptr_t) {
  offeredTags.push_back(tag);
  return 0;
}
int takeEven(VmState*, uint32_t tag, uintptr_t) { return tag % 2 == 0; }
int getEven(VmState*, uint32_t tag, uintptr_t* result) {
  if (tag % 2 != 0) return 0;
  *result = tag * 10;
  return 1;
}

class GlobalAttrs : public Registries {
 protected:
  void TearDown() override {
    TagItem restore[] = {{ATTR_QUIET, 0},
                         {ATTR_DEFERBITMAPS, 0},
                         {ATTR_RAISEERRORS, 1},
                         {ATTR_SCRIPTRUNNING, 0},
                         {ATTR_DONE, 0}};
    SetGlobalAttrs(nullptr, restore);
    TagItem lower[] = {{ATTR_CALLBACKDEPTH, 0}, {ATTR_DONE, 0}};
    while (GetCallbackDepth() > 0) SetGlobalAttrs(nullptr, lower);
    offeredTags.clear();
    Registries::TearDown();
  }
};

TEST_F(GlobalAttrs, BuiltInTagsAndTheCallbackCounter) {
  EXPECT_EQ(GetErrorRaising(), 1);
  TagItem set[] = {{ATTR_QUIET, 1},         {ATTR_DEFERBITMAPS, 1},  {ATTR_CALLBACKDEPTH, 1},
                   {ATTR_CALLBACKDEPTH, 1}, {ATTR_CALLBACKDEPTH, 0}, {ATTR_RAISEERRORS, 0},
                   {ATTR_SCRIPTRUNNING, 1}, {ATTR_DONE, 0},          {ATTR_QUIET, 0}};
  EXPECT_EQ(SetGlobalAttrs(nullptr, set), 7);  // stops at the end tag
  EXPECT_EQ(IsQuietMode(), 1);
  EXPECT_EQ(GetDeferBitmapsFlag(), 1);
  EXPECT_EQ(GetCallbackDepth(), 1);
  EXPECT_EQ(GetErrorRaising(), 0);
  EXPECT_EQ(GetScriptRunningFlag(), 1);

  uintptr_t quiet = 9, defer = 9, depth = 9, raising = 9, running = 9;
  TagItem get[] = {{ATTR_QUIET, reinterpret_cast<uintptr_t>(&quiet)},
                   {ATTR_DEFERBITMAPS, reinterpret_cast<uintptr_t>(&defer)},
                   {ATTR_CALLBACKDEPTH, reinterpret_cast<uintptr_t>(&depth)},
                   {ATTR_RAISEERRORS, reinterpret_cast<uintptr_t>(&raising)},
                   {ATTR_SCRIPTRUNNING, reinterpret_cast<uintptr_t>(&running)},
                   {ATTR_DONE, 0}};
  EXPECT_EQ(GetGlobalAttrs(nullptr, get), 4);  // tag 22 is set-only
  EXPECT_EQ(quiet, 1u);
  EXPECT_EQ(defer, 1u);
  EXPECT_EQ(depth, 1u);
  EXPECT_EQ(raising, 0u);
  EXPECT_EQ(running, 9u);

  // Lowering more often than raising stops at 0 instead of going negative.
  TagItem lower[] = {{ATTR_CALLBACKDEPTH, 0}, {ATTR_CALLBACKDEPTH, 0}, {ATTR_DONE, 0}};
  EXPECT_EQ(SetGlobalAttrs(nullptr, lower), 2);
  EXPECT_EQ(GetCallbackDepth(), 0);
}

TEST_F(GlobalAttrs, OtherTagsGoThroughTheHandlerChainsInOrder) {
  TagItem unknown[] = {{40, 1}, {41, 1}, {ATTR_DONE, 0}};
  EXPECT_EQ(SetGlobalAttrs(nullptr, unknown), 0);  // no handlers yet

  ASSERT_EQ(AddSetAttrHandler(declineAll), ERR_NONE);
  ASSERT_EQ(AddSetAttrHandler(takeEven), ERR_NONE);
  ASSERT_EQ(AddGetAttrHandler(getEven), ERR_NONE);
  EXPECT_EQ(SetGlobalAttrs(nullptr, unknown), 1);  // 40 taken, 41 by none
  EXPECT_EQ(offeredTags, (std::vector<uint32_t>{40, 41}));

  TagItem onlyUnknown[] = {{41, 1}, {43, 1}, {ATTR_DONE, 0}};
  EXPECT_EQ(SetGlobalAttrs(nullptr, onlyUnknown), 0);

  uintptr_t w40 = 0, w41 = 0, w22 = 0;
  TagItem get[] = {{40, reinterpret_cast<uintptr_t>(&w40)},
                   {41, reinterpret_cast<uintptr_t>(&w41)},
                   {ATTR_SCRIPTRUNNING, reinterpret_cast<uintptr_t>(&w22)},
                   {ATTR_DONE, 0}};
  EXPECT_EQ(GetGlobalAttrs(nullptr, get), 2);  // 22 goes to the chain too
  EXPECT_EQ(w40, 400u);
  EXPECT_EQ(w41, 0u);
  EXPECT_EQ(w22, 220u);

  FreeRegistries(nullptr);  // frees both chains
  EXPECT_EQ(SetGlobalAttrs(nullptr, unknown), 0);
  EXPECT_EQ(GetGlobalAttrs(nullptr, get), 0);
}

TEST_F(Registries, LinkedAppletRecordIsCopied) {
  unsigned char record[APPENDED_APPLET_RECORD_SIZE];
  for (size_t i = 0; i < sizeof(record); ++i) record[i] = static_cast<unsigned char>(i * 7);
  void* copy = CopyLinkedAppletRecord(record);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, static_cast<void*>(record));
  EXPECT_EQ(std::memcmp(copy, record, sizeof(record)), 0);
  FreeMemory(copy);
  SetAllocFailure(1, false);
  EXPECT_EQ(CopyLinkedAppletRecord(record), nullptr);
}

// ---- Object data ----

// Stand-in references: each maps to the stack index it was made from, so
// tests see which value an entry holds and which references are still live.
std::map<int32_t, int> liveRefs;
int32_t nextFakeRef = 100;
int32_t fakeCreate(VmState*, int index) {
  liveRefs[nextFakeRef] = index;
  return nextFakeRef++;
}
int32_t fakeCopy(VmState*, int32_t ref) {
  int value = liveRefs.at(ref);
  liveRefs[nextFakeRef] = value;
  return nextFakeRef++;
}
void fakeRelease(VmState*, int32_t ref) { EXPECT_EQ(liveRefs.erase(ref), 1u) << ref; }
const ObjectRefFunctions fakeRefs = {fakeCreate, fakeCopy, fakeRelease};

class ObjectData : public Registries {
 protected:
  void SetUp() override {
    liveRefs.clear();
    SetObjectRefFunctions(&fakeRefs);
  }
  void TearDown() override {
    FreeObjectDataList(nullptr, &list_);
    EXPECT_TRUE(liveRefs.empty());
    SetObjectRefFunctions(nullptr);
    Registries::TearDown();
  }
  std::vector<std::pair<std::string, int>> contents(const ObjectDataEntry* list) {
    std::vector<std::pair<std::string, int>> out;
    for (const ObjectDataEntry* e = list; e; e = e->next)
      out.push_back({e->name, liveRefs.at(e->ref)});
    return out;
  }
  ObjectDataEntry* list_ = nullptr;
};

TEST_F(ObjectData, NamesCompareWithoutCaseAndReplacingReleasesTheOldValue) {
  ASSERT_EQ(SetObjectDataEntry(nullptr, "Score", 1, &list_), ERR_NONE);
  ASSERT_EQ(SetObjectDataEntry(nullptr, "lives", 2, &list_), ERR_NONE);
  ASSERT_EQ(SetObjectDataEntry(nullptr, "SCORE", 3, &list_), ERR_NONE);
  using Contents = std::vector<std::pair<std::string, int>>;
  EXPECT_EQ(contents(list_), (Contents{{"Score", 3}, {"lives", 2}}));
  EXPECT_EQ(liveRefs.size(), 2u);
  EXPECT_EQ(FindObjectDataEntry(list_, "LiVeS"), list_->next);
  EXPECT_EQ(FindObjectDataEntry(list_, "live"), nullptr);

  EXPECT_EQ(ClearObjectDataEntry(nullptr, &list_, "score"), 1);
  EXPECT_EQ(ClearObjectDataEntry(nullptr, &list_, "score"), 0);
  EXPECT_EQ(contents(list_), (Contents{{"lives", 2}}));
  EXPECT_EQ(liveRefs.size(), 1u);
}

TEST_F(ObjectData, CopiesReferenceTheSameValuesAndFailCleanly) {
  ASSERT_EQ(SetObjectDataEntry(nullptr, "a", 1, &list_), ERR_NONE);
  ASSERT_EQ(SetObjectDataEntry(nullptr, "b", 2, &list_), ERR_NONE);
  ASSERT_EQ(SetObjectDataEntry(nullptr, "c", 3, &list_), ERR_NONE);
  ObjectDataEntry* copy = reinterpret_cast<ObjectDataEntry*>(&copy);
  ErrorCode rc = ERR_MEM;
  for (uint64_t n = 1; rc == ERR_MEM && n < 10; ++n) {
    SetAllocFailure(n, false);
    rc = CopyObjectDataList(nullptr, list_, &copy);
    if (rc == ERR_MEM) {
      EXPECT_EQ(copy, nullptr) << "n=" << n;
      EXPECT_EQ(liveRefs.size(), 3u) << "n=" << n;
    }
  }
  SetAllocFailure(0, false);
  ASSERT_EQ(rc, ERR_NONE);
  EXPECT_EQ(contents(copy), contents(list_));
  EXPECT_NE(copy->name, list_->name);
  EXPECT_NE(copy->ref, list_->ref);
  EXPECT_EQ(liveRefs.size(), 6u);
  FreeObjectDataList(nullptr, &copy);
  EXPECT_EQ(copy, nullptr);
  EXPECT_EQ(liveRefs.size(), 3u);

  SetAllocFailure(1, false);
  EXPECT_EQ(SetObjectDataEntry(nullptr, "d", 4, &list_), ERR_MEM);
  EXPECT_EQ(liveRefs.size(), 3u);
}

}  // namespace
