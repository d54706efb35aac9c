// Previews and reaction parsing run for every row and every incoming message.
#include "im/Protocol.h"
#include "im/Records.h"

#include <QJsonDocument>
#include <benchmark/benchmark.h>

namespace {

QJsonObject conversation(int i)
{
    const QJsonObject latest{{"clientMsgID", QString("m%1").arg(i)}, {"contentType", 101},
                             {"textElem", QJsonObject{{"content", "see you at the station at eight"}}}};
    return QJsonObject{{"conversationID", QString("si_a_%1").arg(i)}, {"showName", "Someone"}, {"unreadCount", i % 7},
                       {"latestMsg", QString::fromUtf8(QJsonDocument(latest).toJson(QJsonDocument::Compact))}};
}

void BM_ConversationRowPreview(benchmark::State &state)
{
    QList<QJsonObject> rows;
    for (int i = 0; i < 1000; ++i)
        rows << conversation(i);
    for (auto _ : state) {
        for (const QJsonObject &c : rows) {
            benchmark::DoNotOptimize(Records::convKey(c));
            benchmark::DoNotOptimize(Protocol::briefOf(Records::latestMsgDict(c)));
        }
    }
    state.SetItemsProcessed(state.iterations() * rows.size());
}
BENCHMARK(BM_ConversationRowPreview);

void BM_ParseReaction(benchmark::State &state)
{
    const QJsonObject msg{{"contentType", 110}, {"sendID", "bob"},
                          {"customElem", QJsonObject{{"data", Protocol::buildReaction("m1", "👍", "add")},
                                                     {"description", "mirelo-reaction"}}}};
    for (auto _ : state)
        benchmark::DoNotOptimize(Protocol::parseReaction(msg));
}
BENCHMARK(BM_ParseReaction);

} // namespace
