// qrl: the program's entry. One application, one main window, the event loop; an error
// that a command does not handle itself is shown with its own text, and the program
// carries on.

#include "base/gydy.h"
#include "base/stop_signals.h"
#include "settings/file_places.h"
#include "shell/mainform.h"
#include "shell/single_window.h"
#include "shell/translation.h"
#include "shell/window_icon.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QTranslator>
#include <QSocketNotifier>

#include <cstdio>
#include <exception>
#include <unistd.h>

namespace {

const QString kCaption = QStringLiteral("QuorrelV1.0.1");

class Application : public QApplication {
public:
    using QApplication::QApplication;

    bool notify(QObject *receiver, QEvent *event) override
    {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception &e) {
            QMessageBox::critical(activeWindow(), kCaption, QString::fromLocal8Bit(e.what()));
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
    QGuiApplication::setDesktopFileName(QStringLiteral("quorrel"));
    QApplication::setWindowIcon(quorrel::QuorrelIcon());
    // Chinese on a Chinese desktop, English on any other (QUORREL_LANG=zh or en chooses);
    // Qt's own words in its boxes (是, 否, 取消) follow, when Qt's translations are installed.
    const std::optional<QString> untranslated = quorrel::InstallTranslation(app, quorrel::ChosenLanguage());
    if (untranslated)
        std::fprintf(stderr, "quorrel: %s\n", untranslated->toLocal8Bit().constData());
    // Ended by the session or by Ctrl-C, the window closes as from its close box, so the
    // resources found are saved rather than lost; watched from the start, so that a
    // signal that comes while the window is being made waits for it.
    QSocketNotifier *ending = quorrel::WatchStopSignals(&app);

    // Beside the program in a build folder, in the user's folders when installed.
    const quorrel::FilePlaces places = quorrel::ProgramFilePlaces(quorrel::AppDir());
    quorrel::SingleWindow single(quorrel::PathDirectory(places.resourceListPath));
    const quorrel::SingleWindow::Claim claim = single.claim();
    if (claim == quorrel::SingleWindow::Claim::HeldBrought || claim == quorrel::SingleWindow::Claim::HeldSilent) {
        const QString refusal = single.refusal(claim);
        std::fprintf(stderr, "quorrel: %s\n", refusal.toLocal8Bit().constData());
        // The first window in front says enough; one that does not answer is named here.
        if (claim == quorrel::SingleWindow::Claim::HeldSilent) {
            QMessageBox::information(nullptr, kCaption, refusal);
            return 1;
        }
        return 0;
    }

    auto *window = new quorrel::TMainform(places);
    if (root)
        window->noteUnsandboxedPreview();
    if (!single.why().isEmpty())
        window->note(single.why());
    QObject::connect(&single, &quorrel::SingleWindow::raiseRequested, window, &quorrel::TMainform::bringToFront);
    window->show();
    if (ending)
        QObject::connect(ending, &QSocketNotifier::activated, window, &QWidget::close);
    const int status = QApplication::exec();
    delete window; // its destruction saves the resource list once more
    return status;
}
