// The stand-ins for the product's runtime libraries, and the one reset point of their state.
#pragma once

#include "platform/appliance_store.h"
#include "platform/archive_manager.h"
#include "platform/async_io.h"
#include "platform/byte_order.h"
#include "platform/cloud_store.h"
#include "platform/config.h"
#include "platform/counters.h"
#include "platform/crc32.h"
#include "platform/error.h"
#include "platform/fault_injection.h"
#include "platform/file_system.h"
#include "platform/identity.h"
#include "platform/job_manager.h"
#include "platform/local_files.h"
#include "platform/logging.h"
#include "platform/media_manager.h"
#include "platform/onmedia_label.h"
#include "platform/optical_drive.h"
#include "platform/remote_file.h"
#include "platform/remote_storage.h"
#include "platform/scale_out_storage.h"
#include "platform/sidb_client.h"
#include "platform/silo.h"
#include "platform/tape_drive.h"
#include "platform/thread_pool.h"
#include "platform/threads.h"

namespace platform {

// Returns every stand-in to its initial state and runs the registered resets of the library's
// once-per-process values. Sleeps become recorded only (no real waiting) and the clock becomes
// a fake one, starting at a fixed instant, that only sleeps and AdvanceClock move. Before the
// first reset, sleeps are real and the clock is the system's. Held locks are not touched: they
// belong to live objects.
void ResetAll();

// Registers a reset of a once-per-process value of the library (run by ResetAll).
void RegisterReset(void (*reset)());

// Sleep: total milliseconds slept since the last reset, and whether sleeps really wait.
long long SleptMs();
void SetRealSleep(bool real);
// The fake clock: move it forward.
void AdvanceClock(long long ms);
void AdvanceClockNs(long long ns);
void SetRealClock(bool real);

// The folder of the named locks' files. A process starts with a folder shared by the machine;
// ResetAll gives the process a folder of its own (removed when it exits), so test processes that
// run side by side do not contend, while children forked from a test share its locks. An empty
// name restores the machine's folder.
void SetNamedLockDirectory(const std::string& dir);
std::string NamedLockDirectory();

}  // namespace platform
