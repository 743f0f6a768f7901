#include "databaseurl.h"

#include <QRegularExpression>
#include <QUrl>

#include <libpq-fe.h>

#include <algorithm>

namespace vell::linedb {

namespace {

const QString kHidden = QStringLiteral("***");

struct Masked
{
    QString shown;
    QStringList secrets;
};

/// The secret as written and as libpq reads it.
void addSecret(QStringList &secrets, const QString &written, const QString &decoded)
{
    for (const QString &s : {written, decoded})
        if (!s.isEmpty() && !secrets.contains(s))
            secrets << s;
}

QString percentDecoded(const QString &text)
{
    return QUrl::fromPercentEncoding(text.toUtf8());
}

/// Masks by the form libpq reads: a URI's user info ("user:password@", up to the first '@'
/// before any '/') and its password= parameters; a key=value string's password= value.
Masked maskedForm(const QString &text)
{
    Masked m{text, {}};
    static const QRegularExpression uri(QStringLiteral("^postgres(?:ql)?://"));
    if (const QRegularExpressionMatch start = uri.match(text); start.hasMatch()) {
        const qsizetype from = start.capturedLength();
        qsizetype at = from;
        while (at < text.size() && text.at(at) != u'@' && text.at(at) != u'/')
            ++at;
        if (at < text.size() && text.at(at) == u'@') {
            const qsizetype colon = text.indexOf(u':', from);
            if (colon >= 0 && colon < at) {
                const QString written = text.mid(colon + 1, at - colon - 1);
                addSecret(m.secrets, written, percentDecoded(written));
                m.shown = text.left(colon + 1) + kHidden + text.mid(at);
            }
        }
        const qsizetype query = m.shown.indexOf(u'?', from);
        if (query >= 0) {
            QStringList params = m.shown.mid(query + 1).split(u'&');
            for (QString &p : params) {
                const qsizetype eq = p.indexOf(u'=');
                if (eq < 0 || percentDecoded(p.left(eq)) != QLatin1String("password"))
                    continue;
                const QString written = p.mid(eq + 1);
                addSecret(m.secrets, written, percentDecoded(written));
                p = p.left(eq + 1) + kHidden;
            }
            m.shown = m.shown.left(query + 1) + params.join(u'&');
        }
        return m;
    }
    static const QRegularExpression pair(
        QStringLiteral("(^|\\s)(password\\s*=\\s*)('(?:[^'\\\\]|\\\\.)*'|\\S*)"));
    QString shown;
    qsizetype done = 0;
    for (auto it = pair.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        QString value = match.captured(3);
        const QString written = value;
        if (value.startsWith(u'\'')) {
            value = value.mid(1, value.size() - 2);
            value.replace(QRegularExpression(QStringLiteral("\\\\(.)")), QStringLiteral("\\1"));
        }
        addSecret(m.secrets, written, value);
        shown += text.mid(done, match.capturedStart(3) - done) + kHidden;
        done = match.capturedEnd(3);
    }
    m.shown = shown + text.mid(done);
    return m;
}

} // namespace

std::optional<DatabaseUrl> DatabaseUrl::parse(const QString &text, QString *error)
{
    DatabaseUrl url;
    url.m_text = text;
    const Masked form = maskedForm(text);
    url.m_shown = form.shown;
    url.m_secrets = form.secrets;
    char *message = nullptr;
    PQconninfoOption *options = PQconninfoParse(text.toUtf8().constData(), &message);
    if (!options) {
        if (error)
            *error = url.mask(message ? QString::fromUtf8(message).trimmed()
                                      : QStringLiteral("out of memory"));
        PQfreemem(message);
        return std::nullopt;
    }
    for (const PQconninfoOption *o = options; o->keyword; ++o) {
        if (!o->val)
            continue;
        url.m_options.emplace_back(QByteArray(o->keyword), QByteArray(o->val));
        if (qstrcmp(o->keyword, "password") == 0)
            addSecret(url.m_secrets, QString::fromUtf8(o->val), QString());
    }
    PQconninfoFree(options);
    // The longest first, so no part of one is left beside its mask.
    std::sort(url.m_secrets.begin(), url.m_secrets.end(),
              [](const QString &a, const QString &b) { return a.size() > b.size(); });
    for (const QString &secret : std::as_const(url.m_secrets))
        url.m_shown.replace(secret, kHidden);
    return url;
}

QByteArray DatabaseUrl::option(const char *keyword) const
{
    for (const auto &[key, value] : m_options)
        if (key == keyword)
            return value;
    return {};
}

QString DatabaseUrl::mask(QString text) const
{
    if (!m_text.isEmpty())
        text.replace(m_text, m_shown);
    for (const QString &secret : m_secrets)
        text.replace(secret, kHidden);
    return text;
}

} // namespace vell::linedb
