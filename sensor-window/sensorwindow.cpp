#include "sensorwindow.h"

#include "directbtn.h"

#include <QKeySequence>
#include <QLabel>
#include <QShortcut>
#include <QTimer>

namespace {
const int remapDelayMs = 100;
}

SensorWindow::SensorWindow(QWidget *parent)
    : QMainWindow(parent)
    , upBtn(nullptr)
    , downBtn(nullptr)
    , leftBtn(nullptr)
    , rightBtn(nullptr)
    , upLeftBtn(nullptr)
    , downLeftBtn(nullptr)
    , upRightBtn(nullptr)
    , downRightBtn(nullptr)
    , pauseBtn(nullptr)
{
    setFixedSize(400, 400);
    setWindowTitle(tr("重力传感器"));

    // The keypad presses the button in the same place of the pad, with NumLock
    // on (digits) or off (the keypad's navigation keys). The X11 platform drops
    // the keypad modifier when matching shortcuts, so the keys are given without
    // it: the main keyboard's digits, arrows, Home, End and page keys work alike.
    upBtn = makeButton(1, QPoint(170, 0), "上", tr("Tilt up"), Qt::Key_8, Qt::Key_Up);
    downBtn = makeButton(2, QPoint(170, 300), "下", tr("Tilt down"), Qt::Key_2, Qt::Key_Down);
    leftBtn = makeButton(3, QPoint(10, 150), "左", tr("Tilt left"), Qt::Key_4, Qt::Key_Left);
    rightBtn = makeButton(4, QPoint(300, 150), "右", tr("Tilt right"), Qt::Key_6, Qt::Key_Right);
    upLeftBtn = makeButton(5, QPoint(10, 0), "左上", tr("Tilt up and left"), Qt::Key_7, Qt::Key_Home);
    downLeftBtn = makeButton(6, QPoint(10, 300), "左下", tr("Tilt down and left"), Qt::Key_1, Qt::Key_End);
    upRightBtn = makeButton(7, QPoint(300, 0), "右上", tr("Tilt up and right"), Qt::Key_9, Qt::Key_PageUp);
    downRightBtn = makeButton(8, QPoint(300, 300), "右下", tr("Tilt down and right"), Qt::Key_3,
                              Qt::Key_PageDown);
    pauseBtn = makeButton(9, QPoint(170, 150), "暂停", tr("Lie flat (pause)"), Qt::Key_5, Qt::Key_Clear);
}

SensorWindow::~SensorWindow() = default;

DirectBtn *SensorWindow::makeButton(int index, const QPoint &position, const char *caption,
                                    const QString &description, int keypadDigit, int otherKey)
{
    auto *button = new DirectBtn(this);
    button->indexLabel->setText(QString::number(index));
    button->move(position);
    button->setText(QString::fromUtf8(caption));

    const QString acceleration = DirectBtn::accelerationFor(index);
    button->setAccessibleName(description);
    button->setToolTip(tr("%1: sends acceleration %2").arg(description, acceleration));
    button->setShortcut(QKeySequence(keypadDigit));
    // A button has one shortcut of its own; the second key goes through a QShortcut.
    auto *other = new QShortcut(QKeySequence(otherKey), this);
    connect(other, &QShortcut::activated, button, [button] { button->animateClick(); });
    return button;
}

void SensorWindow::pullUpWindow(const QString &message)
{
    Q_UNUSED(message);
    hide();
    // Map the window again only once the window manager has had time to
    // withdraw it: a map that overtakes the withdrawal can leave the window
    // withdrawn and unmapped for good (seen with openbox on a loaded machine).
    QTimer::singleShot(remapDelayMs, this, [this] {
        show();
        showNormal();
    });
}
