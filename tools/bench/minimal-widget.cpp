// The start-up floor of a window: a Qt program that shows one empty widget of
// the sensor window's size.

#include <QApplication>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    window.resize(400, 400);
    window.show();
    return app.exec();
}
