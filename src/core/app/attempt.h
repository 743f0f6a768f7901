#pragma once

#include "link/portnames.h"

#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <optional>

namespace vell::app {

/// A program file as it was when a load started: what the attempt log and the windows name.
struct ImageIdentity
{
    QString name;
    QString folder;
    qint64 size = 0;
    QString sha256; ///< hex, lower case
    QString crc32;  ///< 8 hex digits, lower case

    /// Reads the file once; nothing when it cannot be read whole.
    [[nodiscard]] static std::optional<ImageIdentity> of(const QString &path);
    [[nodiscard]] QJsonObject toJson() const;
};

/// One programmer's step (a load or a program-target) from its start to its end: one line of
/// the attempt log and the result event of --json.
struct Attempt
{
    enum class Step
    {
        Load,
        ProgramTarget,
    };
    enum class Result
    {
        Ok,       ///< the programmer reported success
        Error,    ///< the programmer answered with an error code
        Lost,     ///< its link dropped out: unplugged, refused writes, stalled
        TimedOut, ///< the watchdog ended the handshake
        NoResult, ///< nothing came before the run's timeout or the application's end
    };

    QDateTime started;
    QDateTime ended;
    int programmer = 0;
    int comPort = 0;
    link::PortNames::Identity port;
    Step step = Step::Load;
    std::optional<ImageIdentity> image;
    bool restoreDefaults = false; ///< the load's options
    bool blackBox = false;
    Result result = Result::NoResult;
    std::optional<int> code; ///< the programmer's error code
    QString text;            ///< the status text shown at the end
    QString programmerVersion;

    /// The fields of the record (the keys of the attempt log).
    [[nodiscard]] QJsonObject toJson() const;
    [[nodiscard]] static QString resultName(Result result);
};

} // namespace vell::app
