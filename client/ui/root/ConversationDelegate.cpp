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

    // Right column: badge or pin on the name's line, the muted bell on the preview's line.
    const qreal right = card.right() - kPadX;
    const qreal nameLine = card.top() + card.height() * 0.36;
    const qreal previewLine = card.top() + card.height() * 0.68;
    const QString badge = index.data(ConversationListModel::BadgeRole).toString();
    const bool muted = index.data(ConversationListModel::MutedRole).toBool();
    qreal nameRight = right;
    qreal previewRight = right;
    if (!badge.isEmpty()) {
        const QColor fill = muted ? Style::mutedBadge.resolved(dark) : MTheme::danger.resolved(dark);
        const qreal width = badgeWidth(badge, 18);
        const QRectF pill = paintBadge(*p, QPointF(right - width / 2, nameLine), badge, fill, 18);
        nameRight = pill.left() - 8;
    } else if (index.data(ConversationListModel::PinnedRole).toBool()) {
        const QRectF pin(right - 14, nameLine - 7, 14, 14);
        Icons::paint(*p, pin, Icons::Glyph::pin, MTheme::inkSoft.resolved(dark));
        nameRight = pin.left() - 8;
    }
    if (muted) {
        const QRectF bell(right - 14, previewLine - 7, 14, 14);
        Icons::paint(*p, bell, Icons::Glyph::bellSlash, MTheme::inkSoft.resolved(dark));
        previewRight = bell.left() - 8;
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
