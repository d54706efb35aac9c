#pragma once

#include "ui/app/MacMainWindow.h"

#include <optional>

class QApplication;

// The composition of the desktop application, shared by `main` and the measuring programs.
namespace Shell {

// Names the application; call before the QApplication exists.
void prepare();
// Applies --profile, --server and --ca, the style and the crash handler. An exit code when the
// process must end now (bad arguments).
std::optional<int> configure(QApplication &app);
// The process-wide services the main window is built on.
MacShellServices services();

} // namespace Shell
