// Tables: where keys live, nil and NaN keys, size limits, rehash sizes,
// traversal with removal, the event cache, behaviour under allocation
// failure, and a seeded random-operation comparison with std::map.
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "engine/vmcore.h"
#include "tests/engine/vm_fixture.h"

namespace {

// Our own PRNG so a failing iteration replays on any standard library.
struct Rng {
  uint64_t s;
  explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint32_t Next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return uint32_t(s >> 16);
  }
  int Below(int n) { return int(Next() % uint32_t(n)); }
};

class TableTest : public VmTest {
 protected:
  VmTable* NewTable(int narray = 0, int lsize = 0) {
    VmTable* t = nullptr;
    EXPECT_EQ(VmProtect(L, [&] { t = VmCreateTable(L, narray, lsize); }), 0);
    return t;
  }
  void SetNum(VmTable* t, double key, double value) {
    VmValue k = Num(key);
    ASSERT_EQ(VmProtect(L, [&] { VmSetNumber(VmTableSet(L, t, &k), value); }), 0);
  }
  const VmValue* GetNum(VmTable* t, double key) {
    VmValue k = Num(key);
    return VmTableGet(t, &k);
  }
  // Whether the key sits in the hash part (a node, not an array slot).
  static bool InHash(VmTable* t, const VmValue* slot) {
    return !(slot >= t->array && slot < t->array + t->sizearray);
  }
};

}  // namespace

TEST_F(TableTest, ConstructorListKeepsKeyZeroInTheHashPart) {
  VmTable* t = NewTable();
  ASSERT_EQ(t->node, VmG(L)->dummynode) << "a (0,0) table shares the empty node";
  ASSERT_EQ(t->lsizenode, 0);
  SetNum(t, 0, 10);
  EXPECT_NE(t->node, VmG(L)->dummynode) << "the first store gives it nodes";
  SetNum(t, 1, 20);
  SetNum(t, 2, 30);
  for (int k = 0; k < 3; k++) EXPECT_EQ(VmNumberOf(GetNum(t, k)), 10 * (k + 1));
  EXPECT_TRUE(InHash(t, GetNum(t, 0)));
  EXPECT_FALSE(InHash(t, GetNum(t, 1)));
  EXPECT_FALSE(InHash(t, GetNum(t, 2)));
  EXPECT_EQ(t->sizearray, 2);
  EXPECT_EQ(VmTableGetNum(t, 0), GetNum(t, 0));
  EXPECT_EQ(VmTableGetNum(t, 2), &t->array[1]);
  // The shared node was never written.
  EXPECT_TRUE(VmIsNil(&VmG(L)->dummynode->key));
  EXPECT_TRUE(VmIsNil(&VmG(L)->dummynode->value));
  EXPECT_EQ(VmG(L)->dummynode->next, nullptr);
}

// A list constructor's values stored at once into a new table end up
// exactly as stored one by one: the same array and hash sizes, slots,
// flags, free-node pointer, bytes in use and traversal order.
TEST_F(TableTest, NewListLaysOutKeysAsStoringThemOneByOne) {
  struct Case {
    const char* name;
    int narray, n;
  };
  const Case cases[] = {
      {"key 0 alone", 0, 1},
      {"key 0 alone, array part dropped", 4, 1},
      {"pair, sized", 2, 2},
      {"pair, no array part", 0, 2},
      {"three, array part of 1", 1, 3},
      {"five: array part rounds up to 8", 2, 5},
      {"nine, array part larger", 64, 9},
      {"33 (SETLISTTOP)", 0, 33},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<VmValue> values;
    for (int i = 0; i < c.n; i++) values.push_back(i % 2 ? Num(i * 10) : StrValue("v"));
    VmTable* ref = NewTable(c.narray, 0);
    size_t before = VmG(L)->nblocks;
    ASSERT_EQ(VmProtect(L,
                        [&] {
                          for (int i = 0; i < c.n; i++) *VmTableSetNum(L, ref, i) = values[i];
                        }),
              0);
    size_t refBytes = VmG(L)->nblocks - before;
    VmTable* t = NewTable(c.narray, 0);
    before = VmG(L)->nblocks;
    bool done = false;
    ASSERT_EQ(VmProtect(L, [&] { done = VmTableSetNewList(L, t, values.data(), c.n); }), 0);
    ASSERT_TRUE(done);
    EXPECT_EQ(VmG(L)->nblocks - before, refBytes);
    EXPECT_EQ(t->sizearray, ref->sizearray);
    EXPECT_EQ(t->lsizenode, ref->lsizenode);
    EXPECT_EQ(t->nodemask, ref->nodemask);
    EXPECT_EQ(t->flags, ref->flags);
    EXPECT_EQ(t->lastfree - t->node, ref->lastfree - ref->node);
    for (int i = 0; i < t->sizearray; i++)
      EXPECT_TRUE(VmRawEqualValues(&t->array[i], &ref->array[i]));
    for (int i = 0; i < VmSizeNode(t); i++) {
      EXPECT_TRUE(VmRawEqualValues(&t->node[i].key, &ref->node[i].key)) << "node " << i;
      EXPECT_TRUE(VmRawEqualValues(&t->node[i].value, &ref->node[i].value)) << "node " << i;
      EXPECT_EQ(t->node[i].next == nullptr, ref->node[i].next == nullptr);
    }
    VmValue kt[2], kr[2];
    VmSetNil(&kt[0]);
    VmSetNil(&kr[0]);
    int steps = 0;
    for (;; steps++) {
      int mt = 0, mr = 0;
      ASSERT_EQ(VmProtect(L,
                          [&] {
                            mt = VmTableNext(L, t, kt);
                            mr = VmTableNext(L, ref, kr);
                          }),
                0);
      ASSERT_EQ(mt, mr);
      if (mt == 0) break;
      EXPECT_TRUE(VmRawEqualValues(&kt[0], &kr[0])) << "step " << steps;
      EXPECT_TRUE(VmRawEqualValues(&kt[1], &kr[1])) << "step " << steps;
    }
    EXPECT_EQ(steps, c.n);
  }
}

// Tables that already hold something, have nodes of their own, or values
// with a nil among them take the one-by-one path: nothing is done.
TEST_F(TableTest, NewListRefusesTablesAndValuesItCannotLayOut) {
  VmValue values[3] = {Num(1), Num(2), Num(3)};
  VmValue withNil[3] = {Num(1), Num(2), Num(3)};
  VmSetNil(&withNil[1]);
  VmTable* holding = NewTable(2, 0);
  *VmTableSetNum(L, holding, 2) = Num(9);
  VmTable* hashed = NewTable(0, 1);
  VmTable* fresh = NewTable(2, 0);
  struct Case {
    const char* name;
    VmTable* t;
    const VmValue* values;
    int n;
  };
  const Case cases[] = {
      {"an array slot in use", holding, values, 3},
      {"a hash part of its own", hashed, values, 3},
      {"a nil value", fresh, withNil, 3},
      {"no values", fresh, values, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int32_t asize = c.t->sizearray;
    VmNode* node = c.t->node;
    bool done = true;
    ASSERT_EQ(VmProtect(L, [&] { done = VmTableSetNewList(L, c.t, c.values, c.n); }), 0);
    EXPECT_FALSE(done);
    EXPECT_EQ(c.t->sizearray, asize);
    EXPECT_EQ(c.t->node, node);
  }
}

// Out of memory while laying the list out is error 1000 and leaves the
// table empty and as it was.
TEST_F(TableTest, NewListOutOfMemoryLeavesTheTableEmpty) {
  VmValue values[5] = {Num(1), Num(2), Num(3), Num(4), Num(5)};
  for (uint64_t n = 1;; n++) {
    VmTable* t = NewTable(2, 0);
    size_t before = VmG(L)->nblocks;
    VmSetAllocFailure(n, false);
    bool done = false;
    ErrorCode err = VmProtect(L, [&] { done = VmTableSetNewList(L, t, values, 5); });
    VmSetAllocFailure(0, false);
    if (err == 0) {
      EXPECT_TRUE(done);
      EXPECT_EQ(VmNumberOf(VmTableGetNum(t, 4)), 5);
      break;
    }
    ASSERT_EQ(err, ERR_MEM) << "n=" << n;
    EXPECT_EQ(VmG(L)->nblocks, before);
    EXPECT_EQ(t->node, VmG(L)->dummynode);
    EXPECT_EQ(t->sizearray, 2);
    VmValue k;
    VmSetNil(&k);
    EXPECT_EQ(VmTableNext(L, t, &k), 0);
  }
}

TEST_F(TableTest, NilKeyIsKeyZeroAndNaNCannotBeStored) {
  VmTable* t = NewTable();
  VmValue nil;
  VmSetNil(&nil);
  ASSERT_EQ(VmProtect(L, [&] { VmSetNumber(VmTableSet(L, t, &nil), 7); }), 0);
  EXPECT_EQ(VmNumberOf(GetNum(t, 0)), 7);
  EXPECT_EQ(VmNumberOf(VmTableGet(t, &nil)), 7);
  SetNum(t, -0.0, 8);
  EXPECT_EQ(VmNumberOf(VmTableGet(t, &nil)), 8) << "-0 and 0 are one key";

  VmValue nan = Num(std::nan(""));
  EXPECT_EQ(VmProtect(L, [&] { VmTableSet(L, t, &nan); }), ERR_TABLEINDEX);
  EXPECT_TRUE(VmIsNil(VmTableGet(t, &nan)));
}

TEST_F(TableTest, SizesAboveTheLimitOverflow) {
  struct Case {
    const char* name;
    int narray, lsize;
  };
  const Case cases[] = {
      {"hash part of 2^25 nodes", 0, VM_MAXBITS + 1},
      {"hash part of 2^31 nodes", 0, 31},
      {"array part beyond 2^24", VM_MAXASIZE + 1, 0},
  };
  size_t before = VmG(L)->nblocks;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(VmProtect(L, [&] { VmCreateTable(L, c.narray, c.lsize); }), ERR_TABLEOVERFLOW);
  }
  EXPECT_EQ(VmG(L)->nblocks, before);
  VmTable* t = NewTable(0, 4);
  EXPECT_EQ(VmProtect(L, [&] { VmTableResize(L, t, 0, VM_MAXBITS + 1); }), ERR_TABLEOVERFLOW);
  EXPECT_EQ(VmSizeNode(t), 16);
}

TEST_F(TableTest, RehashGrowsAndShrinksTheArrayPart) {
  VmTable* t = NewTable();
  for (int k = 1; k <= 8; k++) SetNum(t, k, k);
  EXPECT_EQ(t->sizearray, 8);

  // Only key 1 left in use: the next rehash shrinks the array to one slot.
  for (int k = 2; k <= 8; k++) VmSetNil(VmTableSetNum(L, t, k));
  int32_t lsize = t->lsizenode;
  VmNode* nodes = t->node;
  for (int i = 0; t->node == nodes && t->lsizenode == lsize; i++) {
    ASSERT_LT(i, 100);
    VmValue k = StrValue(("key" + std::to_string(i)).c_str());
    ASSERT_EQ(VmProtect(L, [&] { VmSetNumber(VmTableSet(L, t, &k), i); }), 0);
  }
  EXPECT_EQ(t->sizearray, 1);
  EXPECT_EQ(VmNumberOf(GetNum(t, 1)), 1);

  // Keys above the new array size move into the hash part and stay found.
  VmTable* u = NewTable(4, 0);
  for (int k = 1; k <= 4; k++) *VmTableSetNum(L, u, k) = Num(k * 100);
  for (int k = 1; k <= 3; k++) VmSetNil(VmTableSetNum(L, u, k));
  SetNum(u, 0.5, 1);  // forces a rehash: no nodes yet
  EXPECT_EQ(u->sizearray, 0);
  EXPECT_EQ(VmNumberOf(GetNum(u, 4)), 400);
  EXPECT_TRUE(InHash(u, GetNum(u, 4)));
  EXPECT_EQ(VmNumberOf(GetNum(u, 0.5)), 1);
}

TEST_F(TableTest, RemovingDuringTraversalVisitsEveryKeyOnce) {
  for (bool collectMidway : {false, true}) {
    SCOPED_TRACE(collectMidway ? "with a collection midway" : "plain");
    VmTable* t = NewTable();
    VmValue tv;
    VmSetTable(&tv, t);
    Anchor("t", tv);
    std::set<std::string> expected;
    for (int k = 1; k <= 10; k++) {
      SetNum(t, k, k);
      // g++ 12 false alarm on "literal" + std::string: no memcpy overlaps here.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
      expected.insert("n" + std::to_string(k));
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
    }
    for (int i = 0; i < 50; i++) {
      // g++ 12 false alarm on "literal" + std::string: no memcpy overlaps here.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
      std::string s = "s" + std::to_string(i);
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
      VmValue k = StrValue(s.c_str());
      ASSERT_EQ(VmProtect(L, [&] { VmSetNumber(VmTableSet(L, t, &k), i); }), 0);
      expected.insert(s);
    }
    SetNum(t, 0, 1);
    SetNum(t, -1.5, 1);
    expected.insert("n0");
    expected.insert("n-1.5");

    // The key and value live on the stack, as a caller of next keeps them.
    VmValue* key = L->top;
    L->top += 2;
    VmSetNil(key);
    std::set<std::string> seen;
    int steps = 0;
    for (;;) {
      int more = 0;
      ASSERT_EQ(VmProtect(L, [&] { more = VmTableNext(L, t, key); }), 0);
      if (!more) break;
      char buf[64];
      if (VmIsString(key))
        std::snprintf(buf, sizeof buf, "%s", VmStringData(VmStringOf(key)));
      else
        std::snprintf(buf, sizeof buf, "n%g", VmNumberOf(key));
      EXPECT_TRUE(seen.insert(buf).second) << "visited twice: " << buf;
      ASSERT_FALSE(VmIsNil(key + 1));
      ASSERT_EQ(VmProtect(L, [&] { VmSetNil(VmTableSet(L, t, key)); }), 0);
      if (collectMidway && ++steps % 7 == 0) VmCollectGarbage(L);
      key = L->top - 2;  // a collection may move the stack
    }
    L->top -= 2;
    EXPECT_EQ(seen, expected);
    VmValue k;
    VmSetNil(&k);
    int more = 1;
    ASSERT_EQ(VmProtect(L, [&] { more = VmTableNext(L, t, &k); }), 0);
    EXPECT_EQ(more, 0) << "every value was removed";
  }
}

TEST_F(TableTest, NextWithAnAbsentKeyIsAnError) {
  VmTable* t = NewTable();
  SetNum(t, 1, 1);
  SetNum(t, 5.5, 1);
  struct Case {
    const char* name;
    VmValue key;
  };
  const Case cases[] = {
      {"absent number", Num(2.5)},
      {"absent string", StrValue("nope")},
      {"integer past the array", Num(1000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VmValue kv[2] = {c.key, c.key};
    EXPECT_EQ(VmProtect(L, [&] { VmTableNext(L, t, kv); }), ERR_INVNEXTKEY);
  }
  VmTable* empty = NewTable();
  VmValue kv[2] = {Num(3), Num(3)};
  EXPECT_EQ(VmProtect(L, [&] { VmTableNext(L, empty, kv); }), ERR_INVNEXTKEY);
}

TEST_F(TableTest, FastEventCachesAbsenceUntilTheMetatableChanges) {
  VmTable* mt = NewTable();
  mt->flags = 0;
  EXPECT_EQ(VmFastEvent(L, mt, VM_TM_INDEX), nullptr);
  EXPECT_TRUE(mt->flags & (1u << VM_TM_INDEX));
  VmValue k = StrValue("__index");
  ASSERT_EQ(VmProtect(L, [&] { VmSetNumber(VmTableSet(L, mt, &k), 1); }), 0);
  EXPECT_EQ(mt->flags, 0) << "a keyed store clears the cache";
  const VmValue* h = VmFastEvent(L, mt, VM_TM_INDEX);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(VmNumberOf(h), 1);
  *VmTableSetNum(L, mt, 1) = Num(1);
  EXPECT_EQ(VmFastEvent(L, mt, VM_TM_EQ), nullptr);
  EXPECT_EQ(mt->flags, 1u << VM_TM_EQ) << "integer stores leave the cache";
  // Events past the first five are looked up every time.
  EXPECT_EQ(VmFastEvent(L, mt, VM_TM_ADD), nullptr);
  EXPECT_EQ(mt->flags, 1u << VM_TM_EQ);
  EXPECT_EQ(VmFastEvent(L, nullptr, VM_TM_INDEX), nullptr);
}

TEST_F(TableTest, AllocationFailureLeavesEveryStoredKeyReadable) {
  VmTable* t = NewTable();
  VmValue tv;
  VmSetTable(&tv, t);
  Anchor("t", tv);
  int stored = 0;
  // Fail the nth allocation from now, for n = 1, 2, ... while keys go in.
  for (uint64_t n = 1; stored < 200; n++) {
    VmSetAllocFailure(n, false);
    ErrorCode err = VmProtect(L, [&] {
      for (; stored < 200; stored++) {
        VmValue k = stored % 3 == 0 ? Num(stored) : Num(stored + 0.25);
        VmSetNumber(VmTableSet(L, t, &k), stored);
      }
    });
    VmSetAllocFailure(0, false);
    EXPECT_TRUE(err == 0 || err == ERR_MEM) << err;
    for (int i = 0; i < stored; i++) {
      const VmValue* v = GetNum(t, i % 3 == 0 ? i : i + 0.25);
      ASSERT_TRUE(VmIsNumber(v)) << "key " << i << " lost at n=" << n;
      ASSERT_EQ(VmNumberOf(v), i);
    }
  }
}

TEST_F(TableTest, RandomOperationsMatchAMap) {
  // Keys are encoded as (kind, number, text) for the reference map.
  using Key = std::tuple<int, double, std::string>;
  static int anchors[4];
  for (uint64_t iter = 0; iter < 40; iter++) {
    SCOPED_TRACE("iteration " + std::to_string(iter));
    Rng rng(iter);
    VmTable* t = NewTable(rng.Below(3) ? 0 : rng.Below(9), rng.Below(4));
    std::map<Key, double> ref;
    auto makeKey = [&](Key* rk) {
      VmValue k;
      switch (rng.Below(6)) {
        case 0:
        case 1: {
          double n = rng.Below(80) - 8;  // around and in the array part
          k = Num(n);
          *rk = Key(0, n, "");
          break;
        }
        case 2: {
          double n = rng.Below(4) ? rng.Below(64) + 0.5 : 1e6 + rng.Below(50);
          k = Num(n);
          *rk = Key(0, n, "");
          break;
        }
        case 3: {
          // g++ 12 false alarm on "literal" + std::string: no memcpy overlaps here.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
          std::string s = "k" + std::to_string(rng.Below(60));
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
          k = StrValue(s.c_str());
          *rk = Key(1, 0, s);
          break;
        }
        case 4: {
          int b = rng.Below(2);
          VmSetBoolean(&k, b);
          *rk = Key(2, b, "");
          break;
        }
        default: {
          int i = rng.Below(4);
          VmSetLightUserdata(&k, &anchors[i]);
          *rk = Key(3, i, "");
          break;
        }
      }
      return k;
    };
    int ops = 50 + rng.Below(400);
    for (int op = 0; op < ops; op++) {
      Key rk;
      VmValue k = makeKey(&rk);
      if (rng.Below(4) == 0) {
        ASSERT_EQ(VmProtect(L, [&] { VmSetNil(VmTableSet(L, t, &k)); }), 0);
        ref.erase(rk);
      } else {
        double v = op + 1;
        ASSERT_EQ(VmProtect(L, [&] { VmSetNumber(VmTableSet(L, t, &k), v); }), 0);
        ref[rk] = v;
      }
      Key probe;
      VmValue p = makeKey(&probe);
      const VmValue* got = VmTableGet(t, &p);
      auto it = ref.find(probe);
      if (it == ref.end())
        ASSERT_TRUE(VmIsNil(got)) << "op " << op;
      else
        ASSERT_EQ(VmNumberOf(got), it->second) << "op " << op;
    }
    // A full traversal yields exactly the reference's keys.
    size_t count = 0;
    VmValue kv[2];
    VmSetNil(&kv[0]);
    for (;;) {
      int more = 0;
      ASSERT_EQ(VmProtect(L, [&] { more = VmTableNext(L, t, kv); }), 0);
      if (!more) break;
      count++;
      const VmValue* v = VmTableGet(t, &kv[0]);
      ASSERT_EQ(VmNumberOf(v), VmNumberOf(&kv[1]));
    }
    EXPECT_EQ(count, ref.size());
    for (auto& [rk, v] : ref) {
      VmValue k;
      switch (std::get<0>(rk)) {
        case 0:
          k = Num(std::get<1>(rk));
          break;
        case 1:
          k = StrValue(std::get<2>(rk).c_str());
          break;
        case 2:
          VmSetBoolean(&k, int(std::get<1>(rk)));
          break;
        default:
          VmSetLightUserdata(&k, &anchors[int(std::get<1>(rk))]);
          break;
      }
      ASSERT_EQ(VmNumberOf(VmTableGet(t, &k)), v);
    }
  }
}

// A small table keeps its parts in room after its record, moving them out
// to blocks of their own as they grow and back in as they shrink; the
// bytes in use are what separate blocks would count at every step, and a
// collection of the dropped tables gives every byte back.
TEST_F(TableTest, PartsBesideTheRecordAreCountedAsBlocksOfTheirOwn) {
  auto counted = [&](VmTable* t) {
    size_t nodes = t->node == VmG(L)->dummynode ? 0 : sizeof(VmNode) * size_t(VmSizeNode(t));
    return sizeof(VmTable) + size_t(t->sizearray) * sizeof(VmValue) + nodes;
  };
  VmCollectGarbage(L);
  const size_t baseline = VmG(L)->nblocks;
  for (uint64_t iter = 0; iter < 60; iter++) {
    SCOPED_TRACE("iteration " + std::to_string(iter));
    Rng rng(iter + 1000);
    size_t before = VmG(L)->nblocks;
    VmTable* t = nullptr;
    std::map<double, double> ref;
    if (iter % 3 == 0) {
      // A constructor's list of one to six items.
      int n = 1 + rng.Below(6);
      std::vector<VmValue> values;
      for (int i = 0; i < n; i++) {
        values.push_back(Num(i + 100));
        ref[i] = i + 100;
      }
      t = NewTable(n > 1 ? n - 1 : 0, 0);
      bool done = false;
      ASSERT_EQ(VmProtect(L, [&] { done = VmTableSetNewList(L, t, values.data(), n); }), 0);
      ASSERT_TRUE(done);
    } else {
      t = NewTable(rng.Below(5), rng.Below(3));
    }
    ASSERT_EQ(VmG(L)->nblocks - before, counted(t));
    for (int op = 0; op < 120; op++) {
      // Keys around the array part, a few far off and fractional ones,
      // stored and removed; growth and shrinking rehash both ways.
      double key = rng.Below(4) ? rng.Below(24) : rng.Below(8) + 0.5;
      VmValue k = Num(key);
      if (rng.Below(3) == 0) {
        ASSERT_EQ(VmProtect(L, [&] { VmSetNil(VmTableSet(L, t, &k)); }), 0);
        ref.erase(key);
      } else {
        ASSERT_EQ(VmProtect(L, [&] { VmSetNumber(VmTableSet(L, t, &k), op); }), 0);
        ref[key] = op;
      }
      ASSERT_EQ(VmG(L)->nblocks - before, counted(t)) << "op " << op;
      for (auto& [k, v] : ref) ASSERT_EQ(VmNumberOf(GetNum(t, k)), v) << "op " << op;
    }
  }
  VmCollectGarbage(L);
  EXPECT_EQ(VmG(L)->nblocks, baseline);
}
