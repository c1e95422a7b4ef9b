// qrl: the program's entry. One application, one main window, the event loop; an error
// that a command does not handle itself is shown with its own text, and the program
// carries on.

#include "base/stop_signals.h"
#include "shell/mainform.h"

#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>

#include <exception>
#include <unistd.h>

namespace {

class Application : public QApplication {
public:
    using QApplication::QApplication;

    bool notify(QObject *receiver, QEvent *event) override
    {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception &e) {
            QMessageBox::critical(activeWindow(), QStringLiteral("QuorrelV1.0.1"), QString::fromLocal8Bit(e.what()));
        }
        return false;
    }
};

} // namespace

int main(int argc, char *argv[])
{
    // The browser engine refuses to run as root with its sandbox; the program runs as the
    // user, and when started as root anyway the preview goes without it, and says so.
    const bool root = ::geteuid() == 0;
    if (root)
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    Application app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorrel"));
    QApplication::setApplicationVersion(QStringLiteral("1.0.1"));

    auto *window = new quorrel::TMainform;
    if (root)
        window->noteUnsandboxedPreview();
    window->show();
    // Ended by the session or by Ctrl-C, the window closes as from its close box, so
    // the resources found are saved rather than lost.
    if (QSocketNotifier *ending = quorrel::WatchStopSignals(window))
        QObject::connect(ending, &QSocketNotifier::activated, window, &QWidget::close);
    const int status = QApplication::exec();
    delete window; // its destruction saves the resource list once more
    return status;
}
