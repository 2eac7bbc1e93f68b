// Helpers shared by the file, lock and program files of the platform layer.
#pragma once

#include <sys/stat.h>

#include "platform/linux/platform.h"

// Directory flag, size, protection flags and the three times of a stat
// record; the name field is emptied.
void FillFileInfoFromStat(const struct stat* st, FileInfo* info);
