#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>
#include <vector>

namespace vell::linedb {

/// The line database's address: a libpq connection URI (postgresql://user@host/line?...) or
/// key=value string, checked by libpq's own parser. A password written into it is a secret:
/// every text the tool shows, logs or records about the database goes through mask().
class DatabaseUrl
{
public:
    /// The environment variable that names the database when --database is not given.
    static constexpr const char *kEnvironment = "VELL_DATABASE";

    /// Nothing, with *error (masked), when libpq cannot read text.
    [[nodiscard]] static std::optional<DatabaseUrl> parse(const QString &text, QString *error);

    /// The address as the operator may see it: every password replaced by ***.
    [[nodiscard]] QString shown() const { return m_shown; }
    /// text with the address shown() in place of the address itself, and every password (as
    /// written, or decoded) replaced by ***: the one filter of every message.
    [[nodiscard]] QString mask(QString text) const;
    /// The settings libpq read from it, keyword and value, in libpq's order.
    [[nodiscard]] const std::vector<std::pair<QByteArray, QByteArray>> &options() const
    {
        return m_options;
    }
    /// The value of one of options() (empty when not given).
    [[nodiscard]] QByteArray option(const char *keyword) const;

private:
    QString m_text;
    QString m_shown;
    QStringList m_secrets;
    std::vector<std::pair<QByteArray, QByteArray>> m_options;
};

} // namespace vell::linedb
