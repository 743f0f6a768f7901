#include "jsonscanner.h"

#include <QByteArray>
#include <QtAlgorithms>

#include <array>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace vell::record {

namespace {

/// Bytes that stand for themselves inside a string.
constexpr std::array<bool, 256> kPlain = [] {
    std::array<bool, 256> plain{};
    for (int c = 0x20; c < 0x80; ++c)
        plain[size_t(c)] = c != '"' && c != '\\';
    return plain;
}();

/// The first byte at or after p that does not stand for itself inside a string (a quote, a
/// backslash, a control character, a byte of a multi-byte character), or end. Sixteen or eight
/// bytes at a time: a record's strings are mostly long runs of plain ASCII.
const char *plainRun(const char *p, const char *end)
{
#ifdef __SSE2__
    const __m128i quote16 = _mm_set1_epi8('"');
    const __m128i backslash16 = _mm_set1_epi8('\\');
    const __m128i space16 = _mm_set1_epi8(0x20);
    while (end - p >= 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        // Compared as signed bytes, 0x80 and above are below 0x20 as well.
        const __m128i special =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, quote16), _mm_cmpeq_epi8(x, backslash16)),
                         _mm_cmplt_epi8(x, space16));
        if (const int mask = _mm_movemask_epi8(special))
            return p + qCountTrailingZeroBits(uint(mask));
        p += 16;
    }
#endif
    constexpr quint64 kOnes = 0x0101010101010101ull;
    constexpr quint64 kHigh = 0x8080808080808080ull;
    while (end - p >= 8) {
        quint64 x;
        std::memcpy(&x, p, 8);
        const quint64 quote = x ^ (kOnes * '"');
        const quint64 backslash = x ^ (kOnes * '\\');
        // A byte's high bit ends up set for a zero byte (quote, backslash), a byte below 0x20,
        // or a byte of 0x80 and above.
        const quint64 special = ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) |
                                (x - kOnes * 0x20) | x;
        if (special & kHigh) {
            // A borrow only runs upwards from a byte that is flagged itself, so the lowest
            // flag is the first such byte.
            if constexpr (Q_BYTE_ORDER == Q_LITTLE_ENDIAN)
                return p + qCountTrailingZeroBits(special & kHigh) / 8;
            break;
        }
        p += 8;
    }
    while (p != end && kPlain[uchar(*p)])
        ++p;
    return p;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

/// What may follow a number or a literal.
bool isDelimiter(char c)
{
    return c == ',' || c == '}' || c == ']' || c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

/// The length of the UTF-8 sequence of one character at p, or 0 when it is not a regular one
/// (overlong, a surrogate, beyond U+10FFFF, cut) or a noncharacter, on which readers differ.
int utf8Sequence(const uchar *p, const uchar *end)
{
    const uchar c = p[0];
    int length = 0;
    char32_t code = 0;
    uchar low = 0x80, high = 0xbf;
    if (c >= 0xc2 && c <= 0xdf) {
        length = 2;
        code = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
        length = 3;
        code = c & 0x0f;
        low = c == 0xe0 ? 0xa0 : low;
        high = c == 0xed ? 0x9f : high;
    } else if (c >= 0xf0 && c <= 0xf4) {
        length = 4;
        code = c & 0x07;
        low = c == 0xf0 ? 0x90 : low;
        high = c == 0xf4 ? 0x8f : high;
    } else {
        return 0;
    }
    if (end - p < length || p[1] < low || p[1] > high)
        return 0;
    code = (code << 6) | (p[1] & 0x3f);
    for (int i = 2; i < length; ++i) {
        if ((p[i] & 0xc0) != 0x80)
            return 0;
        code = (code << 6) | (p[i] & 0x3f);
    }
    if ((code >= 0xfdd0 && code <= 0xfdef) || (code & 0xfffe) == 0xfffe)
        return 0;
    return length;
}

} // namespace

QString JsonScanner::Value::string() const
{
    if (!escaped)
        return QString::fromUtf8(text);
    QByteArray decoded;
    decoded.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\') {
            switch (c = text[++i]) {
            case 'b':
                c = '\b';
                break;
            case 'f':
                c = '\f';
                break;
            case 'n':
                c = '\n';
                break;
            case 'r':
                c = '\r';
                break;
            case 't':
                c = '\t';
                break;
            default: // '"', '\\', '/' stand for themselves
                break;
            }
        }
        decoded += c;
    }
    return QString::fromUtf8(decoded);
}

bool JsonScanner::value(int depth, Value *value)
{
    space();
    if (m_p == m_end)
        return false;
    switch (*m_p) {
    case '"':
        return string(value);
    case '{': {
        const char *start = m_p;
        if (!object(depth + 1, [this](QByteArrayView, int at) { return this->value(at, nullptr); }))
            return false;
        if (value) {
            value->type = Value::Type::Object;
            value->text = QByteArrayView(start, m_p - start);
        }
        return true;
    }
    case '[':
        if (!array(depth + 1))
            return false;
        if (value)
            value->type = Value::Type::Array;
        return true;
    case 't':
        return literal("true", Value::Type::True, value);
    case 'f':
        return literal("false", Value::Type::False, value);
    case 'n':
        return literal("null", Value::Type::Null, value);
    default:
        return number(value);
    }
}

bool JsonScanner::string(Value *value)
{
    if (m_p == m_end || *m_p != '"')
        return false;
    const char *start = ++m_p;
    bool escaped = false;
    for (;;) {
        m_p = plainRun(m_p, m_end);
        if (m_p == m_end)
            return false;
        const uchar c = uchar(*m_p);
        if (c == '"')
            break;
        if (c == '\\') {
            if (m_end - m_p < 2)
                return false;
            switch (m_p[1]) {
            case '"':
            case '\\':
            case '/':
            case 'b':
            case 'f':
            case 'n':
            case 'r':
            case 't':
                break;
            default: // \u, or no escape at all
                return false;
            }
            escaped = true;
            m_p += 2;
        } else if (c >= 0x80) {
            const int length = utf8Sequence(reinterpret_cast<const uchar *>(m_p),
                                            reinterpret_cast<const uchar *>(m_end));
            if (length == 0)
                return false;
            m_p += length;
        } else {
            return false; // a control character
        }
    }
    if (value) {
        value->type = Value::Type::String;
        value->escaped = escaped;
        value->text = QByteArrayView(start, m_p - start);
    }
    ++m_p;
    return true;
}

bool JsonScanner::number(Value *value)
{
    const char *start = m_p;
    const bool negative = *m_p == '-';
    if (negative)
        ++m_p;
    const char *digits = m_p;
    if (m_p == m_end || !isDigit(*m_p))
        return false;
    if (*m_p == '0') {
        ++m_p;
    } else {
        while (m_p != m_end && isDigit(*m_p))
            ++m_p;
    }
    const qsizetype count = m_p - digits;
    if (count > kMaxDigits)
        return false;
    bool fraction = false;
    if (m_p != m_end && *m_p == '.') {
        const char *first = ++m_p;
        while (m_p != m_end && isDigit(*m_p))
            ++m_p;
        if (m_p == first || m_p - start > 2 * kMaxDigits)
            return false;
        fraction = true;
    }
    // An exponent, or what is no number.
    if (m_p != m_end && !isDelimiter(*m_p))
        return false;
    if (value) {
        value->type = fraction ? Value::Type::Fraction : Value::Type::Integer;
        qint64 n = 0;
        for (qsizetype i = 0; i < count; ++i)
            n = n * 10 + (digits[i] - '0');
        value->integer = negative ? -n : n;
    }
    return true;
}

bool JsonScanner::literal(QByteArrayView word, Value::Type type, Value *value)
{
    if (m_end - m_p < word.size() || !sameBytes(m_p, word.data(), word.size()))
        return false;
    m_p += word.size();
    if (m_p != m_end && !isDelimiter(*m_p))
        return false;
    if (value)
        value->type = type;
    return true;
}

bool JsonScanner::array(int depth)
{
    if (depth > kMaxDepth)
        return false;
    ++m_p;
    space();
    if (m_p != m_end && *m_p == ']') {
        ++m_p;
        return true;
    }
    for (;;) {
        if (!value(depth, nullptr))
            return false;
        space();
        if (m_p == m_end)
            return false;
        const char c = *m_p++;
        if (c == ']')
            return true;
        if (c != ',')
            return false;
    }
}

} // namespace vell::record
