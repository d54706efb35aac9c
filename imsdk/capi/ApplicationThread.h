#pragma once

// The Qt application of a host that has none (a C program, a script through a foreign-function
// interface): a QCoreApplication created, run and destroyed on a thread of its own, so that the
// SDK's threads, timers and sockets work there as in a Qt program. A Qt host keeps its own
// application and this never starts.
namespace ImSdk::ApplicationThread {

// Starts the application unless one exists and returns once it is up. Thread-safe; at most one
// per process, and never again after stop().
void ensure();

// Ends the application and waits for its thread; its post routines (the SDK's teardown) run
// there first. Also runs at exit and when the library is unloaded. Does nothing when it was not
// started, or when called from inside a Qt event loop (a callback on an SDK thread), which the
// teardown itself would wait for.
void stop();

} // namespace ImSdk::ApplicationThread
