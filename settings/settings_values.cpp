#include "settings/settings_values.h"

namespace quorrel {

bool SettingsValues::handsOverDownloads() const
{
    // Byte-wise comparison as text: "1" sorts after "0"; "0", "-1" and "" do not.
    return QString::compare(DownloadMode, QLatin1String("0"), Qt::CaseSensitive) > 0;
}

bool SettingsValues::handsOverToAria2() const
{
    return DownloadMode == QLatin1String("2");
}

} // namespace quorrel
