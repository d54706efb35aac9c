#include "ui/root/ConversationListPane.h"

#include "base/Json.h"
#include "im/Records.h"
#include "l10n/LangStore.h"
#include "l10n/MTheme.h"
#include "ui/common/Icons.h"
#include "ui/common/Style.h"
#include "ui/root/ConversationDelegate.h"
#include "ui/root/ConversationListModel.h"
#include "ui/root/RootTexts.h"
#include "ui/root/RootViewModel.h"

#include <QAction>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QPainter>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

QToolButton *iconButton(Icons::Glyph glyph, QWidget *parent)
{
    auto *button = new QToolButton(parent);
    button->setProperty("kind", "icon");
    button->setIcon(Icons::icon(glyph, MTheme::ink));
    button->setIconSize(QSize(19, 19));
    button->setFixedSize(32, 32);
    button->setCursor(Qt::PointingHandCursor);
    button->setAutoRaise(true);
    return button;
}

} // namespace

ConversationListPane::ConversationListPane(RootViewModel &root, QWidget *parent) : QWidget(parent), m_root(root)
{
    setObjectName(QStringLiteral("conversationList"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 18, 0, 0);
    layout->setSpacing(10);

    auto *header = new QHBoxLayout;
    header->setContentsMargins(20, 0, 14, 0);
    header->setSpacing(4);
    m_title = new QLabel(this);
    m_title->setFont(Style::font(20, QFont::Bold));
    header->addWidget(m_title, 1);
    m_refresh = iconButton(Icons::Glyph::refresh, this);
    m_newChat = iconButton(Icons::Glyph::compose, this);
    header->addWidget(m_refresh);
    header->addWidget(m_newChat);
    layout->addLayout(header);
    connect(m_refresh, &QToolButton::clicked, this, [this] { m_root.reloadConversations(); });
    connect(m_newChat, &QToolButton::clicked, this, [this] { m_root.setShowNewChat(true); });

    m_search = new QLineEdit(this);
    m_search->setProperty("role", "search");
    m_search->addAction(Icons::icon(Icons::Glyph::search, MTheme::inkSoft), QLineEdit::LeadingPosition);
    m_clear = m_search->addAction(Icons::icon(Icons::Glyph::clear, MTheme::inkSoft), QLineEdit::TrailingPosition);
    m_clear->setVisible(false);
    connect(m_clear, &QAction::triggered, this, [this] { m_root.setConvFilter(QString()); });
    connect(m_search, &QLineEdit::textEdited, this, [this](const QString &text) { m_root.setConvFilter(text); });
    m_search->installEventFilter(this);
    auto *searchRow = new QHBoxLayout;
    searchRow->setContentsMargins(16, 0, 16, 4);
    searchRow->addWidget(m_search);
    layout->addLayout(searchRow);

    m_model = new ConversationListModel(m_root, this);
    m_list = Style::paintedList(m_model, new ConversationDelegate, this);
    m_list->setUniformItemSizes(true);
    m_list->setSelectionMode(QAbstractItemView::NoSelection);
    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    layout->addWidget(m_list, 1);
    auto open = [this](const QModelIndex &index) {
        m_root.setSelectedConvID(index.data(ConversationListModel::KeyRole).toString());
    };
    connect(m_list, &QListView::clicked, this, open);
    // Enter on the keyboard's current row opens it too.
    connect(m_list, &QListView::activated, this, open);
    connect(m_list, &QListView::customContextMenuRequested, this, [this](const QPoint &pos) {
        const QModelIndex index = m_list->indexAt(pos);
        if (!index.isValid())
            return;
        QMenu *menu = buildContextMenu(index.row(), this);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(m_list->viewport()->mapToGlobal(pos));
    });

    connect(&m_root, &RootViewModel::convFilterChanged, this, [this] {
        if (m_search->text() != m_root.convFilter())
            m_search->setText(m_root.convFilter());
        m_clear->setVisible(!m_root.convFilter().isEmpty());
    });
    connect(&m_root, &RootViewModel::searchFocusedChanged, this, [this] {
        if (m_root.searchFocused() && !m_search->hasFocus()) {
            m_search->setFocus(Qt::ShortcutFocusReason);
            m_search->selectAll();
        }
    });
    connect(&LangStore::shared(), &LangStore::langChanged, this, &ConversationListPane::retranslate);
    retranslate();
}

void ConversationListPane::retranslate()
{
    m_title->setText(RootTexts::listTitle());
    m_search->setPlaceholderText(RootTexts::searchPlaceholder());
    m_newChat->setToolTip(RootTexts::newChatTooltip());
    m_refresh->setToolTip(RootTexts::refreshTooltip());
}

bool ConversationListPane::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_search) {
        if (event->type() == QEvent::FocusIn)
            m_root.setSearchFocused(true);
        else if (event->type() == QEvent::FocusOut)
            m_root.setSearchFocused(false);
    }
    return QWidget::eventFilter(watched, event);
}

QMenu *ConversationListPane::buildContextMenu(int row, QWidget *parent)
{
    const QJsonObject record = m_model->row(row).record;
    const bool pinned = Json::boolean(record, QLatin1String("isPinned"));
    const bool muted = Json::integer(record, QLatin1String("recvMsgOpt")) != 0;
    auto *menu = new QMenu(parent);
    RootViewModel *root = &m_root;
    menu->addAction(RootTexts::pin(pinned), this, [root, record] { root->togglePinned(record); });
    menu->addAction(RootTexts::mute(muted), this, [root, record] { root->toggleMuted(record); });
    if (Records::unread(record) >= 1)
        menu->addAction(RootTexts::markRead(), this, [root, record] { root->markRead(record); });
    menu->addSeparator();
    QAction *remove = menu->addAction(RootTexts::deleteChat(), this, [root, record] { root->deleteConversation(record); });
    remove->setObjectName(QStringLiteral("delete"));
    return menu;
}

void ConversationListPane::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    const bool dark = MTheme::isDark();
    p.fillRect(rect(), MTheme::surface.resolved(dark));
}
