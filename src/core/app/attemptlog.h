#pragma once

#include "record/attemptrecord.h"

#include <QFile>
#include <QString>

namespace vell::app {

/// The attempt log: JSON Lines, appended to and never rewritten. Each record goes out whole in
/// one write of the open file, so a record is never split or interleaved with another, also
/// when the process ends right after it.
class AttemptLog
{
public:
    /// attempts.jsonl in the per-user data folder.
    [[nodiscard]] static QString defaultPath();

    /// Opens path, or the default log when path is empty, for appending (creating the folder
    /// and the file when missing); false, with errorString(), when it cannot.
    [[nodiscard]] bool open(const QString &path);
    /// Appends one record as one line; false, with errorString(), when it was not written whole.
    [[nodiscard]] bool append(const record::AttemptRecord &record);

    [[nodiscard]] QString path() const { return m_file.fileName(); }
    [[nodiscard]] QString errorString() const { return m_error; }

private:
    bool fail(const QString &reason);

    QFile m_file;
    QString m_error;
};

} // namespace vell::app
