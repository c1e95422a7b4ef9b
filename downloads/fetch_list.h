#pragma once
// The addresses a user hands quorrel-fetch: one a line, as plain addresses, as lines of
// the resource list file (zywj.txt), or as quorrel-scan's five tab-separated fields.

#include "base/request_headers.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace quorrel {

struct FetchItem {
    QString address;
    QString category; // the category it was filed under, "√" dropped; empty when unknown
    RequestHeaders headers = {}; // a HAR file's Referer, Cookie and User-Agent
};

// The address in a text the way the resource list's reader takes it: trimmed, quotes
// dropped, and after a "~" when a caption comes before it.
QString AddressFromListText(const QString &text);

// Reads the lines of a list. With categories given, only resources filed under one of
// them are taken (a leading "√" on either side is ignored).
QList<FetchItem> ReadFetchList(const QByteArray &bytes, const QStringList &categories);

// A category name without its downloaded-side mark.
QString CategoryName(const QString &caption);

} // namespace quorrel
