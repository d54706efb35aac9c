#include "FakeSdk.h"

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

namespace {

class Worker {
public:
    Worker() : m_thread([this] { run(); }) {}
    ~Worker()
    {
        {
            std::lock_guard g(m_mutex);
            m_stop = true;
        }
        m_cv.notify_all();
        m_thread.join();
    }

    void post(std::function<void()> task)
    {
        {
            std::lock_guard g(m_mutex);
            m_tasks.push_back(std::move(task));
        }
        m_cv.notify_all();
    }

    void drain()
    {
        std::unique_lock lock(m_mutex);
        m_idle.wait(lock, [this] { return m_tasks.empty() && !m_busy; });
    }

    std::thread::id id() const { return m_thread.get_id(); }

private:
    void run()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_cv.wait(lock, [this] { return m_stop || !m_tasks.empty(); });
            if (m_stop && m_tasks.empty())
                return;
            auto task = std::move(m_tasks.front());
            m_tasks.pop_front();
            m_busy = true;
            lock.unlock();
            task();
            lock.lock();
            m_busy = false;
            if (m_tasks.empty())
                m_idle.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_cv, m_idle;
    std::deque<std::function<void()>> m_tasks;
    bool m_busy = false;
    bool m_stop = false;
    std::thread m_thread;
};

struct State {
    std::mutex mutex;
    std::vector<FakeSdk::Call> calls;
    std::map<std::string, std::deque<std::vector<FakeSdk::Answer>>> scripts;
    int initResult = 1;
    std::optional<std::string> createResult = std::string("{}");
    CB_I_S conn = nullptr, conversation = nullptr, message = nullptr;
    CB_I_S group = nullptr, user = nullptr, friends = nullptr;
    std::map<std::string, std::vector<std::function<void()>>> held; // answers kept until release()
};

State &state()
{
    static State s;
    return s;
}

Worker &worker()
{
    static Worker w;
    return w;
}

std::string arg(const char *s)
{
    return s ? std::string(s) : std::string("<null>");
}

void record(const char *fn, std::vector<std::string> args)
{
    std::lock_guard g(state().mutex);
    state().calls.push_back({fn, std::move(args), std::this_thread::get_id()});
}

std::vector<FakeSdk::Answer> answersFor(const std::string &fn, FakeSdk::Answer fallback)
{
    std::lock_guard g(state().mutex);
    auto &queue = state().scripts[fn];
    if (queue.empty())
        return {fallback};
    auto answers = std::move(queue.front());
    queue.pop_front();
    return answers;
}

// Posts an answer to the worker, or keeps it while calls of `fn` are held.
void deliver(const std::string &fn, std::function<void()> task)
{
    {
        std::lock_guard g(state().mutex);
        if (auto it = state().held.find(fn); it != state().held.end()) {
            it->second.push_back(std::move(task));
            return;
        }
    }
    worker().post(std::move(task));
}

// Answers an ordinary call on the worker thread; the operation ID is copied since the caller
// may free it as soon as the call returns.
void answer(const char *fn, CB_S_I_S_S cb, const char *operationID)
{
    std::string op = arg(operationID);
    for (const FakeSdk::Answer &a : answersFor(fn, {})) {
        deliver(fn, [cb, op, a] {
            std::string o = op, m = a.errMsg, d = a.data;
            cb(o.data(), a.errCode, m.data(), d.data());
        });
    }
}

void answerSend(CB_S_I_S_S_I cb, const char *operationID)
{
    std::string op = arg(operationID);
    for (const FakeSdk::Answer &a : answersFor("send_message", {0, "", "{}", 100})) {
        deliver("send_message", [cb, op, a] {
            std::string o = op, m = a.errMsg, d = a.data;
            cb(o.data(), a.errCode, m.data(), d.data(), a.progress);
        });
    }
}

char *created()
{
    std::lock_guard g(state().mutex);
    if (!state().createResult)
        return nullptr;
    return strdup(state().createResult->c_str());
}

void emitTo(CB_I_S State::*which, int event, const char *data)
{
    std::optional<std::string> copy;
    if (data)
        copy = data;
    worker().post([which, event, copy]() mutable {
        CB_I_S cb;
        {
            std::lock_guard g(state().mutex);
            cb = state().*which;
        }
        if (cb)
            cb(event, copy ? copy->data() : nullptr);
    });
}

} // namespace

namespace FakeSdk {

void reset()
{
    worker().drain();
    std::lock_guard g(state().mutex);
    State &s = state();
    s.calls.clear();
    s.scripts.clear();
    s.initResult = 1;
    s.createResult = std::string("{}");
    s.conn = s.conversation = s.message = s.group = s.user = s.friends = nullptr;
    s.held.clear();
}

void script(const std::string &fn, std::vector<Answer> answers)
{
    std::lock_guard g(state().mutex);
    state().scripts[fn].push_back(std::move(answers));
}

void silence(const std::string &fn)
{
    script(fn, {});
}

void hold(const std::string &fn)
{
    std::lock_guard g(state().mutex);
    state().held[fn];
}

void release(const std::string &fn)
{
    std::vector<std::function<void()>> answers;
    {
        std::lock_guard g(state().mutex);
        auto it = state().held.find(fn);
        if (it == state().held.end())
            return;
        answers = std::move(it->second);
        state().held.erase(it);
    }
    for (auto &task : answers)
        worker().post(std::move(task));
}

void setInitResult(int result)
{
    std::lock_guard g(state().mutex);
    state().initResult = result;
}

void setCreateResult(std::optional<std::string> text)
{
    std::lock_guard g(state().mutex);
    state().createResult = std::move(text);
}

std::vector<Call> calls()
{
    std::lock_guard g(state().mutex);
    return state().calls;
}

std::vector<Call> callsOf(const std::string &fn)
{
    std::vector<Call> out;
    for (Call &c : calls())
        if (c.fn == fn)
            out.push_back(std::move(c));
    return out;
}

void emitConn(int event) { emitTo(&State::conn, event, nullptr); }
void emitConversation(int event, const char *data) { emitTo(&State::conversation, event, data); }
void emitMessage(int event, const char *data) { emitTo(&State::message, event, data); }

void drain() { worker().drain(); }
std::thread::id workerThread() { return worker().id(); }

} // namespace FakeSdk

// ---- the C interface ----

extern "C" {

int init_sdk(CB_I_S connListener, char *operationID, char *config)
{
    record("init_sdk", {arg(operationID), arg(config)});
    std::lock_guard g(state().mutex);
    if (state().initResult)
        state().conn = connListener;
    return state().initResult;
}

#define FAKE_LISTENER(fn, member)                                                                  \
    void fn(CB_I_S listener)                                                                       \
    {                                                                                              \
        record(#fn, {});                                                                           \
        std::lock_guard g(state().mutex);                                                          \
        state().member = listener;                                                                 \
    }
FAKE_LISTENER(set_group_listener, group)
FAKE_LISTENER(set_conversation_listener, conversation)
FAKE_LISTENER(set_advanced_msg_listener, message)
FAKE_LISTENER(set_user_listener, user)
FAKE_LISTENER(set_friend_listener, friends)
#undef FAKE_LISTENER

#define FAKE_CALL0(fn)                                                                             \
    void fn(CB_S_I_S_S cb, char *op)                                                               \
    {                                                                                              \
        record(#fn, {});                                                                           \
        answer(#fn, cb, op);                                                                       \
    }
#define FAKE_CALL1(fn)                                                                             \
    void fn(CB_S_I_S_S cb, char *op, char *a)                                                      \
    {                                                                                              \
        record(#fn, {arg(a)});                                                                     \
        answer(#fn, cb, op);                                                                       \
    }
#define FAKE_CALL2(fn)                                                                             \
    void fn(CB_S_I_S_S cb, char *op, char *a, char *b)                                             \
    {                                                                                              \
        record(#fn, {arg(a), arg(b)});                                                             \
        answer(#fn, cb, op);                                                                       \
    }

FAKE_CALL2(login)
FAKE_CALL0(logout)
FAKE_CALL0(get_all_conversation_list)
FAKE_CALL1(get_advanced_history_message_list)
FAKE_CALL2(revoke_message)
FAKE_CALL2(delete_message)
FAKE_CALL1(mark_conversation_message_as_read)
FAKE_CALL2(typing_status_update)
FAKE_CALL2(set_conversation)
FAKE_CALL1(hide_conversation)
FAKE_CALL1(get_friend_application_list_as_recipient)
FAKE_CALL1(accept_friend_application)
FAKE_CALL1(refuse_friend_application)
FAKE_CALL1(add_friend)
FAKE_CALL1(delete_friend)
FAKE_CALL2(add_black)
FAKE_CALL0(get_joined_group_list)
FAKE_CALL1(get_users_info)
FAKE_CALL0(get_self_user_info)
FAKE_CALL1(set_self_info)

void get_friend_list(CB_S_I_S_S cb, char *op, int filterBlack)
{
    record("get_friend_list", {std::to_string(filterBlack)});
    answer("get_friend_list", cb, op);
}

void send_message(CB_S_I_S_S_I cb, char *op, char *messageJSON, char *recvID, char *groupID, char *offlinePushInfo,
                  int isOnlineOnly)
{
    record("send_message", {arg(messageJSON), arg(recvID), arg(groupID), arg(offlinePushInfo), std::to_string(isOnlineOnly)});
    answerSend(cb, op);
}

char *create_text_message(char *op, char *text)
{
    record("create_text_message", {arg(op), arg(text)});
    return created();
}

char *create_image_message_from_full_path(char *op, char *path)
{
    record("create_image_message_from_full_path", {arg(op), arg(path)});
    return created();
}

char *create_file_message_from_full_path(char *op, char *path, char *name)
{
    record("create_file_message_from_full_path", {arg(op), arg(path), arg(name)});
    return created();
}

char *create_sound_message_from_full_path(char *op, char *path, long long duration)
{
    record("create_sound_message_from_full_path", {arg(op), arg(path), std::to_string(duration)});
    return created();
}

char *create_quote_message(char *op, char *text, char *quoted)
{
    record("create_quote_message", {arg(op), arg(text), arg(quoted)});
    return created();
}

char *create_forward_message(char *op, char *message)
{
    record("create_forward_message", {arg(op), arg(message)});
    return created();
}

char *create_custom_message(char *op, char *data, char *extension, char *description)
{
    record("create_custom_message", {arg(op), arg(data), arg(extension), arg(description)});
    return created();
}

} // extern "C"
