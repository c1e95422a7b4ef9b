#include "downloads/transfer.h"

#include "downloads/stream_transfer.h"

namespace quorrel {

Transfer::Transfer(TransferRequest request, QObject *parent) : QObject(parent), m_request(std::move(request)) {}

Transfer::~Transfer() = default;

Transfer *MakeTransfer(CurlMulti &multi, TransferRequest request, QObject *parent)
{
    if (IsStreamAddress(request.address))
        return new StreamTransfer(std::move(request), parent);
    return new CurlTransfer(multi, std::move(request), parent);
}

} // namespace quorrel
