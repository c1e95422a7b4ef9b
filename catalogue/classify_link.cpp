#include "catalogue/classify_link.h"

#include "base/gbk_text.h"
#include "base/text_rules.h"

#include <QVarLengthArray>

#include <algorithm>
#include <array>

namespace quorrel {
namespace {

const QString kHttp = QStringLiteral("http://");

bool looksAbsolute(QStringView s)
{
    // Anything naming a scheme anywhere counts as absolute, so a relative path such as
    // /pub/ftpfiles/x.zip is filed as it stands. One pass, ASCII letters folded.
    const auto lower = [](QChar c) {
        const char16_t u = c.unicode();
        return (u >= u'A' && u <= u'Z') ? char16_t(u + 32) : u;
    };
    const auto at = [&](qsizetype i, const char16_t *word) {
        for (qsizetype k = 0; word[k]; ++k)
            if (i + k >= s.size() || lower(s[i + k]) != word[k])
                return false;
        return true;
    };
    for (qsizetype i = 0; i < s.size(); ++i) {
        switch (lower(s[i])) {
        case u'h':
            if (at(i, u"http"))
                return true;
            break;
        case u'f':
            if (at(i, u"ftp"))
                return true;
            break;
        case u'r':
            if (at(i, u"rstp"))
                return true;
            break;
        default:
            break;
        }
    }
    return false;
}

// The folder part of the base node's address, without its scheme: "a.test/d/" for
// http://a.test/d/p.htm.
QString baseOf(const TreeNode *baseNode)
{
    QString base = baseNode ? baseNode->Link().mid(7) : QString();
    if (!base.contains(QLatin1Char('/')))
        base += QLatin1Char('/');
    base = TrimBlanks(base);
    if (base.indexOf(QLatin1Char('/')) != base.size() - 1) {
        const qsizetype k = LastPos(u"/", base);
        if (QStringView(base).sliced(k).contains(QLatin1Char('.')))
            base.truncate(k); // the file name goes, the "/" stays
    }
    return base;
}

// Joins a relative address to base, by four tests in turn, each on what the earlier ones
// left. Some results keep a doubled "/" (http://a.test/d//x.mp3); servers accept them,
// and users' saved lists hold them in that form.
QString joinRelative(QString s, QString base)
{
    const qsizetype slash = s.indexOf(QLatin1Char('/'));
    if (slash >= 2) {
        const QStringView f = QStringView(s).left(slash + 1);
        if (base.endsWith(f, Qt::CaseInsensitive))
            s.remove(0, slash + 1);
        s = kHttp + base + s;
    }
    if (s.contains(QLatin1Char('.')) && !s.contains(QLatin1Char('/')))
        s = kHttp + base + QLatin1Char('/') + s;
    if (s.startsWith(QLatin1Char('/'))) {
        if (CountChar(u"/", base) > 1 && CountChar(u"/", s) > 1) {
            base.chop(1);
            base.truncate(base.indexOf(QLatin1Char('/')) + 1);
        }
        s = kHttp + base + s;
    }
    if (s.startsWith(QLatin1String("..")))
        s = kHttp + base + s;
    return s;
}

// The type number of an extension: the number after the "-" that follows its first
// occurrence in the extension list (a plain substring search, so ".rm" finds ".rmvb-3;").
// known is set when the list holds the extension at all.
int typeOf(QStringView ext, const QString &typeExtensionList, bool *known = nullptr)
{
    if (known)
        *known = false;
    if (ext.isEmpty())
        return 1;
    const qsizetype at = typeExtensionList.indexOf(ext);
    if (at < 0)
        return 1;
    if (known)
        *known = true;
    QStringView r = QStringView(typeExtensionList).sliced(at);
    const qsizetype semicolon = r.indexOf(QLatin1Char(';'));
    if (semicolon >= 0)
        r = r.left(semicolon);
    const qsizetype dash = r.indexOf(QLatin1Char('-'));
    if (dash >= 0)
        r = r.sliced(dash + 1);
    int t = 1;
    return ReadDecimal(r, t) ? t : 1;
}

// A node's Mark: the type number with at least two digits. Types below 100 share one
// text each, so a hundred thousand resources do not hold a hundred thousand copies.
QString markOf(int t)
{
    static const std::array<QString, 100> kMarks = [] {
        std::array<QString, 100> marks;
        for (int i = 0; i < 100; ++i)
            marks[std::size_t(i)] = ZeroPad(i, 2);
        return marks;
    }();
    return t >= 0 && t < 100 ? kMarks[std::size_t(t)] : ZeroPad(t, 2);
}

// The type's entry in the name list: "NN-name" up to its ";" (empty when no ";" follows),
// as a view into typeNameList.
QStringView entryOf(int t, const QString &typeNameList)
{
    const QStringView names = TrimBlanks(QStringView(typeNameList));
    QVarLengthArray<char16_t, 16> needle;
    const QString nn = markOf(t);
    needle.append(reinterpret_cast<const char16_t *>(nn.utf16()), nn.size());
    needle.append(u'-');
    const qsizetype at = names.indexOf(QStringView(needle.data(), needle.size()));
    const QStringView entry = at < 0 ? names : names.sliced(at);
    const qsizetype semicolon = entry.indexOf(QLatin1Char(';'));
    return semicolon < 0 ? QStringView() : entry.left(semicolon);
}

} // namespace

namespace {

// Normalisation: the text cleaned, its caption prefix taken off, a relative address joined
// to the base node's. The blank appended here stays at the end of the address throughout,
// and is stored with it; every reader of a Link trims it.
struct Normalised {
    QString prefix;
    QString s;
};

Normalised normalise(const TreeNode *baseNode, const QString &text)
{
    Normalised n;
    QString &s = n.s;
    s = TrimBlanks(text) + QLatin1Char(' ');
    if (s.contains(QLatin1Char('"')) || s.contains(QLatin1Char('\''))) {
        s.remove(QStringLiteral("\\\""));
        s.remove(QLatin1Char('"'));
        s.remove(QLatin1Char('\''));
    }
    const qsizetype tilde = s.indexOf(QLatin1Char('~'));
    if (tilde >= 0) {
        n.prefix = s.left(tilde);
        s.remove(0, tilde + 1);
    }
    if (!looksAbsolute(s) && !s.contains(QLatin1Char('(')))
        s = joinRelative(s, baseOf(baseNode));
    // A byte that was not GBK may now stand next to what a removed quote left: the text is
    // taken as its bytes read, so that the same bytes always make the same caption.
    s = GbkCanonical(s);
    return n;
}

// The type of a normalised address: its extension is everything after its last ".",
// lower-cased and trimmed. With IgnoreQuery the extension comes from the address without
// its query and fragment (RFC 3986, 3.4 and 3.5), so /v/clip.mp4?token=1 is a .mp4.
int typeOfAddress(QStringView s, const SettingsValues &settings, bool *known = nullptr)
{
    if (settings.IgnoreQuery) {
        const auto cut = std::find_if(s.begin(), s.end(), [](QChar c) { return c == u'?' || c == u'#'; });
        s = s.first(cut - s.begin());
    }
    const qsizetype k = LastPos(u".", s);
    QVarLengthArray<QChar, 64> lowered;
    for (QChar ch : s.sliced(k > 0 ? k - 1 : 0))
        lowered.append(ch.toLower());
    const QStringView ext = TrimBlanks(QStringView(lowered.data(), lowered.size()));
    return typeOf(ext, settings.TypeExtensionList, known);
}

// The category caption of type t for mode; empty for type 1 while page analysis is off.
// A caption made here (the downloaded side's) is kept in held; the view points into it,
// the settings or a constant.
QStringView categoryOf(int t, FileMode mode, const SettingsValues &settings, QString &held)
{
    if (t != 1) {
        const QStringView entry = entryOf(t, settings.TypeNameList);
        if (mode == FileMode::Found)
            return entry;
        held = kDownloadedPrefix + TrimBlanks(entry).toString();
        return held;
    }
    if (settings.AnalysePages != QLatin1String("1"))
        return {};
    static const QString downloadedWebLinks = kDownloadedPrefix + kWebLinkCategory;
    return mode == FileMode::Found ? QStringView(kWebLinkCategory) : QStringView(downloadedWebLinks);
}

} // namespace

Classification ClassifyLink(ResourceTree &tree, const SettingsValues &settings,
                            const TreeNode *baseNode, FileMode mode, const QString &text,
                            const RequestHeaders *headers, Admission admission, int typeIfUnknown)
{
    Classification result;
    const Normalised n = normalise(baseNode, text);
    const QString &s = n.s;

    bool known = false;
    int t = typeOfAddress(s, settings, &known);
    if (!known && typeIfUnknown > 1) {
        // Only into a category the tree has: without one the address is filed as always.
        QString held;
        if (tree.FindByCaption(categoryOf(typeIfUnknown, mode, settings, held)))
            t = typeIfUnknown;
    }
    result.type = t;
    if (t < 1)
        return result;

    // Filing, once per caption across the whole tree. A captured address is its own
    // caption, nearly always: then the node shares the text it came as.
    const QStringView trimmed = TrimBlanks(QStringView(s));
    const QString caption = GbkCanonical(TrimBlanks(QStringView(n.prefix)).isEmpty() && trimmed == text
                                             ? text
                                             : TrimBlanks(n.prefix) + trimmed.toString());
    if (TreeNode *existing = tree.FindByCaption(caption)) {
        // Captured again: the newest headers are the ones a download should send.
        if (headers && !headers->isEmpty() && !existing->isContainer())
            tree.setHeaders(existing, *headers);
        result.outcome = Classification::Duplicate;
        return result;
    }
    QString held;
    const QStringView category = categoryOf(t, mode, settings, held);
    if (t == 1) {
        if (category.isEmpty()) {
            result.outcome = Classification::PagesOff;
            return result;
        }
        result.showHint = true;
    }

    if (admission == Admission::WithinCapacity && !tree.hasRoomFor(caption, s)) {
        result.outcome = Classification::Full;
        result.showHint = false;
        return result;
    }

    // No node bears the category's caption (the type table names type 1 otherwise, or the
    // user deleted the category): the resource goes to the top level.
    TreeNode *node = tree.add(tree.FindByCaption(category), {caption, markOf(t), s, t, CheckBox::Unchecked});
    if (headers && !headers->isEmpty())
        tree.setHeaders(node, *headers);
    result.outcome = Classification::Filed;
    result.node = node;
    return result;
}

std::optional<int> TypeOfExtension(const SettingsValues &settings, QStringView extension)
{
    bool known = false;
    const int t = typeOf(extension, settings.TypeExtensionList, &known);
    return known ? std::optional<int>(t) : std::nullopt;
}

QString CategoryOfAddress(const SettingsValues &settings, const QString &address)
{
    const int t = typeOfAddress(normalise(nullptr, address).s, settings);
    QString held;
    return t < 1 ? QString() : categoryOf(t, FileMode::Found, settings, held).toString();
}

} // namespace quorrel
