// The display folder's context record: the displays, background pictures,
// event handlers, intervals, user event types and refresh scratch one run
// of the player builds, in one place, so that FreeDisplayContext can put
// the record back in its start state (the default member values below).
// The event library's poll tick is a thread with its own guard and stays
// beside the dispatcher; FreeAllEvents stops it.
#pragma once

#include <array>
#include <unordered_map>

#include "display/display.h"
#include "display/event_private.h"
#include "platform/linux/platform.h"

// The user data of a display's handler slot, with the function reference
// it belongs to.
struct DisplayUserData {
  VmRef handler = VM_REF_NIL;
  VmRef userData = VM_REF_NIL;
};

// Where the dispatcher's round stands.
enum : int32_t {
  SOURCE_TIMERS = 0,
  SOURCE_MOUSEMOVE = 1,
  SOURCE_QUEUE = 2,
  SOURCE_DONE = 3,
  SOURCE_THREAD = 4,   // the cross-thread event list, between timers and pointer moves
  SOURCE_NETWORK = 5,  // the network library's lists, between those and pointer moves
};
struct DispatchRound {
  int32_t source = SOURCE_TIMERS;
  TimerRecord* timer = nullptr;
  DisplayRecord* display = nullptr;
  int started = 0;
  int fillAsked = 0;  // the music fill source was asked this round
};

template <size_t N>
constexpr std::array<VmRef, N> NilRefs() {
  std::array<VmRef, N> refs{};
  for (VmRef& ref : refs) ref = VM_REF_NIL;
  return refs;
}

struct DisplayContext {
  // Displays (display.cpp); the mutex guards the list while it changes.
  ObjectHead* displayList = nullptr;
  ObjectHead* menuList = nullptr;  // MenuObject list, appended at the tail
  DisplayRecord* currentDisplay = nullptr;
  PlatformMutex* displayListMutex = nullptr;
  // Background pictures (bgpic.cpp).
  BGPic* bgpicList = nullptr;
  BGPic* currentBGPic = nullptr;
  // Event handlers (eventlib.cpp): the global slots, and the user data of
  // display slots (the display record holds each slot's function).
  std::array<VmRef, GLOBAL_EVENT_NAMES> globalHandler = NilRefs<GLOBAL_EVENT_NAMES>();
  std::array<VmRef, GLOBAL_EVENT_NAMES> globalUserData = NilRefs<GLOBAL_EVENT_NAMES>();
  std::unordered_map<const DisplayRecord*, std::array<DisplayUserData, WINDOW_EVENT_NAMES>>
      displayUserData;
  double libraryStart = 0;
  TimeValue lastExpiry = {0, 0};
  int networkPollHeld = 0;
  NetworkEventSource networkSource = nullptr;  // installed by the network library
  MusicFillSource fillSource = nullptr;        // installed by the sound library
  MusicFillRunning fillRunning = nullptr;
  DispatchRound dispatchRound;
  // Words that plug-ins store through the system table's global values
  // (tags 33, 39 and 43).
  uintptr_t pluginWords[3] = {};
  // Intervals and time-outs (interval.cpp).
  IntervalRecord* intervals = nullptr;
  IntervalRecord* timeouts = nullptr;
  // The first displays' opening (open.cpp).
  bool picturesPrepared = false;
  int quietOpening = 1;  // the start-up's quiet switch while the first displays open
  BitmapHandle* desktopSnapshot = nullptr;  // the monitor as it was, taken once
  DisplayBrushHooks brushHooks{};
  ErrorCode (*spriteRestore)() = nullptr;  // the sprite library's, when it is open
  ErrorCode (*animRealize)() = nullptr;    // the anim library's, when it is open
  // The text library's reader of the current font's attributes.
  int (*fontAttributeReader)(VmState* L, int32_t attribute) = nullptr;
  DisplayVideoHooks videoHooks{};
  int copyingVideoFrames = 0;  // the window copy of a video frame is not clipped
  DisplayRecord* spareDisplay =
      nullptr;  // drawing's display while none exists           // installed by the brush library
  // The scaled refresh's scratch bitmap (refresh.cpp).
  BitmapHandle* refreshScratch = nullptr;
  int32_t scratchWidth = 0, scratchHeight = 0;
  int partialScaledRefresh = 0;
  // Raised while a background-picture transition runs synchronously.
  int32_t transitionRunning = 0;
  // The input commands' watch of taken events (inputcmds.cpp).
  InputWatch inputWatch{};
  // Legacy events (legacy.cpp): the list, the ALL reports of types 11 to
  // 14, the button the pointer entered last, the last event code and a
  // label jump that waits for the command that ran the dispatcher.
  LegacyEvent* legacyEvents = nullptr;
  int32_t legacyAll[4] = {0, 0, 0, 0};
  LegacyEvent* legacyOver = nullptr;
  int32_t legacyCode = 0;
  int32_t legacyJump = -1;
  int32_t legacyCloseReport = 0;
  int32_t whileMouseOnBroken = 0;
  // User event types (usertype.cpp).
  UserEventType* userTypes = nullptr;
  int32_t lastUserType = EVENT_FIRSTUSERTYPE - 1;
};

extern DisplayContext displayContext;
