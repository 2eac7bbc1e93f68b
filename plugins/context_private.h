// The plug-in folder's context record: the plug-ins one run of the player
// loaded, the loader lists, extension records, the display adapter in use,
// the scan's abort check and the unpacking directory, in one place, so
// that FreePluginContext can put the record back in its start state (the
// default member values below).
#pragma once

#include "plugins/plugins.h"
#include "plugins/plugin_private.h"

constexpr size_t LOADER_LIST_COUNT = 7;  // image, anim, sound, video, file, directory, network
constexpr size_t PLUGIN_TEMP_PATH_SIZE = 1024;

struct PluginContext {
  // Loaded plug-ins and the scan's abort check (manager.cpp).
  PluginEntry* entries = nullptr;
  PluginScanAbortCheck abortCheck = nullptr;
  // Loader lists per capability and the applet version that may extend
  // them (loaderlist.cpp).
  LoaderNode* lists[LOADER_LIST_COUNT] = {};
  int32_t appletVersion = 8;
  // Extension records and the one whose hook runs (extension.cpp).
  QmExtensionRecord* records = nullptr;
  QmExtensionRecord* current = nullptr;
  // The display adapter in use (picture.cpp, adapter.cpp), and the
  // switches that gate its installation: open while a plug-in's InitPlugin
  // or RequirePlugin runs, closed for good by the first display window.
  PluginBase* activeAdapter = nullptr;
  DisplayAdapter displayAdapter = {};
  RequesterAdapter requesterAdapter = {};
  PluginBase* timerAdapter = nullptr;
  int32_t installationOpen = 0;
  int32_t installationClosed = 0;
  // The directory plug-ins are unpacked into (pack.cpp); empty until made.
  char tempDirectory[PLUGIN_TEMP_PATH_SIZE] = "";
};

extern PluginContext pluginContext;
