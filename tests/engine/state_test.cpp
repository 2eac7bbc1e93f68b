// VM states: the shape of a fresh state, stack and call-record growth, the
// allocator's limits, and opening under allocation failure.
#include <algorithm>
#include <climits>
#include <cstring>

#include "tests/engine/vm_fixture.h"
#include "engine/engine_private.h"

using StateTest = VmTest;

TEST_F(StateTest, FreshStateHasItsFixedShape) {
  VmGlobalState* g = VmG(L);
  EXPECT_EQ(L->top, L->base) << "empty frame";
  EXPECT_EQ(L->base, L->stack + 1);
  EXPECT_EQ(L->stacksize, 45);
  EXPECT_EQ(L->stack_last, L->stack + 39);
  EXPECT_EQ(L->size_ci, 8);
  EXPECT_EQ(L->ci, L->base_ci);
  EXPECT_EQ(L->ci->top, L->stack + 21);
  EXPECT_EQ(L->ci->state, VM_CI_C);
  EXPECT_EQ(L->allowhook, 1);

  ASSERT_TRUE(VmIsTable(&g->registry));
  ASSERT_TRUE(VmIsTable(&L->gt));
  ASSERT_TRUE(VmIsTable(&g->defaultmeta));
  VmTable* reg = VmTableOf(&g->registry);
  VmTable* glob = VmTableOf(&L->gt);
  VmTable* meta = VmTableOf(&g->defaultmeta);
  EXPECT_NE(reg, glob);
  EXPECT_EQ(meta->metatable, meta);
  EXPECT_EQ(glob->metatable, meta);
  EXPECT_EQ(glob->sizearray, 0);
  EXPECT_EQ(VmSizeNode(glob), 16);
  EXPECT_EQ(reg->sizearray, 4);
  EXPECT_EQ(VmSizeNode(reg), 16);
  EXPECT_EQ(meta->node, g->dummynode);

  // 23 event names and the out-of-memory text, all fixed, and the name of
  // the built-in global `next`.
  EXPECT_EQ(g->strt.size, 32u);
  EXPECT_EQ(g->strt.nuse, 25u);
  const char* names[VM_TM_N] = {"__index", "__newindex", "__gc",  "__mode",   "__eq",  "__add",
                                "__sub",   "__mul",      "__div", "__divint", "__mod", "__lsh",
                                "__rsh",   "__or",       "__and", "__xor",    "__pow", "__unm",
                                "__not",   "__lt",       "__le",  "__concat", "__call"};
  for (int e = 0; e < VM_TM_N; e++) {
    ASSERT_NE(g->tmname[e], nullptr);
    EXPECT_STREQ(VmStringData(g->tmname[e]), names[e]);
    EXPECT_TRUE(g->tmname[e]->marked & VM_GC_FIXED);
    EXPECT_EQ(VmNewStringZ(L, names[e]), g->tmname[e]);
  }
  EXPECT_STREQ(VmStringData(g->memerrmsg), "not enough memory");
  EXPECT_TRUE(g->memerrmsg->marked & VM_GC_FIXED);
  EXPECT_EQ(g->GCthreshold, 4 * g->nblocks);
}

TEST_F(StateTest, StackGrowthKeepsFramePointersAndRoomAboveTop) {
  struct Case {
    const char* name;
    int topSlot;   // top as a slot index before growing
    int n;         // free slots asked for
    int32_t size;  // expected stack size after
  };
  const Case cases[] = {
      {"n within size doubles", 1, 40, 90},
      {"n beyond size adds 5 slack", 1, 100, 150},
      // Doubling alone would leave only 40 slots above a top in the
      // reserve; the stack grows to what the request needs instead.
      {"top in the reserve", 44, 45, 96},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VmCloseState(L);
    L = VmOpenState();
    ASSERT_NE(L, nullptr);
    L->top = L->stack + c.topSlot;
    VmUpvalue* uv = VmFindUpvalue(L, L->stack + 2);
    ASSERT_EQ(VmProtect(L, [&] { VmEnsureStack(L, c.n); }), 0);
    EXPECT_EQ(L->stacksize, c.size);
    EXPECT_EQ(L->stack_last, L->stack + c.size - 6);
    EXPECT_GT(L->stack_last - L->top, c.n);
    EXPECT_EQ(L->top, L->stack + c.topSlot);
    EXPECT_EQ(L->base, L->stack + 1);
    EXPECT_EQ(L->ci->base, L->stack + 1);
    EXPECT_EQ(L->ci->top, L->stack + 21);
    EXPECT_EQ(uv->v, L->stack + 2);
    for (VmValue* o = L->top; o < L->stack + L->stacksize; o++) ASSERT_TRUE(VmIsNil(o));
    L->top = L->base;
  }
}

TEST_F(StateTest, StackRequestsThatCannotBeMetRaiseOutOfMemory) {
  VmValue* stack = L->stack;
  for (int n : {INT_MAX, INT_MAX - 40, VM_MAXSTACK}) {
    SCOPED_TRACE(n);
    EXPECT_EQ(VmProtect(L, [&] { VmEnsureStack(L, n); }), ERR_MEM);
    EXPECT_EQ(L->stack, stack);
    EXPECT_EQ(L->stacksize, 45);
  }
  // A negative request asks for nothing.
  EXPECT_EQ(VmProtect(L, [&] { VmEnsureStack(L, -5); }), 0);
  EXPECT_EQ(L->stacksize, 45);
}

TEST_F(StateTest, CallRecordsGrowToTheLimitThenOverflow) {
  // Each record taken is filled like the first (a built-in frame), as a
  // raise may read the running record and the function below its base.
  VmClosure* f = VmNewCClosure(L, 0);
  VmSetClosure(&L->stack[0], f);
  ErrorCode err = 0;
  while (L->size_ci < VM_MAXCALLS) {
    err = VmProtect(L, [&] {
      VmCallInfo* ci = VmNextCallInfo(L);
      *ci = *L->base_ci;
    });
    ASSERT_EQ(err, 0);
    ASSERT_LT(L->ci, L->end_ci);
    ASSERT_EQ(L->end_ci, L->base_ci + L->size_ci);
  }
  EXPECT_EQ(L->size_ci, VM_MAXCALLS);
  while (L->ci + 1 < L->end_ci) *++L->ci = *L->base_ci;
  // Growing past 4096 raises; asking again while above it throws.
  EXPECT_EQ(VmProtect(L, [&] { VmNextCallInfo(L); }), ERR_STACK);
  EXPECT_EQ(L->size_ci, 2 * VM_MAXCALLS);
  EXPECT_EQ(VmProtect(L, [&] { VmGrowCallInfo(L); }), ERR_STACK);
  EXPECT_EQ(L->size_ci, 2 * VM_MAXCALLS);
  L->ci = L->base_ci;
  VmReallocCallInfo(L, VM_MAXCALLS);
  EXPECT_EQ(L->ci, L->base_ci);
}

TEST_F(StateTest, AllocatorRefusesUnrepresentableSizes) {
  size_t before = VmG(L)->nblocks;
  EXPECT_EQ(VmProtect(L, [&] { VmRealloc(L, nullptr, 0, SIZE_MAX); }), ERR_MEM);
  EXPECT_EQ(VmProtect(L, [&] { VmAllocArray(L, SIZE_MAX / 8, 16); }), ERR_MEM);
  EXPECT_EQ(VmRealloc(nullptr, nullptr, 0, SIZE_MAX), nullptr);
  EXPECT_EQ(VmAllocArray(nullptr, SIZE_MAX / 2, 4), nullptr);
  EXPECT_EQ(VmG(L)->nblocks, before);

  // Fault injection: the 2nd allocation fails once, with a state it raises.
  VmSetAllocFailure(2, false);
  void* a = nullptr;
  void* b = nullptr;
  EXPECT_EQ(VmProtect(L,
                      [&] {
                        a = VmRealloc(L, nullptr, 0, 32);
                        b = VmRealloc(L, nullptr, 0, 32);
                      }),
            ERR_MEM);
  EXPECT_EQ(VmGetAllocFailureCount(), 1u);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(VmG(L)->nblocks, before + 32);
  VmRealloc(L, a, 32, 0);
  EXPECT_EQ(VmG(L)->nblocks, before);
}

// Small blocks grow in place within their size step and move across
// steps and to and from large sizes with their bytes; a block made with a
// state or without may be resized and freed either way, and the count of
// bytes in use follows the sizes asked for.
TEST_F(StateTest, SmallBlocksKeepTheirBytesAcrossSizes) {
  struct Case {
    const char* name;
    size_t from, to;
    bool madeWithState, resizedWithState;
  };
  const Case cases[] = {
      {"within a step", 17, 23, true, true},
      {"to the next step", 24, 25, true, true},
      {"shrinking across steps", 200, 9, true, true},
      {"small to large", 40, 4096, true, true},
      {"large to small", 4096, 40, true, true},
      {"made without a state", 48, 120, false, true},
      {"resized without a state", 48, 8, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VmState* made = c.madeWithState ? L : nullptr;
    VmState* resized = c.resizedWithState ? L : nullptr;
    size_t before = VmG(L)->nblocks;
    auto* b = static_cast<unsigned char*>(VmRealloc(made, nullptr, 0, c.from));
    ASSERT_NE(b, nullptr);
    for (size_t i = 0; i < c.from; i++) b[i] = static_cast<unsigned char>(i * 7 + 1);
    b = static_cast<unsigned char*>(VmRealloc(resized, b, c.from, c.to));
    ASSERT_NE(b, nullptr);
    size_t kept = 0;
    for (size_t i = 0; i < std::min(c.from, c.to); i++)
      kept += b[i] == static_cast<unsigned char>(i * 7 + 1);
    EXPECT_EQ(kept, std::min(c.from, c.to));
    std::memset(b, 0x5A, c.to);  // all of it is the block's own
    size_t counted = (c.madeWithState ? c.from : 0) + (c.resizedWithState ? c.to - c.from : 0);
    EXPECT_EQ(VmG(L)->nblocks, before + counted);
    VmRealloc(L, b, c.to, 0);
    VmG(L)->nblocks = before;
  }
  // A block freed with the state is handed to the next request of its
  // step, and fault injection still fails that request.
  void* a = VmRealloc(L, nullptr, 0, 72);
  VmRealloc(L, a, 72, 0);
  EXPECT_EQ(VmRealloc(L, nullptr, 0, 70), a);
  VmSetAllocFailure(1, false);
  EXPECT_EQ(VmProtect(L, [&] { VmRealloc(L, nullptr, 0, 70); }), ERR_MEM);
  VmRealloc(L, a, 70, 0);
}

TEST_F(StateTest, GrowVectorDoublesUpToTheLimit) {
  struct Case {
    int32_t count, limit, expect;
    ErrorCode err;
  };
  const Case cases[] = {
      {0, 100, 4, 0},           {3, 100, 6, 0},
      {40, 100, 80, 0},         {50, 100, 100, 0},  // half the limit or more: the limit
      {96, 100, 96, ERR_STACK},                     // within 4 of it: the given error
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.count);
    int32_t count = c.count;
    void* block = VmAllocArray(L, size_t(count < 100 ? count : 0), 8);
    int32_t allocated = count < 100 ? count : 0;
    ErrorCode err = VmProtect(L, [&] {
      block = VmGrowVector(L, block, &count, 8, c.limit, ERR_STACK);
      allocated = count;
    });
    EXPECT_EQ(err, c.err);
    if (c.err == 0) {
      EXPECT_EQ(count, c.expect);
    }
    VmRealloc(L, block, size_t(allocated) * 8, 0);
  }
}

TEST(StateOpen, AllocationFailureWhileOpeningReturnsNull) {
  for (bool persistent : {false, true}) {
    for (uint64_t n = 1;; n++) {
      VmSetAllocFailure(n, persistent);
      VmState* L = VmOpenState();
      uint64_t failed = VmGetAllocFailureCount();
      VmSetAllocFailure(0, false);
      if (L != nullptr) {
        EXPECT_EQ(failed, 0u);
        VmCloseState(L);
        EXPECT_GT(n, 5u);
        break;
      }
      ASSERT_GT(failed, 0u) << "null without an allocation failure, n=" << n;
    }
  }
}

TEST_F(StateTest, ThreadsShareGlobalsAndHaveTheirOwnStack) {
  VmState* L1 = nullptr;
  ASSERT_EQ(VmProtect(L, [&] { L1 = VmNewThread(L); }), 0);
  EXPECT_EQ(L1->l_G, VmG(L));
  EXPECT_EQ(VmTableOf(&L1->gt), VmTableOf(&L->gt));
  EXPECT_EQ(L1->stacksize, 45);
  EXPECT_EQ(L1->size_ci, 8);
  EXPECT_EQ(L1->top, L1->base);
  EXPECT_EQ(L1->hook, nullptr);
  EXPECT_EQ(L1->hookmask, 0);
  EXPECT_NE(L1->stack, L->stack);
}

namespace {
int panicA(VmState*) { return 0; }
}  // namespace

TEST_F(StateTest, AtPanicReturnsThePreviousFunction) {
  VmCommandFunction first = VmAtPanic(L, panicA);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(VmAtPanic(L, first), panicA);
}

// The last large block freed is kept for the next large request: the
// request gets a block of its size, smaller or larger than the kept one,
// and a heap block that grows into it brings its bytes along.
TEST_F(StateTest, LargeBlocksReuseTheKeptBlockWithTheirBytes) {
  constexpr size_t MIB = size_t{1} << 20;
  struct Case {
    const char* name;
    size_t fromSize;  // 0: a new block
    size_t newSize;
  } cases[] = {
      {"new, nothing kept", 0, 40 * MIB},
      {"new, smaller than the kept block", 0, 36 * MIB},
      {"grown from the heap, larger than the kept block", MIB, 48 * MIB},
      {"grown from the heap, smaller than the kept block", 3 * MIB + 5, 33 * MIB},
  };
  VmReleaseKeptBlock();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unsigned char* from = nullptr;
    if (c.fromSize) {
      from = static_cast<unsigned char*>(VmRealloc(nullptr, nullptr, 0, c.fromSize));
      ASSERT_NE(from, nullptr);
      for (size_t i = 0; i < c.fromSize; i++) from[i] = static_cast<unsigned char>(i * 131 + 7);
    }
    auto* block = static_cast<unsigned char*>(VmRealloc(nullptr, from, c.fromSize, c.newSize));
    ASSERT_NE(block, nullptr);
    size_t kept = 0;
    for (size_t i = 0; i < c.fromSize; i++)
      kept += block[i] == static_cast<unsigned char>(i * 131 + 7);
    EXPECT_EQ(kept, c.fromSize);
    // All of it is the block's own.
    std::memset(block, 0xA5, c.newSize);
    VmRealloc(nullptr, block, c.newSize, 0);
  }
  // A kept block does not keep a failing allocation from failing.
  VmSetAllocFailure(1, false);
  EXPECT_EQ(VmRealloc(nullptr, nullptr, 0, 40 * MIB), nullptr);
  VmReleaseKeptBlock();
}
