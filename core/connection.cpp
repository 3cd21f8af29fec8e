#include "core/connection.h"

namespace kestavo::core {

Connection::Opened Connection::Open(struct usb_device* device, const usb::MessageFn& message,
                                    const usb::PacketSink& sink, const std::function<void()>& opened) {
    params_.deviceHandle = usb_open(device);
    if (params_.deviceHandle == nullptr) {
        return Opened::No;
    }
    params_.device = device;
    params_.vendorId = device->descriptor.idVendor;
    params_.productId = device->descriptor.idProduct;
    params_.stopRequest = 0;
    if (opened) {
        opened();
    }
    return usb::PrepareConnection(params_, readSide_, writeSide_, message, sink) ? Opened::Prepared
                                                                                 : Opened::NoInterface;
}

void Connection::Resume() {
    if (readSide_) {
        usb::Resume(*readSide_);
    }
}

void Connection::Close() {
    usb::StopTransfers(params_, readSide_, writeSide_);
}

} // namespace kestavo::core
