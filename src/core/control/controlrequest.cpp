#include "controlrequest.h"

#include "texts.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringDecoder>

#include <algorithm>
#include <cmath>
#include <utility>

namespace vell::control {

namespace {

// The fields of a request, as the wire names them.
const QString kId = QStringLiteral("id");
const QString kCommand = QStringLiteral("command");
const QString kFile = QStringLiteral("file");
const QString kRestoreDefaults = QStringLiteral("restore_defaults");
const QString kBlackBox = QStringLiteral("black_box");
const QString kProgrammers = QStringLiteral("programmers");
const QString kBoards = QStringLiteral("boards");

/// A board serial: what a scanner reads off a label, bounded.
constexpr int kBoardSerialLimit = 64;

struct Named
{
    Command command;
    const char *name;
};
constexpr Named kCommands[] = {
    {Command::Status, "status"},
    {Command::Load, "load"},
    {Command::ProgramTarget, "program-target"},
    {Command::RetryFailed, "retry-failed"},
    {Command::Search, "search"},
    {Command::Subscribe, "subscribe"},
    {Command::Unsubscribe, "unsubscribe"},
};

/// The fields each command takes besides id and command.
QStringList fieldsOf(Command command)
{
    switch (command) {
    case Command::Load:
        return {kFile, kRestoreDefaults, kBlackBox, kProgrammers};
    case Command::ProgramTarget:
        return {kProgrammers, kBoards};
    default:
        return {};
    }
}

std::optional<link::ProgrammerSet> programmersFrom(const QJsonValue &value)
{
    if (!value.isArray() || value.toArray().isEmpty())
        return std::nullopt;
    link::ProgrammerSet set;
    for (const QJsonValue &item : value.toArray()) {
        const double n = item.toDouble(0);
        if (!item.isDouble() || n != std::floor(n))
            return std::nullopt;
        const auto number = link::ProgrammerNumber::from(int(std::clamp(n, 0.0, 5.0)));
        if (!number)
            return std::nullopt;
        set.insert(*number);
    }
    return set;
}

std::optional<QMap<int, QString>> boardsFrom(const QJsonValue &value)
{
    static const QRegularExpression com(QStringLiteral("^COM([1-9]|1[0-5])$"));
    if (!value.isObject())
        return std::nullopt;
    QMap<int, QString> boards;
    const QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QRegularExpressionMatch match = com.match(it.key());
        const QString serial = it.value().toString();
        if (!match.hasMatch() || !it.value().isString() || serial.isEmpty() ||
            serial.size() > kBoardSerialLimit ||
            std::any_of(serial.begin(), serial.end(), [](QChar c) { return !c.isPrint(); }))
            return std::nullopt;
        boards.insert(match.captured(1).toInt(), serial);
    }
    return boards;
}

} // namespace

qsizetype idBytes(const QJsonValue &id)
{
    return QJsonDocument(QJsonArray{id}).toJson(QJsonDocument::Compact).size() - 2;
}

QString errorName(ErrorCode code)
{
    switch (code) {
    case ErrorCode::Busy:
        return QStringLiteral("busy");
    case ErrorCode::BadRequest:
        break;
    case ErrorCode::UnknownCommand:
        return QStringLiteral("unknown-command");
    case ErrorCode::File:
        return QStringLiteral("file");
    case ErrorCode::NotApproved:
        return QStringLiteral("not-approved");
    }
    return QStringLiteral("bad-request");
}

QString commandName(Command command)
{
    for (const Named &c : kCommands) {
        if (c.command == command)
            return QLatin1String(c.name);
    }
    return {};
}

std::optional<Command> commandNamed(const QString &name)
{
    for (const Named &c : kCommands) {
        if (name == QLatin1String(c.name))
            return c.command;
    }
    return std::nullopt;
}

std::variant<ControlRequest, ControlRequest::Refusal> ControlRequest::parse(QByteArrayView line)
{
    QStringDecoder utf8(QStringDecoder::Utf8);
    Q_UNUSED(utf8.decode(line));
    if (utf8.hasError())
        return Refusal{QJsonValue(), ErrorCode::BadRequest, texts::kNotUtf8};
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError)
        return Refusal{QJsonValue(), ErrorCode::BadRequest, texts::notJson(error.errorString())};
    if (!document.isObject())
        return Refusal{QJsonValue(), ErrorCode::BadRequest, texts::kNotAnObject};
    const QJsonObject object = document.object();

    ControlRequest request;
    request.id = object.value(kId);
    if (request.id.isUndefined())
        request.id = QJsonValue();
    // Every record of the step carries it: a record stays a line the shift report reads.
    if (idBytes(request.id) > kIdLimit)
        return Refusal{QJsonValue(), ErrorCode::BadRequest, texts::kIdTooLong};
    const auto refuse = [&request](ErrorCode code, const QString &why) {
        return Refusal{request.id, code, why};
    };
    const QJsonValue name = object.value(kCommand);
    if (!name.isString())
        return refuse(ErrorCode::BadRequest, texts::kNoCommand);
    const std::optional<Command> command = commandNamed(name.toString());
    if (!command)
        return refuse(ErrorCode::UnknownCommand, texts::unknownCommand(name.toString()));
    request.command = *command;

    const QStringList takes = fieldsOf(*command);
    for (const QString &field : object.keys()) {
        if (field != kId && field != kCommand && !takes.contains(field))
            return refuse(ErrorCode::BadRequest, texts::unknownField(field, name.toString()));
    }
    for (const auto &[field, flag] : {std::pair{kRestoreDefaults, &request.restoreDefaults},
                                      std::pair{kBlackBox, &request.blackBox}}) {
        const QJsonValue value = object.value(field);
        if (!value.isUndefined() && !value.isBool())
            return refuse(ErrorCode::BadRequest, texts::notABoolean(field));
        *flag = value.toBool(false);
    }
    if (*command == Command::Load) {
        request.file = object.value(kFile).toString();
        if (request.file.isEmpty() || request.file.contains(QChar()) ||
            !QDir::isAbsolutePath(request.file))
            return refuse(ErrorCode::BadRequest, texts::kFileNeeded);
    }
    if (object.contains(kProgrammers)) {
        request.programmers = programmersFrom(object.value(kProgrammers));
        if (!request.programmers)
            return refuse(ErrorCode::BadRequest, texts::kProgrammersRange);
    }
    if (object.contains(kBoards)) {
        const auto boards = boardsFrom(object.value(kBoards));
        if (!boards)
            return refuse(ErrorCode::BadRequest, texts::kBoardsShape);
        request.boards = *boards;
    }
    return request;
}

QByteArray ControlRequest::toLine() const
{
    QJsonObject object{{kCommand, commandName(command)}};
    if (!id.isNull())
        object[kId] = id;
    if (command == Command::Load) {
        object[kFile] = file;
        if (restoreDefaults)
            object[kRestoreDefaults] = true;
        if (blackBox)
            object[kBlackBox] = true;
    }
    if (programmers) {
        QJsonArray numbers;
        for (const link::ProgrammerNumber n : *programmers)
            numbers.append(n.value());
        object[kProgrammers] = numbers;
    }
    if (!boards.isEmpty()) {
        QJsonObject serials;
        for (auto it = boards.begin(); it != boards.end(); ++it)
            serials[QStringLiteral("COM%1").arg(it.key())] = it.value();
        object[kBoards] = serials;
    }
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

bool ControlRequest::operator==(const ControlRequest &o) const
{
    return id == o.id && command == o.command && file == o.file &&
           restoreDefaults == o.restoreDefaults && blackBox == o.blackBox &&
           programmers == o.programmers && boards == o.boards;
}

} // namespace vell::control
