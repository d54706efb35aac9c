#pragma once

// The Qt application of a host that has none (a C program, a script through a foreign-function
// interface): a QCoreApplication created, run and destroyed on a thread of its own, so that the
// SDK's threads, timers and sockets work there as in a Qt program. A Qt host keeps its own
// application and this never starts.
namespace ImSdk::ApplicationThread {

// Starts the application unless one exists and returns once it is up (true when it started it);
// from then on the library stays loaded until exit. `teardown` runs on the application's thread
// before the application ends. Thread-safe; at most one per process, never again after stop().
bool ensure(void (*teardown)());

// Ends the application and waits for its thread; `teardown` runs there first. Runs at exit.
// Does nothing when it was not started, or when called from inside a Qt event loop (an exit
// from a callback on an SDK thread), which the teardown would wait for.
void stop();

} // namespace ImSdk::ApplicationThread
