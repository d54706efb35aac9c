#pragma once

// Data handed to another thread through Qt (queued and blocking calls, the thread pool, futures,
// thread start and end) is ordered by Qt's own locks. The system's Qt is not built for
// ThreadSanitizer, which therefore does not see that order and reports every such hand-over;
// these helpers state it. In other builds they are empty and cost nothing.

#if defined(__SANITIZE_THREAD__)
#define SARVO_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SARVO_TSAN 1
#endif
#endif

#ifdef SARVO_TSAN
#include <memory>
extern "C" void __tsan_acquire(void *address);
extern "C" void __tsan_release(void *address);
#endif

#include <utility>

namespace HandOver {

// One hand-over: what a thread did before release() is seen by a thread after acquire().
class Token {
public:
#ifdef SARVO_TSAN
    void release() const { __tsan_release(m_cell.get()); }
    void acquire() const { __tsan_acquire(m_cell.get()); }
#else
    void release() const {}
    void acquire() const {}
#endif

    // `f` for another thread: it sees what this thread did so far, and whoever acquires this
    // token after it ran (a blocking caller, a future's reader) sees what `f` did.
    template <typename F>
    auto wrap(F f) const;

private:
#ifdef SARVO_TSAN
    std::shared_ptr<char> m_cell = std::make_shared<char>();
#endif
};

#ifdef SARVO_TSAN
// Qt stores the functor (moves or copies it, on either thread) around queueing it: each copy
// releases at its own address once built, and whatever reads a copy (a move, the call, the
// destructor) acquires at that copy's address first.
template <typename F>
class Handed {
public:
    Handed(F f, Token done) : m_f(std::move(f)), m_done(std::move(done)) { __tsan_release(this); }
    Handed(Handed &&other) : m_f((__tsan_acquire(&other), std::move(other.m_f))), m_done(std::move(other.m_done))
    {
        __tsan_release(this);
    }
    Handed(const Handed &other) : m_f((__tsan_acquire(const_cast<Handed *>(&other)), other.m_f)), m_done(other.m_done)
    {
        __tsan_release(this);
    }
    Handed &operator=(const Handed &) = delete;
    ~Handed() { __tsan_acquire(this); }

    decltype(auto) operator()()
    {
        __tsan_acquire(this);
        struct After {
            const Token &done;
            ~After() { done.release(); }
        } after{m_done};
        return m_f();
    }

private:
    F m_f;
    Token m_done;
};
#endif

template <typename F>
auto Token::wrap(F f) const
{
#ifdef SARVO_TSAN
    return Handed<F>(std::move(f), *this);
#else
    return f;
#endif
}

// `f` for another thread, which sees what this thread did so far.
template <typename F>
auto wrap(F f)
{
    return Token().wrap(std::move(f));
}

} // namespace HandOver
