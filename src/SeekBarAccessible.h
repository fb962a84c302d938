// SeekBarAccessible: what assistive technology (a screen reader) is told of the seek slider. Its
// own value stays in milliseconds for the window; assistive technology gets the position in
// whole seconds of the track, and as text in the minutes and seconds a person reads ("1:23 of
// 4:56"). A value set from assistive technology moves the handle as the keyboard does: the track
// is sought only when the handle is let go.
//
// Threads: GUI thread only.
#pragma once

#include <QAccessibleWidget>

class QSlider;

class SeekBarAccessible : public QAccessibleWidget, public QAccessibleValueInterface
{
public:
    // Makes assistive technology use this for the slider named `objectName`, from now on.
    static void installFor(const QString& objectName);
    // "1:23 of 4:56" for a position and a length in milliseconds ("1:02:03" past an hour).
    static QString timeText(int positionMs, int lengthMs);

    explicit SeekBarAccessible(QSlider* slider);

    void* interface_cast(QAccessible::InterfaceType type) override;
    QString text(QAccessible::Text type) const override;

    QVariant currentValue() const override;
    void setCurrentValue(const QVariant& value) override;
    QVariant maximumValue() const override;
    QVariant minimumValue() const override;
    QVariant minimumStepSize() const override;

private:
    QSlider* slider() const;
};
