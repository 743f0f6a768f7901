#include "configfile.h"

#include "logging.h"

#include <QDir>
#include <QFile>

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace vell::load {

namespace {

/// The characters of a line that take part in its number: blanks, tabs and line feeds are
/// dropped wherever they stand; anything outside ASCII becomes a character no number uses.
std::string numberCharacters(QStringView text)
{
    std::string s;
    s.reserve(size_t(text.size()));
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u' ' || u == u'\t' || u == u'\n')
            continue;
        s.push_back(u < 0x80 ? char(u) : '?');
    }
    return s;
}

int digitValue(char c, int base)
{
    int d = -1;
    if (c >= '0' && c <= '9')
        d = c - '0';
    else if (c >= 'a' && c <= 'f')
        d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        d = c - 'A' + 10;
    return d >= 0 && d < base ? d : -1;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

/// &H or &O digits (pos is just after the prefix). Grows to infinity rather than wrapping.
double radixValue(const std::string &s, size_t pos, int base)
{
    double v = 0;
    for (; pos < s.size(); ++pos) {
        const int d = digitValue(s[pos], base);
        if (d < 0)
            break;
        v = v * base + d;
    }
    return v;
}

double decimalValue(const std::string &s)
{
    size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    // Significant digits without leading zeros, and the power of ten of the first of them:
    // the value is 0.<significant> x 10^magnitude. Kept apart so that huge exponents or long
    // digit runs cost nothing but a scan.
    std::string significant;
    long long magnitude = 0;
    bool anyDigit = false;
    for (; i < s.size() && isDigit(s[i]); ++i) {
        anyDigit = true;
        if (significant.empty() && s[i] == '0')
            continue;
        significant.push_back(s[i]);
        ++magnitude;
    }
    if (i < s.size() && s[i] == '.') {
        for (++i; i < s.size() && isDigit(s[i]); ++i) {
            anyDigit = true;
            if (significant.empty() && s[i] == '0') {
                --magnitude;
                continue;
            }
            significant.push_back(s[i]);
        }
    }
    if (!anyDigit)
        return 0;
    if (i < s.size() && (s[i] == 'E' || s[i] == 'e' || s[i] == 'D' || s[i] == 'd')) {
        size_t j = i + 1;
        bool expNegative = false;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) {
            expNegative = s[j] == '-';
            ++j;
        }
        constexpr long long kSaturated = 1'000'000'000'000LL;
        long long exponent = 0;
        for (; j < s.size() && isDigit(s[j]); ++j)
            exponent = std::min(kSaturated, exponent * 10 + (s[j] - '0'));
        magnitude += expNegative ? -exponent : exponent;
    }
    if (significant.empty())
        return 0;
    // Beyond these the double is certainly infinite or zero.
    if (magnitude > 400)
        return negative ? -std::numeric_limits<double>::infinity()
                        : std::numeric_limits<double>::infinity();
    if (magnitude < -400)
        return 0;
    const std::string normalized = "0." + significant + 'e' + std::to_string(magnitude);
    double v = 0;
    const auto result =
        std::from_chars(normalized.data(), normalized.data() + normalized.size(), v);
    if (result.ec == std::errc::result_out_of_range)
        v = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -v : v;
}

} // namespace

double ConfigFile::numberValue(QStringView text)
{
    const std::string s = numberCharacters(text);
    if (s.size() >= 2 && s[0] == '&') {
        if (s[1] == 'H' || s[1] == 'h')
            return radixValue(s, 2, 16);
        if (s[1] == 'O' || s[1] == 'o')
            return radixValue(s, 2, 8);
        return 0;
    }
    return decimalValue(s);
}

std::optional<quint8> ConfigFile::byteValue(QStringView text)
{
    const double v = numberValue(text);
    if (!std::isfinite(v))
        return std::nullopt;
    // The default rounding mode sends a half to the even neighbour: 2.5 -> 2, 3.5 -> 4.
    const double r = std::nearbyint(v);
    if (r < 0 || r > 255)
        return std::nullopt;
    return quint8(r);
}

std::optional<quint8> ConfigFile::trailerByte(int k) const
{
    if (k < 1 || k > kTrailerLength)
        return std::nullopt;
    return byteValue(line(k));
}

void ConfigFile::read(const QString &folder)
{
    QFile file(QDir(folder).filePath(fileName()));
    if (!file.open(QIODevice::ReadOnly)) {
        qCDebug(lcLoad) << "Config.txt not read:" << file.errorString();
        return;
    }
    readText(file.read(kMaxReadBytes));
}

void ConfigFile::readText(const QByteArray &text)
{
    // Line 1 is skipped; line 2 goes to index 0, line k + 2 to index k.
    int lineNumber = 1;
    qsizetype start = 0;
    const qsizetype n = text.size();
    while (start < n && lineNumber <= kLineCount) {
        qsizetype end = start;
        while (end < n && text[end] != '\r' && text[end] != '\n')
            ++end;
        if (lineNumber >= 2)
            m_lines[size_t(lineNumber - 2)] = QString::fromLatin1(text.mid(start, end - start));
        ++lineNumber;
        if (end < n && text[end] == '\r' && end + 1 < n && text[end + 1] == '\n')
            ++end;
        start = end + 1;
    }
}

} // namespace vell::load
