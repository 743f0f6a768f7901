#include "imagehash.h"

#include <zlib.h>

#ifdef VELL_HAVE_OPENSSL
#include <openssl/evp.h>
#else
#include <QCryptographicHash>
#endif

namespace vell::load {

#ifdef VELL_HAVE_OPENSSL
struct ImageHash::Sha256
{
    Sha256() { EVP_DigestInit_ex(context, EVP_sha256(), nullptr); }
    ~Sha256() { EVP_MD_CTX_free(context); }
    void add(QByteArrayView bytes)
    {
        EVP_DigestUpdate(context, bytes.data(), size_t(bytes.size()));
    }
    QByteArray result() const
    {
        // The result of a copy, so the hash can still be fed and read again.
        EVP_MD_CTX *copy = EVP_MD_CTX_new();
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_MD_CTX_copy_ex(copy, context);
        EVP_DigestFinal_ex(copy, digest, &length);
        EVP_MD_CTX_free(copy);
        return QByteArray(reinterpret_cast<const char *>(digest), int(length));
    }
    EVP_MD_CTX *context = EVP_MD_CTX_new();
};
#else
struct ImageHash::Sha256
{
    void add(QByteArrayView bytes) { hash.addData(bytes); }
    QByteArray result() const { return hash.result(); }
    QCryptographicHash hash{QCryptographicHash::Sha256};
};
#endif

ImageHash::ImageHash() : m_sha(std::make_unique<Sha256>()), m_crc(::crc32(0L, Z_NULL, 0)) {}

ImageHash::~ImageHash() = default;

void ImageHash::addData(QByteArrayView bytes)
{
    m_sha->add(bytes);
    m_crc = ::crc32(m_crc, reinterpret_cast<const Bytef *>(bytes.data()), uInt(bytes.size()));
}

QString ImageHash::sha256() const
{
    return QString::fromLatin1(m_sha->result().toHex());
}

QString ImageHash::crc32() const
{
    return QStringLiteral("%1").arg(quint32(m_crc), 8, 16, QLatin1Char('0'));
}

} // namespace vell::load
