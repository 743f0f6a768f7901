#pragma once

// The tests' one maker of program files, blocks, Config.txt and replies, file reads and
// writes, and a temporary working folder for the port files.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QString>
#include <QTemporaryDir>

namespace vell::test {

/// Program-file bytes that differ from block to block, so a shifted, lost or repeated block shows.
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

/// What the stream sends of content: each whole 512 bytes and a 0x00 filler; no tail.
inline QByteArray blocksOf(const QByteArray &content)
{
    QByteArray out;
    for (int at = 0; at + 512 <= content.size(); at += 512)
        out += content.mid(at, 512) + QByteArray(1, '\0');
    return out;
}

/// Config.txt: two header lines, then one line per value (the trailer's lines 3..34).
inline QByteArray configText(const QList<QByteArray> &values, const QByteArray &end = "\r\n")
{
    QByteArray text = "header one" + end + "header two" + end;
    for (const QByteArray &v : values)
        text += v + end;
    return text;
}

/// The values first, first + 1, ... (count of them) as Config.txt lines.
inline QList<QByteArray> numbers(int count, int first = 1)
{
    QList<QByteArray> out;
    for (int i = 0; i < count; ++i)
        out << QByteArray::number(first + i);
    return out;
}

/// A reply as a programmer sends it, laid out here on its own (not by the code under test):
/// token at 0..4, count byte at 12, version at 16..19, error code at 20, the rest 0x00.
inline QByteArray reply(const char *token, int count = 0, const QByteArray &version = "0106",
                        int code = 0)
{
    QByteArray bytes(24, '\0');
    bytes.replace(0, 5, QByteArray(token).leftJustified(5, '\0', true));
    bytes[12] = char(count);
    bytes.replace(16, 4, version.leftJustified(4, '\0', true));
    bytes[20] = char(code);
    return bytes;
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

/// A fresh temporary folder made the working folder for its lifetime.
class WorkFolder
{
public:
    WorkFolder() : m_previous(QDir::currentPath()) { QDir::setCurrent(m_dir.path()); }
    ~WorkFolder() { QDir::setCurrent(m_previous); }
    WorkFolder(const WorkFolder &) = delete;
    WorkFolder &operator=(const WorkFolder &) = delete;

    [[nodiscard]] QString path() const { return m_dir.path(); }
    [[nodiscard]] QString file(const QString &name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
    QString m_previous;
};

} // namespace vell::test
