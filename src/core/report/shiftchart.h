#pragma once

#include "shiftreport.h"

#include <QSize>
#include <QString>

class QPainter;

namespace vell::report {

/// The shift report as a picture for the shift meeting: each programmer's yield as a bar, and
/// its failures as a bar split by code, with a legend of the codes and their texts.
class ShiftChart
{
public:
    static constexpr QSize kDefaultSize{1280, 720};

    /// Draws report into path: a PNG or an SVG by its extension (.png, .svg). False, with
    /// *error, for another extension or when the file cannot be written.
    [[nodiscard]] static bool write(const ShiftReport &report, const QString &title,
                                    const QString &path, QSize size, QString *error);
    /// True when path ends in .png or .svg (any case).
    [[nodiscard]] static bool knownFormat(const QString &path);

    /// The drawing itself, on any paint device of that size.
    static void draw(QPainter &painter, const ShiftReport &report, const QString &title,
                     QSize size);
};

} // namespace vell::report
