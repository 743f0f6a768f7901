#include "pgarray.h"

#include <QtEndian>

#include <variant>

namespace vell::linedb {

namespace {

constexpr qsizetype kHeaderBytes = 5 * 4;
/// The array's length in the header: after the dimensions, the element type and the flags.
constexpr qsizetype kLengthAt = 3 * 4;
/// The server's times count µs from 2000-01-01T00:00:00Z.
constexpr qint64 kServerEpochMs = 946684800000;
constexpr char kJsonbVersion = 1;

} // namespace

PgArray::Type PgArray::typeOf(record::FieldKind kind)
{
    switch (kind) {
    case record::FieldKind::Time:
        return Timestamptz;
    case record::FieldKind::Integer:
        return Int4;
    case record::FieldKind::BigInteger:
        return Int8;
    case record::FieldKind::Flag:
        return Bool;
    case record::FieldKind::Object:
    case record::FieldKind::Value:
        return Jsonb;
    case record::FieldKind::Text:
        break;
    }
    return Text;
}

PgArray::PgArray(Type type) : m_type(type)
{
    // One dimension, no flags, the element type, then the length and the first index (1).
    m_data.reserve(kHeaderBytes);
    appendInt32(1);
    appendInt32(0);
    appendInt32(qint32(type));
    appendInt32(0);
    appendInt32(1);
}

void PgArray::appendInt32(qint32 v)
{
    char bytes[4];
    qToBigEndian(v, bytes);
    m_data.append(bytes, 4);
}

void PgArray::appendInt64(qint64 v)
{
    char bytes[8];
    qToBigEndian(v, bytes);
    m_data.append(bytes, 8);
}

void PgArray::appendElement(QByteArrayView bytes)
{
    appendInt32(qint32(bytes.size()));
    m_data.append(bytes.data(), bytes.size());
    ++m_count;
}

void PgArray::appendNull()
{
    appendInt32(-1);
    ++m_count;
}

void PgArray::append(const record::FieldValue &value)
{
    if (std::holds_alternative<std::monostate>(value)) {
        appendNull();
        return;
    }
    switch (m_type) {
    case Bool: {
        const char b = std::get<bool>(value) ? 1 : 0;
        appendElement(QByteArrayView(&b, 1));
        return;
    }
    case Int4:
        appendInt32(4);
        appendInt32(qint32(std::get<qint64>(value)));
        break;
    case Int8:
        appendInt32(8);
        appendInt64(std::get<qint64>(value));
        break;
    case Timestamptz:
        appendInt32(8);
        appendInt64((std::get<qint64>(value) - kServerEpochMs) * 1000);
        break;
    case Text:
        appendElement(std::get<QString>(value).toUtf8());
        return;
    case Jsonb:
        appendJsonb(std::get<QString>(value).toUtf8());
        return;
    }
    ++m_count;
}

void PgArray::appendJsonb(QByteArrayView json)
{
    appendInt32(qint32(json.size() + 1));
    m_data.append(kJsonbVersion);
    m_data.append(json.data(), json.size());
    ++m_count;
}

QByteArray PgArray::take()
{
    char length[4];
    qToBigEndian(qint32(m_count), length);
    m_data.replace(kLengthAt, 4, length, 4);
    QByteArray made = std::move(m_data);
    *this = PgArray(m_type);
    return made;
}

} // namespace vell::linedb
