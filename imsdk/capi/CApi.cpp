// The C interface over one process-wide instance. Only these functions leave the library.
#pragma GCC visibility push(default)
#include <imsdk.h>
#pragma GCC visibility pop

#include "capi/ApplicationThread.h"
#include "core/Codes.h"
#include "core/Instance.h"

#include <QCoreApplication>
#include <QString>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

ImSdk::Instance *g_instance = nullptr;
std::once_flag g_once;

void destroyDefault()
{
    delete g_instance;
    g_instance = nullptr;
}

ImSdk::Instance &instance()
{
    std::call_once(g_once, [] {
        // A host without a Qt application gets ours, before this thread makes any Qt object.
        const bool own = ImSdk::ApplicationThread::ensure(destroyDefault);
        g_instance = new ImSdk::Instance;
        // Stop the SDK thread before the host's application object (and its event dispatcher)
        // goes away.
        if (!own && QCoreApplication::instance())
            qAddPostRoutine(destroyDefault);
    });
    return *g_instance;
}

QString str(const char *s)
{
    return QString::fromUtf8(s ? s : "");
}

QByteArray bytes(const char *s)
{
    return QByteArray(s ? s : "");
}

char *dup(const QByteArray &text)
{
    if (text.isEmpty())
        return nullptr;
    char *out = static_cast<char *>(std::malloc(size_t(text.size()) + 1));
    if (out)
        std::memcpy(out, text.constData(), size_t(text.size()) + 1);
    return out;
}

// Callers may free their strings once a call returns, so everything is copied first.
ImSdk::Callback wrap(CB_S_I_S_S cb, const char *operationID)
{
    if (!cb)
        return [](int, const QString &, const QByteArray &) {};
    return [cb, op = std::string(operationID ? operationID : "")](int code, const QString &msg, const QByteArray &data) {
        std::string o = op, m = msg.toStdString(), d = data.toStdString();
        cb(o.data(), code, m.data(), d.data());
    };
}

ImSdk::SendCallback wrap(CB_S_I_S_S_I cb, const char *operationID)
{
    if (!cb)
        return [](int, const QString &, const QByteArray &, int) {};
    return [cb, op = std::string(operationID ? operationID : "")](int code, const QString &msg, const QByteArray &data, int progress) {
        std::string o = op, m = msg.toStdString(), d = data.toStdString();
        cb(o.data(), code, m.data(), d.data(), progress);
    };
}

ImSdk::Listener wrap(CB_I_S listener)
{
    if (!listener)
        return {};
    return [listener](int event, const QByteArray &data) {
        std::string d = data.toStdString();
        listener(event, d.data());
    };
}

} // namespace

extern "C" {

int init_sdk(CB_I_S connListener, char *, char *config)
{
    ImSdk::Instance &sdk = instance();
    if (!sdk.init(bytes(config), wrap(connListener)))
        return 0;
    return 1;
}

void set_group_listener(CB_I_S listener) { instance().setListener(ImSdk::ListenerKind::Group, wrap(listener)); }
void set_conversation_listener(CB_I_S listener) { instance().setListener(ImSdk::ListenerKind::Conversation, wrap(listener)); }
void set_advanced_msg_listener(CB_I_S listener) { instance().setListener(ImSdk::ListenerKind::Message, wrap(listener)); }
void set_user_listener(CB_I_S listener) { instance().setListener(ImSdk::ListenerKind::User, wrap(listener)); }
void set_friend_listener(CB_I_S listener) { instance().setListener(ImSdk::ListenerKind::Friend, wrap(listener)); }

void login(CB_S_I_S_S cb, char *operationID, char *userID, char *token)
{
    instance().login(str(userID), str(token), wrap(cb, operationID));
}

void logout(CB_S_I_S_S cb, char *operationID) { instance().logout(wrap(cb, operationID)); }

void get_all_conversation_list(CB_S_I_S_S cb, char *operationID) { instance().conversations(wrap(cb, operationID)); }

void get_advanced_history_message_list(CB_S_I_S_S cb, char *operationID, char *optionsJSON)
{
    instance().history(bytes(optionsJSON), wrap(cb, operationID));
}

void send_message(CB_S_I_S_S_I cb, char *operationID, char *messageJSON, char *recvID, char *groupID, char *offlinePushInfo, int)
{
    instance().send(bytes(messageJSON), str(recvID), str(groupID), bytes(offlinePushInfo), wrap(cb, operationID));
}

char *create_text_message(char *, char *text) { return dup(instance().createText(str(text))); }
char *create_image_message_from_full_path(char *, char *imagePath) { return dup(instance().createImage(str(imagePath))); }

char *create_file_message_from_full_path(char *, char *filePath, char *fileName)
{
    return dup(instance().createFile(str(filePath), str(fileName)));
}

char *create_sound_message_from_full_path(char *, char *soundPath, long long duration)
{
    return dup(instance().createSound(str(soundPath), duration));
}

char *create_quote_message(char *, char *text, char *quotedMessageJSON)
{
    return dup(instance().createQuote(str(text), bytes(quotedMessageJSON)));
}

char *create_forward_message(char *, char *messageJSON) { return dup(instance().createForward(bytes(messageJSON))); }

char *create_custom_message(char *, char *data, char *extension, char *description)
{
    return dup(instance().createCustom(str(data), str(extension), str(description)));
}

void revoke_message(CB_S_I_S_S cb, char *operationID, char *conversationID, char *clientMsgID)
{
    instance().revoke(str(conversationID), str(clientMsgID), wrap(cb, operationID));
}

void delete_message(CB_S_I_S_S cb, char *operationID, char *conversationID, char *clientMsgID)
{
    instance().deleteMessage(str(conversationID), str(clientMsgID), wrap(cb, operationID));
}

void mark_conversation_message_as_read(CB_S_I_S_S cb, char *operationID, char *conversationID)
{
    instance().markRead(str(conversationID), wrap(cb, operationID));
}

void typing_status_update(CB_S_I_S_S cb, char *operationID, char *recvID, char *msgTip)
{
    instance().typing(str(recvID), str(msgTip), wrap(cb, operationID));
}

void set_conversation(CB_S_I_S_S cb, char *operationID, char *conversationID, char *reqJSON)
{
    instance().setConversation(str(conversationID), bytes(reqJSON), wrap(cb, operationID));
}

void hide_conversation(CB_S_I_S_S cb, char *operationID, char *conversationID)
{
    instance().hideConversation(str(conversationID), wrap(cb, operationID));
}

void get_friend_list(CB_S_I_S_S cb, char *operationID, int filterBlack) { instance().friends(filterBlack != 0, wrap(cb, operationID)); }

void get_friend_application_list_as_recipient(CB_S_I_S_S cb, char *operationID, char *reqJSON)
{
    instance().friendRequests(bytes(reqJSON), wrap(cb, operationID));
}

void accept_friend_application(CB_S_I_S_S cb, char *operationID, char *reqJSON)
{
    instance().acceptFriend(bytes(reqJSON), wrap(cb, operationID));
}

void refuse_friend_application(CB_S_I_S_S cb, char *operationID, char *reqJSON)
{
    instance().refuseFriend(bytes(reqJSON), wrap(cb, operationID));
}

void add_friend(CB_S_I_S_S cb, char *operationID, char *reqJSON) { instance().addFriend(bytes(reqJSON), wrap(cb, operationID)); }
void delete_friend(CB_S_I_S_S cb, char *operationID, char *friendUserID) { instance().deleteFriend(str(friendUserID), wrap(cb, operationID)); }

void add_black(CB_S_I_S_S cb, char *operationID, char *blackUserID, char *ex)
{
    instance().addBlack(str(blackUserID), str(ex), wrap(cb, operationID));
}

void get_joined_group_list(CB_S_I_S_S cb, char *operationID) { instance().groups(wrap(cb, operationID)); }
void get_users_info(CB_S_I_S_S cb, char *operationID, char *userIDsJSON) { instance().usersInfo(bytes(userIDsJSON), wrap(cb, operationID)); }
void get_self_user_info(CB_S_I_S_S cb, char *operationID) { instance().selfInfo(wrap(cb, operationID)); }
void set_self_info(CB_S_I_S_S cb, char *operationID, char *userInfoJSON) { instance().setSelfInfo(bytes(userInfoJSON), wrap(cb, operationID)); }

} // extern "C"
