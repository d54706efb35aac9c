#pragma once

#include <QStyledItemDelegate>

// Paints one conversation row: avatar, name, draft or preview, and on the right the unread
// badge (subdued when muted) or the pin, with the muted bell under it.
class ConversationDelegate : public QStyledItemDelegate {
    Q_OBJECT

public:
    static constexpr int kRowHeight = 72;
    static constexpr int kAvatar = 46;

    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
};
