// The settings file reader from arbitrary bytes: no crash, no hang; line 7 is found exactly
// when there are seven lines, holds no line end, ignores whatever follows it, and a folder
// written by the tool reads back as written.
#include "app/settings.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using vell::app::Settings;

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

    // Whatever the file holds.
    const std::optional<QString> folder = Settings::parseLastFolder(bytes);
    if (folder && (folder->contains(u'\r') || folder->contains(u'\n')))
        fail("a line end inside line 7");
    if (bytes.isEmpty() && folder)
        fail("a folder from an empty file");

    // A file the tool wrote, with the input as the folder (line ends cannot be in a path
    // the browser shows, so they are left out), read back the same; bytes after the seventh
    // line (a hand-edited file) change nothing.
    QString written = QString::fromUtf8(bytes);
    written.remove(u'\r');
    written.remove(u'\n');
    const int port = size > 0 ? data[0] % 16 : 1;
    const QByteArray file = Settings::format(port, written);
    const std::optional<QString> back = Settings::parseLastFolder(file);
    if (!back || *back != written)
        fail("the folder written does not read back");
    if (Settings::parseLastFolder(file + bytes) != back)
        fail("bytes after line 7 changed the folder");
    return 0;
}
