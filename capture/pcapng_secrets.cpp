#include "capture/pcapng_secrets.h"

#include <QFile>
#include <cstdint>

namespace quorrel {

namespace {

constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr std::uint32_t kDecryptionSecrets = 0x0000000A;
constexpr std::uint32_t kTlsKeyLog = 0x544C534B;
// A key log of a million sessions is well under this; a larger claim is damage.
constexpr qsizetype kMaxSecrets = 64 * 1024 * 1024;

std::uint32_t read32(QByteArrayView bytes, qsizetype at, bool bigEndian)
{
    const auto b = [&](int i) { return std::uint32_t(std::uint8_t(bytes[at + i])); };
    return bigEndian ? b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3) : b(3) << 24 | b(2) << 16 | b(1) << 8 | b(0);
}

} // namespace

CaptureSecrets ReadCaptureSecrets(QByteArrayView file)
{
    CaptureSecrets result;
    if (file.size() < 12 || read32(file, 0, false) != kSectionHeader)
        return result; // not pcapng: the block type reads the same in either byte order
    bool bigEndian = false;
    qsizetype at = 0;
    while (at < file.size()) {
        if (file.size() - at < 12) {
            result.brokenNote = QStringLiteral("a block breaks off at byte %1").arg(at);
            break;
        }
        const std::uint32_t type = read32(file, at, bigEndian);
        if (type == kSectionHeader) {
            // Each section says its own byte order.
            const std::uint32_t magic = read32(file, at + 8, false);
            if (magic == kByteOrderMagic)
                bigEndian = false;
            else if (read32(file, at + 8, true) == kByteOrderMagic)
                bigEndian = true;
            else {
                result.brokenNote = QStringLiteral("a section header at byte %1 names no byte order").arg(at);
                break;
            }
        }
        const std::uint32_t length = read32(file, at + 4, bigEndian);
        if (length < 12 || length % 4 != 0 || length > std::uint64_t(file.size() - at)
            || read32(file, at + length - 4, bigEndian) != length) {
            result.brokenNote = QStringLiteral("a block at byte %1 has a bad length").arg(at);
            break;
        }
        if (type == kDecryptionSecrets && length >= 20) {
            const std::uint32_t secretsType = read32(file, at + 8, bigEndian);
            const std::uint32_t secretsLength = read32(file, at + 12, bigEndian);
            if (secretsLength > length - 20) {
                result.brokenNote = QStringLiteral("secrets at byte %1 run past their block").arg(at);
                break;
            }
            if (secretsType == kTlsKeyLog) {
                if (result.keyLog.size() + qsizetype(secretsLength) + 1 > kMaxSecrets) {
                    result.brokenNote = QStringLiteral("more secrets than a key log holds");
                    break;
                }
                result.keyLog += file.sliced(at + 16, secretsLength);
                // Blocks are key log text each; a block need not end its last line.
                if (!result.keyLog.endsWith('\n'))
                    result.keyLog += '\n';
                ++result.blocks;
            }
        }
        at += length;
    }
    return result;
}

std::optional<CaptureSecrets> ReadCaptureSecrets(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = file.errorString();
        return std::nullopt;
    }
    const qint64 size = file.size();
    uchar *map = size > 0 ? file.map(0, size) : nullptr;
    if (size > 0 && !map) {
        if (error)
            *error = file.errorString();
        return std::nullopt;
    }
    CaptureSecrets result = ReadCaptureSecrets(QByteArrayView(reinterpret_cast<const char *>(map), qsizetype(size)));
    if (map)
        file.unmap(map);
    return result;
}

} // namespace quorrel
