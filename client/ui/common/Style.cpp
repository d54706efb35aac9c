#include "ui/common/Style.h"

#include "l10n/L10n.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QListView>
#include <QPalette>
#include <QStyleFactory>

namespace Style {

namespace {

QString hex(const ThemeColor &c, bool dark)
{
    return c.resolved(dark).name(QColor::HexRgb);
}

QString rgba(QColor c, qreal alpha)
{
    return QStringLiteral("rgba(%1,%2,%3,%4)").arg(c.red()).arg(c.green()).arg(c.blue()).arg(alpha);
}

QPalette paletteFor(bool dark)
{
    QPalette p;
    const QColor bg = MTheme::bg.resolved(dark), surface = MTheme::surface.resolved(dark), ink = MTheme::ink.resolved(dark),
                 soft = MTheme::inkSoft.resolved(dark), line = MTheme::line.resolved(dark), brand = MTheme::brand.resolved(dark);
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        p.setColor(group, QPalette::Window, bg);
        p.setColor(group, QPalette::WindowText, group == QPalette::Disabled ? soft : ink);
        p.setColor(group, QPalette::Base, surface);
        p.setColor(group, QPalette::AlternateBase, bg);
        p.setColor(group, QPalette::Text, group == QPalette::Disabled ? soft : ink);
        p.setColor(group, QPalette::PlaceholderText, soft);
        p.setColor(group, QPalette::Button, surface);
        p.setColor(group, QPalette::ButtonText, group == QPalette::Disabled ? soft : ink);
        p.setColor(group, QPalette::BrightText, Qt::white);
        p.setColor(group, QPalette::Highlight, brand);
        p.setColor(group, QPalette::HighlightedText, Qt::white);
        p.setColor(group, QPalette::Link, MTheme::brandDark.resolved(dark));
        p.setColor(group, QPalette::ToolTipBase, surface);
        p.setColor(group, QPalette::ToolTipText, ink);
        p.setColor(group, QPalette::Light, surface.lighter(110));
        p.setColor(group, QPalette::Midlight, line);
        p.setColor(group, QPalette::Mid, line.darker(110));
        p.setColor(group, QPalette::Dark, line.darker(130));
        p.setColor(group, QPalette::Shadow, dark ? Qt::black : QColor(0, 0, 0, 60));
    }
    return p;
}

} // namespace

QFont uiFont(const QString &lang)
{
    QFont f = QApplication::font();
    const QString cjk = lang == L10n::kZhHK ? QStringLiteral("Noto Sans CJK HK") : QStringLiteral("Noto Sans CJK SC");
    f.setFamilies({cjk, QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Noto Color Emoji"), QStringLiteral("DejaVu Sans")});
    f.setPixelSize(13);
    f.setHintingPreference(QFont::PreferNoHinting);
    return f;
}

QFont font(int pixelSize, QFont::Weight weight)
{
    QFont f = QApplication::font();
    f.setPixelSize(pixelSize);
    f.setWeight(weight);
    return f;
}

ThemeWatcher &themeWatcher()
{
    static ThemeWatcher *watcher = new ThemeWatcher(QCoreApplication::instance());
    return *watcher;
}

void applyLanguage(const QString &lang)
{
    QApplication::setFont(uiFont(lang));
}

QString styleSheet(bool dark)
{
    const QString ink = hex(MTheme::ink, dark), soft = hex(MTheme::inkSoft, dark), line = hex(MTheme::line, dark),
                  bg = hex(MTheme::bg, dark), surface = hex(MTheme::surface, dark), brand = hex(MTheme::brand, dark),
                  brandDark = hex(MTheme::brandDark, dark), brandLight = hex(MTheme::brandLight, dark),
                  danger = hex(MTheme::danger, dark), hoverBg = hex(hover, dark);
    const QString disabledBrand = rgba(MTheme::brand.resolved(dark), 0.42);
    QString s = QStringLiteral(R"(
QToolTip { color: %1; background: %5; border: 1px solid %3; border-radius: 6px; padding: 4px 8px; }
QLineEdit { color: %1; background: %4; border: 1px solid %3; border-radius: 10px; padding: 0 12px; min-height: 38px;
            selection-background-color: %6; selection-color: white; }
QLineEdit:focus { border: 1px solid %6; background: %5; }
QLineEdit[role="search"] { min-height: 30px; border-radius: 8px; padding: 0 4px; background: %10; border: 1px solid transparent; }
QLineEdit[role="search"]:focus { border: 1px solid %6; background: %5; }
QPushButton { color: %1; background: %5; border: 1px solid %3; border-radius: 10px; padding: 0 14px; min-height: 36px; }
QPushButton:hover { background: %10; }
QPushButton:disabled { color: %2; }
QPushButton[kind="primary"] { color: white; background: %6; border: none; font-weight: 600; min-height: 42px; }
QPushButton[kind="primary"]:hover { background: %7; }
QPushButton[kind="primary"]:disabled { background: %11; color: rgba(255,255,255,0.85); }
QPushButton[kind="outline"] { color: %6; background: transparent; border: 1px solid %6; font-weight: 600; }
QPushButton[kind="outline"]:hover { background: %8; }
QPushButton[kind="outline"]:disabled { color: %2; border-color: %3; }
QPushButton[kind="link"] { color: %7; background: transparent; border: none; padding: 0 2px; min-height: 22px; }
QPushButton[kind="link"]:hover { text-decoration: underline; }
QToolButton[kind="icon"] { background: transparent; border: none; border-radius: 8px; padding: 4px; }
QToolButton[kind="icon"]:hover { background: %10; }
QToolButton[kind="icon"]:pressed { background: %3; }
QMenuBar { background: %4; color: %1; border-bottom: 1px solid %3; }
QMenuBar::item { padding: 4px 10px; background: transparent; border-radius: 6px; }
QMenuBar::item:selected { background: %10; }
QMenu { background: %5; color: %1; border: 1px solid %3; border-radius: 10px; padding: 6px; }
QMenu::item { padding: 6px 26px 6px 12px; border-radius: 6px; }
QMenu::item:selected { background: %8; color: %1; }
QMenu::item:disabled { color: %2; }
QMenu::separator { height: 1px; background: %3; margin: 5px 8px; }
QMenu[destructive="true"]::item:selected { color: %9; }
QScrollBar:vertical { background: transparent; width: 10px; margin: 2px; }
QScrollBar::handle:vertical { background: %12; border-radius: 3px; min-height: 36px; margin: 0 2px; }
QScrollBar::handle:vertical:hover { background: %2; }
QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }
QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: transparent; }
QListView { background: transparent; border: none; outline: none; }
QSplitter::handle { background: %3; }
)");
    const QString faintHandle = rgba(MTheme::inkSoft.resolved(dark), 0.22);
    return s.arg(ink, soft, line, bg, surface, brand, brandDark, brandLight, danger, hoverBg, disabledBrand)
        .arg(faintHandle);
}

void applyAppearance(bool dark)
{
    if (auto *app = qobject_cast<QApplication *>(QCoreApplication::instance())) {
        QApplication::setPalette(paletteFor(dark));
        app->setStyleSheet(styleSheet(dark));
    }
}

void install(QApplication &app, bool dark)
{
    if (QStyle *fusion = QStyleFactory::create(QStringLiteral("Fusion")))
        QApplication::setStyle(fusion);
    app.setFont(uiFont(L10n::lang()));
    applyAppearance(dark);
}

QListView *paintedList(QAbstractItemModel *model, QAbstractItemDelegate *delegate, QWidget *parent)
{
    auto *list = new QListView(parent);
    list->setModel(model);
    delegate->setParent(list);
    list->setItemDelegate(delegate);
    list->setMouseTracking(true);
    list->viewport()->setAttribute(Qt::WA_Hover);
    list->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list->setFrameShape(QFrame::NoFrame);
    return list;
}

} // namespace Style

DesktopAppearance::DesktopAppearance(QObject *parent) : QObject(parent)
{
    const QByteArray pinned = qgetenv("SARVO_APPEARANCE");
    if (pinned == "dark" || pinned == "light") {
        m_pinned = true;
        return;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    const QString service = QStringLiteral("org.freedesktop.portal.Desktop");
    const QString path = QStringLiteral("/org/freedesktop/portal/desktop");
    const QString iface = QStringLiteral("org.freedesktop.portal.Settings");
    bus.connect(service, path, iface, QStringLiteral("SettingChanged"), this,
                SLOT(onSettingChanged(QString, QString, QDBusVariant)));
    QDBusMessage read = QDBusMessage::createMethodCall(service, path, iface, QStringLiteral("Read"));
    read << QStringLiteral("org.freedesktop.appearance") << QStringLiteral("color-scheme");
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(read), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        const QDBusPendingReply<QDBusVariant> reply = *w;
        if (reply.isError())
            return;
        // Read answers a variant wrapped in a variant.
        QVariant value = reply.value().variant();
        if (value.canConvert<QDBusVariant>())
            value = value.value<QDBusVariant>().variant();
        apply(DesktopAppearance::darkFromScheme(value.toUInt()));
    });
}

bool DesktopAppearance::initialDark()
{
    const QByteArray pinned = qgetenv("SARVO_APPEARANCE");
    if (pinned == "dark")
        return true;
    if (pinned == "light")
        return false;
    if (qgetenv("GTK_THEME").toLower().contains(":dark"))
        return true;
    // The platform theme's own palette (for example a dark GTK theme).
    return MTheme::isDark(QApplication::palette());
}

void DesktopAppearance::onSettingChanged(const QString &group, const QString &key, const QDBusVariant &value)
{
    if (m_pinned || group != QLatin1String("org.freedesktop.appearance") || key != QLatin1String("color-scheme"))
        return;
    apply(darkFromScheme(value.variant().toUInt()));
}

void DesktopAppearance::apply(bool dark)
{
    if (dark != MTheme::isDark())
        Style::applyAppearance(dark);
}
