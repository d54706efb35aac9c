#pragma once

#include <imsdk.h>

#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// Control side of the fake IM SDK. Every C function records its call (name, arguments, calling
// thread) and answers from the script on the fake's own worker thread.
namespace FakeSdk {

struct Call {
    std::string fn;
    std::vector<std::string> args; // null arguments read as "<null>"
    std::thread::id thread;
};

struct Answer {
    int errCode = 0;
    std::string errMsg;
    std::string data;
    int progress = 0;
};

// Clears calls, scripts and listeners; init_sdk succeeds again and create_* return "{}".
void reset();

// The answers to the next call of `fn`, delivered in order. Without a script a call gets one
// answer {0, "", ""} (send_message: progress 100 and data "{}").
void script(const std::string &fn, std::vector<Answer> answers);
// Answer nothing to the next call of `fn`.
void silence(const std::string &fn);
// Keep the answers to calls of `fn` (scripted or not) until release(fn) delivers them in order,
// so a test can act while a call waits for its answer.
void hold(const std::string &fn);
void release(const std::string &fn);
void setInitResult(int result);
// What the create_* functions return (malloc'd copy); none returns a null pointer.
void setCreateResult(std::optional<std::string> text);

std::vector<Call> calls();
std::vector<Call> callsOf(const std::string &fn);

// Listener events, delivered on the worker thread; a null `data` passes a null pointer.
void emitConn(int event);
void emitConversation(int event, const char *data);
void emitMessage(int event, const char *data);

// Blocks until the worker has delivered everything queued so far.
void drain();
std::thread::id workerThread();

} // namespace FakeSdk
