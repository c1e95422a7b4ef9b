#pragma once
// The TLS key log a pcapng capture file may carry itself, in Decryption Secrets Blocks
// (pcapng, block type 0x0000000A, secrets type 0x544C534B "TLS key log"), as Wireshark's
// editcap --inject-secrets writes them. libpcap reads packets only, so the blocks are
// walked here, every length checked against the file.

#include <QByteArray>
#include <QString>
#include <optional>

namespace quorrel {

struct CaptureSecrets {
    QByteArray keyLog;  // the key log lines of every such block, in file order
    int blocks = 0;     // blocks of TLS key log secrets read
    QString brokenNote; // why the walk stopped early, empty when it reached the end
    bool cut = false;   // the file was cut while it was read: it stopped there
};

// A file that is not pcapng (a pcap file, say) has no secrets: an empty result; nor has a
// pipe. Nothing when the file cannot be read at all, or was cut while it was read (error
// says why: kFileCutWhileRead). The file is read in pieces (capture/file_pieces.h).
std::optional<CaptureSecrets> ReadCaptureSecrets(const QString &path, QString *error = nullptr);

// The same over the bytes of a file.
CaptureSecrets ReadCaptureSecrets(QByteArrayView file);

} // namespace quorrel
