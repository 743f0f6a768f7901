#include "boardserial.h"

#include "texts.h"

namespace vell::model {

bool BoardRules::setPattern(const QString &pattern, QString *error)
{
    QRegularExpression expression(QRegularExpression::anchoredPattern(pattern));
    if (!expression.isValid()) {
        if (error)
            *error = expression.errorString();
        return false;
    }
    m_patternText = pattern;
    m_pattern = expression;
    return true;
}

BoardProblem BoardRules::check(const QString &text) const
{
    // The Tab first: it says what to change on the scanner.
    if (text.endsWith(u'\t'))
        return BoardProblem::TabInsteadOfEnter;
    if (text.isEmpty())
        return BoardProblem::Empty;
    qsizetype characters = 0;
    for (const char32_t c : text.toUcs4()) {
        if (!QChar::isPrint(c))
            return BoardProblem::NotPrintable;
        ++characters;
    }
    if (characters > kMaxLength)
        return BoardProblem::TooLong;
    if (!m_patternText.isEmpty() && !m_pattern.match(text).hasMatch())
        return BoardProblem::NoMatch;
    return BoardProblem::None;
}

QString BoardRules::reason(const QString &text) const
{
    switch (check(text)) {
    case BoardProblem::None:
        break;
    case BoardProblem::Empty:
        return texts::kSerialEmpty;
    case BoardProblem::TabInsteadOfEnter:
        return texts::kSerialEndsWithTab;
    case BoardProblem::NotPrintable:
        return texts::kSerialNotPrintable;
    case BoardProblem::TooLong:
        return texts::serialTooLong(int(text.toUcs4().size()), kMaxLength);
    case BoardProblem::NoMatch:
        return texts::serialNoMatch(m_patternText);
    }
    return {};
}

} // namespace vell::model
