#include "FileDialogAnswer.h"

#include "DriverClock.h"

#include <QEvent>
#include <QFileDialog>
#include <QLineEdit>
#include <QPointer>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <limits>

FileDialogAnswer::FileDialogAnswer(QStringList paths, QObject* parent)
    : QObject(parent), paths(std::move(paths))
{
}

bool FileDialogAnswer::eventFilter(QObject* watched, QEvent* event)
{
    if (armed && event->type() == QEvent::Show && qobject_cast<QFileDialog*>(watched)) {
        armed = false;
        // Answer once the dialog has finished showing, from its own event loop.
        QPointer<QObject> dialog(watched);
        QTimer::singleShot(0, this, [this, dialog] {
            if (dialog)
                answer(dialog);
        });
    }
    return false;
}

void FileDialogAnswer::answer(QObject* object)
{
    auto* dialog = static_cast<QFileDialog*>(object);
    auto* nameEdit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    if (!nameEdit) {
        std::fprintf(stderr, "the file dialog has no file name field\n");
        std::exit(3);
    }
    // Several names are typed quoted and separated by blanks, as the dialog itself writes them.
    QString typed;
    if (paths.size() == 1) {
        typed = paths.first();
    } else {
        typed.reserve(paths.size() * (paths.first().size() + 3));
        for (const QString& path : paths)
            typed += QLatin1Char('"') + path + QStringLiteral("\" ");
    }
    // The field's completion works on every change, which for thousands of names typed at once
    // takes minutes: the text goes in without it. The dialog reads the field again on accept.
    nameEdit->setMaxLength(std::numeric_limits<int>::max());
    const bool wasBlocked = nameEdit->blockSignals(true);
    nameEdit->setText(typed);
    nameEdit->blockSignals(wasBlocked);
    connect(dialog, &QDialog::finished, this, [this] { answered = DriverClock::nowNs(); });
    // QDialog::accept is public; the call still reaches QFileDialog's own checks.
    static_cast<QDialog*>(dialog)->accept();
    if (dialog->isVisible()) {
        // The dialog refused the answer (a file that does not exist); a warning box waits.
        std::fprintf(stderr, "the file dialog did not accept the paths\n");
        std::exit(3);
    }
}
