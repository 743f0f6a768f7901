// Guards the COM-number-to-device mapping: the --ports folder, the order of the machine's own
// ports, the 1..15 range, and the --list-ports text.
#include "link/portnames.h"

#include <QtTest>

using vell::link::PortNames;
using SystemPort = PortNames::SystemPort;

class TstPortNames : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void directoryNames_data();
    void directoryNames();
    void order_data();
    void order();
    void systemPortsAreNumberedFromCom1();
    void tableAndDescribeListPresentDevices();
};

void TstPortNames::directoryNames_data()
{
    QTest::addColumn<int>("com");
    QTest::addColumn<QString>("device");
    QTest::newRow("COM1") << 1 << QStringLiteral("/tmp/bench/COM1");
    QTest::newRow("COM15") << 15 << QStringLiteral("/tmp/bench/COM15");
    QTest::newRow("0 is no port") << 0 << QString();
    QTest::newRow("16 is beyond the range") << 16 << QString();
    QTest::newRow("negative") << -3 << QString();
}

void TstPortNames::directoryNames()
{
    QFETCH(int, com);
    QFETCH(QString, device);
    const PortNames names = PortNames::fromDirectory(QStringLiteral("/tmp/bench"));
    QCOMPARE(names.deviceFor(com), device);
    QCOMPARE(names.directory(), QStringLiteral("/tmp/bench"));
}

void TstPortNames::order_data()
{
    QTest::addColumn<QList<SystemPort>>("ports");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("USB by vendor id or name before the rest, each by location")
        << QList<SystemPort>{{"ttyS1", "/dev/ttyS1", false},    {"ttyACM0", "/dev/ttyACM0", false},
                             {"ttyS0", "/dev/ttyS0", false},    {"rfcomm0", "/dev/rfcomm0", true},
                             {"ttyUSB1", "/dev/ttyUSB1", true}, {"ttyUSB0", "/dev/ttyUSB0", true}}
        << QStringList{"/dev/rfcomm0", "/dev/ttyACM0", "/dev/ttyUSB0",
                       "/dev/ttyUSB1", "/dev/ttyS0",   "/dev/ttyS1"};
    QTest::newRow("a port listed twice counts once")
        << QList<SystemPort>{{"ttyUSB0", "/dev/ttyUSB0", true}, {"ttyUSB0", "/dev/ttyUSB0", true}}
        << QStringList{"/dev/ttyUSB0"};
    QTest::newRow("none") << QList<SystemPort>{} << QStringList{};
}

void TstPortNames::order()
{
    QFETCH(QList<SystemPort>, ports);
    QFETCH(QStringList, expected);
    QCOMPARE(PortNames::order(ports), expected);
    // The order must not depend on the order the machine lists them in.
    std::reverse(ports.begin(), ports.end());
    QCOMPARE(PortNames::order(ports), expected);
}

void TstPortNames::systemPortsAreNumberedFromCom1()
{
    const PortNames names = PortNames::fromSystemPorts(
        {{"ttyS0", "/dev/ttyS0", false}, {"ttyUSB0", "/dev/ttyUSB0", true}});
    QCOMPARE(names.deviceFor(1), QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(names.deviceFor(2), QStringLiteral("/dev/ttyS0"));
    QCOMPARE(names.deviceFor(3), QString());
    QCOMPARE(names.deviceFor(0), QString());
    QCOMPARE(names.table(), (QList<QPair<int, QString>>{{1, "/dev/ttyUSB0"}, {2, "/dev/ttyS0"}}));
}

void TstPortNames::tableAndDescribeListPresentDevices()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const PortNames names = PortNames::fromDirectory(dir.path());
    QVERIFY(names.table().isEmpty());
    QVERIFY(!names.describe().isEmpty());

    for (const char *name : {"COM3", "COM12", "COM16", "other"}) {
        QFile f(dir.filePath(QLatin1String(name)));
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    const QList<QPair<int, QString>> expected{{3, dir.filePath("COM3")},
                                              {12, dir.filePath("COM12")}};
    QCOMPARE(names.table(), expected);
    QCOMPARE(
        names.describe(),
        QStringLiteral("COM3  %1\nCOM12 %2\n").arg(dir.filePath("COM3"), dir.filePath("COM12")));
}

QTEST_GUILESS_MAIN(TstPortNames)
#include "tst_portnames.moc"
