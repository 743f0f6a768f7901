#pragma once

#include <QByteArrayView>
#include <QString>

namespace vell::record {

/// Whether the n bytes at a and b are the same: for the short names and words of a record, a
/// loop beats a call to memcmp.
inline bool sameBytes(const char *a, const char *b, qsizetype n)
{
    for (qsizetype i = 0; i < n; ++i) {
        if (a[i] != b[i])
            return false;
    }
    return true;
}

/// A strict JSON scanner over the bytes of one line, for the attempt record's fast reader. It
/// vouches only for text every JSON reader reads alike: strict JSON with strings of regular
/// UTF-8 (no control characters, no \u escapes, no noncharacters) and numbers without an
/// exponent, nested at most kMaxDepth deep. Anything else fails, and the caller reads the line
/// with QJsonDocument instead.
class JsonScanner
{
public:
    static constexpr int kMaxDepth = 32;
    /// Whole numbers of more digits fail: they might not fit.
    static constexpr int kMaxDigits = 18;

    /// A value as scanned: where it lies, and for a whole number its value.
    struct Value
    {
        enum class Type : quint8
        {
            Absent,
            String,
            Integer,
            Fraction, ///< a number with a fraction
            True,
            False,
            Null,
            Object,
            Array,
        };
        Type type = Type::Absent;
        bool escaped = false; ///< a String with escapes
        QByteArrayView text;  ///< a String's bytes inside its quotes; an Object's from { to }
        qint64 integer = 0;

        /// A String's text, its escapes decoded.
        [[nodiscard]] QString string() const;
    };

    explicit JsonScanner(QByteArrayView text) : m_p(text.data()), m_end(text.data() + text.size())
    {
    }

    /// Scans the object at the position (nested depth deep), calling member(key, depth) for
    /// each member with the scanner at its value; member scans it with value(). A key with an
    /// escape fails.
    template <typename Member> bool object(int depth, Member &&member)
    {
        space();
        if (m_p == m_end || *m_p != '{' || depth > kMaxDepth)
            return false;
        ++m_p;
        space();
        if (m_p != m_end && *m_p == '}') {
            ++m_p;
            return true;
        }
        for (;;) {
            space();
            Value key;
            if (!string(&key) || key.escaped || !take(':'))
                return false;
            space();
            if (!member(key.text, depth))
                return false;
            space();
            if (m_p == m_end)
                return false;
            const char c = *m_p++;
            if (c == '}')
                return true;
            if (c != ',')
                return false;
        }
    }
    /// Scans the value at the position into *value (null: only checks it).
    bool value(int depth, Value *value);
    /// Nothing but white space is left.
    [[nodiscard]] bool atEnd()
    {
        space();
        return m_p == m_end;
    }

private:
    bool take(char c)
    {
        space();
        if (m_p == m_end || *m_p != c)
            return false;
        ++m_p;
        return true;
    }
    void space()
    {
        while (m_p != m_end && (*m_p == ' ' || *m_p == '\t' || *m_p == '\n' || *m_p == '\r'))
            ++m_p;
    }
    bool string(Value *value);
    bool number(Value *value);
    bool literal(QByteArrayView word, Value::Type type, Value *value);
    bool array(int depth);

    const char *m_p;
    const char *m_end;
};

} // namespace vell::record
