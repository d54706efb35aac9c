#pragma once

#include <imsdk.h>

#include <QByteArray>
#include <QHash>
#include <QPointer>
#include <QString>
#include <coroutine>
#include <functional>
#include <mutex>
#include <optional>

// One answer of the SDK to one call.
struct SdkAnswer {
    int errCode = 0;
    QString errMsg;
    QByteArray data;
    int progress = 0;
};

// Calls in flight, keyed by operation ID. One lock guards both tables; completions run outside it.
class PendingBox {
public:
    using Completion = std::function<void(SdkAnswer)>;

    static PendingBox &shared();

    void add(const QByteArray &operationID, Completion completion, bool send);
    // Removes the entry and returns its completion; empty when there was none.
    Completion take(const QByteArray &operationID, bool send);
    qsizetype size(bool send);

private:
    std::mutex m_lock;
    QHash<QByteArray, Completion> m_pending;
    QHash<QByteArray, Completion> m_pendingSend;
};

extern "C" {
void mlCbSISS(char *operationID, int errCode, char *errMsg, char *data);
void mlCbSISSI(char *operationID, int errCode, char *errMsg, char *data, int progress);
}

// Awaitable for one SDK call. The entry is stored before the SDK call starts, so an answer that
// arrives before the call returns still finds it; the awaiting coroutine always resumes on its
// own thread's event loop, never on the SDK's thread.
//
// `Body` is called once with (callback, operation ID) and must start exactly one SDK call. Keep
// its captures trivially destructible (references): g++ 12 may destroy temporaries of a co_await
// expression twice.
template <bool Send, typename Body>
class SdkCall {
public:
    using Callback = std::conditional_t<Send, CB_S_I_S_S_I, CB_S_I_S_S>;

    // With `immediate`, no SDK call is made and the awaiter answers at once.
    explicit SdkCall(Body body, std::optional<SdkAnswer> immediate = std::nullopt)
        : m_body(body), m_immediate(immediate.has_value())
    {
        if (immediate)
            m_answer = std::move(*immediate);
    }

    bool await_ready() const noexcept { return m_immediate; }
    void await_suspend(std::coroutine_handle<> handle);
    SdkAnswer await_resume() { return std::move(m_answer); }

private:
    Body m_body;
    bool m_immediate;
    SdkAnswer m_answer;
};

template <typename Body>
auto sdkCall(Body body, std::optional<SdkAnswer> immediate = std::nullopt)
{
    return SdkCall<false, Body>(body, std::move(immediate));
}

template <typename Body>
auto sdkSendCall(Body body, std::optional<SdkAnswer> immediate = std::nullopt)
{
    return SdkCall<true, Body>(body, std::move(immediate));
}

// A fresh operation ID: a random UUID in text form.
QByteArray newOperationID();

namespace PendingDetail {
// Posts `handle.resume()` to the event loop of the calling thread.
std::function<void()> resumer(std::coroutine_handle<> handle);
}

template <bool Send, typename Body>
void SdkCall<Send, Body>::await_suspend(std::coroutine_handle<> handle)
{
    QByteArray operationID = newOperationID();
    auto resume = PendingDetail::resumer(handle);
    PendingBox::shared().add(
        operationID,
        [this, resume](SdkAnswer answer) {
            m_answer = std::move(answer);
            resume();
        },
        Send);
    if constexpr (Send)
        m_body(&mlCbSISSI, operationID.data());
    else
        m_body(&mlCbSISS, operationID.data());
}
