#pragma once

#include "app/Credentials.h"

// The one stored session, under "mirelo_session" in the preferences store, sealed by the Vault.
namespace SessionStore {

inline constexpr const char *kKey = "mirelo_session";

void save(const Credentials &credentials);
// None when nothing is stored or the stored bytes are not a complete record (left untouched).
std::optional<Credentials> load();
// Only AppState clears the session.
void remove();

} // namespace SessionStore
