#pragma once

#include <QString>

// Slow salted hashes of what the client sends as the password (the MD5 hex of the real one).
// Stored as "pbkdf2-sha256$<iterations>$<salt base64>$<hash base64>", so the cost can rise
// later without invalidating stored hashes. CPU-heavy: call these off the event loop.
namespace Passwords {

inline constexpr int kDefaultIterations = 600000;

QString hash(const QString &secret, int iterations);
bool verify(const QString &secret, const QString &stored);
// What the client must send: 32 lower-case hex digits.
bool isMd5Hex(const QString &text);

} // namespace Passwords
