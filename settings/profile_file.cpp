#include "settings/profile_file.h"

#include "base/gbk_text.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace quorrel {
namespace {

// The work is done on the GBK bytes themselves, so that every line we do not write keeps
// its bytes exactly, however it is spelled or damaged.

struct LineSpan {
    qsizetype begin; // first byte of the line
    qsizetype end;   // one past its last byte, line end excluded
    qsizetype next;  // first byte of the following line (== end when the file ends here)
};

// Lines end with CR LF, CR or LF; a final line end opens no further line.
QList<LineSpan> splitLines(const QByteArray &bytes)
{
    QList<LineSpan> lines;
    const qsizetype size = bytes.size();
    qsizetype begin = 0;
    while (begin < size) {
        qsizetype end = begin;
        while (end < size && bytes[end] != '\r' && bytes[end] != '\n')
            ++end;
        qsizetype next = end;
        if (next < size && bytes[next] == '\r')
            ++next;
        if (next < size && bytes[next] == '\n')
            ++next; // LF alone, or the LF of CR LF
        lines.append({begin, end, next});
        begin = next;
    }
    return lines;
}

bool isBlank(char ch) { return ch == ' ' || ch == '\t'; }

// Neither a blank, a tab, "=", a quote nor a line-end byte can be the second byte of a
// GBK character, so the bytes can be searched and trimmed for them directly.
QByteArrayView trimBlanks(QByteArrayView bytes)
{
    qsizetype begin = 0;
    qsizetype end = bytes.size();
    while (begin < end && isBlank(bytes[begin]))
        ++begin;
    while (end > begin && isBlank(bytes[end - 1]))
        --end;
    return bytes.sliced(begin, end - begin);
}

// Names compare with ASCII letters folded, and only real ASCII letters: the second byte of
// a double-byte character is often a letter's code and must stay as it is.
QByteArray foldName(QByteArrayView name)
{
    QByteArray folded(name.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < name.size(); ++i) {
        const auto b = static_cast<unsigned char>(name[i]);
        if (isGbkLeadByte(b) && i + 1 < name.size()) {
            folded[i] = name[i];
            ++i;
            folded[i] = name[i];
        } else {
            folded[i] = (b >= 'A' && b <= 'Z') ? static_cast<char>(b + ('a' - 'A')) : name[i];
        }
    }
    return folded;
}

QByteArray foldName(QStringView name) { return foldName(trimBlanks(toGbk(name))); }

// "]" is a possible second byte of a double-byte character, so it is looked for character
// by character. Returns -1 when the line holds no "]" after from.
qsizetype findClosingBracket(QByteArrayView line, qsizetype from)
{
    for (qsizetype i = from; i < line.size(); ++i) {
        const auto b = static_cast<unsigned char>(line[i]);
        if (b == ']')
            return i;
        if (isGbkLeadByte(b))
            ++i;
    }
    return -1;
}

enum class LineKind { Other, Section, Entry };

struct LineForm {
    LineKind kind = LineKind::Other;
    QByteArrayView name;  // section or key name, trimmed
    QByteArrayView value; // an entry's value, trimmed
};

LineForm readLine(QByteArrayView line)
{
    LineForm form;
    const QByteArrayView text = trimBlanks(line);
    if (text.startsWith('[')) {
        const qsizetype close = findClosingBracket(text, 1);
        if (close >= 0) {
            form.kind = LineKind::Section;
            form.name = trimBlanks(text.sliced(1, close - 1));
            return form;
        }
    }
    const qsizetype equals = text.indexOf('=');
    if (equals >= 0) {
        form.kind = LineKind::Entry;
        form.name = trimBlanks(text.first(equals));
        form.value = trimBlanks(text.sliced(equals + 1));
    }
    return form;
}

bool isBlankLine(QByteArrayView line) { return trimBlanks(line).isEmpty(); }

// One pair of enclosing quotes goes, then the value is cut to what users' files were
// always read with, never in the middle of a double-byte character.
QByteArray storedValue(QByteArrayView value)
{
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'')
        && value.back() == value.front())
        value = value.sliced(1, value.size() - 2);
    if (value.size() > kProfileValueMaxBytes) {
        qsizetype cut = 0;
        while (cut < kProfileValueMaxBytes) {
            const qsizetype width = isGbkLeadByte(static_cast<unsigned char>(value[cut])) ? 2 : 1;
            if (cut + width > kProfileValueMaxBytes)
                break; // a lead byte whose second byte lies past the limit
            cut += width;
        }
        value = value.first(cut);
    }
    return value.toByteArray();
}

bool holdsLineBreak(QByteArrayView bytes)
{
    return bytes.contains('\r') || bytes.contains('\n');
}

const QByteArray kLineEnd = QByteArrayLiteral("\r\n");

} // namespace

Profile Profile::read(const QString &path)
{
    Profile profile;
    const QFileInfo info(path);
    if (!info.exists())
        return profile;
    QFile file(path);
    if (info.isDir() || !file.open(QIODevice::ReadOnly)) {
        profile.m_readError = QStringLiteral("无法读取 ") + info.absoluteFilePath();
        return profile;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        profile.m_readError = QStringLiteral("无法读取 ") + info.absoluteFilePath();
        return profile;
    }

    // Entries before the first section, and every entry of a later section of a name
    // already seen, are never looked at.
    Section *current = nullptr;
    for (const LineSpan &span : splitLines(bytes)) {
        const LineForm form = readLine(QByteArrayView(bytes).sliced(span.begin, span.end - span.begin));
        if (form.kind == LineKind::Section) {
            const QByteArray folded = foldName(form.name);
            current = profile.m_sections.contains(folded) ? nullptr : &profile.m_sections[folded];
        } else if (form.kind == LineKind::Entry && current && !form.name.isEmpty()) {
            const QByteArray folded = foldName(form.name);
            if (!current->values.contains(folded)) {
                current->values.insert(folded, storedValue(form.value));
                current->keys.append(fromGbk(form.name));
            }
        }
    }
    return profile;
}

QString Profile::value(QStringView section, QStringView key, const QString &def) const
{
    const QByteArray foldedKey = foldName(key);
    if (foldedKey.isEmpty())
        return def;
    const auto s = m_sections.constFind(foldName(section));
    if (s == m_sections.cend())
        return def;
    const auto v = s->values.constFind(foldedKey);
    if (v == s->values.cend())
        return def;
    return fromGbk(*v);
}

QStringList Profile::keys(QStringView section) const
{
    const auto s = m_sections.constFind(foldName(section));
    return s == m_sections.cend() ? QStringList() : s->keys;
}

namespace {

struct EncodedEntry {
    QByteArray key;
    QByteArray value;
};

// Why key = value cannot be written into section, or nothing when it can: what would not
// read back as the same section, key and value is refused rather than written as something
// else (or as extra lines).
std::optional<QString> refusal(const QByteArray &sectionName, const QByteArray &keyName, const QString &key,
                               const QByteArray &valueBytes, const QString &value)
{
    if (sectionName.isEmpty() || holdsLineBreak(sectionName) || findClosingBracket(sectionName, 0) >= 0)
        return QStringLiteral("节名无法保存");
    if (keyName.isEmpty() || holdsLineBreak(keyName) || keyName.contains('=') || keyName.startsWith('['))
        return QStringLiteral("键名无法保存");
    if (holdsLineBreak(valueBytes))
        return QStringLiteral("值中不能有换行（%1）").arg(key);
    // A "?" in place of a character would change the value without a word (a save folder
    // would name another folder): say so instead.
    if (fromGbk(valueBytes) != value)
        return QStringLiteral("值中有 GBK 无法保存的字符（%1）").arg(key);
    return std::nullopt;
}

// The file's bytes with key = value set in the section.
QByteArray withEntry(const QByteArray &bytes, const QByteArray &sectionName, const QByteArray &keyName,
                     const QByteArray &valueBytes)
{
    const QByteArray foldedSection = foldName(sectionName);
    const QByteArray foldedKey = foldName(keyName);
    const QList<LineSpan> lines = splitLines(bytes);
    const auto lineAt = [&](qsizetype i) {
        return QByteArrayView(bytes).sliced(lines[i].begin, lines[i].end - lines[i].begin);
    };

    qsizetype header = -1;
    for (qsizetype i = 0; i < lines.size() && header < 0; ++i) {
        const LineForm form = readLine(lineAt(i));
        if (form.kind == LineKind::Section && foldName(form.name) == foldedSection)
            header = i;
    }

    QByteArray result;
    if (header < 0) {
        result = bytes;
        if (!lines.isEmpty() && lines.back().next == lines.back().end)
            result += kLineEnd;
        result += '[' + sectionName + ']' + kLineEnd + keyName + '=' + valueBytes + kLineEnd;
        return result;
    }
    qsizetype found = -1;
    qsizetype lastFilled = header; // a new key goes after it, before the section's blank tail
    for (qsizetype i = header + 1; i < lines.size(); ++i) {
        const LineForm form = readLine(lineAt(i));
        if (form.kind == LineKind::Section)
            break;
        if (form.kind == LineKind::Entry && foldName(form.name) == foldedKey) {
            found = i;
            break;
        }
        if (!isBlankLine(lineAt(i)))
            lastFilled = i;
    }
    if (found >= 0) {
        // The key keeps its spelling in the file; only its line is rewritten.
        const LineSpan &line = lines[found];
        return bytes.first(line.begin) + readLine(lineAt(found)).name.toByteArray() + '=' + valueBytes + kLineEnd
            + bytes.sliced(line.next);
    }
    const LineSpan &after = lines[lastFilled];
    result = bytes.first(after.next);
    if (after.next == after.end)
        result += kLineEnd;
    result += keyName + '=' + valueBytes + kLineEnd + bytes.sliced(after.next);
    return result;
}

} // namespace

std::optional<QString> WriteProfileString(const QString &path, QStringView section,
                                          QStringView key, const QString &value)
{
    return WriteProfileStrings(path, section, {{key.toString(), value}});
}

std::optional<QString> WriteProfileStrings(const QString &path, QStringView section,
                                           const QList<ProfileEntry> &entries)
{
    const QFileInfo info(path);
    const QString refused = QStringLiteral("Unable to write to ") + info.absoluteFilePath();

    // Every entry is checked before anything is written.
    const QByteArray sectionName = trimBlanks(toGbk(section)).toByteArray();
    QList<EncodedEntry> encoded;
    encoded.reserve(entries.size());
    for (const ProfileEntry &entry : entries) {
        EncodedEntry e{trimBlanks(toGbk(entry.key)).toByteArray(), toGbk(entry.value)};
        if (const auto why = refusal(sectionName, e.key, entry.key, e.value, entry.value))
            return refused + QStringLiteral(": ") + *why;
        encoded.append(std::move(e));
    }

    QByteArray bytes;
    if (info.exists()) {
        // The file is rewritten whole: failing to read it must not empty it.
        QFile file(path);
        if (info.isDir() || !file.open(QIODevice::ReadOnly))
            return refused;
        bytes = file.readAll();
        if (file.error() != QFileDevice::NoError)
            return refused;
    }

    QByteArray result = bytes;
    for (const EncodedEntry &e : encoded)
        result = withEntry(result, sectionName, e.key, e.value);

    QSaveFile file(path);
    // A writable config.ini in a folder that refuses new files is still written, in place.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly))
        return refused;
    if (file.write(result) != result.size()) {
        file.cancelWriting(); // the old file stays as it was
        return refused;
    }
    if (!file.commit())
        return refused;
    return std::nullopt;
}

} // namespace quorrel
