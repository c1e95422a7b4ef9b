#include "shell/translation.h"

#include "base/gydy.h"

#include <QCoreApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace quorrel {

WindowLanguage ChosenLanguage()
{
    const QByteArray chosen = qgetenv("QUORREL_LANG").trimmed().toLower();
    if (chosen == "zh")
        return WindowLanguage::Chinese;
    if (chosen == "en")
        return WindowLanguage::English;
    // The locale of messages, by POSIX's order: LC_ALL, then LC_MESSAGES, then LANG
    // ("zh_CN.UTF-8"). None, or "C" and "POSIX", names no language: the program speaks its
    // own, as it always did (a service, a script, a test started without a locale).
    QByteArray name;
    for (const char *variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        name = qgetenv(variable);
        if (!name.isEmpty())
            break;
    }
    const QString locale = QString::fromLatin1(name.left(name.indexOf('.') < 0 ? name.size() : name.indexOf('.')));
    if (locale.isEmpty() || locale == QLatin1String("C") || locale == QLatin1String("POSIX"))
        return WindowLanguage::Chinese;
    return QLocale(locale).language() == QLocale::Chinese ? WindowLanguage::Chinese : WindowLanguage::English;
}

std::optional<QString> InstallTranslation(QCoreApplication &app, WindowLanguage language)
{
    // Qt's own words in its boxes (是, 否, 取消 or Yes, No, Cancel), when Qt's translations
    // are installed; English is Qt's own.
    if (language == WindowLanguage::Chinese) {
        auto *qtWords = new QTranslator(&app);
        if (qtWords->load(QStringLiteral("qtbase_zh_CN"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
            QCoreApplication::installTranslator(qtWords);
        return std::nullopt;
    }
    const QString appDir = AppDir();
    const QStringList folders{appDir + QStringLiteral("/translations"),
                              QDir::cleanPath(appDir + QStringLiteral("/../share/quorrel/translations"))};
    auto *words = new QTranslator(&app);
    for (const QString &folder : folders) {
        if (words->load(QStringLiteral("quorrel_en"), folder)) {
            QCoreApplication::installTranslator(words);
            return std::nullopt;
        }
    }
    delete words;
    return QStringLiteral("quorrel_en.qm was found in none of ") + folders.join(QStringLiteral(", "));
}

} // namespace quorrel
