#include "streams/key_log.h"

#include <openssl/crypto.h>

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <list>
#include <optional>
#include <pwd.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace quorrel::streams {

namespace {

// The labels we use (the NSS key log format); the secret's length by label.
enum Label { kClientRandom, kClientEarly, kClientHandshake, kClientTraffic0, kServerTraffic0, kNoLabel };

constexpr std::size_t kReadChunk = 64 * 1024;
// One poll reads at most this much, so a huge log cannot stall the caller's loop; the rest
// comes at the next poll.
constexpr std::size_t kReadPerPoll = 4 * 1024 * 1024;
// A key log read once (a scan of capture files) is read this far at most. A browser's
// session takes a few hundred bytes of it, so this holds about a million sessions; a file
// larger than that is not a key log anyone wrote by hand, and reading it all would keep a
// scan busy for as long as the file is large.
constexpr off_t kReadOnceBytes = off_t(256) * 1024 * 1024;

struct RandomHash {
    std::size_t operator()(const ClientRandom &r) const noexcept
    {
        return std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char *>(r.data()), r.size()));
    }
};

void wipe(QByteArray &bytes)
{
    // In place, even if someone took a copy of it: data() would detach and wipe only a new
    // copy, and the shared bytes would be freed later as they were.
    if (!bytes.isEmpty())
        OPENSSL_cleanse(const_cast<char *>(bytes.constData()), std::size_t(bytes.size()));
    bytes = QByteArray();
}

void wipe(std::vector<char> &bytes)
{
    if (!bytes.empty())
        OPENSSL_cleanse(bytes.data(), bytes.size());
    bytes.clear(); // keeps the capacity: appending later does not leave copies behind
}

void wipe(KeyLog::Secrets &secrets)
{
    wipe(secrets.masterSecret);
    wipe(secrets.clientEarlyTrafficSecret);
    wipe(secrets.clientHandshakeTrafficSecret);
    wipe(secrets.clientTrafficSecret0);
    wipe(secrets.serverTrafficSecret0);
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Hex digits into out (exactly out.size() * 2 of them). False on anything else.
bool decodeHex(std::string_view hex, std::uint8_t *out, std::size_t outLength)
{
    if (hex.size() != outLength * 2)
        return false;
    for (std::size_t i = 0; i < outLength; ++i) {
        const int high = hexValue(hex[2 * i]);
        const int low = hexValue(hex[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        out[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }

Label labelOf(std::string_view label)
{
    if (label == "CLIENT_RANDOM")
        return kClientRandom;
    if (label == "CLIENT_EARLY_TRAFFIC_SECRET")
        return kClientEarly;
    if (label == "CLIENT_HANDSHAKE_TRAFFIC_SECRET")
        return kClientHandshake;
    if (label == "CLIENT_TRAFFIC_SECRET_0")
        return kClientTraffic0;
    if (label == "SERVER_TRAFFIC_SECRET_0")
        return kServerTraffic0;
    return kNoLabel;
}

// A label we do not use still looks like one (RSA, SERVER_HANDSHAKE_TRAFFIC_SECRET, EXPORTER_SECRET...).
bool looksLikeLabel(std::string_view label)
{
    return !label.empty() && std::all_of(label.begin(), label.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    });
}

bool secretLengthFits(Label label, std::size_t length)
{
    if (label == kClientRandom)
        return length == 48; // RFC 5246 8.1
    return length == 32 || length == 48; // SHA-256 or SHA-384 suites
}

// The name of a user, for a message; the number when the system knows none.
QString userName(uid_t uid)
{
    passwd entry {};
    passwd *found = nullptr;
    char buffer[1024];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_name)
        return QString::fromLocal8Bit(found->pw_name);
    return QString::number(uid);
}

QString modeText(mode_t mode) { return QStringLiteral("0%1").arg(unsigned(mode & 07777), 3, 8, QLatin1Char('0')); }

// Why an opened key log is refused, in English (the tools' errors) and in the log's words
// (the window's): nullopt when it is the user's own and nobody else can write it. User text
// is joined, never taken as a format.
struct Refusal {
    QString english;
    QString chinese;
};

std::optional<Refusal> refusalOf(const QString &path, const struct stat &st)
{
    const bool foreign = st.st_uid != ::geteuid();
    const bool writable = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (!foreign && !writable)
        return std::nullopt;
    // A link is followed: what counts is the file it leads to.
    struct stat link {};
    QString target;
    if (::lstat(QFile::encodeName(path).constData(), &link) == 0 && S_ISLNK(link.st_mode))
        target = QFileInfo(path).canonicalFilePath();
    Refusal r;
    if (target.isEmpty()) {
        r.english = QStringLiteral("refused: ");
        r.chinese = QStringLiteral("TLS密钥日志文件已被拒绝：") + path;
    } else {
        r.english = QStringLiteral("refused: a link to ") + target + QStringLiteral(", and ");
        r.chinese = QStringLiteral("TLS密钥日志文件已被拒绝：") + path + QStringLiteral(" 是指向 ") + target
            + QStringLiteral(" 的链接，");
    }
    if (foreign) {
        const QString owner = userName(st.st_uid);
        r.english += QStringLiteral("it belongs to ") + owner + QStringLiteral(", not to you");
        r.chinese += (target.isEmpty() ? QStringLiteral(" ") : QStringLiteral("该文件")) + QStringLiteral("属于用户 ")
            + owner + QStringLiteral("，不是你的文件");
    } else {
        const QString mode = modeText(st.st_mode);
        r.english += QStringLiteral("users other than you can write it (mode ") + mode + QStringLiteral(")");
        r.chinese += (target.isEmpty() ? QStringLiteral(" ") : QStringLiteral("该文件")) + QStringLiteral("可被其他用户写入（权限 ")
            + mode + QStringLiteral("）");
    }
    r.chinese += QStringLiteral("：能写入它的人可以让本程序使用他们选择的密钥。");
    return r;
}

} // namespace

struct KeyLog::Impl {
    struct Entry {
        Secrets secrets;
        std::list<ClientRandom>::iterator age;
    };

    std::unordered_map<ClientRandom, Entry, RandomHash> sessions;
    std::list<ClientRandom> ages; // oldest first
    std::size_t maxSessions = kDefaultMaxSessions;
    std::size_t maxLineBytes = kDefaultMaxLineBytes;
    std::vector<char> partial; // the start of a line whose end has not come yet
    bool overlong = false;     // skipping the rest of a line that passed maxLineBytes
    Stats stats;

    // The followed file.
    QString path;
    int fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
    off_t offset = 0;
    bool warned = false;
    bool caughtUp = false; // the last read reached the end of the file, or could read no more
    QString warning;
    QString refusal;       // the last refusal said, so that it is said once
    std::vector<char> chunk;
    std::uint64_t bytesRead = 0; // from the followed file, in all
    std::int64_t changedMs = -1; // when poll(nowMs) last saw the file grow

    ~Impl()
    {
        for (auto &[random, entry] : sessions)
            wipe(entry.secrets);
        wipe(partial);
        closeFile();
    }

    void evictOldest()
    {
        const auto it = sessions.find(ages.front());
        if (it != sessions.end()) {
            wipe(it->second.secrets);
            sessions.erase(it);
        }
        ages.pop_front();
        ++stats.evictedSessions;
    }

    // True when the secret is new or changed. The secret is taken (left empty).
    bool store(const ClientRandom &random, Label label, QByteArray &secret)
    {
        auto it = sessions.find(random);
        if (it == sessions.end()) {
            while (!ages.empty() && sessions.size() >= maxSessions)
                evictOldest();
            ages.push_back(random);
            it = sessions.emplace(random, Entry{{}, std::prev(ages.end())}).first;
        }
        Secrets &s = it->second.secrets;
        QByteArray &slot = label == kClientRandom ? s.masterSecret
            : label == kClientEarly              ? s.clientEarlyTrafficSecret
            : label == kClientHandshake          ? s.clientHandshakeTrafficSecret
            : label == kServerTraffic0           ? s.serverTrafficSecret0
                                                 : s.clientTrafficSecret0;
        if (slot == secret) {
            wipe(secret); // the same line again, as when a file is read from its start once more
            return false;
        }
        wipe(slot);
        slot.swap(secret);
        ++stats.secretsAdded;
        return true;
    }

    // One line, its end of line removed. True when it added a secret.
    bool readLine(std::string_view line)
    {
        while (!line.empty() && isSpace(line.front()))
            line.remove_prefix(1);
        while (!line.empty() && isSpace(line.back()))
            line.remove_suffix(1);
        if (line.empty() || line.front() == '#')
            return false;

        std::string_view fields[4];
        std::size_t count = 0;
        while (!line.empty() && count < 4) {
            std::size_t end = 0;
            while (end < line.size() && !isSpace(line[end]))
                ++end;
            fields[count++] = line.substr(0, end);
            line.remove_prefix(end);
            while (!line.empty() && isSpace(line.front()))
                line.remove_prefix(1);
        }
        const Label label = labelOf(fields[0]);
        if (label == kNoLabel) {
            ++(looksLikeLabel(fields[0]) && count >= 3 ? stats.ignoredLines : stats.malformedLines);
            return false;
        }
        ClientRandom random{};
        const std::string_view hex = fields[2];
        if (count != 3 || !decodeHex(fields[1], random.data(), random.size()) || hex.size() % 2 != 0
            || !secretLengthFits(label, hex.size() / 2)) {
            ++stats.malformedLines;
            return false;
        }
        QByteArray secret(qsizetype(hex.size() / 2), Qt::Uninitialized);
        if (!decodeHex(hex, reinterpret_cast<std::uint8_t *>(secret.data()), hex.size() / 2)) {
            wipe(secret);
            ++stats.malformedLines;
            return false;
        }
        return store(random, label, secret);
    }

    // Returns the number of secrets added.
    int addText(std::string_view text)
    {
        int added = 0;
        while (!text.empty()) {
            const std::size_t newline = text.find('\n');
            const std::string_view piece = text.substr(0, newline);
            const bool complete = newline != std::string_view::npos;
            text.remove_prefix(complete ? newline + 1 : text.size());
            if (overlong) {
                if (complete)
                    overlong = false;
                continue;
            }
            if (partial.size() + piece.size() > maxLineBytes) {
                ++stats.malformedLines;
                wipe(partial);
                overlong = !complete;
                continue;
            }
            if (!complete) {
                partial.insert(partial.end(), piece.begin(), piece.end());
                continue;
            }
            if (partial.empty()) {
                added += readLine(piece);
            } else {
                partial.insert(partial.end(), piece.begin(), piece.end());
                added += readLine(std::string_view(partial.data(), partial.size()));
                wipe(partial);
            }
        }
        return added;
    }

    // The start of a line that has not ended, read as a line: the text has ended.
    int endText()
    {
        int added = 0;
        if (!partial.empty() && !overlong)
            added += readLine(std::string_view(partial.data(), partial.size()));
        wipe(partial);
        overlong = false;
        return added;
    }

    void closeFile()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        offset = 0;
        wipe(partial);
        overlong = false;
    }

    // Opens a key log and checks it (see KeyLog::read()); -1, with the reason, when it cannot
    // be read or is refused.
    int openChecked(const QString &name, struct stat &st, QString *error)
    {
        const int opened = ::open(QFile::encodeName(name).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (opened < 0) {
            if (error)
                *error = qt_error_string(errno);
            return -1;
        }
        if (::fstat(opened, &st) != 0 || !S_ISREG(st.st_mode)) {
            if (error)
                *error = QStringLiteral("not a plain file");
            ::close(opened);
            return -1;
        }
        if (const std::optional<Refusal> refused = refusalOf(name, st)) {
            if (error)
                *error = refused->english;
            if (refused->chinese != refusal) {
                refusal = refused->chinese;
                warning = refusal;
            }
            ::close(opened);
            return -1;
        }
        refusal.clear();
        if ((st.st_mode & 077) != 0 && !warned) {
            warned = true;
            warning = QStringLiteral("TLS密钥日志文件可被其他用户读取：") + name;
        }
        return opened;
    }

    // Opens the followed path and reads it from its start.
    bool open(QString *error)
    {
        closeFile();
        struct stat st {};
        const int opened = openChecked(path, st, error);
        if (opened < 0)
            return false;
        fd = opened;
        device = st.st_dev;
        inode = st.st_ino;
        return true;
    }

    // Reads what the open file holds past offset. Returns the number of secrets added.
    int readNew()
    {
        int added = 0;
        caughtUp = false;
        if (fd < 0)
            return 0;
        chunk.resize(kReadChunk);
        std::size_t budget = kReadPerPoll;
        while (budget > 0) {
            const ssize_t n = ::pread(fd, chunk.data(), std::min(chunk.size(), budget), offset);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                ++stats.readErrors;
                caughtUp = true; // nothing more can be read now
                break;
            }
            if (n == 0) {
                caughtUp = true;
                break;
            }
            offset += n;
            bytesRead += std::uint64_t(n);
            budget -= std::size_t(n);
            added += addText(std::string_view(chunk.data(), std::size_t(n)));
            OPENSSL_cleanse(chunk.data(), std::size_t(n));
        }
        return added;
    }

    int poll()
    {
        if (path.isEmpty())
            return 0;
        if (fd < 0)
            return open(nullptr) ? readNew() : 0;
        int added = 0;
        struct stat st {};
        if (::fstat(fd, &st) == 0 && st.st_size < offset) {
            // Shrunk: written anew from its start.
            offset = 0;
            wipe(partial);
            overlong = false;
        }
        added += readNew();
        // Replaced (a new file renamed over it): the old one is read to its end above, then the
        // new one from its start. A removed file stays open: its writer may still append.
        struct stat now {};
        if (::stat(QFile::encodeName(path).constData(), &now) == 0 && (now.st_dev != device || now.st_ino != inode)) {
            if (open(nullptr))
                added += readNew();
        }
        return added;
    }
};

KeyLog::KeyLog() : m_impl(new Impl) { m_impl->partial.reserve(m_impl->maxLineBytes); }

KeyLog::~KeyLog() { delete m_impl; }

void KeyLog::addText(QByteArrayView text)
{
    m_generation += std::uint64_t(m_impl->addText(std::string_view(text.data(), std::size_t(text.size()))));
}

bool KeyLog::follow(const QString &path, QString *error)
{
    m_impl->closeFile();
    m_impl->path = path;
    m_impl->warned = false;
    m_impl->warning.clear();
    m_impl->refusal.clear();
    m_impl->changedMs = -1;
    if (!m_impl->open(error)) {
        ++m_impl->stats.readErrors;
        return false;
    }
    m_generation += std::uint64_t(m_impl->readNew());
    return true;
}

void KeyLog::endText() { m_generation += std::uint64_t(m_impl->endText()); }

bool KeyLog::read(const QString &path, QString *error)
{
    Impl &d = *m_impl;
    d.closeFile();
    d.path.clear();
    d.warned = false;
    d.warning.clear();
    struct stat st {};
    const int fd = d.openChecked(path, st, error);
    if (fd < 0) {
        ++d.stats.readErrors;
        return false;
    }
    // The size it has now: a file that others go on writing to would never end.
    off_t left = std::min<off_t>(st.st_size, kReadOnceBytes);
    if (st.st_size > kReadOnceBytes)
        d.warning = QStringLiteral("TLS密钥日志文件大于 256 MiB，只读取了它的前 256 MiB：") + path;
    off_t at = 0;
    d.chunk.resize(kReadChunk);
    int added = 0;
    bool ok = true;
    while (left > 0) {
        const ssize_t n = ::pread(fd, d.chunk.data(), std::size_t(std::min<off_t>(left, off_t(d.chunk.size()))), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ok = false;
            if (error)
                *error = qt_error_string(errno);
            break;
        }
        if (n == 0)
            break; // it shrank meanwhile
        at += n;
        left -= n;
        added += d.addText(std::string_view(d.chunk.data(), std::size_t(n)));
        OPENSSL_cleanse(d.chunk.data(), std::size_t(n));
    }
    ::close(fd);
    added += d.endText();
    m_generation += std::uint64_t(added);
    if (!ok)
        ++d.stats.readErrors;
    return ok;
}

void KeyLog::poll() { m_generation += std::uint64_t(m_impl->poll()); }

void KeyLog::poll(std::int64_t nowMs)
{
    Impl &d = *m_impl;
    const std::uint64_t before = d.bytesRead;
    poll();
    if (d.bytesRead != before || d.changedMs < 0 || d.partial.empty()) {
        d.changedMs = nowMs;
        return;
    }
    if (nowMs - d.changedMs >= kQuietMs)
        endText();
}

bool KeyLog::caughtUp() const { return m_impl->fd >= 0 && m_impl->caughtUp; }

QString KeyLog::takeWarning()
{
    QString warning;
    warning.swap(m_impl->warning);
    return warning;
}

const KeyLog::Secrets *KeyLog::find(const ClientRandom &random) const
{
    const auto it = m_impl->sessions.find(random);
    return it == m_impl->sessions.end() ? nullptr : &it->second.secrets;
}

void KeyLog::forget(const ClientRandom &random)
{
    const auto it = m_impl->sessions.find(random);
    if (it == m_impl->sessions.end())
        return;
    wipe(it->second.secrets);
    m_impl->ages.erase(it->second.age);
    m_impl->sessions.erase(it);
    ++m_impl->stats.forgottenSessions;
}

void KeyLog::setLimits(std::size_t maxSessions, std::size_t maxLineBytes)
{
    m_impl->maxSessions = std::max<std::size_t>(maxSessions, 1);
    m_impl->maxLineBytes = std::max<std::size_t>(maxLineBytes, 1);
    while (m_impl->sessions.size() > m_impl->maxSessions)
        m_impl->evictOldest();
    m_impl->partial.reserve(m_impl->maxLineBytes);
}

KeyLog::Stats KeyLog::stats() const { return m_impl->stats; }

std::size_t KeyLog::size() const { return m_impl->sessions.size(); }

} // namespace quorrel::streams
