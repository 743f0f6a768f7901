// Guards the settings file: its seven CR LF lines byte for byte, reading back only line 7
// with any line end, the fallback folder, and where it lives when the executable's folder
// cannot be written.
#include "app/settings.h"
#include "common/files.h"
#include "common/readonlyfolder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <optional>

using vell::app::Settings;

namespace {

using vell::test::readFile;
using vell::test::writeFile;

const QByteArray kExpected4 = "****** Ini file for Vell USB Programmer *******\r\n"
                              "\r\n"
                              "Last Com Port Number used\r\n"
                              "4\r\n"
                              "\r\n"
                              "Last File loaded from\r\n"
                              "/srv/boards/Model A\r\n";

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void parseLastFolder_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("found");
        QTest::addColumn<QString>("folder");

        QTest::newRow("as written") << kExpected4 << true << "/srv/boards/Model A";
        QTest::newRow("CR only") << QByteArray(kExpected4).replace("\r\n", "\r") << true
                                 << "/srv/boards/Model A";
        QTest::newRow("LF only") << QByteArray(kExpected4).replace("\r\n", "\n") << true
                                 << "/srv/boards/Model A";
        QTest::newRow("mixed ends") << QByteArray("h\n\rc\r\n4\n\rl\r/x/y") << true << "/x/y";
        QTest::newRow("six lines, seventh unended")
            << QByteArray("1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n/a") << true << "/a";
        QTest::newRow("line 7 empty") << Settings::format(3, QString()) << true << "";
        QTest::newRow("more than seven lines")
            << QByteArray(kExpected4 + "/other\r\nmore\r\n") << true << "/srv/boards/Model A";
        QTest::newRow("line 4 not a number")
            << QByteArray(kExpected4).replace("\r\n4\r\n", "\r\n  COM four \r\n") << true
            << "/srv/boards/Model A";
        QTest::newRow("six lines") << QByteArray("1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n") << false << "";
        QTest::newRow("empty") << QByteArray() << false << "";
    }

    void parseLastFolder()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, found);
        QFETCH(QString, folder);
        const std::optional<QString> read = Settings::parseLastFolder(content);
        QCOMPARE(read.has_value(), found);
        if (found)
            QCOMPARE(*read, folder);
    }

    // First run: no file, the fallback folder; the first write replaces whatever stood there.
    void firstRunThenWriteReplacesTheWholeFile()
    {
        QTemporaryDir exe;
        QTemporaryDir user;
        const Settings settings(exe.path(), user.path());
        QCOMPARE(settings.filePath(), exe.filePath(QStringLiteral("VellProgrammer.txt")));
        QVERIFY(!settings.readLastFolder().has_value());
        QVERIFY(!QFile::exists(settings.filePath()));
        QCOMPARE(Settings::startFolder(QString()), Settings::fallbackFolder());

        QVERIFY(settings.write(2, QString()));
        QVERIFY(
            readFile(settings.filePath()).endsWith("\r\n2\r\n\r\nLast File loaded from\r\n\r\n"));
        QCOMPARE(settings.readLastFolder(), std::optional<QString>(QString()));

        QVERIFY(writeFile(settings.filePath(), QByteArray(4096, 'x')));
        QVERIFY(settings.write(4, QStringLiteral("/srv/boards/Model A")));
        QCOMPARE(readFile(settings.filePath()), kExpected4);
        QCOMPARE(settings.readLastFolder(), std::optional<QString>("/srv/boards/Model A"));
        // No temporary file is left beside it.
        QCOMPARE(QDir(exe.path()).entryList(QDir::Files),
                 QStringList{QStringLiteral("VellProgrammer.txt")});
    }

    void missingFolderFallsBack()
    {
        QTemporaryDir exe;
        const QString gone = exe.filePath(QStringLiteral("removed/drive"));
        const Settings settings(exe.path(), QString());
        QVERIFY(writeFile(settings.filePath(), Settings::format(1, gone)));
        QCOMPARE(settings.readLastFolder(), std::optional<QString>(gone));
        QCOMPARE(Settings::startFolder(gone), Settings::fallbackFolder());
        // A file is not a folder either.
        QCOMPARE(Settings::startFolder(settings.filePath()), Settings::fallbackFolder());
        QCOMPARE(Settings::startFolder(exe.path()), QDir(exe.path()).absolutePath());
#ifndef Q_OS_WIN
        QCOMPARE(Settings::fallbackFolder(), QDir::homePath());
#endif
    }

    void unwritableExecutableFolderUsesTheUserFolder_data()
    {
        QTest::addColumn<bool>("readOnlyFolder");
        QTest::newRow("read-only folder") << true;
        QTest::newRow("folder that cannot exist") << false;
    }

    void unwritableExecutableFolderUsesTheUserFolder()
    {
        QFETCH(bool, readOnlyFolder);
        QTemporaryDir base;
        QString exeFolder = base.filePath(QStringLiteral("bin"));
        std::optional<vell::test::ReadOnlyFolder> readOnly;
        if (readOnlyFolder) {
            readOnly.emplace(exeFolder);
            if (!readOnly->isReadOnly())
                QSKIP("no read-only folder on this file system");
        } else {
            // A path below a regular file can never be a folder.
            QVERIFY(writeFile(exeFolder, "not a folder"));
            exeFolder += QStringLiteral("/inner");
        }
        const QString userFolder = base.filePath(QStringLiteral("config/vell"));
        const Settings settings(exeFolder, userFolder);
        QCOMPARE(settings.filePath(), userFolder + QStringLiteral("/VellProgrammer.txt"));

        QVERIFY(settings.write(4, QStringLiteral("/srv/boards/Model A")));
        QCOMPARE(readFile(settings.filePath()), kExpected4);
        QVERIFY(!QFile::exists(exeFolder + QStringLiteral("/VellProgrammer.txt")));
        // Read back from where it was written, by a fresh instance as at the next start.
        const Settings nextRun(exeFolder, userFolder);
        QCOMPARE(nextRun.readLastFolder(), std::optional<QString>("/srv/boards/Model A"));
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
