#pragma once

#include <QByteArrayView>
#include <QString>

#include <memory>

namespace vell::load {

/// The SHA-256 and CRC-32 of a program file, fed in pieces as it is read. SHA-256 comes from
/// OpenSSL's libcrypto where the build has it (it uses the processor's SHA instructions, some
/// fifty times faster than Qt 6.4's own), else from QCryptographicHash.
class ImageHash
{
public:
    ImageHash();
    ~ImageHash();
    ImageHash(const ImageHash &) = delete;
    ImageHash &operator=(const ImageHash &) = delete;

    void addData(QByteArrayView bytes);
    /// Lower-case hex.
    [[nodiscard]] QString sha256() const;
    /// 8 lower-case hex digits.
    [[nodiscard]] QString crc32() const;

private:
    struct Sha256;
    std::unique_ptr<Sha256> m_sha;
    unsigned long m_crc;
};

} // namespace vell::load
