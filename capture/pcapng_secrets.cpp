#include "capture/pcapng_secrets.h"

#include "capture/file_pieces.h"

#include <QFileInfo>
#include <cstdint>
#include <memory>

namespace quorrel {

namespace {

constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr std::uint32_t kDecryptionSecrets = 0x0000000A;
constexpr std::uint32_t kTlsKeyLog = 0x544C534B;
// A key log of a million sessions is well under this; a larger claim is damage.
constexpr qsizetype kMaxSecrets = 64 * 1024 * 1024;

// The walk over a file's blocks, every length checked against the file. bytes(at, n)
// gives the n bytes at offset at, or nullptr when the file no longer holds them (it was
// cut while it was read: the walk ends there, and the caller says so).
template <typename Bytes>
CaptureSecrets walkBlocks(qint64 size, Bytes &&bytes)
{
    CaptureSecrets result;
    bool bigEndian = false;
    bool gone = false;
    const auto read32 = [&](qint64 at, bool big) -> std::uint32_t {
        const char *p = gone ? nullptr : bytes(at, 4);
        if (!p) {
            gone = true;
            return 0;
        }
        const auto b = [p](int i) { return std::uint32_t(std::uint8_t(p[i])); };
        return big ? b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3) : b(3) << 24 | b(2) << 16 | b(1) << 8 | b(0);
    };
    if (size < 12 || read32(0, false) != kSectionHeader)
        return result; // not pcapng: the block type reads the same in either byte order
    qint64 at = 0;
    while (at < size && !gone) {
        if (size - at < 12) {
            result.brokenNote = QStringLiteral("a block breaks off at byte %1").arg(at);
            break;
        }
        const std::uint32_t type = read32(at, bigEndian);
        if (type == kSectionHeader) {
            // Each section says its own byte order.
            if (read32(at + 8, false) == kByteOrderMagic)
                bigEndian = false;
            else if (read32(at + 8, true) == kByteOrderMagic)
                bigEndian = true;
            else {
                result.brokenNote = QStringLiteral("a section header at byte %1 names no byte order").arg(at);
                break;
            }
        }
        const std::uint32_t length = read32(at + 4, bigEndian);
        if (length < 12 || length % 4 != 0 || length > std::uint64_t(size - at) || read32(at + length - 4, bigEndian) != length) {
            if (!gone)
                result.brokenNote = QStringLiteral("a block at byte %1 has a bad length").arg(at);
            break;
        }
        if (type == kDecryptionSecrets && length >= 20) {
            const std::uint32_t secretsType = read32(at + 8, bigEndian);
            const std::uint32_t secretsLength = read32(at + 12, bigEndian);
            if (secretsLength > length - 20) {
                result.brokenNote = QStringLiteral("secrets at byte %1 run past their block").arg(at);
                break;
            }
            if (secretsType == kTlsKeyLog && !gone) {
                if (result.keyLog.size() + qsizetype(secretsLength) + 1 > kMaxSecrets) {
                    result.brokenNote = QStringLiteral("more secrets than a key log holds");
                    break;
                }
                const char *secrets = bytes(at + 16, qsizetype(secretsLength));
                if (!secrets) {
                    gone = true;
                    break;
                }
                result.keyLog += QByteArrayView(secrets, qsizetype(secretsLength));
                // Blocks are key log text each; a block need not end its last line.
                if (!result.keyLog.endsWith('\n'))
                    result.keyLog += '\n';
                ++result.blocks;
            }
        }
        at += length;
    }
    result.cut = gone;
    return result;
}

} // namespace

CaptureSecrets ReadCaptureSecrets(QByteArrayView file)
{
    return walkBlocks(file.size(), [&file](qint64 at, qsizetype) { return file.data() + at; });
}

std::optional<CaptureSecrets> ReadCaptureSecrets(const QString &path, QString *error)
{
    QString why;
    std::unique_ptr<FilePieces> file = FilePieces::open(path, why);
    if (!file) {
        // A pipe or a device is read by libpcap alone: reading it here would take its bytes.
        if (QFileInfo(path).exists() && !QFileInfo(path).isFile())
            return CaptureSecrets();
        if (error)
            *error = why;
        return std::nullopt;
    }
    CaptureSecrets result = walkBlocks(file->size(), [&file](qint64 at, qsizetype n) { return file->bytes(at, n); });
    if (result.cut) {
        if (error)
            *error = kFileCutWhileRead;
        return std::nullopt;
    }
    return result;
}

} // namespace quorrel
