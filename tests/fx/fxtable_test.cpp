// The effect table: the constants the library registers, the random pick
// and the step arithmetic every renderer shares.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "engine/engine.h"
#include "fx/fx.h"
#include "fx/fx_private.h"
#include "libs/libs_private.h"
#include "tests/support/harness.h"

namespace {

class FXTableTest : public ::testing::Test, public PlayerHarness {
 protected:
  void SetUp() override {
    VmPushValue(L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenTransitionFXLibrary(L), ERR_NONE);
    VmSetTop(L, 0);
  }
};

TEST_F(FXTableTest, RegistersOneConstantPerNameAndRandomParameter) {
  int count = 0;
  std::set<std::string> names;
  for (const ConstantTableEntry* c = GetFXConstants(); c->name; c++) {
    count++;
    names.insert(c->name);
  }
  EXPECT_EQ(count, 145);
  EXPECT_EQ(names.size(), 145u);
  struct Case {
    const char* name;
    double value;
  } cases[] = {{"HSTRIPES", 0},     {"VBLINDS128", 23},    {"REVEALTOP", 32},
               {"VLINES", 37},      {"SCROLLLEFT", 47},    {"SCROLLWEST", 47},
               {"SCROLLSOUTH", 50}, {"CARDBOTTOM", 112},   {"SUN", 114},
               {"DISSOLVE", 139},   {"RANDOMEFFECT", 140}, {"RANDOMPARAMETER", -1}};
  for (const Case& c : cases) {
    const char* text = nullptr;
    double number = 0;
    ASSERT_TRUE(VmFindConstant(L, c.name, &text, &number)) << c.name;
    EXPECT_EQ(number, c.value) << c.name;
  }
  EXPECT_EQ(GetFXName(113), nullptr);
  EXPECT_EQ(GetFXRenderer(113), nullptr);
  EXPECT_EQ(GetFXRenderer(140), nullptr);
  EXPECT_EQ(GetFXRenderer(-5), nullptr);
  EXPECT_EQ(GetFXRenderer(1000), nullptr);
  for (int32_t id = 0; id < 140; id++) {
    if (id != 113) {
      EXPECT_NE(GetFXRenderer(id), nullptr) << id;
    }
  }
}

TEST_F(FXTableTest, RestrictedRandomPickNeverMovesAndNeverPicksRandom) {
  SeedMathGenerators(7);
  std::set<int32_t> seen;
  for (int i = 0; i < 10000; i++) {
    VmPushNumber(L, 1);
    ASSERT_EQ(Call("GetRandomFX", 1), ERR_NONE);
    auto id = static_cast<int32_t>(VmToNumber(L, -1));
    VmSetTop(L, 0);
    ASSERT_GE(id, 0);
    ASSERT_LE(id, 139);
    ASSERT_FALSE(IsMovingFX(id)) << id;
    ASSERT_NE(id, 113);
    seen.insert(id);
  }
  // Every allowed id comes up in 10,000 draws.
  EXPECT_EQ(seen.size(), 141u - 29u - 2u);
  for (int i = 0; i < 2000; i++) {
    int32_t id = PickRandomFX(0);
    ASSERT_TRUE(id != 113 && id != 140 && id >= 0 && id < 140) << id;
  }
}

TEST(FXStepTest, StepsAndCounts) {
  struct StepCase {
    int32_t speed, extent, expected;
  } steps[] = {{-1, 700, 10}, {-2, 700, 23}, {-3, 700, 3}, {-3, 100, 1},
               {5, 10, 5},    {0, 10, 1},    {-1, 0, 1}};
  for (const StepCase& c : steps)
    EXPECT_EQ(ResolveFXStep(c.speed, c.extent, 70, 30, 200), c.expected)
        << c.speed << " " << c.extent;
  struct CountCase {
    int32_t n, step, exact, expected;
  } counts[] = {{0, 5, 0, 1},  {-3, 5, 1, 1}, {10, 5, 1, 2},
                {10, 5, 0, 3}, {11, 5, 1, 3}, {90, 10, 0, 10}};
  for (const CountCase& c : counts)
    EXPECT_EQ(FXStepCount(c.n, c.step, c.exact), c.expected) << c.n << " " << c.step;
}

}  // namespace
