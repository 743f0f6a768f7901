#include "shiftchart.h"

#include "texts.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QSvgGenerator>

#include <algorithm>

namespace vell::report {

namespace {

// Colour-blind-safe palette (Okabe-Ito), one colour per failure group; the rest grey.
const QColor kPalette[] = {QColor(0xD5, 0x5E, 0x00), QColor(0x00, 0x72, 0xB2),
                           QColor(0xE6, 0x9F, 0x00), QColor(0xCC, 0x79, 0xA7),
                           QColor(0x56, 0xB4, 0xE9), QColor(0xF0, 0xE4, 0x42),
                           QColor(0x00, 0x00, 0x00)};
const QColor kOther(0x99, 0x99, 0x99);
const QColor kGood(0x00, 0x9E, 0x73);
const QColor kTrack(0xE4, 0xE4, 0xE4);
const QColor kInk(0x20, 0x20, 0x20);
const QColor kMuted(0x60, 0x60, 0x60);

struct Group
{
    std::optional<int> code;
    QString result;
    QString text;
    qint64 count = 0;
};

QString groupName(const Group &g)
{
    return g.code ? texts::code(*g.code) : g.result;
}

/// Failure groups over every programmer, most frequent first: their colours and the legend.
std::vector<Group> groupsOf(const ShiftReport &report)
{
    std::vector<Group> groups;
    for (const ProgrammerTally *p : report.programmers()) {
        for (const ProgrammerTally::Failure &f : p->failures()) {
            auto g = std::find_if(groups.begin(), groups.end(), [&](const Group &g) {
                return f.code ? g.code == f.code : !g.code && g.result == f.result;
            });
            if (g == groups.end())
                groups.push_back({f.code, f.result, f.texts.value(0), f.count});
            else
                g->count += f.count;
        }
    }
    std::stable_sort(groups.begin(), groups.end(),
                     [](const Group &a, const Group &b) { return a.count > b.count; });
    return groups;
}

QColor colourOf(const std::vector<Group> &groups, const std::optional<int> &code,
                const QString &result)
{
    for (size_t i = 0; i < groups.size() && i < std::size(kPalette); ++i)
        if (code ? groups[i].code == code : !groups[i].code && groups[i].result == result)
            return kPalette[i];
    return kOther;
}

QString utc(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

QFont font(int pixels, bool bold = false)
{
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(std::max(8, pixels));
    f.setBold(bold);
    return f;
}

} // namespace

bool ShiftChart::knownFormat(const QString &path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    return suffix == QLatin1String("png") || suffix == QLatin1String("svg");
}

void ShiftChart::draw(QPainter &p, const ShiftReport &report, const QString &title, QSize size)
{
    const std::vector<const ProgrammerTally *> programmers = report.programmers();
    const std::vector<Group> groups = groupsOf(report);
    const int w = size.width(), h = size.height();
    const int unit = std::max(8, std::min(w / 60, h / 34)); // the body text's pixel size
    const int margin = unit * 2;
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(QRect(QPoint(0, 0), size), Qt::white);

    // Title and the period.
    p.setPen(kInk);
    p.setFont(font(unit * 2, true));
    int y = margin;
    p.drawText(QRect(margin, y, w - 2 * margin, unit * 3), Qt::AlignLeft | Qt::AlignVCenter, title);
    y += unit * 3;
    std::optional<qint64> first, last;
    qint64 boards = 0, ok = 0;
    for (const ProgrammerTally *t : programmers) {
        if (t->first())
            first = std::min(first.value_or(*t->first()), *t->first());
        if (t->last())
            last = std::max(last.value_or(*t->last()), *t->last());
        boards += t->tally().boards();
        ok += t->tally().boardsOk;
    }
    QString period = texts::boardsAndOk(boards, ok);
    if (first && last)
        period += texts::span(utc(*first), utc(*last));
    if (report.malformed() > 0)
        period += texts::skippedLines(report.malformed());
    p.setPen(kMuted);
    p.setFont(font(unit));
    p.drawText(QRect(margin, y, w - 2 * margin, unit * 2), Qt::AlignLeft | Qt::AlignVCenter,
               period);
    y += unit * 3;

    if (programmers.empty()) {
        p.setFont(font(unit * 2));
        p.drawText(QRect(margin, y, w - 2 * margin, h - y - margin), Qt::AlignCenter,
                   texts::kNoRecords);
        return;
    }

    // The legend first, to know its height: each failure group shown, its text whole (wrapped
    // where it must), in one column while the groups are few and two beyond.
    std::vector<Group> shown(groups.begin(),
                             groups.begin() + std::min(groups.size(), std::size(kPalette)));
    qint64 otherCount = 0;
    for (size_t i = std::size(kPalette); i < groups.size(); ++i)
        otherCount += groups[i].count;
    if (otherCount > 0)
        shown.push_back({std::nullopt, texts::kOthers, QString(), otherCount});
    const int legendColumns = shown.size() <= 3 ? 1 : 2;
    const int columnWidth = (w - 2 * margin) / legendColumns;
    const int textWidth = columnWidth - unit * 2;
    const QFontMetrics legendMetrics(font(unit), p.device());
    QStringList legendLines;
    std::vector<int> legendRowHeights;
    for (size_t i = 0; i < shown.size(); ++i) {
        QString line = QStringLiteral("%1 (%2)").arg(groupName(shown[i])).arg(shown[i].count);
        if (!shown[i].text.isEmpty())
            line += QStringLiteral(": ") + shown[i].text;
        legendLines << line;
        const int height = std::max(
            unit * 2,
            legendMetrics.boundingRect(QRect(0, 0, textWidth, h), Qt::TextWordWrap, line).height());
        if (i % size_t(legendColumns) == 0)
            legendRowHeights.push_back(height);
        else
            legendRowHeights.back() = std::max(legendRowHeights.back(), height);
    }
    int legendHeight = groups.empty() ? 0 : unit * 2;
    for (const int rowHeight : legendRowHeights)
        legendHeight += rowHeight;
    const int rowsTop = y + unit * 2;
    const int rowHeight =
        std::max(unit * 2, (h - rowsTop - legendHeight - margin) / int(programmers.size()));
    const int labelWidth = (w - 2 * margin) * 22 / 100;
    const int gap = unit * 2;
    const int yieldLeft = margin + labelWidth;
    const int yieldWidth = (w - 2 * margin - labelWidth - gap) * 45 / 100;
    const int failLeft = yieldLeft + yieldWidth + gap;
    const int failWidth = w - margin - failLeft;
    qint64 mostFailures = 1;
    for (const ProgrammerTally *t : programmers)
        mostFailures = std::max(mostFailures, t->failed());

    p.setPen(kMuted);
    p.setFont(font(unit, true));
    p.drawText(QRect(yieldLeft, y, yieldWidth, unit * 2), Qt::AlignLeft | Qt::AlignVCenter,
               texts::kYield);
    p.drawText(QRect(failLeft, y, failWidth, unit * 2), Qt::AlignLeft | Qt::AlignVCenter,
               texts::kFailuresByCode);

    const int barHeight = std::min(rowHeight * 6 / 10, unit * 3);
    for (size_t i = 0; i < programmers.size(); ++i) {
        const ProgrammerTally &t = *programmers[i];
        const int top = rowsTop + int(i) * rowHeight;
        const int barTop = top + (rowHeight - barHeight) / 2;
        // The programmer: COM number, then its host (a line's report) and its USB serial or
        // location when known.
        QString detail = !t.usbSerial().isEmpty() ? t.usbSerial() : t.location();
        if (!t.host().isEmpty())
            detail = detail.isEmpty() ? t.host() : t.host() + QStringLiteral(", ") + detail;
        p.setPen(kInk);
        p.setFont(font(unit * 3 / 2, true));
        const QFontMetrics big(p.font());
        const int nameTop = detail.isEmpty() ? barTop : barTop - unit / 2;
        p.drawText(QRect(margin, nameTop, labelWidth - unit, barHeight),
                   Qt::AlignLeft | Qt::AlignVCenter, texts::com(t.com()));
        if (!detail.isEmpty()) {
            p.setPen(kMuted);
            p.setFont(font(unit * 9 / 10));
            const QString shown =
                QFontMetrics(p.font()).elidedText(detail, Qt::ElideMiddle, labelWidth - unit);
            p.drawText(QRect(margin, nameTop + big.height(), labelWidth - unit, unit * 2),
                       Qt::AlignLeft | Qt::AlignTop, shown);
        }

        // Yield: the OK share of the boards, the figures beside it.
        const double yield = t.yield().value_or(0.0);
        p.fillRect(QRect(yieldLeft, barTop, yieldWidth, barHeight), kTrack);
        p.fillRect(QRect(yieldLeft, barTop, int(yieldWidth * yield), barHeight), kGood);
        p.setFont(font(unit * 5 / 4, true));
        const QString yieldText = t.yield()
                                      ? texts::yieldFigures(QString::number(yield * 100.0, 'f', 1),
                                                            t.tally().boardsOk, t.tally().boards())
                                      : texts::kNoBoards;
        // Dark on the grey, white on the green: readable wherever the bar ends.
        const QRect yieldLabel(yieldLeft + unit / 2, barTop, yieldWidth - unit, barHeight);
        p.setPen(kInk);
        p.drawText(yieldLabel, Qt::AlignLeft | Qt::AlignVCenter, yieldText);
        p.save();
        p.setClipRect(QRect(yieldLeft, barTop, int(yieldWidth * yield), barHeight));
        p.setPen(Qt::white);
        p.drawText(yieldLabel, Qt::AlignLeft | Qt::AlignVCenter, yieldText);
        p.restore();

        // Failures: one segment per group, scaled to the programmer with the most.
        int x = failLeft;
        p.setFont(font(unit, true));
        const QFontMetrics small(p.font());
        if (t.failed() == 0) {
            p.setPen(kMuted);
            p.drawText(QRect(failLeft, barTop, failWidth, barHeight),
                       Qt::AlignLeft | Qt::AlignVCenter, texts::kNone);
        }
        const int usable = failWidth - small.horizontalAdvance(QStringLiteral(" 000000"));
        for (const ProgrammerTally::Failure &f : t.failures()) {
            const int width = std::max(2, int(qint64(usable) * f.count / mostFailures));
            const QColor colour = colourOf(groups, f.code, f.result);
            p.fillRect(QRect(x, barTop, width, barHeight), colour);
            const QString count = QString::number(f.count);
            if (small.horizontalAdvance(count) + unit / 2 < width) {
                p.setPen(colour.lightness() > 140 ? kInk : Qt::white);
                p.drawText(QRect(x, barTop, width, barHeight), Qt::AlignCenter, count);
            }
            x += width;
        }
        if (t.failed() > 0) {
            p.setPen(kInk);
            p.drawText(QRect(x + unit / 2, barTop, w - margin - x, barHeight),
                       Qt::AlignLeft | Qt::AlignVCenter, QString::number(t.failed()));
        }
    }

    if (groups.empty())
        return;
    // The legend: colour, group, count and the first status text seen for it.
    int ly = h - margin - legendHeight + unit;
    p.setPen(kMuted);
    p.setFont(font(unit, true));
    p.drawText(QRect(margin, ly, w - 2 * margin, unit * 2), Qt::AlignLeft | Qt::AlignVCenter,
               texts::kFailureCodes);
    ly += unit * 2;
    p.setFont(font(unit));
    for (size_t i = 0; i < shown.size(); ++i) {
        const size_t row = i / size_t(legendColumns);
        const int cx = margin + int(i) % legendColumns * columnWidth;
        int cy = ly;
        for (size_t r = 0; r < row; ++r)
            cy += legendRowHeights[r];
        const QColor colour = i < std::size(kPalette) ? kPalette[i] : kOther;
        p.fillRect(QRect(cx, cy + unit / 2, unit, unit), colour);
        p.setPen(kInk);
        // The first line level with the colour, as a one-line entry is.
        const int top = cy + std::max(0, (unit * 2 - legendMetrics.height()) / 2);
        p.drawText(QRect(cx + unit * 3 / 2, top, textWidth, legendRowHeights[row]),
                   Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, legendLines.at(qsizetype(i)));
    }
}

bool ShiftChart::write(const ShiftReport &report, const QString &title, const QString &path,
                       QSize size, QString *error)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("svg")) {
        // QSvgGenerator reports no write error: check that the file can be made first.
        QFile probe(path);
        if (!probe.open(QIODevice::WriteOnly)) {
            *error = QStringLiteral("%1: %2").arg(path, probe.errorString());
            return false;
        }
        probe.close();
        QSvgGenerator svg;
        svg.setFileName(path);
        svg.setSize(size);
        svg.setResolution(96); // so that viewers show it at its size in pixels
        svg.setViewBox(QRect(QPoint(0, 0), size));
        svg.setTitle(title);
        QPainter painter;
        if (!painter.begin(&svg)) {
            *error = QStringLiteral("%1: cannot be written").arg(path);
            return false;
        }
        draw(painter, report, title, size);
        painter.end();
        return true;
    }
    if (suffix != QLatin1String("png")) {
        *error = texts::notAChart(path);
        return false;
    }
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    {
        QPainter painter(&image);
        draw(painter, report, title, size);
    }
    QImageWriter writer(path, "png");
    if (!writer.write(image)) {
        *error = QStringLiteral("%1: %2").arg(path, writer.errorString());
        return false;
    }
    return true;
}

} // namespace vell::report
