#pragma once
// The preview pane's geometry: how it widens when it opens, and its title bar.

#include <vector>

namespace quorrel {

// The widths the pane takes, one after another, as it opens over a panel this wide:
// 1, 16, 31 ... 15 more each step, while smaller than the panel (a panel 421 wide gives
// 28 steps, the last 406).
std::vector<int> PreviewWideningSteps(int panelWidth);

// The address label takes the pane's width less twice the button's; the button sits
// two pixels right of it (a pane 398 wide, a button 40 wide: label 318, button at 320).
struct PreviewTitleLayout {
    int labelWidth;
    int buttonLeft;
};
PreviewTitleLayout LayOutPreviewTitle(int paneWidth, int buttonWidth);

} // namespace quorrel
