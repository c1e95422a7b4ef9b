#pragma once
// The window's language. Its texts are written in Chinese, and Chinese is what it shows on
// a Chinese desktop; on any other it shows the English translation (quorrel_en.qm), when
// one is installed. QUORREL_LANG=zh or en chooses either way. The files (config.ini,
// zywj.txt) are the same in every language: only what is shown is translated.

#include <QString>
#include <optional>

class QCoreApplication;

namespace quorrel {

enum class WindowLanguage {
    Chinese,
    English,
};

// QUORREL_LANG when it names a language (zh, en); otherwise the locale of the messages
// (LC_ALL, LC_MESSAGES, LANG, the first one set): English when it names a language other
// than Chinese, Chinese otherwise (Chinese, or no language: none set, C, POSIX).
WindowLanguage ChosenLanguage();

// Loads and installs the translation for language (nothing for Chinese), and Qt's own for
// its boxes' buttons. Looked for beside the program (a build) and where the package puts
// it (appDir/../share/quorrel/translations). Returns why it could not be loaded, if so:
// the window then speaks Chinese.
std::optional<QString> InstallTranslation(QCoreApplication &app, WindowLanguage language);

} // namespace quorrel
