// Live capture: the capture component with its helper on the real loopback interface and
// on veth pairs into network namespaces made here, IPv4 and IPv6, driven by real clients
// (curl, ping, openssl, a UDP sender). Needs root, as CI has it, or a helper that holds
// capture rights; the tests of capture rights need the group quorrel that ./quorrel.sh
// creates.

#include "base/gbk_text.h"
#include "capture/cap_ip.h"
#include "capture/frame_reader.h"
#include "capture/helper_reasons.h"
#include "intake/capture_filing.h"
#include "intake/capture_road.h"
#include "intake/live_intake.h"
#include "catalogue/catalogue.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "http2_frames.h"
#include "test_files.h"
#include "test_http_server.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace quorrel;
using quorrel::test::readFile;
using quorrel::test::writeFile;

namespace {

const QString kBin = QStringLiteral(QUORREL_BIN_DIR);
const QString kHelper = kBin + "/quorrel-capture";
const QString kCapSetProcFails = QStringLiteral(QUORREL_CAP_SET_PROC_FAILS);

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
    QVERIFY2(run("curl", QStringList{"-s", "-g", "-o", "/dev/null", "--max-time", "10"} + extra + QStringList{url}),
             qPrintable(url));
}

struct Seen {
    QString ip, proto, sourceIP, destIP, sourcePort, destPort;
    std::optional<QString> address;
    QByteArray head; // the payload's first 32 bytes
    int size = 0;    // the payload's size as delivered
    bool cut = false;
};

// Records what the component delivers, and files it as the window would.
class Recorder : public QObject {
public:
    Recorder(Tcap_ip &capture, Catalogue &catalogue)
    {
        connect(&capture, &Tcap_ip::OnCap, this, [this, &catalogue](const Datagram &d) {
            const CapturedRequest r = FileCapturedRequest(catalogue, d);
            const QByteArray head(reinterpret_cast<const char *>(d.data.data()), qMin<qsizetype>(d.data_size, 32));
            seen.append({d.ipText(), d.proto(), d.sourceIP(), d.destIP(), d.SourcePort(), d.DestPort(), r.address,
                         head, d.data_size, d.cut});
        });
        connect(&capture, &Tcap_ip::OnError, this, [this](const QString &e) { errors << e; });
        connect(&capture, &Tcap_ip::OnDrop, this, [this](quint64 n) { dropped += n; });
    }
    bool sawAddress(const QString &address, const QString &ip) const
    {
        return std::any_of(seen.begin(), seen.end(), [&](const Seen &s) { return s.address == address && s.ip == ip; });
    }
    QList<Seen> from(const QString &source) const
    {
        QList<Seen> found;
        for (const Seen &s : seen)
            if (s.sourceIP == source)
                found << s;
        return found;
    }
    QList<Seen> seen;
    QStringList errors;
    quint64 dropped = 0;
};

std::vector<LocalAddress> loopbackOnly()
{
    return {{QStringLiteral("lo"), IpAddress::v4(0x7F000001), QStringLiteral("127.0.0.1")}};
}

std::vector<LocalAddress> loopbackBoth()
{
    return {{QStringLiteral("lo"), IpAddress::v4(0x7F000001), QStringLiteral("127.0.0.1")},
            {QStringLiteral("lo"), *ParseIpAddress(u"::1"), QStringLiteral("::1")}};
}

// A capture of loopback alone through the given helper, filing into a catalogue of dir.
struct LoopbackCapture {
    Catalogue catalogue;
    Tcap_ip capture;
    Recorder recorder;
    LoopbackCapture(const QString &dir, const QString &helper, Tcap_ip::AddressSource source = &loopbackOnly)
        : catalogue(dir, QStringLiteral("/tmp")), recorder(capture, catalogue)
    {
        catalogue.LoadSettings();
        capture.setHelperPath(helper);
        capture.setAddressSource(source);
    }
};
std::vector<LocalAddress> none()
{
    return {};
}
// 25 of each family: 127.0.0.1 to 127.0.0.25 (all of them loopback's), and ::1 over again.
std::vector<LocalAddress> tooMany()
{
    std::vector<LocalAddress> list;
    for (int i = 0; i < 25; ++i) {
        list.push_back({QStringLiteral("lo"), IpAddress::v4(0x7F000001u + std::uint32_t(i)), QStringLiteral("127.0.0.%1").arg(i + 1)});
        list.push_back({QStringLiteral("lo"), *ParseIpAddress(u"::1"), QStringLiteral("::1")});
    }
    return list;
}

QByteArray musicConfig()
{
    return toGbk(QStringLiteral("[XT]\r\nmaxtype=2\r\n2=.mp3\r\nlxmc=01-网页连接;02-音乐;\r\n"));
}

// A host of the test's own behind a veth pair, in a network namespace named after the
// test's pid: this end holds `here`, the namespace's end `there`. Each one made in a run
// gets a subnet of its own (IPv4 10.213.x.y/30, IPv6 a unique-local /64), so runs of
// other people at the same time do not meet.
struct FarHost {
    QString ns;
    QString veth;
    QString here;
    QString there;
    bool up = false;

    FarHost(bool v6, int serial)
    {
        const int pid = int(::getpid());
        ns = QStringLiteral("quorrel-test-%1-%2").arg(pid).arg(serial);
        veth = QStringLiteral("qv%1x%2").arg(pid % 100000).arg(serial);
        if (v6) {
            const QString prefix = QStringLiteral("fd71:7172:%1:%2::").arg(pid & 0xFFFF, 0, 16).arg(serial);
            here = prefix + "1";
            there = prefix + "2";
        } else {
            const QString prefix = QStringLiteral("10.213.%1.").arg(pid % 250);
            here = prefix + QString::number(4 * serial + 1);
            there = prefix + QString::number(4 * serial + 2);
        }
        if (!run("ip", {"netns", "add", ns}))
            return;
        const QString bits = v6 ? "/64" : "/30";
        const QStringList noDad = v6 ? QStringList{"nodad"} : QStringList{};
        up = run("ip", {"link", "add", veth, "type", "veth", "peer", "name", "eth0", "netns", ns})
            && run("ip", QStringList{"addr", "add", here + bits, "dev", veth} + noDad)
            && run("ip", {"link", "set", veth, "up"})
            && exec(QStringList{"ip", "addr", "add", there + bits, "dev", "eth0"} + noDad)
            && exec({"ip", "link", "set", "eth0", "up"}) && exec({"ip", "link", "set", "lo", "up"});
    }
    ~FarHost()
    {
        run("ip", {"link", "del", veth});
        run("ip", {"netns", "del", ns});
    }
    bool exec(const QStringList &args, int timeoutMs = 10000) const
    {
        return run("ip", QStringList{"netns", "exec", ns} + args, timeoutMs);
    }
    // A program left running on the far host.
    void start(QProcess &p, const QStringList &args, const QString &dir = {}) const
    {
        if (!dir.isEmpty())
            p.setWorkingDirectory(dir);
        p.start("ip", QStringList{"netns", "exec", ns} + args);
    }
    QString url(int port, const QString &path, const QString &scheme = QStringLiteral("http")) const
    {
        return QStringLiteral("%1://%2:%3%4").arg(scheme, there.contains(':') ? "[" + there + "]" : there).arg(port).arg(path);
    }
};

int farHosts = 0;

struct HelperRun {
    int status = -1;
    QString err;
    QList<frame::FrameType> frames;
    QStringList errors; // the bodies of Error frames
};

// Runs the helper as it is run, and reads what it writes as the component would.
HelperRun runHelper(const QString &helper, const QStringList &args, const QStringList &environment = {})
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &e : environment)
        env.insert(e.section('=', 0, 0), e.section('=', 1));
    p.setProcessEnvironment(env);
    p.start(helper, args);
    p.waitForStarted();
    p.closeWriteChannel(); // an open capture ends at once
    p.waitForFinished(10000);
    HelperRun r;
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.err = QString::fromUtf8(p.readAllStandardError());
    const QByteArray out = p.readAllStandardOutput();
    FrameReader reader;
    reader.feed(Bytes(reinterpret_cast<const std::byte *>(out.constData()), std::size_t(out.size())));
    PipeFrame f;
    while (reader.next(f) == FrameReader::Next::Frame) {
        r.frames << f.type;
        if (f.type == frame::FrameType::Error)
            r.errors << QString::fromUtf8(reinterpret_cast<const char *>(f.body.data()), qsizetype(f.body.size()));
    }
    return r;
}

// Sends count UDP datagrams over loopback, as fast as it can, each "TAG NNNNNN" and
// 100 bytes long, to a socket of its own that takes them.
QStringList udpBurst(const QString &tag, int count)
{
    return {"-c",
            "import socket,sys\n"
            "n=int(sys.argv[1]); tag=sys.argv[2].encode()\n"
            "r=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); r.bind(('127.0.0.1',0))\n"
            "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
            "for i in range(n): s.sendto((tag+b' %06d '%i).ljust(100,b'.'),r.getsockname())\n",
            QString::number(count), tag};
}

// The numbers of the burst's datagrams among what was seen, in the order delivered.
QList<int> burstNumbers(const Recorder &r, const QString &tag)
{
    const QByteArray prefix = tag.toLatin1() + ' ';
    QList<int> numbers;
    for (const Seen &s : r.seen)
        if (s.proto == "UDP" && s.head.startsWith(prefix))
            numbers << s.head.mid(prefix.size(), 6).toInt();
    return numbers;
}

} // namespace

class TestLive : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void loopbackRequestIsFiled();
    void ipv6OverLoopback();
    void pingIsIcmpEcho();
    void pauseStopAndRestart();
    void bindingFailures_data();
    void bindingFailures();
    void addressRules();
    void burstInOrder();
    void dropsAreReported();
    void helperRefuses_data();
    void helperRefuses();
    void capabilityDropFailureIsFatal();
    void captureRights_data();
    void captureRights();
    void everyLocalAddressInANamespace_data();
    void everyLocalAddressInANamespace();
    void serverHelloCrossesBulkDoesNot_data();
    void serverHelloCrossesBulkDoesNot();
    void restartKeepsOpenConnections();

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
    // Others' traffic on loopback is seen too: the request's own datagram is looked at.
    const auto request = std::find_if(r.seen.begin(), r.seen.end(), [&](const Seen &s) { return s.address == url; });
    QCOMPARE(request->proto, QStringLiteral("TCP"));
    QCOMPARE(request->destPort, QString::number(server.serverPort()));
}

// curl -g to a server of the test's own on ::1: filed with the brackets of the Host line.
void TestLive::ipv6OverLoopback()
{
    TinyServer server(QHostAddress::LocalHostIPv6);
    LoopbackCapture live(m_dir.path(), kHelper, &loopbackBoth);
    auto &[catalogue, capture, r] = live;
    capture.StartCap();
    QCOMPARE(capture.FAddresses(), QStringList({"127.0.0.1", "::1"}));
    QTRY_COMPARE_WITH_TIMEOUT(capture.liveCaptures(), 2, 5000);

    const QString url = QStringLiteral("http://[::1]:%1/v6/song.mp3").arg(server.serverPort());
    fetch(url);
    QTRY_VERIFY_WITH_TIMEOUT(r.sawAddress(url, "::1"), 5000);
    const TreeNode *node = catalogue.tree().FindByCaption(url);
    QVERIFY(node);
    QCOMPARE(node->parent()->caption(), QStringLiteral("02-音乐"));
    const auto request = std::find_if(r.seen.begin(), r.seen.end(), [&](const Seen &s) { return s.address == url; });
    QCOMPARE(request->proto, QStringLiteral("TCP"));
    QCOMPARE(request->sourceIP, QStringLiteral("::1"));
    QCOMPARE(request->destIP, QStringLiteral("::1"));
    QCOMPARE(request->destPort, QString::number(server.serverPort()));
    QVERIFY2(r.errors.isEmpty(), qPrintable(r.errors.join('\n')));
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
    QTest::newRow("another protocol") << QByteArray("#!/bin/sh\necho 'quorrel-capture frames 1'\n") << kHelperMismatchMessage;
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

    // At most 20 of each family, in the order listed.
    capture.setAddressSource(&tooMany);
    capture.StartCap();
    QCOMPARE(capture.FAddresses().size(), 40);
    QCOMPARE(capture.FAddresses().count("::1"), 20);
    QVERIFY(capture.FAddresses().contains(QStringLiteral("127.0.0.20")));
    QVERIFY(!capture.FAddresses().contains(QStringLiteral("127.0.0.21")));
    QTRY_COMPARE_WITH_TIMEOUT(capture.liveCaptures(), 40, 10000);
    QCOMPARE(errors.size(), 1);
    capture.StopCap();

    // The real list: loopback is always there, and every entry is an address that is up.
    const std::vector<LocalAddress> real = GetLocalAddresses();
    QVERIFY(std::any_of(real.begin(), real.end(), [](const LocalAddress &a) { return a.text == "127.0.0.1"; }));
    for (IpFamily family : {IpFamily::V4, IpFamily::V6})
        QVERIFY(std::count_if(real.begin(), real.end(), [&](const LocalAddress &a) { return a.address.family == family; })
                <= qsizetype(kMaxLocalAddresses));
    for (const LocalAddress &a : real)
        QCOMPARE(AddressText(a.address), a.text);
}

// Several thousand datagrams in a burst: every one delivered, in the order sent, one event each.
void TestLive::burstInOrder()
{
    LoopbackCapture live(m_dir.path(), kHelper);
    auto &[catalogue, capture, r] = live;
    capture.StartCap();
    QTRY_COMPARE_WITH_TIMEOUT(capture.liveCaptures(), 1, 5000);

    const QString tag = QStringLiteral("qburst%1").arg(::getpid());
    constexpr int kCount = 5000;
    QVERIFY(run("python3", udpBurst(tag, kCount)));
    QTRY_COMPARE_WITH_TIMEOUT(burstNumbers(r, tag).size(), kCount, 10000);
    QTest::qWait(200);
    const QList<int> numbers = burstNumbers(r, tag);
    QCOMPARE(numbers.size(), kCount); // none twice
    for (int i = 0; i < kCount; ++i)
        QCOMPARE(numbers[i], i);
    QCOMPARE(capture.delivered(), quint64(r.seen.size())); // one event per datagram delivered
    QCOMPARE(capture.dropped(), 0u);
    QCOMPARE(r.dropped, 0u);
}

// The kernel drops what its ring cannot hold while the reader is held up (here: the test
// keeps the event loop from turning), and says so; the component passes it on.
void TestLive::dropsAreReported()
{
    const QString wrapper = m_dir.filePath("tiny-ring-helper");
    writeFile(wrapper, QStringLiteral("#!/bin/sh\nexec '%1' --ring-kib 256 \"$@\"\n").arg(kHelper).toLocal8Bit(), true);
    LoopbackCapture live(m_dir.path(), wrapper);
    auto &[catalogue, capture, r] = live;
    capture.StartCap();
    QTRY_COMPARE_WITH_TIMEOUT(capture.liveCaptures(), 1, 5000);

    const QString tag = QStringLiteral("qdrop%1").arg(::getpid());
    constexpr int kCount = 200'000;
    QCOMPARE(QProcess::execute("python3", udpBurst(tag, kCount)), 0); // no event is handled meanwhile
    // Every datagram was delivered or counted as lost (others' loopback traffic may add
    // to the losses, never to the burst).
    QTRY_VERIFY_WITH_TIMEOUT(quint64(burstNumbers(r, tag).size()) + capture.dropped() >= quint64(kCount), 20000);
    QVERIFY(capture.dropped() > 0);
    QCOMPARE(r.dropped, capture.dropped());
    const QList<int> numbers = burstNumbers(r, tag);
    qInfo("%lld of %d delivered, %llu reported lost", qlonglong(numbers.size()), kCount, capture.dropped());
    QVERIFY(numbers.size() < kCount);
    QVERIFY(std::is_sorted(numbers.begin(), numbers.end())); // what is lost is lost; the order stays
    QVERIFY2(r.errors.isEmpty(), qPrintable(r.errors.join('\n')));
}

// The helper takes literal addresses of this machine's interfaces and nothing else: it
// says why, exits with status 2 and opens nothing.
void TestLive::helperRefuses_data()
{
    using namespace helper_reasons;
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("says");   // on its standard error, for whoever runs it by hand
    QTest::addColumn<QString>("toUser"); // in the Error frame, for the window's log
    const auto user = [](const std::string &text) { return QString::fromStdString(text); };
    QTest::newRow("an address of another machine") << QStringList{"lo", "8.8.8.8"} << "8.8.8.8 is not an address of interface \"lo\""
                                                   << user(NotAnAddressOf("8.8.8.8", "lo"));
    QTest::newRow("an IPv6 address of another machine") << QStringList{"lo", "2001:db8::1"} << "2001:db8::1 is not an address"
                                                        << user(NotAnAddressOf("2001:db8::1", "lo"));
    QTest::newRow("a filter") << QStringList{"lo", "127.0.0.1 or port 80"} << "\"127.0.0.1 or port 80\" is not a literal"
                              << user(NotALiteralAddress("127.0.0.1 or port 80"));
    QTest::newRow("a filter word") << QStringList{"lo", "host"} << "\"host\" is not a literal" << user(NotALiteralAddress("host"));
    QTest::newRow("a name") << QStringList{"lo", "localhost"} << "\"localhost\" is not a literal"
                            << user(NotALiteralAddress("localhost"));
    QTest::newRow("a zone") << QStringList{"lo", "::1%lo"} << "\"::1%lo\" is not a literal" << user(NotALiteralAddress("::1%lo"));
    QTest::newRow("a short IPv4 form") << QStringList{"lo", "127.1"} << "\"127.1\" is not a literal"
                                       << user(NotALiteralAddress("127.1"));
    QTest::newRow("no such interface") << QStringList{"quorrel-none0", "127.0.0.1"}
                                       << "is not an address of interface \"quorrel-none0\""
                                       << user(NotAnAddressOf("127.0.0.1", "quorrel-none0"));
    QTest::newRow("a good pair, then a foreign one") << QStringList{"lo", "127.0.0.1", "lo", "192.0.2.200"} << "192.0.2.200 is not"
                                                     << user(NotAnAddressOf("192.0.2.200", "lo"));
    QTest::newRow("an option it does not know") << QStringList{"--snaplen", "5", "lo", "127.0.0.1"} << "unknown option \"--snaplen\""
                                                << user(BadArguments("unknown option \"--snaplen\""));
    QTest::newRow("a ring out of range") << QStringList{"--ring-kib", "1", "lo", "127.0.0.1"} << "--ring-kib"
                                         << user(BadArguments("--ring-kib: \"1\""));
    QTest::newRow("rings over the bound in all") << QStringList{"--ring-kib", "262144", "lo", "127.0.0.1", "lo", "::1"}
                                                 << "more than 262144 KiB in all" << user(BadArguments("--ring-kib: 262144 KiB"));
    QTest::newRow("an address without an interface") << QStringList{"127.0.0.1"} << "usage:" << user(BadArguments("usage:"));
}

void TestLive::helperRefuses()
{
    QFETCH(QStringList, args);
    QFETCH(QString, says);
    QFETCH(QString, toUser);
    const HelperRun h = runHelper(kHelper, args);
    QCOMPARE(h.status, 2);
    QVERIFY2(h.err.startsWith("quorrel-capture: ") && h.err.contains(says), qPrintable(h.err));
    QVERIFY(!h.frames.contains(frame::FrameType::Opened)); // nothing opened
    QVERIFY(!h.frames.contains(frame::FrameType::Frame));
    QCOMPARE(h.errors.size(), 1); // and the program is told why
    QVERIFY2(h.errors.first().startsWith(toUser), qPrintable(h.errors.first()));
}

// A helper that cannot give up its rights captures nothing: a library that makes
// cap_set_proc fail is preloaded into a copy of it (without file capabilities, so the
// loader honours the preload).
void TestLive::capabilityDropFailureIsFatal()
{
    const QString copy = m_dir.filePath("quorrel-capture-copy");
    QFile::remove(copy);
    QVERIFY(QFile::copy(kHelper, copy));
    const HelperRun h = runHelper(copy, {"lo", "127.0.0.1", "lo", "::1"}, {"LD_PRELOAD=" + kCapSetProcFails});
    QCOMPARE(h.status, 1);
    QVERIFY2(h.err.contains("could not give up the capture rights: cap_set_proc"), qPrintable(h.err));
    QCOMPARE(h.frames, QList<frame::FrameType>({frame::FrameType::Error, frame::FrameType::Error}));
    const QString rightsKept = QString::fromStdString(helper_reasons::kRightsKept) + "cap_set_proc";
    QVERIFY2(h.errors.first().startsWith(QString::fromStdString(helper_reasons::Where("127.0.0.1", "lo")) + rightsKept),
             qPrintable(h.errors.first()));

    // Through the component: both captures fail, with the reason.
    LoopbackCapture live(m_dir.path(), QString(), &loopbackBoth);
    qputenv("LD_PRELOAD", kCapSetProcFails.toLocal8Bit());
    live.capture.setHelperPath(copy);
    live.capture.StartCap();
    qunsetenv("LD_PRELOAD");
    QTRY_VERIFY_WITH_TIMEOUT(!live.capture.settling(), 5000);
    QCOMPARE(live.capture.liveCaptures(), 0);
    QVERIFY(!live.recorder.errors.isEmpty());
    QVERIFY2(live.recorder.errors.first().contains(rightsKept),
             qPrintable(live.recorder.errors.join('\n')));
}

// Who may capture: the members of the group quorrel, through a helper that is
// root:quorrel 0750 with its capabilities. Run as nobody, out of the group and in it.
// What to do is told as it applies: the programs in a folder nobody may write to count as
// installed (an administrator's to set up), in one nobody owns as a build folder, where
// ./quorrel.sh sets things up.
void TestLive::captureRights_data()
{
    QTest::addColumn<bool>("inGroup");
    QTest::addColumn<bool>("capabilities");
    QTest::addColumn<bool>("buildFolder");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("says"); // on standard error
    QTest::addColumn<QStringList>("never"); // nor these
    const QString join = "sudo usermod -aG quorrel nobody";
    // The set-up's own commands, the same wherever the advice is given: the package gives an
    // installed helper its rights; a build folder's helper gets them from its set-up
    // script, never from a bare setcap line.
    const QString setcap = "setcap cap_net_raw";
    const QString setUp = "sudo ./quorrel.sh setcap nobody";
    const QString package = "./quorrel.sh package";
    const QString reinstall = "sudo apt-get install --reinstall quorrel";
    QTest::newRow("outside the group, installed")
        << false << true << false << 2 << QStringList{kHelperMissingMessage, join} << QStringList{"quorrel.sh"};
    QTest::newRow("outside the group, in a build folder")
        << false << true << true << 2 << QStringList{kHelperMissingMessage, join, setUp, package} << QStringList{setcap};
    QTest::newRow("in the group") << true << true << false << 0 << QStringList{} << QStringList{};
    QTest::newRow("in the group, the helper without its rights, installed")
        << true << false << false << 2 << QStringList{"permission", reinstall} << QStringList{"quorrel.sh", "setcap"};
    QTest::newRow("in the group, the helper without its rights, in a build folder")
        << true << false << true << 2 << QStringList{"permission", setUp, package, join} << QStringList{setcap};
}

void TestLive::captureRights()
{
    QFETCH(bool, inGroup);
    QFETCH(bool, capabilities);
    QFETCH(bool, buildFolder);
    QFETCH(int, status);
    QFETCH(QStringList, says);
    QFETCH(QStringList, never);
    const group *quorrel = getgrnam("quorrel");
    if (!quorrel)
        QSKIP("no group quorrel here: ./quorrel.sh setcap (or ./quorrel.sh test) creates it");
    const gid_t gid = quorrel->gr_gid;

    // The programs in a folder that nobody may enter, the helper as the set-up leaves it.
    QTemporaryDir dir(QDir::tempPath() + "/quorrel-live-XXXXXX");
    QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                  | QFile::ReadOther | QFile::ExeOther | QFile::ReadGroup | QFile::ExeGroup));
    if (buildFolder)
        QVERIFY(::chown(QFile::encodeName(dir.path()).constData(), 65534, 65534) == 0);
    for (const char *name : {"quorrel-scan", "quorrel-capture"})
        QVERIFY(QFile::copy(kBin + "/" + name, dir.filePath(name)));
    const QString helper = dir.filePath("quorrel-capture");
    QVERIFY(::chown(QFile::encodeName(helper).constData(), 0, gid) == 0);
    QVERIFY(::chmod(QFile::encodeName(helper).constData(), 0750) == 0);
    if (capabilities)
        QVERIFY(run("setcap", {"cap_net_raw=eip", helper}));
    writeFile(dir.filePath("config.ini"), musicConfig());
    QFile::setPermissions(dir.filePath("config.ini"), QFile::ReadOwner | QFile::ReadOther | QFile::ReadGroup);

    TinyServer server(QHostAddress::LocalHost);
    const QString url = QStringLiteral("http://127.0.0.1:%1/rights.mp3").arg(server.serverPort());
    QProcess scan;
    const QString groups = inGroup ? QStringLiteral("--groups=%1").arg(gid) : QStringLiteral("--clear-groups");
    scan.start("setpriv", {"--reuid=65534", "--regid=65534", groups, dir.filePath("quorrel-scan"), "--dir", dir.path(),
                           "--live", "--seconds", "3"});
    QVERIFY(scan.waitForStarted());
    QTest::qWait(1500); // the captures open
    fetch(url);
    QTRY_VERIFY_WITH_TIMEOUT(scan.state() == QProcess::NotRunning, 10000);
    const QString out = QString::fromUtf8(scan.readAllStandardOutput());
    const QString err = QString::fromUtf8(scan.readAllStandardError());
    QVERIFY2(scan.exitCode() == status, qPrintable(err));
    for (const QString &s : says)
        QVERIFY2(err.contains(s), qPrintable(err));
    for (const QString &n : never)
        QVERIFY2(!err.contains(n), qPrintable(err));
    QCOMPARE(out.contains("\t" + url + "\t02\t"), status == 0);
    if (status == 0) // the summary counts what the kernel dropped
        QVERIFY2(err.contains(QRegularExpression(" s per 100,000 datagrams\\), \\d+ datagrams lost, \\d+ flows read, \\d+ TLS sessions decrypted, \\d+ without a secret\n$")), qPrintable(err));
}

// Every local address is captured, the one of a veth pair too, IPv4 and IPv6: what this
// host sends from it is filed under it; what the far host sends here never reaches the
// program at all (the kernel keeps it).
void TestLive::everyLocalAddressInANamespace_data()
{
    QTest::addColumn<bool>("v6");
    QTest::newRow("IPv4") << false;
    QTest::newRow("IPv6, unique-local") << true;
}

void TestLive::everyLocalAddressInANamespace()
{
    QFETCH(bool, v6);
    FarHost far(v6, farHosts++);
    if (!far.up)
        QSKIP("cannot make a network namespace with a veth pair here");

    QProcess farServer;
    // Unbuffered, so its first line says when it listens.
    far.start(farServer, {"python3", "-u", "-m", "http.server", "18093", "--bind", far.there, "--directory", m_dir.path()});
    QVERIFY(farServer.waitForStarted());
    const auto stopFar = qScopeGuard([&] {
        farServer.kill();
        farServer.waitForFinished();
    });
    TinyServer here;

    Catalogue catalogue(m_dir.path(), "/tmp");
    catalogue.LoadSettings();
    Tcap_ip capture;
    capture.setHelperPath(kHelper);
    Recorder r(capture, catalogue);
    capture.StartCap(); // every local address, the veth one among them
    QVERIFY2(capture.FAddresses().contains(far.here), qPrintable(capture.FAddresses().join(' ')));
    QTRY_VERIFY_WITH_TIMEOUT(!capture.settling(), 5000);
    // The far server comes up: a busy machine may take seconds to start Python.
    QByteArray farSaid;
    QTRY_VERIFY_WITH_TIMEOUT((farSaid += farServer.readAllStandardOutput()).contains("Serving HTTP"), 20000);

    // Sent from this host's address on the veth: filed under that address.
    const QString sent = far.url(18093, "/sent.mp3");
    fetch(sent);
    QTRY_VERIFY_WITH_TIMEOUT(r.sawAddress(sent, far.here), 5000);
    QVERIFY(catalogue.tree().FindByCaption(sent));

    // Sent by the far host to this one: not delivered at all, so not filed either.
    const QString hereUrl = QStringLiteral("http://%1:%2/received.mp3")
                                .arg(v6 ? "[" + far.here + "]" : far.here)
                                .arg(here.serverPort());
    QVERIFY(far.exec({"curl", "-s", "-g", "-o", "/dev/null", "--max-time", "5", hereUrl}));
    QTest::qWait(500);
    QVERIFY(!catalogue.tree().FindByCaption(hereUrl));
    QCOMPARE(r.from(far.there).size(), 0); // the far server's replies neither
    QVERIFY(!r.from(far.here).isEmpty());
    QVERIFY2(r.errors.isEmpty(), qPrintable(r.errors.join('\n')));
}

// A TLS server on the far host, on a port that is not 443: its ServerHello reaches the
// program, the body of the same connection stays in the kernel.
void TestLive::serverHelloCrossesBulkDoesNot_data()
{
    QTest::addColumn<bool>("v6");
    QTest::newRow("IPv4") << false;
    QTest::newRow("IPv6") << true;
}

void TestLive::serverHelloCrossesBulkDoesNot()
{
    QFETCH(bool, v6);
    FarHost far(v6, farHosts++);
    if (!far.up)
        QSKIP("cannot make a network namespace with a veth pair here");

    QTemporaryDir site;
    QVERIFY(run("openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-subj",
                            "/CN=quorrel-test", "-days", "1", "-keyout", site.filePath("key.pem"), "-out",
                            site.filePath("cert.pem")}));
    constexpr int kBody = 4 << 20;
    writeFile(site.filePath("big.bin"), QByteArray(kBody, 'b'));
    QProcess tlsServer;
    far.start(tlsServer, {"openssl", "s_server", v6 ? "-6" : "-4", "-accept", "18443", "-cert", site.filePath("cert.pem"),
                          "-key", site.filePath("key.pem"), "-WWW", "-quiet"},
              site.path());
    QVERIFY(tlsServer.waitForStarted());
    const auto stopServer = qScopeGuard([&] {
        tlsServer.kill();
        tlsServer.waitForFinished();
    });

    Catalogue catalogue(m_dir.path(), "/tmp");
    catalogue.LoadSettings();
    Tcap_ip capture;
    capture.setHelperPath(kHelper);
    Recorder r(capture, catalogue);
    capture.StartCap();
    QTRY_VERIFY_WITH_TIMEOUT(!capture.settling(), 5000);
    QTest::qWait(500); // the server comes up

    const QString outFile = site.filePath("fetched.bin");
    QVERIFY(run("curl", {"-s", "-g", "-k", "--max-time", "20", "-o", outFile, far.url(18443, "/big.bin", "https")}, 25000));
    QCOMPARE(QFileInfo(outFile).size(), qint64(kBody));
    QTest::qWait(500);

    // Handshake records: content type 22, version 3.x; byte 5 is the handshake type.
    const auto handshake = [](const Seen &s, int type) {
        return s.head.size() >= 6 && s.head[0] == 0x16 && s.head[1] == 0x03 && s.head[5] == char(type);
    };
    const QList<Seen> received = r.from(far.there);
    QVERIFY(std::any_of(received.begin(), received.end(), [&](const Seen &s) { return handshake(s, 2); }));
    const QList<Seen> sent = r.from(far.here);
    QVERIFY(std::any_of(sent.begin(), sent.end(), [&](const Seen &s) { return handshake(s, 1); }));
    qint64 bytes = 0;
    for (const Seen &s : received)
        bytes += s.size;
    qInfo("%lld payload bytes crossed from the server, of a %d-byte body", bytes, kBody);
    QVERIFY2(bytes < 128 * 1024, qPrintable(QStringLiteral("%1 bytes of %2 crossed").arg(bytes).arg(kBody)));
    QVERIFY2(r.errors.isEmpty(), qPrintable(r.errors.join('\n')));
}

QTEST_GUILESS_MAIN(TestLive)
// A capture stopped and started again goes on reading the connections open before: an
// HTTP/2 connection (prior knowledge, over loopback) whose next request, met by a new
// helper in the middle of the connection, begins with no request line at all.
void TestLive::restartKeepsOpenConnections()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    QList<QTcpSocket *> accepted;
    connect(&server, &QTcpServer::newConnection, &server, [&] {
        while (QTcpSocket *s = server.nextPendingConnection())
            accepted << s; // read nothing, answer nothing: the client's side is what counts
    });
    Catalogue catalogue(m_dir.path(), "/tmp");
    catalogue.LoadSettings();
    CaptureRoad road(catalogue);
    LiveIntake intake(road);
    intake.capture().setHelperPath(kHelper);
    intake.capture().setAddressSource(&loopbackOnly);
    intake.start();
    QTRY_COMPARE_WITH_TIMEOUT(intake.capture().liveCaptures(), 1, 5000);

    const QByteArray authority = "127.0.0.1:" + QByteArray::number(server.serverPort());
    const auto url = [&](const char *path) { return QString::fromLatin1("http://" + authority + path); };
    quorrel::test::Deflater deflater;
    const auto get = [&](std::uint32_t stream, const char *path) {
        const QByteArray block = deflater.block({{":method", "GET"}, {":scheme", "http"}, {":authority", authority}, {":path", path}});
        return quorrel::test::frame(0x1, 0x5, stream, block); // HEADERS, END_STREAM | END_HEADERS
    };
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    QVERIFY(client.waitForConnected(5000));
    client.write("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" + quorrel::test::frame(0x4, 0, 0, {}) + get(1, "/one.mp3"));
    QTRY_VERIFY_WITH_TIMEOUT(catalogue.tree().FindByCaption(url("/one.mp3")), 5000);

    intake.stop();
    intake.start();
    QTRY_COMPARE_WITH_TIMEOUT(intake.capture().liveCaptures(), 1, 5000);
    client.write(get(3, "/two.mp3"));
    QTRY_VERIFY_WITH_TIMEOUT(catalogue.tree().FindByCaption(url("/two.mp3")), 5000);
    intake.stop();
}

#include "test_live.moc"
