// Every label of every row is a table lookup, and each lookup reads the stored language.
#include "l10n/L10n.h"

#include <QSettings>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

namespace {

void BM_TranslateLabel(benchmark::State &state)
{
    // A throw-away preferences location, so the run never touches the user's own.
    QTemporaryDir dir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    QSettings().setValue(L10n::kStoreKey, QStringLiteral("zh-HK"));
    const QString keys[] = {"previewPhoto", "today", "recalledAMessage", "noSuchKey"};
    for (auto _ : state) {
        for (const QString &key : keys)
            benchmark::DoNotOptimize(L10n::t(key));
    }
    state.SetItemsProcessed(state.iterations() * qsizetype(std::size(keys)));
}
BENCHMARK(BM_TranslateLabel);

} // namespace
