// The process-wide stop signal: raised when the server is told to stop, it
// ends every wait of a command at once (exchanges with the device
// applications, the pauses of a reboot).
#pragma once

#include <chrono>

namespace stop {

void raise();
// Lowered again when the server starts.
void clear();
bool raised();
// A descriptor that polls readable while the signal is raised.
int pollFd();
// Waits `duration`; false when the signal is raised first (or already).
bool pause(std::chrono::milliseconds duration);

}  // namespace stop
