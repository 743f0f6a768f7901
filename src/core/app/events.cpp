#include "events.h"

#include "attempt.h"
#include "runresult.h"

#include "model/pane.h"
#include "record/attemptrecord.h"

#include <QJsonDocument>

namespace vell::app::events {

namespace {

QJsonObject event(const QString &name, QJsonObject fields)
{
    fields[QStringLiteral("event")] = name;
    return fields;
}

} // namespace

QJsonObject found(model::ProgrammerNumber n, const model::ProgrammerState &state)
{
    QJsonObject fields = identityJson(state.port);
    fields[QStringLiteral("programmer")] = n.value();
    fields[QStringLiteral("com")] = state.comPort;
    return event(QStringLiteral("found"), fields);
}

QJsonObject portUnusable(const discovery::ProgrammerSearch::UnusablePort &port)
{
    QJsonObject fields = port.verdict.toJson();
    fields[QStringLiteral("com")] = port.comPort;
    fields[QStringLiteral("device")] = port.device;
    return event(QStringLiteral("port-unusable"), fields);
}

QJsonObject status(model::ProgrammerNumber n, const QString &text)
{
    return event(QStringLiteral("status"),
                 {{QStringLiteral("programmer"), n.value()}, {QStringLiteral("text"), text}});
}

std::optional<QJsonObject> progress(model::ProgrammerNumber n, const model::ProgrammerState &state)
{
    const char *phase = model::Pane::progressPhase(state.status);
    if (!phase)
        return std::nullopt;
    return event(QStringLiteral("progress"), {{QStringLiteral("programmer"), n.value()},
                                              {QStringLiteral("phase"), QLatin1String(phase)},
                                              {QStringLiteral("percent"), state.percent}});
}

QJsonObject prompt(const QString &text)
{
    return event(QStringLiteral("prompt"), {{QStringLiteral("text"), text}});
}

QJsonObject result(const Attempt &attempt)
{
    return event(QStringLiteral("result"), attempt.record().toJson());
}

QJsonObject summary(const RunResult &result, int exitCode, const QString &line)
{
    QJsonObject fields = result.summaryJson(exitCode);
    fields[QStringLiteral("text")] = record::orNull(line);
    return event(QStringLiteral("summary"), fields);
}

QByteArray line(const QJsonObject &event)
{
    return QJsonDocument(event).toJson(QJsonDocument::Compact) + '\n';
}

} // namespace vell::app::events
