// The control socket's request reader from arbitrary bytes: no crash, no hang; a request read
// is whole (an id of at most 1 KiB, a known command, only its own fields, programmers 1..4, a
// load's absolute file, board serials on COM1..15), a refusal names one of the protocol's codes
// and says why; and the line a client would send for a request reads back as the same request.
#include "control/controlrequest.h"

#include <QByteArray>
#include <QDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using vell::control::Command;
using vell::control::ControlRequest;
using vell::control::ErrorCode;

namespace {

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto parsed = ControlRequest::parse(bytes);
    if (const auto *refusal = std::get_if<ControlRequest::Refusal>(&parsed)) {
        if (refusal->text.isEmpty())
            fail("a refusal that says nothing");
        if (refusal->code != ErrorCode::BadRequest && refusal->code != ErrorCode::UnknownCommand)
            fail("the reader refused with a code that is the station's to give");
        if (vell::control::errorName(refusal->code).isEmpty())
            fail("a refusal without its code's name");
        return 0;
    }
    const ControlRequest &request = std::get<ControlRequest>(parsed);
    if (vell::control::idBytes(request.id) > vell::control::kIdLimit)
        fail("an id over its limit");
    if (vell::control::commandName(request.command).isEmpty())
        fail("a command without a name");
    if (request.command == Command::Load &&
        (request.file.isEmpty() || !QDir::isAbsolutePath(request.file)))
        fail("a load without an absolute file");
    if (request.command != Command::Load &&
        (!request.file.isEmpty() || request.restoreDefaults || request.blackBox))
        fail("a load's field on another command");
    if (request.programmers &&
        (request.programmers->isEmpty() ||
         (request.command != Command::Load && request.command != Command::ProgramTarget)))
        fail("programmers empty, or on a command that takes none");
    for (auto it = request.boards.begin(); it != request.boards.end(); ++it) {
        if (request.command != Command::ProgramTarget || it.key() < 1 || it.key() > 15 ||
            it.value().isEmpty())
            fail("a board serial out of place");
    }
    const auto again = ControlRequest::parse(request.toLine());
    const auto *back = std::get_if<ControlRequest>(&again);
    if (!back)
        fail("the line written for a request is refused");
    // An id is echoed as the JSON it was; a number too large for a double is not JSON again.
    ControlRequest same = *back;
    same.id = request.id;
    if (same != request)
        fail("the line written for a request reads back as another");
    return 0;
}
