// The host library: the host API that every plug-in receives in InitPlugin
// (hostapi.cpp) and the system's own picture loaders behind picture handles
// (inbuiltpictures.cpp). Its files live with the plug-in system, but their
// slots call services of every folder, so they are linked as a library of
// their own above all folders, beside the composition root, which installs
// them into the plug-in loader and the picture handles.
#pragma once

#include "plugins/qmplugin.h"

// The host API root: one static table, the same for every plug-in.
const PluginHostApi* GetPluginHostApi();
// Lends the picture handles the system's own loaders and scaler.
void InstallInbuiltPictureLoaders();
// Installs the host API and the picture loaders (SetPluginHostApi,
// SetInbuiltPictureLoaders).
void InstallPluginHost();
