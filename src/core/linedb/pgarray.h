#pragma once

#include "record/attemptrecord.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

namespace vell::linedb {

/// A one-dimensional array in PostgreSQL's binary form, as a parameter sent in binary takes it:
/// a header naming the elements' type, then each element as its length and its bytes. The
/// server reads it without parsing text, so a batch's columns cost it next to nothing.
class PgArray
{
public:
    /// The element types a batch uses (the server's fixed type OIDs).
    enum Type : quint32
    {
        Bool = 16,
        Int8 = 20,
        Int4 = 23,
        Text = 25,
        Timestamptz = 1184,
        Jsonb = 3802,
    };
    /// The type a field of that kind is sent as; Object and Value fields are not sent.
    [[nodiscard]] static Type typeOf(record::FieldKind kind);

    explicit PgArray(Type type);

    void appendNull();
    /// value as an element of this array's type (none: null); a Time is ms since the epoch.
    void append(const record::FieldValue &value);
    /// A JSON text as a jsonb element.
    void appendJsonb(QByteArrayView json);

    [[nodiscard]] qsizetype bytes() const { return m_data.size(); }
    /// The array, its length filled in; the array is empty after it.
    [[nodiscard]] QByteArray take();

private:
    void appendInt32(qint32 v);
    void appendInt64(qint64 v);
    void appendElement(QByteArrayView bytes);

    Type m_type;
    QByteArray m_data;
    int m_count = 0;
};

} // namespace vell::linedb
