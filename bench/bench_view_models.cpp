// The list models at scale: 10 000 conversations reloaded, sorted and filtered; a chat paging
// through 10 000 messages and rendering their texts.
#include "FakeSdk.h"
#include "app/AppState.h"
#include "base/Json.h"
#include "im/IMService.h"
#include "ui/root/RootViewModel.h"
#include "ui/chat/ChatViewModel.h"
#include "base/Clock.h"
#include "e2e/E2E.h"
#include "e2e/PrefsStore.h"

#include <QJsonArray>
#include "im/Protocol.h"
#include <QJsonDocument>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

namespace {

struct Fixture {
    Fixture()
    {
        FakeSdk::reset();
        im.setup(dir.path());
        QJsonArray list;
        for (int i = 0; i < 10000; ++i) {
            const QJsonObject latest{{"clientMsgID", QString("m%1").arg(i)}, {"contentType", 101},
                                     {"textElem", QJsonObject{{"content", "see you tomorrow"}}}};
            list.append(QJsonObject{{"conversationID", QString("si_me_u%1").arg(i)},
                                    {"userID", QString("u%1").arg(i)},
                                    {"showName", QString("Friend number %1").arg(i)},
                                    {"unreadCount", i % 5},
                                    {"isPinned", i % 97 == 0},
                                    {"latestMsgSendTime", double(1700000000000LL + (i * 7919) % 100000)},
                                    {"latestMsg", QString::fromUtf8(QJsonDocument(latest).toJson(QJsonDocument::Compact))}});
        }
        page = QJsonDocument(list).toJson(QJsonDocument::Compact).toStdString();
    }

    void reload()
    {
        FakeSdk::script("get_all_conversation_list", {{0, "", page}});
        QCoro::waitFor(vm.reloadConversations());
    }

    QTemporaryDir dir;
    IMService im{FAKE_IMSDK_PATH};
    AppState app{im, [](QString, QString) -> QCoro::Task<void> { co_return; }};
    RootViewModel vm{im, app, nullptr, {}};
    std::string page;
};

void BM_ReloadConversations10k(benchmark::State &state)
{
    Fixture f;
    f.reload();
    for (auto _ : state)
        f.reload();
}
BENCHMARK(BM_ReloadConversations10k)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ParseConversationPage10k(benchmark::State &state)
{
    Fixture f;
    const QByteArray page = QByteArray::fromStdString(f.page);
    for (auto _ : state)
        benchmark::DoNotOptimize(Json::parseObjectArray(page));
}
BENCHMARK(BM_ParseConversationPage10k)->Unit(benchmark::kMillisecond);

void BM_SortedConversationsFiltered10k(benchmark::State &state)
{
    Fixture f;
    f.reload();
    f.vm.setConvFilter(state.range(0) ? " number 1 " : "");
    for (auto _ : state)
        benchmark::DoNotOptimize(f.vm.sortedConversations());
}
BENCHMARK(BM_SortedConversationsFiltered10k)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// 250 pages of 40: texts, quotes, edits and reactions, newest page first.
struct ChatFixture {
    ChatFixture()
    {
        FakeSdk::reset();
        im.setup(dir.path());
        for (int p = 0; p < 250; ++p) {
            QJsonArray page;
            for (int i = 0; i < 40; ++i) {
                const int n = (249 - p) * 40 + i;
                const QString id = QString("m%1").arg(n);
                QJsonObject m{{"clientMsgID", id}, {"sendID", n % 2 ? "me" : "bob"}, {"recvID", n % 2 ? "bob" : "me"},
                              {"sendTime", 1700000000000.0 + n}};
                if (n % 10 == 3) {
                    m.insert("contentType", 110);
                    m.insert("customElem", QJsonObject{{"data", Protocol::buildEdit(QString("m%1").arg(n - 1), "edited text")},
                                                       {"description", "mirelo-edit"}});
                } else if (n % 10 == 7) {
                    m.insert("contentType", 110);
                    m.insert("customElem", QJsonObject{{"data", Protocol::buildReaction(QString("m%1").arg(n - 1), "👍", "add")},
                                                       {"description", "mirelo-reaction"}});
                } else if (n % 10 == 5) {
                    m.insert("contentType", 114);
                    m.insert("quoteElem", QJsonObject{{"text", "quoting you"}, {"quoteMessage", QJsonObject{{"clientMsgID", "x"}}}});
                } else {
                    m.insert("contentType", 101);
                    m.insert("textElem", QJsonObject{{"content", QString("message number %1 with some words").arg(n)}});
                }
                page.append(m);
            }
            pages.push_back(QJsonDocument(page).toJson(QJsonDocument::Compact).toStdString());
        }
    }

    void loadAll(ChatViewModel &chat)
    {
        for (const std::string &page : pages)
            FakeSdk::script("get_advanced_history_message_list", {{0, "", page}});
        QCoro::waitFor(chat.loadInitial());
        while (chat.hasMore())
            QCoro::waitFor(chat.loadMore());
    }

    QTemporaryDir dir;
    IMService im{FAKE_IMSDK_PATH};
    AppState app{im, [](QString, QString) -> QCoro::Task<void> { co_return; }};
    FixedKeyDirectory directory;
    MemoryStore store;
    E2E e2e{directory, store};
    std::vector<std::string> pages;
};

void BM_ChatPagesIngest10k(benchmark::State &state)
{
    ChatFixture f;
    for (auto _ : state) {
        ChatViewModel chat(f.im, f.e2e, f.app, Clock::system(), "bob", "");
        f.loadAll(chat);
        if (chat.messages().size() != 10000)
            state.SkipWithError("wrong message count");
    }
}
BENCHMARK(BM_ChatPagesIngest10k)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_ChatDisplayText10k(benchmark::State &state)
{
    ChatFixture f;
    ChatViewModel chat(f.im, f.e2e, f.app, Clock::system(), "bob", "");
    f.loadAll(chat);
    for (auto _ : state)
        for (const QJsonObject &m : chat.messages())
            benchmark::DoNotOptimize(chat.displayText(m));
}
BENCHMARK(BM_ChatDisplayText10k)->Unit(benchmark::kMillisecond);

} // namespace
