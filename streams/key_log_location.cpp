#include "streams/key_log_location.h"

#include <QtGlobal>
#include <unistd.h>

namespace quorrel::streams {

QString RuntimeFolder()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty())
        return runtime;
    return QStringLiteral("/tmp/quorrel-%1").arg(::getuid());
}

QString DefaultKeyLogPath()
{
    const QString named = qEnvironmentVariable("SSLKEYLOGFILE");
    if (!named.isEmpty())
        return named;
    return RuntimeFolder() + QStringLiteral("/quorrel/tls-keys.log");
}

} // namespace quorrel::streams
