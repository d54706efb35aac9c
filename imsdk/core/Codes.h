#pragma once

// SDK-local error codes (gateway codes are passed on unchanged) and the listener event numbers.
namespace ImSdk {

enum ErrorCode {
    kNotConnected = 10000,   // no authenticated connection (also: the server was unreachable at login)
    kBadArguments = 10001,   // malformed JSON, missing or wrong-typed arguments
    kUploadFailed = 10002,   // a media file could not be read or stored
    kNotSignedIn = 10003,    // init_sdk or login has not happened
    kConnectionLost = 10004, // the connection went down before the answer came
};

namespace Event {
// Connection listener
constexpr int Connecting = 0;
constexpr int Connected = 1;
constexpr int ConnectFailed = 2;
constexpr int Kicked = 3;
constexpr int TokenInvalid = 4;
// Conversation listener
constexpr int NewConversation = 29;
constexpr int ConversationChanged = 30;
constexpr int Typing = 55;
// Message listener
constexpr int NewMessage = 32;
constexpr int Recalled = 35;
// Friend listener
constexpr int FriendRequest = 73;
constexpr int FriendAdded = 76;
constexpr int FriendDeleted = 77;
constexpr int BlackAdded = 79;
} // namespace Event

namespace ContentType {
constexpr int Text = 101;
constexpr int Picture = 102;
constexpr int Sound = 103;
constexpr int Video = 104;
constexpr int File = 105;
constexpr int Custom = 110;
constexpr int Quote = 114;
constexpr int Recall = 2101;
} // namespace ContentType

} // namespace ImSdk
