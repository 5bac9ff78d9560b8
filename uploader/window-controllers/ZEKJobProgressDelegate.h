#pragma once

#include <QStyledItemDelegate>

// Draws the state cell of a job being sent as a progress bar with the cell's text on it; every
// other cell as usual.
class ZEKJobProgressDelegate : public QStyledItemDelegate {
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
};
