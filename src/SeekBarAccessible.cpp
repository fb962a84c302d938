#include "SeekBarAccessible.h"

#include <QCoreApplication>
#include <QSlider>

#include <algorithm>

namespace
{

QString seekBarName;

QAccessibleInterface* makeFor(const QString& className, QObject* object)
{
    auto* slider = qobject_cast<QSlider*>(object);
    if (className != QLatin1String("QSlider") || !slider || slider->objectName() != seekBarName)
        return nullptr;
    return new SeekBarAccessible(slider);
}

QString clock(int ms)
{
    const int seconds = std::max(ms, 0) / 1000;
    const QLatin1Char zero('0');
    if (seconds < 3600)
        return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, zero);
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600)
        .arg(seconds / 60 % 60, 2, 10, zero)
        .arg(seconds % 60, 2, 10, zero);
}

} // namespace

void SeekBarAccessible::installFor(const QString& objectName)
{
    if (seekBarName.isEmpty())
        QAccessible::installFactory(&makeFor);
    seekBarName = objectName;
}

QString SeekBarAccessible::timeText(int positionMs, int lengthMs)
{
    return QCoreApplication::translate("MainWindow", "%1 of %2")
        .arg(clock(positionMs), clock(lengthMs));
}

SeekBarAccessible::SeekBarAccessible(QSlider* slider)
    : QAccessibleWidget(slider, QAccessible::Slider)
{
}

QSlider* SeekBarAccessible::slider() const
{
    return static_cast<QSlider*>(object());
}

void* SeekBarAccessible::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::ValueInterface)
        return static_cast<QAccessibleValueInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
}

QString SeekBarAccessible::text(QAccessible::Text type) const
{
    if (type == QAccessible::Value)
        return timeText(slider()->value(), slider()->maximum());
    return QAccessibleWidget::text(type);
}

QVariant SeekBarAccessible::currentValue() const
{
    return slider()->value() / 1000;
}

void SeekBarAccessible::setCurrentValue(const QVariant& value)
{
    slider()->setValue(value.toInt() * 1000);
}

QVariant SeekBarAccessible::maximumValue() const
{
    return slider()->maximum() / 1000;
}

QVariant SeekBarAccessible::minimumValue() const
{
    return 0;
}

QVariant SeekBarAccessible::minimumStepSize() const
{
    return 1;
}
