// Display options and filter slots: the option table read into a transform
// and a style, the "filters" list read into the slots, and the slots run
// over a bitmap in priority order.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "draw/draw.h"
#include "tests/draw/value.h"
#include "tests/support/harness.h"

namespace {

struct ParseRun {
  Value table;
  DisplayTransform transform;
  ObjectStyle style;
  ErrorCode result;
};

int parseInVm(VmState* L) {
  auto* run = static_cast<ParseRun*>(VmToUserdata(L, 1));
  PushValue(L, run->table);
  run->result = ParseDisplayOptions(L, VmGetTop(L), 20, 10, 0, 0, 0, &run->transform, &run->style,
                                    DISPOPT_DEFAULTS | DISPOPT_NEEDTABLE);
  return 0;
}

// The code returned or raised, and the records.
ErrorCode Parse(VmState* L, const Value& table, DisplayTransform* t, ObjectStyle* s) {
  ParseRun run{table, {}, {}, ERR_NONE};
  ErrorCode raised = VmCPCall(L, parseInVm, &run);
  *t = run.transform;
  *s = run.style;
  return raised ? raised : run.result;
}

TEST(DisplayOptions, Cases) {
  PlayerHarness h;
  using Check = std::function<void(const DisplayTransform&, const ObjectStyle&)>;
  struct Case {
    const char* name;
    Value table;
    ErrorCode expected;
    Check check;
  };
  const std::string name255(255, 'n'), name256(256, 'n');
  const Case cases[] = {
      {"rotate 450", Value::Table({{"rotate", 450}}), ERR_NONE,
       [](auto& t, auto&) {
         EXPECT_EQ(t.rotate, 90);
         EXPECT_EQ(t.hasMatrix, 1);
       }},
      {"rotate -90", Value::Table({{"rotate", -90}}), ERR_NONE,
       [](auto& t, auto&) { EXPECT_EQ(t.rotate, -90); }},
      {"scalex 2", Value::Table({{"scalex", 2}}), ERR_NONE,
       [](auto& t, auto&) {
         EXPECT_EQ(t.m11, 2);
         EXPECT_EQ(t.m22, 1);
         EXPECT_EQ(t.m12, 0);
       }},
      {"width of the source", Value::Table({{"width", 20}}), ERR_NONE,
       [](auto& t, auto&) { EXPECT_EQ(t.hasMatrix, 0); }},
      {"width 40", Value::Table({{"width", 40}}), ERR_NONE,
       [](auto& t, auto&) {
         EXPECT_EQ(t.m11, 2);
         EXPECT_EQ(t.m22, 1);
       }},
      {"transform m11 0", Value::Table({{"transform", Value::List({0, 1, 1, 1})}}), ERR_WRONGUSAGE,
       nullptr},
      {"transform", Value::Table({{"transform", Value::List({-1, 0, 0, 1})}}), ERR_NONE,
       [](auto& t, auto&) {
         EXPECT_EQ(t.m11, -1);
         EXPECT_EQ(t.hasMatrix, 1);
       }},
      {"scalex 0", Value::Table({{"scalex", 0}}), ERR_WRONGUSAGE, nullptr},
      {"scalex infinite", Value::Table({{"scalex", 1e308 * 10}}), ERR_WRONGUSAGE, nullptr},
      {"transparency 300", Value::Table({{"transparency", 300}}), ERR_NONE,
       [](auto&, auto& s) {
         EXPECT_EQ(s.transparency, 255);
         EXPECT_EQ(s.effects, 1);
       }},
      {"transparency -5", Value::Table({{"transparency", -5}}), ERR_NONE,
       [](auto&, auto& s) {
         EXPECT_EQ(s.transparency, 0);
         EXPECT_EQ(s.effects, 0);
       }},
      {"transparency 128.5", Value::Table({{"transparency", 128.5}}), ERR_NONE,
       [](auto&, auto& s) { EXPECT_EQ(s.transparency, 128); }},
      {"transparency 50%", Value::Table({{"transparency", "50%"}}), ERR_NONE,
       [](auto&, auto& s) { EXPECT_EQ(s.transparency, 128); }},
      {"tint", Value::Table({{"tint", 64}}), ERR_NONE,
       [](auto&, auto& s) {
         const FilterSlot& f = s.filters[FILTER_TINT];
         EXPECT_EQ(f.on, 1);
         EXPECT_EQ(f.ints[0], 0xFFFFFF);
         EXPECT_EQ(f.ints[1], 64);
       }},
      {"shadowradius 0.5", Value::Table({{"shadow", true}, {"shadowradius", 0.5}}), ERR_WRONGUSAGE,
       nullptr},
      {"shadow off", Value::Table({{"shadow", false}, {"shadowradius", 0.5}}), ERR_NONE,
       [](auto&, auto& s) { EXPECT_EQ(s.shadow.on, 0); }},
      {"border size 0", Value::Table({{"border", true}, {"bordersize", 0}}), ERR_WRONGUSAGE,
       nullptr},
      {"border off size 0", Value::Table({{"border", false}, {"bordersize", 0}}), ERR_NONE,
       [](auto&, auto& s) { EXPECT_EQ(s.border.size, 0); }},
      {"name of 255", Value::Table({{"name", name255.c_str()}}), ERR_NONE,
       [&](auto&, auto& s) { EXPECT_EQ(std::string(s.name), name255); }},
      {"name of 256", Value::Table({{"name", name256.c_str()}}), ERR_NAMETOOLONG, nullptr},
      {"anchorx 1.5", Value::Table({{"anchorx", 1.5}}), ERR_WRONGUSAGE, nullptr},
      {"anchory 0.5", Value::Table({{"anchory", 0.5}}), ERR_NONE,
       [](auto& t, auto&) { EXPECT_EQ(t.anchorY, 0.5); }},
      {"insertpos -1", Value::Table({{"insertpos", -1}}), ERR_INVINSERT, nullptr},
      {"not a table", Value(5), ERR_TABEXPECTED, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DisplayTransform t;
    ObjectStyle s;
    ASSERT_EQ(Parse(h.L, c.table, &t, &s), c.expected);
    if (c.check) c.check(t, s);
  }
}

struct FilterRun {
  Value table;
  FilterSlot slots[FILTER_SLOTS];
  int32_t readFlag;
  int result;
  ErrorCode error;
};

int filtersInVm(VmState* L) {
  auto* run = static_cast<FilterRun*>(VmToUserdata(L, 1));
  PushValue(L, run->table);
  run->result = ReadLayerFilters(L, VmGetTop(L), run->slots, &run->readFlag, &run->error);
  return 0;
}

TEST(FilterSlots, ReadCases) {
  PlayerHarness h;
  // Slots before each case: blur on with priority 9 and radius 3, charcoal
  // marked in its second real, which no filter argument reaches.
  FilterSlot before[FILTER_SLOTS]{};
  before[FILTER_BLUR] = FilterSlot{1, 9, {0, 0, 0, 0}, {3, 77, 0, 0}};
  using Check = std::function<void(const FilterSlot*)>;
  struct Case {
    const char* name;
    Value filters;
    ErrorCode expected;  // returned or raised
    const char* errorArg;
    Check check;
  };
  auto one = [](Value element) { return Value::Table({{"filters", Value::List({element})}}); };
  const Case cases[] = {
      {"BLUR", one(Value::Table({{"name", "BLUR"}})), ERR_NONE, nullptr,
       [](const FilterSlot* s) {
         EXPECT_EQ(s[FILTER_BLUR].on, 1);
         EXPECT_EQ(s[FILTER_BLUR].priority, 0);
         EXPECT_EQ(s[FILTER_BLUR].reals[0], 5.0f);
         EXPECT_EQ(s[FILTER_BLUR].reals[1], 77.0f);
       }},
      {"only sepiatone", one(Value::Table({{"name", "sepiatone"}})), ERR_NONE, nullptr,
       [&](const FilterSlot* s) {
         EXPECT_EQ(std::memcmp(&s[FILTER_BLUR], &before[FILTER_BLUR], sizeof(FilterSlot)), 0);
         EXPECT_EQ(s[FILTER_SEPIATONE].on, 1);
         EXPECT_EQ(s[FILTER_SEPIATONE].ints[0], 204);
         for (int i = 0; i < FILTER_SLOTS; ++i) {
           if (i != FILTER_BLUR && i != FILTER_SEPIATONE) {
             EXPECT_EQ(s[i].on, 0) << i;
           }
         }
       }},
      {"tint colour only", one(Value::Table({{"name", "tint"}, {"args", Value::List({0xFF0000})}})),
       ERR_NONE, nullptr,
       [](const FilterSlot* s) {
         EXPECT_EQ(s[FILTER_TINT].ints[0], 0xFF0000);
         EXPECT_EQ(s[FILTER_TINT].ints[1], 128);
       }},
      {"extra args", one(Value::Table({{"name", "blur"}, {"args", Value::List({1, 2, 3})}})),
       ERR_NONE, nullptr,
       [](const FilterSlot* s) {
         EXPECT_EQ(s[FILTER_BLUR].reals[0], 1.0f);
         EXPECT_EQ(s[FILTER_BLUR].reals[1], 77.0f);
       }},
      {"waterripple kinds",
       one(Value::Table({{"name", "waterripple"}, {"args", Value::List({5, 6, 7, 0.25})}})),
       ERR_NONE, nullptr,
       [](const FilterSlot* s) {
         const FilterSlot& f = s[FILTER_WATERRIPPLE];
         EXPECT_EQ(f.ints[0], 5);
         EXPECT_EQ(f.ints[2], 7);
         EXPECT_EQ(f.reals[0], 0.25f);
         EXPECT_EQ(f.reals[1], 0.5f);
       }},
      {"disable", one(Value::Table({{"name", "blur"}, {"disable", 1}})), ERR_NONE, nullptr,
       [](const FilterSlot* s) {
         EXPECT_EQ(s[FILTER_BLUR].on, 0);
         EXPECT_EQ(s[FILTER_BLUR].priority, 9);
         EXPECT_EQ(s[FILTER_BLUR].reals[0], 3.0f);
       }},
      {"priority 256", one(Value::Table({{"name", "invert"}, {"priority", 256}})), ERR_NONE,
       nullptr, [](const FilterSlot* s) { EXPECT_EQ(s[FILTER_INVERT].priority, 0); }},
      {"priority -1", one(Value::Table({{"name", "invert"}, {"priority", -1}})), ERR_NONE, nullptr,
       [](const FilterSlot* s) { EXPECT_EQ(s[FILTER_INVERT].priority, 255); }},
      {"level 50%", one(Value::Table({{"name", "solarize"}, {"args", Value::List({"50%"})}})),
       ERR_NONE, nullptr, [](const FilterSlot* s) { EXPECT_EQ(s[FILTER_SOLARIZE].ints[0], 127); }},
      {"element 1 without name",
       Value::Table({{"filters", Value::List({Value::Table({{"name", "invert"}}),
                                              Value::Table({{"priority", 1}})})}}),
       ERR_NOFILTERNAME, "1", nullptr},
      {"unknown name", one(Value::Table({{"name", "fog"}})), ERR_UNKNOWNFILTER, "fog", nullptr},
      {"filters not a table", Value::Table({{"filters", 5}}), ERR_TABEXPECTED2, "filters", nullptr},
      {"element not a table", one(Value(3)), ERR_TABEXPECTED2, "filters", nullptr},
      {"priority not a number", one(Value::Table({{"name", "blur"}, {"priority", true}})),
       ERR_NUMTABLEARG, nullptr, nullptr},
      {"args not a table", one(Value::Table({{"name", "invert"}, {"args", 1}})), ERR_TABEXPECTED,
       nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FilterRun run{c.filters, {}, 0, -1, ERR_NONE};
    std::memcpy(run.slots, before, sizeof before);
    ErrorCode raised = VmCPCall(h.L, filtersInVm, &run);
    ErrorCode error = raised ? raised : run.error;
    ASSERT_EQ(error, c.expected);
    if (c.errorArg) {
      EXPECT_STREQ(GetErrorArgString(), c.errorArg);
    }
    if (error) {
      // A failed read leaves every slot as it was.
      EXPECT_EQ(std::memcmp(run.slots, before, sizeof before), 0);
      continue;
    }
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.readFlag, 1);
    c.check(run.slots);
  }
}

// A 7 x 5 bitmap of mixed colours.
OwnedBitmap PatternBitmap() {
  OwnedBitmap b(AllocBitmap(7, 5, 0, nullptr));
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 7; ++x)
      FillBitmapRect(b.get(), x, y, 1, 1, 0xFF000000u | (x * 37u << 16) | (y * 61u << 8) | 200u);
  return b;
}

std::vector<uint32_t> Pixels(BitmapHandle* b) {
  std::vector<uint32_t> out;
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 7; ++x) out.push_back(ReadBitmapPixel(b, x, y, 0));
  return out;
}

TEST(FilterSlots, ApplyRunsByPriorityThenSlotOrder) {
  FilterSlot slots[FILTER_SLOTS]{};
  slots[FILTER_BLUR] = FilterSlot{1, 1, {0, 0, 0, 0}, {2, 0, 0, 0}};
  slots[FILTER_INVERT] = FilterSlot{1, 2, {0, 0, 0, 0}, {0, 0, 0, 0}};
  OwnedBitmap filtered = PatternBitmap(), expected = PatternBitmap();
  ASSERT_EQ(ApplyLayerEffects(slots, filtered.get(), nullptr, nullptr, 7, 5), ERR_NONE);
  ASSERT_EQ(InvertBitmap(expected.get(), 7, 5, nullptr), ERR_NONE);
  ASSERT_EQ(ConvolveBitmap(CONVOLVE_BLUR, expected.get(), nullptr, 7, 5, 2, 2.0 / 3.0, nullptr),
            ERR_NONE);
  EXPECT_EQ(Pixels(filtered.get()), Pixels(expected.get()));

  // Equal priorities run in slot order: the flip (slot 18) after the
  // pixelation (slot 11) that it would otherwise precede.
  FilterSlot order[FILTER_SLOTS]{};
  order[FILTER_PIXELATE] = FilterSlot{1, 0, {3, 0, 0, 0}, {0, 0, 0, 0}};
  order[FILTER_XFLIP] = FilterSlot{1, 0, {0, 0, 0, 0}, {0, 0, 0, 0}};
  OwnedBitmap a = PatternBitmap(), b = PatternBitmap();
  ASSERT_EQ(ApplyLayerEffects(order, a.get(), nullptr, nullptr, 7, 5), ERR_NONE);
  ASSERT_EQ(PixelateBitmap(b.get(), nullptr, nullptr, 7, 5, 3), ERR_NONE);
  ASSERT_EQ(FlipBitmap(b.get(), nullptr, nullptr, 7, 5, 0), ERR_NONE);
  EXPECT_EQ(Pixels(a.get()), Pixels(b.get()));
}

}  // namespace
