#include "attempt.h"

#include <QCoreApplication>
#include <QSysInfo>
#include <QUuid>

namespace vell::app {

QString runId()
{
    static const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    return id;
}

QJsonObject identityJson(const link::PortNames::Identity &identity)
{
    return record::deviceJson(identity.device, identity.usbSerial, identity.vidPid,
                              identity.location);
}

record::AttemptRecord Attempt::record() const
{
    const bool load = step.step == model::Step::Load;
    record::AttemptRecord r;
    r.timeMs = step.ended.toMSecsSinceEpoch();
    r.startedMs = step.started.toMSecsSinceEpoch();
    r.durationMs = step.started.msecsTo(step.ended);
    r.host = QSysInfo::machineHostName();
    r.appVersion = QCoreApplication::applicationVersion();
    r.runId = runId();
    r.pid = QCoreApplication::applicationPid();
    r.programmer = programmer.value();
    r.com = comPort;
    r.device = port.device;
    r.usbSerial = port.usbSerial;
    r.vidPid = port.vidPid;
    r.location = port.location;
    r.step = load ? record::kStepLoad : record::kStepProgramTarget;
    r.tryNumber = step.tryNumber;
    r.file = step.image;
    r.expectedSha256 = step.expected.sha256;
    r.expectedCrc32 = step.expected.crc32;
    if (load)
        r.options = record::AttemptRecord::Options{step.restoreDefaults, step.blackBox};
    r.result = record::resultName(result());
    r.code = step.code;
    r.text = step.text;
    r.programmerVersion = programmerVersion.value_or(QString());
    r.board = step.board;
    r.reprogrammed = step.reprogrammed;
    r.requestId = step.requestId;
    r.recordId = recordId;
    r.operatorName = operatorName;
    return r;
}

} // namespace vell::app
