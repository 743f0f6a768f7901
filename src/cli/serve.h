#pragma once

#include "headless.h"

// The station service (--serve) and its client (--control): library `vell_cli`.

namespace vell::control {
struct ControlRequest;
} // namespace vell::control

namespace vell::cli {

/// --control: no station listens on the socket, or it went away before it answered.
constexpr int kExitNoStation = 4;

/// The station service: the headless run's search (and its output), then the programmers held
/// for the control socket's commands, each step summed up on stdout as it ends, until SIGTERM or
/// SIGINT end every step still running (without a result, recorded) and the service: exit 0, or
/// 3 when a record was lost; 2 without a programmer or when the socket's place is taken.
[[nodiscard]] int runServe(const Options &options);

/// One command to the station at socket (empty: the default one): its events printed as the
/// headless run prints them (json: every line as it came), and the exit a headless run of the
/// step would end with; 2 for a refused request, kExitNoStation when no station answers.
[[nodiscard]] int runControl(const control::ControlRequest &request, const QString &socket,
                             bool json);

} // namespace vell::cli
