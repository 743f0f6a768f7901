#include "sim/deviceoptions.h"

#include "sim/texts.h"

#include <QStringList>

#include <functional>
#include <limits>
#include <type_traits>

namespace vell::sim {

namespace {

bool fail(QString *error, const QString &message)
{
    if (error)
        *error = message;
    return false;
}

bool readNumber(const QString &name, const QString &value, qint64 low, qint64 high, qint64 *out,
                QString *error)
{
    bool ok = false;
    const qint64 n = value.toLongLong(&ok);
    if (!ok || n < low || n > high)
        return fail(error, texts::kSwitchBadNumber.arg(name, value).arg(low).arg(high));
    *out = n;
    return true;
}

bool isVersion(const QString &v)
{
    if (v.size() != 4)
        return false;
    for (QChar c : v) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7e)
            return false;
    }
    return true;
}

} // namespace

std::optional<DeviceOptions> DeviceOptions::parse(const QString &switches, QString *error)
{
    DeviceOptions o;
    bool kindSet = false;
    const QStringList items = switches.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &raw : items) {
        const QString item = raw.trimmed();
        const qsizetype eq = item.indexOf(QLatin1Char('='));
        const QString name = eq < 0 ? item : item.left(eq);
        const bool hasValue = eq >= 0;
        const QString value = hasValue ? item.mid(eq + 1) : QString();

        // Flags take no value.
        const auto flag = [&](const std::function<void()> &set) {
            if (hasValue)
                return fail(error, texts::kSwitchTakesNoValue.arg(name));
            set();
            return true;
        };
        const auto kind = [&](Kind k) {
            if (kindSet)
                return fail(error, texts::kSwitchKindTwice);
            kindSet = true;
            return flag([&] { o.kind = k; });
        };
        // Numbers need one, within their range.
        const auto number = [&](const char *example, qint64 low, qint64 high, auto *field) {
            if (!hasValue || value.isEmpty())
                return fail(error, texts::kSwitchNeedsValue.arg(name, QLatin1String(example)));
            qint64 n = 0;
            if (!readNumber(name, value, low, high, &n, error))
                return false;
            *field = static_cast<std::remove_pointer_t<decltype(field)>>(n);
            return true;
        };
        constexpr qint64 kBig = std::numeric_limits<int>::max();

        bool ok = false;
        if (name == QLatin1String("silent"))
            ok = kind(Kind::Silent);
        else if (name == QLatin1String("text"))
            ok = kind(Kind::OtherText);
        else if (name == QLatin1String("short"))
            ok = kind(Kind::ShortGreeting);
        else if (name == QLatin1String("noready"))
            ok = flag([&] { o.neverReady = true; });
        else if (name == QLatin1String("split"))
            ok = flag([&] { o.splitReplies = true; });
        else if (name == QLatin1String("double"))
            ok = flag([&] { o.doubleReplies = true; });
        else if (name == QLatin1String("loaderr"))
            ok = number("3", 1, 255, &o.loadError);
        else if (name == QLatin1String("firstloaderr"))
            ok = number("3", 1, 255, &o.firstLoadError);
        else if (name == QLatin1String("targeterr"))
            ok = number("10", 1, 255, &o.targetError);
        else if (name == QLatin1String("unplug"))
            ok = number("5000", 0, std::numeric_limits<qint64>::max(), &o.unplugAfter);
        else if (name == QLatin1String("stall"))
            ok = number("8192", 0, std::numeric_limits<qint64>::max(), &o.stallAfter);
        else if (name == QLatin1String("rate"))
            ok = number("11520", 1, kBig, &o.readRate);
        else if (name == QLatin1String("prog"))
            ok = number("8", 0, 255, &o.programSteps);
        else if (name == QLatin1String("verify"))
            ok = number("8", 0, 255, &o.verifySteps);
        else if (name == QLatin1String("interval"))
            ok = number("20", 0, 60000, &o.stepIntervalMs);
        else if (name == QLatin1String("version")) {
            if (!hasValue)
                ok = fail(error, texts::kSwitchNeedsValue.arg(name, QStringLiteral("0107")));
            else if (!isVersion(value))
                ok = fail(error, texts::kSwitchBadVersion.arg(value));
            else {
                o.version = value;
                ok = true;
            }
        } else
            ok = fail(error, texts::kUnknownSwitch.arg(item));
        if (!ok)
            return std::nullopt;
    }
    return o;
}

QString DeviceOptions::toString() const
{
    const DeviceOptions d;
    QStringList s;
    if (kind == Kind::Silent)
        s << QStringLiteral("silent");
    else if (kind == Kind::OtherText)
        s << QStringLiteral("text");
    else if (kind == Kind::ShortGreeting)
        s << QStringLiteral("short");
    if (version != d.version)
        s << QStringLiteral("version=") + version;
    if (neverReady)
        s << QStringLiteral("noready");
    if (loadError)
        s << QStringLiteral("loaderr=%1").arg(loadError);
    if (firstLoadError)
        s << QStringLiteral("firstloaderr=%1").arg(firstLoadError);
    if (targetError)
        s << QStringLiteral("targeterr=%1").arg(targetError);
    if (unplugAfter >= 0)
        s << QStringLiteral("unplug=%1").arg(unplugAfter);
    if (stallAfter >= 0)
        s << QStringLiteral("stall=%1").arg(stallAfter);
    if (readRate)
        s << QStringLiteral("rate=%1").arg(readRate);
    if (splitReplies)
        s << QStringLiteral("split");
    if (doubleReplies)
        s << QStringLiteral("double");
    if (programSteps != d.programSteps)
        s << QStringLiteral("prog=%1").arg(programSteps);
    if (verifySteps != d.verifySteps)
        s << QStringLiteral("verify=%1").arg(verifySteps);
    if (stepIntervalMs != d.stepIntervalMs)
        s << QStringLiteral("interval=%1").arg(stepIntervalMs);
    return s.join(QLatin1Char(','));
}

bool DeviceOptions::operator==(const DeviceOptions &o) const
{
    return kind == o.kind && version == o.version && neverReady == o.neverReady &&
           loadError == o.loadError && firstLoadError == o.firstLoadError &&
           targetError == o.targetError && unplugAfter == o.unplugAfter &&
           stallAfter == o.stallAfter && splitReplies == o.splitReplies &&
           doubleReplies == o.doubleReplies && readRate == o.readRate &&
           programSteps == o.programSteps && verifySteps == o.verifySteps &&
           stepIntervalMs == o.stepIntervalMs;
}

} // namespace vell::sim
