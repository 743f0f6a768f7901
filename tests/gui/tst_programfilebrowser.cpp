// Guards the program-file browser: the directory list's path drives the file list and the
// drive list; a single click on a folder does not open it, a double-click does; choosing a
// drive returns to the folder last shown on it; the drive list's focus re-reads the files.
#include "app/gui/programfilebrowser.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

#include <memory>

using vell::gui::ProgramFileBrowser;

namespace {

void touch(const QString &path)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
}

QStringList names(const QListWidget *list)
{
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}

QTreeWidgetItem *folderItem(QTreeWidget *tree, const QString &path)
{
    QTreeWidgetItemIterator it(tree);
    for (; *it; ++it) {
        if ((*it)->data(0, Qt::UserRole).toString() == path)
            return *it;
    }
    return nullptr;
}

void doubleClick(QTreeWidget *tree, QTreeWidgetItem *item)
{
    const QPoint at = tree->visualItemRect(item).center();
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, at);
}

} // namespace

class TestProgramFileBrowser : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        m_root = std::make_unique<QTemporaryDir>();
        QVERIFY(m_root->isValid());
        m_folder = QDir(m_root->path()).canonicalPath();
        QDir(m_folder).mkpath(QStringLiteral("alpha/inner"));
        QDir(m_folder).mkpath(QStringLiteral("beta"));
        QDir(m_folder).mkpath(QStringLiteral(".hidden"));
        touch(m_folder + QStringLiteral("/b.hex"));
        touch(m_folder + QStringLiteral("/A.bin"));
        touch(m_folder + QStringLiteral("/.secret"));
        touch(m_folder + QStringLiteral("/alpha/inside.bin"));
    }

    void pathDrivesTheLists()
    {
        ProgramFileBrowser browser;
        QSignalSpy changed(&browser, &ProgramFileBrowser::pathChanged);
        QVERIFY(browser.setPath(m_folder + QStringLiteral("/alpha/..")));
        QCOMPARE(browser.path(), m_folder);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.last().first().toString(), m_folder);
        QCOMPARE(names(browser.fileList()),
                 (QStringList{QStringLiteral("A.bin"), QStringLiteral("b.hex")}));

        QTreeWidget *dirs = browser.directoryList();
        QVERIFY(folderItem(dirs, m_folder + QStringLiteral("/alpha")));
        QVERIFY(folderItem(dirs, m_folder + QStringLiteral("/beta")));
        QVERIFY(!folderItem(dirs, m_folder + QStringLiteral("/.hidden")));
        QCOMPARE(dirs->currentItem()->data(0, Qt::UserRole).toString(), m_folder);
        // The drive list shows the drive holding the path.
        const QString root = browser.driveList()->currentData().toString();
        QVERIFY2(m_folder.startsWith(root), qPrintable(root));

        // A folder that cannot be listed changes nothing.
        QVERIFY(!browser.setPath(m_folder + QStringLiteral("/missing")));
        QVERIFY(!browser.setPath(m_folder + QStringLiteral("/b.hex")));
        QCOMPARE(browser.path(), m_folder);
        QCOMPARE(changed.count(), 1);
    }

    void clickSelectsDoubleClickOpens()
    {
        ProgramFileBrowser browser;
        browser.resize(300, 500);
        browser.show();
        QVERIFY(QTest::qWaitForWindowExposed(&browser));
        QVERIFY(browser.setPath(m_folder));
        QSignalSpy changed(&browser, &ProgramFileBrowser::pathChanged);
        QTreeWidget *dirs = browser.directoryList();

        QTreeWidgetItem *alpha = folderItem(dirs, m_folder + QStringLiteral("/alpha"));
        QVERIFY(alpha);
        QTest::mouseClick(dirs->viewport(), Qt::LeftButton, {},
                          dirs->visualItemRect(alpha).center());
        QCOMPARE(dirs->currentItem(), alpha);
        QCOMPARE(browser.path(), m_folder);
        QVERIFY(!changed.isEmpty());
        QCOMPARE(changed.last().first().toString(), m_folder);
        QCOMPARE(names(browser.fileList()).size(), 2);

        doubleClick(dirs, alpha);
        const QString alphaPath = m_folder + QStringLiteral("/alpha");
        QCOMPARE(browser.path(), alphaPath);
        QCOMPARE(changed.last().first().toString(), alphaPath);
        QCOMPARE(names(browser.fileList()), QStringList{QStringLiteral("inside.bin")});
        QVERIFY(folderItem(dirs, alphaPath + QStringLiteral("/inner")));

        // Up again through the chain above the path.
        QTreeWidgetItem *parent = folderItem(dirs, m_folder);
        QVERIFY(parent);
        doubleClick(dirs, parent);
        QCOMPARE(browser.path(), m_folder);
        QCOMPARE(names(browser.fileList()).size(), 2);
    }

    void driveChangeMovesToTheFolderLastShownOnIt()
    {
        ProgramFileBrowser browser;
        QComboBox *drives = browser.driveList();
        QVERIFY(browser.setPath(m_folder));
        const int folderDrive = drives->currentIndex();
        QVERIFY(folderDrive >= 0);

        int other = -1;
        for (int i = 0; i < drives->count() && other < 0; ++i) {
            if (i != folderDrive && QDir(drives->itemData(i).toString()).isReadable())
                other = i;
        }
        if (other < 0)
            QSKIP("this machine offers a single drive");
        const QString otherRoot = drives->itemData(other).toString();

        QSignalSpy changed(&browser, &ProgramFileBrowser::pathChanged);
        drives->setCurrentIndex(other);
        QVERIFY(!changed.isEmpty());
        QCOMPARE(browser.path(), otherRoot);
        QCOMPARE(changed.last().first().toString(), otherRoot);
        QCOMPARE(names(browser.fileList()),
                 QDir(otherRoot).entryList(QDir::Files,
                                           QDir::Name | QDir::IgnoreCase | QDir::LocaleAware));

        drives->setCurrentIndex(folderDrive);
        QCOMPARE(browser.path(), m_folder);
        QCOMPARE(changed.last().first().toString(), m_folder);
        QCOMPARE(names(browser.fileList()).size(), 2);
    }

    void driveListFocusRereadsTheFiles()
    {
        ProgramFileBrowser browser;
        browser.show();
        QVERIFY(QTest::qWaitForWindowActive(&browser));
        QVERIFY(browser.setPath(m_folder));
        browser.fileList()->setFocus();
        touch(m_folder + QStringLiteral("/copied.bin"));
        QVERIFY(!names(browser.fileList()).contains(QStringLiteral("copied.bin")));

        browser.driveList()->setFocus(Qt::TabFocusReason);
        QTRY_VERIFY(names(browser.fileList()).contains(QStringLiteral("copied.bin")));
        QCOMPARE(browser.path(), m_folder);
    }

    void homeIsTheFirstDrive()
    {
#ifdef Q_OS_WIN
        QSKIP("drive letters only");
#else
        const QList<ProgramFileBrowser::Drive> drives = ProgramFileBrowser::availableDrives();
        QVERIFY(!drives.isEmpty());
        QCOMPARE(drives.first().root, QDir::cleanPath(QDir::homePath()));
        for (const ProgramFileBrowser::Drive &drive : drives)
            QVERIFY2(QFileInfo(drive.root).isDir(), qPrintable(drive.root));
#endif
    }

private:
    std::unique_ptr<QTemporaryDir> m_root;
    QString m_folder;
};

QTEST_MAIN(TestProgramFileBrowser)
#include "tst_programfilebrowser.moc"
