#pragma once
// A small web server of the tests' own on 127.0.0.1: each request, once its headers are
// in, gets the reply the test's function makes for it, and the connection closes.

#include <QTcpServer>
#include <QTcpSocket>

#include <functional>

namespace quorrel::test {

class HttpServer : public QTcpServer {
public:
    using Reply = std::function<QByteArray(const QByteArray &request)>;

    explicit HttpServer(Reply reply, const QHostAddress &address = QHostAddress::LocalHost) : m_reply(std::move(reply))
    {
        listen(address);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = nextPendingConnection()) {
                connect(s, &QTcpSocket::readyRead, s, [this, s] {
                    const QByteArray request = s->readAll();
                    if (!request.contains("\r\n\r\n"))
                        return;
                    s->write(m_reply(request));
                    s->disconnectFromHost();
                });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }

    QString url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(serverPort()).arg(path);
    }

    // A whole reply: status line, the headers given, Content-Length and Connection.
    static QByteArray reply(const QByteArray &status, const QByteArray &body, const QByteArray &headers = {})
    {
        return "HTTP/1.1 " + status + "\r\n" + headers + "Content-Length: " + QByteArray::number(body.size())
            + "\r\nConnection: close\r\n\r\n" + body;
    }

private:
    Reply m_reply;
};

} // namespace quorrel::test
