#pragma once
// What the monitoring controls say: the captions of the pause button, the texts of the
// status bar's first and third panels, and the log's line when traffic starts arriving.

#include <QString>

namespace quorrel {

// The log's first line, written when monitoring delivers its first datagram of any kind.
inline const QString kMonitoringStartedLine = QStringLiteral("开始监测上网数据......");

inline const QString kStartPrompt = QStringLiteral("请点击开始按钮进行数据监听");
inline const QString kDownloadPrompt = QStringLiteral("选择取得的资源点右键下载文件");
inline const QString kListening = QStringLiteral("开始监听");
inline const QString kListeningPaused = QStringLiteral("暂停监听");
inline const QString kListeningContinued = QStringLiteral("继续监听");
inline const QString kListeningStopped = QStringLiteral("停止监听");
inline const QString kPauseCaption = QStringLiteral("暂停");
inline const QString kContinueCaption = QStringLiteral("继续");

} // namespace quorrel
