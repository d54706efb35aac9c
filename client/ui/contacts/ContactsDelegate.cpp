#include "ui/contacts/ContactsDelegate.h"

#include "l10n/MTheme.h"
#include "ui/common/AvatarView.h"
#include "ui/common/Icons.h"
#include "ui/common/Style.h"
#include "ui/contacts/ContactsListModel.h"
#include "ui/contacts/ContactsViewModel.h"

#include <QAbstractItemView>
#include <QMouseEvent>
#include <QPainter>

namespace {

using Kind = ContactsListModel::Kind;

constexpr int kInsetX = 8;
constexpr int kPadX = 14;
constexpr int kAvatar = 40;
constexpr int kButtonHeight = 30;

Kind kindOf(const QModelIndex &index)
{
    return Kind(index.data(ContactsListModel::KindRole).toInt());
}

qreal pillWidth(const QString &text)
{
    return QFontMetricsF(Style::font(13, QFont::DemiBold)).horizontalAdvance(text) + 28;
}

void paintPill(QPainter &p, const QRectF &r, const QString &text, bool filled, bool dark)
{
    p.setPen(filled ? Qt::NoPen : QPen(MTheme::line.resolved(dark), 1));
    p.setBrush(filled ? MTheme::brand.resolved(dark) : MTheme::surface.resolved(dark));
    p.drawRoundedRect(r, r.height() / 2, r.height() / 2);
    p.setPen(filled ? QColor(Qt::white) : MTheme::ink.resolved(dark));
    p.setFont(Style::font(13, QFont::DemiBold));
    p.drawText(r, Qt::AlignCenter, text);
}

} // namespace

QSize ContactsDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const Kind kind = kindOf(index);
    return {option.rect.width(), kind == Kind::header ? kHeaderHeight : kind == Kind::note ? kNoteHeight : kRowHeight};
}

ContactsDelegate::Buttons ContactsDelegate::buttons(const QRect &row, const QModelIndex &index)
{
    const QRectF card = QRectF(row).adjusted(kInsetX, 2, -kInsetX, -2);
    const qreal right = card.right() - kPadX;
    const qreal top = card.center().y() - kButtonHeight / 2.0;
    Buttons b;
    const Kind kind = kindOf(index);
    if (kind == Kind::request && index.data(ContactsListModel::PendingRole).toBool()) {
        const qreal declineWidth = pillWidth(ContactsTexts::decline());
        const qreal acceptWidth = pillWidth(ContactsTexts::accept());
        b.second = QRectF(right - declineWidth, top, declineWidth, kButtonHeight);
        b.first = QRectF(b.second.left() - 8 - acceptWidth, top, acceptWidth, kButtonHeight);
    } else if (kind == Kind::friendRow) {
        b.second = QRectF(right - kButtonHeight, top, kButtonHeight, kButtonHeight);
        const qreal messageWidth = pillWidth(ContactsTexts::message());
        b.first = QRectF(b.second.left() - 8 - messageWidth, top, messageWidth, kButtonHeight);
    }
    return b;
}

void ContactsDelegate::paint(QPainter *p, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const bool dark = MTheme::isDark();
    const Kind kind = kindOf(index);
    p->save();
    p->setRenderHint(QPainter::Antialiasing);
    const QString name = index.data(ContactsListModel::NameRole).toString();

    if (kind == Kind::header) {
        p->setPen(MTheme::inkSoft.resolved(dark));
        p->setFont(Style::font(12, QFont::DemiBold));
        p->drawText(QRectF(option.rect).adjusted(kInsetX + kPadX, 0, -kInsetX - kPadX, -6),
                    Qt::AlignLeft | Qt::AlignBottom, name);
        p->restore();
        return;
    }
    if (kind == Kind::note) {
        p->setPen(MTheme::inkSoft.resolved(dark));
        p->setFont(Style::font(13));
        p->drawText(QRectF(option.rect).adjusted(kInsetX + kPadX, 0, -kInsetX - kPadX, 0), Qt::AlignLeft | Qt::AlignVCenter, name);
        p->restore();
        return;
    }

    const bool hovered = option.state & QStyle::State_MouseOver;
    const QRectF card = QRectF(option.rect).adjusted(kInsetX, 2, -kInsetX, -2);
    if (hovered && kind != Kind::request) {
        p->setPen(Qt::NoPen);
        p->setBrush(Style::hover.resolved(dark));
        p->drawRoundedRect(card, 12, 12);
    }
    const QRectF avatar(card.left() + kPadX, card.center().y() - kAvatar / 2.0, kAvatar, kAvatar);
    AvatarView::paint(*p, avatar, name, index.data(ContactsListModel::ImageRole).value<QImage>());

    const Buttons b = buttons(option.rect, index);
    qreal textRight = card.right() - kPadX;
    if (kind == Kind::request) {
        if (!b.first.isNull()) {
            paintPill(*p, b.first, ContactsTexts::accept(), true, dark);
            paintPill(*p, b.second, ContactsTexts::decline(), false, dark);
            textRight = b.first.left() - 10;
        } else {
            const QString status = index.data(ContactsListModel::StatusRole).toString();
            p->setFont(Style::font(13));
            p->setPen(MTheme::inkSoft.resolved(dark));
            const qreal w = QFontMetricsF(p->font()).horizontalAdvance(status);
            p->drawText(QRectF(textRight - w, card.top(), w, card.height()), Qt::AlignRight | Qt::AlignVCenter, status);
            textRight -= w + 10;
        }
    } else if (kind == Kind::friendRow && hovered) {
        p->setPen(Qt::NoPen);
        p->setBrush(MTheme::brandLight.resolved(dark));
        p->drawRoundedRect(b.first, b.first.height() / 2, b.first.height() / 2);
        p->setPen(MTheme::brandDark.resolved(dark));
        p->setFont(Style::font(13, QFont::DemiBold));
        p->drawText(b.first, Qt::AlignCenter, ContactsTexts::message());
        p->setPen(Qt::NoPen);
        p->setBrush(MTheme::surface.resolved(dark));
        p->drawEllipse(b.second);
        Icons::paint(*p, b.second.adjusted(7, 7, -7, -7), Icons::Glyph::more, MTheme::inkSoft.resolved(dark));
        textRight = b.first.left() - 10;
    } else if (kind == Kind::group) {
        const QString count = index.data(ContactsListModel::CountRole).toString();
        p->setFont(Style::font(13));
        const qreal w = QFontMetricsF(p->font()).horizontalAdvance(count);
        const QRectF text(textRight - w, card.top(), w, card.height());
        p->setPen(MTheme::inkSoft.resolved(dark));
        p->drawText(text, Qt::AlignRight | Qt::AlignVCenter, count);
        const QRectF glyph(text.left() - 20, card.center().y() - 8, 16, 16);
        Icons::paint(*p, glyph, Icons::Glyph::contacts, MTheme::inkSoft.resolved(dark));
        textRight = glyph.left() - 10;
    }

    const qreal textLeft = avatar.right() + 12;
    const qreal width = qMax<qreal>(0, textRight - textLeft);
    const QString subtitle = index.data(ContactsListModel::SubtitleRole).toString();
    const QFont nameFont = Style::font(14, QFont::DemiBold);
    const QFont subFont = Style::font(12);
    const QFontMetricsF nm(nameFont), sm(subFont);
    p->setPen(MTheme::ink.resolved(dark));
    p->setFont(nameFont);
    if (subtitle.isEmpty()) {
        p->drawText(QRectF(textLeft, card.top(), width, card.height()), Qt::AlignLeft | Qt::AlignVCenter,
                    nm.elidedText(name, Qt::ElideRight, width));
    } else {
        const qreal top = card.center().y() - (nm.height() + sm.height() + 2) / 2;
        p->drawText(QRectF(textLeft, top, width, nm.height()), Qt::AlignLeft | Qt::AlignVCenter,
                    nm.elidedText(name, Qt::ElideRight, width));
        p->setPen(MTheme::inkSoft.resolved(dark));
        p->setFont(subFont);
        p->drawText(QRectF(textLeft, top + nm.height() + 2, width, sm.height()), Qt::AlignLeft | Qt::AlignVCenter,
                    sm.elidedText(subtitle, Qt::ElideRight, width));
    }
    p->restore();
}

bool ContactsDelegate::editorEvent(QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option,
                                   const QModelIndex &index)
{
    if (event->type() != QEvent::MouseButtonRelease)
        return QStyledItemDelegate::editorEvent(event, model, option, index);
    auto *mouse = static_cast<QMouseEvent *>(event);
    if (mouse->button() != Qt::LeftButton)
        return false;
    const Kind kind = kindOf(index);
    if (kind == Kind::header || kind == Kind::note)
        return true;
    const QPointF pos = mouse->position();
    const Buttons b = buttons(option.rect, index);
    if (kind == Kind::request) {
        if (b.first.contains(pos))
            emit acceptClicked(index);
        else if (b.second.contains(pos))
            emit declineClicked(index);
        return true;
    }
    if (kind == Kind::friendRow && b.second.contains(pos)) {
        emit moreClicked(index, mouse->globalPosition().toPoint());
        return true;
    }
    if (kind == Kind::friendRow && b.first.contains(pos)) {
        emit messageClicked(index);
        return true;
    }
    emit rowClicked(index);
    return true;
}
