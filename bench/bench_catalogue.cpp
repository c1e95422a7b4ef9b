// Catalogue benchmark: filing addresses into a tree of 20 categories, the duplicate test
// at scale, saving and loading a 100,000-line zywj.txt, and memory per resource.
// Measures and prints; it has no pass or fail.
//
//   bench_catalogue [N]     (N distinct addresses, default 100000)

#include "base/gbk_text.h"
#include "catalogue/catalogue.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <unistd.h>

using namespace quorrel;

namespace {

const char *const kExtensions[] = {".mp3", ".wma", ".flv", ".mp4", ".jpg", ".png", ".gif", ".zip", ".rar", ".7z",
                                   ".pdf", ".doc", ".exe", ".iso", ".avi", ".mkv", ".ogg", ".webm", ".swf"};

QByteArray config()
{
    QString text = QStringLiteral("[XT]\r\nmaxtype=20\r\n1=.htm;.html\r\n");
    QString names = QStringLiteral("01-网页连接;");
    for (int t = 2; t <= 20; ++t) {
        text += QStringLiteral("%1=%2\r\n").arg(t).arg(QString::fromLatin1(kExtensions[t - 2]));
        names += QStringLiteral("%1-类型%2;").arg(t, 2, 10, QLatin1Char('0')).arg(t);
    }
    return toGbk(text + QStringLiteral("lxmc=") + names + QStringLiteral("\r\n"));
}

QString address(int i)
{
    return QStringLiteral("http://cdn%1.example.test/media/%2/item%3%4")
        .arg(i % 40)
        .arg(i % 97)
        .arg(i)
        .arg(QString::fromLatin1(kExtensions[i % 19]));
}

long residentKiB()
{
    long pages = 0, resident = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

double fileAll(Catalogue &c, const QList<QString> &addresses, int &filed)
{
    QElapsedTimer t;
    t.start();
    filed = 0;
    for (const QString &a : addresses)
        filed += c.ClassifyLink(c.tree().BaseNode(), FileMode::Found, a).outcome == Classification::Filed;
    return double(t.nsecsElapsed()) / 1e9;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int n = argc > 1 ? std::atoi(argv[1]) : 100000;
    QTemporaryDir dir;
    {
        QFile f(dir.filePath("config.ini"));
        if (!f.open(QIODevice::WriteOnly))
            return 1;
        f.write(config());
    }

    QList<QString> addresses, twice;
    for (int i = 0; i < 2 * n; ++i)
        (i < n ? addresses : twice).append(address(i));
    twice = addresses + twice;

    // n distinct, then the same n again (every one a duplicate).
    Catalogue c(dir.path(), dir.path());
    c.LoadSettings();
    const long before = residentKiB();
    int filed = 0;
    const double first = fileAll(c, addresses, filed);
    const long after = residentKiB();
    int again = 0;
    const double second = fileAll(c, addresses, again);
    std::printf("file %d distinct addresses (20 categories):   %.3f s  (%d filed)\n", n, first, filed);
    std::printf("file the same %d again (all duplicates):     %.3f s  (%d filed)\n", n, second, again);
    std::printf("  together:                                     %.3f s  (goal: under 2 s)\n", first + second);
    std::printf("memory per resource:                            %.0f bytes  (goal: under 1024)\n",
                double(after - before) * 1024.0 / filed);

    // Twice as many distinct addresses: the cost per filing must not grow with the tree.
    Catalogue big(dir.path(), dir.path());
    big.LoadSettings();
    int filedBig = 0;
    const double doubled = fileAll(big, twice, filedBig);
    std::printf("file %d distinct addresses:                   %.3f s  (%.2f x the time of %d; goal: within 2.2)\n",
                2 * n, doubled, doubled / first, n);

    QElapsedTimer t;
    t.start();
    if (const auto error = c.SaveResourceList()) {
        std::fprintf(stderr, "%s\n", qPrintable(*error));
        return 1;
    }
    const double save = double(t.nsecsElapsed()) / 1e9;
    std::printf("save a %d-line zywj.txt:                      %.3f s  (goal: under 1 s)\n", filed, save);

    Catalogue reload(dir.path(), dir.path());
    t.restart();
    reload.LoadSettings();
    const double load = double(t.nsecsElapsed()) / 1e9;
    std::printf("load it (rebuild, every line filed again):      %.3f s  (goal: under 1 s; %d nodes)\n", load,
                reload.tree().count());
    return 0;
}
