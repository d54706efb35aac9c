// Renders the desktop client's screens offscreen from seeded data and saves them as PNG files,
// for looking at them and for the documentation's screenshots. Not a test: it asserts nothing.
//
//   sarvo_screens --out DIR [--scale 2]
//
// Writes signin-<lang>-<appearance>.png, chats-<lang>-<appearance>.png and
// contacts-<lang>-<appearance>.png for every language and appearance.

#include "FakeSdk.h"
#include "app/AppState.h"
#include "app/SessionStore.h"
#include "base/ImageCache.h"
#include "im/IMService.h"
#include "l10n/L10n.h"
#include "support/EventLoop.h"
#include "support/TestEnvironment.h"
#include "ui/app/MacMainWindow.h"
#include "ui/app/Shell.h"
#include "ui/common/Icons.h"
#include "ui/common/Style.h"
#include "ui/contacts/ContactsViewModel.h"
#include "ui/root/RootViewModel.h"
#include "support/ScriptedJson.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPainter>
#include <QTemporaryDir>
#include <cstdio>

namespace {

QString text(const QJsonObject &o)
{
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

QJsonObject textMsg(const QString &content)
{
    return QJsonObject{{"contentType", 101}, {"textElem", QJsonObject{{"content", content}}}};
}

// A stand-in photo: a soft two-tone gradient with a simple shape.
QImage photo(QColor a, QColor b, int seed)
{
    QImage image(256, 256, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 256, 256);
    g.setColorAt(0, a);
    g.setColorAt(1, b);
    p.fillRect(image.rect(), g);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 90));
    p.drawEllipse(QPointF(70 + seed * 23 % 120, 90 + seed * 37 % 80), 60, 60);
    p.setBrush(QColor(0, 0, 0, 40));
    p.drawEllipse(QPointF(180 - seed * 11 % 60, 200), 110, 70);
    return image;
}

const char *kFace1 = "https://media.invalid/face/1.png";
const char *kFace2 = "https://media.invalid/face/2.png";
const char *kFace3 = "https://media.invalid/face/3.png";
const char *kFace4 = "https://media.invalid/face/4.png";

QJsonArray conversations()
{
    auto conv = [](const char *id, const QString &name, const QJsonObject &latest, qint64 time) {
        return QJsonObject{{"conversationID", id}, {"showName", name}, {"latestMsg", text(latest)}, {"latestMsgSendTime", time}};
    };
    QJsonArray list;
    // Times relative to now, so the rows show today, yesterday, weekdays and dates.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const auto ago = [now](qint64 minutes) { return now - minutes * 60 * 1000; };
    QJsonObject team = conv("sg_team", QString::fromUtf8("产品设计组 🎨"), textMsg(QString::fromUtf8("林晓：周五下午三点评审新版首页")), ago(3));
    team.insert("groupID", "team");
    team.insert("isPinned", true);
    team.insert("unreadCount", 12);
    team.insert("faceURL", kFace3);
    list.append(team);
    QJsonObject lin = conv("si_lin_me", QString::fromUtf8("林晓"), textMsg(QString::fromUtf8("好的，明天见 👋")), ago(47));
    lin.insert("userID", "lin");
    lin.insert("isPinned", true);
    lin.insert("faceURL", kFace1);
    list.append(lin);
    QJsonObject emma = conv("si_emma_me", "Emma Wilson", QJsonObject{{"contentType", 102}}, ago(60 * 5));
    emma.insert("userID", "emma");
    emma.insert("unreadCount", 2);
    emma.insert("faceURL", kFace2);
    list.append(emma);
    QJsonObject chen = conv("si_chen_me", QString::fromUtf8("陈嘉明"), textMsg(QString::fromUtf8("报价单已经发你邮箱了")), ago(60 * 26));
    chen.insert("userID", "chen");
    chen.insert("draftText", QString::fromUtf8("我看一下再回复"));
    list.append(chen);
    QJsonObject family = conv("sg_family", QString::fromUtf8("相亲相爱一家人"), QJsonObject{{"contentType", 103}}, ago(60 * 24 * 3));
    family.insert("groupID", "family");
    family.insert("unreadCount", 128);
    family.insert("recvMsgOpt", 2);
    list.append(family);
    QJsonObject secret{{"contentType", 110},
                       {"customElem", QJsonObject{{"data", text(QJsonObject{{"mireloType", "secret"}, {"v", 3}})}}}};
    QJsonObject noah = conv("si_noah_me", "Noah", secret, ago(60 * 24 * 5));
    noah.insert("userID", "noah");
    noah.insert("unreadCount", 1);
    noah.insert("faceURL", kFace4);
    list.append(noah);
    QJsonObject ops = conv("sg_ops", "Ops on-call", textMsg("Deploy finished: 42 services healthy ✅"), ago(60 * 24 * 12));
    ops.insert("groupID", "ops");
    ops.insert("recvMsgOpt", 2);
    list.append(ops);
    QJsonObject wang = conv("si_wang_me", QString::fromUtf8("王老师"), QJsonObject{{"contentType", 105}}, ago(60 * 24 * 40));
    wang.insert("userID", "wang");
    list.append(wang);
    QJsonObject sofia = conv("si_sofia_me", QString::fromUtf8("Sofía Martínez"), textMsg("¡Nos vemos en Lisboa!"), ago(60 * 24 * 400));
    sofia.insert("userID", "sofia");
    list.append(sofia);
    return list;
}

QJsonArray friends()
{
    return {
        QJsonObject{{"userID", "lin"}, {"nickname", QString::fromUtf8("林晓")}, {"faceURL", kFace1}},
        QJsonObject{{"userID", "emma"}, {"nickname", "Emma Wilson"}, {"faceURL", kFace2}},
        QJsonObject{{"userID", "chen"}, {"nickname", QString::fromUtf8("陈嘉明")}},
        QJsonObject{{"friendInfo", QJsonObject{{"userID", "noah"}, {"nickname", "Noah"}, {"faceURL", kFace4}}}},
        QJsonObject{{"userID", "wang"}, {"nickname", QString::fromUtf8("王老师")}},
        QJsonObject{{"userID", "sofia"}, {"nickname", QString::fromUtf8("Sofía Martínez")}},
    };
}

QJsonArray requests()
{
    return {
        QJsonObject{{"fromUserID", "mei"}, {"fromNickname", QString::fromUtf8("何美玲")},
                    {"reqMsg", QString::fromUtf8("你好，我是设计部的美玲 🙂")}, {"handleResult", 0}},
        QJsonObject{{"fromUserID", "liam"}, {"fromNickname", "Liam Chen"}, {"handleResult", 1}, {"fromFaceURL", kFace2}},
    };
}

QJsonArray groups()
{
    return {
        QJsonObject{{"groupID", "team"}, {"groupName", QString::fromUtf8("产品设计组 🎨")}, {"memberCount", 18}, {"faceURL", kFace3}},
        QJsonObject{{"groupID", "family"}, {"groupName", QString::fromUtf8("相亲相爱一家人")}, {"memberCount", 7}},
        QJsonObject{{"groupID", "ops"}, {"groupName", "Ops on-call"}, {"memberCount", 24}},
    };
}

// Every list answers the same seeded data however often it is asked.
void seed()
{
    const QJsonObject self{{"userID", "me"}, {"nickname", QString::fromUtf8("周一舟")}};
    for (int i = 0; i < 400; ++i) {
        FakeSdk::script("get_all_conversation_list", {{0, "", json(conversations())}});
        FakeSdk::script("get_friend_list", {{0, "", json(friends())}});
        FakeSdk::script("get_friend_application_list_as_recipient", {{0, "", json(requests())}});
        FakeSdk::script("get_joined_group_list", {{0, "", json(groups())}});
        FakeSdk::script("get_self_user_info", {{0, "", QJsonDocument(self).toJson().toStdString()}});
    }
}

void settle(int rounds = 30)
{
    for (int i = 0; i < rounds; ++i) {
        FakeSdk::drain();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

void save(QWidget &window, const QString &path)
{
    // Long enough for the entrance and tab animations to end.
    QDeadlineTimer done(600);
    while (!done.hasExpired())
        settle(1);
    settle();
    const QPixmap shot = window.grab();
    if (!shot.save(path))
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    else
        std::printf("%s\n", qPrintable(path));
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    isolateUserDirectories(home);
    qputenv("SARVO_IMSDK", FAKE_IMSDK_PATH);
    Shell::prepare();
    QApplication app(argc, argv);
    QString out = QStringLiteral(".");
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); ++i)
        if (args[i] == QLatin1String("--out"))
            out = args[i + 1];
    QDir().mkpath(out);

    Style::install(app, false);
    ImageCache &cache = ImageCache::shared();
    cache.insert(QUrl(kFace1), photo(QColor("#F6A5C0"), QColor("#7C6CF6"), 1));
    cache.insert(QUrl(kFace2), photo(QColor("#FFD58A"), QColor("#FF8A65"), 2));
    cache.insert(QUrl(kFace3), photo(QColor("#7FD1AE"), QColor("#3A86FF"), 3));
    cache.insert(QUrl(kFace4), photo(QColor("#A1C4FD"), QColor("#5E60CE"), 4));

    {
        // Every glyph large and small, to check their drawing.
        QImage sheet(14 * 72, 2 * 72 + 40, QImage::Format_ARGB32_Premultiplied);
        sheet.fill(Qt::white);
        QPainter p(&sheet);
        for (int i = 0; i <= int(Icons::Glyph::app); ++i) {
            Icons::paint(p, QRectF(i * 72 + 4, 4, 64, 64), Icons::Glyph(i), QColor("#1A1A1E"));
            Icons::paint(p, QRectF(i * 72 + 24, 84, 24, 24), Icons::Glyph(i), QColor("#6B6B75"));
            Icons::paint(p, QRectF(i * 72 + 28, 124, 16, 16), Icons::Glyph(i), QColor("#7C6CF6"));
        }
        p.end();
        sheet.save(out + QStringLiteral("/icons.png"));
    }

    FakeSdk::reset();
    seed();
    L10n::setLang(QStringLiteral("en"));
    MacMainWindow window(Shell::services());
    window.resize(1180, 760);
    window.show();
    settle();

    for (const bool dark : {false, true}) {
        Style::applyAppearance(dark);
        const QString appearance = dark ? QStringLiteral("dark") : QStringLiteral("light");
        for (const char *code : {"zh", "zh-HK", "en"}) {
            const QString lang = QString::fromLatin1(code);
            L10n::setLang(lang);
            settle();
            if (AppState::shared().credentials())
                AppState::shared().logout();
            settle();
            save(window, QStringLiteral("%1/signin-%2-%3.png").arg(out, lang, appearance));
            if (SignInView *view = window.signInView()) {
                SignInViewModel &form = view->model();
                form.switchMode(SignInViewModel::Mode::signUp);
                form.setField(SignInViewModel::Field::nickname, QString::fromUtf8("周一舟"));
                form.setField(SignInViewModel::Field::email, QStringLiteral("zhou@example.com"));
                save(window, QStringLiteral("%1/signup-%2-%3.png").arg(out, lang, appearance));
                form.switchMode(SignInViewModel::Mode::login);
            }

            AppState::shared().applyLogin({QStringLiteral("me"), QStringLiteral("im"), QStringLiteral("chat")},
                                          QString::fromUtf8("周一舟"));
            settle();
            window.root().reloadAll();
            window.root().setTab(MacTab::chats);
            window.root().setSelectedConvID(QString());
            save(window, QStringLiteral("%1/chats-%2-%3.png").arg(out, lang, appearance));
            window.root().setSelectedConvID(QStringLiteral("si_lin_me"));
            save(window, QStringLiteral("%1/chat-open-%2-%3.png").arg(out, lang, appearance));
            window.root().setTab(MacTab::contacts);
            save(window, QStringLiteral("%1/contacts-%2-%3.png").arg(out, lang, appearance));
            window.root().setTab(MacTab::chats);
            window.root().setShowNewChat(true);
            save(window, QStringLiteral("%1/newchat-%2-%3.png").arg(out, lang, appearance));
            window.root().setShowNewChat(false);
        }
    }
    return 0;
}
