#include "directbtn.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
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
    case 1:
        return QStringLiteral("0.0:-8.:0.0");
    case 2:
        return QStringLiteral("0.0:8.0:0.0");
    case 3:
        return QStringLiteral("8.0:0.0:0.0");
    case 4:
        return QStringLiteral("-8.:0.0:0.0");
    case 5:
        return QStringLiteral("8.0:-8.:0.0");
    case 6:
        return QStringLiteral("8.0:8.0:0.0");
    case 7:
        return QStringLiteral("-8.:-8.:0.0");
    case 8:
        return QStringLiteral("-8.:8.0:0.0");
    case 9:
        return QStringLiteral("0.0:0.0:9.8");
    default:
        return QString();
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

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("com.tarvo.Vexa.sensor"), QStringLiteral("/"), QStringLiteral("com.tarvo.Vexa.sensor"),
        QStringLiteral("passAcceKey"));
    call << acceleration;
    // Without an owner of the name the bus refuses the call at once instead of
    // starting a service for it, so a service that comes later sees only later clicks.
    call.setAutoStartService(false);
    // Not waited for: a service that takes the call and never answers must not
    // freeze the window. Calls leave this one connection in click order and
    // reach the service in that order; the answer changes nothing here.
    bus.asyncCall(call);
}
