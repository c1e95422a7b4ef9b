#include "shell/middle_splitter.h"

#include <QResizeEvent>

#include <algorithm>

namespace quorrel {

QList<int> MiddleSplitter::Shared(const QList<int> &before, int total, int firstMinimum, int secondMinimum)
{
    if (before.size() != 2 || total <= 0)
        return before;
    const int change = total - before[0] - before[1];
    // The first pane takes half the change (rounded down), the second the rest.
    const int first = std::max(firstMinimum, std::min(before[0] + change / 2, total - secondMinimum));
    return {first, total - first};
}

void MiddleSplitter::resizeEvent(QResizeEvent *event)
{
    const QList<int> before = sizes();
    QSplitter::resizeEvent(event);
    if (count() != 2 || event->oldSize().width() <= 0 || before.size() != 2 || before[0] + before[1] <= 0)
        return; // the first layout: the sizes set by the window stand
    const int total = width() - handleWidth();
    const QList<int> shared = Shared(before, total, widget(0)->minimumWidth(), widget(1)->minimumWidth());
    if (shared != sizes())
        setSizes(shared);
}

} // namespace quorrel
