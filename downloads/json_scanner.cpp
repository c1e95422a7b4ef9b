#include "downloads/json_scanner.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>

namespace quorrel {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; } // RFC 8259, 2

bool isLiteralChar(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || c == '-' || c == '+' || c == '.' || c == 'E';
}

// A number as RFC 8259, 6 writes it.
bool isNumber(QByteArrayView t)
{
    qsizetype i = 0;
    const auto digits = [&] {
        const qsizetype from = i;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9')
            ++i;
        return i > from;
    };
    if (i < t.size() && t[i] == '-')
        ++i;
    if (i < t.size() && t[i] == '0')
        ++i;
    else if (!digits())
        return false;
    if (i < t.size() && t[i] == '.') {
        ++i;
        if (!digits())
            return false;
    }
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-'))
            ++i;
        if (!digits())
            return false;
    }
    return i == t.size();
}

} // namespace

void JsonScanner::blanks()
{
    while (m_pos < m_text.size() && isBlank(m_text[m_pos]))
        ++m_pos;
}

bool JsonScanner::faultAt(const char *what)
{
    return fail(QString::fromLatin1(what) + QStringLiteral(" at byte ") + QString::number(m_pos));
}

bool JsonScanner::fail(const QString &what)
{
    if (m_error.isEmpty())
        m_error = what;
    return false;
}

bool JsonScanner::expect(char c, const char *what)
{
    blanks();
    if (m_pos >= m_text.size())
        return faultAt("unexpected end of the text");
    if (m_text[m_pos] != c)
        return faultAt(what);
    ++m_pos;
    return true;
}

char JsonScanner::peek()
{
    if (failed())
        return 0;
    blanks();
    if (m_pos >= m_text.size())
        return 0;
    const char c = m_text[m_pos];
    return c == '{' || c == '[' || c == '"' ? c : 'v';
}

bool JsonScanner::skipString()
{
    // At the opening quote.
    ++m_pos;
    while (m_pos < m_text.size()) {
        const auto c = static_cast<unsigned char>(m_text[m_pos]);
        if (c == '"') {
            ++m_pos;
            return true;
        }
        if (c < 0x20)
            return faultAt("a control character in a string");
        m_pos += c == '\\' ? 2 : 1;
    }
    return faultAt("unterminated string");
}

bool JsonScanner::skipLiteral()
{
    const qsizetype from = m_pos;
    while (m_pos < m_text.size() && isLiteralChar(m_text[m_pos]))
        ++m_pos;
    const QByteArrayView word = m_text.sliced(from, m_pos - from);
    if (word == "true" || word == "false" || word == "null" || isNumber(word))
        return true;
    m_pos = from;
    return faultAt("illegal value");
}

bool JsonScanner::skip()
{
    if (failed())
        return false;
    blanks();
    if (m_pos >= m_text.size())
        return faultAt("unexpected end of the text");
    const char first = m_text[m_pos];
    if (first == '"')
        return skipString();
    if (first != '{' && first != '[')
        return skipLiteral();
    // Nested values without recursion: the open brackets, and what may come next.
    QByteArray open;
    enum class Next { Value, Key, Colon, CommaOrClose, ValueOrClose, KeyOrClose } next = Next::Value;
    while (true) {
        blanks();
        if (m_pos >= m_text.size())
            return faultAt("unexpected end of the text");
        const char c = m_text[m_pos];
        switch (next) {
        case Next::Value:
        case Next::ValueOrClose:
            if (next == Next::ValueOrClose && c == ']')
                break;
            if (c == '{' || c == '[') {
                if (open.size() >= kMaxDepth)
                    return faultAt("too deeply nested");
                open += c;
                ++m_pos;
                next = c == '{' ? Next::KeyOrClose : Next::ValueOrClose;
                continue;
            }
            if (c == '"' ? !skipString() : !skipLiteral())
                return false;
            if (open.isEmpty())
                return true;
            next = Next::CommaOrClose;
            continue;
        case Next::Key:
        case Next::KeyOrClose:
            if (next == Next::KeyOrClose && c == '}')
                break;
            if (c != '"')
                return faultAt("a member without a name");
            if (!skipString())
                return false;
            next = Next::Colon;
            continue;
        case Next::Colon:
            if (c != ':')
                return faultAt("missing name separator");
            ++m_pos;
            next = Next::Value;
            continue;
        case Next::CommaOrClose:
            if (c == ',') {
                ++m_pos;
                next = open.back() == '{' ? Next::Key : Next::Value;
                continue;
            }
            break;
        }
        // A closing bracket, which must match the last one open.
        if ((c == '}' && open.back() != '{') || (c == ']' && open.back() != '[') || (c != '}' && c != ']'))
            return faultAt(open.back() == '{' ? "unterminated object" : "unterminated array");
        ++m_pos;
        open.chop(1);
        if (open.isEmpty())
            return true;
        next = Next::CommaOrClose;
    }
}

bool JsonScanner::readString(QString &out, qsizetype maxBytes, bool *tooLong)
{
    if (tooLong)
        *tooLong = false;
    if (peek() != '"')
        return faultAt("a string expected");
    const qsizetype from = m_pos;
    if (!skipString())
        return false;
    const QByteArrayView token = m_text.sliced(from, m_pos - from);
    if (token.size() > maxBytes) {
        if (tooLong)
            *tooLong = true;
        out.clear();
        return true;
    }
    const QByteArrayView inner = token.sliced(1, token.size() - 2);
    if (!inner.contains('\\')) {
        out = QString::fromUtf8(inner);
        return true;
    }
    // Escapes: Qt's own reader decodes them, on this one small value.
    QJsonParseError error{};
    const QJsonDocument one = QJsonDocument::fromJson("[" + token.toByteArray() + "]", &error);
    if (error.error != QJsonParseError::NoError) {
        m_pos = from;
        return faultAt("a bad escape in a string");
    }
    out = one.array().at(0).toString();
    return true;
}

bool JsonScanner::readObject(const std::function<bool(const QString &)> &member)
{
    if (!expect('{', "an object expected"))
        return false;
    blanks();
    if (m_pos < m_text.size() && m_text[m_pos] == '}') {
        ++m_pos;
        return true;
    }
    while (true) {
        QString name;
        if (peek() != '"')
            return faultAt("a member without a name");
        if (!readString(name, 4096) || !expect(':', "missing name separator"))
            return false;
        if (!member(name) || failed())
            return false;
        blanks();
        if (m_pos >= m_text.size())
            return faultAt("unterminated object");
        const char c = m_text[m_pos++];
        if (c == '}')
            return true;
        if (c != ',') {
            --m_pos;
            return faultAt("unterminated object");
        }
    }
}

bool JsonScanner::readArray(const std::function<bool(qsizetype)> &element)
{
    if (!expect('[', "an array expected"))
        return false;
    blanks();
    if (m_pos < m_text.size() && m_text[m_pos] == ']') {
        ++m_pos;
        return true;
    }
    for (qsizetype index = 0;; ++index) {
        if (!element(index) || failed())
            return false;
        blanks();
        if (m_pos >= m_text.size())
            return faultAt("unterminated array");
        const char c = m_text[m_pos++];
        if (c == ']')
            return true;
        if (c != ',') {
            --m_pos;
            return faultAt("unterminated array");
        }
    }
}

bool JsonScanner::atEnd()
{
    if (failed())
        return false;
    blanks();
    return m_pos >= m_text.size() || faultAt("garbage at the end of the document");
}

} // namespace quorrel
