#pragma once
// Percent-escapes (RFC 3986, 2.1) decoded into the text people read: an address as the tree,
// the task list and the rename table show it, and the last segment a download is named by.
// The address itself is never changed: it is fetched, saved and handed over exactly as
// captured.

#include <QString>
#include <QStringView>

namespace quorrel {

// text with its escapes decoded where their bytes make text: a run of escapes that is UTF-8
// gives its characters, else one that is GBK (the older Chinese sites' encoding) gives its; in
// a run that is neither, each UTF-8 character is decoded and every other byte keeps its
// escape as written. A "%" that begins no escape stays. Controls (C0, C1) and the
// bidirectional controls stay escaped: a shown address must read as what it is.
QString DecodePercentText(QStringView text);

// The same for a file name: a decoded "/" stays escaped too, and so do the name's own
// control characters and the bytes that were not GBK (as %XX).
QString DecodePercentName(QStringView text);

// Whether text holds an escape ("%" and two hex digits) at at.
bool IsPercentEscape(QStringView text, qsizetype at);

} // namespace quorrel
