#pragma once
// What the capture helper tells the user: the bodies of its Error frames, which the window
// writes in its log (UTF-8, the program's language). Each names the address and interface
// first where there is one ("127.0.0.1 (lo): "); a library's or the system's own reason
// follows the helper's words unchanged. The helper's standard error keeps its own
// diagnostics, in English, for whoever runs it by hand. Plain C++, as the helper is.

#include <string>

namespace quorrel::helper_reasons {

inline std::string Where(const std::string &address, const std::string &interface)
{
    return address + " (" + interface + "): ";
}

inline const std::string kCannotCapture = "无法开始截获："; // libpcap's reason follows
inline const std::string kCannotRead = "读取截获数据出错：";   // libpcap's reason follows
// The call that failed and the system's reason follow.
inline const std::string kRightsKept = "截获助手程序无法放弃截获权限，因此不截获任何数据：";

inline std::string CannotFilter(const std::string &expression)
{
    return "无法设置内核过滤器 \"" + expression + "\"："; // libpcap's reason follows
}

inline std::string NotALiteralAddress(const std::string &text)
{
    return "\"" + text + "\" 不是 IPv4 或 IPv6 地址";
}

inline std::string NotAnAddressOf(const std::string &address, const std::string &interface)
{
    return address + " 不是本机网卡 \"" + interface + "\" 的地址";
}

// Options and the form of the command line: the program never gets them wrong, so the
// helper's own diagnostic follows.
inline std::string BadArguments(const std::string &diagnostic)
{
    return "截获助手程序的参数有误：" + diagnostic;
}

} // namespace quorrel::helper_reasons
