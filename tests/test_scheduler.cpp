// The download scheduler with real transfers from a server of the test's own on
// 127.0.0.1: one task at a time in list order, the resume question and its three
// answers, the unrecognised address, failures with their reasons, the gauge, and the
// list emptied once nothing waits.

#include "downloads/scheduler.h"

#include <QTemporaryDir>
#include <QtTest>

#include "test_files.h"
#include "test_http_server.h"

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
    QList<int> done;
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
};

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
    void saveFolder_data();
    void saveFolder();

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
    while (tasks.firstWaiting() >= 0 || s.TransferBusy()) {
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
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("state");
    QTest::newRow("Yes resumes") << int(SchedulerHost::Resume::Yes) << QByteArray(1000, 'x') << int(TaskState::Done);
    QTest::newRow("No writes again") << int(SchedulerHost::Resume::No) << QByteArray(1000, 'x') << int(TaskState::Done);
    QTest::newRow("Cancel leaves the file") << int(SchedulerHost::Resume::Cancel) << QByteArray("xxxxx") << int(TaskState::Failed);
}

void TestScheduler::resumeQuestion()
{
    QFETCH(int, answer);
    QFETCH(QByteArray, file);
    QFETCH(int, state);
    Server server;
    TaskList tasks;
    Host host;
    host.answer = SchedulerHost::Resume(answer);
    DownloadScheduler s(tasks, host);
    writeFile(m_dir->filePath("ok.bin"), "xxxxx");
    tasks.AddTask(server.url("/ok.bin"), "ok.bin", m_dir->path());
    tasks.AddTask(server.url("/ok.bin"), "after.bin", m_dir->path());
    tickUntilIdle(s, tasks);
    QCOMPARE(host.questions.first(), QStringLiteral("文件已经存在，是否续传？ \r") + m_dir->filePath("ok.bin"));
    QCOMPARE(int(tasks.task(0).state), state);
    QCOMPARE(readFile(m_dir->filePath("ok.bin")), file);
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
    tickUntilIdle(s, tasks);
    for (int r = 0; r < 4; ++r)
        QCOMPARE(tasks.task(r).state, TaskState::Failed); // none left Running
    QVERIFY(host.done.isEmpty());
    // The unrecognised address and the save file that cannot be made are told at once;
    // an error status and a refused connection are logged, as every failure is.
    QCOMPARE(host.messages.size(), 2);
    QCOMPARE(host.messages[0], QStringLiteral("不可识别的地址！"));
    QVERIFY2(host.messages[1].contains("cannot make the folder \"" + m_dir->filePath("file/folder")),
             qPrintable(host.messages[1]));
    QCOMPARE(host.lines.count(QStringLiteral("下载任务失败!")), 3);
    QVERIFY(host.lines.join('\n').contains("HTTP 404"));
    // No file is left behind by a failure before the first byte: the error page is
    // never saved, and no empty file stays.
    QVERIFY(!QFileInfo::exists(m_dir->filePath("missing.mp3")));
    QVERIFY(!QFileInfo::exists(m_dir->filePath("x.zip")));
    QCOMPARE(host.passwords, QStringList{"bob"});             // asked for, as the address names no password
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

void TestScheduler::saveFolder_data()
{
    QTest::addColumn<QString>("folder"); // below the test's folder
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<bool>("done");
    QTest::addColumn<QString>("message"); // the box shown; empty: none
    QTest::newRow("a missing folder is made, with its parents") << "new/sub" << "ok.bin" << true << QString();
    QTest::newRow("a folder that cannot be made") << "file/sub" << "ok.bin" << false << "cannot make the folder";
    QTest::newRow("an empty file name: the save path is the folder")
        << "" << "" << false << "it is a folder, not a file";
    QTest::newRow("a folder with the file's name") << "" << "folder.bin" << false << "it is a folder, not a file";
}

void TestScheduler::saveFolder()
{
    QFETCH(QString, folder);
    QFETCH(QString, fileName);
    QFETCH(bool, done);
    QFETCH(QString, message);
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

QTEST_GUILESS_MAIN(TestScheduler)
#include "test_scheduler.moc"
