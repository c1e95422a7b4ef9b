// Live capture: the capture component with its helper on the real loopback interface and
// on a veth pair into a network namespace made here, driven by real clients (curl, ping).
// Needs root, as CI has it, or a helper that holds capture rights.

#include "base/gbk_text.h"
#include "capture/cap_ip.h"
#include "catalogue/capture_filing.h"
#include "catalogue/catalogue.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "test_files.h"
#include "test_http_server.h"

#include <unistd.h>

using namespace quorrel;
using quorrel::test::readFile;
using quorrel::test::writeFile;

namespace {

const QString kBin = QStringLiteral(QUORREL_BIN_DIR);
const QString kHelper = kBin + "/quorrel-capture";

// A web server of the test's own: answers every request with a short body.
class TinyServer : public quorrel::test::HttpServer {
public:
    explicit TinyServer(const QHostAddress &address = QHostAddress::Any)
        : HttpServer([](const QByteArray &) { return reply("200 OK", "hello"); }, address)
    {
    }
};

bool run(const QString &program, const QStringList &args, int timeoutMs = 10000)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForStarted(timeoutMs))
        return false;
    // Keep the event loop turning: the capture is read on this thread.
    QElapsedTimer t;
    t.start();
    while (p.state() != QProcess::NotRunning && t.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        p.waitForFinished(10);
    }
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

void fetch(const QString &url, const QStringList &extra = {})
{
    QVERIFY2(run("curl", QStringList{"-s", "-o", "/dev/null", "--max-time", "5"} + extra + QStringList{url}),
             qPrintable(url));
}

struct Seen {
    QString ip, proto, sourceIP, destIP, sourcePort, destPort;
    std::optional<QString> address;
};

// Records what the component delivers, and files it as the window would.
class Recorder : public QObject {
public:
    Recorder(Tcap_ip &capture, Catalogue &catalogue)
    {
        connect(&capture, &Tcap_ip::OnCap, this, [this, &catalogue](const Datagram &d) {
            const CapturedRequest r = FileCapturedRequest(catalogue, false, d);
            seen.append({d.ipText(), d.proto(), d.sourceIP(), d.destIP(), d.SourcePort(), d.DestPort(), r.address});
        });
        connect(&capture, &Tcap_ip::OnError, this, [this](const QString &e) { errors << e; });
    }
    bool sawAddress(const QString &address, const QString &ip) const
    {
        return std::any_of(seen.begin(), seen.end(), [&](const Seen &s) { return s.address == address && s.ip == ip; });
    }
    QList<Seen> seen;
    QStringList errors;
};

std::vector<LocalAddress> loopbackOnly()
{
    return {{QStringLiteral("lo"), 0x7F000001, QStringLiteral("127.0.0.1")}};
}

// A capture of loopback alone through the given helper, filing into a catalogue of dir.
struct LoopbackCapture {
    Catalogue catalogue;
    Tcap_ip capture;
    Recorder recorder;
    LoopbackCapture(const QString &dir, const QString &helper)
        : catalogue(dir, QStringLiteral("/tmp")), recorder(capture, catalogue)
    {
        catalogue.LoadSettings();
        capture.setHelperPath(helper);
        capture.setAddressSource(&loopbackOnly);
    }
};
std::vector<LocalAddress> none()
{
    return {};
}
std::vector<LocalAddress> tooMany()
{
    std::vector<LocalAddress> list;
    for (int i = 0; i < 25; ++i)
        list.push_back({QStringLiteral("lo"), 0x7F000001u + std::uint32_t(i), QStringLiteral("127.0.0.%1").arg(i + 1)});
    return list;
}


QByteArray musicConfig()
{
    return toGbk(QStringLiteral("[XT]\r\nmaxtype=2\r\n2=.mp3\r\nlxmc=01-网页连接;02-音乐;\r\n"));
}

} // namespace

class TestLive : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void loopbackRequestIsFiled();
    void pingIsIcmpEcho();
    void pauseStopAndRestart();
    void bindingFailures_data();
    void bindingFailures();
    void addressRules();
    void unprivilegedReader();
    void everyLocalAddressInANamespace();

private:
    QTemporaryDir m_dir;
};

void TestLive::initTestCase()
{
    if (::geteuid() != 0)
        QSKIP("live capture tests need root (CI runs them as root)");
    writeFile(m_dir.filePath("config.ini"), musicConfig());
}

void TestLive::loopbackRequestIsFiled()
{
    TinyServer server(QHostAddress::LocalHost);
    LoopbackCapture live(m_dir.path(), kHelper);
    auto &[catalogue, capture, r] = live;
    capture.StartCap();
    QTRY_COMPARE_WITH_TIMEOUT(capture.liveCaptures(), 1, 5000);

    const QString url = QStringLiteral("http://127.0.0.1:%1/x/y.mp3").arg(server.serverPort());
    fetch(url);
    QTRY_VERIFY_WITH_TIMEOUT(r.sawAddress(url, "127.0.0.1"), 5000);
    const TreeNode *node = catalogue.tree().FindByCaption(url);
    QVERIFY(node);
    QCOMPARE(node->parent()->caption(), QStringLiteral("02-音乐"));
    QVERIFY(r.errors.isEmpty());
    const Seen &first = r.seen.first();
    QCOMPARE(first.proto, QStringLiteral("TCP"));
    QCOMPARE(first.destPort, QString::number(server.serverPort()));
}

void TestLive::pingIsIcmpEcho()
{
    LoopbackCapture live(m_dir.path(), kHelper);
    auto &[catalogue, capture, r] = live;
    capture.StartCap();
    QTRY_COMPARE_WITH_TIMEOUT(capture.liveCaptures(), 1, 5000);
    QVERIFY(run("ping", {"-c1", "-W2", "127.0.0.1"}));
    const auto echo = [&r] {
        return std::any_of(r.seen.begin(), r.seen.end(), [](const Seen &s) {
            return s.proto == "ICMP" && s.sourcePort == "8" && s.destPort == "0" && s.sourceIP == "127.0.0.1"
                && s.destIP == "127.0.0.1" && s.ip == "127.0.0.1";
        });
    };
    QTRY_VERIFY_WITH_TIMEOUT(echo(), 5000);
}

void TestLive::pauseStopAndRestart()
{
    // A helper that notes every binding probe, so a restart can be seen not to bind again.
    const QString probes = m_dir.filePath("probes");
    const QString wrapper = m_dir.filePath("counting-helper");
    writeFile(wrapper, QStringLiteral("#!/bin/sh\n[ \"$1\" = --protocol ] && echo probe >>'%1'\nexec '%2' \"$@\"\n")
                           .arg(probes, kHelper)
                           .toLocal8Bit(),
              true);
    TinyServer server(QHostAddress::LocalHost);
    const auto url = [&](const char *name) { return QStringLiteral("http://127.0.0.1:%1/%2.mp3").arg(server.serverPort()).arg(name); };
    LoopbackCapture live(m_dir.path(), wrapper);
    auto &[catalogue, capture, r] = live;

    capture.PauseCap(); // before the first start: nothing to pause
    QVERIFY(!capture.FPaused());
    capture.StartCap();
    QTRY_COMPARE_WITH_TIMEOUT(capture.liveCaptures(), 1, 5000);

    capture.PauseCap();
    QVERIFY(capture.FPaused());
    fetch(url("paused"));
    QTest::qWait(300);
    QVERIFY(!r.sawAddress(url("paused"), "127.0.0.1"));
    capture.PauseCap();
    QVERIFY(!capture.FPaused());
    fetch(url("resumed"));
    QTRY_VERIFY_WITH_TIMEOUT(r.sawAddress(url("resumed"), "127.0.0.1"), 5000);

    capture.StopCap();
    const int before = r.seen.size();
    fetch(url("stopped"));
    QTest::qWait(300);
    QCOMPARE(r.seen.size(), before);
    capture.PauseCap(); // still toggles after a stop: the captures stay listed
    QVERIFY(capture.FPaused());
    capture.PauseCap();
    capture.StopCap(); // a second stop closes nothing

    capture.StartCap(); // as the one-second timer does after a stop
    QVERIFY(capture.FInitialized());
    QTRY_COMPARE_WITH_TIMEOUT(capture.liveCaptures(), 1, 5000);
    fetch(url("restarted"));
    QTRY_VERIFY_WITH_TIMEOUT(r.sawAddress(url("restarted"), "127.0.0.1"), 5000);
    QFile f(probes);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("probe\n")); // bound once
}

void TestLive::bindingFailures_data()
{
    QTest::addColumn<QByteArray>("script"); // empty: no helper at all
    QTest::addColumn<QString>("message");
    QTest::newRow("missing") << QByteArray() << kHelperMissingMessage;
    QTest::newRow("another protocol") << QByteArray("#!/bin/sh\necho 'quorrel-capture frames 0'\n") << kHelperMismatchMessage;
    QTest::newRow("does not start") << QByteArray("#!/bin/sh\nexit 3\n") << kHelperStartMessage;
}

void TestLive::bindingFailures()
{
    QFETCH(QByteArray, script);
    QFETCH(QString, message);
    const QString helper = m_dir.filePath(QString("helper-%1").arg(QTest::currentDataTag()).replace(' ', '-'));
    if (!script.isEmpty())
        writeFile(helper, script, true);
    Tcap_ip capture;
    capture.setHelperPath(helper);
    for (bool repeated : {false, true}) {
        try {
            capture.StartCap();
            QFAIL("StartCap did not fail");
        } catch (const ESocketException &e) {
            QCOMPARE(e.message(), message);
            QVERIFY(e.detail().contains(helper));
            QCOMPARE(e.repeated(), repeated); // the one-second retry is not news
        }
    }
    QVERIFY(!capture.FInitialized());
    capture.PauseCap();
    QVERIFY(!capture.FPaused());
}

void TestLive::addressRules()
{
    Tcap_ip capture;
    capture.setHelperPath(kHelper);
    QSignalSpy errors(&capture, &Tcap_ip::OnError);
    capture.setAddressSource(&none);
    capture.StartCap();
    QCOMPARE(errors.size(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), kNoAddressMessage);
    QVERIFY(capture.FAddresses().isEmpty());

    capture.setAddressSource(&tooMany);
    capture.StartCap();
    QCOMPARE(capture.FAddresses().size(), 20);
    QCOMPARE(capture.FAddresses().last(), QStringLiteral("127.0.0.20"));
    QTRY_COMPARE_WITH_TIMEOUT(capture.liveCaptures(), 20, 5000);
    capture.StopCap();

    // The real list: loopback is always there, and every entry is an address that is up.
    const std::vector<LocalAddress> real = GetLocalAddresses();
    QVERIFY(std::any_of(real.begin(), real.end(), [](const LocalAddress &a) { return a.text == "127.0.0.1"; }));
    QVERIFY(real.size() <= kMaxLocalAddresses);
}

void TestLive::unprivilegedReader()
{
    // The reading side runs as nobody; only the helper holds the capture rights.
    QTemporaryDir dir(QDir::tempPath() + "/quorrel-live-XXXXXX");
    QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                  | QFile::ReadOther | QFile::ExeOther | QFile::ReadGroup | QFile::ExeGroup));
    for (const char *name : {"quorrel-scan", "quorrel-capture"})
        QVERIFY(QFile::copy(kBin + "/" + name, dir.filePath(name)));
    writeFile(dir.filePath("config.ini"), musicConfig());
    QFile::setPermissions(dir.filePath("config.ini"), QFile::ReadOwner | QFile::ReadOther | QFile::ReadGroup);

    TinyServer server(QHostAddress::LocalHost);
    const QString url = QStringLiteral("http://127.0.0.1:%1/unprivileged.mp3").arg(server.serverPort());
    const auto scanAsNobody = [&](QProcess &p) {
        p.start("setpriv", {"--reuid=nobody", "--regid=nogroup", "--clear-groups", dir.filePath("quorrel-scan"),
                            "--dir", dir.path(), "--live", "--seconds", "3"});
        QVERIFY(p.waitForStarted());
    };

    // Without the helper's rights: the reason, and how to grant them.
    QProcess without;
    scanAsNobody(without);
    QTRY_VERIFY_WITH_TIMEOUT(without.state() == QProcess::NotRunning, 10000);
    QCOMPARE(without.exitCode(), 2);
    const QString err = QString::fromUtf8(without.readAllStandardError());
    QVERIFY2(err.contains("permission") && err.contains("setcap cap_net_raw,cap_net_admin=eip"), qPrintable(err));

    QVERIFY(run("setcap", {"cap_net_raw,cap_net_admin=eip", dir.filePath("quorrel-capture")}));
    QProcess with;
    scanAsNobody(with);
    QTest::qWait(1500); // the captures open
    fetch(url);
    QTRY_VERIFY_WITH_TIMEOUT(with.state() == QProcess::NotRunning, 10000);
    const QString out = QString::fromUtf8(with.readAllStandardOutput());
    QVERIFY2(with.exitCode() == 0, qPrintable(with.readAllStandardError()));
    QVERIFY2(out.contains("\t" + url + "\t02\t"), qPrintable(out));
}

void TestLive::everyLocalAddressInANamespace()
{
    // A host of the test's own behind a veth pair: 10.213.7.1 here, 10.213.7.2 there.
    const QString ns = QStringLiteral("quorrel-test-%1").arg(::getpid());
    const QString veth = QStringLiteral("qv%1").arg(::getpid() % 100000);
    if (!run("ip", {"netns", "add", ns}))
        QSKIP("cannot make a network namespace here");
    const auto cleanup = qScopeGuard([&] {
        run("ip", {"link", "del", veth});
        run("ip", {"netns", "del", ns});
    });
    QVERIFY(run("ip", {"link", "add", veth, "type", "veth", "peer", "name", "eth0", "netns", ns}));
    QVERIFY(run("ip", {"addr", "add", "10.213.7.1/30", "dev", veth}));
    QVERIFY(run("ip", {"link", "set", veth, "up"}));
    QVERIFY(run("ip", {"netns", "exec", ns, "ip", "addr", "add", "10.213.7.2/30", "dev", "eth0"}));
    QVERIFY(run("ip", {"netns", "exec", ns, "ip", "link", "set", "eth0", "up"}));
    QVERIFY(run("ip", {"netns", "exec", ns, "ip", "link", "set", "lo", "up"}));

    // A server on the far host, and one here.
    QProcess far;
    far.start("ip", {"netns", "exec", ns, "python3", "-m", "http.server", "18093", "--bind", "10.213.7.2",
                     "--directory", m_dir.path()});
    QVERIFY(far.waitForStarted());
    const auto stopFar = qScopeGuard([&] {
        far.kill();
        far.waitForFinished();
    });
    TinyServer here;

    Catalogue catalogue(m_dir.path(), "/tmp");
    catalogue.LoadSettings();
    Tcap_ip capture;
    capture.setHelperPath(kHelper);
    Recorder r(capture, catalogue);
    capture.StartCap(); // every local address, the veth one among them
    QVERIFY2(capture.FAddresses().contains("10.213.7.1"), qPrintable(capture.FAddresses().join(' ')));
    QTRY_VERIFY_WITH_TIMEOUT(!capture.settling(), 5000);
    QTest::qWait(1000); // the far server comes up

    // Sent from this host's second address: filed under that address.
    const QString sent = QStringLiteral("http://10.213.7.2:18093/sent.mp3");
    fetch(sent);
    QTRY_VERIFY_WITH_TIMEOUT(r.sawAddress(sent, "10.213.7.1"), 5000);
    QVERIFY(catalogue.tree().FindByCaption(sent));

    // Sent by the far host to this one: seen, but not taken as sent from here.
    const QString received = QStringLiteral("http://10.213.7.1:%1/received.mp3").arg(here.serverPort());
    QVERIFY(run("ip", {"netns", "exec", ns, "curl", "-s", "-o", "/dev/null", "--max-time", "5", received}));
    const auto sawIncoming = [&] {
        return std::any_of(r.seen.begin(), r.seen.end(), [](const Seen &s) {
            return s.ip == "10.213.7.1" && s.sourceIP == "10.213.7.2" && s.destPort != "18093";
        });
    };
    QTRY_VERIFY_WITH_TIMEOUT(sawIncoming(), 5000);
    QVERIFY(!catalogue.tree().FindByCaption(received));
    QVERIFY2(r.errors.isEmpty(), qPrintable(r.errors.join('\n')));
}

QTEST_GUILESS_MAIN(TestLive)
#include "test_live.moc"
