// The runtime folder's context record: every word, list and handler one
// run of the player builds in this folder, in one place, so that
// FreeRuntimeContext can release them all and put the record back in its
// start state (the default member values below).
//
// Left outside on purpose: the event queue's mutex (producer threads may
// post at any time, so it lives for the process), the slots that other
// threads read atomically (the queue's expiry time-out, payload freer and
// size filter, reset by Init through their setters), the test seams, and
// result buffers that hold nothing past the call that filled them.
#pragma once

#include <cstdio>
#include <vector>

#include "runtime/player.h"
#include "runtime/runtime.h"
#include "runtime/runtime_private.h"
#include "runtime/stream_private.h"

struct AttrHandlerNode;
struct TempFileNode;

constexpr int32_t EVENT_TIMEOUT_DEFAULT_MS = 60000;  // a minute, until the script sets another

struct RuntimeContext {
  // The icon library's start-up steps (startup.cpp).
  AppIconHooks appIconHooks = {};
  // The system library's preferences file (startup.cpp).
  PrefsFileHooks prefsFileHooks = {};
  // Global attributes (attrs.cpp): the handler chains and the built-in words.
  AttrHandlerNode* attrSetters = nullptr;
  AttrHandlerNode* attrGetters = nullptr;
  int quietFlag = 0;
  int deferBitmaps = 0;
  int scriptRunning = 0;
  // LegacyControl's switches, by LegacySwitch.
  int32_t legacySwitches[2] = {0, 1};
  // The last memory-file names made (chunkname.cpp), newest first.
  MemoryFileName* liveMemoryNames[MEMORY_NAMES_LIVE] = {};
  // The event queue (eventqueue.cpp), touched only under its mutex.
  EventRecord* queueHead = nullptr;
  EventRecord* queueTail = nullptr;  // kept so that appends do not walk the queue
  bool queueOpen = false;
  DateFields startDate = {};
  // Plug-in hooks (hooks.cpp).
  HookRecord* hooks = nullptr;
  int hookWalkDepth = 0;  // nesting of CallHooksOfKind
  bool hookSweepPending = false;
  // Registries (registry.cpp).
  LibraryEntry* libraries = nullptr;
  ObjectTypeEntry* objectTypes = nullptr;
  CustomErrorEntry* customErrors = nullptr;
  int32_t nextObjectTypeId = FIRST_OBJECT_TYPE_ID;
  // The attribute query's readers by built-in type number (registry.cpp).
  AttributeReader attributeReaders[ATTRIBUTE_READER_TYPES] = {};
  // Temporary files to delete at the end (scriptload.cpp).
  TempFileNode* tempFiles = nullptr;
  // The running applet's source line map and the console flush switch
  // (services.cpp).
  const SourceLineEntry* lineMap = nullptr;
  int consoleFlush = 0;
  // The open progress line ends in its own text, not in "...": its closing
  // word is set apart by "..." as the other progress lines show it.
  // Cleared by the closing word and by the next console output (which ends
  // the line first).
  bool progressWithoutEllipsis = false;
  // Virtual string files (vfile.cpp).
  VirtualFile* virtualFiles = nullptr;
  // Entry trees of linked directories that the preload handed to the
  // directory opener and that no directory has taken yet (scriptload.cpp).
  std::vector<DirEntryNode*> handedOutTrees;
};

extern RuntimeContext runtimeContext;
