#include "streams/flow_key.h"

#include <arpa/inet.h>

namespace quorrel::streams {

QByteArray EndpointText(const Endpoint &endpoint, std::uint16_t defaultPort)
{
    char text[INET6_ADDRSTRLEN] = {};
    const bool v6 = endpoint.address.family == IpFamily::V6;
    if (!inet_ntop(v6 ? AF_INET6 : AF_INET, endpoint.address.bytes.data(), text, sizeof text))
        return {};
    QByteArray out = v6 ? QByteArray("[") + text + "]" : QByteArray(text);
    if (endpoint.port != defaultPort)
        out += ':' + QByteArray::number(endpoint.port);
    return out;
}

} // namespace quorrel::streams
