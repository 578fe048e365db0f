// The sensor window on the offscreen platform, talking to the stand-in sensor
// service on a private session bus (the test is run under dbus-run-session).

#include "directbtn.h"
#include "sensorwindow.h"
#include "testutil.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QTranslator>
#include <QtTest>

#include <memory>

namespace {

struct PadButton
{
    int index;
    QRect geometry;
    const char *caption;
    const char *acceleration;
    Qt::Key keypadKey;
};

const PadButton padButtons[] = {
    {1, {170, 0, 80, 80}, "上", "0.0:-8.:0.0", Qt::Key_8},
    {2, {170, 300, 80, 80}, "下", "0.0:8.0:0.0", Qt::Key_2},
    {3, {10, 150, 80, 80}, "左", "8.0:0.0:0.0", Qt::Key_4},
    {4, {300, 150, 80, 80}, "右", "-8.:0.0:0.0", Qt::Key_6},
    {5, {10, 0, 80, 80}, "左上", "8.0:-8.:0.0", Qt::Key_7},
    {6, {10, 300, 80, 80}, "左下", "8.0:8.0:0.0", Qt::Key_1},
    {7, {300, 0, 80, 80}, "右上", "-8.:-8.:0.0", Qt::Key_9},
    {8, {300, 300, 80, 80}, "右下", "-8.:8.0:0.0", Qt::Key_3},
    {9, {170, 150, 80, 80}, "暂停", "0.0:0.0:9.8", Qt::Key_5},
};

const QString sensorService = QStringLiteral("com.tarvo.Vexa.sensor");

class PaintCounter : public QObject
{
public:
    int m_paints = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++m_paints;
        return false;
    }
};

} // namespace

class TestSensorWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void padLayout();
    void titleFollowsCatalogue_data();
    void titleFollowsCatalogue();
    void pullUpRestoresMinimizedWindow();
    void clicksSendTheirAcceleration();
    void invalidIndexSendsNothing();
    void keyboardPressesMatchingButton();
    void clickWithoutServiceIsHarmless();
    void failingServiceChangesNothing();
    void silentServiceLeavesWindowResponsive();

private:
    DirectBtn *button(SensorWindow &window, int index);
    bool startSensor(const QStringList &extraArguments = {});
    void stopSensor();
    QString nextReceived(int timeoutMs = TestUtil::waitLimitMs);

    std::unique_ptr<QProcess> m_sensor;
};

void TestSensorWindow::initTestCase()
{
    QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run this test under dbus-run-session");
}

void TestSensorWindow::cleanup()
{
    stopSensor();
}

DirectBtn *TestSensorWindow::button(SensorWindow &window, int index)
{
    const auto buttons = window.findChildren<DirectBtn *>(QString(), Qt::FindDirectChildrenOnly);
    for (DirectBtn *candidate : buttons) {
        if (candidate->indexLabel && candidate->indexLabel->text() == QString::number(index))
            return candidate;
    }
    return nullptr;
}

bool TestSensorWindow::startSensor(const QStringList &extraArguments)
{
    m_sensor = std::make_unique<QProcess>();
    m_sensor->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_sensor->start(QStringLiteral(FAKE_SENSOR), extraArguments);
    if (!m_sensor->waitForStarted(TestUtil::waitLimitMs))
        return false;
    QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
    QElapsedTimer timer;
    timer.start();
    while (!bus->isServiceRegistered(sensorService).value()) {
        if (timer.elapsed() > TestUtil::waitLimitMs || m_sensor->state() == QProcess::NotRunning)
            return false;
        QTest::qWait(20);
    }
    return true;
}

void TestSensorWindow::stopSensor()
{
    if (!m_sensor)
        return;
    m_sensor->terminate();
    if (!m_sensor->waitForFinished(TestUtil::waitLimitMs)) {
        m_sensor->kill();
        m_sensor->waitForFinished(TestUtil::waitLimitMs);
    }
    m_sensor.reset();
    QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
    QTRY_VERIFY_WITH_TIMEOUT(!bus->isServiceRegistered(sensorService).value(), TestUtil::waitLimitMs);
}

QString TestSensorWindow::nextReceived(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    // Keep the event loop running: keyboard shortcuts click through a timer.
    while (!m_sensor->canReadLine() && timer.elapsed() < timeoutMs)
        QTest::qWait(10);
    if (!m_sensor->canReadLine())
        return QStringLiteral("<nothing received>");
    return QString::fromUtf8(m_sensor->readLine()).chopped(1);
}

void TestSensorWindow::padLayout()
{
    SensorWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window, TestUtil::waitLimitMs));

    QCOMPARE(window.minimumSize(), QSize(400, 400));
    QCOMPARE(window.maximumSize(), QSize(400, 400));
    QCOMPARE(window.size(), QSize(400, 400));
    QVERIFY(!window.centralWidget());
    QCOMPARE(window.findChildren<DirectBtn *>().size(), 9);

    QStringList accessibleNames;
    for (const PadButton &expected : padButtons) {
        DirectBtn *pad = button(window, expected.index);
        QVERIFY2(pad, qPrintable(QString::number(expected.index)));
        QCOMPARE(pad->geometry(), expected.geometry);
        QCOMPARE(pad->text(), QString::fromUtf8(expected.caption));
        QVERIFY(pad->isVisible());
        QVERIFY(!pad->indexLabel->isVisible());
        QCOMPARE(pad->indexLabel->parentWidget(), pad);
        QVERIFY(QRect(0, 0, 400, 400).contains(pad->geometry()));
        QVERIFY(pad->toolTip().contains(QLatin1String(expected.acceleration)));
        QVERIFY(!pad->accessibleName().isEmpty());
        QVERIFY(!accessibleNames.contains(pad->accessibleName()));
        accessibleNames << pad->accessibleName();
        for (const PadButton &other : padButtons) {
            if (other.index != expected.index)
                QVERIFY(!expected.geometry.intersects(other.geometry));
        }
    }
}

void TestSensorWindow::titleFollowsCatalogue_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("title");
    QTest::newRow("English") << QStringLiteral("en_US") << QStringLiteral("Gravity Sensor");
    QTest::newRow("Chinese") << QStringLiteral("zh_CN") << QString::fromUtf8("重力传感器");
    QTest::newRow("no catalogue") << QStringLiteral("fr_FR") << QString::fromUtf8("重力传感器");
}

void TestSensorWindow::titleFollowsCatalogue()
{
    QFETCH(QString, locale);
    QFETCH(QString, title);
    // The same lookup the program makes, in the directory the build writes the catalogues to.
    QTranslator translator;
    const bool loaded = translator.load(QLocale(locale), QStringLiteral("tarvo-vexa-sensorwindow"),
                                        QStringLiteral("_"), QStringLiteral(QM_DIR));
    QCOMPARE(loaded, locale != QLatin1String("fr_FR"));
    if (loaded)
        QCoreApplication::installTranslator(&translator);
    SensorWindow window;
    QCoreApplication::removeTranslator(&translator);
    QCOMPARE(window.windowTitle(), title);
}

void TestSensorWindow::pullUpRestoresMinimizedWindow()
{
    SensorWindow window;
    window.showMinimized();
    QVERIFY(window.isMinimized());
    window.pullUpWindow(QStringLiteral("/usr/bin/whatever"));
    // The window is mapped again on a short timer, after its withdrawal.
    QTRY_VERIFY_WITH_TIMEOUT(window.isVisible(), TestUtil::waitLimitMs);
    QVERIFY(!window.isMinimized());
    QCOMPARE(window.size(), QSize(400, 400));
}

void TestSensorWindow::clicksSendTheirAcceleration()
{
    QVERIFY(startSensor());
    SensorWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window, TestUtil::waitLimitMs));

    for (const PadButton &expected : padButtons) {
        QTest::mouseClick(button(window, expected.index), Qt::LeftButton);
        QCOMPARE(nextReceived(), QLatin1String(expected.acceleration));
    }
    // Two clicks are two calls, not one merged call.
    QTest::mouseClick(button(window, 7), Qt::LeftButton);
    QTest::mouseClick(button(window, 7), Qt::LeftButton);
    QCOMPARE(nextReceived(), QStringLiteral("-8.:-8.:0.0"));
    QCOMPARE(nextReceived(), QStringLiteral("-8.:-8.:0.0"));
}

void TestSensorWindow::invalidIndexSendsNothing()
{
    QVERIFY(startSensor());
    SensorWindow window;
    window.show();
    DirectBtn *pad = button(window, 9);
    QVERIFY(pad);
    for (const char *label : {"0", "10", "-1", "abc", ""}) {
        pad->indexLabel->setText(QString::fromLatin1(label));
        QTest::mouseClick(pad, Qt::LeftButton);
    }
    pad->indexLabel->setText(QStringLiteral("9"));
    QTest::mouseClick(pad, Qt::LeftButton);
    // Calls leave in click order, so anything sent for the bad labels would come first.
    QCOMPARE(nextReceived(), QStringLiteral("0.0:0.0:9.8"));
}

void TestSensorWindow::keyboardPressesMatchingButton()
{
    QVERIFY(startSensor());
    SensorWindow window;
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window, TestUtil::waitLimitMs));

    for (const PadButton &expected : padButtons) {
        QTest::keyClick(&window, expected.keypadKey, Qt::KeypadModifier);
        QCOMPARE(nextReceived(), QLatin1String(expected.acceleration));
    }
    const QPair<Qt::Key, const char *> arrows[] = {
        {Qt::Key_Up, "0.0:-8.:0.0"},
        {Qt::Key_Down, "0.0:8.0:0.0"},
        {Qt::Key_Left, "8.0:0.0:0.0"},
        {Qt::Key_Right, "-8.:0.0:0.0"},
    };
    for (const auto &arrow : arrows) {
        QTest::keyClick(&window, arrow.first);
        QCOMPARE(nextReceived(), QLatin1String(arrow.second));
    }
}

void TestSensorWindow::clickWithoutServiceIsHarmless()
{
    SensorWindow window;
    window.show();
    QTest::mouseClick(button(window, 9), Qt::LeftButton);
    QVERIFY(window.isVisible());

    // Nothing was queued or retried: a service that comes later sees only later clicks.
    QVERIFY(startSensor());
    QTest::mouseClick(button(window, 1), Qt::LeftButton);
    QCOMPARE(nextReceived(), QStringLiteral("0.0:-8.:0.0"));
    QVERIFY(!m_sensor->waitForReadyRead(300));
}

void TestSensorWindow::failingServiceChangesNothing()
{
    QVERIFY(startSensor({QStringLiteral("--fail")}));
    SensorWindow window;
    window.show();
    QTest::mouseClick(button(window, 2), Qt::LeftButton);
    QTest::mouseClick(button(window, 2), Qt::LeftButton);
    QCOMPARE(nextReceived(), QStringLiteral("0.0:8.0:0.0"));
    QCOMPARE(nextReceived(), QStringLiteral("0.0:8.0:0.0"));
    QVERIFY(window.isVisible());
}

void TestSensorWindow::silentServiceLeavesWindowResponsive()
{
    QVERIFY(startSensor({QStringLiteral("--silent")}));
    SensorWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window, TestUtil::waitLimitMs));
    PaintCounter counter;
    window.installEventFilter(&counter);

    QElapsedTimer timer;
    timer.start();
    QTest::mouseClick(button(window, 5), Qt::LeftButton);
    QCOMPARE(nextReceived(), QStringLiteral("8.0:-8.:0.0"));
    // The first call is still unanswered: the window repaints and the next click goes out at once.
    const int paintsBefore = counter.m_paints;
    window.update();
    QTRY_VERIFY_WITH_TIMEOUT(counter.m_paints > paintsBefore, TestUtil::waitLimitMs);
    QTest::mouseClick(button(window, 8), Qt::LeftButton);
    QCOMPARE(nextReceived(), QStringLiteral("-8.:8.0:0.0"));
    // A click that waited for the answer would take QtDBus's 25 s timeout.
    QVERIFY2(timer.elapsed() < 10000, qPrintable(QString::number(timer.elapsed())));
}

QTEST_MAIN(TestSensorWindow)
#include "tst_sensorwindow.moc"
