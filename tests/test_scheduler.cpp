// The download scheduler with real transfers from servers of the test's own on
// 127.0.0.1: one task at a time in list order, the resume question and its three
// answers, the unrecognised address, failures with their reasons, the gauge, the list
// emptied once nothing waits, and no tick while a question or a message is open.

#include "downloads/progress_meter.h"
#include "downloads/save_name.h"
#include "downloads/scheduler.h"
#include "downloads/transfer_reasons.h"

#include <QTemporaryDir>
#include <QtTest>

#include "test_files.h"
#include "test_http_server.h"
#include "test_peers.h"

using namespace quorrel;
using quorrel::test::readFile;
using quorrel::test::writeFile;

namespace {

// Serves /ok.bin (1000 bytes, with its length), /nolength.bin (the same, no length,
// closed at the end) and a 404 page for anything else.
class Server : public quorrel::test::HttpServer {
public:
    Server()
        : HttpServer([](const QByteArray &request) -> QByteArray {
              const QByteArray body = request.startsWith("HEAD") ? QByteArray() : QByteArray(1000, 'x');
              if (request.contains(" /ok.bin "))
                  return "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nConnection: close\r\n\r\n" + body;
              if (request.contains(" /nolength.bin "))
                  return "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body;
              return reply("404 Not Found", request.startsWith("HEAD") ? QByteArray() : QByteArray("not found"));
          })
    {
    }
    QString url(const char *path) const { return HttpServer::url(QLatin1String(path)); }
};

// Shows what the scheduler shows, and answers as the test says.
class Host : public SchedulerHost {
public:
    Resume answer = Resume::No;
    QStringList questions, messages, lines, passwords;
    QList<int> done, failed;
    bool gauge = false;
    qint64 maximum = -1, value = -1;

    Resume askResume(const QString &q) override { questions << q; return answer; }
    QString askFtpPassword(const QString &user) override { passwords << user; return QString(); }
    void inform(const QString &t) override { messages << t; }
    void log(const QString &l) override { lines << l; }
    void showGauge(bool shown) override { gauge = shown; }
    void setGaugeMaximum(qint64 m) override { maximum = m; }
    void setGaugeValue(qint64 v) override { value = v; }
    void taskDone(int row) override { done << row; }
    void taskFailed(int row) override { failed << row; }
};

// A host whose questions and messages stay open a while, as modal boxes do: each runs
// an event loop of its own, under which the timers go on firing. Whatever the scheduler
// does while a box is open is counted.
class SlowHost : public Host {
public:
    explicit SlowHost(TaskList &tasks)
    {
        QObject::connect(&tasks, &QAbstractItemModel::modelAboutToBeReset, [this] { note(); });
        QObject::connect(&tasks, &QAbstractItemModel::dataChanged, [this, &tasks] {
            note();
            int running = 0;
            for (int r = 0; r < tasks.count(); ++r)
                running += tasks.task(r).state == TaskState::Running;
            mostRunning = qMax(mostRunning, running);
        });
    }
    int boxes = 0;
    int underABox = 0;   // calls and changes while a box was open
    int mostRunning = 0; // rows Running at once

    Resume askResume(const QString &q) override { box(); return Host::askResume(q); }
    QString askFtpPassword(const QString &user) override { box(); return Host::askFtpPassword(user); }
    void inform(const QString &t) override { box(); Host::inform(t); }
    void log(const QString &l) override { note(); Host::log(l); }
    void showGauge(bool shown) override { note(); Host::showGauge(shown); }
    void taskDone(int row) override { note(); Host::taskDone(row); }
    void taskFailed(int row) override { note(); Host::taskFailed(row); }

private:
    void note() { underABox += m_open > 0; }
    void box()
    {
        note();
        ++boxes;
        ++m_open;
        QEventLoop loop;
        QTimer::singleShot(300, &loop, &QEventLoop::quit);
        loop.exec();
        --m_open;
    }
    int m_open = 0;
};

// A transfer's progress: (milliseconds, bytes done) one after the other.
using ProgressSteps = QList<QPair<qint64, qint64>>;

} // namespace

class TestScheduler : public QObject {
    Q_OBJECT
private slots:
    void init();
    void oneAtATimeInOrder();
    void resumeQuestion_data();
    void resumeQuestion();
    void failures();
    void emptyListAndBusy();
    void boxesHoldTheQueue_data();
    void boxesHoldTheQueue();
    void saveFolder_data();
    void saveFolder();
    void trimsBlanksOnly_data();
    void trimsBlanksOnly();
    void lastFtpSize();
    void progressMeter_data();
    void progressMeter();
    void resumedGaugeStartsAtItsBytes();

private:
    void tickUntilIdle(DownloadScheduler &s, TaskList &tasks);
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestScheduler::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
}

// Ticks as Timexzwj does, until every row has been dealt with.
void TestScheduler::tickUntilIdle(DownloadScheduler &s, TaskList &tasks)
{
    QElapsedTimer t;
    t.start();
    while (tasks.firstWaiting() >= 0 || s.busy()) {
        s.TimexzwjTimer();
        QTest::qWait(20);
        QVERIFY2(t.elapsed() < 20000, "the queue did not drain");
    }
}

void TestScheduler::oneAtATimeInOrder()
{
    Server server;
    TaskList tasks;
    Host host;
    DownloadScheduler s(tasks, host);
    tasks.AddTask(server.url("/ok.bin"), "one.bin", m_dir->path());
    tasks.AddTask(server.url("/nolength.bin"), "two.bin", m_dir->path());
    s.TimexzwjTimer();
    QCOMPARE(s.CurrentTask(), 0);
    QCOMPARE(tasks.task(0).state, TaskState::Running);
    QVERIFY(s.TransferBusy() && host.gauge);
    s.TimexzwjTimer(); // busy: the second waits
    QCOMPARE(tasks.task(1).state, TaskState::Waiting);
    QTRY_COMPARE_WITH_TIMEOUT(tasks.task(0).state, TaskState::Done, 10000);
    QCOMPARE(host.maximum, 1000); // the reply's length scales the gauge
    QCOMPARE(host.value, 1000);
    QVERIFY(!host.gauge);
    QCOMPARE(s.CurrentTask(), -1);
    tickUntilIdle(s, tasks);
    QCOMPARE(tasks.task(1).state, TaskState::Done);
    QCOMPARE(host.maximum, 0); // no stated length, no FTP size before: 0
    QCOMPARE(host.done, (QList<int>{0, 1}));
    QCOMPARE(readFile(m_dir->filePath("one.bin")), QByteArray(1000, 'x'));
    QCOMPARE(host.lines, (QStringList{"任务下载完毕： " + m_dir->filePath("one.bin"), "",
                                      "任务下载完毕： " + m_dir->filePath("two.bin"), ""}));
    s.TimexzwjTimer(); // nothing waits: the list is emptied
    QCOMPARE(tasks.count(), 0);
}

void TestScheduler::resumeQuestion_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("partial");    // the file there is the program's partial file
    QTest::addColumn<QByteArray>("before"); // what it holds
    QTest::addColumn<QByteArray>("file");   // under the final name at the end; null: none
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("logged");    // a line the log holds, before the path; empty: none asked for
    const QByteArray whole(1000, 'x');
    QTest::newRow("Yes resumes its partial file")
        << int(SchedulerHost::Resume::Yes) << true << QByteArray("xxxxx") << whole << int(TaskState::Done) << QString();
    QTest::newRow("Yes on a file it did not write: left alone")
        << int(SchedulerHost::Resume::Yes) << false << QByteArray("xxxxx") << QByteArray("xxxxx") << int(TaskState::Failed)
        << QString();
    QTest::newRow("Yes on a complete file: said so")
        << int(SchedulerHost::Resume::Yes) << false << whole << whole << int(TaskState::Done) << kAlreadyComplete();
    QTest::newRow("No writes again") << int(SchedulerHost::Resume::No) << false << QByteArray("xxxxx") << whole
                                     << int(TaskState::Done) << QString();
    QTest::newRow("No writes its partial file again")
        << int(SchedulerHost::Resume::No) << true << QByteArray("yyyyy") << whole << int(TaskState::Done) << QString();
    QTest::newRow("Cancel leaves the file") << int(SchedulerHost::Resume::Cancel) << false << QByteArray("xxxxx")
                                            << QByteArray("xxxxx") << int(TaskState::Failed) << kResumeCancelled();
    QTest::newRow("Cancel leaves a complete file") << int(SchedulerHost::Resume::Cancel) << false << whole << whole
                                                   << int(TaskState::Failed) << kResumeCancelled();
}

void TestScheduler::resumeQuestion()
{
    QFETCH(int, answer);
    QFETCH(bool, partial);
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, file);
    QFETCH(int, state);
    QFETCH(QString, logged);
    Server server;
    TaskList tasks;
    Host host;
    host.answer = SchedulerHost::Resume(answer);
    DownloadScheduler s(tasks, host);
    const QString path = m_dir->filePath("ok.bin");
    writeFile(partial ? PartialPath(path) : path, before);
    tasks.AddTask(server.url("/ok.bin"), "ok.bin", m_dir->path());
    tasks.AddTask(server.url("/ok.bin"), "after.bin", m_dir->path());
    tickUntilIdle(s, tasks);
    QCOMPARE(host.questions.first(), QStringLiteral("文件已经存在，是否续传？ \r") + path);
    QCOMPARE(int(tasks.task(0).state), state);
    QCOMPARE(readFile(path), file);
    if (!logged.isEmpty())
        QVERIFY2(host.lines.contains(logged + path), qPrintable(host.lines.join('|')));
    // Cancelled or refused, the program's partial file stays for a later resume.
    QCOMPARE(QFileInfo::exists(PartialPath(path)), partial && state == int(TaskState::Failed));
    // After any answer the queue goes on, and no gauge is left shown.
    QCOMPARE(tasks.task(1).state, TaskState::Done);
    QVERIFY(!host.gauge);
}

void TestScheduler::failures()
{
    Server server;
    TaskList tasks;
    Host host;
    DownloadScheduler s(tasks, host);
    tasks.AddTask("mms://a.test/x.wma", "x.wma", m_dir->path());
    tasks.AddTask(server.url("/missing.mp3"), "missing.mp3", m_dir->path());
    writeFile(m_dir->filePath("file"), "a file, where a folder would have to be");
    tasks.AddTask(server.url("/ok.bin"), "ok.bin", m_dir->filePath("file/folder"));
    tasks.AddTask("ftp://bob@127.0.0.1:1/x.zip", "x.zip", m_dir->path());
    tasks.AddTask("ftp://bob@127.0.0.1:1/y.zip", "y.zip", m_dir->filePath("file/folder"));
    tickUntilIdle(s, tasks);
    for (int r = 0; r < 5; ++r)
        QCOMPARE(tasks.task(r).state, TaskState::Failed); // none left Running
    QVERIFY(host.done.isEmpty());
    QCOMPARE(host.failed, (QList<int>{0, 1, 2, 3, 4}));
    // The unrecognised address and the save files that cannot be made are told at once;
    // an error status and a refused connection are logged, as every failure is.
    QCOMPARE(host.messages.size(), 3);
    QCOMPARE(host.messages[0], QStringLiteral("不可识别的地址！"));
    QVERIFY2(host.messages[1].contains(kFolderUnmakeable.arg(m_dir->filePath("file/folder"), QString())),
             qPrintable(host.messages[1]));
    QVERIFY2(host.messages[2].contains("file/folder"), qPrintable(host.messages[2]));
    QCOMPARE(host.lines.count(QStringLiteral("下载任务失败!")), 4);
    QVERIFY(host.lines.join('\n').contains(kServerError.arg("HTTP 404")));
    // No file is left behind by a failure before the first byte: the error page is
    // never saved, and no empty file stays.
    QVERIFY(!QFileInfo::exists(m_dir->filePath("missing.mp3")));
    QVERIFY(!QFileInfo::exists(m_dir->filePath("x.zip")));
    // Asked for, as the address names no password; not for y.zip, whose save file could
    // not be opened: the file comes first.
    QCOMPARE(host.passwords, QStringList{"bob"});
}

void TestScheduler::emptyListAndBusy()
{
    TaskList tasks;
    Host host;
    DownloadScheduler s(tasks, host);
    s.TimexzwjTimer();
    QVERIFY(!s.TransferBusy());
    QCOMPARE(s.CurrentTask(), -1);
    QVERIFY(host.lines.isEmpty() && host.questions.isEmpty());
}

void TestScheduler::boxesHoldTheQueue_data()
{
    QTest::addColumn<QStringList>("kinds"); // one task each, in order
    QTest::addColumn<QList<int>>("done");
    QTest::addColumn<QList<int>>("failed");
    QTest::addColumn<int>("boxes");
    // The failure box comes from the transfer's end, after the tick that started it.
    QTest::newRow("one task, its failure box open") << QStringList{"unmakeable"} << QList<int>{} << QList<int>{0} << 1;
    QTest::newRow("every question and message in one queue")
        << QStringList{"unmakeable", "exists", "password", "mms", "fresh", "unmakeable"} << QList<int>{1, 4}
        << QList<int>{0, 2, 3, 5} << 5;
}

// Timexzwj goes on firing while a box is open: no tick may start a row, clear the list
// or touch a row in that time, and the queue goes on once the box is closed.
void TestScheduler::boxesHoldTheQueue()
{
    QFETCH(QStringList, kinds);
    QFETCH(QList<int>, done);
    QFETCH(QList<int>, failed);
    QFETCH(int, boxes);
    Server server;
    TaskList tasks;
    SlowHost host(tasks);
    DownloadScheduler s(tasks, host);
    writeFile(m_dir->filePath("file"), "a file, where a folder would have to be");
    writeFile(m_dir->filePath("exists.bin"), "xxxxx");
    for (const QString &kind : kinds) {
        if (kind == "unmakeable")
            tasks.AddTask(server.url("/ok.bin"), "ok.bin", m_dir->filePath("file/folder"));
        else if (kind == "exists")
            tasks.AddTask(server.url("/ok.bin"), "exists.bin", m_dir->path());
        else if (kind == "password")
            tasks.AddTask("ftp://bob@127.0.0.1:1/x.zip", "x.zip", m_dir->path());
        else if (kind == "mms")
            tasks.AddTask("mms://a.test/x.wma", "x.wma", m_dir->path());
        else
            tasks.AddTask(server.url("/ok.bin"), "fresh.bin", m_dir->path());
    }
    QTimer timexzwj; // faster than the window's, to fire often under every box
    connect(&timexzwj, &QTimer::timeout, &s, &DownloadScheduler::TimexzwjTimer);
    timexzwj.start(20);
    QTRY_VERIFY_WITH_TIMEOUT(host.done.size() + host.failed.size() == kinds.size() && !s.busy(), 20000);
    timexzwj.stop();
    QCOMPARE(host.underABox, 0);
    QCOMPARE(host.mostRunning, 1);
    QCOMPARE(host.boxes, boxes);
    QCOMPARE(host.done, done);
    QCOMPARE(host.failed, failed);
    QCOMPARE(s.CurrentTask(), -1);
}

void TestScheduler::saveFolder_data()
{
    QTest::addColumn<QString>("folder"); // below the test's folder
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<bool>("done");
    QTest::addColumn<QString>("message"); // part of the box shown (%1: the test's folder); empty: none
    QTest::newRow("a missing folder is made, with its parents") << "new/sub" << "ok.bin" << true << QString();
    QTest::newRow("a folder that cannot be made") << "file/sub" << "ok.bin" << false << kFolderUnmakeable.arg("%1/file/sub", QString());
    QTest::newRow("an empty file name: the save path is the folder") << "" << "" << false << kIsAFolder;
    QTest::newRow("a folder with the file's name") << "" << "folder.bin" << false << kIsAFolder;
}

void TestScheduler::saveFolder()
{
    QFETCH(QString, folder);
    QFETCH(QString, fileName);
    QFETCH(bool, done);
    QFETCH(QString, message);
    if (message.contains("%1"))
        message = message.arg(m_dir->path());
    Server server;
    TaskList tasks;
    Host host;
    host.answer = SchedulerHost::Resume::Yes;
    DownloadScheduler s(tasks, host);
    writeFile(m_dir->filePath("file"), "a file, where a folder would have to be");
    QVERIFY(QDir(m_dir->path()).mkpath("folder.bin"));
    const QString savePath = folder.isEmpty() ? m_dir->path() : m_dir->filePath(folder);
    tasks.AddTask(server.url("/ok.bin"), fileName, savePath);
    tickUntilIdle(s, tasks);
    QCOMPARE(tasks.task(0).state, done ? TaskState::Done : TaskState::Failed);
    QVERIFY(host.questions.isEmpty()); // a folder is no file to resume
    if (message.isEmpty()) {
        QVERIFY(host.messages.isEmpty());
        QCOMPARE(readFile(savePath + "/" + fileName), QByteArray(1000, 'x'));
    } else {
        QCOMPARE(host.messages.size(), 1);
        QVERIFY2(host.messages[0].contains(message), qPrintable(host.messages[0]));
        QVERIFY(host.lines.last().contains(message));
    }
}

void TestScheduler::trimsBlanksOnly_data()
{
    QTest::addColumn<QString>("addressColumn"); // as stored; URL stands for the server
    QTest::addColumn<QString>("fileName");      // the end of the save-path column
    QTest::addColumn<QString>("saved");         // the file written
    QTest::newRow("a control character before the address") << "\x01 URL\t" << "a.bin" << "a.bin";
    QTest::newRow("an ideographic space ends the file name") << " URL" << QStringLiteral("歌\u3000") << QStringLiteral("歌\u3000");
    QTest::newRow("a no-break space ends the file name") << " URL" << QStringLiteral("b\u00a0") << QStringLiteral("b\u00a0");
    QTest::newRow("blanks and controls end the file name") << " URL" << "c.bin \x02\r" << "c.bin";
}

// Trimming removes every code of 32 or less from both ends, and nothing else.
void TestScheduler::trimsBlanksOnly()
{
    QFETCH(QString, addressColumn);
    QFETCH(QString, fileName);
    QFETCH(QString, saved);
    Server server;
    TaskList tasks;
    Host host;
    DownloadScheduler s(tasks, host);
    tasks.addRow(addressColumn.replace("URL", server.url("/ok.bin")), " " + m_dir->path() + "/" + fileName);
    tickUntilIdle(s, tasks);
    QVERIFY2(tasks.task(0).state == TaskState::Done, qPrintable(host.lines.join('\n') + host.messages.join('\n')));
    QCOMPARE(readFile(m_dir->filePath(saved)), QByteArray(1000, 'x'));
}

// LastFtpSize is the size the server gave to SIZE (-1 for none); a task that fails before
// SIZE leaves it as it was.
void TestScheduler::lastFtpSize()
{
    const QList<quint16> ports = quorrel::test::freePorts(2);
    QVERIFY(QDir(m_dir->path()).mkpath("ftp"));
    writeFile(m_dir->filePath("ftp/a.bin"), QByteArray(1234, 'f'));
    quorrel::test::Peer ftp;
    QVERIFY(ftp.start(quorrel::test::python(),
                      {"-m", "pyftpdlib", "-i", "127.0.0.1", "-p", QString::number(ports[0]), "-d", m_dir->filePath("ftp")},
                      ports[0]));
    const QString at = QStringLiteral("127.0.0.1:%1").arg(ports[0]);
    const struct {
        QString address;
        TaskState state;
        qint64 lastFtpSize;
    } steps[] = {
        {"ftp://" + at + "/a.bin", TaskState::Done, 1234},
        {QStringLiteral("ftp://127.0.0.1:%1/a.bin").arg(ports[1]), TaskState::Failed, 1234}, // nothing listens
        {"ftp://bob:wrong@" + at + "/a.bin", TaskState::Failed, 1234},                        // login refused
        {"ftp://" + at + "/nowhere/a.bin", TaskState::Failed, 1234},                          // CWD refused
        {"ftp://" + at + "/none.bin", TaskState::Failed, -1},                                 // SIZE refused
    };
    TaskList tasks;
    Host host;
    DownloadScheduler s(tasks, host);
    QCOMPARE(s.LastFtpSize(), 0);
    for (const auto &step : steps) {
        const int row = tasks.AddTask(step.address, "a.bin", m_dir->filePath("save"));
        tickUntilIdle(s, tasks);
        QCOMPARE(tasks.task(row).state, step.state);
        QCOMPARE(s.LastFtpSize(), step.lastFtpSize);
    }
}

void TestScheduler::progressMeter_data()
{
    QTest::addColumn<ProgressSteps>("steps"); // (ms, done), the first the start
    QTest::addColumn<qint64>("total");
    QTest::addColumn<bool>("byTime");
    QTest::addColumn<int>("percent");
    QTest::addColumn<qint64>("left");
    QTest::addColumn<QString>("text");
    using Steps = ProgressSteps;
    QTest::newRow("begun: no speed yet") << Steps{{0, 0}, {100, 1000}} << qint64(4 << 20) << false << 0 << qint64(-1)
                                         << "1000 B / 4.0 MB";
    QTest::newRow("1 MB a second, 3 MB left") << Steps{{0, 0}, {1000, 1 << 20}} << qint64(4 << 20) << false << 25
                                              << qint64(3) << "1.0 MB / 4.0 MB  1.0 MB/秒  剩余 0:03";
    QTest::newRow("resumed at 3 MB") << Steps{{0, 3 << 20}, {1000, (3 << 20) + (512 << 10)}} << qint64(4 << 20) << false
                                     << 87 << qint64(1) << "3.5 MB / 4.0 MB  512 KB/秒  剩余 0:01";
    // The speed of the last three seconds: a stall then a burst is the burst's.
    QTest::newRow("the latest seconds") << Steps{{0, 0}, {10000, 0}, {11000, 1 << 20}, {12000, 2 << 20}, {13000, 3 << 20}}
                                        << qint64(1) * (93 << 20) << false << 3 << qint64(90)
                                        << "3.0 MB / 93.0 MB  1.0 MB/秒  剩余 1:30";
    QTest::newRow("no length") << Steps{{0, 0}, {2000, 2048}} << qint64(-1) << false << -1 << qint64(-1)
                               << "2 KB  1 KB/秒";
    QTest::newRow("a stream, by its running time") << Steps{{0, 0}, {1000, 2000000}} << qint64(180000000) << true << 1
                                                   << qint64(89) << "已复制 0:02 / 3:00  剩余 1:29";
    QTest::newRow("hours left") << Steps{{0, 0}, {1000, 1024}} << (qint64(1) << 30) << false << 0 << qint64(1048575)
                                << "1 KB / 1.00 GB  1 KB/秒  剩余 291:16:15";
}

// What the status bar says of a running transfer, from its progress as it comes.
void TestScheduler::progressMeter()
{
    QFETCH(ProgressSteps, steps);
    QFETCH(qint64, total);
    QFETCH(bool, byTime);
    QFETCH(int, percent);
    QFETCH(qint64, left);
    QFETCH(QString, text);
    ProgressMeter meter;
    meter.start(steps.first().second, total, byTime, steps.first().first);
    TransferProgress p;
    for (const auto &[ms, done] : steps)
        p = meter.update(done, ms);
    QCOMPARE(p.percent(), percent);
    QCOMPARE(p.secondsLeft(), left);
    QCOMPARE(ProgressText(p), text);
}

// A resumed task's gauge measures the whole file and starts where its bytes end, as the
// status bar's size does; it does not jump back to nothing.
void TestScheduler::resumedGaugeStartsAtItsBytes()
{
    const QByteArray whole = QByteArray(1000, 'a') + QByteArray(1000, 'b');
    quorrel::test::HttpServer server([&whole](const QByteArray &request) -> QByteArray {
        const bool head = request.startsWith("HEAD");
        const int at = request.indexOf("Range: bytes=");
        if (at < 0 || head)
            return "HTTP/1.1 200 OK\r\nContent-Length: 2000\r\nConnection: close\r\n\r\n" + (head ? QByteArray() : whole);
        const int from = request.mid(at + 13, request.indexOf('-', at) - at - 13).toInt();
        return "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + QByteArray::number(from) + "-1999/2000\r\n"
               "Content-Length: " + QByteArray::number(2000 - from) + "\r\nConnection: close\r\n\r\n" + whole.mid(from);
    });
    struct GaugeHost : Host {
        QList<qint64> values;
        QList<TransferProgress> shown;
        void setGaugeValue(qint64 v) override { values << v; Host::setGaugeValue(v); }
        void showProgress(const TransferProgress &p) override { shown << p; }
    } host;
    host.answer = SchedulerHost::Resume::Yes;
    TaskList tasks;
    DownloadScheduler s(tasks, host);
    writeFile(PartialPath(m_dir->filePath("half.bin")), whole.left(1200)); // a download of its own, stopped
    tasks.AddTask(server.url("/half.bin"), "half.bin", m_dir->path());
    tickUntilIdle(s, tasks);
    QCOMPARE(readFile(m_dir->filePath("half.bin")), whole);
    QCOMPARE(host.maximum, 2000);
    QVERIFY(!host.values.isEmpty());
    QCOMPARE(host.values.first(), 1199); // the last byte on disk is fetched again
    QCOMPARE(*std::min_element(host.values.cbegin(), host.values.cend()), 1199);
    QCOMPARE(host.values.last(), 2000);
    QVERIFY(!host.shown.isEmpty());
    QCOMPARE(host.shown.first().done, 1199);
    QCOMPARE(host.shown.last().done, 2000);
    QCOMPARE(host.shown.last().total, 2000);
    QCOMPARE(host.shown.last().percent(), 100);
}

QTEST_GUILESS_MAIN(TestScheduler)
#include "test_scheduler.moc"
