#pragma once
// The main of a test that opens the real window: a QApplication as the program has one, and
// the user's configuration folder (where the window remembers its size) replaced by a folder
// of the test's own, so that no case sees another's window, nor the user's.

#include <QApplication>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace quorrel::test {

template <typename Test>
int runWindowTest(int argc, char *argv[])
{
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.filePath("config").toLocal8Bit());
    if (::geteuid() == 0)
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    Test test;
    return QTest::qExec(&test, argc, argv);
}

} // namespace quorrel::test
