#pragma once

#include <imsdk.h>

#include <QString>
#include <optional>

// The IM SDK's C functions, bound by name from a library loaded at run time.
struct ImSdkApi {
#define SARVO_IMSDK_MEMBER(name) decltype(&::name) name = nullptr;
    IMSDK_FUNCTIONS(SARVO_IMSDK_MEMBER)
#undef SARVO_IMSDK_MEMBER
};

namespace ImSdkLibrary {

// Where the library is looked for: SARVO_IMSDK, else libimsdk.so beside the executable, else
// the system search path.
QString defaultPath();

// Loads the library and binds every function; on failure returns none and says why in `error`.
// A loaded library stays loaded for the life of the process.
std::optional<ImSdkApi> load(const QString &path, QString *error);

} // namespace ImSdkLibrary
