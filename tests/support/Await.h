#pragma once

#include "base/Error.h"

#include <qcoro/qcorotask.h>
#include <optional>
#include <type_traits>

// The result of a coroutine driven to completion in a test: its value, or the Error it threw.
template <typename T>
struct Outcome {
    std::conditional_t<std::is_void_v<T>, bool, std::optional<T>> value{};
    std::optional<Error> error;
};

template <typename T>
QCoro::Task<Outcome<T>> captureOutcome(QCoro::Task<T> task)
{
    Outcome<T> out;
    try {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(task);
            out.value = true;
        } else {
            out.value = co_await std::move(task);
        }
    } catch (const Error &e) {
        out.error = e;
    }
    co_return out;
}

// Runs the task to completion on a local event loop (never a sleep).
template <typename T>
Outcome<T> await(QCoro::Task<T> task)
{
    return QCoro::waitFor(captureOutcome(std::move(task)));
}
