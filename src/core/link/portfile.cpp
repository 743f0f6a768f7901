#include "portfile.h"

#include "logging.h"

#include <QDir>

namespace vell::link {

PortFile::~PortFile() = default;

bool PortFile::open(int portNumber)
{
    close();
    auto file = std::make_unique<QFile>(QDir::current().filePath(QString::number(portNumber)));
    // ReadWrite creates a missing file and leaves an existing one as it is.
    if (!file->open(QIODevice::ReadWrite)) {
        qCDebug(lcLink) << "port file skipped:" << file->fileName() << file->errorString();
        return false;
    }
    m_file = std::move(file);
    return true;
}

void PortFile::close()
{
    m_file.reset();
}

bool PortFile::isOpen() const
{
    return m_file && m_file->isOpen();
}

QString PortFile::fileName() const
{
    return isOpen() ? m_file->fileName() : QString();
}

} // namespace vell::link
