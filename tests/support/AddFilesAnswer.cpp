#include "AddFilesAnswer.h"

#include <QAction>
#include <QCoreApplication>
#include <QEvent>
#include <QFileDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMainWindow>
#include <QPointer>
#include <QTimer>
#include <cstdio>

AddFilesAnswer::AddFilesAnswer(QStringList paths, QObject* parent)
    : QObject(parent), paths(std::move(paths))
{
}

bool AddFilesAnswer::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::Show)
        return false;
    // Both act from the event loop once the widget has finished showing.
    if (!windowSeen && watched->objectName() == QLatin1String("MainWindow")) {
        if (auto* window = qobject_cast<QMainWindow*>(watched)) {
            windowSeen = true;
            QPointer<QMainWindow> shown(window);
            QTimer::singleShot(0, this, [this, shown] {
                if (shown)
                    addFiles(shown);
            });
        }
    } else if (windowSeen && !dialogSeen && qobject_cast<QFileDialog*>(watched)) {
        dialogSeen = true;
        QPointer<QObject> dialog(watched);
        QTimer::singleShot(0, this, [this, dialog] {
            if (dialog)
                answer(dialog);
        });
    }
    return false;
}

void AddFilesAnswer::addFiles(QMainWindow* window)
{
    auto* command = window->findChild<QAction*>(QStringLiteral("menuAddFiles"));
    auto* list = window->findChild<QListWidget*>(QStringLiteral("listFiles"));
    if (!command || !list) {
        std::fprintf(stderr, "the window has no Add files command or no playlist\n");
        return;
    }
    // Returns once the dialog has closed and the command has appended the rows.
    command->trigger();
    std::printf("rows %d\n", list->count());
    std::fflush(stdout);
}

void AddFilesAnswer::answer(QObject* object)
{
    auto* dialog = static_cast<QFileDialog*>(object);
    auto* nameEdit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    if (!nameEdit) {
        std::fprintf(stderr, "the file dialog has no file name field\n");
        dialog->reject();
        return;
    }
    // Several names go in quoted and separated by blanks, as the dialog itself writes them.
    QStringList quoted;
    for (const QString& path : std::as_const(paths))
        quoted << QLatin1Char('"') + path + QLatin1Char('"');
    nameEdit->setText(quoted.join(QLatin1Char(' ')));
    // QDialog::accept is public; the call still reaches QFileDialog's own checks.
    static_cast<QDialog*>(dialog)->accept();
}
