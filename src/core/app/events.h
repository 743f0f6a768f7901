#pragma once

#include "discovery/programmersearch.h"
#include "model/programmerstate.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>

namespace vell::app {

struct Attempt;
struct RunResult;

/// The JSON events a station tells of, each one object with its "event" field: the headless
/// run's --json prints them one a line, the control socket sends them. The one place their
/// fields are made, so the two never differ.
namespace events {

/// Programmer n was found (after the search).
[[nodiscard]] QJsonObject found(model::ProgrammerNumber n, const model::ProgrammerState &state);
/// A port exists but cannot be used.
[[nodiscard]] QJsonObject portUnusable(const discovery::ProgrammerSearch::UnusablePort &port);
/// Programmer n's status text changed to text.
[[nodiscard]] QJsonObject status(model::ProgrammerNumber n, const QString &text);
/// The percentage programmer n's status text shows, when it shows one.
[[nodiscard]] std::optional<QJsonObject> progress(model::ProgrammerNumber n,
                                                  const model::ProgrammerState &state);
/// The operator's prompt changed to text.
[[nodiscard]] QJsonObject prompt(const QString &text);
/// One programmer's step ended: its record.
[[nodiscard]] QJsonObject result(const Attempt &attempt);
/// The closing event of a run or a step: the result's JSON summary with the process's (or a
/// headless run of the step's) exit code, and the summary line as text (null when empty).
[[nodiscard]] QJsonObject summary(const RunResult &result, int exitCode, const QString &line);

/// An event as one line: compact JSON in UTF-8 and a newline.
[[nodiscard]] QByteArray line(const QJsonObject &event);

} // namespace events
} // namespace vell::app
