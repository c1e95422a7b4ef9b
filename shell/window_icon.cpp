#include "shell/window_icon.h"

namespace quorrel {

QIcon QuorrelIcon()
{
    // The sizes of packaging/icons, rendered from quorrel.svg.
    static const int kSizes[] = {16, 24, 32, 48, 64, 128, 256};
    QIcon builtIn;
    for (int size : kSizes)
        builtIn.addFile(QStringLiteral(":/icons/quorrel-%1.png").arg(size), QSize(size, size));
    return QIcon::fromTheme(QStringLiteral("quorrel"), builtIn);
}

} // namespace quorrel
