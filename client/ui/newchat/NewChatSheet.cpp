#include "ui/newchat/NewChatSheet.h"

#include "l10n/L10n.h"
#include "l10n/LangStore.h"
#include "l10n/MTheme.h"
#include "ui/common/AvatarView.h"
#include "ui/common/Decor.h"
#include "ui/common/Icons.h"
#include "ui/common/Style.h"
#include "ui/newchat/NewChatPickerModel.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPainter>
#include <QPushButton>
#include <QShortcut>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

namespace {

constexpr int kCardWidth = 400;
constexpr int kCardHeight = 520;

class FriendDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &) const override
    {
        return {option.rect.width(), 56};
    }

    void paint(QPainter *p, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        const bool dark = MTheme::isDark();
        p->save();
        p->setRenderHint(QPainter::Antialiasing);
        const QRectF card = QRectF(option.rect).adjusted(8, 2, -8, -2);
        if (option.state & (QStyle::State_MouseOver | QStyle::State_Selected)) {
            p->setPen(Qt::NoPen);
            p->setBrush(option.state & QStyle::State_Selected ? MTheme::brandLight.resolved(dark)
                                                             : Style::hover.resolved(dark));
            p->drawRoundedRect(card, 10, 10);
        }
        const QString name = index.data(NewChatPickerModel::NameRole).toString();
        const QRectF avatar(card.left() + 10, card.center().y() - 18, 36, 36);
        AvatarView::paint(*p, avatar, name, index.data(NewChatPickerModel::ImageRole).value<QImage>());
        const QFont f = Style::font(14, QFont::Medium);
        p->setFont(f);
        p->setPen(MTheme::ink.resolved(dark));
        const QRectF text(avatar.right() + 12, card.top(), card.right() - avatar.right() - 22, card.height());
        p->drawText(text, Qt::AlignLeft | Qt::AlignVCenter,
                    QFontMetricsF(f).elidedText(name, Qt::ElideRight, text.width()));
        p->restore();
    }
};

} // namespace

NewChatSheet::NewChatSheet(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("newChatSheet"));
    hide();
    m_card = new GlassCard(16, this);
    m_card->setAutoFillBackground(false);
    auto *layout = new QVBoxLayout(m_card);
    layout->setContentsMargins(16, 16, 16, 12);
    layout->setSpacing(12);

    auto *header = new QHBoxLayout;
    header->setContentsMargins(6, 0, 0, 0);
    m_title = new QLabel(m_card);
    m_title->setFont(Style::font(17, QFont::Bold));
    header->addWidget(m_title, 1);
    m_cancel = new QPushButton(m_card);
    m_cancel->setProperty("kind", "link");
    m_cancel->setCursor(Qt::PointingHandCursor);
    connect(m_cancel, &QPushButton::clicked, this, &NewChatSheet::cancelled);
    header->addWidget(m_cancel);
    layout->addLayout(header);

    m_search = new QLineEdit(m_card);
    m_search->setProperty("role", "search");
    m_search->addAction(Icons::icon(Icons::Glyph::search, MTheme::inkSoft), QLineEdit::LeadingPosition);
    m_search->installEventFilter(this);
    layout->addWidget(m_search);

    m_model = new NewChatPickerModel(this);
    m_list = Style::paintedList(m_model, new FriendDelegate, m_card);
    m_list->setUniformItemSizes(true);
    layout->addWidget(m_list, 1);

    connect(m_search, &QLineEdit::textEdited, m_model, &NewChatPickerModel::setFilter);
    connect(m_search, &QLineEdit::returnPressed, this, [this] {
        if (m_model->rowCount() > 0)
            pick(m_list->currentIndex().isValid() ? m_list->currentIndex().row() : 0);
    });
    connect(m_list, &QListView::clicked, this, [this](const QModelIndex &index) { pick(index.row()); });
    connect(m_list, &QListView::activated, this, [this](const QModelIndex &index) { pick(index.row()); });

    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), this, this, &NewChatSheet::cancelled);
    escape->setContext(Qt::WidgetWithChildrenShortcut);

    parent->installEventFilter(this);
    connect(&LangStore::shared(), &LangStore::langChanged, this, &NewChatSheet::retranslate);
    retranslate();
}

void NewChatSheet::retranslate()
{
    m_title->setText(NewChatPickerModel::title());
    m_search->setPlaceholderText(NewChatPickerModel::searchPlaceholder());
    m_cancel->setText(L10n::t(QStringLiteral("cancel")));
}

void NewChatSheet::open(const QList<QJsonObject> &friends)
{
    m_model->setFriends(friends);
    m_search->clear();
    m_model->setFilter(QString());
    fit();
    show();
    raise();
    m_search->setFocus(Qt::PopupFocusReason);
}

void NewChatSheet::fit()
{
    setGeometry(parentWidget()->rect());
    const int height = qMin(kCardHeight, this->height() - 80);
    m_card->setGeometry((width() - kCardWidth) / 2, qMax(24, (this->height() - height) / 2 - 20), kCardWidth, height);
}

void NewChatSheet::pick(int row)
{
    const QModelIndex index = m_model->index(row);
    if (!index.isValid())
        return;
    emit picked(index.data(NewChatPickerModel::UserIDRole).toString(), index.data(NewChatPickerModel::NameRole).toString(),
                index.data(NewChatPickerModel::FaceUrlRole).toString());
}

void NewChatSheet::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), QColor(0, 0, 0, MTheme::isDark() ? 120 : 70));
    // The card is translucent; give it an opaque base over the dimmed window.
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(MTheme::surface.color());
    p.drawRoundedRect(QRectF(m_card->geometry()), 16, 16);
}

void NewChatSheet::mousePressEvent(QMouseEvent *event)
{
    if (!m_card->geometry().contains(event->position().toPoint()))
        emit cancelled();
}

void NewChatSheet::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        emit cancelled();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool NewChatSheet::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == parentWidget() && event->type() == QEvent::Resize && isVisible())
        fit();
    if (watched == m_search && event->type() == QEvent::KeyPress) {
        // Up and down move through the list while typing.
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Down || key->key() == Qt::Key_Up) {
            const int rows = m_model->rowCount();
            if (rows > 0) {
                int row = m_list->currentIndex().isValid() ? m_list->currentIndex().row() : -1;
                row = qBound(0, row + (key->key() == Qt::Key_Down ? 1 : -1), rows - 1);
                m_list->setCurrentIndex(m_model->index(row));
            }
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
