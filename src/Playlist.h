// Playlist: the list widget of the playlist, as the form's listFiles, with two things Qt 6.4's own
// does not do: it tells assistive technology of a new current row only while it has keyboard focus
// (a row started by the buttons or the automatic advance must not pull a screen reader away from
// where the keyboard is), and it frames itself visibly while it has keyboard focus (the style's
// own focus marks hardly show on its black background).
//
// Threads: GUI thread only.
#pragma once

#include <QListWidget>

class Playlist : public QListWidget
{
public:
    explicit Playlist(QWidget* parent);

protected:
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
    void paintEvent(QPaintEvent* event) override;
};
