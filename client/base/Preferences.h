#pragma once

#include <QSettings>
#include <memory>

// The per-user preferences store. It holds tokens and private keys, so its file is created
// readable by the user only and kept so after every write.
namespace Preferences {

std::unique_ptr<QSettings> open();
// Writes pending changes and restores owner-only permissions on the file.
void commit(QSettings &settings);

} // namespace Preferences
