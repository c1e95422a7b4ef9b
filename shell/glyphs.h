#pragma once
// The program's pictures, drawn at start-up rather than shipped as files: the tree's
// eight icons (by type number) and the toolbar's glyphs.

#include <QIcon>

namespace quorrel {

// Icon index 0..7 of the tree (0 for the roots); a null icon for any other index.
QIcon TreeIcon(int index);

// The task list's state icons, by task state 0..4 (2 is not used by tasks).
QIcon TaskIcon(int state);

enum class Glyph { Start, Pause, Stop, Clear, Download, Settings, Exit, Close, Folder, Preview, Delete, ClearNode };
QIcon ToolbarGlyph(Glyph glyph);

} // namespace quorrel
