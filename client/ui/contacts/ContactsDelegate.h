#pragma once

#include <QStyledItemDelegate>

// Paints the contacts list: section headers, friend requests with their two buttons or their
// status, friends (message and more buttons on hover) and groups with their member count.
class ContactsDelegate : public QStyledItemDelegate {
    Q_OBJECT

public:
    static constexpr int kHeaderHeight = 40;
    static constexpr int kNoteHeight = 32;
    static constexpr int kRowHeight = 62;

    using QStyledItemDelegate::QStyledItemDelegate;

    struct Buttons {
        QRectF first;  // accept, or message
        QRectF second; // decline, or more
    };
    // Where a row's buttons are; empty rectangles for rows without buttons.
    static Buttons buttons(const QRect &row, const QModelIndex &index);

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

signals:
    void acceptClicked(const QModelIndex &index);
    void declineClicked(const QModelIndex &index);
    void messageClicked(const QModelIndex &index);
    void moreClicked(const QModelIndex &index, const QPoint &globalPos);
    // A click on the row outside its buttons.
    void rowClicked(const QModelIndex &index);

protected:
    bool editorEvent(QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option,
                     const QModelIndex &index) override;
};
