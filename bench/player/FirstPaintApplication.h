// A QApplication for start-up benchmarks: it notes when one top-level widget has been painted for
// the first time (its own paint and its children's, at the end of that paint pass), prints the
// steps it passed through as "name nanoseconds" lines on stdout (CLOCK_MONOTONIC, the clock the
// benchmark runner reads before it starts the process) and ends the process right there.
//
// Threads: GUI thread only.
#pragma once

#include <QApplication>

class FirstPaintApplication : public QApplication
{
public:
    FirstPaintApplication(int& argc, char** argv);

    // The window whose first paint ends the run.
    void watch(QWidget* window);

    bool notify(QObject* receiver, QEvent* event) override;

private:
    QWidget* window = nullptr;
    int depth = 0;
    bool painted = false;
};
