// Measures the desktop client's cold start, run by scripts/measure-client.
//
//   sarvo_startup_probe signin   the composed application until the sign-in form is painted
//   sarvo_startup_probe list N   with a stored session and N conversations in the scripted IM
//                                SDK, until the conversation list is painted with its rows;
//                                then the resident memory after two idle seconds
//   sarvo_startup_probe live N [--profile P --ca FILE …]
//                                the same against the running local service through our SDK
//                                (libimsdk.so beside this program), with the profile's stored
//                                session, until N conversation rows are painted
//
// SARVO_PROBE_T0 is the launch time (nanoseconds, CLOCK_REALTIME) taken by the caller just
// before it started this process. Prints "painted_ms=…" and, for list, "idle_rss_mb=…".

#include "FakeSdk.h"
#include "app/SessionStore.h"
#include "ui/app/MacMainWindow.h"
#include "ui/app/Shell.h"
#include "ui/root/ConversationListPane.h"
#include "ui/root/MacRootView.h"

#include <QApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QListView>
#include <QTimer>
#include <cstdio>
#include <ctime>

namespace {

double sinceLaunchMs()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const qint64 t0 = qEnvironmentVariable("SARVO_PROBE_T0").toLongLong();
    return (qint64(now.tv_sec) * 1'000'000'000 + now.tv_nsec - t0) / 1e6;
}

double rssMb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return -1;
}

std::string conversations(int count)
{
    QJsonArray list;
    for (int i = 0; i < count; ++i) {
        const QJsonObject latest{{"contentType", 101},
                                 {"textElem", QJsonObject{{"content", QStringLiteral("message number %1 with a few words").arg(i)}}}};
        list.append(QJsonObject{
            {"conversationID", QStringLiteral("si_me_u%1").arg(i)},
            {"userID", QStringLiteral("u%1").arg(i)},
            {"showName", QStringLiteral("Contact %1").arg(i)},
            {"latestMsg", QString::fromUtf8(QJsonDocument(latest).toJson(QJsonDocument::Compact))},
            {"latestMsgSendTime", 1700000000000.0 + i},
            {"unreadCount", i % 7},
            {"isPinned", i % 97 == 0},
        });
    }
    return QJsonDocument(list).toJson(QJsonDocument::Compact).toStdString();
}

// Calls `done` once, after the first paint of `widget` for which `ready` holds.
class PaintWatch : public QObject {
public:
    PaintWatch(QWidget *widget, std::function<bool()> ready, std::function<void()> done)
        : m_ready(std::move(ready)), m_done(std::move(done))
    {
        widget->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && !m_fired && m_ready()) {
            m_fired = true;
            // After this paint has been drawn.
            QTimer::singleShot(0, this, m_done);
        }
        return false;
    }

private:
    std::function<bool()> m_ready;
    std::function<void()> m_done;
    bool m_fired = false;
};

} // namespace

int main(int argc, char **argv)
{
    const bool live = argc > 1 && qstrcmp(argv[1], "live") == 0;
    if (!live)
        qputenv("SARVO_IMSDK", FAKE_IMSDK_PATH);
    Shell::prepare();
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const bool list = args.value(1) == QLatin1String("list") || live;
    const int count = args.value(2, QStringLiteral("1000")).toInt();
    if (const auto exit = Shell::configure(app))
        return *exit;

    if (live) {
        if (!SessionStore::load()) {
            std::fprintf(stderr, "live: the profile holds no session\n");
            return 2;
        }
    } else if (list) {
        SessionStore::save({QStringLiteral("me"), QStringLiteral("im"), QStringLiteral("chat"), QStringLiteral("Me")});
        for (int i = 0; i < 4; ++i)
            FakeSdk::script("get_all_conversation_list", {{0, "", conversations(count)}});
    } else {
        SessionStore::remove();
    }

    MacMainWindow window(Shell::services());
    std::unique_ptr<PaintWatch> watch;
    if (list) {
        QListView *view = window.rootView()->listPane()->listView();
        watch = std::make_unique<PaintWatch>(
            view->viewport(), [view, count] { return view->model()->rowCount() >= count; },
            [] {
                std::printf("painted_ms=%.1f\n", sinceLaunchMs());
                std::fflush(stdout);
                QTimer::singleShot(2000, [] {
                    std::printf("idle_rss_mb=%.1f\n", rssMb());
                    QApplication::exit(0);
                });
            });
    } else {
        watch = std::make_unique<PaintWatch>(
            &window, [&window] { return window.signInView() != nullptr; },
            [] {
                std::printf("painted_ms=%.1f\n", sinceLaunchMs());
                std::printf("rss_mb=%.1f\n", rssMb());
                QApplication::exit(0);
            });
    }
    window.resize(1080, 720);
    window.show();
    return app.exec();
}
