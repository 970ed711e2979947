// Reboot and capability documents.
#pragma once

#include "common/json.h"

// sync, 8 s, banner, reboot, 3 s, reboot (all through the command runner).
int actionSetDeviceReboot(const char* body, JsonReply& out);
// The capability file's contents as "Parameters", byte for byte.
int actionGetDeviceCap(const char* path, const char* body, JsonReply& out);
