#include "ui/contacts/MacContactsPane.h"

#include "l10n/LangStore.h"
#include "l10n/MTheme.h"
#include "ui/common/Decor.h"
#include "ui/common/Icons.h"
#include "ui/common/Style.h"
#include "ui/contacts/ContactsDelegate.h"
#include "ui/contacts/ContactsListModel.h"
#include "ui/contacts/ContactsViewModel.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

constexpr int kColumnMaxWidth = 720;

} // namespace

MacContactsPane::MacContactsPane(ContactsViewModel &model, QWidget *parent) : QWidget(parent), m_model(model)
{
    setObjectName(QStringLiteral("contacts"));
    auto *outer = new QHBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto *column = new QWidget(this);
    column->setMaximumWidth(kColumnMaxWidth);
    outer->addStretch(1);
    outer->addWidget(column, 100);
    outer->addStretch(1);

    auto *layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 18, 0, 0);
    layout->setSpacing(12);

    auto *header = new QHBoxLayout;
    header->setContentsMargins(22, 0, 18, 0);
    m_title = new QLabel(column);
    m_title->setFont(Style::font(20, QFont::Bold));
    header->addWidget(m_title, 1);
    m_refresh = new QToolButton(column);
    m_refresh->setProperty("kind", "icon");
    m_refresh->setIcon(Icons::icon(Icons::Glyph::refresh, MTheme::ink));
    m_refresh->setIconSize(QSize(19, 19));
    m_refresh->setFixedSize(32, 32);
    m_refresh->setCursor(Qt::PointingHandCursor);
    connect(m_refresh, &QToolButton::clicked, this, [this] { m_model.reload(); });
    header->addWidget(m_refresh);
    layout->addLayout(header);

    auto *addCard = new GlassCard(14, column);
    auto *addLayout = new QVBoxLayout(addCard);
    addLayout->setContentsMargins(16, 12, 16, 14);
    addLayout->setSpacing(8);
    m_addTitle = new QLabel(addCard);
    m_addTitle->setFont(Style::font(12, QFont::DemiBold));
    addLayout->addWidget(m_addTitle);
    auto *addRow = new QHBoxLayout;
    addRow->setSpacing(8);
    m_addField = new QLineEdit(addCard);
    m_addButton = new QPushButton(addCard);
    m_addButton->setProperty("kind", "primary");
    m_addButton->setMinimumWidth(84);
    m_addButton->setStyleSheet(QStringLiteral("min-height: 38px;"));
    m_addButton->setCursor(Qt::PointingHandCursor);
    addRow->addWidget(m_addField, 1);
    addRow->addWidget(m_addButton);
    addLayout->addLayout(addRow);
    auto *addWrap = new QHBoxLayout;
    addWrap->setContentsMargins(16, 0, 16, 0);
    addWrap->addWidget(addCard);
    layout->addLayout(addWrap);
    connect(m_addField, &QLineEdit::textEdited, this, [this](const QString &text) { m_model.setAddInput(text); });
    connect(m_addField, &QLineEdit::returnPressed, this, [this] {
        if (m_model.addEnabled())
            m_model.addFriend();
    });
    connect(m_addButton, &QPushButton::clicked, this, [this] { m_model.addFriend(); });

    m_listModel = new ContactsListModel(m_model, this);
    m_delegate = new ContactsDelegate;
    m_list = Style::paintedList(m_listModel, m_delegate, column);
    m_list->setSelectionMode(QAbstractItemView::NoSelection);
    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    layout->addWidget(m_list, 1);

    auto recordAt = [this](const QModelIndex &index) {
        return index.data(ContactsListModel::RecordRole).toJsonObject();
    };
    connect(m_delegate, &ContactsDelegate::acceptClicked, this, [this, recordAt](const QModelIndex &i) { m_model.accept(recordAt(i)); });
    connect(m_delegate, &ContactsDelegate::declineClicked, this, [this, recordAt](const QModelIndex &i) { m_model.decline(recordAt(i)); });
    connect(m_delegate, &ContactsDelegate::messageClicked, this, [this, recordAt](const QModelIndex &i) { m_model.message(recordAt(i)); });
    connect(m_delegate, &ContactsDelegate::rowClicked, this, [this, recordAt](const QModelIndex &i) {
        const auto kind = ContactsListModel::Kind(i.data(ContactsListModel::KindRole).toInt());
        if (kind == ContactsListModel::Kind::friendRow)
            m_model.message(recordAt(i));
        else if (kind == ContactsListModel::Kind::group)
            m_model.openGroup(recordAt(i));
    });
    connect(m_delegate, &ContactsDelegate::moreClicked, this, [this, recordAt](const QModelIndex &i, const QPoint &at) {
        QMenu *menu = buildFriendMenu(recordAt(i), this);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(at);
    });
    connect(m_list, &QListView::customContextMenuRequested, this, [this, recordAt](const QPoint &pos) {
        const QModelIndex index = m_list->indexAt(pos);
        if (!index.isValid()
            || ContactsListModel::Kind(index.data(ContactsListModel::KindRole).toInt()) != ContactsListModel::Kind::friendRow)
            return;
        QMenu *menu = buildFriendMenu(recordAt(index), this);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(m_list->viewport()->mapToGlobal(pos));
    });

    m_toast = new Toast(this);
    connect(m_toast, &Toast::dismissed, this, [this] { m_model.clearToast(); });
    connect(&m_model, &ContactsViewModel::toastChanged, this, [this] {
        if (m_model.toast())
            m_toast->showText(*m_model.toast());
    });
    connect(&m_model, &ContactsViewModel::changed, this, &MacContactsPane::render);
    connect(&Style::themeWatcher(), &ThemeWatcher::appearanceChanged, this, &MacContactsPane::render);
    connect(&LangStore::shared(), &LangStore::langChanged, this, &MacContactsPane::retranslate);
    retranslate();
    render();
}

QMenu *MacContactsPane::buildFriendMenu(const QJsonObject &friendRecord, QWidget *parent)
{
    auto *menu = new QMenu(parent);
    ContactsViewModel *model = &m_model;
    menu->addAction(ContactsTexts::message(), this, [model, friendRecord] { model->message(friendRecord); });
    menu->addSeparator();
    menu->addAction(ContactsTexts::deleteFriend(), this, [model, friendRecord] { model->deleteFriend(friendRecord); });
    menu->addAction(ContactsTexts::block(), this, [model, friendRecord] { model->block(friendRecord); });
    return menu;
}

void MacContactsPane::retranslate()
{
    m_title->setText(ContactsTexts::title());
    m_refresh->setToolTip(ContactsTexts::refresh());
    m_addTitle->setText(ContactsTexts::addSection());
    m_addField->setPlaceholderText(ContactsTexts::addPlaceholder());
    m_addButton->setText(ContactsTexts::addButton());
}

void MacContactsPane::render()
{
    m_addTitle->setStyleSheet(QStringLiteral("color: %1;").arg(MTheme::inkSoft.color().name()));
    if (m_addField->text() != m_model.addInput())
        m_addField->setText(m_model.addInput());
    m_addButton->setEnabled(m_model.addEnabled());
    m_addField->setReadOnly(m_model.addBusy());
}

void MacContactsPane::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    m_model.reload();
}

void MacContactsPane::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), MTheme::bg.color());
}
