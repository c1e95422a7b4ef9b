#pragma once
// Why a transfer failed, in the words the window's log, its message boxes and
// quorrel-fetch's "Failed" lines show: the program's own text in Chinese, then, where
// there is one, the library's or the server's own reason as it came (libcurl's error
// buffer, the system's, ffmpeg's error line, an FTP server's reply).

#include <QCoreApplication>
#include <QString>

namespace quorrel {

inline const QString kTransferCancelled = QStringLiteral("已取消");

// The save file: kSaveFileUnopenable.arg(path, why), why one of the three below or the
// system's reason. Texts with a path or an address are filled with every argument at once,
// or built by concatenation: a name holding "%1" or "%2e" must not be read as a place to
// fill (QString::arg, once per call, fills what the last call left).
inline const QString kSaveFileUnopenable = QStringLiteral("无法打开保存文件 \"%1\"：%2");
inline const QString kNoFileName = QStringLiteral("没有文件名");
inline const QString kIsAFolder = QStringLiteral("这是一个文件夹，不是文件");
inline const QString kFolderUnmakeable = QStringLiteral("无法创建文件夹 \"%1\"：%2"); // folder, the system's reason
// A partial file that is a link, a folder or a device: this program never made it.
inline QString kNotOurPartialFile() { return QCoreApplication::translate("Transfer", "这不是本程序未下载完的文件"); }

// Resuming a file under the final name, which this program does not append to: followed by
// the path and, in brackets, the sizes (or kNoSizeStated()).
inline QString kNotOurPartial() { return QCoreApplication::translate("Transfer", "不能续传：已有的文件不是本程序未下载完的文件（本程序只接着自己的 .part 文件下载），没有改动它："); }
inline QString kNoSizeStated() { return QCoreApplication::translate("Transfer", "服务器没有说明文件的大小"); }
// Followed by the path: a resumed file that was whole already.
inline QString kAlreadyComplete() { return QCoreApplication::translate("Transfer", "文件已经下载完整（与服务器上的大小相同），无需再下载："); }

// The address: each is followed by the address.
inline const QString kNotADownloadAddress = QStringLiteral("不是 http、https 或 ftp 地址：");
inline const QString kNoFtpServer = QStringLiteral("地址中没有 FTP 服务器：");
inline const QString kNoFileInAddress = QStringLiteral("地址中没有文件名：");
inline const QString kNoCookieHost = QStringLiteral("地址中没有可以发送 Cookie 的主机：");
inline const QString kBadFtpPort = QStringLiteral("FTP 端口 \"%1\" 不是有效的端口号");
inline const QString kNoFtpPassword = QStringLiteral("地址中有 FTP 用户名 %1，但没有密码");

// The server's answer: kServerError.arg("HTTP 404 Not Found").
inline const QString kServerError = QStringLiteral("服务器返回错误：%1");
inline const QString kWholeFileAnsweredInPart = QStringLiteral("请求的是整个文件，服务器却只返回了一部分（HTTP 206）");
inline const QString kOtherRangeAnswered =
    QStringLiteral("服务器返回的部分（HTTP 206）从第 %1 字节开始，而请求的是从第 %2 字节开始");
// After libcurl's reason, the FTP server's last refusal.
inline const QString kFtpServerSaid = QStringLiteral("（服务器的回复：%1）");

// Nothing answered the TCP connect in time: the peer ("127.0.0.1 端口 80"), the bound in ms.
inline const QString kConnectTimedOut = QStringLiteral("无法在 %2 毫秒内连接到 %1");
inline const QString kPeerPort = QStringLiteral("%1 端口 %2");

// A streamed video: ffmpeg's own error line follows kStreamFailed.
inline const QString kStreamFailed = QStringLiteral("ffmpeg 出错：");
// Followed by the address: ffmpeg is given http and https addresses alone.
inline QString kNotAWebStream() { return QCoreApplication::translate("Transfer", "视频流只能通过 http 或 https 下载："); }
inline QString kStreamWithLogin() { return QCoreApplication::translate("Transfer", "视频流的地址中有用户名或密码：ffmpeg 只能从命令行得到它们，而本机的其他用户都能看到命令行（ps），所以不下载这个视频流"); }
inline const QString kProgramUnstartable = QStringLiteral("无法启动 %1：%2");
// It ended without an error line: the program, its exit status.
inline const QString kProgramFailed = QStringLiteral("%1 异常结束，退出状态 %2");

} // namespace quorrel
