// Reading TLS with the browser's key log: the key log format and its file, the known
// answers of RFC 8448, and connections made by OpenSSL itself in memory (every suite we
// read, key updates, a HelloRetryRequest), fed whole and byte by byte; secrets that come
// late or never, tampered and oversize records, streams that are no TLS.

#include "streams/key_log.h"
#include "streams/tls_hello.h"
#include "streams/tls_keys.h"
#include "streams/tls_session.h"
#include "tests/test_files.h"
#include "tests/tls_pair.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using namespace quorrel;
using namespace quorrel::streams;

Q_DECLARE_METATYPE(TlsSession::State)
Q_DECLARE_METATYPE(TlsSession::EndCause)

namespace {

QByteArray bytesOf(Bytes view)
{
    return QByteArray(reinterpret_cast<const char *>(view.data()), qsizetype(view.size()));
}

QByteArray hex(const char *text) { return QByteArray::fromHex(QByteArray(text)); }

ClientRandom randomOf(const QByteArray &bytes)
{
    ClientRandom random{};
    std::memcpy(random.data(), bytes.constData(), std::min<std::size_t>(random.size(), std::size_t(bytes.size())));
    return random;
}

// The client random of the ClientHello at the start of a client's stream.
ClientRandom clientRandomOf(const QByteArray &clientStream) { return randomOf(clientStream.mid(11, 32)); }

// "[name]" blocks of hex, as the RFC prints it.
QMap<QString, QByteArray> readHexBlocks(const QString &path)
{
    QMap<QString, QByteArray> blocks;
    QString name;
    const QList<QByteArray> lines = test::readFile(path).split('\n');
    for (const QByteArray &raw : lines) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('#') || line.isEmpty())
            continue;
        if (line.startsWith('[') && line.endsWith(']'))
            name = QString::fromLatin1(line.mid(1, line.size() - 2));
        else
            blocks[name] += QByteArray::fromHex(line);
    }
    return blocks;
}

// Where each record of a stream starts.
QList<qsizetype> recordOffsets(const QByteArray &stream)
{
    QList<qsizetype> offsets;
    qsizetype at = 0;
    while (at + 5 <= stream.size()) {
        offsets << at;
        at += 5 + (qsizetype(quint8(stream[at + 3])) << 8 | quint8(stream[at + 4]));
    }
    return offsets;
}

// The key log lines whose label is one of these.
QByteArray linesLabelled(const QByteArray &lines, const QList<QByteArray> &labels)
{
    QByteArray kept;
    for (const QByteArray &line : lines.split('\n')) {
        for (const QByteArray &label : labels) {
            if (line.startsWith(label + ' '))
                kept += line + '\n';
        }
    }
    return kept;
}

// Feeds a session both directions and collects what it hands on.
struct Reading {
    explicit Reading(KeyLog &keys) : session(keys)
    {
        session.onApplicationData = [this](Bytes bytes) { data += bytesOf(bytes); };
    }

    void feed(const QByteArray &clientBytes, const QByteArray &serverBytes, qsizetype chunk = 0,
              bool serverFirst = false, std::int64_t nowMs = 1000)
    {
        auto feedIn = [&](const QByteArray &bytes, bool client) {
            const qsizetype step = chunk > 0 ? chunk : std::max<qsizetype>(bytes.size(), 1);
            for (qsizetype at = 0; at < bytes.size(); at += step) {
                const Bytes part = viewOf(bytes).subspan(std::size_t(at), std::size_t(std::min(step, bytes.size() - at)));
                client ? session.feedClient(part, nowMs) : session.feedServer(part, nowMs);
            }
        };
        if (serverFirst)
            feedIn(serverBytes, false);
        feedIn(clientBytes, true);
        if (!serverFirst)
            feedIn(serverBytes, false);
    }

    TlsSession session;
    QByteArray data;
};

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

// A ServerHello of that version and suite (hex), without extensions (as TLS 1.2 and
// older send it).
QByteArray serverHello12(const char *version, const char *suite)
{
    const QByteArray body = hex(version) + QByteArray(32, '\x42') + hex("00") + hex(suite) + hex("00");
    const QByteArray message = hex("02") + char(0) + char(0) + char(body.size()) + body;
    return hex("160303") + char(0) + char(message.size()) + message;
}

const QByteArray kRandomHex = "cb34ecb1e78163ba1c38c6dacb196a6dffa21a8d9912ec18a2ef6283024dece7";
const QByteArray kSecret48 = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff0011223344556677889900aabbccddee";
const QByteArray kSecret32 = "a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7b8b9babbbcbdbebf";

} // namespace

class TestTls : public QObject {
    Q_OBJECT

private slots:
    // --- the key log format
    void keyLogLines_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("slot"); // which secret the line fills; empty: none
        QTest::addColumn<QByteArray>("secret");
        QTest::addColumn<int>("added");
        QTest::addColumn<int>("malformed");
        QTest::addColumn<int>("ignored");
        QTest::addColumn<bool>("ended"); // endText() after the text: nothing more comes

        const QByteArray r = kRandomHex;
        QTest::newRow("CLIENT_RANDOM") << "CLIENT_RANDOM " + r + " " + kSecret48 + "\n" << "master" << kSecret48 << 1 << 0 << 0 << false;
        QTest::newRow("uppercase hex") << "CLIENT_RANDOM " + r.toUpper() + " " + kSecret48.toUpper() + "\n" << "master" << kSecret48 << 1 << 0 << 0 << false;
        QTest::newRow("CRLF") << "CLIENT_RANDOM " + r + " " + kSecret48 + "\r\n" << "master" << kSecret48 << 1 << 0 << 0 << false;
        QTest::newRow("tabs between fields") << "CLIENT_RANDOM\t" + r + "\t" + kSecret48 + "\n" << "master" << kSecret48 << 1 << 0 << 0 << false;
        QTest::newRow("comments and blank lines")
            << "# SSL/TLS secrets log file, generated by NSS\n\n   \r\n#CLIENT_RANDOM " + r + " " + kSecret48 + "\nCLIENT_RANDOM " + r + " " + kSecret48 + "\n"
            << "master" << kSecret48 << 1 << 0 << 0 << false;
        QTest::newRow("handshake secret, 32 bytes") << "CLIENT_HANDSHAKE_TRAFFIC_SECRET " + r + " " + kSecret32 + "\n" << "handshake" << kSecret32 << 1 << 0 << 0 << false;
        QTest::newRow("traffic secret, 48 bytes") << "CLIENT_TRAFFIC_SECRET_0 " + r + " " + kSecret48 + "\n" << "traffic0" << kSecret48 << 1 << 0 << 0 << false;
        QTest::newRow("the same line twice") << "CLIENT_RANDOM " + r + " " + kSecret48 + "\nCLIENT_RANDOM " + r + " " + kSecret48 + "\n" << "master" << kSecret48 << 1 << 0 << 0 << false;
        QTest::newRow("no newline yet") << "CLIENT_RANDOM " + r + " " + kSecret48 << "" << QByteArray() << 0 << 0 << 0 << false;
        QTest::newRow("random one digit short") << "CLIENT_RANDOM " + r.left(63) + " " + kSecret48 + "\n" << "" << QByteArray() << 0 << 1 << 0 << false;
        QTest::newRow("random one byte long") << "CLIENT_RANDOM " + r + "00 " + kSecret48 + "\n" << "" << QByteArray() << 0 << 1 << 0 << false;
        QTest::newRow("master secret of 47 bytes") << "CLIENT_RANDOM " + r + " " + kSecret48.left(94) + "\n" << "" << QByteArray() << 0 << 1 << 0 << false;
        QTest::newRow("master secret of 32 bytes") << "CLIENT_RANDOM " + r + " " + kSecret32 + "\n" << "" << QByteArray() << 0 << 1 << 0 << false;
        QTest::newRow("TLS 1.3 secret of 40 bytes") << "CLIENT_TRAFFIC_SECRET_0 " + r + " " + kSecret48.left(80) + "\n" << "" << QByteArray() << 0 << 1 << 0 << false;
        QTest::newRow("odd number of digits") << "CLIENT_HANDSHAKE_TRAFFIC_SECRET " + r + " " + kSecret32 + "0\n" << "" << QByteArray() << 0 << 1 << 0 << false;
        QTest::newRow("not hex") << "CLIENT_RANDOM " + r + " " + kSecret48.left(95) + "g\n" << "" << QByteArray() << 0 << 1 << 0 << false;
        QTest::newRow("no secret") << "CLIENT_RANDOM " + r + "\n" << "" << QByteArray() << 0 << 1 << 0 << false;
        QTest::newRow("a field too many") << "CLIENT_RANDOM " + r + " " + kSecret48 + " 00\n" << "" << QByteArray() << 0 << 1 << 0 << false;
        QTest::newRow("label in lower case") << "client_random " + r + " " + kSecret48 + "\n" << "" << QByteArray() << 0 << 1 << 0 << false;
        QTest::newRow("early traffic secret, 32 bytes") << "CLIENT_EARLY_TRAFFIC_SECRET " + r + " " + kSecret32 + "\n" << "early" << kSecret32 << 1 << 0 << 0 << false;
        QTest::newRow("early traffic secret of 40 bytes") << "CLIENT_EARLY_TRAFFIC_SECRET " + r + " " + kSecret48.left(80) + "\n" << "" << QByteArray() << 0 << 1 << 0 << false;
        // The server's traffic secret opens a QUIC server's first packets (its SETTINGS).
        QTest::newRow("server traffic secret") << "SERVER_TRAFFIC_SECRET_0 " + r + " " + kSecret32 + "\n" << "server" << kSecret32 << 1 << 0 << 0 << false;
        QTest::newRow("labels we do not use")
            << "SERVER_HANDSHAKE_TRAFFIC_SECRET " + r + " " + kSecret32 + "\nEXPORTER_SECRET " + r + " " + kSecret32
                   + "\nEARLY_EXPORTER_SECRET " + r + " " + kSecret32 + "\nRSA 0011223344556677 " + kSecret48 + "\n"
            << "" << QByteArray() << 0 << 0 << 4 << false;
        QTest::newRow("a line over the cap, then a good one")
            << "CLIENT_RANDOM " + r + " " + QByteArray(5000, 'a') + "\nCLIENT_RANDOM " + r + " " + kSecret48 + "\n"
            << "master" << kSecret48 << 1 << 1 << 0 << false;
        QTest::newRow("a line over the cap without its end") << "CLIENT_RANDOM " + r + " " + QByteArray(5000, 'a') << "" << QByteArray() << 0 << 1 << 0 << false;
        // A key log that ends without a line end (a writer that stops without one): the text
        // that has ended takes its last line.
        QTest::newRow("the text ended without a newline") << "CLIENT_RANDOM " + r + " " + kSecret48 << "master" << kSecret48 << 1 << 0 << 0 << true;
        QTest::newRow("the text ended with CR alone") << "# k\nCLIENT_RANDOM " + r + " " + kSecret48 + "\r" << "master" << kSecret48 << 1 << 0 << 0 << true;
        QTest::newRow("the text ended with a newline") << "CLIENT_RANDOM " + r + " " + kSecret48 + "\n" << "master" << kSecret48 << 1 << 0 << 0 << true;
        QTest::newRow("the text ended inside a line") << "CLIENT_RANDOM " + r + " " + kSecret48.left(50) << "" << QByteArray() << 0 << 1 << 0 << true;
        QTest::newRow("the text ended inside a line over the cap") << "CLIENT_RANDOM " + r + " " + QByteArray(5000, 'a') << "" << QByteArray() << 0 << 1 << 0 << true;
    }

    void keyLogLines()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, slot);
        QFETCH(QByteArray, secret);
        QFETCH(int, added);
        QFETCH(int, malformed);
        QFETCH(int, ignored);
        QFETCH(bool, ended);

        auto check = [&](KeyLog &keys) {
            if (ended)
                keys.endText();
            const KeyLog::Secrets *found = keys.find(randomOf(QByteArray::fromHex(kRandomHex)));
            QCOMPARE(found != nullptr, !slot.isEmpty());
            if (found) {
                const QByteArray got = slot == "master" ? found->masterSecret
                    : slot == "early"                 ? found->clientEarlyTrafficSecret
                    : slot == "handshake"             ? found->clientHandshakeTrafficSecret
                    : slot == "server"                ? found->serverTrafficSecret0
                                                      : found->clientTrafficSecret0;
                QCOMPARE(got, QByteArray::fromHex(secret));
            }
            QCOMPARE(keys.generation(), std::uint64_t(added));
            QCOMPARE(keys.stats().secretsAdded, std::uint64_t(added));
            QCOMPARE(keys.stats().malformedLines, std::uint64_t(malformed));
            QCOMPARE(keys.stats().ignoredLines, std::uint64_t(ignored));
        };

        KeyLog whole;
        whole.addText(text);
        check(whole);
        if (QTest::currentTestFailed())
            return;

        // The same text cut in two anywhere reads the same.
        for (qsizetype cut = 1; cut < text.size(); ++cut) {
            KeyLog split;
            split.addText(QByteArrayView(text).first(cut));
            split.addText(QByteArrayView(text).sliced(cut));
            check(split);
            if (QTest::currentTestFailed()) {
                qWarning() << "cut at" << cut;
                return;
            }
        }
    }

    void keyLogKeepsABoundedNumberOfSessions()
    {
        KeyLog keys;
        keys.setLimits(2, KeyLog::kDefaultMaxLineBytes);
        const QList<QByteArray> randoms = {QByteArray(64, '1'), QByteArray(64, '2'), QByteArray(64, '3')};
        for (const QByteArray &r : randoms)
            keys.addText("CLIENT_RANDOM " + r + " " + kSecret48 + "\n");
        QCOMPARE(keys.size(), std::size_t(2));
        QVERIFY(!keys.find(randomOf(QByteArray::fromHex(randoms[0]))));
        QVERIFY(keys.find(randomOf(QByteArray::fromHex(randoms[1]))));
        QVERIFY(keys.find(randomOf(QByteArray::fromHex(randoms[2]))));
        QCOMPARE(keys.stats().evictedSessions, std::uint64_t(1));
    }

    void keyLogForgets()
    {
        KeyLog keys;
        const ClientRandom random = randomOf(QByteArray::fromHex(kRandomHex));
        keys.addText("CLIENT_HANDSHAKE_TRAFFIC_SECRET " + kRandomHex + " " + kSecret32 + "\nCLIENT_TRAFFIC_SECRET_0 "
                     + kRandomHex + " " + kSecret32 + "\n");
        QVERIFY(keys.find(random));
        keys.forget(random);
        QVERIFY(!keys.find(random));
        QCOMPARE(keys.size(), std::size_t(0));
        QCOMPARE(keys.stats().forgottenSessions, std::uint64_t(1));
        keys.forget(random); // twice is harmless
        QCOMPARE(keys.stats().forgottenSessions, std::uint64_t(1));
    }

    // --- the key log file

    void keyLogFollowsAGrowingFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("keys-%1.log").arg(QCoreApplication::applicationPid()));
        const QByteArray line1 = "CLIENT_RANDOM " + QByteArray(64, '1') + " " + kSecret48 + "\n";
        const QByteArray line2 = "CLIENT_RANDOM " + QByteArray(64, '2') + " " + kSecret48 + "\n";
        test::writeFile(path, line1 + line2.left(30));
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);

        KeyLog keys;
        QString error;
        QVERIFY2(keys.follow(path, &error), qPrintable(error));
        QCOMPARE(keys.size(), std::size_t(1));
        QCOMPARE(keys.generation(), std::uint64_t(1));

        keys.poll(); // nothing new
        QCOMPARE(keys.generation(), std::uint64_t(1));

        QFile file(path);
        QVERIFY(file.open(QIODevice::Append));
        file.write(line2.mid(30, 40));
        file.flush();
        keys.poll(); // still part of a line
        QCOMPARE(keys.size(), std::size_t(1));
        file.write(line2.mid(70));
        file.close();
        keys.poll();
        QCOMPARE(keys.size(), std::size_t(2));
        QVERIFY(keys.find(randomOf(QByteArray::fromHex(QByteArray(64, '2')))));
        QCOMPARE(keys.stats().malformedLines, std::uint64_t(0));
        QVERIFY(keys.takeWarning().isEmpty());
    }

    // A big file is read a few MiB at a time; poll() until caughtUp() reads it all.
    void keyLogReadsABigFileInParts()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("keys-%1.log").arg(QCoreApplication::applicationPid()));
        QByteArray text;
        while (text.size() < 9 * 1024 * 1024)
            text += "# " + QByteArray(1000, 'c') + "\n";
        text += "CLIENT_RANDOM " + kRandomHex + " " + kSecret48 + "\n";
        test::writeFile(path, text);
        KeyLog keys;
        QVERIFY(keys.follow(path));
        int polls = 0;
        while (!keys.caughtUp() && polls < 10) {
            QVERIFY(!keys.find(randomOf(QByteArray::fromHex(kRandomHex))));
            keys.poll();
            ++polls;
        }
        QVERIFY(polls >= 2);
        QVERIFY(keys.caughtUp());
        QVERIFY(keys.find(randomOf(QByteArray::fromHex(kRandomHex))));
        QCOMPARE(keys.stats().malformedLines, std::uint64_t(0));
    }

    void keyLogFileReplaced_data()
    {
        QTest::addColumn<bool>("renamedOver"); // else truncated and written anew
        QTest::newRow("a new file renamed over it") << true;
        QTest::newRow("truncated and written anew") << false;
    }

    void keyLogFileReplaced()
    {
        QFETCH(bool, renamedOver);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("keys-%1.log").arg(QCoreApplication::applicationPid()));
        const QByteArray first = "CLIENT_RANDOM " + QByteArray(64, '1') + " " + kSecret48 + "\n"
            + "CLIENT_RANDOM " + QByteArray(64, '4') + " " + kSecret48 + "\n";
        const QByteArray second = "CLIENT_RANDOM " + QByteArray(64, '2') + " " + kSecret48 + "\n";
        test::writeFile(path, first);

        KeyLog keys;
        QVERIFY(keys.follow(path));
        QCOMPARE(keys.size(), std::size_t(2));
        if (renamedOver) {
            test::writeFile(path + ".new", second);
            QVERIFY(::rename(QFile::encodeName(path + ".new").constData(), QFile::encodeName(path).constData()) == 0);
        } else {
            test::writeFile(path, second); // shorter than what was read
        }
        keys.poll();
        QVERIFY(keys.find(randomOf(QByteArray::fromHex(QByteArray(64, '2')))));
        QCOMPARE(keys.stats().malformedLines, std::uint64_t(0));

        // And it is followed on from there.
        QFile file(path);
        QVERIFY(file.open(QIODevice::Append));
        file.write("CLIENT_RANDOM " + QByteArray(64, '3') + " " + kSecret48 + "\n");
        file.close();
        keys.poll();
        QVERIFY(keys.find(randomOf(QByteArray::fromHex(QByteArray(64, '3')))));
    }

    void keyLogWarnsWhenOthersCanRead_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("warns");
        QTest::newRow("0600") << 0600 << false;
        QTest::newRow("0400") << 0400 << false;
        QTest::newRow("0640") << 0640 << true;
        QTest::newRow("0644") << 0644 << true;
        QTest::newRow("0604") << 0604 << true;
    }

    void keyLogWarnsWhenOthersCanRead()
    {
        QFETCH(int, mode);
        QFETCH(bool, warns);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("keys-%1.log").arg(QCoreApplication::applicationPid()));
        test::writeFile(path, "# keys\n");
        QVERIFY(::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0);
        KeyLog keys;
        QVERIFY(keys.follow(path));
        keys.poll();
        QCOMPARE(keys.takeWarning(), warns ? QStringLiteral("TLS密钥日志文件可被其他用户读取：") + path : QString());
        keys.poll();
        QVERIFY(keys.takeWarning().isEmpty()); // once
    }

    void keyLogFileThatComesLater()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("keys-%1.log").arg(QCoreApplication::applicationPid()));
        KeyLog keys;
        QString error;
        QVERIFY(!keys.follow(path, &error));
        QVERIFY(!error.isEmpty());
        keys.poll();
        QCOMPARE(keys.size(), std::size_t(0));
        test::writeFile(path, "CLIENT_RANDOM " + kRandomHex + " " + kSecret48 + "\n");
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
        keys.poll();
        QVERIFY(keys.find(randomOf(QByteArray::fromHex(kRandomHex))));
    }

    // Whoever can write the key log can make the program decrypt with secrets of their
    // choosing, or fill its memory: a file of the user's own that nobody else can write, or
    // a link to one, is read; anything else is refused, with the reason, by read() and
    // follow() alike, and said once in the log's words.
    void keyLogFileRefused_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("foreign"); // belongs to another user (needs root to make)
        QTest::addColumn<bool>("link");    // named through a symbolic link
        QTest::addColumn<QString>("error"); // in read()'s and follow()'s reason; empty: read
        QTest::addColumn<QString>("warning");
        QTest::newRow("0600, mine") << 0600 << false << false << "" << "";
        QTest::newRow("0644, mine: read, with the warning") << 0644 << false << false << "" << "可被其他用户读取";
        QTest::newRow("world-writable") << 0666 << false << false << "refused: users other than you can write it (mode 0666)"
                                        << "可被其他用户写入（权限 0666）";
        QTest::newRow("group-writable") << 0620 << false << false << "refused: users other than you can write it (mode 0620)"
                                        << "可被其他用户写入（权限 0620）";
        QTest::newRow("another owner") << 0600 << true << false << "refused: it belongs to nobody, not to you"
                                       << "属于用户 nobody，不是你的文件";
        QTest::newRow("a link to a good file") << 0600 << false << true << "" << "";
        QTest::newRow("a link to a world-writable file") << 0646 << false << true << "refused: a link to " << "的链接，该文件可被其他用户写入";
        QTest::newRow("a link to a foreign file") << 0600 << true << true << ", and it belongs to nobody, not to you"
                                                  << "的链接，该文件属于用户 nobody";
    }

    void keyLogFileRefused()
    {
        QFETCH(int, mode);
        QFETCH(bool, foreign);
        QFETCH(bool, link);
        QFETCH(QString, error);
        QFETCH(QString, warning);
        if (foreign && ::geteuid() != 0)
            QSKIP("a file of another user's is made by root (as CI runs the tests)");

        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("keys.log"));
        test::writeFile(file, "CLIENT_RANDOM " + kRandomHex + " " + kSecret48 + "\n");
        QVERIFY(::chmod(QFile::encodeName(file).constData(), mode_t(mode)) == 0);
        if (foreign)
            QVERIFY(::chown(QFile::encodeName(file).constData(), 65534, 65534) == 0);
        const QString path = link ? dir.filePath(QStringLiteral("link.log")) : file;
        if (link)
            QVERIFY(QFile::link(file, path));
        const ClientRandom random = randomOf(QByteArray::fromHex(kRandomHex));

        for (const bool follow : {false, true}) {
            KeyLog keys;
            QString reason;
            const bool ok = follow ? keys.follow(path, &reason) : keys.read(path, &reason);
            QCOMPARE(ok, error.isEmpty());
            QVERIFY2(reason.contains(error), qPrintable(reason));
            QCOMPARE(keys.find(random) != nullptr, error.isEmpty());
            const QString said = keys.takeWarning();
            QVERIFY2(warning.isEmpty() ? said.isEmpty() : said.contains(warning) && said.contains(path), qPrintable(said));
            if (!follow)
                continue;
            keys.poll();
            QVERIFY(keys.takeWarning().isEmpty()); // said once
            QCOMPARE(keys.find(random) != nullptr, error.isEmpty());
            if (!error.isEmpty() && !foreign) {
                // Made private, it is read at the next look.
                QVERIFY(::chmod(QFile::encodeName(file).constData(), 0600) == 0);
                keys.poll();
                QVERIFY(keys.find(random));
                QVERIFY(::chmod(QFile::encodeName(file).constData(), mode_t(mode)) == 0);
            }
        }
    }

    // A followed file's last line without its end is read once the file has not changed
    // for a second; a line still being written, that changes within the second, is not.
    void keyLogLastLineWithoutItsEnd()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("keys.log"));
        const QByteArray line1 = "CLIENT_RANDOM " + QByteArray(64, '1') + " " + kSecret48;
        const QByteArray line2 = "CLIENT_RANDOM " + QByteArray(64, '2') + " " + kSecret48;
        test::writeFile(path, "# keys\n" + line1.left(40));
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
        KeyLog keys;
        QVERIFY(keys.follow(path));
        keys.poll(10000);
        QFile file(path);
        QVERIFY(file.open(QIODevice::Append));
        file.write(line1.mid(40));
        file.flush();
        keys.poll(10900); // grown: the second starts again
        QCOMPARE(keys.size(), std::size_t(0));
        keys.poll(11899);
        QCOMPARE(keys.size(), std::size_t(0));
        keys.poll(11900);
        QCOMPARE(keys.size(), std::size_t(1));
        QVERIFY(keys.find(randomOf(QByteArray::fromHex(QByteArray(64, '1')))));
        QCOMPARE(keys.stats().malformedLines, std::uint64_t(0));
        // Lines after it are read as ever, a newline first or not.
        file.write("\n" + line2 + "\n");
        file.close();
        keys.poll(12000);
        QCOMPARE(keys.size(), std::size_t(2));
        QCOMPARE(keys.stats().malformedLines, std::uint64_t(0));
    }

    // read() takes a file as it is now: its last line without its end too, and nothing
    // written to it later (it is not followed).
    void keyLogReadOnce()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("keys.log"));
        test::writeFile(path, "CLIENT_RANDOM " + QByteArray(64, '1') + " " + kSecret48 + "\nCLIENT_RANDOM " + QByteArray(64, '2')
                                  + " " + kSecret48);
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
        KeyLog keys;
        QString error;
        QVERIFY2(keys.read(path, &error), qPrintable(error));
        QCOMPARE(keys.size(), std::size_t(2));
        QFile file(path);
        QVERIFY(file.open(QIODevice::Append));
        file.write("\nCLIENT_RANDOM " + QByteArray(64, '3') + " " + kSecret48 + "\n");
        file.close();
        keys.poll();
        keys.poll(100000);
        QCOMPARE(keys.size(), std::size_t(2));
        QVERIFY(!keys.caughtUp());

        QVERIFY(!keys.read(dir.filePath(QStringLiteral("missing.log")), &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(!keys.read(dir.path(), &error));
        QCOMPARE(error, QStringLiteral("not a plain file"));
    }

    // --- known answers: RFC 8448, section 3

    void rfc8448TrafficKeys()
    {
        const auto rfc = readHexBlocks(QStringLiteral(QUORREL_FIXTURES "/tls/rfc8448-1rtt.txt"));
        const tls::CipherSuite *suite = tls::findCipherSuite(0x1301, true);
        QVERIFY(suite);
        const QList<QPair<QString, QString>> secrets = {{"client_handshake_traffic_secret", "client_handshake"},
                                                        {"client_application_traffic_secret", "client_application"}};
        for (const auto &[secret, keys] : secrets) {
            tls::TrafficKeys derived;
            QVERIFY(tls::deriveTls13TrafficKeys(*suite, viewOf(rfc[secret]), derived));
            QCOMPARE(bytesOf(derived.key.view()), rfc[keys + "_key"]);
            QCOMPARE(bytesOf(derived.iv.view()), rfc[keys + "_iv"]);
        }
    }

    void rfc8448Records_data()
    {
        QTest::addColumn<int>("chunk");
        QTest::addColumn<bool>("serverFirst");
        QTest::addColumn<bool>("secretsLate");
        QTest::newRow("whole") << 0 << false << false;
        QTest::newRow("server first") << 0 << true << false;
        QTest::newRow("byte by byte") << 1 << false << false;
        QTest::newRow("7 bytes at a time, server first") << 7 << true << false;
        QTest::newRow("secrets after the records") << 0 << false << true;
    }

    void rfc8448Records()
    {
        QFETCH(int, chunk);
        QFETCH(bool, serverFirst);
        QFETCH(bool, secretsLate);
        const auto rfc = readHexBlocks(QStringLiteral(QUORREL_FIXTURES "/tls/rfc8448-1rtt.txt"));
        QCOMPARE(rfc["client_hello_record"].size(), 201);
        QCOMPARE(rfc["client_application_record"].size(), 72);

        const QByteArray random = rfc["client_hello_record"].mid(11, 32).toHex();
        const QByteArray lines = "CLIENT_HANDSHAKE_TRAFFIC_SECRET " + random + " " + rfc["client_handshake_traffic_secret"].toHex()
            + "\nCLIENT_TRAFFIC_SECRET_0 " + random + " " + rfc["client_application_traffic_secret"].toHex() + "\n";
        KeyLog keys;
        if (!secretsLate)
            keys.addText(lines);
        Reading reading(keys);
        const QByteArray client = rfc["client_hello_record"] + rfc["client_finished_record"] + rfc["client_application_record"];
        reading.feed(client, rfc["server_hello_record"], chunk, serverFirst);
        if (secretsLate) {
            QCOMPARE(reading.session.state(), TlsSession::State::WaitingForSecret);
            QVERIFY(reading.data.isEmpty());
            keys.addText(lines);
            reading.session.retry(2000);
        }
        QCOMPARE(reading.data, rfc["client_application_data"]);
        QCOMPARE(reading.session.state(), TlsSession::State::Decrypting);
        QCOMPARE(reading.session.endReason(), nullptr);
        QCOMPARE(reading.session.serverName(), QByteArray("server"));
        QCOMPARE(reading.session.version(), std::uint16_t(0x0304));
        QCOMPARE(reading.session.cipherSuite(), std::uint16_t(0x1301));
        QCOMPARE(reading.session.stats().recordsDecrypted, std::uint64_t(2));
        QVERIFY(reading.session.stats().decrypted);
        // Both secrets are taken: the key log holds them no more.
        QVERIFY(!keys.find(randomOf(QByteArray::fromHex(random))));
    }

    // --- known answers: RFC 8448, section 4 (the session of section 3 resumed, with 0-RTT)

    void rfc8448EarlyTrafficKeys()
    {
        const auto rfc = readHexBlocks(QStringLiteral(QUORREL_FIXTURES "/tls/rfc8448-0rtt.txt"));
        const tls::CipherSuite *suite = tls::findCipherSuite(0x1301, true);
        QVERIFY(suite);
        tls::TrafficKeys derived;
        QVERIFY(tls::deriveTls13TrafficKeys(*suite, viewOf(rfc["client_early_traffic_secret"]), derived));
        QCOMPARE(bytesOf(derived.key.view()), rfc["client_early_key"]);
        QCOMPARE(bytesOf(derived.iv.view()), rfc["client_early_iv"]);
        const auto hello = tls::parseClientHello(viewOf(rfc["client_hello_record"].mid(9)));
        QVERIFY(hello);
        QVERIFY(hello->offersEarlyData);
        QCOMPARE(hello->tls13SuiteCount, std::size_t(3)); // 1301, 1303, 1302: the trial's candidates
        QCOMPARE(hello->tls13Suites[1], std::uint16_t(0x1303));
    }

    void rfc8448EarlyData_data()
    {
        QTest::addColumn<int>("chunk");
        QTest::addColumn<bool>("serverFirst");
        QTest::addColumn<bool>("secretsLate");
        QTest::addColumn<bool>("earlySecret");   // in the key log
        QTest::addColumn<bool>("endOfEarlyData"); // the client says the server took the data
        QTest::addColumn<int>("decrypted");
        QTest::newRow("whole") << 0 << false << false << true << true << 5;
        QTest::newRow("server first") << 0 << true << false << true << true << 5;
        QTest::newRow("byte by byte") << 1 << false << false << true << true << 5;
        QTest::newRow("5 bytes at a time, server first") << 5 << true << false << true << true << 5;
        QTest::newRow("secrets after the records") << 0 << false << true << true << true << 5;
        QTest::newRow("no early secret: skipped") << 0 << false << false << false << true << 3;
        QTest::newRow("no EndOfEarlyData: refused") << 0 << false << false << true << false << 4;
    }

    void rfc8448EarlyData()
    {
        QFETCH(int, chunk);
        QFETCH(bool, serverFirst);
        QFETCH(bool, secretsLate);
        QFETCH(bool, earlySecret);
        QFETCH(bool, endOfEarlyData);
        QFETCH(int, decrypted);
        const auto rfc = readHexBlocks(QStringLiteral(QUORREL_FIXTURES "/tls/rfc8448-0rtt.txt"));
        QCOMPARE(rfc["client_hello_record"].size(), 517);
        QCOMPARE(rfc["server_hello_record"].size(), 101);

        const QByteArray random = rfc["client_hello_record"].mid(11, 32).toHex();
        QByteArray lines = "CLIENT_HANDSHAKE_TRAFFIC_SECRET " + random + " " + rfc["client_handshake_traffic_secret"].toHex()
            + "\nCLIENT_TRAFFIC_SECRET_0 " + random + " " + rfc["client_application_traffic_secret"].toHex() + "\n";
        if (earlySecret) // written first, as the client writes it before its hello goes out
            lines.prepend("CLIENT_EARLY_TRAFFIC_SECRET " + random + " " + rfc["client_early_traffic_secret"].toHex() + "\n");
        KeyLog keys;
        if (!secretsLate)
            keys.addText(lines);
        Reading reading(keys);
        const QByteArray client = rfc["client_hello_record"] + rfc["client_early_record"]
            + (endOfEarlyData ? rfc["client_end_of_early_data_record"] : QByteArray()) + rfc["client_finished_record"]
            + rfc["client_application_record"] + rfc["client_alert_record"];
        reading.feed(client, rfc["server_hello_record"], chunk, serverFirst);
        if (secretsLate) {
            QCOMPARE(reading.session.state(), TlsSession::State::WaitingForSecret);
            QVERIFY(reading.data.isEmpty());
            keys.addText(lines);
            reading.session.retry(2000);
        }
        const bool handedOn = earlySecret && endOfEarlyData;
        QCOMPARE(reading.data, (handedOn ? rfc["client_early_data"] : QByteArray()) + rfc["client_application_data"]);
        // The client's close_notify, the last record, authenticated too.
        QCOMPARE(reading.session.endCause(), TlsSession::EndCause::Closed);
        QCOMPARE(reading.session.cipherSuite(), std::uint16_t(0x1301));
        const TlsSession::Stats &stats = reading.session.stats();
        QCOMPARE(stats.recordsDecrypted, std::uint64_t(decrypted));
        QCOMPARE(stats.recordsFailedAuth, std::uint64_t(0));
        QCOMPARE(stats.earlyDataRecordsRead, std::uint64_t(earlySecret ? (endOfEarlyData ? 2 : 1) : 0));
        QCOMPARE(stats.earlyDataRecordsSkipped, std::uint64_t(earlySecret ? 0 : 2));
        QCOMPARE(stats.earlyDataBytesRefused, std::uint64_t(earlySecret && !endOfEarlyData ? 6 : 0));
        QVERIFY(!keys.find(randomOf(QByteArray::fromHex(random))));
    }

    // With the early secret at hand, every record before the handshake key's is one of
    // the early data's: a record that opens under neither key fails authentication (early
    // data is skipped unread only when the key log has no early secret). A client that sent
    // no early record at all is read as ever.
    void rfc8448EarlySecretThatOpensNothing_data()
    {
        QTest::addColumn<bool>("earlyRecords"); // the client's early records are there
        QTest::addColumn<TlsSession::EndCause>("cause");
        QTest::newRow("early records") << true << TlsSession::EndCause::AuthFailed;
        QTest::newRow("none") << false << TlsSession::EndCause::None;
    }

    void rfc8448EarlySecretThatOpensNothing()
    {
        QFETCH(bool, earlyRecords);
        QFETCH(TlsSession::EndCause, cause);
        const auto rfc = readHexBlocks(QStringLiteral(QUORREL_FIXTURES "/tls/rfc8448-0rtt.txt"));
        const QByteArray random = rfc["client_hello_record"].mid(11, 32).toHex();
        KeyLog keys;
        keys.addText("CLIENT_EARLY_TRAFFIC_SECRET " + random + " " + kSecret32 + "\nCLIENT_HANDSHAKE_TRAFFIC_SECRET " + random
                     + " " + rfc["client_handshake_traffic_secret"].toHex() + "\nCLIENT_TRAFFIC_SECRET_0 " + random + " "
                     + rfc["client_application_traffic_secret"].toHex() + "\n");
        Reading reading(keys);
        const QByteArray early = earlyRecords ? rfc["client_early_record"] + rfc["client_end_of_early_data_record"] : QByteArray();
        reading.feed(rfc["client_hello_record"] + early + rfc["client_finished_record"] + rfc["client_application_record"],
                     rfc["server_hello_record"]);
        QCOMPARE(reading.session.endCause(), cause);
        QCOMPARE(reading.data, earlyRecords ? QByteArray() : rfc["client_application_data"]);
        QCOMPARE(reading.session.stats().earlyDataRecordsSkipped, std::uint64_t(0));
    }

    // Every prefix of a hello is read as malformed, or as a hello without extensions when it
    // stops just before them; nothing reads past the bytes given.
    void hellosCutShort()
    {
        const auto rfc = readHexBlocks(QStringLiteral(QUORREL_FIXTURES "/tls/rfc8448-1rtt.txt"));
        const QByteArray clientHello = rfc["client_hello_record"].mid(9);
        const QByteArray serverHello = rfc["server_hello_record"].mid(9);
        QVERIFY(tls::parseClientHello(viewOf(clientHello)));
        QCOMPARE(tls::parseClientHello(viewOf(clientHello))->serverName, QByteArray("server"));
        const auto sh = tls::parseServerHello(viewOf(serverHello));
        QVERIFY(sh);
        QCOMPARE(sh->version, std::uint16_t(0x0304));
        QCOMPARE(sh->cipherSuite, std::uint16_t(0x1301));
        QVERIFY(!sh->helloRetryRequest);

        const qsizetype clientBare = 2 + 32 + 1 + 2 + 6 + 2; // version, random, no session id, 3 suites, null compression
        const qsizetype serverBare = 2 + 32 + 1 + 2 + 1;
        for (qsizetype n = 0; n < clientHello.size(); ++n) {
            const QByteArray cut = clientHello.left(n); // a copy of exactly n bytes
            QCOMPARE(tls::parseClientHello(viewOf(cut)).has_value(), n == clientBare);
        }
        for (qsizetype n = 0; n < serverHello.size(); ++n) {
            const QByteArray cut = serverHello.left(n);
            QCOMPARE(tls::parseServerHello(viewOf(cut)).has_value(), n == serverBare);
        }
    }

    // --- connections of OpenSSL's own

    void opensslConnections_data()
    {
        QTest::addColumn<int>("version");
        QTest::addColumn<QString>("ciphers");
        QTest::addColumn<int>("suite");
        QTest::addColumn<QString>("clientGroups");
        QTest::addColumn<QString>("serverGroups");
        QTest::addColumn<int>("chunk");
        QTest::addColumn<bool>("serverFirst");

        QTest::newRow("TLS 1.2 AES-128-GCM") << TLS1_2_VERSION << "ECDHE-ECDSA-AES128-GCM-SHA256" << 0xC02B << "" << "" << 0 << false;
        QTest::newRow("TLS 1.2 AES-256-GCM") << TLS1_2_VERSION << "ECDHE-ECDSA-AES256-GCM-SHA384" << 0xC02C << "" << "" << 0 << true;
        QTest::newRow("TLS 1.2 ChaCha20-Poly1305") << TLS1_2_VERSION << "ECDHE-ECDSA-CHACHA20-POLY1305" << 0xCCA9 << "" << "" << 0 << false;
        QTest::newRow("TLS 1.2 AES-128-GCM byte by byte") << TLS1_2_VERSION << "ECDHE-ECDSA-AES128-GCM-SHA256" << 0xC02B << "" << "" << 1 << false;
        QTest::newRow("TLS 1.3 AES-128-GCM") << TLS1_3_VERSION << "TLS_AES_128_GCM_SHA256" << 0x1301 << "" << "" << 0 << false;
        QTest::newRow("TLS 1.3 AES-256-GCM") << TLS1_3_VERSION << "TLS_AES_256_GCM_SHA384" << 0x1302 << "" << "" << 0 << true;
        QTest::newRow("TLS 1.3 ChaCha20-Poly1305") << TLS1_3_VERSION << "TLS_CHACHA20_POLY1305_SHA256" << 0x1303 << "" << "" << 0 << false;
        QTest::newRow("TLS 1.3 HelloRetryRequest") << TLS1_3_VERSION << "TLS_AES_128_GCM_SHA256" << 0x1301 << "X25519:P-256" << "P-256" << 0 << false;
        QTest::newRow("TLS 1.3 HelloRetryRequest byte by byte") << TLS1_3_VERSION << "TLS_AES_256_GCM_SHA384" << 0x1302 << "X25519:P-256" << "P-256" << 1 << true;
        QTest::newRow("TLS 1.3 ChaCha20-Poly1305, 1000 bytes at a time") << TLS1_3_VERSION << "TLS_CHACHA20_POLY1305_SHA256" << 0x1303 << "" << "" << 1000 << false;
        // Pre-shared key exchanges (RFC 4279, 5487, 7905): the key log's CLIENT_RANDOM line
        // gives their master secret as for any other.
        QTest::newRow("TLS 1.2 PSK AES-128-GCM") << TLS1_2_VERSION << "PSK-AES128-GCM-SHA256" << 0x00A8 << "" << "" << 0 << false;
        QTest::newRow("TLS 1.2 PSK AES-256-GCM") << TLS1_2_VERSION << "PSK-AES256-GCM-SHA384" << 0x00A9 << "" << "" << 0 << true;
        QTest::newRow("TLS 1.2 DHE-PSK AES-128-GCM") << TLS1_2_VERSION << "DHE-PSK-AES128-GCM-SHA256" << 0x00AA << "" << "" << 0 << false;
        QTest::newRow("TLS 1.2 DHE-PSK AES-256-GCM") << TLS1_2_VERSION << "DHE-PSK-AES256-GCM-SHA384" << 0x00AB << "" << "" << 0 << false;
        QTest::newRow("TLS 1.2 RSA-PSK AES-128-GCM") << TLS1_2_VERSION << "RSA-PSK-AES128-GCM-SHA256" << 0x00AC << "" << "" << 0 << false;
        QTest::newRow("TLS 1.2 RSA-PSK AES-256-GCM byte by byte") << TLS1_2_VERSION << "RSA-PSK-AES256-GCM-SHA384" << 0x00AD << "" << "" << 1 << false;
        QTest::newRow("TLS 1.2 PSK ChaCha20-Poly1305") << TLS1_2_VERSION << "PSK-CHACHA20-POLY1305" << 0xCCAB << "" << "" << 0 << false;
        QTest::newRow("TLS 1.2 ECDHE-PSK ChaCha20-Poly1305") << TLS1_2_VERSION << "ECDHE-PSK-CHACHA20-POLY1305" << 0xCCAC << "" << "" << 0 << true;
        QTest::newRow("TLS 1.2 DHE-PSK ChaCha20-Poly1305") << TLS1_2_VERSION << "DHE-PSK-CHACHA20-POLY1305" << 0xCCAD << "" << "" << 0 << false;
        QTest::newRow("TLS 1.2 RSA-PSK ChaCha20-Poly1305") << TLS1_2_VERSION << "RSA-PSK-CHACHA20-POLY1305" << 0xCCAE << "" << "" << 0 << false;
    }

    void opensslConnections()
    {
        QFETCH(int, version);
        QFETCH(QString, ciphers);
        QFETCH(int, suite);
        QFETCH(QString, clientGroups);
        QFETCH(QString, serverGroups);
        QFETCH(int, chunk);
        QFETCH(bool, serverFirst);

        test::TlsPairOptions options(version, ciphers.toStdString(), clientGroups.toStdString(), serverGroups.toStdString());
        if (ciphers.contains("PSK")) {
            options.psk = "00112233445566778899aabbccddeeff";
            options.rsaKey = ciphers.startsWith("RSA-");
        }
        test::TlsPair pair(options);
        QVERIFY2(pair.handshake(), qPrintable(pair.error()));
        const bool tls13 = version == TLS1_3_VERSION;
        const QList<QByteArray> writes = {"GET / HTTP/1.1\r\nHost: www.example.test\r\n\r\n", randomBytes(40000),
                                          randomBytes(100), QByteArray("x"), randomBytes(17000)};
        for (int i = 0; i < writes.size(); ++i) {
            if (tls13 && (i == 2 || i == 4))
                QVERIFY2(pair.keyUpdate(), qPrintable(pair.error()));
            QVERIFY2(pair.write(writes[i]), qPrintable(pair.error()));
        }
        const QByteArray sent = writes.join();
        QCOMPARE(pair.serverReceived, sent);
        if (!clientGroups.isEmpty()) // the server did ask again
            QVERIFY(pair.serverToClient.contains(hex("cf21ad74e59a6111be1d8c021e65b891c2a211167abb8c5e079e09e2c8a8339c")));

        KeyLog keys;
        keys.addText(pair.keyLogLines);
        Reading reading(keys);
        reading.feed(pair.clientToServer, pair.serverToClient, chunk, serverFirst);
        QCOMPARE(reading.session.endReason(), nullptr);
        QCOMPARE(reading.data.size(), sent.size());
        QVERIFY(reading.data == sent);
        QCOMPARE(reading.session.state(), TlsSession::State::Decrypting);
        QCOMPARE(reading.session.cipherSuite(), std::uint16_t(suite));
        QCOMPARE(reading.session.version(), std::uint16_t(tls13 ? 0x0304 : 0x0303));
        QCOMPARE(reading.session.serverName(), QByteArray("www.example.test"));
        QCOMPARE(reading.session.stats().keyUpdates, std::uint64_t(tls13 ? 2 : 0));
        QCOMPARE(reading.session.stats().applicationBytes, std::uint64_t(sent.size()));
        QVERIFY(reading.session.stats().recordsDecrypted >= 7); // 40000 and 17000 bytes take several records
        QVERIFY(!keys.find(clientRandomOf(pair.clientToServer))); // taken, and wiped in the log

        reading.session.close();
        QCOMPARE(reading.session.endCause(), TlsSession::EndCause::Closed);
        TlsTotals totals;
        totals.add(reading.session);
        QCOMPARE(totals.sessionsDecrypted, std::uint64_t(1));
        QCOMPARE(totals.sessionsWithoutSecret, std::uint64_t(0));
    }

    void keyLineComesLate_data()
    {
        QTest::addColumn<int>("version");
        QTest::addColumn<QString>("ciphers");
        QTest::addColumn<QByteArrayList>("early"); // labels in the key log before the records
        QTest::newRow("TLS 1.2") << TLS1_2_VERSION << "ECDHE-ECDSA-CHACHA20-POLY1305" << QByteArrayList{};
        QTest::newRow("TLS 1.3, both secrets late") << TLS1_3_VERSION << "TLS_AES_128_GCM_SHA256" << QByteArrayList{};
        QTest::newRow("TLS 1.3, the traffic secret late")
            << TLS1_3_VERSION << "TLS_AES_256_GCM_SHA384" << QByteArrayList{"CLIENT_HANDSHAKE_TRAFFIC_SECRET"};
    }

    void keyLineComesLate()
    {
        QFETCH(int, version);
        QFETCH(QString, ciphers);
        QFETCH(QByteArrayList, early);

        test::TlsPair pair({version, ciphers.toStdString()});
        QVERIFY2(pair.handshake(), qPrintable(pair.error()));
        const QByteArray sent = "GET /late HTTP/1.1\r\n\r\n" + randomBytes(20000);
        QVERIFY(pair.write(sent));

        KeyLog keys;
        keys.addText(linesLabelled(pair.keyLogLines, early));
        Reading reading(keys);
        reading.feed(pair.clientToServer, pair.serverToClient, 0, false, 1000);
        QCOMPARE(reading.session.state(), TlsSession::State::WaitingForSecret);
        QVERIFY(reading.data.isEmpty());
        reading.session.retry(5000); // nothing new in the key log: still waiting
        QCOMPARE(reading.session.state(), TlsSession::State::WaitingForSecret);

        keys.addText(pair.keyLogLines);
        reading.session.retry(9000);
        QCOMPARE(reading.session.endReason(), nullptr);
        QVERIFY(reading.data == sent);
        QCOMPARE(reading.session.state(), TlsSession::State::Decrypting);
        QCOMPARE(reading.session.stats().recordsDroppedWaiting, std::uint64_t(0));
    }

    void keyLineNeverComes_data()
    {
        QTest::addColumn<int>("version");
        QTest::addColumn<QString>("ciphers");
        QTest::addColumn<int>("bytes");      // written by the client
        QTest::addColumn<bool>("withServer"); // else the ServerHello never comes either
        QTest::addColumn<int>("retryAt");    // ms; 0: none
        QTest::addColumn<bool>("close");     // the connection ends
        QTest::addColumn<TlsSession::EndCause>("cause");

        using E = TlsSession::EndCause;
        QTest::newRow("TLS 1.2, 9.999 s") << TLS1_2_VERSION << "ECDHE-ECDSA-AES128-GCM-SHA256" << 3000 << true << 1000 + 9999 << false << E::None;
        QTest::newRow("TLS 1.2, 10 s") << TLS1_2_VERSION << "ECDHE-ECDSA-AES128-GCM-SHA256" << 3000 << true << 1000 + 10000 << false << E::NoSecret;
        QTest::newRow("TLS 1.3, 10 s") << TLS1_3_VERSION << "TLS_AES_128_GCM_SHA256" << 3000 << true << 1000 + 10000 << false << E::NoSecret;
        QTest::newRow("TLS 1.3, over 1 MiB waiting") << TLS1_3_VERSION << "TLS_CHACHA20_POLY1305_SHA256" << 1100 * 1024 << true << 0 << false << E::NoSecret;
        QTest::newRow("TLS 1.2, connection closed") << TLS1_2_VERSION << "ECDHE-ECDSA-AES256-GCM-SHA384" << 3000 << true << 0 << true << E::NoSecret;
        QTest::newRow("no ServerHello, 10 s") << TLS1_3_VERSION << "TLS_AES_128_GCM_SHA256" << 3000 << false << 1000 + 10000 << false << E::NoServerHello;
        QTest::newRow("no ServerHello, over 1 MiB waiting") << TLS1_2_VERSION << "" << 1100 * 1024 << false << 0 << false << E::NoServerHello;
    }

    void keyLineNeverComes()
    {
        QFETCH(int, version);
        QFETCH(QString, ciphers);
        QFETCH(int, bytes);
        QFETCH(bool, withServer);
        QFETCH(int, retryAt);
        QFETCH(bool, close);
        QFETCH(TlsSession::EndCause, cause);

        test::TlsPair pair({version, ciphers.toStdString()});
        QVERIFY2(pair.handshake(), qPrintable(pair.error()));
        QVERIFY(pair.write(randomBytes(bytes)));

        KeyLog keys;
        Reading reading(keys);
        reading.feed(pair.clientToServer, withServer ? pair.serverToClient : QByteArray(), 0, true, 1000);
        if (retryAt)
            reading.session.retry(retryAt);
        if (close)
            reading.session.close();
        QCOMPARE(reading.session.endCause(), cause);
        if (cause == TlsSession::EndCause::None) {
            QCOMPARE(reading.session.state(), TlsSession::State::WaitingForSecret);
            return;
        }
        QCOMPARE(reading.session.state(), TlsSession::State::Ended);
        QVERIFY(reading.session.endReason());
        const TlsSession::Stats &stats = reading.session.stats();
        QVERIFY(stats.recordsDroppedWaiting > 0);
        QVERIFY(stats.bytesDroppedWaiting >= std::uint64_t(std::min(bytes, 1024 * 1024)));
        QVERIFY(!stats.decrypted);
        QCOMPARE(reading.session.bufferedBytes(), std::size_t(0)); // all let go

        // Too late: the session reads nothing more.
        keys.addText(pair.keyLogLines);
        reading.session.retry(retryAt + 1);
        reading.session.feedServer(viewOf(pair.serverToClient), retryAt + 1);
        reading.session.feedClient(viewOf(pair.clientToServer.right(100)), retryAt + 1);
        QVERIFY(reading.data.isEmpty());
        QCOMPARE(reading.session.state(), TlsSession::State::Ended);

        TlsTotals totals;
        totals.add(reading.session);
        QCOMPARE(totals.sessionsWithoutSecret, std::uint64_t(cause == TlsSession::EndCause::NoSecret ? 1 : 0));
        QCOMPARE(totals.sessionsDecrypted, std::uint64_t(0));
        QCOMPARE(totals.recordsDroppedWaiting, stats.recordsDroppedWaiting);
        QCOMPARE(totals.bytesDroppedWaiting, stats.bytesDroppedWaiting);
    }

    void tamperedRecord_data()
    {
        QTest::addColumn<int>("version");
        QTest::addColumn<QString>("ciphers");
        QTest::addColumn<int>("offset"); // in the last record; negative from its end
        QTest::newRow("TLS 1.2 GCM, tag") << TLS1_2_VERSION << "ECDHE-ECDSA-AES128-GCM-SHA256" << -1;
        QTest::newRow("TLS 1.2 GCM, explicit nonce") << TLS1_2_VERSION << "ECDHE-ECDSA-AES256-GCM-SHA384" << 6;
        QTest::newRow("TLS 1.2 GCM, header version") << TLS1_2_VERSION << "ECDHE-ECDSA-AES128-GCM-SHA256" << 2;
        QTest::newRow("TLS 1.2 ChaCha20, ciphertext") << TLS1_2_VERSION << "ECDHE-ECDSA-CHACHA20-POLY1305" << 8;
        QTest::newRow("TLS 1.3, ciphertext") << TLS1_3_VERSION << "TLS_AES_128_GCM_SHA256" << 8;
        QTest::newRow("TLS 1.3, header version") << TLS1_3_VERSION << "TLS_CHACHA20_POLY1305_SHA256" << 2;
        QTest::newRow("TLS 1.3, tag") << TLS1_3_VERSION << "TLS_AES_256_GCM_SHA384" << -1;
    }

    void tamperedRecord()
    {
        QFETCH(int, version);
        QFETCH(QString, ciphers);
        QFETCH(int, offset);

        test::TlsPair pair({version, ciphers.toStdString()});
        QVERIFY2(pair.handshake(), qPrintable(pair.error()));
        const QByteArray first = "GET /first HTTP/1.1\r\n\r\n";
        QVERIFY(pair.write(first));
        QVERIFY(pair.write("GET /second HTTP/1.1\r\n\r\n"));
        QByteArray client = pair.clientToServer;
        const qsizetype last = recordOffsets(client).last();
        const qsizetype at = offset < 0 ? client.size() + offset : last + offset;
        client[at] = char(client[at] ^ 0x01);

        KeyLog keys;
        keys.addText(pair.keyLogLines);
        Reading reading(keys);
        reading.feed(client, pair.serverToClient);
        QCOMPARE(reading.data, first);
        QCOMPARE(reading.session.state(), TlsSession::State::Ended);
        QCOMPARE(reading.session.endCause(), TlsSession::EndCause::AuthFailed);
        QCOMPARE(reading.session.stats().recordsFailedAuth, std::uint64_t(1));
        QCOMPARE(reading.session.bufferedBytes(), std::size_t(0));
        QVERIFY(!keys.find(clientRandomOf(client)));
        TlsTotals totals;
        totals.add(reading.session);
        QCOMPARE(totals.recordsFailedAuth, std::uint64_t(1));
    }

    void oversizeRecord_data()
    {
        QTest::addColumn<int>("version");
        QTest::addColumn<int>("length");
        QTest::addColumn<bool>("ends");
        QTest::newRow("TLS 1.2, 2^14 + 2048") << TLS1_2_VERSION << (1 << 14) + 2048 << false;
        QTest::newRow("TLS 1.2, 2^14 + 2049") << TLS1_2_VERSION << (1 << 14) + 2049 << true;
        QTest::newRow("TLS 1.2, 65535") << TLS1_2_VERSION << 65535 << true;
        QTest::newRow("TLS 1.3, 2^14 + 256") << TLS1_3_VERSION << (1 << 14) + 256 << false;
        QTest::newRow("TLS 1.3, 2^14 + 257") << TLS1_3_VERSION << (1 << 14) + 257 << true;
    }

    void oversizeRecord()
    {
        QFETCH(int, version);
        QFETCH(int, length);
        QFETCH(bool, ends);

        test::TlsPair pair({version, ""});
        QVERIFY2(pair.handshake(), qPrintable(pair.error()));
        const QByteArray sent = "GET / HTTP/1.1\r\n\r\n";
        QVERIFY(pair.write(sent));

        KeyLog keys;
        keys.addText(pair.keyLogLines);
        Reading reading(keys);
        const QByteArray header = hex("170303") + char(length >> 8) + char(length & 0xFF);
        reading.feed(pair.clientToServer + header + QByteArray(100, 'z'), pair.serverToClient, 0, true);
        QCOMPARE(reading.data, sent);
        QCOMPARE(reading.session.state(), ends ? TlsSession::State::Ended : TlsSession::State::Decrypting);
        QCOMPARE(reading.session.stats().oversizeRecords, std::uint64_t(ends ? 1 : 0));
        if (ends)
            QCOMPARE(reading.session.endCause(), TlsSession::EndCause::Oversize);
    }

    void streamsThatAreNotReadable_data()
    {
        QTest::addColumn<QByteArray>("client");
        QTest::addColumn<QByteArray>("server");
        QTest::addColumn<TlsSession::State>("state");
        QTest::addColumn<TlsSession::EndCause>("cause");

        const auto rfc = readHexBlocks(QStringLiteral(QUORREL_FIXTURES "/tls/rfc8448-1rtt.txt"));
        const QByteArray ch = rfc["client_hello_record"];
        const QByteArray sh = rfc["server_hello_record"];

        // A HelloRetryRequest for P-256 (RFC 8446 4.1.4): a ServerHello with the special random.
        const QByteArray retryBody = hex("0303cf21ad74e59a6111be1d8c021e65b891c2a211167abb8c5e079e09e2c8a8339c"
                                         "00130100000c002b00020304003300020017");
        const QByteArray retry = hex("160303") + char(0) + char(retryBody.size() + 4) + hex("020000") + char(retryBody.size()) + retryBody;
        const QByteArray ccs = hex("140303000101");
        // The client's ClientHello with its length fields made to disagree.
        QByteArray badHello = ch;
        badHello[9 + 2 + 32 + 1] = char(0xFF); // the cipher suites run past the message

        using S = TlsSession::State;
        using E = TlsSession::EndCause;
        QTest::newRow("an HTTP request") << QByteArray("GET / HTTP/1.1\r\n\r\n") << QByteArray() << S::Ended << E::Malformed;
        QTest::newRow("application data first") << hex("170303000501020304ff") << QByteArray() << S::Ended << E::Malformed;
        QTest::newRow("a ServerHello from the client") << sh << QByteArray() << S::Ended << E::Malformed;
        QTest::newRow("a malformed ClientHello") << badHello << QByteArray() << S::Ended << E::Malformed;
        QTest::newRow("a ClientHello cut short") << ch.left(150) << sh << S::Handshake << E::None;
        QTest::newRow("no ServerHello yet") << ch << QByteArray() << S::Handshake << E::None;
        QTest::newRow("the server's alert") << ch << hex("15030300020228") << S::Ended << E::Closed;
        QTest::newRow("protected records before the ServerHello") << ch << hex("1703030003aabbcc") << S::Ended << E::Malformed;
        QTest::newRow("TLS 1.1") << ch << serverHello12("0302", "c02f") << S::Ended << E::Unsupported;
        QTest::newRow("a CBC suite") << ch << serverHello12("0303", "c013") << S::Ended << E::Unsupported;
        QTest::newRow("a TLS 1.3 suite in TLS 1.2") << ch << serverHello12("0303", "1301") << S::Ended << E::Unsupported;
        QTest::newRow("TLS 1.2 GCM") << ch << serverHello12("0303", "c02f") << S::Decrypting << E::None;
        QTest::newRow("a HelloRetryRequest alone") << ch << retry + ccs << S::Handshake << E::None;
        QTest::newRow("a HelloRetryRequest, then the ServerHello") << ch << retry + ccs + sh << S::Decrypting << E::None;
        QTest::newRow("two HelloRetryRequests") << ch << retry + ccs + retry << S::Ended << E::Malformed;
        QTest::newRow("the client's alert") << ch + hex("15030300020100") << sh << S::Ended << E::Closed;
        QTest::newRow("a record type of none") << ch + hex("1903030001aa") << sh << S::Ended << E::Malformed;
        QTest::newRow("a record version of none") << ch + hex("1702030001aa") << sh << S::Ended << E::Malformed;
        QTest::newRow("a ChangeCipherSpec of two bytes") << ch + hex("14030300020101") << sh << S::Ended << E::Malformed;
        QTest::newRow("a ChangeCipherSpec") << ch + hex("140303000101") << sh << S::Decrypting << E::None;
    }

    void streamsThatAreNotReadable()
    {
        QFETCH(QByteArray, client);
        QFETCH(QByteArray, server);
        QFETCH(TlsSession::State, state);
        QFETCH(TlsSession::EndCause, cause);

        for (const qsizetype chunk : {qsizetype(0), qsizetype(1)}) {
            KeyLog keys;
            Reading reading(keys);
            reading.feed(client, server, chunk);
            QCOMPARE(reading.session.state(), state);
            QCOMPARE(reading.session.endCause(), cause);
            QCOMPARE(reading.session.endReason() != nullptr, cause != TlsSession::EndCause::None);
            QVERIFY(reading.data.isEmpty());
        }
    }

    // Which suites are read: every AEAD suite of TLS 1.2, PSK key exchanges among them; the
    // rest ends the session with its suite named (so that a summary can say it).
    void suitesRead_data()
    {
        QTest::addColumn<QByteArray>("version");
        QTest::addColumn<QByteArray>("suite");
        QTest::addColumn<bool>("read");
        for (const char *code : {"c02f", "c02b", "c030", "009c", "009f", "cca8", "cca9", "ccaa", "00a8", "00a9", "00aa",
                                 "00ab", "00ac", "00ad", "d001", "d002", "ccab", "ccac", "ccad", "ccae"})
            QTest::newRow(code) << QByteArray("0303") << QByteArray(code) << true;
        for (const char *code : {"c013", "002f", "0035", "c09c", "c0ac", "d005", "008c", "00ae", "c0a8", "1301", "0000"})
            QTest::newRow(code) << QByteArray("0303") << QByteArray(code) << false;
        QTest::newRow("TLS 1.0, c014") << QByteArray("0301") << QByteArray("c014") << false;
        QTest::newRow("TLS 1.1, c02f") << QByteArray("0302") << QByteArray("c02f") << false;
    }

    void suitesRead()
    {
        QFETCH(QByteArray, version);
        QFETCH(QByteArray, suite);
        QFETCH(bool, read);
        const auto rfc = readHexBlocks(QStringLiteral(QUORREL_FIXTURES "/tls/rfc8448-1rtt.txt"));
        KeyLog keys;
        Reading reading(keys);
        reading.feed(rfc["client_hello_record"], serverHello12(version.constData(), suite.constData()));
        const std::uint16_t code = std::uint16_t(suite.toUInt(nullptr, 16));
        QCOMPARE(reading.session.state(), read ? TlsSession::State::Decrypting : TlsSession::State::Ended);
        QCOMPARE(reading.session.suiteNotRead(), read ? std::nullopt : std::optional<std::uint16_t>(code));
        if (!read)
            QCOMPARE(reading.session.endCause(), TlsSession::EndCause::Unsupported);
    }

    // A TLS 1.3 secret whose length is not the suite's hash length cannot be its secret.
    void secretOfTheWrongLength()
    {
        test::TlsPair pair({TLS1_3_VERSION, "TLS_AES_128_GCM_SHA256"});
        QVERIFY2(pair.handshake(), qPrintable(pair.error()));
        QVERIFY(pair.write("GET / HTTP/1.1\r\n\r\n"));
        const QByteArray random = pair.clientToServer.mid(11, 32).toHex();
        KeyLog keys;
        keys.addText("CLIENT_HANDSHAKE_TRAFFIC_SECRET " + random + " " + kSecret48 + "\n");
        Reading reading(keys);
        reading.feed(pair.clientToServer, pair.serverToClient);
        QCOMPARE(reading.session.endCause(), TlsSession::EndCause::BadSecret);
        QVERIFY(reading.data.isEmpty());
        QVERIFY(!keys.find(clientRandomOf(pair.clientToServer)));
    }

    // 0-RTT data (RFC 8446 2.3) of a resumed session, by OpenSSL: read under the early secret
    // with the resumed session's suite (tried among the ClientHello's), handed on once the
    // client's EndOfEarlyData says the server took it; skipped without its secret; held and
    // dropped when the server refused it (the client then sends no EndOfEarlyData).
    void earlyData_data()
    {
        QTest::addColumn<QString>("ciphers");       // the client's TLS 1.3 suites
        QTest::addColumn<QString>("serverCiphers"); // the server's; empty: the same
        QTest::addColumn<int>("suite");
        QTest::addColumn<bool>("earlySecret");      // CLIENT_EARLY_TRAFFIC_SECRET in the key log
        QTest::addColumn<bool>("refused");          // the server refuses the early data
        QTest::addColumn<int>("chunk");
        QTest::addColumn<bool>("secretsLate");
        QTest::addColumn<bool>("earlyHandedOn");
        QTest::addColumn<int>("earlyRecords");      // opened under the early secret
        QTest::addColumn<int>("skipped");

        QTest::newRow("AES-128-GCM") << "TLS_AES_128_GCM_SHA256" << "" << 0x1301 << true << false << 0 << false << true << 2 << 0;
        QTest::newRow("byte by byte") << "TLS_AES_128_GCM_SHA256" << "" << 0x1301 << true << false << 1 << false << true << 2 << 0;
        QTest::newRow("secrets after the records") << "TLS_AES_128_GCM_SHA256" << "" << 0x1301 << true << false << 0 << true << true << 2 << 0;
        QTest::newRow("AES-256-GCM: the one suite of its hash")
            << "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384" << "TLS_AES_256_GCM_SHA384" << 0x1302 << true << false << 0 << false << true << 2 << 0;
        QTest::newRow("ChaCha20-Poly1305: the second suite of its hash")
            << "TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256" << "TLS_CHACHA20_POLY1305_SHA256" << 0x1303 << true << false << 0 << false << true << 2 << 0;
        QTest::newRow("without the early secret: skipped") << "TLS_AES_128_GCM_SHA256" << "" << 0x1301 << false << false << 0 << false << false << 0 << 2;
        QTest::newRow("refused by the server") << "TLS_AES_128_GCM_SHA256" << "" << 0x1301 << true << true << 0 << false << false << 1 << 0;
        QTest::newRow("refused by the server, byte by byte") << "TLS_CHACHA20_POLY1305_SHA256" << "" << 0x1303 << true << true << 1 << false << false << 1 << 0;
    }

    void earlyData()
    {
        QFETCH(QString, ciphers);
        QFETCH(QString, serverCiphers);
        QFETCH(int, suite);
        QFETCH(bool, earlySecret);
        QFETCH(bool, refused);
        QFETCH(int, chunk);
        QFETCH(bool, secretsLate);
        QFETCH(bool, earlyHandedOn);
        QFETCH(int, earlyRecords);
        QFETCH(int, skipped);

        test::TlsPairOptions options(TLS1_3_VERSION, ciphers.toStdString());
        options.serverCiphers = serverCiphers.toStdString();
        options.earlyData = true;
        options.refuseEarlyData = refused;
        test::TlsPair pair(options);
        QVERIFY2(pair.handshake(), qPrintable(pair.error()));
        const QByteArray early = "GET /early HTTP/1.1\r\n\r\n";
        const QByteArray later = "GET /later HTTP/1.1\r\n\r\n";
        QVERIFY2(pair.reconnectWithEarlyData(early), qPrintable(pair.error()));
        QVERIFY(pair.write(later));
        QCOMPARE(pair.serverReceived, refused ? later : early + later);
        QVERIFY(pair.keyLogLines.contains("CLIENT_EARLY_TRAFFIC_SECRET "));

        const QByteArray lines = earlySecret ? pair.keyLogLines
                                             : linesLabelled(pair.keyLogLines, {"CLIENT_HANDSHAKE_TRAFFIC_SECRET", "CLIENT_TRAFFIC_SECRET_0"});
        KeyLog keys;
        if (!secretsLate)
            keys.addText(lines);
        Reading reading(keys);
        reading.feed(pair.clientToServer, pair.serverToClient, chunk);
        if (secretsLate) {
            QCOMPARE(reading.session.state(), TlsSession::State::WaitingForSecret);
            QVERIFY(reading.data.isEmpty());
            keys.addText(lines);
            reading.session.retry(2000);
        }
        QCOMPARE(reading.session.endReason(), nullptr);
        QCOMPARE(reading.data, earlyHandedOn ? early + later : later);
        QCOMPARE(reading.session.state(), TlsSession::State::Decrypting);
        QCOMPARE(reading.session.cipherSuite(), std::uint16_t(suite));
        const TlsSession::Stats &stats = reading.session.stats();
        QCOMPARE(stats.earlyDataRecordsRead, std::uint64_t(earlyRecords));
        QCOMPARE(stats.earlyDataRecordsSkipped, std::uint64_t(skipped));
        QCOMPARE(stats.earlyDataBytesRefused, std::uint64_t(refused ? early.size() : 0));
        QCOMPARE(stats.recordsFailedAuth, std::uint64_t(0));
        QVERIFY(!keys.find(clientRandomOf(pair.clientToServer))); // every secret taken and wiped
    }

    // More early data than is held for the server's answer ends the session; what it held
    // is let go.
    void tooMuchEarlyData()
    {
        test::TlsPairOptions options(TLS1_3_VERSION, "TLS_AES_128_GCM_SHA256");
        options.earlyData = true;
        options.maxEarlyData = 256 * 1024;
        test::TlsPair pair(options);
        QVERIFY2(pair.handshake(), qPrintable(pair.error()));
        const QByteArray early = randomBytes(qsizetype(TlsSession::kMaxEarlyDataBytes) + 1);
        QVERIFY2(pair.reconnectWithEarlyData(early), qPrintable(pair.error()));
        QCOMPARE(pair.serverReceived, early);

        KeyLog keys;
        keys.addText(pair.keyLogLines);
        Reading reading(keys);
        reading.feed(pair.clientToServer, pair.serverToClient);
        QCOMPARE(reading.session.endCause(), TlsSession::EndCause::Oversize);
        QVERIFY(reading.data.isEmpty());
        QCOMPARE(reading.session.bufferedBytes(), std::size_t(0));
    }

    // Hostile bytes: real connections with bytes changed, cut or repeated anywhere, in either
    // direction. Whatever comes, the session ends or reads on; it never reads out of bounds
    // (run under AddressSanitizer), and what it hands on is always the start of what the client
    // sent: a record it cannot authenticate is never passed on.
    void mangledConnections_data()
    {
        QTest::addColumn<int>("version");
        QTest::addColumn<bool>("early"); // a resumed session with 0-RTT data
        QTest::newRow("TLS 1.2") << TLS1_2_VERSION << false;
        QTest::newRow("TLS 1.3") << TLS1_3_VERSION << false;
        QTest::newRow("TLS 1.3 with early data") << TLS1_3_VERSION << true;
    }

    void mangledConnections()
    {
        QFETCH(int, version);
        QFETCH(bool, early);
        test::TlsPairOptions options(version, "");
        options.earlyData = early;
        test::TlsPair pair(options);
        QVERIFY2(pair.handshake(), qPrintable(pair.error()));
        if (early)
            QVERIFY2(pair.reconnectWithEarlyData("GET /early HTTP/1.1\r\n\r\n" + randomBytes(2000)), qPrintable(pair.error()));
        if (version == TLS1_3_VERSION)
            QVERIFY(pair.keyUpdate());
        QVERIFY(pair.write("GET /a HTTP/1.1\r\n\r\n" + randomBytes(3000)));
        QRandomGenerator random(20240611 + quint32(version) + (early ? 1 : 0));
        for (int round = 0; round < 400; ++round) {
            QByteArray client = pair.clientToServer;
            QByteArray server = pair.serverToClient;
            QByteArray &victim = random.bounded(3) == 0 ? server : client;
            switch (random.bounded(4)) {
            case 0: // a few bytes changed
                for (int i = 0; i < 1 + random.bounded(3); ++i) {
                    const qsizetype at = random.bounded(victim.size());
                    victim[at] = char(random.bounded(256));
                }
                break;
            case 1: // cut short
                victim.truncate(random.bounded(victim.size()));
                break;
            case 2: // a piece repeated
            {
                const qsizetype at = random.bounded(victim.size());
                victim.insert(at, victim.mid(at, 1 + random.bounded(40)));
                break;
            }
            default: // a piece left out
                victim.remove(random.bounded(victim.size()), 1 + random.bounded(40));
                break;
            }
            KeyLog keys;
            keys.addText(pair.keyLogLines);
            Reading reading(keys);
            reading.feed(client, server, random.bounded(2) ? 0 : 1 + random.bounded(200), random.bounded(2));
            reading.session.retry(100000);
            QVERIFY(pair.serverReceived.startsWith(reading.data));
            QVERIFY(reading.session.state() != TlsSession::State::WaitingForSecret);
            reading.session.close();
            QCOMPARE(reading.session.state(), TlsSession::State::Ended);
        }
    }

    // A session that goes forgets its secrets, even the ones it has not used.
    void destroyedSessionForgets()
    {
        test::TlsPair pair({TLS1_3_VERSION, ""});
        QVERIFY2(pair.handshake(), qPrintable(pair.error()));
        QVERIFY(pair.write("hello"));
        KeyLog keys;
        keys.addText(linesLabelled(pair.keyLogLines, {"CLIENT_HANDSHAKE_TRAFFIC_SECRET"}));
        const ClientRandom random = clientRandomOf(pair.clientToServer);
        {
            Reading reading(keys);
            reading.feed(pair.clientToServer, pair.serverToClient);
            QCOMPARE(reading.session.state(), TlsSession::State::WaitingForSecret);
            QVERIFY(keys.find(random));
        }
        QVERIFY(!keys.find(random));
    }
};

QTEST_APPLESS_MAIN(TestTls)
#include "test_tls.moc"
