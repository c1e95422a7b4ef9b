#pragma once
// JsonScanner: reads a JSON text (RFC 8259) in place, one value at a time, so that a reader
// keeps only the values it wants and passes over the rest without building them. Qt's
// QJsonDocument builds the whole document, several times the size of its text: a HAR file
// saved with its contents is hundreds of megabytes of bodies nobody asked for.
//
// Bounded: no recursion (nesting is counted, up to kMaxDepth), a string is decoded only when
// asked and only up to the length asked. Every fault ends the reading with error(), which
// says what was met and at which byte.

#include <QByteArrayView>
#include <QString>

#include <functional>

namespace quorrel {

class JsonScanner {
public:
    static constexpr int kMaxDepth = 10000;

    explicit JsonScanner(QByteArrayView text) : m_text(text) {}

    // What the next value is, after blanks: '{', '[', '"', or 'v' for a number, true, false
    // or null; 0 at the end of the text or after an error.
    char peek();
    // Passes over the next value, checking it.
    bool skip();
    // The next value, a string, decoded; when it is longer than maxBytes of JSON text, it is
    // passed over and tooLong set (the reading goes on).
    bool readString(QString &out, qsizetype maxBytes, bool *tooLong = nullptr);
    // The members of the next value, an object: member(name) is called with the scanner at
    // each member's value, and must read or skip it (returning false ends the reading).
    bool readObject(const std::function<bool(const QString &name)> &member);
    // The elements of the next value, an array, likewise.
    bool readArray(const std::function<bool(qsizetype index)> &element);
    // Nothing but blanks after the last value.
    bool atEnd();

    bool failed() const { return !m_error.isEmpty(); }
    const QString &error() const { return m_error; }
    qsizetype position() const { return m_pos; }
    // Ends the reading with a reason of the caller's.
    bool fail(const QString &what);

private:
    void blanks();
    bool expect(char c, const char *what);
    bool skipString();
    bool skipLiteral();
    bool faultAt(const char *what);

    QByteArrayView m_text;
    qsizetype m_pos = 0;
    QString m_error;
};

} // namespace quorrel
