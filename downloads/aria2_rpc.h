#pragma once
// Hand-over to aria2 through its JSON-RPC interface (aria2c --enable-rpc): one
// aria2.addUri call per resource, with the resource's captured Referer, Cookie and
// User-Agent as "header" options, the save folder as "dir" and the file name as "out",
// and the secret token, when one is set, as the first parameter ("token:..."), as the
// aria2c manual's RPC interface section describes. aria2 answers with the new
// download's GID, or a JSON-RPC error object (RFC-less: JSON-RPC 2.0, section 5.1).

#include "base/request_headers.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

namespace quorrel {

// aria2c's own default endpoint.
inline const QString kAria2DefaultAddress = QStringLiteral("http://127.0.0.1:6800/jsonrpc");

struct Aria2Endpoint {
    QString address = kAria2DefaultAddress; // http:// or https://
    QString secret;                         // --rpc-secret; empty when aria2 runs without one
};


struct Aria2Item {
    QString address;  // the resource's address, as captured
    QString fileName; // saved as this in dir; empty: aria2 names it
    RequestHeaders headers;
    int type = 0;     // the resource's type in the tree, to put it back where it was
};

// The request body of one aria2.addUri call. Header values that are not UTF-8 text (JSON
// carries no other) are left out and named in skipped.
QByteArray Aria2AddUriBody(const Aria2Endpoint &endpoint, const Aria2Item &item, const QString &dir,
                           const QString &id, QStringList *skipped = nullptr);

// Why a hand-over failed: what went wrong, and the words of whoever said so (Qt's network
// error, aria2's own error message and code).
struct Aria2Failure {
    enum Kind {
        BadEndpoint, // the configured address is none that can be called
        Unreachable, // no connection, no answer in time, or an HTTP error without an answer
        Refused,     // aria2 answered with an error (a wrong secret: "Unauthorized")
        NoAnswer,    // what came back is no JSON-RPC answer
    };
    Kind kind = NoAnswer;
    QString detail;
};

// Why an endpoint cannot be called, when it cannot: not an http or https address with a host.
std::optional<Aria2Failure> CheckAria2Endpoint(const Aria2Endpoint &endpoint);

// The window's log line for a failure, in the window's words.
QString Aria2FailureText(const Aria2Failure &failure);

// What aria2 answered: the GID, or why it refused.
struct Aria2Answer {
    std::optional<QString> gid;
    Aria2Failure failure;
};
Aria2Answer ReadAria2Answer(const QByteArray &body);

// Calls the endpoint for each item, all at once, on the Qt event loop. Each item ends with
// one handed() or refused(); finished() follows the last of a batch.
class Aria2Client : public QObject {
    Q_OBJECT
public:
    explicit Aria2Client(QObject *parent = nullptr);
    ~Aria2Client() override;

    // A reply larger than this is no answer of aria2's to addUri (a GID, or a short error).
    static constexpr qint64 kMaxAnswer = 64 * 1024;
    // An endpoint that does not answer within this long is taken as unreachable.
    static constexpr int kTimeoutMs = 15000;

    void addUris(const Aria2Endpoint &endpoint, const QList<Aria2Item> &items, const QString &dir);
    int pending() const { return m_pending; }

signals:
    void handed(const quorrel::Aria2Item &item, const QString &gid);
    void refused(const quorrel::Aria2Item &item, const quorrel::Aria2Failure &failure);
    void finished();
    // Headers of the item that JSON cannot carry as they are (Aria2AddUriBody), sent without.
    void headersLeftOut(const quorrel::Aria2Item &item, const QStringList &names);

private:
    void answered(QNetworkReply *reply, const Aria2Item &item);

    QNetworkAccessManager *m_network;
    int m_pending = 0;
    int m_nextId = 1;
};

} // namespace quorrel
