// The collector with closures, upvalues and prototypes: weak tables,
// thresholds, finalisers, upvalue sharing and closing, shrinking, and that
// dropped objects give every byte back.
#include <string>

#include "tests/engine/vm_fixture.h"

namespace {

class GcTest : public VmTest {
 protected:
  VmTable* NewTable(int narray = 0, int lsize = 0) {
    VmTable* t = nullptr;
    EXPECT_EQ(VmProtect(L, [&] { t = VmCreateTable(L, narray, lsize); }), 0);
    return t;
  }
  static VmValue TableValue(VmTable* t) {
    VmValue v;
    VmSetTable(&v, t);
    return v;
  }
  void Set(VmTable* t, const VmValue& k, const VmValue& v) {
    ASSERT_EQ(VmProtect(L, [&] { *VmTableSet(L, t, &k) = v; }), 0);
  }
  VmClosure* NewCFunction(VmCommandFunction f) {
    VmClosure* c = VmNewCClosure(L, 0);
    c->c.f = f;
    return c;
  }
  // Live (non-nil) entries of a table.
  int Count(VmTable* t) {
    VmValue kv[2];
    VmSetNil(&kv[0]);
    int n = 0;
    while (VmTableNext(L, t, kv)) n++;
    return n;
  }
  bool Contains(VmGcHeader* list, VmGcHeader* o) {
    for (; list != nullptr; list = list->next) {
      if (list == o) return true;
    }
    return false;
  }
};

int finalised = 0;
bool hooksWereOff = true;
bool argWasUserdata = true;

int countingFinaliser(VmState* L) {
  finalised++;
  hooksWereOff = hooksWereOff && L->allowhook == 0;
  argWasUserdata = argWasUserdata && L->top - L->base == 1 && L->base->tag == VM_TUSERDATA;
  return 0;
}

int raisingFinaliser(VmState* L) {
  finalised++;
  VmRaiseError(L, ERR_STACK);
}

}  // namespace

TEST_F(GcTest, WeakTablesDropWhatIsOtherwiseUnreachedAndKeepStrings) {
  struct Case {
    const char* mode;
    bool keyEntryKept;    // key: unanchored table, value: number
    bool valueEntryKept;  // key: string, value: unanchored table
    bool arrayEntryKept;  // w[1] = unanchored table
  };
  const Case cases[] = {
      {"k", false, true, true},
      {"v", true, false, false},
      {"kv", false, false, false},
      {"", true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("mode \"") + c.mode + "\"");
    VmTable* w = NewTable(1, 0);
    VmTable* mt = NewTable();
    Set(mt, StrValue("__mode"), StrValue(c.mode));
    w->metatable = mt;
    Anchor("w", TableValue(w));
    VmTable* anchored = NewTable();
    Anchor("anchored", TableValue(anchored));

    Set(w, TableValue(NewTable()), Num(1));
    VmTable* valueTable = NewTable();
    Set(w, StrValue("str key"), TableValue(valueTable));
    *VmTableSetNum(L, w, 1) = TableValue(NewTable());
    VmString* onlyHere = Str("string value held only here");
    VmValue onlyHereValue;
    VmSetString(&onlyHereValue, onlyHere);
    Set(w, TableValue(anchored), onlyHereValue);
    Set(w, StrValue("s2"), StrValue("v2"));
    ASSERT_EQ(Count(w), 5);

    VmCollectGarbage(L);

    int expected = 2 + c.keyEntryKept + c.valueEntryKept + c.arrayEntryKept;
    EXPECT_EQ(Count(w), expected);
    EXPECT_EQ(VmIsTable(VmTableGetStr(w, Str("str key"))), c.valueEntryKept);
    EXPECT_EQ(VmIsTable(VmTableGetNum(w, 1)), c.arrayEntryKept);
    // Strings are never dropped, and stay valid to read.
    VmValue ak = TableValue(anchored);
    const VmValue* s = VmTableGet(w, &ak);
    ASSERT_TRUE(VmIsString(s));
    EXPECT_EQ(VmStringOf(s), onlyHere);
    EXPECT_STREQ(VmStringData(VmStringOf(s)), "string value held only here");
    EXPECT_STREQ(VmStringData(VmStringOf(VmTableGetStr(w, Str("s2")))), "v2");
    if (c.valueEntryKept) {
      EXPECT_EQ(VmTableOf(VmTableGetStr(w, Str("str key")))->tag, VM_TTABLE);
    }
    Unanchor("w");
    Unanchor("anchored");
  }
}

TEST_F(GcTest, ThresholdInKilobytesAndItsOffValue) {
  struct Case {
    uint32_t kb;
    uint32_t reads;
  };
  const Case cases[] = {
      {100000, 100000},
      {4194303, 4194303},
      {4194304, 0xFFFFFFFFu},
      {0xFFFFFFFFu, 0xFFFFFFFFu},
  };
  for (const Case& c : cases) {
    VmSetGcThreshold(L, c.kb);
    EXPECT_EQ(VmGetGcThreshold(L), c.reads) << c.kb;
  }
  EXPECT_EQ(VmGetGcCount(L), uint32_t(VmG(L)->nblocks >> 10));

  // Off: garbage stays however much of it there is.
  size_t before = VmG(L)->nblocks;
  for (int i = 0; i < 1000; i++) {
    NewTable(4, 2);
    VmCheckGC(L);
  }
  EXPECT_GT(VmG(L)->nblocks, before + 1000 * sizeof(VmTable));

  // Lowering the threshold below the count collects at once.
  size_t full = VmG(L)->nblocks;
  VmSetGcThreshold(L, 0);
  EXPECT_LE(VmG(L)->nblocks, before);
  EXPECT_LT(VmG(L)->nblocks, full);
  EXPECT_EQ(VmG(L)->GCthreshold, 2 * VmG(L)->nblocks);
}

TEST_F(GcTest, DroppedTablesReturnEveryByte) {
  VmCollectGarbage(L);
  size_t baseline = VmG(L)->nblocks;
  int collections = 0;
  for (int i = 0; i < 1000000; i++) {
    VmTable* t = i % 10 ? VmCreateTable(L, 0, 0) : VmCreateTable(L, 2, 1);
    (void)t;
    if (VmG(L)->nblocks >= VmG(L)->GCthreshold) collections++;
    VmCheckGC(L);
  }
  EXPECT_GT(collections, 10);
  VmCollectGarbage(L);
  EXPECT_EQ(VmG(L)->nblocks, baseline);
}

// The small blocks of a dropped structure wait for reuse only until a
// collection finds them more than the bytes in use.
TEST_F(GcTest, FreedSmallBlocksGoBackToTheHeapWhenMany) {
  VmTable* big = NewTable();
  Anchor("big", TableValue(big));
  for (int i = 1; i <= 20000; i++) {
    VmValue v;
    VmSetTable(&v, VmCreateTable(L, 2, 1));
    *VmTableSetNum(L, big, i) = v;
  }
  Unanchor("big");
  VmCollectGarbage(L);
  EXPECT_GT(VmG(L)->poolbytes, VmG(L)->nblocks) << "the sweep keeps what it freed";
  VmCollectGarbage(L);
  EXPECT_LE(VmG(L)->poolbytes, VmG(L)->nblocks);
}

TEST_F(GcTest, FinaliserRunsOnceWithHooksOffThenTheUserdataGoes) {
  finalised = 0;
  hooksWereOff = argWasUserdata = true;
  VmTable* mt = NewTable();
  VmValue gcFn;
  VmSetClosure(&gcFn, NewCFunction(countingFinaliser));
  Set(mt, StrValue("__gc"), gcFn);
  Anchor("mt", TableValue(mt));

  VmUserdata* dropped = VmNewUserdata(L, 8);
  dropped->metatable = mt;
  VmUserdata* kept = VmNewUserdata(L, 8);
  kept->metatable = mt;
  VmValue kv;
  VmSetUserdata(&kv, kept);
  Anchor("kept", kv);
  VmUserdata* plain = VmNewUserdata(L, 8);  // default metatable: no __gc

  VmValue* top = L->top;
  VmCollectGarbage(L);
  EXPECT_EQ(finalised, 1);
  EXPECT_TRUE(hooksWereOff);
  EXPECT_TRUE(argWasUserdata);
  EXPECT_EQ(L->allowhook, 1);
  EXPECT_EQ(L->top, top);
  EXPECT_TRUE(Contains(VmG(L)->rootudata, dropped)) << "kept alive for one more cycle";
  EXPECT_FALSE(dropped->marked & VM_GC_NOTFINALIZED);
  EXPECT_FALSE(Contains(VmG(L)->rootudata, plain));
  EXPECT_EQ(VmG(L)->tmudata, nullptr);

  VmCollectGarbage(L);
  EXPECT_EQ(finalised, 1) << "a finaliser runs once";
  EXPECT_FALSE(Contains(VmG(L)->rootudata, dropped));
  EXPECT_TRUE(Contains(VmG(L)->rootudata, kept));
}

TEST(GcClose, ClosingRunsEveryFinaliserEvenWhenTheyRaise) {
  VmState* L = VmOpenState();
  ASSERT_NE(L, nullptr);
  finalised = 0;
  ASSERT_EQ(VmProtect(L,
                      [&] {
                        VmTable* mt = VmCreateTable(L, 0, 0);
                        VmValue k, v, reg;
                        VmSetString(&k, VmNewStringZ(L, "__gc"));
                        VmClosure* f = VmNewCClosure(L, 0);
                        f->c.f = raisingFinaliser;
                        VmSetClosure(&v, f);
                        *VmTableSet(L, mt, &k) = v;
                        VmSetTable(&reg, mt);
                        *VmTableSetNum(L, VmTableOf(&VmG(L)->registry), 1) = reg;
                        for (int i = 0; i < 3; i++) {
                          VmUserdata* u = VmNewUserdata(L, 4);
                          u->metatable = mt;
                          VmValue uv;
                          VmSetUserdata(&uv, u);
                          *VmTableSetNum(L, VmTableOf(&VmG(L)->registry), 2 + i) = uv;
                        }
                      }),
            0);
  VmCloseState(L);
  EXPECT_EQ(finalised, 3);
}

TEST_F(GcTest, ClosuresOverOneLocalShareOneUpvalueUntilClosed) {
  VmValue* base = L->base;
  L->top = base + 4;
  VmTable* local = NewTable();
  base[1] = TableValue(local);
  VmUpvalue* uv = VmFindUpvalue(L, base + 1);
  EXPECT_EQ(VmFindUpvalue(L, base + 1), uv);
  VmUpvalue* high = VmFindUpvalue(L, base + 3);
  VmUpvalue* mid = VmFindUpvalue(L, base + 2);
  // Open list ordered by slot, highest first.
  ASSERT_EQ(L->openupval, high);
  ASSERT_EQ(high->next, mid);
  ASSERT_EQ(mid->next, uv);
  ASSERT_EQ(uv->next, nullptr);

  VmClosure* c1 = VmNewScriptClosure(L, 1, &L->gt);
  VmClosure* c2 = VmNewScriptClosure(L, 1, &L->gt);
  c1->l.upvals[0] = c2->l.upvals[0] = VmFindUpvalue(L, base + 1);
  EXPECT_EQ(c1->l.upvals[0], c2->l.upvals[0]);
  EXPECT_EQ(VmTableOf(&c1->l.g), VmTableOf(&L->gt));

  VmCloseUpvalues(L, base + 4);
  EXPECT_EQ(L->openupval, high) << "closing above every open upvalue changes nothing";
  VmCloseUpvalues(L, base + 2);
  EXPECT_EQ(L->openupval, uv);
  EXPECT_EQ(mid->v, &mid->value);
  EXPECT_EQ(uv->v, base + 1);

  VmCloseUpvalues(L, base + 1);
  EXPECT_EQ(L->openupval, nullptr);
  EXPECT_EQ(uv->v, &uv->value);
  EXPECT_EQ(VmTableOf(c2->l.upvals[0]->v), local);
  VmSetNil(&base[1]);
  L->top = base;

  // The closed upvalue keeps its value alive as long as a closure holds it.
  VmValue cv;
  VmSetClosure(&cv, c1);
  Anchor("c1", cv);
  VmCollectGarbage(L);
  VmCollectGarbage(L);
  EXPECT_EQ(VmTableOf(c1->l.upvals[0]->v)->tag, VM_TTABLE);
  EXPECT_EQ(VmTableOf(c1->l.upvals[0]->v), local);
  Unanchor("c1");
  VmCollectGarbage(L);
}

TEST_F(GcTest, OpenUpvalueOfAnUnreachedThreadKeepsItsValue) {
  VmCollectGarbage(L);
  size_t baseline = VmG(L)->nblocks;
  VmTable* t = NewTable();
  VmClosure* c = VmNewScriptClosure(L, 1, &L->gt);
  VmValue cv;
  VmSetClosure(&cv, c);
  Anchor("c", cv);
  // Made last, the thread heads the object list: the sweep meets it first.
  VmState* L1 = VmNewThread(L);
  ASSERT_EQ(VmG(L)->rootgc, L1);
  L1->top[0] = TableValue(t);
  L1->top++;
  c->l.upvals[0] = VmFindUpvalue(L1, L1->top - 1);

  // The thread is unreached and freed; its upvalue closes into c.
  VmCollectGarbage(L);
  VmUpvalue* uv = c->l.upvals[0];
  EXPECT_EQ(uv->v, &uv->value);
  ASSERT_TRUE(VmIsTable(uv->v));
  EXPECT_EQ(VmTableOf(uv->v), t);
  VmCollectGarbage(L);
  EXPECT_EQ(VmTableOf(uv->v)->tag, VM_TTABLE) << "still alive through the closure";

  Unanchor("c");
  VmCollectGarbage(L);
  VmCollectGarbage(L);
  EXPECT_EQ(VmG(L)->nblocks, baseline);
}

TEST_F(GcTest, PrototypesKeepTheirStringsAndNestedPrototypes) {
  VmPrototype* p = VmNewPrototype(L);
  VmPrototype* inner = VmNewPrototype(L);
  p->source = Str("@applet.qm");
  p->k = VmNewBlock<VmValue>(L, 2);
  p->sizek = 2;
  p->k[0] = StrValue("constant only here");
  p->k[1] = Num(3);
  p->p = VmNewBlock<VmPrototype*>(L, 1);
  p->sizep = 1;
  p->p[0] = inner;
  inner->upvalues = VmNewBlock<VmString*>(L, 1);
  inner->sizeupvalues = 1;
  inner->upvalues[0] = Str("upvalue name");
  VmClosure* c = VmNewScriptClosure(L, 0, &L->gt);
  c->l.p = p;
  VmValue cv;
  VmSetClosure(&cv, c);
  Anchor("f", cv);
  VmCollectGarbage(L);
  EXPECT_STREQ(VmStringData(p->source), "@applet.qm");
  EXPECT_STREQ(VmStringData(VmStringOf(&p->k[0])), "constant only here");
  EXPECT_STREQ(VmStringData(p->p[0]->upvalues[0]), "upvalue name");
  EXPECT_EQ(VmNewStringZ(L, "constant only here"), VmStringOf(&p->k[0]));
}

TEST_F(GcTest, LocalNamesByIndexAndPosition) {
  VmPrototype* p = VmNewPrototype(L);
  struct Var {
    const char* name;
    int32_t start, end;
  };
  const Var vars[] = {{"a", 0, 10}, {"b", 2, 5}, {"c", 3, 8}, {"d", 12, 20}};
  p->locvars = VmNewBlock<VmLocalVar>(L, 4);
  p->sizelocvars = 4;
  for (int i = 0; i < 4; i++) p->locvars[i] = {Str(vars[i].name), vars[i].start, vars[i].end};
  struct Case {
    int n, pc;
    const char* name;  // null: none
  };
  const Case cases[] = {
      {1, 0, "a"},      {2, 0, nullptr}, {2, 3, "b"},      {3, 3, "c"},     {2, 5, "c"},
      {1, 10, nullptr}, {1, 12, "d"},    {2, 12, nullptr}, {0, 3, nullptr}, {1, 25, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.n) + " at " + std::to_string(c.pc));
    const char* got = VmGetLocalName(p, c.n, c.pc);
    if (c.name == nullptr)
      EXPECT_EQ(got, nullptr);
    else
      EXPECT_STREQ(got, c.name);
  }
}

TEST_F(GcTest, CollectionShrinksStacksRecordsAndTheStringTable) {
  ASSERT_EQ(VmProtect(L, [&] { VmEnsureStack(L, 400); }), 0);
  int32_t grown = L->stacksize;
  ASSERT_GT(grown, 400);
  VmReallocCallInfo(L, 64);
  // A dead slot inside the frame holds the only reference to a table.
  VmTable* t = NewTable();
  L->base[5] = TableValue(t);
  for (int i = 0; i < 2000; i++) Str(("garbage string " + std::to_string(i)).c_str());
  size_t strslots = VmG(L)->strt.size;
  ASSERT_GE(strslots, 2048u);

  VmCollectGarbage(L);
  EXPECT_EQ(L->stacksize, grown / 2);
  EXPECT_EQ(L->stack_last, L->stack + grown / 2 - 6);
  EXPECT_EQ(L->size_ci, 32);
  EXPECT_EQ(L->end_ci, L->base_ci + 32);
  EXPECT_EQ(L->ci, L->base_ci);
  EXPECT_TRUE(VmIsNil(&L->base[5])) << "slots above the top are cleared";
  EXPECT_EQ(VmG(L)->strt.size, strslots / 2);
  EXPECT_EQ(VmG(L)->strt.nuse, 25u) << "only the fixed strings and the global name next are left";
  for (int e = 0; e < VM_TM_N; e++)
    EXPECT_EQ(VmNewStringZ(L, VmStringData(VmG(L)->tmname[e])), VmG(L)->tmname[e]);

  for (int i = 0; i < 10; i++) VmCollectGarbage(L);
  EXPECT_EQ(VmG(L)->strt.size, 64u);
  EXPECT_EQ(L->stacksize, grown / 8) << "halved while above 90 slots";
  EXPECT_EQ(L->size_ci, 16);
}

TEST_F(GcTest, UnreachedThreadsAreFreed) {
  VmCollectGarbage(L);
  size_t baseline = VmG(L)->nblocks;
  for (int i = 0; i < 10; i++) {
    VmState* L1 = VmNewThread(L);
    ASSERT_EQ(VmProtect(L1, [&] { VmEnsureStack(L1, 100); }), 0);
    L1->top[0] = TableValue(NewTable());
    L1->top++;
  }
  VmState* kept = VmNewThread(L);
  VmValue tv;
  VmSetThread(&tv, kept);
  Anchor("thread", tv);
  VmCollectGarbage(L);
  Unanchor("thread");
  VmCollectGarbage(L);
  EXPECT_EQ(VmG(L)->nblocks, baseline);
}

TEST_F(GcTest, AllocationFailureLeavesNothingHalfBuilt) {
  // Bytes in use besides the string table's slots, which may stay grown.
  auto objectBytes = [&] { return VmG(L)->nblocks - VmG(L)->strt.size * sizeof(VmString*); };
  VmCollectGarbage(L);
  size_t baseline = objectBytes();
  // Fail the nth allocation from now, for n = 1, 2, ... until the whole
  // sequence gets through; whatever a failure left behind is garbage.
  for (uint64_t n = 1;; n++) {
    SCOPED_TRACE("n=" + std::to_string(n));
    VmSetAllocFailure(n, false);
    ErrorCode err = VmProtect(L, [&] {
      VmState* L1 = VmNewThread(L);
      VmClosure* c = VmNewScriptClosure(L, 2, &L->gt);
      // Work on L1 raises through L1's own recovery record.
      ErrorCode e1 = VmProtect(L1, [&] {
        VmEnsureStack(L1, 200);
        c->l.upvals[0] = VmFindUpvalue(L1, L1->top);
        c->l.upvals[1] = VmFindUpvalue(L1, L1->top + 1);
        VmCloseUpvalues(L1, L1->stack);
      });
      if (e1 != 0) VmThrow(L, e1);
      VmTable* t = VmCreateTable(L, 8, 3);
      for (int i = 0; i < 40; i++) {
        std::string s = "fault key " + std::to_string(i);
        VmValue k;
        VmSetString(&k, VmNewString(L, s.data(), s.size()));
        VmSetNumber(VmTableSet(L, t, &k), i);
      }
      VmNewUserdata(L, 100);
      VmNewPrototype(L);
    });
    VmSetAllocFailure(0, false);
    // Upvalues left open on a dropped thread close when the thread is
    // freed and go at the following collection.
    VmCollectGarbage(L);
    VmCollectGarbage(L);
    ASSERT_EQ(objectBytes(), baseline);
    if (err == 0) break;
    ASSERT_EQ(err, ERR_MEM);
  }
}
