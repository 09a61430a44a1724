// The storage watcher's thread: stopping it, and counting it for the tests.
#pragma once

#include <cstdint>

#include "quil/device.h"

namespace quil {

// Stops the device's storage poll thread and waits for it to end (unless
// called from that thread's own callback, which cannot wait for itself).
void stopPollThread(DeviceRecord& rec);

// Storage poll threads of a device that have been started and have not yet
// returned: 0 or 1. A thread counts from just before it is created, so a
// QUIL_SetOneDataStorage that has returned is always seen.
int storagePollThreads(std::int32_t id);

}  // namespace quil
