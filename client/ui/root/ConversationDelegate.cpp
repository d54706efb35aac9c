#include "ui/root/ConversationDelegate.h"

#include "l10n/MTheme.h"
#include "ui/common/AvatarView.h"
#include "ui/common/Decor.h"
#include "ui/common/Icons.h"
#include "ui/common/Style.h"
#include "ui/root/ConversationListModel.h"

#include <QPainter>

namespace {

constexpr int kInsetX = 8;
constexpr int kPadX = 12;

} // namespace

QSize ConversationDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &) const
{
    return {option.rect.width(), kRowHeight};
}

void ConversationDelegate::paint(QPainter *p, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const bool dark = MTheme::isDark();
    const QRect row = option.rect;
    const bool selected = index.data(ConversationListModel::SelectedRole).toBool();
    const bool hovered = option.state & QStyle::State_MouseOver;

    p->save();
    p->setRenderHint(QPainter::Antialiasing);
    const QRectF card = QRectF(row).adjusted(kInsetX, 2, -kInsetX, -2);
    if (selected || hovered) {
        p->setPen(Qt::NoPen);
        p->setBrush(selected ? MTheme::brandLight.resolved(dark) : Style::hover.resolved(dark));
        p->drawRoundedRect(card, 12, 12);
    }

    const QRectF avatar(card.left() + kPadX, card.center().y() - kAvatar / 2.0, kAvatar, kAvatar);
    AvatarView::paint(*p, avatar, index.data(ConversationListModel::NameRole).toString(),
                      index.data(ConversationListModel::ImageRole).value<QImage>());

    // Right column: the latest message's time on the name's line; on the preview's line the
    // badge, else the pin, with the muted bell before them.
    const qreal right = card.right() - kPadX;
    const qreal nameLine = card.top() + card.height() * 0.36;
    const qreal previewLine = card.top() + card.height() * 0.68;
    const QString badge = index.data(ConversationListModel::BadgeRole).toString();
    const bool muted = index.data(ConversationListModel::MutedRole).toBool();
    qreal nameRight = right;
    qreal previewRight = right;
    const QString time = index.data(ConversationListModel::TimeRole).toString();
    if (!time.isEmpty()) {
        const QFont timeFont = Style::font(11);
        const qreal width = QFontMetricsF(timeFont).horizontalAdvance(time);
        p->setFont(timeFont);
        p->setPen(MTheme::inkSoft.resolved(dark));
        p->drawText(QRectF(right - width, nameLine - 10, width, 20), Qt::AlignRight | Qt::AlignVCenter, time);
        nameRight = right - width - 8;
    }
    if (!badge.isEmpty()) {
        const QColor fill = muted ? Style::mutedBadge.resolved(dark) : MTheme::danger.resolved(dark);
        const qreal width = badgeWidth(badge, 18);
        const QRectF pill = paintBadge(*p, QPointF(previewRight - width / 2, previewLine), badge, fill, 18);
        previewRight = pill.left() - 6;
    } else if (index.data(ConversationListModel::PinnedRole).toBool()) {
        const QRectF pin(previewRight - 13, previewLine - 6.5, 13, 13);
        Icons::paint(*p, pin, Icons::Glyph::pin, MTheme::inkSoft.resolved(dark));
        previewRight = pin.left() - 6;
    }
    if (muted) {
        const QRectF bell(previewRight - 13, previewLine - 6.5, 13, 13);
        Icons::paint(*p, bell, Icons::Glyph::bellSlash, MTheme::inkSoft.resolved(dark));
        previewRight = bell.left() - 6;
    }

    const qreal textLeft = avatar.right() + 12;
    const QFont nameFont = Style::font(14, QFont::DemiBold);
    const QFont previewFont = Style::font(13);
    const QFontMetricsF nameMetrics(nameFont), previewMetrics(previewFont);

    p->setFont(nameFont);
    p->setPen(MTheme::ink.resolved(dark));
    const QString name = nameMetrics.elidedText(index.data(ConversationListModel::NameRole).toString(), Qt::ElideRight,
                                                qMax<qreal>(0, nameRight - textLeft));
    p->drawText(QRectF(textLeft, nameLine - nameMetrics.height() / 2, nameRight - textLeft, nameMetrics.height()),
                Qt::AlignLeft | Qt::AlignVCenter, name);

    const QString preview = index.data(ConversationListModel::PreviewRole).toString();
    const int prefix = index.data(ConversationListModel::DraftPrefixRole).toInt();
    const qreal width = qMax<qreal>(0, previewRight - textLeft);
    const QRectF line(textLeft, previewLine - previewMetrics.height() / 2, width, previewMetrics.height());
    p->setFont(previewFont);
    if (prefix > 0) {
        // "[Draft]" in the danger colour, then the draft text.
        const QString label = preview.left(prefix);
        const qreal labelWidth = qMin(width, previewMetrics.horizontalAdvance(label));
        p->setPen(MTheme::danger.resolved(dark));
        p->drawText(QRectF(line.left(), line.top(), labelWidth, line.height()), Qt::AlignLeft | Qt::AlignVCenter, label);
        p->setPen(MTheme::inkSoft.resolved(dark));
        const QString rest = previewMetrics.elidedText(preview.mid(prefix), Qt::ElideRight, width - labelWidth);
        p->drawText(line.adjusted(labelWidth, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, rest);
    } else {
        p->setPen(MTheme::inkSoft.resolved(dark));
        p->drawText(line, Qt::AlignLeft | Qt::AlignVCenter, previewMetrics.elidedText(preview, Qt::ElideRight, width));
    }
    p->restore();
}
