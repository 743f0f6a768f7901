// Guards the simulated programmer's protocol: greeting layout, load handshake and blocks,
// target progress, the protocol fault switches and the switch-list syntax.
#include "link/commandframe.h"
#include "sim/simdevice.h"

#include <QSignalSpy>
#include <QTest>

using vell::link::CommandFrame;
using vell::sim::DeviceOptions;
using vell::sim::SimDevice;

Q_DECLARE_METATYPE(DeviceOptions)

namespace {

QByteArray loadFrame(quint32 length, bool restore = false)
{
    return CommandFrame::load(restore, CommandFrame::SizeFields::fromLength(length));
}

QByteArray targetFrame()
{
    return CommandFrame::programTarget({});
}

// A file whose bytes differ from block to block, so a shifted block shows.
QByteArray fileOf(int length)
{
    QByteArray f(length, Qt::Uninitialized);
    for (int i = 0; i < length; ++i)
        f[i] = char((i * 7 + i / 512) & 0xFF);
    return f;
}

// The bytes the app streams: 512 file bytes and a filler per whole block; the tail is not sent.
QByteArray blocksOf(const QByteArray &file, char filler = 0)
{
    QByteArray wire;
    for (int at = 0; at + 512 <= file.size(); at += 512)
        wire += file.mid(at, 512) + QByteArray(1, filler);
    return wire;
}

QList<QByteArray> outputs(const QSignalSpy &spy)
{
    QList<QByteArray> list;
    for (const auto &args : spy)
        list.append(args.at(0).toByteArray());
    return list;
}

QByteArray token(const QByteArray &reply)
{
    return reply.left(5);
}

DeviceOptions fast(DeviceOptions o = {})
{
    o.stepIntervalMs = 1;
    return o;
}

} // namespace

class TestSimDevice : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void greeting_data()
    {
        QTest::addColumn<QString>("switches");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray ausbr = QByteArray::fromHex("4155534252"
                                                     "0000000000000000000000");
        QTest::newRow("programmer")
            << QString() << ausbr + QByteArray("0106") + QByteArray(4, '\0');
        QTest::newRow("version") << QStringLiteral("version=0107")
                                 << ausbr + QByteArray("0107") + QByteArray(4, '\0');
        QTest::newRow("short") << QStringLiteral("short")
                               << ausbr + QByteArray("0106") + QByteArray(3, '\0');
        QTest::newRow("silent") << QStringLiteral("silent") << QByteArray();
    }
    void greeting()
    {
        QFETCH(QString, switches);
        QFETCH(QByteArray, expected);
        SimDevice device(*DeviceOptions::parse(switches));
        QSignalSpy out(&device, &SimDevice::output);
        device.open();
        QCOMPARE(outputs(out),
                 expected.isEmpty() ? QList<QByteArray>{} : QList<QByteArray>{expected});
        // Every open greets again: the search opens and closes, the load opens once more.
        device.close();
        device.open();
        QCOMPARE(out.size(), expected.isEmpty() ? 0 : 2);
        QCOMPARE(device.openCount(), 2);
    }

    void otherTextIsNoReply()
    {
        SimDevice device(*DeviceOptions::parse(QStringLiteral("text")));
        QSignalSpy out(&device, &SimDevice::output);
        device.open();
        QCOMPARE(out.size(), 1);
        const QByteArray text = out.at(0).at(0).toByteArray();
        QVERIFY(text.size() >= 24);
        for (const char *t :
             {"AUSBR", "ASEND", "ALPOK", "ALPER", "APTOK", "APTER", "ADATA", "AVERI", "APROG"})
            QVERIFY(!text.startsWith(t));
        device.receive(loadFrame(100));
        QCOMPARE(out.size(), 1); // not a programmer: frames go unanswered
        QCOMPARE(device.frames().size(), 1);
    }

    void loadStream_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("chunk");
        QTest::addColumn<char>("filler");
        QTest::newRow("one block, all at once") << 512 << 100000 << '\0';
        QTest::newRow("1000 bytes, tail unsent") << 1000 << 100000 << '\0';
        QTest::newRow("three blocks, byte by byte") << 1536 << 1 << '\0';
        QTest::newRow("three blocks, odd chunks, filler kept as sent") << 1536 << 7 << '\x5A';
        QTest::newRow("eight blocks, block-sized chunks") << 4096 + 100 << 513 << '\0';
    }
    void loadStream()
    {
        QFETCH(int, length);
        QFETCH(int, chunk);
        QFETCH(char, filler);
        const QByteArray file = fileOf(length);
        const QByteArray wire = blocksOf(file, filler);
        const int blocks = length / 512;
        SimDevice device;
        device.open();
        QSignalSpy out(&device, &SimDevice::output);
        QSignalSpy completed(&device, &SimDevice::loadCompleted);

        device.receive(loadFrame(length));
        QCOMPARE(outputs(out), QList<QByteArray>{SimDevice::reply("ASEND")});
        QCOMPARE(device.announcedLength(), quint32(length));

        for (int at = 0; at < wire.size(); at += chunk) {
            QCOMPARE(out.size(), 1); // nothing more until the last block is complete
            device.receive(wire.mid(at, chunk));
        }
        QCOMPARE(outputs(out).last(), SimDevice::reply("ALPOK"));
        QCOMPARE(out.size(), 2);
        QCOMPARE(completed.size(), 1);
        QCOMPARE(completed.at(0).at(0).toBool(), true);
        QCOMPARE(device.image(), file.left(blocks * 512)); // the filler is never image
        QCOMPARE(device.fillers(), QByteArray(blocks, filler));
        QCOMPARE(device.receivedBytes(), qint64(24 + wire.size()));
        QCOMPARE(device.frames(), QList<QByteArray>{loadFrame(length)});
        QCOMPARE(device.state(), SimDevice::State::Idle);
    }

    void loadOutcome_data()
    {
        QTest::addColumn<QString>("switches");
        QTest::addColumn<int>("length");
        QTest::addColumn<QList<QByteArray>>("expected");
        const QByteArray send = SimDevice::reply("ASEND");
        const QByteArray ok = SimDevice::reply("ALPOK");
        QTest::newRow("short file loads at once")
            << QString() << 511 << QList<QByteArray>{send, ok};
        QTest::newRow("load error 3, short file")
            << QStringLiteral("loaderr=3") << 511
            << QList<QByteArray>{send, SimDevice::reply("ALPER", 0, 3)};
        QTest::newRow("load error 7 after the blocks")
            << QStringLiteral("loaderr=7") << 1536
            << QList<QByteArray>{send, SimDevice::reply("ALPER", 0, 7)};
        QTest::newRow("double: one write")
            << QStringLiteral("double") << 511 << QList<QByteArray>{send + ok};
    }
    void loadOutcome()
    {
        QFETCH(QString, switches);
        QFETCH(int, length);
        QFETCH(QList<QByteArray>, expected);
        SimDevice device(*DeviceOptions::parse(switches));
        device.open();
        QSignalSpy out(&device, &SimDevice::output);
        QSignalSpy completed(&device, &SimDevice::loadCompleted);
        device.receive(loadFrame(quint32(length)));
        device.receive(blocksOf(fileOf(length)));
        QCOMPARE(outputs(out), expected);
        QCOMPARE(completed.size(), 1);
        QCOMPARE(completed.at(0).at(0).toBool(),
                 expected.last().endsWith(SimDevice::reply("ALPOK")));
        QCOMPARE(device.state(), SimDevice::State::Idle);
    }

    void repeatedLoadFrameAnsweredAgain()
    {
        // The app repeats the frame each second until every programmer is ready.
        const QByteArray file = fileOf(1024);
        SimDevice device;
        device.open();
        QSignalSpy out(&device, &SimDevice::output);
        device.receive(loadFrame(1024));
        device.receive(loadFrame(1024).left(10));
        QCOMPARE(out.size(), 1);
        device.receive(loadFrame(1024).mid(10));
        QCOMPARE(out.size(), 2);
        QCOMPARE(outputs(out).at(1), SimDevice::reply("ASEND"));
        device.receive(blocksOf(file));
        QCOMPARE(outputs(out).last(), SimDevice::reply("ALPOK"));
        QCOMPARE(device.image(), file); // the repeats are not block data
        QCOMPARE(device.frames().size(), 2);
    }

    void badFramesIgnored_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QByteArray badSum = loadFrame(1024);
        badSum[22] = char(badSum.at(22) + 1);
        QByteArray noReturn = loadFrame(1024);
        noReturn[23] = '\n';
        QTest::newRow("wrong checksum") << badSum;
        QTest::newRow("no carriage return") << noReturn;
        QTest::newRow("cut short") << loadFrame(1024).left(23);
    }
    void badFramesIgnored()
    {
        QFETCH(QByteArray, bytes);
        SimDevice device;
        device.open();
        QSignalSpy out(&device, &SimDevice::output);
        device.receive(bytes);
        QCOMPARE(out.size(), 0);
        QCOMPARE(device.frames().size(), 0);
        // The device resynchronises on the next good frame, garbage in between skipped.
        device.receive(QByteArray("xyzA") + loadFrame(100));
        QCOMPARE(outputs(out),
                 (QList<QByteArray>{SimDevice::reply("ASEND"), SimDevice::reply("ALPOK")}));
    }

    void neverReady()
    {
        SimDevice device(*DeviceOptions::parse(QStringLiteral("noready")));
        device.open();
        QSignalSpy out(&device, &SimDevice::output);
        for (int i = 0; i < 3; ++i)
            device.receive(loadFrame(2048));
        QCOMPARE(out.size(), 0);
        QCOMPARE(device.frames().size(), 3);
    }

    void openForgetsHalfLoad()
    {
        SimDevice device;
        device.open();
        device.receive(loadFrame(1024) + fileOf(300));
        device.close();
        device.open();
        QSignalSpy out(&device, &SimDevice::output);
        device.receive(targetFrame()); // a frame, not the rest of the abandoned block
        QCOMPARE(device.state(), SimDevice::State::ProgrammingTarget);
        QCOMPARE(device.frames().size(), 2);
    }

    void targetProgress_data()
    {
        QTest::addColumn<QString>("switches");
        QTest::addColumn<QByteArray>("tokens"); // one letter per reply: P, V, K(ok), E(error)
        QTest::addColumn<int>("writes");
        QTest::addColumn<int>("code");
        QTest::newRow("ok") << QStringLiteral("prog=3,verify=2") << QByteArray("PPPVVK") << 6 << 0;
        QTest::newRow("target error")
            << QStringLiteral("prog=2,verify=1,targeterr=10") << QByteArray("PPVE") << 4 << 10;
        QTest::newRow("no verify")
            << QStringLiteral("prog=1,verify=0") << QByteArray("PK") << 2 << 0;
        QTest::newRow("double") << QStringLiteral("prog=3,verify=2,double") << QByteArray("PPPVVK")
                                << 3 << 0;
    }
    void targetProgress()
    {
        QFETCH(QString, switches);
        QFETCH(QByteArray, tokens);
        QFETCH(int, writes);
        QFETCH(int, code);
        SimDevice device(fast(*DeviceOptions::parse(switches)));
        device.open();
        QSignalSpy out(&device, &SimDevice::output);
        QSignalSpy completed(&device, &SimDevice::targetCompleted);
        device.receive(targetFrame());
        QCOMPARE(out.size(), 0); // paced: nothing before the first interval
        QVERIFY(completed.wait(2000));
        QCOMPARE(out.size(), writes);

        QByteArray all;
        for (const QByteArray &w : outputs(out))
            all += w;
        QCOMPARE(all.size(), tokens.size() * 24);
        const DeviceOptions &o = device.options();
        for (int i = 0; i < tokens.size(); ++i) {
            const QByteArray r = all.mid(i * 24, 24);
            switch (tokens.at(i)) {
            case 'P':
                QCOMPARE(token(r), QByteArray("APROG"));
                QCOMPARE(int(quint8(r.at(12))), o.programSteps);
                break;
            case 'V':
                QCOMPARE(token(r), QByteArray("AVERI"));
                QCOMPARE(int(quint8(r.at(12))), o.verifySteps);
                break;
            case 'K':
                QCOMPARE(r, SimDevice::reply("APTOK"));
                break;
            default:
                QCOMPARE(r, SimDevice::reply("APTER", 0, quint8(code)));
            }
        }
        QCOMPARE(completed.at(0).at(0).toBool(), code == 0);
        QCOMPARE(device.state(), SimDevice::State::Idle);
    }

    void loadFrameInterruptsTarget()
    {
        SimDevice device(fast());
        device.open();
        QSignalSpy out(&device, &SimDevice::output);
        device.receive(targetFrame());
        device.receive(loadFrame(10));
        QCOMPARE(outputs(out),
                 (QList<QByteArray>{SimDevice::reply("ASEND"), SimDevice::reply("ALPOK")}));
        QVERIFY(!out.wait(30)); // no stale progress follows
    }

    void parseValid_data()
    {
        QTest::addColumn<QString>("switches");
        QTest::addColumn<DeviceOptions>("expected");
        DeviceOptions d;
        QTest::newRow("empty") << QString() << d;
        auto with = [](auto set) {
            DeviceOptions o;
            set(o);
            return o;
        };
        QTest::newRow("noready") << QStringLiteral("noready")
                                 << with([](DeviceOptions &o) { o.neverReady = true; });
        QTest::newRow("loaderr,split")
            << QStringLiteral("loaderr=3,split") << with([](DeviceOptions &o) {
                   o.loadError = 3;
                   o.splitReplies = true;
               });
        QTest::newRow("silent") << QStringLiteral("silent") << with([](DeviceOptions &o) {
            o.kind = DeviceOptions::Kind::Silent;
        });
        QTest::newRow("text") << QStringLiteral("text") << with([](DeviceOptions &o) {
            o.kind = DeviceOptions::Kind::OtherText;
        });
        QTest::newRow("short") << QStringLiteral("short") << with([](DeviceOptions &o) {
            o.kind = DeviceOptions::Kind::ShortGreeting;
        });
        QTest::newRow("unplug") << QStringLiteral("unplug=5000")
                                << with([](DeviceOptions &o) { o.unplugAfter = 5000; });
        QTest::newRow("stall") << QStringLiteral("stall=8192")
                               << with([](DeviceOptions &o) { o.stallAfter = 8192; });
        QTest::newRow("rate, double, version")
            << QStringLiteral("rate=11520, double ,version=0107") << with([](DeviceOptions &o) {
                   o.readRate = 11520;
                   o.doubleReplies = true;
                   o.version = QStringLiteral("0107");
               });
        QTest::newRow("steps") << QStringLiteral("prog=60,verify=0,interval=5,targeterr=11")
                               << with([](DeviceOptions &o) {
                                      o.programSteps = 60;
                                      o.verifySteps = 0;
                                      o.stepIntervalMs = 5;
                                      o.targetError = 11;
                                  });
    }
    void parseValid()
    {
        QFETCH(QString, switches);
        QFETCH(DeviceOptions, expected);
        QString error;
        const auto parsed = DeviceOptions::parse(switches, &error);
        QVERIFY2(parsed.has_value(), qPrintable(error));
        QVERIFY(*parsed == expected);
        // What the simulator prints reads back the same.
        QVERIFY(*DeviceOptions::parse(parsed->toString()) == expected);
    }

    void parseInvalid_data()
    {
        QTest::addColumn<QString>("switches");
        QTest::addColumn<QString>("error");
        QTest::newRow("unknown") << QStringLiteral("noready,fast")
                                 << QStringLiteral("unknown switch 'fast'");
        QTest::newRow("missing value")
            << QStringLiteral("loaderr")
            << QStringLiteral("switch 'loaderr' needs a value, as in loaderr=3");
        QTest::newRow("empty value")
            << QStringLiteral("rate=")
            << QStringLiteral("switch 'rate' needs a value, as in rate=11520");
        QTest::newRow("flag with value")
            << QStringLiteral("split=1") << QStringLiteral("switch 'split' takes no value");
        QTest::newRow("code 0") << QStringLiteral("loaderr=0")
                                << QStringLiteral(
                                       "switch 'loaderr': '0' is not a number from 1 to 255");
        QTest::newRow("code 256") << QStringLiteral("targeterr=256")
                                  << QStringLiteral(
                                         "switch 'targeterr': '256' is not a number from 1 to 255");
        QTest::newRow("not a number")
            << QStringLiteral("unplug=lots")
            << QStringLiteral(
                   "switch 'unplug': 'lots' is not a number from 0 to 9223372036854775807");
        QTest::newRow("version length")
            << QStringLiteral("version=107")
            << QStringLiteral("switch 'version': '107' is not 4 printable ASCII characters");
        QTest::newRow("two kinds")
            << QStringLiteral("silent,text")
            << QStringLiteral("switches 'silent', 'text' and 'short' exclude each other");
    }
    void parseInvalid()
    {
        QFETCH(QString, switches);
        QFETCH(QString, error);
        QString message;
        QVERIFY(!DeviceOptions::parse(switches, &message).has_value());
        QCOMPARE(message, error);
    }
};

QTEST_GUILESS_MAIN(TestSimDevice)
#include "tst_simdevice.moc"
