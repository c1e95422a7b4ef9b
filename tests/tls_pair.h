#pragma once
// An OpenSSL client and server joined in memory: what each sends is kept byte for byte, as
// a capture of the connection would hold it, and the client's key log lines (the NSS
// format, from SSL_CTX_set_keylog_callback) are kept too. The certificate is made here.
// Shared by the TLS reader's tests and its bench.

#include <QByteArray>
#include <QString>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstring>
#include <string>
#include <utility>

namespace quorrel::test {

struct TlsPairOptions {
    TlsPairOptions(int version = TLS1_3_VERSION, std::string ciphers = {}, std::string clientGroups = {},
                   std::string serverGroups = {})
        : version(version), ciphers(std::move(ciphers)), clientGroups(std::move(clientGroups)),
          serverGroups(std::move(serverGroups))
    {
    }

    int version = TLS1_3_VERSION;
    std::string ciphers;      // a TLS 1.2 cipher list, or TLS 1.3 cipher suites
    std::string clientGroups; // e.g. "X25519:P-256" against a server's "P-256": a HelloRetryRequest
    std::string serverGroups;
    std::string serverName = "www.example.test";
    bool earlyData = false; // the server's tickets allow 0-RTT: see reconnectWithEarlyData()
    std::uint32_t maxEarlyData = 16384; // how much, as nginx allows
    bool refuseEarlyData = false; // ... and the server refuses the early data sent with one
    std::string serverCiphers;    // TLS 1.3: the server's suites when they differ from the client's
    std::string psk;              // TLS 1.2: a pre-shared key (hex) for the PSK suites
    bool rsaKey = false;          // an RSA key and certificate (RSA-PSK), else P-256
};

class TlsPair {
public:
    explicit TlsPair(const TlsPairOptions &options)
    {
        const Identity &id = identity(options.rsaKey);
        m_clientCtx = SSL_CTX_new(TLS_client_method());
        m_serverCtx = SSL_CTX_new(TLS_server_method());
        if (!id.key || !id.cert || !m_clientCtx || !m_serverCtx) {
            m_error = QStringLiteral("OpenSSL could not make the contexts");
            return;
        }
        for (SSL_CTX *ctx : {m_clientCtx, m_serverCtx}) {
            SSL_CTX_set_min_proto_version(ctx, options.version);
            SSL_CTX_set_max_proto_version(ctx, options.version);
            const std::string &ciphers = ctx == m_serverCtx && !options.serverCiphers.empty() ? options.serverCiphers
                                                                                             : options.ciphers;
            if (!ciphers.empty()) {
                const bool ok = options.version == TLS1_3_VERSION
                    ? SSL_CTX_set_ciphersuites(ctx, ciphers.c_str()) == 1
                    : SSL_CTX_set_cipher_list(ctx, ciphers.c_str()) == 1;
                if (!ok)
                    m_error = QStringLiteral("OpenSSL refused the ciphers %1").arg(QString::fromStdString(ciphers));
            }
        }
        if (!options.psk.empty()) {
            m_psk = QByteArray::fromHex(QByteArray::fromStdString(options.psk));
            SSL_CTX_set_psk_client_callback(m_clientCtx, [](SSL *ssl, const char *, char *identity, unsigned maxIdentity,
                                                            unsigned char *psk, unsigned maxPsk) -> unsigned {
                const QByteArray &key = static_cast<TlsPair *>(SSL_get_app_data(ssl))->m_psk;
                if (maxIdentity < 7 || unsigned(key.size()) > maxPsk)
                    return 0;
                std::memcpy(identity, "client", 7);
                std::memcpy(psk, key.constData(), std::size_t(key.size()));
                return unsigned(key.size());
            });
            SSL_CTX_set_psk_server_callback(m_serverCtx, [](SSL *ssl, const char *, unsigned char *psk, unsigned maxPsk) -> unsigned {
                const QByteArray &key = static_cast<TlsPair *>(SSL_get_app_data(ssl))->m_psk;
                if (unsigned(key.size()) > maxPsk)
                    return 0;
                std::memcpy(psk, key.constData(), std::size_t(key.size()));
                return unsigned(key.size());
            });
            SSL_CTX_set_dh_auto(m_serverCtx, 1); // DHE-PSK
        }
        if (!options.clientGroups.empty())
            SSL_CTX_set1_groups_list(m_clientCtx, options.clientGroups.c_str());
        if (!options.serverGroups.empty())
            SSL_CTX_set1_groups_list(m_serverCtx, options.serverGroups.c_str());
        SSL_CTX_use_certificate(m_serverCtx, id.cert);
        SSL_CTX_use_PrivateKey(m_serverCtx, id.key);
        if (options.earlyData) {
            SSL_CTX_set_max_early_data(m_serverCtx, options.maxEarlyData);
            SSL_CTX_set_recv_max_early_data(m_serverCtx, options.maxEarlyData);
        }
        m_refuseEarlyData = options.refuseEarlyData;
        SSL_CTX_set_keylog_callback(m_clientCtx, [](const SSL *ssl, const char *line) {
            auto *pair = static_cast<TlsPair *>(SSL_get_app_data(ssl));
            pair->keyLogLines += line;
            pair->keyLogLines += '\n';
        });
        m_serverName = options.serverName;
        connect();
    }

    ~TlsPair()
    {
        SSL_free(m_client);
        SSL_free(m_server);
        SSL_CTX_free(m_clientCtx);
        SSL_CTX_free(m_serverCtx);
    }

    TlsPair(const TlsPair &) = delete;
    TlsPair &operator=(const TlsPair &) = delete;

    QString error() const { return m_error; }

    bool handshake()
    {
        for (int round = 0; round < 20 && m_error.isEmpty(); ++round) {
            SSL_do_handshake(m_client);
            SSL_do_handshake(m_server);
            pump();
            if (SSL_is_init_finished(m_client) && SSL_is_init_finished(m_server))
                return true;
        }
        if (m_error.isEmpty())
            m_error = QStringLiteral("the handshake did not finish: %1").arg(QString::fromLatin1(ERR_error_string(ERR_get_error(), nullptr)));
        return false;
    }

    // TLS 1.3 resumption with 0-RTT: the client takes this connection's session ticket,
    // connects again and sends earlyData before the handshake is done. What the two send,
    // the key log and what the server read start afresh with the new connection. With
    // refuseEarlyData the server takes the ticket but not the data (which it skips unread).
    bool reconnectWithEarlyData(const QByteArray &earlyData)
    {
        char buffer[4096];
        std::size_t n = 0;
        SSL_read_ex(m_client, buffer, sizeof buffer, &n); // takes the tickets the server sent
        SSL_SESSION *session = SSL_get1_session(m_client);
        const bool resumable = session && SSL_SESSION_is_resumable(session) && SSL_SESSION_get_max_early_data(session) > 0;
        if (resumable) {
            // Freed without a shutdown, the connection's session would be taken off for good.
            SSL_set_shutdown(m_client, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
            SSL_set_shutdown(m_server, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
            SSL_free(m_client);
            SSL_free(m_server);
            connect();
            if (SSL_set_session(m_client, session) != 1)
                m_error = QStringLiteral("SSL_set_session failed");
            if (m_refuseEarlyData) // the session resumed all the same
                SSL_set_allow_early_data_cb(m_server, [](SSL *, void *) { return 0; }, nullptr);
        }
        SSL_SESSION_free(session);
        if (!resumable) {
            m_error = QStringLiteral("no ticket for 0-RTT");
            return false;
        }
        clientToServer.clear();
        serverToClient.clear();
        keyLogLines.clear();
        serverReceived.clear();
        if (const int r = SSL_write_early_data(m_client, earlyData.constData(), std::size_t(earlyData.size()), &n); r != 1) {
            m_error = QStringLiteral("SSL_write_early_data failed: %1").arg(SSL_get_error(m_client, r));
            return false;
        }
        pump();
        for (int round = 0; round < 200; ++round) {
            const int r = SSL_read_early_data(m_server, buffer, sizeof buffer, &n);
            if (r == SSL_READ_EARLY_DATA_FINISH)
                break;
            if (r == SSL_READ_EARLY_DATA_SUCCESS) {
                serverReceived.append(buffer, qsizetype(n));
                continue;
            }
            SSL_do_handshake(m_client); // the client ends its early data and finishes
            pump();
        }
        if (!handshake())
            return false;
        const int wanted = m_refuseEarlyData ? SSL_EARLY_DATA_REJECTED : SSL_EARLY_DATA_ACCEPTED;
        if (SSL_get_early_data_status(m_server) != wanted || SSL_get_early_data_status(m_client) != wanted) {
            m_error = QStringLiteral("the server did not do with the early data as asked");
            return false;
        }
        if (!SSL_session_reused(m_client)) {
            m_error = QStringLiteral("the session was not resumed");
            return false;
        }
        return true;
    }

    // The client writes data (records of at most 16 KiB each); the server reads it.
    bool write(const QByteArray &data)
    {
        std::size_t written = 0;
        if (!data.isEmpty() && SSL_write_ex(m_client, data.constData(), std::size_t(data.size()), &written) != 1) {
            m_error = QStringLiteral("SSL_write failed");
            return false;
        }
        pump();
        serverRead();
        return true;
    }

    // TLS 1.3: the client moves to its next traffic key (a KeyUpdate message).
    bool keyUpdate()
    {
        if (SSL_key_update(m_client, SSL_KEY_UPDATE_NOT_REQUESTED) != 1 || SSL_do_handshake(m_client) != 1) {
            m_error = QStringLiteral("SSL_key_update failed");
            return false;
        }
        pump();
        serverRead();
        return true;
    }

    QByteArray clientToServer; // every byte the client sent
    QByteArray serverToClient; // every byte the server sent
    QByteArray keyLogLines;    // the client's key log, NSS format
    QByteArray serverReceived; // the plaintext the server read

private:
    struct Identity {
        EVP_PKEY *key = nullptr;
        X509 *cert = nullptr;
    };

    // One key and self-signed certificate of each kind for the whole run (P-256: ECDSA
    // suites; RSA: RSA-PSK).
    static const Identity &identity(bool rsa)
    {
        if (rsa) {
            static const Identity id = make(true);
            return id;
        }
        static const Identity id = make(false);
        return id;
    }

    static Identity make(bool rsa)
    {
        Identity made;
        made.key = rsa ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256");
        made.cert = X509_new();
        if (!made.key || !made.cert)
            return made;
        X509_set_version(made.cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(made.cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(made.cert), 0);
        X509_gmtime_adj(X509_getm_notAfter(made.cert), 86400);
        X509_set_pubkey(made.cert, made.key);
        X509_NAME *name = X509_get_subject_name(made.cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("localhost"), -1, -1, 0);
        X509_set_issuer_name(made.cert, name);
        X509_sign(made.cert, made.key, EVP_sha256());
        return made;
    }

    void connect()
    {
        m_client = SSL_new(m_clientCtx);
        m_server = SSL_new(m_serverCtx);
        SSL_set_app_data(m_client, this);
        SSL_set_app_data(m_server, this);
        SSL_set_bio(m_client, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
        SSL_set_bio(m_server, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
        SSL_set_connect_state(m_client);
        SSL_set_accept_state(m_server);
        if (!m_serverName.empty())
            SSL_set_tlsext_host_name(m_client, m_serverName.c_str());
    }

    static QByteArray drain(BIO *bio)
    {
        QByteArray out;
        char buffer[16384];
        int n = 0;
        while ((n = BIO_read(bio, buffer, sizeof buffer)) > 0)
            out.append(buffer, n);
        return out;
    }

    void pump()
    {
        for (;;) {
            const QByteArray fromClient = drain(SSL_get_wbio(m_client));
            const QByteArray fromServer = drain(SSL_get_wbio(m_server));
            if (fromClient.isEmpty() && fromServer.isEmpty())
                return;
            clientToServer += fromClient;
            serverToClient += fromServer;
            BIO_write(SSL_get_rbio(m_server), fromClient.constData(), int(fromClient.size()));
            BIO_write(SSL_get_rbio(m_client), fromServer.constData(), int(fromServer.size()));
        }
    }

    void serverRead()
    {
        char buffer[16384];
        std::size_t n = 0;
        while (SSL_read_ex(m_server, buffer, sizeof buffer, &n) == 1)
            serverReceived.append(buffer, qsizetype(n));
        pump();
    }

    SSL_CTX *m_clientCtx = nullptr;
    SSL_CTX *m_serverCtx = nullptr;
    SSL *m_client = nullptr;
    SSL *m_server = nullptr;
    std::string m_serverName;
    QByteArray m_psk;
    bool m_refuseEarlyData = false;
    QString m_error;
};

} // namespace quorrel::test
