#pragma once

#include "link/portnames.h"
#include "link/programmerstate.h"

#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <optional>

namespace vell::app {

/// One programmer's ended step (a load or a program-target): one line of the attempt log and
/// the result event of --json, rendered from the programmer's state when the step ended.
struct Attempt
{
    int programmer = 0;
    int comPort = 0;
    link::PortNames::Identity port;
    link::StepRecord step; ///< ended: its ending is set
    QString text;          ///< the status text shown at the end
    std::optional<QString> programmerVersion;

    /// Programmer n's last step, as its state holds it.
    [[nodiscard]] static Attempt of(int n, const link::ProgrammerState &state, const QString &text);
    [[nodiscard]] link::Result result() const;
    /// The fields of the record (the keys of the attempt log).
    [[nodiscard]] QJsonObject toJson() const;
    [[nodiscard]] static QString resultName(link::Result result);
};

/// device, usb_serial, usb_vid_pid and location (null where unknown), as the record and the
/// JSON events name them.
[[nodiscard]] QJsonObject identityJson(const link::PortNames::Identity &identity);
/// name, folder, size, sha256 and crc32 of an image.
[[nodiscard]] QJsonObject imageJson(const link::ImageIdentity &image);
/// This start of the tool's id, the same in every record it writes.
[[nodiscard]] QString runId();
/// Empty text as JSON null.
[[nodiscard]] QJsonValue orNull(const QString &text);

} // namespace vell::app
