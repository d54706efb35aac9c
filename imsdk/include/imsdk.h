/*
 * The IM SDK C interface.
 *
 * Texts are NUL-terminated UTF-8 and may be null. The caller owns every string it passes and may
 * free it as soon as the call returns: an SDK copies whatever it keeps. Strings returned by the
 * create_* functions are allocated with malloc; the caller frees them with free.
 *
 * Completion callbacks (CB_S_I_S_S, CB_S_I_S_S_I) and listener callbacks (CB_I_S) may be called
 * on any thread of the SDK, including the calling thread before the call returns. Send
 * completions report progress: 1..99 with errCode 0 are intermediate reports; the final report
 * carries progress 0 or at least 100, or a non-zero errCode.
 *
 * Any process may load the library. A Qt program creates its application object before the first
 * call; in a process without one the SDK runs its own on a thread of its own and the library then
 * stays loaded, whatever dlclose is called, until exit ends both.
 */
#ifndef SARVO_IMSDK_H
#define SARVO_IMSDK_H

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*CB_I_S)(int event, char *data);
typedef void (*CB_S_I_S_S)(char *operationID, int errCode, char *errMsg, char *data);
typedef void (*CB_S_I_S_S_I)(char *operationID, int errCode, char *errMsg, char *data, int progress);

/* Returns non-zero on success. */
int init_sdk(CB_I_S connListener, char *operationID, char *config);

void set_group_listener(CB_I_S listener);
void set_conversation_listener(CB_I_S listener);
void set_advanced_msg_listener(CB_I_S listener);
void set_user_listener(CB_I_S listener);
void set_friend_listener(CB_I_S listener);

void login(CB_S_I_S_S cb, char *operationID, char *userID, char *token);
void logout(CB_S_I_S_S cb, char *operationID);

void get_all_conversation_list(CB_S_I_S_S cb, char *operationID);
void get_advanced_history_message_list(CB_S_I_S_S cb, char *operationID, char *optionsJSON);

void send_message(CB_S_I_S_S_I cb, char *operationID, char *messageJSON, char *recvID, char *groupID,
                  char *offlinePushInfo, int isOnlineOnly);

char *create_text_message(char *operationID, char *text);
char *create_image_message_from_full_path(char *operationID, char *imagePath);
char *create_file_message_from_full_path(char *operationID, char *filePath, char *fileName);
char *create_sound_message_from_full_path(char *operationID, char *soundPath, long long duration);
char *create_quote_message(char *operationID, char *text, char *quotedMessageJSON);
char *create_forward_message(char *operationID, char *messageJSON);
char *create_custom_message(char *operationID, char *data, char *extension, char *description);

void revoke_message(CB_S_I_S_S cb, char *operationID, char *conversationID, char *clientMsgID);
void delete_message(CB_S_I_S_S cb, char *operationID, char *conversationID, char *clientMsgID);
void mark_conversation_message_as_read(CB_S_I_S_S cb, char *operationID, char *conversationID);
void typing_status_update(CB_S_I_S_S cb, char *operationID, char *recvID, char *msgTip);

void set_conversation(CB_S_I_S_S cb, char *operationID, char *conversationID, char *reqJSON);
void hide_conversation(CB_S_I_S_S cb, char *operationID, char *conversationID);

void get_friend_list(CB_S_I_S_S cb, char *operationID, int filterBlack);
void get_friend_application_list_as_recipient(CB_S_I_S_S cb, char *operationID, char *reqJSON);
void accept_friend_application(CB_S_I_S_S cb, char *operationID, char *reqJSON);
void refuse_friend_application(CB_S_I_S_S cb, char *operationID, char *reqJSON);
void add_friend(CB_S_I_S_S cb, char *operationID, char *reqJSON);
void delete_friend(CB_S_I_S_S cb, char *operationID, char *friendUserID);
void add_black(CB_S_I_S_S cb, char *operationID, char *blackUserID, char *ex);

void get_joined_group_list(CB_S_I_S_S cb, char *operationID);
void get_users_info(CB_S_I_S_S cb, char *operationID, char *userIDsJSON);
void get_self_user_info(CB_S_I_S_S cb, char *operationID);
void set_self_info(CB_S_I_S_S cb, char *operationID, char *userInfoJSON);

#ifdef __cplusplus
}
#endif

/* Every function above, in one list: the client binds them by name from this table. */
#define IMSDK_FUNCTIONS(X)                                                                         \
    X(init_sdk)                                                                                    \
    X(set_group_listener)                                                                          \
    X(set_conversation_listener)                                                                   \
    X(set_advanced_msg_listener)                                                                   \
    X(set_user_listener)                                                                           \
    X(set_friend_listener)                                                                         \
    X(login)                                                                                       \
    X(logout)                                                                                      \
    X(get_all_conversation_list)                                                                   \
    X(get_advanced_history_message_list)                                                           \
    X(send_message)                                                                                \
    X(create_text_message)                                                                         \
    X(create_image_message_from_full_path)                                                         \
    X(create_file_message_from_full_path)                                                          \
    X(create_sound_message_from_full_path)                                                         \
    X(create_quote_message)                                                                        \
    X(create_forward_message)                                                                      \
    X(create_custom_message)                                                                       \
    X(revoke_message)                                                                              \
    X(delete_message)                                                                              \
    X(mark_conversation_message_as_read)                                                           \
    X(typing_status_update)                                                                        \
    X(set_conversation)                                                                            \
    X(hide_conversation)                                                                           \
    X(get_friend_list)                                                                             \
    X(get_friend_application_list_as_recipient)                                                    \
    X(accept_friend_application)                                                                   \
    X(refuse_friend_application)                                                                   \
    X(add_friend)                                                                                  \
    X(delete_friend)                                                                               \
    X(add_black)                                                                                   \
    X(get_joined_group_list)                                                                       \
    X(get_users_info)                                                                              \
    X(get_self_user_info)                                                                          \
    X(set_self_info)

#endif
