// The window's language: Chinese on a Chinese desktop, English on any other, QUORREL_LANG
// choosing either way; the window's captions in that language, its files (config.ini,
// zywj.txt) written byte for byte the same in both.

#include "base/gbk_text.h"
#include "shell/mainform.h"
#include "shell/monitoring_captions.h"
#include "shell/resource_tree_view.h"
#include "shell/settings_panel.h"
#include "shell/translation.h"

#include <QComboBox>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QToolBar>
#include <QToolButton>
#include <QTranslator>
#include <QtTest>

#include "test_files.h"
#include "window_test_main.h"

using namespace quorrel;
using quorrel::test::readFile;
using quorrel::test::writeFile;

class TestLanguage : public QObject {
    Q_OBJECT
private slots:
    void chosen_data();
    void chosen();
    void windowSpeaks_data();
    void windowSpeaks();
    void cleanup();
};

void TestLanguage::cleanup()
{
    for (QTranslator *t : qApp->findChildren<QTranslator *>()) {
        QCoreApplication::removeTranslator(t);
        delete t;
    }
    for (const char *v : {"LC_ALL", "LC_MESSAGES", "LANG", "QUORREL_LANG"})
        qunsetenv(v);
}

void TestLanguage::chosen_data()
{
    QTest::addColumn<QByteArray>("lcAll");
    QTest::addColumn<QByteArray>("lcMessages");
    QTest::addColumn<QByteArray>("lang");
    QTest::addColumn<QByteArray>("quorrelLang");
    QTest::addColumn<bool>("chinese");
    QTest::newRow("zh_CN") << QByteArray() << QByteArray() << QByteArray("zh_CN.UTF-8") << QByteArray() << true;
    QTest::newRow("zh_TW") << QByteArray() << QByteArray() << QByteArray("zh_TW.UTF-8") << QByteArray() << true;
    QTest::newRow("zh_CN.GBK") << QByteArray() << QByteArray() << QByteArray("zh_CN.GBK") << QByteArray() << true;
    QTest::newRow("en_US") << QByteArray() << QByteArray() << QByteArray("en_US.UTF-8") << QByteArray() << false;
    QTest::newRow("de_DE") << QByteArray() << QByteArray() << QByteArray("de_DE.UTF-8") << QByteArray() << false;
    // No language named: the program's own, as a script or a service without a locale had it.
    QTest::newRow("C") << QByteArray() << QByteArray() << QByteArray("C") << QByteArray() << true;
    QTest::newRow("C.UTF-8") << QByteArray() << QByteArray() << QByteArray("C.UTF-8") << QByteArray() << true;
    QTest::newRow("POSIX") << QByteArray() << QByteArray() << QByteArray("POSIX") << QByteArray() << true;
    QTest::newRow("nothing set") << QByteArray() << QByteArray() << QByteArray() << QByteArray() << true;
    QTest::newRow("QUORREL_LANG=en without a locale")
        << QByteArray() << QByteArray() << QByteArray() << QByteArray("en") << false;
    QTest::newRow("LC_MESSAGES before LANG")
        << QByteArray() << QByteArray("zh_CN.UTF-8") << QByteArray("en_US.UTF-8") << QByteArray() << true;
    QTest::newRow("LC_ALL before both")
        << QByteArray("en_GB.UTF-8") << QByteArray("zh_CN.UTF-8") << QByteArray("zh_CN.UTF-8") << QByteArray() << false;
    QTest::newRow("QUORREL_LANG=en on a Chinese desktop")
        << QByteArray() << QByteArray() << QByteArray("zh_CN.UTF-8") << QByteArray("en") << false;
    QTest::newRow("QUORREL_LANG=zh on an English one")
        << QByteArray("en_US.UTF-8") << QByteArray() << QByteArray() << QByteArray("zh") << true;
    QTest::newRow("QUORREL_LANG of another language: the locale")
        << QByteArray() << QByteArray() << QByteArray("zh_CN.UTF-8") << QByteArray("fr") << true;
}

void TestLanguage::chosen()
{
    QFETCH(QByteArray, lcAll);
    QFETCH(QByteArray, lcMessages);
    QFETCH(QByteArray, lang);
    QFETCH(QByteArray, quorrelLang);
    QFETCH(bool, chinese);
    const auto set = [](const char *name, const QByteArray &value) {
        if (value.isEmpty())
            qunsetenv(name);
        else
            qputenv(name, value);
    };
    set("LC_ALL", lcAll);
    set("LC_MESSAGES", lcMessages);
    set("LANG", lang);
    set("QUORREL_LANG", quorrelLang);
    QCOMPARE(ChosenLanguage() == WindowLanguage::Chinese, chinese);
}

void TestLanguage::windowSpeaks_data()
{
    QTest::addColumn<QByteArray>("lang");
    // 开始, 下载选择文件, the third mode, the roots, the first log line, the task list's column
    QTest::addColumn<QStringList>("captions");
    QTest::newRow("en_US.UTF-8") << QByteArray("en_US.UTF-8")
                                 << QStringList{"Start", "Download the ticked files", "Hand over to aria2",
                                                "Found resources", "Downloaded resources", "Watching the web traffic......",
                                                "Saved as"};
    QTest::newRow("zh_CN.UTF-8") << QByteArray("zh_CN.UTF-8")
                                 << QStringList{"开始", "下载选择文件", "交给 aria2 下载", "取得资源", "已下载资源",
                                                "开始监测上网数据......", "保存文件名"};
}

void TestLanguage::windowSpeaks()
{
    QFETCH(QByteArray, lang);
    QFETCH(QStringList, captions);
    for (const char *v : {"LC_ALL", "LC_MESSAGES", "QUORREL_LANG"})
        qunsetenv(v);
    qputenv("LANG", lang);
    QVERIFY(!InstallTranslation(*qApp, ChosenLanguage()));

    QTemporaryDir dir;
    const QByteArray config = toGbk(QStringLiteral("[XT]\r\nxzpath=/tmp/q\r\nxzfs=0\r\nmaxtype=3\r\n1=.htm\r\n2=.mp3\r\n"
                                                   "3=.jpg\r\nlxmc=01-网页连接;02-音乐;03-图片;\r\nqqfl=1\r\n"));
    const QByteArray list = toGbk(QStringLiteral("02-音乐  http://media.test/media/%E6%AD%8C%E6%9B%B2.mp3\r\n"
                                                 "03-图片  http://media.test/img?id=7\r\n"));
    writeFile(dir.filePath("config.ini"), config);
    writeFile(dir.filePath("zywj.txt"), list);
    auto *w = new TMainform(dir.path());
    QStringList messages;
    w->setInform([&messages](const QString &text) { messages << text; });
    w->Timesys->stop();
    w->resize(900, 640);
    w->show();
    w->fclstxzzy->expandFoundSide();
    w->fclstxzzy->expandAll();
    QCOMPARE(w->btnks->text(), captions[0]);
    QCOMPARE(w->N20->text(), captions[1]);
    QCOMPARE(w->panxtsz->cmbxzfs->itemText(2), captions[2]);
    const ResourceTree &tree = w->tree();
    QCOMPARE(tree.data(tree.index(0, 0), Qt::DisplayRole).toString(), captions[3]);
    QCOMPARE(tree.data(tree.index(1, 0), Qt::DisplayRole).toString(), captions[4]);
    QCOMPARE(w->tasks.headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(), captions[6]);
    w->note(kMonitoringStartedLine);
    QVERIFY2(w->redit1->toPlainText().contains(captions[5]), qPrintable(w->redit1->toPlainText()));
    // The captions of the user's own (type names) and the addresses are never translated.
    QVERIFY(w->tree().FindByCaption(QStringLiteral("03-图片")));
    QCOMPARE(tree.data(tree.indexOf(w->tree().FindByCaption(QStringLiteral("03-图片"))), Qt::DisplayRole).toString(),
             QStringLiteral("03-图片"));

    if (const QByteArray shots = qgetenv("QUORREL_SCREENSHOTS"); !shots.isEmpty()) {
        QTest::qWait(300);
        QVERIFY(w->grab().save(QString::fromLocal8Bit(shots) + "/quorrel-" + QString::fromLatin1(lang.left(5)) + ".png"));
    }

    // The files: saved from the window, the same bytes whatever the language.
    w->RzToolButton2Click();
    if (const QByteArray shots = qgetenv("QUORREL_SCREENSHOTS"); !shots.isEmpty()) {
        QTest::qWait(300);
        QVERIFY(w->grab().save(QString::fromLocal8Bit(shots) + "/quorrel-settings-" + QString::fromLatin1(lang.left(5)) + ".png"));
    }
    w->panxtsz->btnbcsz->click();
    QVERIFY(!w->catalogue().SaveResourceList());
    delete w;
    const QByteArray savedConfig = readFile(dir.filePath("config.ini"));
    const QByteArray savedList = readFile(dir.filePath("zywj.txt"));
    QVERIFY2(savedList == list, savedList.constData());
    // Saving the panel writes its keys as the Chinese program always did.
    QVERIFY2(savedConfig.contains(toGbk(QStringLiteral("lxmc=01-网页连接;02-音乐;03-图片;\r\n"))), savedConfig.constData());
    static QByteArray first;
    if (first.isEmpty())
        first = savedConfig;
    else
        QCOMPARE(savedConfig, first);
}

int main(int argc, char *argv[])
{
    return quorrel::test::runWindowTest<TestLanguage>(argc, argv);
}
#include "test_language.moc"
