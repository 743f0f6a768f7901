#pragma once

#include "configfile.h"

#include "link/commandframe.h"
#include "model/programmerstate.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <functional>
#include <optional>

namespace vell::load {

/// The program file of a load: opened once, measured and hashed in one pass, then the byte
/// stream the blocks are built from, with the black-box trailer (the last 32 bytes taken from
/// Config.txt). Read through a buffer of its own: memory stays flat for any file size.
class ProgramFile
{
public:
    /// Lengths from here up do not fit the frames' size field and are refused.
    static constexpr qint64 kLengthLimit = link::CommandFrame::kLengthLimit;
    static constexpr int kTrailerLength = ConfigFile::kTrailerLength;
    static constexpr int kReadBufferSize = 64 * 1024;

    enum class Refusal
    {
        None,
        NotFound,
        NotAFile, ///< a folder, pipe or device: reading it could block or never end
        Unreadable,
        TooLarge,
        NotApproved, ///< its hashes are not the approved image's
    };

    /// Whether the black-box format is chosen; asked afresh for each byte it can change.
    using BlackBoxChoice = std::function<bool()>;

    ProgramFile() = default;
    ProgramFile(const ProgramFile &) = delete;
    ProgramFile &operator=(const ProgramFile &) = delete;

    /// The file fileName in folder.
    [[nodiscard]] static QString pathIn(const QString &folder, const QString &fileName);

    /// Opens the file for the load and keeps it open: takes its length and its identity
    /// (SHA-256 and CRC-32) in one pass, and refuses a file that is not the approved image.
    /// On refusal the file is closed, the length is 0 and refusalText() says why; the identity
    /// of a file refused as not approved stays, for the operator.
    Refusal open(const QString &path, const model::ImagePin &approved = {});
    /// Why the last open() refused the file, for a message box: what is wrong, the file, and
    /// the system's words, the limit or the hashes where they say more. Empty after a success.
    [[nodiscard]] QString refusalText() const;
    /// The same on one line for a command line, without the file.
    [[nodiscard]] QString refusalLine() const;
    /// The file as open() read it.
    [[nodiscard]] const model::ImageIdentity &identity() const { return m_identity; }
    /// The length measured or streamed.
    [[nodiscard]] qint64 length() const { return m_length; }
    [[nodiscard]] link::CommandFrame::SizeFields sizeFields() const;

    /// Starts the stream at the first byte of the file open() opened.
    /// False when the file was released, cannot be read from its start, or has grown past the
    /// limit.
    bool openStream();
    /// Where trailer bytes come from in the black-box format. Both must outlive the stream.
    void setTrailerSource(const ConfigFile *config, BlackBoxChoice blackBox);
    [[nodiscard]] bool isOpen() const { return m_file.isOpen(); }
    [[nodiscard]] bool atEnd() const { return m_position >= m_length; }
    /// Bytes read so far.
    [[nodiscard]] qint64 position() const { return m_position; }

    /// The next byte to send: the file's, or in the black-box format within the last 32 the
    /// Config.txt value. Nothing when the file cannot be read or that value is not a byte;
    /// the position then stays at that byte.
    std::optional<quint8> nextByte();
    /// Fills out with the next count bytes by the same rules as nextByte. False, with nothing
    /// usable in out, when one of them fails.
    bool readBytes(char *out, int count);
    /// Releases the file (the stream ends).
    void release();

private:
    bool refill();

    Refusal refuse(Refusal why, const QString &detail = {});

    QFile m_file;
    Refusal m_refusal = Refusal::None;
    /// The system's words, the limit or the hashes that go with the refusal.
    QString m_refusalDetail;
    model::ImageIdentity m_identity;
    qint64 m_length = 0;
    qint64 m_position = 0;
    const ConfigFile *m_config = nullptr;
    BlackBoxChoice m_blackBox;
    QByteArray m_buffer;
    qsizetype m_bufferPos = 0;
};

} // namespace vell::load
