// The conversation list: reloading 10 000 conversations from the SDK and sorting/filtering them.
#include "FakeSdk.h"
#include "app/AppState.h"
#include "base/Json.h"
#include "im/IMService.h"
#include "ui/root/RootViewModel.h"

#include <QJsonArray>
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

} // namespace
