#include "shell/preview_layout.h"

namespace quorrel {

std::vector<int> PreviewWideningSteps(int panelWidth)
{
    std::vector<int> widths;
    for (int w = 1; w < panelWidth; w += 15)
        widths.push_back(w);
    return widths;
}

PreviewTitleLayout LayOutPreviewTitle(int paneWidth, int buttonWidth)
{
    const int label = paneWidth - 2 * buttonWidth;
    return {label, label + 2};
}

} // namespace quorrel
