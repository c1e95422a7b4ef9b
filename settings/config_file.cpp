#include "settings/config_file.h"

#include "settings/profile_file.h"

#include <algorithm>
#include <vector>

namespace quorrel {
namespace {

QStringView section() { return QStringView(kConfigSection); }

// A numbered key is spelled as LoadSettings asks for it: decimal digits, no sign, no
// leading zero.
bool isTypeKeyName(QStringView name)
{
    if (name.isEmpty() || name.front() == u'0')
        return false;
    return std::all_of(name.begin(), name.end(),
                       [](QChar ch) { return ch >= u'0' && ch <= u'9'; });
}

// Keys 1 to maxType, in number order, each trimmed, closed by ";" and with every ";" turned
// into "-N;". Only keys present in the file can contribute (an absent key reads as empty and
// is skipped), so the loop runs over those rather than over every number up to a maxtype
// that may be two billion.
QString buildTypeExtensionList(const Profile &ini, int maxType)
{
    std::vector<int> numbers;
    for (const QString &name : ini.keys(section())) {
        int n = 0;
        // A number too large for ReadDecimal is above any maxtype as well.
        if (isTypeKeyName(name) && ReadDecimal(name, n) && n <= maxType)
            numbers.push_back(n);
    }
    std::sort(numbers.begin(), numbers.end());

    QString list;
    for (int n : numbers) {
        const QString number = QString::number(n);
        QString extensions = TrimBlanks(ini.value(section(), number, QString()));
        if (extensions.isEmpty())
            continue;
        if (!extensions.endsWith(u';'))
            extensions += u';';
        extensions.replace(u';', u'-' + number + u';');
        list += extensions;
    }
    return list;
}

} // namespace

SettingsValues ReadSettingsValues(const QString &configPath, const QString &defaultSavePath,
                                  std::optional<QString> *readError)
{
    const Profile ini = Profile::read(configPath);
    if (readError)
        *readError = ini.readError();

    SettingsValues values;
    // bj, rbufmax and ljxz are in users' files but mean nothing to the program: not read.
    values.SavePath = ini.value(section(), u"xzpath", defaultSavePath);
    values.DownloadMode = ini.value(section(), u"xzfs", QStringLiteral("0"));
    values.AnalysePages = ini.value(section(), u"fxwy", QStringLiteral("0"));
    values.PromptRename = TrimBlanks(ini.value(section(), u"tsggwjm", QStringLiteral("0")))
        == QLatin1String("1");
    values.IgnoreQuery = TrimBlanks(ini.value(section(), u"hlcs", QStringLiteral("0"))) == QLatin1String("1");
    values.Aria2Address = TrimBlanks(ini.value(section(), u"aria2dz", QString()));
    if (values.Aria2Address.isEmpty())
        values.Aria2Address = QStringLiteral("http://127.0.0.1:6800/jsonrpc");
    values.Aria2Secret = ini.value(section(), u"aria2my", QString());
    values.FileByRequest = TrimBlanks(ini.value(section(), u"qqfl", QStringLiteral("0"))) == QLatin1String("1");

    int maxType = 0;
    if (!ReadDecimal(TrimBlanks(ini.value(section(), u"maxtype", QStringLiteral("0"))), maxType))
        maxType = 10;
    values.TypeExtensionList = buildTypeExtensionList(ini, maxType);

    values.TypeNameList = ini.value(section(), u"lxmc", QString());
    return values;
}

QString ValidateTypeGrid(const QList<TypeRow> &types)
{
    // Row 1 and every extension cell may be empty; only names from row 2 on are required.
    QString problems;
    for (qsizetype r = 2; r <= types.size(); ++r) {
        if (TrimBlanks(types[r - 1].name).isEmpty())
            problems += u'\r' + QStringLiteral("第") + QString::number(r)
                + QStringLiteral("行存在为空数据！");
    }
    return problems;
}

QString InvalidGridMessage(const QString &problems)
{
    return QStringLiteral("数据无法保存:") + u'\r' + u'\r' + QStringLiteral("  ")
        + TrimBlanks(problems);
}

std::optional<QString> WriteSettingsForm(const QString &configPath, const SettingsForm &form)
{
    // One write for the whole form: a value that cannot be stored (a type name GBK has no
    // code for) refuses the save before anything changes, rather than leaving maxtype and
    // the numbered keys of the new table beside the name list of the old one.
    QList<ProfileEntry> entries{
        {QStringLiteral("xzpath"), form.savePath},
        {QStringLiteral("xzfs"), QString::number(form.downloadModeIndex)},
        {QStringLiteral("tsggwjm"), form.promptRename ? QStringLiteral("1") : QStringLiteral("0")},
        {QStringLiteral("maxtype"), QString::number(form.types.size())},
    };
    // Numbered keys above the new count stay in the file: nothing reads them any more.
    QString names;
    for (qsizetype i = 0; i < form.types.size(); ++i) {
        const qsizetype n = i + 1;
        entries.append({QString::number(n), form.types[i].extensions});
        names += ZeroPad(n, 2) + u'-' + form.types[i].name + u';';
    }
    entries.append({QStringLiteral("lxmc"), names});
    return WriteProfileStrings(configPath, section(), entries);
}

TypeGridReading ReadTypeGrid(const QString &configPath, const QString &typeNameList)
{
    TypeGridReading reading;
    const Profile ini = Profile::read(configPath);
    if (ini.readError()) {
        // Rows with blank extension cells would look like the file's content.
        reading.error = ini.readError();
        return reading;
    }

    QStringView rest = TrimBlanks(QStringView(typeNameList));
    while (!rest.isEmpty()) {
        // Text after the last ";" counts as a last entry: a name list cut short at the
        // length limit still shows what it holds.
        const qsizetype semicolon = rest.indexOf(u';');
        const QStringView entry = semicolon < 0 ? rest : rest.first(semicolon);
        rest = semicolon < 0 ? QStringView() : rest.sliced(semicolon + 1);

        const qsizetype dash = entry.indexOf(u'-');
        const QStringView numberText = dash < 0 ? QStringView() : entry.first(dash);
        int number = 0;
        if (!ReadDecimal(numberText, number)) {
            reading.error = u'\'' + numberText.toString()
                + QStringLiteral("' is not a valid integer value");
            break;
        }
        QString extensions = TrimBlanks(ini.value(section(), QString::number(number), QString()));
        if (!extensions.isEmpty() && !extensions.endsWith(u';'))
            extensions += u';';
        reading.rows.append({entry.sliced(dash + 1).toString(), extensions});
    }
    return reading;
}

} // namespace quorrel
