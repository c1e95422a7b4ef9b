#pragma once
// The program's icon: the hicolor theme's "quorrel" when the desktop has it installed,
// else the same pictures built into the program.

#include <QIcon>

namespace quorrel {

QIcon QuorrelIcon();

} // namespace quorrel
