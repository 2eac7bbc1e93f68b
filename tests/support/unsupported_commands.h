// The commands of other platforms (and the ARexx ones) that fail here as
// unsupported, whatever their arguments.
#pragma once

inline constexpr const char* UNSUPPORTED_COMMANDS[] = {"ImageRequest",
                                                       "PermissionRequest",
                                                       "ReadRegistryKey",
                                                       "WriteRegistryKey",
                                                       "CreateShortcut",
                                                       "GetIconProperties",
                                                       "SetIconProperties",
                                                       "SetWBIcon",
                                                       "OpenAmigaGuide",
                                                       "CloseAmigaGuide",
                                                       "SetTrayIcon",
                                                       "GetShortcutPath",
                                                       "ShowToast",
                                                       "ShowRinghioMessage",
                                                       "GetApplicationList",
                                                       "SendApplicationMessage",
                                                       "ChangeApplicationIcon",
                                                       "PerformSelector",
                                                       "Vibrate",
                                                       "CallJavaMethod",
                                                       "SendRexxCommand",
                                                       "RunRexxScript",
                                                       "CreateRexxPort"};
