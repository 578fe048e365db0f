#pragma once

#include <QMainWindow>

class DirectBtn;

// The simulator's only window: a fixed 3 x 3 pad of direction buttons.
class SensorWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit SensorWindow(QWidget *parent = nullptr);
    ~SensorWindow() override;

public slots:
    // Brings the window back when another start is forwarded here; the message is not used.
    void pullUpWindow(const QString &message);

private:
    DirectBtn *makeButton(int index, const QPoint &position, const char *caption, const QString &description,
                          int keypadDigit, int otherKey);

    DirectBtn *upBtn;
    DirectBtn *downBtn;
    DirectBtn *leftBtn;
    DirectBtn *rightBtn;
    DirectBtn *upLeftBtn;
    DirectBtn *downLeftBtn;
    DirectBtn *upRightBtn;
    DirectBtn *downRightBtn;
    DirectBtn *pauseBtn;
};
