#pragma once

#include "base/Error.h"

// A failed request to one of our services; its message is what the user sees.
class APIError : public Error {
public:
    explicit APIError(QString message) : Error(QStringLiteral("API"), 0, std::move(message)) {}
};
