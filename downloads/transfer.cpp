#include "downloads/transfer.h"

#include "downloads/stream_transfer.h"

#include <QFile>

#include <filesystem>
#include <system_error>

namespace quorrel {

Transfer::Transfer(TransferRequest request, QObject *parent) : QObject(parent), m_request(std::move(request)) {}

Transfer::~Transfer() = default;

std::optional<QString> MakeSaveFolder(const QString &folder)
{
    // std::filesystem, unlike QDir::mkpath, says why it failed.
    const std::filesystem::path native(QFile::encodeName(folder).toStdString());
    std::error_code error;
    if (std::filesystem::is_directory(native, error))
        return std::nullopt;
    std::filesystem::create_directories(native, error);
    if (!error)
        return std::nullopt;
    return kFolderUnmakeable.arg(folder, QString::fromLocal8Bit(error.message()));
}

Transfer *MakeTransfer(CurlMulti &multi, TransferRequest request, QObject *parent)
{
    // ffmpeg gets web addresses alone; a playlist over FTP is downloaded as the file it is.
    if (IsStreamAddress(request.address) && IsWebAddress(request.address))
        return new StreamTransfer(std::move(request), parent);
    return new CurlTransfer(multi, std::move(request), parent);
}

} // namespace quorrel
