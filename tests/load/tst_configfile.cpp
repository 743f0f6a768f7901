// Guards how Config.txt is read: which line lands where, line ends, and how a line becomes a byte.
#include "load/configfile.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

using vell::load::ConfigFile;

Q_DECLARE_METATYPE(std::optional<quint8>)

namespace {
constexpr int kFail = -1;

QByteArray configText(const QByteArray &lineEnd, int lines, int firstValue = 1)
{
    // Line 1 and 2 are headers; lines 3.. hold firstValue, firstValue + 1, ...
    QByteArray text = "header one" + lineEnd + "header two" + lineEnd;
    for (int i = 0; i < lines - 2; ++i)
        text += QByteArray::number(firstValue + i) + lineEnd;
    return text;
}
} // namespace

class TstConfigFile : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void byteValue_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("expected"); // kFail: not a byte

        QTest::newRow("plain") << "17" << 17;
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("hex") << "&H1F" << 31;
        QTest::newRow("hex lower case") << "&h1f" << 31;
        QTest::newRow("hex no digits") << "&H" << 0;
        QTest::newRow("hex stops at non-digit") << "&H1G" << 1;
        QTest::newRow("hex too large") << "&H100" << kFail;
        QTest::newRow("hex leading zeros") << "&H00000000000000FF" << 255;
        QTest::newRow("octal") << "&O17" << 15;
        QTest::newRow("octal stops at 8") << "&O18" << 1;
        QTest::newRow("ampersand alone") << "&17" << 0;
        QTest::newRow("C hex is zero") << "0x1F" << 0;
        QTest::newRow("blank inside digits") << "2 5" << 25;
        QTest::newRow("tab inside digits") << "2\t5" << 25;
        QTest::newRow("blanks around") << "  42  " << 42;
        QTest::newRow("text") << "abc" << 0;
        QTest::newRow("digits then text") << "12abc" << 12;
        QTest::newRow("comma stops") << "1,5" << 1;
        QTest::newRow("255") << "255" << 255;
        QTest::newRow("256") << "256" << kFail;
        QTest::newRow("255.5 rounds to 256") << "255.5" << kFail;
        QTest::newRow("254.5 half to even") << "254.5" << 254;
        QTest::newRow("2.5 half to even") << "2.5" << 2;
        QTest::newRow("2.51") << "2.51" << 3;
        QTest::newRow("point first") << ".6" << 1;
        QTest::newRow("trailing point") << "7." << 7;
        QTest::newRow("plus sign") << "+9" << 9;
        QTest::newRow("minus") << "-1" << kFail;
        QTest::newRow("small minus rounds to 0") << "-0.4" << 0;
        QTest::newRow("minus half to even 0") << "-0.5" << 0;
        QTest::newRow("double sign") << "--5" << 0;
        QTest::newRow("exponent E") << "2.5E1" << 25;
        QTest::newRow("exponent D") << "1D2" << 100;
        QTest::newRow("exponent negative") << "1500e-1" << 150;
        QTest::newRow("exponent without digits") << "3E" << 3;
        QTest::newRow("huge exponent") << "1E999999999999999999999" << kFail;
        QTest::newRow("huge negative exponent") << "1E-999999999999999999999" << 0;
        QTest::newRow("many leading zeros") << QString(5000, u'0') + "12" << 12;
        QTest::newRow("long fraction then exponent") << "0." + QString(3000, u'0') + "5E3001" << 5;
        QTest::newRow("long mantissa, negative exponent")
            << "1" + QString(3000, u'0') + "E-2998" << 100;
        QTest::newRow("non-ASCII stops") << QString::fromUtf8("1\u00e92") << 1;
    }

    void byteValue()
    {
        QFETCH(QString, line);
        QFETCH(int, expected);
        const std::optional<quint8> value = ConfigFile::byteValue(line);
        if (expected == kFail) {
            QVERIFY2(!value, qPrintable(QString::number(value.value_or(0))));
        } else {
            QVERIFY(value.has_value());
            QCOMPARE(int(*value), expected);
        }
    }

    void lineEnds_data()
    {
        QTest::addColumn<QByteArray>("lineEnd");
        QTest::newRow("CR LF") << QByteArray("\r\n");
        QTest::newRow("CR") << QByteArray("\r");
        QTest::newRow("LF") << QByteArray("\n");
    }

    // Lines 3..34 give trailer positions 1..32, with any line end; line 35 is never read.
    void lineEnds()
    {
        QFETCH(QByteArray, lineEnd);
        ConfigFile config;
        config.readText(configText(lineEnd, 35));
        QCOMPARE(config.line(0), QStringLiteral("header two"));
        for (int k = 1; k <= ConfigFile::kTrailerLength; ++k)
            QCOMPARE(config.trailerByte(k), std::optional<quint8>(quint8(k)));
        QVERIFY(config.line(33).isEmpty());
    }

    // A short file replaces only the lines it holds; the rest keep the earlier values.
    void shortFileKeepsEarlierLines()
    {
        ConfigFile config;
        config.readText(configText("\r\n", 34, 100));
        config.readText(configText("\r\n", 5, 1)); // lines 3..5 = 1, 2, 3
        QCOMPARE(config.trailerByte(1), std::optional<quint8>(1));
        QCOMPARE(config.trailerByte(3), std::optional<quint8>(3));
        QCOMPARE(config.trailerByte(4), std::optional<quint8>(103));
        QCOMPARE(config.trailerByte(32), std::optional<quint8>(131));
    }

    // An empty line in the middle is a line: it reads as 0 and the lines after keep their places.
    void emptyLinesCount()
    {
        ConfigFile config;
        config.readText("1\r\n2\r\n\r\n7\r\n");
        QCOMPARE(config.trailerByte(1), std::optional<quint8>(0));
        QCOMPARE(config.trailerByte(2), std::optional<quint8>(7));
    }

    void readsFromFolderOrKeepsValues()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        ConfigFile config;
        config.read(dir.path()); // missing: nothing changes
        QCOMPARE(config.trailerByte(5), std::optional<quint8>(0));

        QFile file(dir.filePath(ConfigFile::fileName()));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(configText("\r\n", 34, 10));
        file.close();
        config.read(dir.path());
        QCOMPARE(config.trailerByte(5), std::optional<quint8>(14));

        QVERIFY(file.remove());
        config.read(dir.path());
        QCOMPARE(config.trailerByte(5), std::optional<quint8>(14));
    }

    // A huge file without line ends is read only up to the cap and does not hang.
    void hugeLineIsBounded()
    {
        ConfigFile config;
        QByteArray text = "h\r\n";
        text += QByteArray(4 * 1024 * 1024, '7');
        QTemporaryDir dir;
        QFile file(dir.filePath(ConfigFile::fileName()));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text);
        file.close();
        config.read(dir.path());
        QVERIFY(config.line(0).size() < ConfigFile::kMaxReadBytes);
        QVERIFY(!ConfigFile::byteValue(config.line(0)).has_value());
    }
};

QTEST_GUILESS_MAIN(TstConfigFile)
#include "tst_configfile.moc"
