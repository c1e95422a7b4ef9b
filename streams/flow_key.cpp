#include "streams/flow_key.h"

#include <arpa/inet.h>

namespace quorrel::streams {

QByteArray EndpointText(const Endpoint &endpoint, std::uint16_t defaultPort)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (!inet_ntop(endpoint.v6 ? AF_INET6 : AF_INET, endpoint.address.data(), text, sizeof text))
        return {};
    QByteArray out = endpoint.v6 ? QByteArray("[") + text + "]" : QByteArray(text);
    if (endpoint.port != defaultPort)
        out += ':' + QByteArray::number(endpoint.port);
    return out;
}

} // namespace quorrel::streams
