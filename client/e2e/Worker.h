#pragma once

#include <qcoro/qcorotask.h>

#include <coroutine>
#include <exception>
#include <functional>

namespace WorkerDetail {

// Runs *job on the global thread pool, then resumes the coroutine on the thread that awaited.
struct Hop {
    std::function<void()> *job;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle) const;
    void await_resume() const noexcept {}
};

} // namespace WorkerDetail

// Runs `work` off the calling (GUI) thread and continues on the calling thread; an exception
// thrown by `work` is rethrown here. `work` is a named local that outlives the await.
template <typename Work>
QCoro::Task<void> onWorker(Work &work)
{
    std::exception_ptr failure;
    std::function<void()> job = [&work, &failure] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
    };
    co_await WorkerDetail::Hop{&job};
    if (failure)
        std::rethrow_exception(failure);
}
