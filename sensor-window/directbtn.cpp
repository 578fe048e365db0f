#include "directbtn.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDebug>
#include <QLabel>

DirectBtn::DirectBtn(QWidget *parent)
    : QPushButton(parent)
    , indexLabel(nullptr)
{
    resize(80, 80);
    indexLabel = new QLabel(this);
    indexLabel->hide();
    connect(this, &QAbstractButton::clicked, this, &DirectBtn::onClicked);
}

DirectBtn::~DirectBtn() = default;

QString DirectBtn::accelerationFor(int index)
{
    // The receiver parses fixed three-character fields, hence "-8." rather than "-8.0".
    switch (index) {
    case 1: return QStringLiteral("0.0:-8.:0.0");
    case 2: return QStringLiteral("0.0:8.0:0.0");
    case 3: return QStringLiteral("8.0:0.0:0.0");
    case 4: return QStringLiteral("-8.:0.0:0.0");
    case 5: return QStringLiteral("8.0:-8.:0.0");
    case 6: return QStringLiteral("8.0:8.0:0.0");
    case 7: return QStringLiteral("-8.:-8.:0.0");
    case 8: return QStringLiteral("-8.:8.0:0.0");
    case 9: return QStringLiteral("0.0:0.0:9.8");
    default: return QString();
    }
}

void DirectBtn::onClicked()
{
    const QString labelText = indexLabel->text();
    const int index = labelText.toInt(nullptr, 10);
    qDebug() << labelText << index;

    const QString acceleration = accelerationFor(index);
    if (acceleration.isEmpty())
        return;

    // A fresh proxy per click: the service may have come or gone since the last one.
    QDBusInterface sensor(QStringLiteral("com.tarvo.Vexa.sensor"), QStringLiteral("/"),
                          QStringLiteral("com.tarvo.Vexa.sensor"), QDBusConnection::sessionBus());
    if (!sensor.isValid())
        return;
    // The service's answer changes nothing here; the call only has to be made.
    const QDBusReply<QString> reply = sensor.call(QStringLiteral("passAcceKey"), acceleration);
    Q_UNUSED(reply);
}
