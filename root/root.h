// The program's composition root: the one library above every folder.
#pragma once

// Installs the tables of the player's command libraries and folder context
// records into the runtime's start-up and shut-down (SetPlayerComposition),
// and the plug-in host library into the plug-in system (InstallPluginHost).
void InstallPlayerComposition();

// Installs the hooks through which lower folders reach the services of
// higher ones; the composition installs them at load and by the player's
// main.
void InstallFolderHooks();
