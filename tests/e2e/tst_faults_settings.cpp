// Guards the settings file around read-only folders, through the main window's close and the
// next start: the folder is kept in the per-user file when the executable's folder is
// read-only, and a close with nowhere to write ends cleanly.
#include "common/readonlyfolder.h"
#include "common/recordingoperator.h"

#include "app/station.h"
#include "app/gui/mainwindow.h"
#include "app/settings.h"
#include "link/qserialportlink.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QTest>

using vell::app::Station;
using vell::app::Settings;
using vell::gui::MainWindow;
using vell::test::ReadOnlyFolder;

namespace {

/// One run of the windows: the main window opens, a load remembers folder, the window closes.
/// Returns the folder the browser opened at.
QString run(const Settings &settings, const QString &portDir, const QString &folder)
{
    vell::test::RecordingOperator op;
    Station bench(vell::link::PortNames::fromDirectory(portDir), op, vell::link::qserialPortFactory());
    bench.programmerSlots().slot(1).comPort = 1;
    Settings copy = settings;
    MainWindow window(bench, &copy);
    window.show();
    const QString opened = bench.currentFolder();
    if (!folder.isEmpty())
        bench.setLastFileLoadedFolder(folder);
    window.close();
    return opened;
}

} // namespace

class TestFaultsSettings : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readOnlyExecutableFolder()
    {
        QTemporaryDir base;
        const QString boards = base.filePath(QStringLiteral("boards"));
        QVERIFY(QDir().mkpath(boards));
        const QString user = base.filePath(QStringLiteral("config/vell"));
        {
            ReadOnlyFolder exe(base.filePath(QStringLiteral("bin")));
            if (!exe.isReadOnly())
                QSKIP("no read-only folder can be made here");
            const Settings settings(exe.path(), user);
            run(settings, base.path(), boards);
            QVERIFY(QFile::exists(QDir(user).filePath(QString::fromLatin1(Settings::kFileName))));
            QCOMPARE(QDir(exe.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                     QStringList());
            // The next start reads it back from there and opens the browser at the folder.
            QCOMPARE(run(settings, base.path(), QString()), QDir(boards).absolutePath());
        }
    }

    void nowhereToWrite()
    {
        QTemporaryDir base;
        const QString boards = base.filePath(QStringLiteral("boards"));
        QVERIFY(QDir().mkpath(boards));
        {
            ReadOnlyFolder exe(base.filePath(QStringLiteral("bin")));
            ReadOnlyFolder user(base.filePath(QStringLiteral("config")));
            if (!exe.isReadOnly() || !user.isReadOnly())
                QSKIP("no read-only folder can be made here");
            const Settings settings(exe.path(), user.path());
            // The close neither hangs nor asks anything; the next start opens the fallback.
            run(settings, base.path(), boards);
            QCOMPARE(run(settings, base.path(), QString()), Settings::fallbackFolder());
            QCOMPARE(QDir(exe.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                     QStringList());
        }
    }
};

QTEST_MAIN(TestFaultsSettings)
#include "tst_faults_settings.moc"
