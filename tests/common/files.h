#pragma once

// File helpers shared by the tests: program-file contents, whole-file reads and writes, and a
// temporary working folder for the port files the links and the search create.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

namespace vell::test {

/// Bytes that differ from block to block, so a shifted, lost or repeated block shows.
inline QByteArray pattern(int length)
{
    QByteArray bytes(length, Qt::Uninitialized);
    quint32 x = 12345;
    for (int i = 0; i < length; ++i) {
        x = x * 1664525u + 1013904223u;
        bytes[i] = char(x >> 24);
    }
    return bytes;
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

/// The whole file; empty when it cannot be read.
inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

/// A fresh temporary folder made the working folder for its lifetime.
class WorkFolder
{
public:
    WorkFolder() : m_previous(QDir::currentPath()) { m_entered = QDir::setCurrent(m_dir.path()); }
    ~WorkFolder() { QDir::setCurrent(m_previous); }
    WorkFolder(const WorkFolder &) = delete;
    WorkFolder &operator=(const WorkFolder &) = delete;

    [[nodiscard]] bool isValid() const { return m_dir.isValid() && m_entered; }
    [[nodiscard]] QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    QString m_previous;
    bool m_entered = false;
};

} // namespace vell::test
