#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QWidget>

class QComboBox;
class QListWidget;
class QTreeWidget;
class QTreeWidgetItem;

namespace vell::gui {

/// The drive list, the directory list and the file list, kept consistent: the directory
/// list's path is the folder the load uses, the file list shows every file in it, and the
/// drive list shows the drive (mounted volume; the home folder first on Unix) that holds it.
class ProgramFileBrowser : public QWidget
{
    Q_OBJECT
public:
    /// One entry of the drive list.
    struct Drive
    {
        QString root;
        QString label;
    };

    explicit ProgramFileBrowser(QWidget *parent = nullptr);

    /// Drive1, Dir1, File1.
    [[nodiscard]] QComboBox *driveList() const { return m_drives; }
    [[nodiscard]] QTreeWidget *directoryList() const { return m_dirs; }
    [[nodiscard]] QListWidget *fileList() const { return m_files; }

    /// The directory list's path.
    [[nodiscard]] QString path() const { return m_path; }
    /// Moves the directory list to folder; the file list and the drive list follow. False,
    /// with nothing changed, when the folder cannot be listed.
    bool setPath(const QString &folder);
    /// Re-reads the file list from the folder.
    void refreshFiles();

    /// The drives this machine offers, home first off Windows.
    [[nodiscard]] static QList<Drive> availableDrives();
    /// The drive list for the mounted volumes (root, name) and the home folder (empty on
    /// Windows). The root folder's entry is always there, so every folder shown has its drive,
    /// also where the mount table lists no volume for it (a chroot, some containers).
    [[nodiscard]] static QList<Drive> drivesFor(const QString &home,
                                                QList<QPair<QString, QString>> volumes);

Q_SIGNALS:
    /// The directory list's path was set (by the operator or by code).
    void pathChanged(const QString &folder);
    /// A file in the file list was double-clicked: load it.
    void fileDoubleClicked(const QString &fileName);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void onDriveChanged(int index);
    void onDirectoryDoubleClicked(QTreeWidgetItem *item);
    void fillDirectoryList();
    /// Index in the drive list of the drive that holds folder (longest root that contains it).
    [[nodiscard]] int driveIndexFor(const QString &folder) const;
    void showDrive(int index);

    QComboBox *m_drives;
    QTreeWidget *m_dirs;
    QListWidget *m_files;
    QString m_path;
    /// The folder last shown on each drive (by root), where choosing that drive returns to.
    QHash<QString, QString> m_driveFolders;
};

} // namespace vell::gui
