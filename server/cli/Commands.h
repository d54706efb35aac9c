#pragma once

#include <QStringList>
#include <QTextStream>

// The sarvo-server command line: serve, add-user, add-friend, add-group.
namespace Cli {

// `args` without the program name. Returns the exit status; `serve` runs the event loop until
// SIGINT/SIGTERM.
int run(const QStringList &args, QTextStream &out, QTextStream &err);

} // namespace Cli
