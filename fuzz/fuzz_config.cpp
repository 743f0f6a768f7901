// Config.txt lines and numbers from arbitrary bytes: no crash, no hang, and a byte only for
// values that round into 0..255.
#include "load/configfile.h"

#include <QByteArray>
#include <QString>

#include <cmath>
#include <cstdint>
#include <cstdlib>

using vell::load::ConfigFile;

namespace {

void checkLine(const QString &line)
{
    const double v = ConfigFile::numberValue(line);
    const std::optional<quint8> b = ConfigFile::byteValue(line);
    if (std::isnan(v))
        std::abort();
    // Rounding half to even: (-0.5, 255.5) always lands on a byte, outside [-0.5, 255.5] never.
    if (b && !(v >= -0.5 && v <= 255.5))
        std::abort();
    if (!b && v > -0.5 && v < 255.5)
        std::abort();
    if (b && std::fabs(v - *b) > 0.5)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    ConfigFile config;
    config.readText(bytes);
    for (int i = 0; i < ConfigFile::kLineCount; ++i)
        checkLine(config.line(i));
    for (int k = 1; k <= ConfigFile::kTrailerLength; ++k) {
        if (config.trailerByte(k) != ConfigFile::byteValue(config.line(k)))
            std::abort();
    }
    checkLine(QString::fromLatin1(bytes));
    return 0;
}
