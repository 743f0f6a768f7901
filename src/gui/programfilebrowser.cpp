#include "programfilebrowser.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QListWidget>
#include <QSignalBlocker>
#include <QStorageInfo>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace vell::gui {

namespace {

constexpr int kPathRole = Qt::UserRole;

#ifdef Q_OS_WIN
constexpr Qt::CaseSensitivity kPathCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity kPathCase = Qt::CaseSensitive;
#endif

QString cleanFolder(const QString &folder)
{
    return QDir::cleanPath(QDir(folder).absolutePath());
}

bool contains(const QString &root, const QString &folder)
{
    if (folder.compare(root, kPathCase) == 0)
        return true;
    const QString prefix = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
    return folder.startsWith(prefix, kPathCase);
}

bool canList(const QString &folder)
{
    const QFileInfo info(folder);
    return info.isDir() && info.isReadable() && info.isExecutable();
}

} // namespace

ProgramFileBrowser::ProgramFileBrowser(QWidget *parent)
    : QWidget(parent), m_drives(new QComboBox(this)), m_dirs(new QTreeWidget(this)),
      m_files(new QListWidget(this))
{
    m_drives->setObjectName(QStringLiteral("Drive1"));
    m_dirs->setObjectName(QStringLiteral("Dir1"));
    m_files->setObjectName(QStringLiteral("File1"));

    for (const Drive &drive : availableDrives())
        m_drives->addItem(drive.label, drive.root);
    m_drives->installEventFilter(this);

    m_dirs->setHeaderHidden(true);
    m_dirs->setRootIsDecorated(false);
    m_dirs->setItemsExpandable(false);
    m_dirs->setExpandsOnDoubleClick(false);
    m_dirs->setIndentation(12);
    m_files->setSortingEnabled(false);

    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->addWidget(m_drives);
    column->addWidget(m_dirs, 1440);
    column->addWidget(m_files, 2430);

    connect(m_drives, &QComboBox::currentIndexChanged, this, &ProgramFileBrowser::onDriveChanged);
    // A single click selects a folder without opening it; the file list stays on the path.
    connect(m_dirs, &QTreeWidget::itemClicked, this, [this] {
        Q_EMIT pathChanged(m_path);
        refreshFiles();
    });
    connect(m_dirs, &QTreeWidget::itemDoubleClicked, this,
            &ProgramFileBrowser::onDirectoryDoubleClicked);
    connect(m_files, &QListWidget::itemDoubleClicked, this,
            [this](QListWidgetItem *item) { Q_EMIT fileDoubleClicked(item->text()); });
}

QList<ProgramFileBrowser::Drive> ProgramFileBrowser::availableDrives()
{
    QList<QPair<QString, QString>> volumes;
    const QList<QStorageInfo> mounted = QStorageInfo::mountedVolumes();
    for (const QStorageInfo &volume : mounted) {
        // Bind-mounted files show up as volumes in containers; only folders are drives.
        if (volume.isValid() && volume.isReady() && QFileInfo(volume.rootPath()).isDir())
            volumes.append({volume.rootPath(), volume.name()});
    }
#ifdef Q_OS_WIN
    return drivesFor({}, volumes);
#else
    return drivesFor(QDir::homePath(), volumes);
#endif
}

QList<ProgramFileBrowser::Drive>
ProgramFileBrowser::drivesFor(const QString &home, QList<QPair<QString, QString>> volumes)
{
    QList<Drive> drives;
    if (!home.isEmpty()) {
        const QString folder = cleanFolder(home);
        drives.append({folder, QStringLiteral("Home (%1)").arg(QDir::toNativeSeparators(folder))});
    }
    const QString rootFolder = cleanFolder(QDir::rootPath());
    const bool rootListed = std::any_of(volumes.begin(), volumes.end(), [&](const auto &v) {
        return cleanFolder(v.first).compare(rootFolder, kPathCase) == 0;
    });
    if (!rootListed)
        volumes.append({rootFolder, QString()});
    std::sort(volumes.begin(), volumes.end(),
              [](const auto &a, const auto &b) { return a.first.compare(b.first, kPathCase) < 0; });
    for (const auto &[path, name] : std::as_const(volumes)) {
        const QString root = cleanFolder(path);
        QString label = QDir::toNativeSeparators(root);
#ifdef Q_OS_WIN
        label = root.left(2).toLower();
#endif
        if (!name.isEmpty())
            label += QStringLiteral(" [%1]").arg(name);
        drives.append({root, label});
    }
    return drives;
}

bool ProgramFileBrowser::setPath(const QString &folder)
{
    const QString target = cleanFolder(folder);
    if (folder.isEmpty() || !canList(target))
        return false;
    m_path = target;
    const int drive = driveIndexFor(m_path);
    if (drive >= 0)
        m_driveFolders.insert(m_drives->itemData(drive).toString(), m_path);
    fillDirectoryList();
    showDrive(drive);
    Q_EMIT pathChanged(m_path);
    refreshFiles();
    return true;
}

void ProgramFileBrowser::refreshFiles()
{
    const QString selected = m_files->currentItem() ? m_files->currentItem()->text() : QString();
    m_files->clear();
    if (m_path.isEmpty())
        return;
    const QStringList names =
        QDir(m_path).entryList(QDir::Files, QDir::Name | QDir::IgnoreCase | QDir::LocaleAware);
    m_files->addItems(names);
    const QList<QListWidgetItem *> again = m_files->findItems(selected, Qt::MatchExactly);
    if (!selected.isEmpty() && !again.isEmpty())
        m_files->setCurrentItem(again.first());
}

bool ProgramFileBrowser::eventFilter(QObject *watched, QEvent *event)
{
    // The drive list taking the focus re-reads the file list, so files copied in by another
    // program show up.
    if (watched == m_drives && event->type() == QEvent::FocusIn)
        refreshFiles();
    return QWidget::eventFilter(watched, event);
}

void ProgramFileBrowser::onDriveChanged(int index)
{
    if (index < 0)
        return;
    const QString root = m_drives->itemData(index).toString();
    if (!m_path.isEmpty() && driveIndexFor(m_path) == index)
        return;
    QString target = m_driveFolders.value(root);
    if (target.isEmpty() || !canList(target))
        target = root;
    // A drive that cannot be listed (not ready) leaves everything where it was.
    if (!setPath(target))
        showDrive(driveIndexFor(m_path));
    refreshFiles();
}

void ProgramFileBrowser::onDirectoryDoubleClicked(QTreeWidgetItem *item)
{
    if (item)
        setPath(item->data(0, kPathRole).toString());
}

void ProgramFileBrowser::fillDirectoryList()
{
    m_dirs->clear();
    const int drive = driveIndexFor(m_path);
    const QString root = drive >= 0 ? m_drives->itemData(drive).toString() : QDir::rootPath();

    // The chain from the drive's root down to the path, then the path's own folders.
    QStringList chain;
    for (QString folder = m_path; contains(root, folder);) {
        chain.prepend(folder);
        if (folder.compare(root, kPathCase) == 0)
            break;
        const QString up = cleanFolder(folder + QStringLiteral("/.."));
        if (up == folder)
            break;
        folder = up;
    }
    const QIcon openIcon = style()->standardIcon(QStyle::SP_DirOpenIcon);
    const QIcon closedIcon = style()->standardIcon(QStyle::SP_DirIcon);
    QTreeWidgetItem *parent = nullptr;
    for (const QString &folder : chain) {
        const QString name = QFileInfo(folder).fileName();
        auto *item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(m_dirs);
        item->setText(0, name.isEmpty() ? QDir::toNativeSeparators(folder) : name);
        item->setData(0, kPathRole, folder);
        item->setIcon(0, openIcon);
        parent = item;
    }
    const QFileInfoList children = QDir(m_path).entryInfoList(
        QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase | QDir::LocaleAware);
    for (const QFileInfo &child : children) {
        auto *item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(m_dirs);
        item->setText(0, child.fileName());
        item->setData(0, kPathRole, cleanFolder(child.absoluteFilePath()));
        item->setIcon(0, closedIcon);
    }
    m_dirs->expandAll();
    if (parent) {
        m_dirs->setCurrentItem(parent);
        m_dirs->scrollToItem(parent);
    }
}

int ProgramFileBrowser::driveIndexFor(const QString &folder) const
{
    int best = -1;
    qsizetype bestLength = -1;
    for (int i = 0; i < m_drives->count(); ++i) {
        const QString root = m_drives->itemData(i).toString();
        if (contains(root, folder) && root.size() > bestLength) {
            best = i;
            bestLength = root.size();
        }
    }
    return best;
}

void ProgramFileBrowser::showDrive(int index)
{
    const QSignalBlocker quiet(m_drives);
    m_drives->setCurrentIndex(index);
}

} // namespace vell::gui
