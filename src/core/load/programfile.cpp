#include "programfile.h"

#include "configfile.h"
#include "logging.h"
#include "texts.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cstring>

#include <zlib.h>

namespace vell::load {

QString ProgramFile::pathIn(const QString &folder, const QString &fileName)
{
    return QDir(folder).filePath(fileName);
}

namespace {

ProgramFile::Refusal refusal(ProgramFile::Refusal why, const QString &path, const QString &text,
                             QString *reason)
{
    qCDebug(lcLoad) << "program file refused:" << path << text;
    if (reason)
        *reason = text;
    return why;
}

/// A path that names no regular file; None when it does.
ProgramFile::Refusal notAFile(const QString &path, QString *reason)
{
    const QString shown = QDir::toNativeSeparators(path);
    const QFileInfo info(path);
    if (!info.exists())
        return refusal(ProgramFile::Refusal::NotFound, path,
                       texts::kProgramFileNotFound + u'\n' + shown, reason);
    if (!info.isFile())
        return refusal(ProgramFile::Refusal::NotAFile, path,
                       texts::kProgramFileNotAFile + u'\n' + shown, reason);
    return ProgramFile::Refusal::None;
}

} // namespace

ProgramFile::Refusal ProgramFile::open(const QString &path, QString *reason,
                                       const link::ImagePin &approved)
{
    release();
    m_length = 0;
    m_identity = {};
    if (const Refusal refused = notAFile(path, reason); refused != Refusal::None)
        return refused;
    const QString shown = QDir::toNativeSeparators(path);
    const QFileInfo info(path);
    m_file.setFileName(path);
    // Unbuffered: the read buffer of the stream is the only copy of file data held.
    if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        const QString error = m_file.errorString();
        return refusal(Refusal::Unreadable, path,
                       texts::kProgramFileUnreadable + u'\n' + shown + u'\n' + error, reason);
    }
    const qint64 size = m_file.size();
    if (size >= kLengthLimit) {
        release();
        return refusal(
            Refusal::TooLarge, path,
            texts::kProgramFileTooLarge + u'\n' + shown + u'\n' + texts::kProgramFileLimit, reason);
    }
    // The identity is of the bytes read here, through the handle the stream reads again.
    QCryptographicHash sha(QCryptographicHash::Sha256);
    uLong crc = ::crc32(0L, Z_NULL, 0);
    qint64 read = 0;
    QByteArray chunk(kReadBufferSize, Qt::Uninitialized);
    for (;;) {
        const qint64 got = m_file.read(chunk.data(), chunk.size());
        if (got <= 0)
            break;
        sha.addData(QByteArrayView(chunk.constData(), got));
        crc = ::crc32(crc, reinterpret_cast<const Bytef *>(chunk.constData()), uInt(got));
        read += got;
    }
    if (m_file.error() != QFileDevice::NoError || read != size) {
        const QString error = m_file.errorString();
        release();
        return refusal(Refusal::Unreadable, path,
                       texts::kProgramFileUnreadable + u'\n' + shown + u'\n' + error, reason);
    }
    m_length = size;
    m_identity = {info.fileName(), info.absolutePath(), size,
                  QString::fromLatin1(sha.result().toHex()),
                  QStringLiteral("%1").arg(quint32(crc), 8, 16, QLatin1Char('0'))};
    if (!approved.admits(m_identity)) {
        release();
        m_length = 0;
        return refusal(Refusal::NotApproved, path,
                       texts::kProgramFileNotApproved + u'\n' + shown + u'\n' +
                           texts::notApprovedHashes(approved, m_identity),
                       reason);
    }
    return Refusal::None;
}

link::CommandFrame::SizeFields ProgramFile::sizeFields() const
{
    return link::CommandFrame::SizeFields::fromLength(quint32(m_length));
}

bool ProgramFile::openStream()
{
    m_buffer.clear();
    m_bufferPos = 0;
    if (!m_file.isOpen() || !m_file.seek(0)) {
        qCDebug(lcLoad) << "program file not ready for the stream:" << m_file.errorString();
        return false;
    }
    m_length = m_file.size();
    if (m_length >= kLengthLimit) {
        release();
        return false;
    }
    m_position = 0;
    m_checksum = 0;
    return true;
}

void ProgramFile::setTrailerSource(const ConfigFile *config, BlackBoxChoice blackBox)
{
    m_config = config;
    m_blackBox = std::move(blackBox);
}

void ProgramFile::release()
{
    if (m_file.isOpen())
        m_file.close();
    m_buffer.clear();
    m_bufferPos = 0;
}

bool ProgramFile::refill()
{
    const qint64 want = std::min<qint64>(kReadBufferSize, m_length - m_position);
    m_buffer.resize(want);
    const qint64 got = m_file.read(m_buffer.data(), want);
    m_bufferPos = 0;
    if (got <= 0) {
        // Shrunk or failing under the stream.
        qCDebug(lcLoad) << "program file read failed at" << m_position << m_file.errorString();
        m_buffer.clear();
        return false;
    }
    m_buffer.resize(got);
    return true;
}

std::optional<quint8> ProgramFile::nextByte()
{
    if (!m_file.isOpen() || atEnd())
        return std::nullopt;
    if (m_bufferPos >= m_buffer.size() && !refill())
        return std::nullopt;
    auto byte = quint8(m_buffer[m_bufferPos]);
    const qint64 remaining = m_length - m_position; // counting this byte
    // The choice matters only for the last 32 bytes, so it is asked there, for each of them.
    if (remaining <= kTrailerLength && m_blackBox && m_blackBox()) {
        const int k = int(kTrailerLength + 1 - remaining); // 1 for offset L-32 .. 32 for L-1
        if (m_config) {
            const std::optional<quint8> value = m_config->trailerByte(k);
            if (!value)
                return std::nullopt;
            byte = *value;
        } else {
            byte = 0; // no Config.txt ever read: empty lines read as 0
        }
    }
    ++m_bufferPos;
    ++m_position;
    const qint64 left = m_length - m_position;
    // The first two trailer bytes stay out of the diagnostic sum.
    if (left != kTrailerLength - 2 && left != kTrailerLength - 1)
        m_checksum = quint16(m_checksum + byte);
    return byte;
}

bool ProgramFile::readBytes(char *out, int count)
{
    int done = 0;
    while (done < count) {
        if (!m_file.isOpen() || atEnd())
            return false;
        if (m_bufferPos >= m_buffer.size() && !refill())
            return false;
        // Bytes before the trailer are sent as read: copy and sum them a buffer at a time.
        const qint64 beforeTrailer = m_length - kTrailerLength - m_position;
        const qint64 run =
            std::min<qint64>({qint64(count - done), m_buffer.size() - m_bufferPos, beforeTrailer});
        if (run > 0) {
            const char *from = m_buffer.constData() + m_bufferPos;
            std::memcpy(out + done, from, size_t(run));
            quint32 sum = m_checksum;
            for (qint64 i = 0; i < run; ++i)
                sum += quint8(from[i]);
            m_checksum = quint16(sum);
            m_bufferPos += run;
            m_position += run;
            done += int(run);
            continue;
        }
        const std::optional<quint8> byte = nextByte();
        if (!byte)
            return false;
        out[done++] = char(*byte);
    }
    return true;
}

QString ProgramFile::checksumText() const
{
    return QStringLiteral("0x") + QString::number(m_checksum, 16).toUpper();
}

QString ProgramFile::checksumHighText() const
{
    return QStringLiteral("0x") + QString::number(m_checksum >> 8, 16).toUpper();
}

QString ProgramFile::checksumLowText() const
{
    return QStringLiteral("0x") +
           QStringLiteral("%1").arg(m_checksum & 0xFF, 2, 16, QLatin1Char('0')).toUpper();
}

} // namespace vell::load
