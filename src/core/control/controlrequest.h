#pragma once

#include "link/programmerset.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QJsonValue>
#include <QMap>
#include <QString>

#include <optional>
#include <variant>

namespace vell::control {

/// Why a request is refused, as the reply's "error" names it.
enum class ErrorCode
{
    Busy,           ///< a step runs (or a search), or too many connections
    BadRequest,     ///< not JSON, not an object, a wrong field or value, a programmer not in use
    UnknownCommand, ///< the command names none of the protocol's
    File,           ///< the load's file: not found, unreadable, a folder, over the size limit
    NotApproved,    ///< the load's file is not the approved image
};
[[nodiscard]] QString errorName(ErrorCode code);

/// The most bytes a request's id may take as compact JSON.
constexpr qsizetype kIdLimit = 1024;
/// The bytes id takes as compact JSON.
[[nodiscard]] qsizetype idBytes(const QJsonValue &id);

enum class Command
{
    Status,
    Load,
    ProgramTarget,
    RetryFailed,
    Search,
    Subscribe,
    Unsubscribe,
};
/// The command's name in a request.
[[nodiscard]] QString commandName(Command command);
/// The command of that name; nothing for a name the protocol does not know.
[[nodiscard]] std::optional<Command> commandNamed(const QString &name);

/// One request of the control socket (JSON Lines: one object a line, UTF-8), as read: the one
/// place that knows the fields of a request. Reading it is pure (no station, no file), so the
/// fuzzer drives it; what depends on the station (a programmer in use, the file) is checked
/// by the server.
struct ControlRequest
{
    /// The client's "id", any JSON value, echoed in everything the request causes (null when
    /// it has none).
    QJsonValue id;
    Command command = Command::Status;
    /// load: the program file, an absolute path on the station's machine.
    QString file;
    /// load: its two options.
    bool restoreDefaults = false;
    bool blackBox = false;
    /// load, program-target: only these programmers (none: every programmer in use).
    std::optional<link::ProgrammerSet> programmers;
    /// program-target: board serials by COM number.
    QMap<int, QString> boards;

    /// A request refused as read: its id (when it could be read), the code and why.
    struct Refusal
    {
        QJsonValue id;
        ErrorCode code = ErrorCode::BadRequest;
        QString text;
    };

    /// The request on one line (without its newline), or why it is refused: not UTF-8, not
    /// JSON, not an object, no known command, a field its command does not take, a value of the
    /// wrong type or out of range.
    [[nodiscard]] static std::variant<ControlRequest, Refusal> parse(QByteArrayView line);
    /// The line a client sends for it (without its newline); parse() reads it back as it is.
    [[nodiscard]] QByteArray toLine() const;

    bool operator==(const ControlRequest &o) const;
    bool operator!=(const ControlRequest &o) const { return !(*this == o); }
};

} // namespace vell::control
