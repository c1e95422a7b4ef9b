#include "base/text_rules.h"

#include "base/gydy.h"

namespace quorrel {

qsizetype LastPos(QStringView sub, QStringView s)
{
    if (TrimBlanks(s).isEmpty())
        return 0;
    if (sub.isEmpty())
        return 1; // an empty text is never found
    const qsizetype last = s.lastIndexOf(sub);
    return last < 1 ? 1 : last + 1;
}

qsizetype CountChar(QStringView c, QStringView s)
{
    if (c.size() != 1)
        return 0;
    return s.count(c[0]);
}

} // namespace quorrel
