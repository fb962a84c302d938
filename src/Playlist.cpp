#include "Playlist.h"

#include <QPainter>

Playlist::Playlist(QWidget* parent) : QListWidget(parent) {}

void Playlist::currentChanged(const QModelIndex& current, const QModelIndex& previous)
{
    // QListView announces the new current row as focused whether or not it has focus.
    if (hasFocus())
        QListWidget::currentChanged(current, previous);
    else
        QAbstractItemView::currentChanged(current, previous);
}

void Playlist::paintEvent(QPaintEvent* event)
{
    QListWidget::paintEvent(event);
    if (!hasFocus())
        return;
    // White on the black background: the same contrast as the rows' text.
    QPainter painter(viewport());
    painter.setPen(QPen(Qt::white, 2, Qt::DotLine));
    painter.drawRect(viewport()->rect().adjusted(1, 1, -1, -1));
}
