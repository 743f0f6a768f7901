#include "attempt.h"

#include <QCoreApplication>
#include <QSysInfo>
#include <QUuid>

namespace vell::app {

namespace {

QString utc(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

} // namespace

QString runId()
{
    static const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    return id;
}

QJsonValue orNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QJsonObject identityJson(const link::PortNames::Identity &identity)
{
    return {{QStringLiteral("device"), orNull(identity.device)},
            {QStringLiteral("usb_serial"), orNull(identity.usbSerial)},
            {QStringLiteral("usb_vid_pid"), orNull(identity.vidPid)},
            {QStringLiteral("location"), orNull(identity.location)}};
}

QJsonObject imageJson(const link::ImageIdentity &image)
{
    return {{QStringLiteral("name"), image.name},
            {QStringLiteral("folder"), image.folder},
            {QStringLiteral("size"), image.size},
            {QStringLiteral("sha256"), image.sha256},
            {QStringLiteral("crc32"), image.crc32}};
}

Attempt Attempt::of(int n, const link::ProgrammerState &state, const QString &text)
{
    return {n, state.comPort, state.port, state.step, text, state.version};
}

link::Result Attempt::result() const
{
    return step.ending ? link::resultOf(*step.ending) : link::Result::NoResult;
}

QString Attempt::resultName(link::Result result)
{
    switch (result) {
    case link::Result::Ok:
        return QStringLiteral("ok");
    case link::Result::Error:
        return QStringLiteral("error");
    case link::Result::Lost:
        return QStringLiteral("lost");
    case link::Result::TimedOut:
        return QStringLiteral("timed-out");
    case link::Result::Skipped:
        return QStringLiteral("skipped");
    case link::Result::NoResult:
        break;
    }
    return QStringLiteral("no-result");
}

QJsonObject Attempt::toJson() const
{
    const bool load = step.step == link::Step::Load;
    QJsonObject record = identityJson(port);
    record[QStringLiteral("time")] = utc(step.ended);
    record[QStringLiteral("started")] = utc(step.started);
    record[QStringLiteral("duration_ms")] = step.started.msecsTo(step.ended);
    record[QStringLiteral("host")] = QSysInfo::machineHostName();
    record[QStringLiteral("app_version")] = QCoreApplication::applicationVersion();
    record[QStringLiteral("run_id")] = runId();
    record[QStringLiteral("pid")] = QCoreApplication::applicationPid();
    record[QStringLiteral("programmer")] = programmer;
    record[QStringLiteral("com")] = comPort;
    record[QStringLiteral("step")] =
        load ? QStringLiteral("load") : QStringLiteral("program-target");
    record[QStringLiteral("try")] = step.tryNumber;
    record[QStringLiteral("file")] = step.image ? QJsonValue(imageJson(*step.image)) : QJsonValue();
    if (!step.expected.sha256.isEmpty())
        record[QStringLiteral("expected_sha256")] = step.expected.sha256;
    if (!step.expected.crc32.isEmpty())
        record[QStringLiteral("expected_crc32")] = step.expected.crc32;
    record[QStringLiteral("options")] =
        load ? QJsonValue(QJsonObject{{QStringLiteral("restore_defaults"), step.restoreDefaults},
                                      {QStringLiteral("black_box"), step.blackBox}})
             : QJsonValue();
    record[QStringLiteral("result")] = resultName(result());
    record[QStringLiteral("code")] = step.code ? QJsonValue(*step.code) : QJsonValue();
    record[QStringLiteral("text")] = text;
    record[QStringLiteral("programmer_version")] =
        programmerVersion ? orNull(*programmerVersion) : QJsonValue();
    return record;
}

} // namespace vell::app
