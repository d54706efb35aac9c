/*
 * A host without Qt: loads the SDK library named on the command line with dlopen, binds the C
 * functions by name, signs in and either waits for one text or sends one, then signs out.
 *
 *   imsdk_c_host LIBRARY CONFIG_JSON USER_ID TOKEN receive TEXT
 *       prints "ready" once signed in, then "received <message JSON>" for the first new message
 *       carrying TEXT; signs out and closes the library with dlclose before it returns.
 *   imsdk_c_host LIBRARY CONFIG_JSON USER_ID TOKEN send TEXT PEER_ID
 *       prints "sent <message JSON>" once the send completes, then returns still signed in with
 *       the library loaded: the SDK is torn down by exit, its connection open.
 *
 * Exit status 0 on success; every wait is bounded, so a silent SDK ends in a failure, not a hang.
 */
#include <imsdk.h>

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

enum { kWaitSeconds = 20, kNewMessage = 32 };

typedef int (*InitSdk)(CB_I_S, char *, char *);
typedef void (*SetListener)(CB_I_S);
typedef void (*Login)(CB_S_I_S_S, char *, char *, char *);
typedef void (*Logout)(CB_S_I_S_S, char *);
typedef char *(*CreateText)(char *, char *);
typedef void (*SendMessage)(CB_S_I_S_S_I, char *, char *, char *, char *, char *, int);

/* What the callbacks reported; they come on the SDK's threads. */
static pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_changed = PTHREAD_COND_INITIALIZER;
static int g_answered;      /* the last login/logout completed */
static int g_answerCode;
static int g_sent;          /* the send reached its final report */
static int g_sentCode;
static char *g_sentData;
static const char *g_expected; /* the text the receiver waits for */
static int g_gotMessage;
static char *g_received;       /* the first new message carrying it */

static void changed(void)
{
    pthread_cond_broadcast(&g_changed);
    pthread_mutex_unlock(&g_mutex);
}

static char *copy(const char *s)
{
    return strdup(s ? s : "");
}

static void onConnection(int event, char *data)
{
    fprintf(stderr, "connection event %d %s\n", event, data ? data : "");
}

static void onMessage(int event, char *data)
{
    pthread_mutex_lock(&g_mutex);
    if (event == kNewMessage && !g_gotMessage && g_expected && data && strstr(data, g_expected)) {
        g_received = copy(data);
        g_gotMessage = 1;
    }
    changed();
}

static void onAnswer(char *operationID, int errCode, char *errMsg, char *data)
{
    (void)data;
    pthread_mutex_lock(&g_mutex);
    if (errCode != 0)
        fprintf(stderr, "%s: %d %s\n", operationID ? operationID : "", errCode, errMsg ? errMsg : "");
    g_answerCode = errCode;
    g_answered = 1;
    changed();
}

static void onSend(char *operationID, int errCode, char *errMsg, char *data, int progress)
{
    pthread_mutex_lock(&g_mutex);
    if (errCode != 0 || progress == 0 || progress >= 100) {
        if (errCode != 0)
            fprintf(stderr, "%s: %d %s\n", operationID ? operationID : "", errCode, errMsg ? errMsg : "");
        g_sentCode = errCode;
        g_sentData = copy(data);
        g_sent = 1;
    }
    changed();
}

/* Waits until *flag is set; 0 after kWaitSeconds. */
static int waitFor(const int *flag)
{
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += kWaitSeconds;
    pthread_mutex_lock(&g_mutex);
    int rc = 0;
    while (!*flag && rc != ETIMEDOUT)
        rc = pthread_cond_timedwait(&g_changed, &g_mutex, &deadline);
    const int done = *flag;
    pthread_mutex_unlock(&g_mutex);
    return done;
}

static void *symbol(void *library, const char *name)
{
    void *f = dlsym(library, name);
    if (!f)
        fprintf(stderr, "missing %s: %s\n", name, dlerror());
    return f;
}

/* Runs one login or logout to its answer; 0 unless it succeeded. */
static int answered(const char *what)
{
    if (!waitFor(&g_answered)) {
        fprintf(stderr, "%s: no answer\n", what);
        return 0;
    }
    return g_answerCode == 0;
}

int main(int argc, char **argv)
{
    const int receiving = argc == 7 && strcmp(argv[5], "receive") == 0;
    const int sending = argc == 8 && strcmp(argv[5], "send") == 0;
    if (!receiving && !sending) {
        fprintf(stderr, "usage: %s LIBRARY CONFIG_JSON USER_ID TOKEN receive TEXT | send TEXT PEER_ID\n", argv[0]);
        return 2;
    }
    char *config = argv[2], *userID = argv[3], *token = argv[4], *text = argv[6];

    void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 2;
    }
    const InitSdk initSdk = (InitSdk)symbol(library, "init_sdk");
    const SetListener setMessageListener = (SetListener)symbol(library, "set_advanced_msg_listener");
    const Login login = (Login)symbol(library, "login");
    const Logout logout = (Logout)symbol(library, "logout");
    const CreateText createText = (CreateText)symbol(library, "create_text_message");
    const SendMessage sendMessage = (SendMessage)symbol(library, "send_message");
    if (!initSdk || !setMessageListener || !login || !logout || !createText || !sendMessage)
        return 2;

    if (!initSdk(onConnection, "init", config)) {
        fprintf(stderr, "init_sdk failed\n");
        return 1;
    }
    g_expected = text;
    setMessageListener(onMessage);
    login(onAnswer, "login", userID, token);
    if (!answered("login"))
        return 1;
    printf("ready\n");
    fflush(stdout);

    if (receiving) {
        if (!waitFor(&g_gotMessage)) {
            fprintf(stderr, "no message with \"%s\"\n", text);
            return 1;
        }
        printf("received %s\n", g_received);
    } else {
        char *message = createText("text", text);
        if (!message) {
            fprintf(stderr, "create_text_message failed\n");
            return 1;
        }
        sendMessage(onSend, "send", message, argv[7], "", "", 0);
        free(message);
        if (!waitFor(&g_sent) || g_sentCode != 0) {
            fprintf(stderr, "send failed\n");
            return 1;
        }
        printf("sent %s\n", g_sentData);
    }
    fflush(stdout);
    if (sending)
        return 0;

    pthread_mutex_lock(&g_mutex);
    g_answered = 0;
    pthread_mutex_unlock(&g_mutex);
    logout(onAnswer, "logout");
    if (!answered("logout"))
        return 1;
    if (dlclose(library) != 0) {
        fprintf(stderr, "dlclose: %s\n", dlerror());
        return 1;
    }
    return 0;
}
