// Async drawings stepped through AsyncDrawFrame by a C++ owner of three
// frames: the frame protocol, finishing, cancelling, the display checks
// and the attribute query.
#include "tests/gfx/display_fixture.h"

namespace {

// A drawing of three frames that records what the graphics library did.
struct Owner {
  int32_t frames = 3, current = 0, drawn = 0;
  int32_t finishCalls = 0, finishFlag = -1, releaseArgument = -1, seeks = 0;
  static ErrorCode Draw(void* data, int32_t* finished) {
    auto* o = static_cast<Owner*>(data);
    ++o->current;
    ++o->drawn;
    if (o->current == o->frames) *finished = 1;
    return ERR_NONE;
  }
  static void Finish(void* data, int32_t flag) {
    auto* o = static_cast<Owner*>(data);
    ++o->finishCalls;
    o->finishFlag = flag;
  }
  static void Release(void* data, int32_t argument) {
    static_cast<Owner*>(data)->releaseArgument = argument;
  }
  static intptr_t Event(int32_t code, intptr_t, void* data, intptr_t value) {
    auto* o = static_cast<Owner*>(data);
    switch (code) {
      case ADEVENT_FRAMES:
        return o->frames;
      case ADEVENT_CURRENT:
        return o->current;
      case ADEVENT_SEEK:
        ++o->seeks;
        o->current = static_cast<int32_t>(value);
        return 0;
      case ADEVENT_SETFRAME:
        return 0;
      default:
        return 0;
    }
  }
};

class AsyncDrawTest : public gfxtest::DisplayTest {
 protected:
  AsyncDraw* Make(Owner* o) {
    AsyncDraw* a = nullptr;
    EXPECT_EQ(AddAsyncDraw(ADF_ANIM, Owner::Draw, nullptr, Owner::Finish, Owner::Release,
                           Owner::Event, o, &a),
              ERR_NONE);
    return a;
  }
  // AsyncDrawFrame(a[, frame]); *result is its boolean.
  ErrorCode Frame(AsyncDraw* a, int32_t frame, bool* result) {
    VmPushLightUserdata(L, a);
    if (frame >= 0) VmPushNumber(L, frame);
    ErrorCode e = Call("AsyncDrawFrame", frame >= 0 ? 2 : 1);
    if (e == ERR_NONE) *result = results.at(0) != 0;
    return e;
  }
};

TEST_F(AsyncDrawTest, StepsToTheEndThenFinishes) {
  OpenDisplay(64, 48);
  Owner o;
  AsyncDraw* a = Make(&o);
  bool done = true;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(Frame(a, -1, &done), ERR_NONE);
    EXPECT_FALSE(done) << i;
  }
  EXPECT_EQ(o.finishCalls, 0);
  ASSERT_EQ(Frame(a, -1, &done), ERR_NONE);
  EXPECT_TRUE(done);
  EXPECT_EQ(o.drawn, 3);
  EXPECT_EQ(o.finishCalls, 1);
  EXPECT_EQ(o.finishFlag, 1);
  EXPECT_EQ(o.releaseArgument, 1);
  EXPECT_EQ(Frame(a, -1, &done), ERR_FINDARRAY);  // gone
  VmPushNumber(L, 3);
  EXPECT_EQ(Call("AsyncDrawFrame", 1), ERR_FINDASYNCDRAW);
}

TEST_F(AsyncDrawTest, FrameNumbersSeekAndRepeat) {
  OpenDisplay(64, 48, true);
  Owner o;
  AsyncDraw* a = Make(&o);
  bool done = true;
  ASSERT_EQ(Frame(a, 1, &done), ERR_NONE);  // the next frame
  EXPECT_FALSE(done);
  EXPECT_EQ(o.drawn, 1);
  ASSERT_EQ(Frame(a, 1, &done), ERR_NONE);  // the current one: nothing drawn
  EXPECT_FALSE(done);
  EXPECT_EQ(o.drawn, 1);
  EXPECT_EQ(Frame(a, 4, &done), ERR_ANIMFRAME);
  ASSERT_EQ(Frame(a, 3, &done), ERR_NONE);  // a seek to the last frame
  EXPECT_TRUE(done);
  EXPECT_EQ(o.seeks, 1);
  EXPECT_EQ(o.drawn, 1);
  ASSERT_EQ(Frame(a, 0, &done), ERR_NONE);  // finished: now it ends
  EXPECT_TRUE(done);
  EXPECT_EQ(o.finishCalls, 1);
}

TEST_F(AsyncDrawTest, FrameNumbersNeedLayers) {
  OpenDisplay(64, 48);
  Owner o;
  AsyncDraw* a = Make(&o);
  bool done = false;
  EXPECT_EQ(Frame(a, 1, &done), ERR_NOLAYERS);
  ASSERT_EQ(CallWith("CreateBrush", {1, 4, 4, 0}), ERR_NONE);
  ASSERT_EQ(CallWith("SelectBrush", {1}), ERR_NONE);
  EXPECT_EQ(Frame(a, -1, &done), ERR_SELECTBRUSH);
  ASSERT_EQ(CallWith("EndSelect", {}), ERR_NONE);
}

TEST_F(AsyncDrawTest, CancelFinishAndTheDisplayThatHoldsIt) {
  OpenDisplay(64, 48);
  Owner cancelled, finished;
  AsyncDraw* a = Make(&cancelled);
  VmPushLightUserdata(L, a);
  ASSERT_EQ(Call("CancelAsyncDraw", 1), ERR_NONE);
  EXPECT_EQ(cancelled.finishCalls, 0);
  EXPECT_EQ(cancelled.releaseArgument, 0);

  AsyncDraw* b = Make(&finished);
  ASSERT_EQ(CallWith("GetAttribute", {OBJTYPE_ASYNCDRAW, 0, ATTRCOUNT}), ERR_NONE);
  EXPECT_EQ(results.at(0), 1);
  VmPushNumber(L, OBJTYPE_ASYNCDRAW);
  VmPushLightUserdata(L, b);
  VmPushNumber(L, ATTRNUMFRAMES);
  ASSERT_EQ(Call("GetAttribute", 3), ERR_NONE);
  EXPECT_EQ(results.at(0), 3);
  VmPushLightUserdata(L, b);
  ASSERT_EQ(Call("FinishAsyncDraw", 1), ERR_NONE);
  EXPECT_EQ(finished.finishCalls, 1);
  EXPECT_EQ(finished.finishFlag, 0);
  EXPECT_EQ(finished.releaseArgument, 0);

  // A drawing made on a second display: the first cannot step it and the
  // second cannot be freed while it exists.
  DisplayRecord* first = d;
  VmPushNumber(L, 2);
  PushValue(L, Value::Table({{"width", 32}, {"height", 32}}));
  ASSERT_EQ(Call("CreateDisplay", 2), ERR_NONE);
  DisplayRecord* second = nullptr;
  ASSERT_EQ(FindDisplayById(ObjectId{nullptr, 2}, &second), ERR_NONE);
  SetCurrentDisplay(second);
  Owner other;
  AsyncDraw* c = Make(&other);
  SetCurrentDisplay(first);
  bool done = false;
  EXPECT_EQ(Frame(c, -1, &done), ERR_ADFWRONGDISP);
  EXPECT_EQ(FreeDisplayById(L, ObjectId{nullptr, 2}, 1), ERR_ADFFREEDISP);
  RemoveAsyncDraw(L, c, 0);
  EXPECT_EQ(FreeDisplayById(L, ObjectId{nullptr, 2}, 1), ERR_NONE);
}

}  // namespace
