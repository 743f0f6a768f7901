#include "programfile.h"

#include "configfile.h"
#include "imagehash.h"
#include "logging.h"
#include "texts.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cstring>

namespace vell::load {

QString ProgramFile::pathIn(const QString &folder, const QString &fileName)
{
    return QDir(folder).filePath(fileName);
}

namespace {

QString headline(ProgramFile::Refusal why)
{
    switch (why) {
    case ProgramFile::Refusal::None:
        break;
    case ProgramFile::Refusal::NotFound:
        return texts::kProgramFileNotFound;
    case ProgramFile::Refusal::NotAFile:
        return texts::kProgramFileNotAFile;
    case ProgramFile::Refusal::Unreadable:
        return texts::kProgramFileUnreadable;
    case ProgramFile::Refusal::TooLarge:
        return texts::kProgramFileTooLarge;
    case ProgramFile::Refusal::NotApproved:
        return texts::kProgramFileNotApproved;
    }
    return {};
}

} // namespace

ProgramFile::Refusal ProgramFile::refuse(Refusal why, const QString &detail)
{
    qCDebug(lcLoad) << "program file refused:" << m_file.fileName() << int(why) << detail;
    release();
    m_length = 0;
    m_refusal = why;
    m_refusalDetail = detail;
    return why;
}

QString ProgramFile::refusalText() const
{
    if (m_refusal == Refusal::None)
        return {};
    QString text = headline(m_refusal) + u'\n' + QDir::toNativeSeparators(m_file.fileName());
    if (!m_refusalDetail.isEmpty())
        text += u'\n' + m_refusalDetail;
    return text;
}

QString ProgramFile::refusalLine() const
{
    switch (m_refusal) {
    case Refusal::TooLarge:
        return headline(m_refusal) + QStringLiteral(" (") + m_refusalDetail + u')';
    case Refusal::NotApproved:
        return headline(m_refusal) + u'\n' + m_refusalDetail;
    default:
        return headline(m_refusal);
    }
}

ProgramFile::Refusal ProgramFile::open(const QString &path, const model::ImagePin &approved)
{
    release();
    m_length = 0;
    m_identity = {};
    m_refusal = Refusal::None;
    m_refusalDetail.clear();
    m_file.setFileName(path);
    const QFileInfo info(path);
    if (!info.exists())
        return refuse(Refusal::NotFound);
    // A folder, pipe or device: reading it could block or never end.
    if (!info.isFile())
        return refuse(Refusal::NotAFile);
    // Unbuffered: the read buffer of the stream is the only copy of file data held.
    if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return refuse(Refusal::Unreadable, m_file.errorString());
    const qint64 size = m_file.size();
    if (size >= kLengthLimit)
        return refuse(Refusal::TooLarge, texts::programFileLimit());
    // The identity is of the bytes read here, through the handle the stream reads again.
    ImageHash hash;
    qint64 read = 0;
    QByteArray chunk(kReadBufferSize, Qt::Uninitialized);
    for (;;) {
        const qint64 got = m_file.read(chunk.data(), chunk.size());
        if (got <= 0)
            break;
        hash.addData(QByteArrayView(chunk.constData(), got));
        read += got;
    }
    if (m_file.error() != QFileDevice::NoError || read != size)
        return refuse(Refusal::Unreadable, m_file.errorString());
    m_length = size;
    m_identity = {info.fileName(), info.absolutePath(), size, hash.sha256(), hash.crc32()};
    if (!approved.admits(m_identity))
        return refuse(Refusal::NotApproved, texts::notApprovedHashes(approved, m_identity));
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
        // Bytes before the trailer are sent as read: copy them a buffer at a time.
        const qint64 beforeTrailer = m_length - kTrailerLength - m_position;
        const qint64 run =
            std::min<qint64>({qint64(count - done), m_buffer.size() - m_bufferPos, beforeTrailer});
        if (run > 0) {
            const char *from = m_buffer.constData() + m_bufferPos;
            std::memcpy(out + done, from, size_t(run));
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

} // namespace vell::load
