#include "downloads/transfer.h"

#include "base/gbk_text.h"
#include "base/gydy.h"
#include "downloads/connect_watch.h"
#include "downloads/save_name.h"
#include "downloads/shown_address.h"
#include "downloads/transfer_reasons.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMetaObject>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

namespace quorrel {
namespace {

const char kUserAgent[] = "Mozilla/3.0 (compatible; Indy Library)";
const char kProtocols[] = "http,https,ftp";
constexpr std::chrono::milliseconds kConnectTimeout{300};
constexpr long kMaxRedirects = 20;
const QString kOutOfMemory = QStringLiteral("内存不足");
const QString kCurlRefused = QStringLiteral("libcurl 拒绝了这次传输");

// Digits only, within qint64; the whole text.
bool readCount(QByteArrayView text, qint64 &value)
{
    if (text.isEmpty())
        return false;
    qint64 n = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || n > (std::numeric_limits<qint64>::max() - (c - '0')) / 10)
            return false;
        n = n * 10 + (c - '0');
    }
    value = n;
    return true;
}

// The first byte of a Content-Range: "bytes first-last/length" (RFC 9110, 14.4).
qint64 rangeFirst(QByteArrayView value)
{
    value = value.trimmed();
    if (!value.startsWith("bytes "))
        return -1;
    value = value.sliced(6).trimmed();
    const qsizetype dash = value.indexOf('-');
    qint64 first = -1;
    if (dash < 0 || !readCount(value.first(dash), first))
        return -1;
    return first;
}

// The FTP results of a command the server refused once the login was through
// (libcurl-errors.3).
bool refusedAfterLogin(CURLcode code)
{
    switch (code) {
    case CURLE_REMOTE_ACCESS_DENIED: // CWD
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_FTP_COULDNT_RETR_FILE:
    case CURLE_FTP_COULDNT_USE_REST:
    case CURLE_BAD_DOWNLOAD_RESUME: // the file is shorter than the restart offset
    case CURLE_FTP_COULDNT_SET_TYPE:
        return true;
    default:
        return false;
    }
}

// Three digits, then a blank or, on the lines of a multi-line reply, a "-" (RFC 959, 4.2).
bool isFtpReply(QByteArrayView line)
{
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    return line.size() >= 4 && digit(line[0]) && digit(line[1]) && digit(line[2]) && (line[3] == ' ' || line[3] == '-');
}

// The host of an address as libcurl reads it, an IPv6 literal without its brackets (the
// form libcurl matches cookies against). Nothing when libcurl cannot read the address.
std::optional<QByteArray> cookieHost(const QByteArray &address)
{
    CURLU *url = curl_url();
    if (!url)
        return std::nullopt;
    std::optional<QByteArray> result;
    char *host = nullptr;
    if (curl_url_set(url, CURLUPART_URL, address.constData(), 0) == CURLUE_OK &&
        curl_url_get(url, CURLUPART_HOST, &host, 0) == CURLUE_OK && host && *host) {
        QByteArray h(host);
        if (h.startsWith('[') && h.endsWith(']'))
            h = h.mid(1, h.size() - 2);
        result = h;
    }
    curl_free(host);
    curl_url_cleanup(url);
    return result;
}

// The length the last reply stated (HTTP Content-Length, FTP SIZE); -1 when none.
qint64 stated(CURL *easy)
{
    curl_off_t length = -1;
    if (curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK)
        return -1;
    return length;
}

} // namespace

QString CurlResultText(CURLcode code)
{
    switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL:
        return QStringLiteral("不支持的协议");
    case CURLE_URL_MALFORMAT:
        return QStringLiteral("地址格式有误");
    case CURLE_COULDNT_RESOLVE_PROXY:
        return QStringLiteral("找不到代理服务器");
    case CURLE_COULDNT_RESOLVE_HOST:
        return QStringLiteral("找不到服务器");
    case CURLE_COULDNT_CONNECT:
        return QStringLiteral("无法连接到服务器");
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_FTP_WEIRD_PASS_REPLY:
    case CURLE_FTP_WEIRD_PASV_REPLY:
    case CURLE_FTP_WEIRD_227_FORMAT:
    case CURLE_BAD_CONTENT_ENCODING:
        return QStringLiteral("服务器的回复无法识别");
    case CURLE_FTP_ACCEPT_FAILED:
    case CURLE_FTP_ACCEPT_TIMEOUT:
    case CURLE_FTP_CANT_GET_HOST:
    case CURLE_FTP_PORT_FAILED:
        return QStringLiteral("无法建立 FTP 数据连接");
    case CURLE_LOGIN_DENIED:
        return QStringLiteral("FTP 登录被拒绝");
    case CURLE_REMOTE_ACCESS_DENIED:
        return QStringLiteral("服务器拒绝访问");
    case CURLE_REMOTE_FILE_NOT_FOUND:
        return QStringLiteral("服务器上没有这个文件");
    case CURLE_FTP_COULDNT_RETR_FILE:
        return QStringLiteral("服务器没有发送这个文件");
    case CURLE_FTP_COULDNT_SET_TYPE:
        return QStringLiteral("服务器拒绝了传输方式");
    case CURLE_FTP_COULDNT_USE_REST:
    case CURLE_RANGE_ERROR:
        return QStringLiteral("服务器不支持续传");
    case CURLE_BAD_DOWNLOAD_RESUME:
        return QStringLiteral("无法续传：服务器上的文件比已下载的部分短");
    case CURLE_PARTIAL_FILE:
        return QStringLiteral("传输中途断开，文件不完整");
    case CURLE_GOT_NOTHING:
        return QStringLiteral("服务器没有返回任何数据");
    case CURLE_SEND_ERROR:
        return QStringLiteral("发送数据失败");
    case CURLE_RECV_ERROR:
        return QStringLiteral("接收数据失败");
    case CURLE_OPERATION_TIMEDOUT:
        return QStringLiteral("服务器长时间没有响应");
    case CURLE_TOO_MANY_REDIRECTS:
        return QStringLiteral("重定向次数过多");
    case CURLE_WRITE_ERROR:
        return QStringLiteral("写入文件失败");
    case CURLE_OUT_OF_MEMORY:
        return QStringLiteral("内存不足");
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        return QStringLiteral("服务器的证书未通过验证");
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CIPHER:
    case CURLE_USE_SSL_FAILED:
        return QStringLiteral("无法建立加密连接");
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return QStringLiteral("HTTP/2 传输出错");
    default:
        return QStringLiteral("下载出错");
    }
}

QList<QByteArray> CookieJarLines(QByteArrayView cookie, QByteArrayView host, bool secure)
{
    // A Cookie header is "name=value" pairs joined by "; " (RFC 6265, 4.2.1). A pair without
    // a name, or with a tab (the jar format's separator), cannot be written: it is left out.
    QList<QByteArray> lines;
    for (QByteArrayView pair : QByteArray(cookie.toByteArray()).split(';')) {
        pair = pair.trimmed();
        const qsizetype equals = pair.indexOf('=');
        if (equals <= 0 || pair.contains('\t'))
            continue;
        const QByteArrayView name = pair.first(equals).trimmed();
        const QByteArrayView value = pair.sliced(equals + 1).trimmed();
        if (name.isEmpty())
            continue;
        lines << host.toByteArray() + "\tFALSE\t/\t" + (secure ? "TRUE" : "FALSE") + "\t0\t" + name.toByteArray() + '\t' +
                     value.toByteArray();
    }
    return lines;
}

CurlTransfer::CurlTransfer(CurlMulti &multi, TransferRequest request, QObject *parent)
    : Transfer(std::move(request), parent), m_multi(multi)
{
}

CurlTransfer::~CurlTransfer()
{
    if (m_added)
        m_multi.remove(m_easy);
    if (m_easy)
        curl_easy_cleanup(m_easy);
    curl_slist_free_all(m_headers);
}

void CurlTransfer::start()
{
    if (m_started)
        return;
    m_started = true;
    const int scheme = AddressScheme(m_request.address);
    if (scheme == 0)
        return fail(kNotADownloadAddress + ShownAddress(m_request.address));
    m_isFtp = scheme == 2;

    // The file is opened before any request, keeping what it holds: a resume needs it,
    // and a file that cannot be written is an answer needing no network, nor a password.
    if (!openFile())
        return;
    if (m_isFtp) {
        m_ftpAddress = m_request.ftp ? *m_request.ftp : ParseFtpAddress(m_request.address);
        if (m_ftpAddress.passwordMissing && m_askPassword) {
            const std::optional<QString> password = m_askPassword(m_ftpAddress);
            if (m_phase == Phase::Finished)
                return; // cancelled while the question was open
            if (!password)
                return fail(kNoFtpPassword.arg(m_ftpAddress.user));
            m_ftpAddress.password = *password;
        }
    }

    m_easy = curl_easy_init();
    if (!m_easy)
        return fail(QStringLiteral("libcurl 无法开始传输"));
    setCommonOptions();
    if (!(m_isFtp ? prepareFtp() : prepareHttp()))
        return;
    connect(&m_multi, &CurlMulti::acted, this, &CurlTransfer::reportProgress);
    m_added = m_multi.add(m_easy, this, m_ownJar ? CurlMulti::Jar::Own : CurlMulti::Jar::Run);
    if (!m_added)
        fail(kCurlRefused);
}

void CurlTransfer::cancel()
{
    finish(false, kTransferCancelled);
}

bool CurlTransfer::openFile()
{
    const QString &path = m_request.savePath;
    const auto refuse = [this](const QString &file, const QString &why) {
        fail(kSaveFileUnopenable.arg(file, why));
        return false;
    };
    if (path.isEmpty())
        return refuse(path, kNoFileName);
    const QFileInfo info(path);
    if (info.isDir())
        return refuse(path, kIsAFolder);
    if (const std::optional<QString> error = MakeSaveFolder(info.absolutePath()))
        return refuse(path, *error);
    if (info.exists() && !info.isFile()) {
        // A device or a pipe (/dev/null, say) is written as it is: there is no file to
        // rename, nor one to resume.
        m_direct = true;
        m_file.setFileName(path);
        if (!m_file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return refuse(path, m_file.errorString());
        return true;
    }

    m_partPath = PartialPath(path);
    QFileInfo part(m_partPath);
    if (part.isSymLink()) {
        // Not one of ours: this program writes files, never links. Writing through it
        // would write wherever it points; the link alone goes.
        if (!QFile::remove(m_partPath))
            return refuse(m_partPath, kNotOurPartialFile());
        part = QFileInfo(m_partPath);
    }
    if (part.exists() && !part.isFile())
        return refuse(m_partPath, kNotOurPartialFile());
    if (m_request.resume && !part.exists() && info.isFile()) {
        // A file under the final name is a whole download, or someone else's: nothing is
        // appended to it. Resuming it means asking whether it is already complete.
        m_checkOnly = true;
        m_existing = info.size();
        return true;
    }
    m_created = !part.exists();
    m_file.setFileName(m_partPath);
    // Not cut here: a download written again replaces the bytes once its body begins, so
    // one that fails before that leaves the partial file as it was.
    if (!m_file.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
        return refuse(m_partPath, m_file.errorString());
    m_existing = m_file.size();
    return true;
}

void CurlTransfer::setCommonOptions()
{
    curl_easy_setopt(m_easy, CURLOPT_ERRORBUFFER, m_error);
    curl_easy_setopt(m_easy, CURLOPT_NOSIGNAL, 1L);
    // At loopback and LAN speeds a transfer's cost is its system calls: 64 KiB reads make a
    // quarter of the default's, while one turn of the event loop stays short (larger
    // buffers let libcurl read for tens of milliseconds at a go). curl: CURLOPT_BUFFERSIZE.3
    curl_easy_setopt(m_easy, CURLOPT_BUFFERSIZE, 64L * 1024);
    curl_easy_setopt(m_easy, CURLOPT_WRITEFUNCTION, &CurlTransfer::writeCallback);
    curl_easy_setopt(m_easy, CURLOPT_WRITEDATA, static_cast<void *>(this));
    curl_easy_setopt(m_easy, CURLOPT_HEADERFUNCTION, &CurlTransfer::headerCallback);
    curl_easy_setopt(m_easy, CURLOPT_HEADERDATA, static_cast<void *>(this));

    // A peer that stops sending: less than a byte a second for the whole stall time.
    curl_easy_setopt(m_easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(m_easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>(m_stallSeconds));

    // Only the schemes this program downloads, for the address and for every redirect:
    // a redirect must not reach file:// or anything else (CURLOPT_REDIR_PROTOCOLS_STR.3).
    curl_easy_setopt(m_easy, CURLOPT_PROTOCOLS_STR, kProtocols);
    curl_easy_setopt(m_easy, CURLOPT_REDIR_PROTOCOLS_STR, kProtocols);

    // Certificates are always checked. Where the trusted ones are: the system's store,
    // or the variables the curl tool reads (CURL_CA_BUNDLE, else SSL_CERT_FILE and
    // SSL_CERT_DIR), which this libcurl, built with a fixed bundle, does not read itself.
    curl_easy_setopt(m_easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(m_easy, CURLOPT_SSL_VERIFYHOST, 2L);
    // (libcurl copies every string option it is given: curl_easy_setopt.3.)
    QByteArray caFile = qgetenv("CURL_CA_BUNDLE");
    QByteArray caPath;
    if (caFile.isEmpty()) {
        caFile = qgetenv("SSL_CERT_FILE");
        caPath = qgetenv("SSL_CERT_DIR");
    }
    if (!caFile.isEmpty())
        curl_easy_setopt(m_easy, CURLOPT_CAINFO, caFile.constData());
    if (!caPath.isEmpty())
        curl_easy_setopt(m_easy, CURLOPT_CAPATH, caPath.constData());
}

bool CurlTransfer::prepareHttp()
{
    // Addresses are text decoded from GBK (captured requests, zywj.txt): GBK gives the
    // bytes the browser sent back.
    curl_easy_setopt(m_easy, CURLOPT_URL, toGbk(m_request.address).constData());
    if (!setCapturedHeaders())
        return false;
    m_headers = curl_slist_append(m_headers, "Accept: */*");
    curl_easy_setopt(m_easy, CURLOPT_HTTPHEADER, m_headers);
    curl_easy_setopt(m_easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(m_easy, CURLOPT_MAXREDIRS, kMaxRedirects);
    // The TCP connect has 300 ms. libcurl's connect time-out would also bound the name
    // look-up and the TLS handshake, which get the stall time as every other wait does.
    curl_easy_setopt(m_easy, CURLOPT_CONNECTTIMEOUT, static_cast<long>(m_stallSeconds));
    m_connectWatch = new ConnectWatch(kConnectTimeout, this);
    m_connectWatch->attach(m_easy);
    connect(m_connectWatch, &ConnectWatch::timedOut, this, &CurlTransfer::fail);
    // An error status fails before its body is read: an error page never reaches the file.
    curl_easy_setopt(m_easy, CURLOPT_FAILONERROR, 1L);

    if (m_checkOnly) {
        // The HEAD's length alone tells whether the file is the whole resource.
        curl_easy_setopt(m_easy, CURLOPT_NOBODY, 1L);
        m_phase = Phase::Check;
    } else if (m_request.resume && m_existing > 0) {
        // From the last byte on disk to the end (RFC 9110, 14.1.2); an empty file is a
        // plain download. A HEAD asks for the length first: a partial file that holds it
        // all is complete. The open-ended range does not depend on its answer, so a HEAD
        // that fails changes nothing.
        m_rangeFirst = m_existing - 1;
        curl_easy_setopt(m_easy, CURLOPT_NOBODY, 1L);
        m_phase = Phase::Head;
    } else {
        m_phase = Phase::Get;
    }
    return true;
}

bool CurlTransfer::setCapturedHeaders()
{
    const RequestHeaders &captured = m_request.headers;
    curl_easy_setopt(m_easy, CURLOPT_USERAGENT, captured.userAgent.isEmpty() ? kUserAgent : captured.userAgent.constData());
    if (!captured.referer.isEmpty())
        curl_easy_setopt(m_easy, CURLOPT_REFERER, captured.referer.constData());
    if (captured.cookie.isEmpty())
        return true;

    // The Cookie goes to the host it was captured for and nowhere else. Sent as a header
    // of our own, it would depend on libcurl's rule for custom headers on a redirect (the
    // first host, port and scheme alone since 7.83, CVE-2022-27776; CURLOPT_COOKIE goes
    // everywhere, CURLOPT_COOKIE.3). As cookies in a jar, the cookie engine's domain
    // matching decides (RFC 6265, 5.4): each is host-only ("FALSE" in the Netscape format's
    // second field), so no other host, not even one below it, is sent them. Captured over
    // https, they are secure cookies and never go out over plain http. The jar is the
    // transfer's own: the run's jar keeps serving resources that came without headers.
    const std::optional<QByteArray> host = cookieHost(toGbk(m_request.address));
    if (!host) {
        fail(kNoCookieHost + ShownAddress(m_request.address));
        return false;
    }
    const bool secure = m_request.address.startsWith(QLatin1String("https:"), Qt::CaseInsensitive);
    for (const QByteArray &line : CookieJarLines(captured.cookie, *host, secure))
        curl_easy_setopt(m_easy, CURLOPT_COOKIELIST, line.constData());
    m_ownJar = true;
    return true;
}

bool CurlTransfer::prepareFtp()
{
    const FtpAddress &a = m_ftpAddress;
    int port = 0;
    if (a.host.isEmpty()) {
        fail(kNoFtpServer + ShownAddress(m_request.address));
        return false;
    }
    if (!ReadDecimal(a.port, port) || port < 1 || port > 65535) {
        fail(kBadFtpPort.arg(a.port));
        return false;
    }
    if (a.fileName.isEmpty()) {
        // libcurl would list the directory instead.
        fail(kNoFileInAddress + ShownAddress(m_request.address));
        return false;
    }

    // One CWD to the directory as given, then SIZE and RETR of the file name: libcurl's
    // single-CWD method changes to everything before the last "/" of the path, and the
    // leading "%2F" makes that path absolute (CURLOPT_FTP_FILEMETHOD.3, RFC 1738 3.2.2).
    const QString path = a.directory == QLatin1String("/") ? QLatin1Char('/') + a.fileName
                                                            : a.directory + QLatin1Char('/') + a.fileName;
    const QByteArray url = "ftp://" + toGbk(a.host) + ':' + QByteArray::number(port) + "/%2F" +
                           toGbk(path.mid(1)).toPercentEncoding("/");
    curl_easy_setopt(m_easy, CURLOPT_URL, url.constData());
    curl_easy_setopt(m_easy, CURLOPT_USERNAME, toGbk(a.user).constData());
    curl_easy_setopt(m_easy, CURLOPT_PASSWORD, toGbk(a.password).constData());
    curl_easy_setopt(m_easy, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD));
    // Each FTP task logs in afresh, on a connection of its own.
    curl_easy_setopt(m_easy, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(m_easy, CURLOPT_FORBID_REUSE, 1L);
    // A server that connects but never answers fails like one that stops sending.
    curl_easy_setopt(m_easy, CURLOPT_CONNECTTIMEOUT, static_cast<long>(m_stallSeconds));
    curl_easy_setopt(m_easy, CURLOPT_SERVER_RESPONSE_TIMEOUT, static_cast<long>(m_stallSeconds));
    // The commands libcurl sends, to know whether SIZE went out (CURLOPT_DEBUGFUNCTION.3).
    curl_easy_setopt(m_easy, CURLOPT_DEBUGFUNCTION, &CurlTransfer::debugCallback);
    curl_easy_setopt(m_easy, CURLOPT_DEBUGDATA, static_cast<void *>(this));
    curl_easy_setopt(m_easy, CURLOPT_VERBOSE, 1L);
    if (m_checkOnly) {
        // SIZE alone, no retrieval (CURLOPT_NOBODY.3).
        curl_easy_setopt(m_easy, CURLOPT_NOBODY, 1L);
        m_phase = Phase::Check;
        return true;
    }
    if (m_request.resume && m_existing > 0) {
        // REST n: the retrieval goes on after the last byte on disk (RFC 959, 4.1.3).
        m_restOffset = m_existing;
        curl_easy_setopt(m_easy, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(m_restOffset));
    }
    m_phase = Phase::Get;
    return true;
}

// libcurl is C: nothing may be thrown through it, not even a failed allocation.
size_t CurlTransfer::writeCallback(char *data, size_t size, size_t count, void *self)
{
    auto *t = static_cast<CurlTransfer *>(self);
    try {
        return t->takeBody(data, size * count);
    } catch (...) {
        t->m_failReason = kOutOfMemory;
        return CURL_WRITEFUNC_ERROR;
    }
}

size_t CurlTransfer::headerCallback(char *data, size_t size, size_t count, void *self)
{
    auto *t = static_cast<CurlTransfer *>(self);
    try {
        t->takeHeader(QByteArrayView(data, static_cast<qsizetype>(size * count)));
        return size * count;
    } catch (...) {
        t->m_failReason = kOutOfMemory;
        return CURL_WRITEFUNC_ERROR;
    }
}

int CurlTransfer::debugCallback(CURL *, curl_infotype type, char *data, size_t size, void *self)
{
    if (type == CURLINFO_HEADER_OUT && size >= 5 && std::memcmp(data, "SIZE ", 5) == 0)
        static_cast<CurlTransfer *>(self)->m_ftpSizeAsked = true;
    return 0;
}

void CurlTransfer::takeHeader(QByteArrayView line)
{
    // libcurl passes every header line of every reply, redirects included, and, for FTP,
    // every reply of the server.
    const QByteArrayView text = line.trimmed();
    if (line.startsWith("HTTP/")) {
        m_reply = Reply();
        m_inHttpHeaders = true;
        // "HTTP/1.1 206 Partial Content"; HTTP/2 has no reason phrase (RFC 9112, 4).
        const qsizetype space = text.indexOf(' ');
        qint64 status = 0;
        if (space > 0 && text.size() >= space + 4 && readCount(text.sliced(space + 1, 3), status)) {
            m_reply.status = static_cast<int>(status);
            m_reply.phrase = text.sliced(space + 4).trimmed().toByteArray();
        }
        return;
    }
    if (m_inHttpHeaders) {
        if (text.isEmpty()) {
            m_inHttpHeaders = false;
            return;
        }
        const qsizetype colon = text.indexOf(':');
        if (colon <= 0)
            return;
        const QByteArray name = text.first(colon).trimmed().toByteArray().toLower();
        const QByteArrayView value = text.sliced(colon + 1).trimmed();
        if (name == "content-length") {
            if (!readCount(value, m_reply.length))
                m_reply.length = -1;
        } else if (name == "content-range") {
            m_reply.rangeFirst = rangeFirst(value);
        }
        return;
    }
    if (!isFtpReply(text))
        return; // a trailer after a chunked body
    m_reply = Reply();
    m_reply.ftp = true;
    // The refusal that ended a transfer is the last 4xx or 5xx; a later success (PASV
    // after a refused EPSV) clears it, but not the 221 of the QUIT that follows a failure.
    if (text[0] == '4' || text[0] == '5')
        m_ftpRefusal = text.toByteArray();
    else if (!text.startsWith("221"))
        m_ftpRefusal.clear();
    // libcurl asks SIZE before RETR; 213 is its only answer with a size (RFC 3659, 4).
    qint64 size = -1;
    if (text.startsWith("213 ") && readCount(text.sliced(4).trimmed(), size))
        m_ftpSize = size;
}

bool CurlTransfer::startBody()
{
    qint64 start = 0;
    if (m_isFtp || m_reply.ftp) {
        // A retrieval starts where REST put it: the resume offset of an FTP task, or the
        // range of an HTTP one that was redirected to FTP.
        start = m_isFtp ? m_restOffset : qMax<qint64>(m_rangeFirst, 0);
        m_expected = m_ftpSize >= 0 ? m_ftpSize - start : -1;
    } else {
        const int status = m_reply.status;
        if (status == 206) {
            if (m_rangeFirst < 0) {
                m_failReason = kWholeFileAnsweredInPart;
                return false;
            }
            if (m_reply.rangeFirst != m_rangeFirst) {
                m_failReason = kOtherRangeAnswered.arg(QString::number(m_reply.rangeFirst), QString::number(m_rangeFirst));
                return false;
            }
            start = m_rangeFirst;
        } else if (status >= 200 && status < 300) {
            start = 0; // the whole file, also when a range was asked for and ignored
        } else {
            m_failReason = kServerError.arg(
                QStringLiteral("HTTP %1 %2").arg(status).arg(QString::fromLatin1(m_reply.phrase)).trimmed());
            return false;
        }
        m_expected = m_reply.length;
    }
    // A body from the first byte replaces the file: nothing of an older, longer file may
    // stay behind it, not even when the body breaks off.
    if (start == 0 && m_file.size() > 0 && !cutFile(0))
        return false;
    if (m_file.pos() != start && !m_file.seek(start)) {
        // Concatenated: a name holding "%2" is no place for arg to fill in.
        m_failReason = QStringLiteral("无法移到文件 \"") + m_file.fileName() + QStringLiteral("\" 的第 ") +
                       QString::number(start) + QStringLiteral(" 字节：") + m_file.errorString();
        return false;
    }
    m_position = m_bodyStart = start;
    m_bodyStarted = true;
    return true;
}

size_t CurlTransfer::takeBody(const char *data, size_t size)
{
    if (m_phase != Phase::Get)
        return size;
    if (!m_bodyStarted && !startBody())
        return CURL_WRITEFUNC_ERROR;
    if (!m_failReason.isEmpty())
        return CURL_WRITEFUNC_ERROR;
    const qint64 written = m_file.write(data, static_cast<qint64>(size));
    if (written != static_cast<qint64>(size)) {
        m_failReason = QStringLiteral("无法写入文件 \"") + m_file.fileName() + QStringLiteral("\"：") + m_file.errorString();
        return CURL_WRITEFUNC_ERROR;
    }
    m_position += written;
    m_received += written;
    return size;
}

bool CurlTransfer::cutFile(qint64 size)
{
    if (m_file.resize(size))
        return true;
    m_failReason = QStringLiteral("无法把文件 \"") + m_file.fileName() + QStringLiteral("\" 截短为 ") + QString::number(size) +
                   QStringLiteral(" 字节：") + m_file.errorString();
    return false;
}

void CurlTransfer::curlDone(CURLcode code)
{
    if (m_phase == Phase::Check) {
        if (code != CURLE_OK)
            return finish(false, failureText(code), m_isFtp && m_failReason.isEmpty() && refusedAfterLogin(code));
        const qint64 length = stated(m_easy);
        if (length == m_existing)
            return finishComplete();
        return finish(false, kNotOurPartial() + m_request.savePath + QStringLiteral("（") +
                                 (length < 0 ? kNoSizeStated()
                                             : QCoreApplication::translate("Transfer", "服务器上的文件有 ") + QString::number(length) +
                                                   QCoreApplication::translate("Transfer", " 字节，这个文件有 ") + QString::number(m_existing) +
                                                   QStringLiteral(" 字节")) +
                                 QStringLiteral("）"));
    }
    if (m_phase == Phase::Head) {
        // A partial file that holds the whole resource is complete: nothing more to fetch.
        if (code == CURLE_OK && m_reply.status >= 200 && m_reply.status < 300 && stated(m_easy) == m_existing)
            return finishComplete();
        // Whatever the HEAD met, the GET goes out.
        m_multi.remove(m_easy);
        m_added = false;
        m_reply = Reply();
        m_inHttpHeaders = false;
        m_error[0] = '\0';
        curl_easy_setopt(m_easy, CURLOPT_NOBODY, 0L);
        curl_easy_setopt(m_easy, CURLOPT_HTTPGET, 1L);
        curl_easy_setopt(m_easy, CURLOPT_RANGE, (QByteArray::number(m_rangeFirst) + '-').constData());
        m_phase = Phase::Get;
        m_added = m_multi.add(m_easy, this, m_ownJar ? CurlMulti::Jar::Own : CurlMulti::Jar::Run);
        if (!m_added)
            fail(kCurlRefused);
        return;
    }
    if (m_phase != Phase::Get)
        return;
    if (code == CURLE_OK && m_failReason.isEmpty()) {
        // An empty body never reached the write callback: it still decides the file.
        if ((m_bodyStarted || startBody()) && (m_file.size() <= m_position || cutFile(m_position))) {
            reportProgress();
            if (m_phase == Phase::Get)
                finish(true, QString());
            return;
        }
    }
    reportProgress();
    finish(false, failureText(code), m_isFtp && m_failReason.isEmpty() && refusedAfterLogin(code));
}

QString CurlTransfer::failureText(CURLcode code) const
{
    if (!m_failReason.isEmpty())
        return m_failReason;
    if (code == CURLE_HTTP_RETURNED_ERROR) {
        long status = 0;
        curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &status);
        QString text = QStringLiteral("HTTP %1").arg(status);
        if (m_reply.status == status && !m_reply.phrase.isEmpty())
            text += QLatin1Char(' ') + QString::fromLatin1(m_reply.phrase);
        return kServerError.arg(text);
    }
    QString text = CurlResultText(code) + QStringLiteral("：") +
                   QString::fromUtf8(m_error[0] ? m_error : curl_easy_strerror(code)).trimmed();
    if (!m_ftpRefusal.isEmpty())
        text += kFtpServerSaid.arg(fromGbk(m_ftpRefusal));
    return text;
}

void CurlTransfer::reportProgress()
{
    if (m_phase != Phase::Get || !m_bodyStarted)
        return;
    if (!m_begunSent) {
        m_begunSent = true;
        emit begun(m_expected);
        if (m_phase != Phase::Get)
            return; // cancelled from the slot
    }
    if (m_received != m_progressSent) {
        m_progressSent = m_received;
        emit progress(m_received);
    }
}

void CurlTransfer::fail(const QString &reason)
{
    finish(false, reason);
}

void CurlTransfer::finishComplete()
{
    m_complete = true;
    finish(true, QString());
}

void CurlTransfer::finish(bool done, const QString &reason, bool refused)
{
    if (m_phase == Phase::Finished)
        return;
    m_phase = Phase::Finished;
    if (m_connectWatch)
        m_connectWatch->stop();
    disconnect(&m_multi, &CurlMulti::acted, this, &CurlTransfer::reportProgress);
    if (m_added) {
        m_multi.remove(m_easy);
        m_added = false;
    }
    TransferResult result;
    result.done = done;
    result.reason = reason;
    result.alreadyComplete = m_complete;
    result.fileSize = m_file.isOpen() ? m_file.size() : (m_checkOnly ? m_existing : -1);
    result.ftpSize = m_isFtp ? m_ftpSize : 0;
    result.ftpSizeAsked = m_isFtp && m_ftpSizeAsked;
    result.refused = refused;
    m_file.close();
    if (done && !m_direct && !m_checkOnly) {
        // Whole: under its final name at once. rename(2) replaces a file of that name in
        // one step, so the name never holds half of either.
        if (std::rename(QFile::encodeName(m_partPath).constData(), QFile::encodeName(m_request.savePath).constData()) != 0) {
            result.done = false;
            result.alreadyComplete = false;
            result.reason = QCoreApplication::translate("Transfer", "无法把 \"") + m_partPath + QCoreApplication::translate("Transfer", "\" 改名为 \"") + m_request.savePath +
                            QStringLiteral("\"：") + QString::fromLocal8Bit(std::strerror(errno));
        }
    }
    // A failure before the first byte leaves no empty file of ours behind; a partial file
    // that was there before stays as it was, for a later resume.
    if (!result.done && m_created && result.fileSize == 0)
        QFile::remove(m_partPath);
    // From the loop, so a caller starting the next transfer from its slot never runs
    // inside this one's start, cancel or libcurl's message handling.
    QMetaObject::invokeMethod(this, [this, result] { emit finished(result); }, Qt::QueuedConnection);
}

} // namespace quorrel
