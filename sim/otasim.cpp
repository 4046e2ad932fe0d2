#include "otasim.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

namespace sim {

void attach(const std::shared_ptr<vhid::VirtualDevice> &device, const std::shared_ptr<OtaModel> &model,
            WriteTap tap)
{
    std::weak_ptr<vhid::VirtualDevice> weak = device;
    const std::string path = device->info().path;
    device->setWriteHandler([weak, model, path, tap = std::move(tap)](const vhid::Bytes &frame) -> int {
        if (frame.empty())
            return 0;
        if (tap)
            tap(frame);
        const uint8_t *data = frame.data() + 1;
        const size_t length = frame.size() - 1;
        if (model->shouldFailWrite(data, length))
            return -1;
        if (const int ms = model->stallBefore(data, length))
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        const std::vector<Bytes> replies = model->handleOutput(data, length);
        auto dev = weak.lock();
        if (dev) {
            for (const Bytes &reply : replies)
                dev->queueInput(reply);
        }
        if (model->vanished())
            vhid::unplug(path);
        const Script &script = model->scripted();
        static const char checksum[] = "AT+OTA=E4:";
        if (dev && script.restartGoneMs >= 0 && length >= sizeof checksum - 1
            && std::equal(checksum, checksum + sizeof checksum - 1, data)) {
            // The new image starts: the board goes, and comes back as itself.
            vhid::DeviceInfo back = dev->info();
            back.release = script.restartRelease;
            attach(vhid::addDeviceLater(back, script.restartGoneMs), model, tap);
            vhid::unplug(path);
            std::this_thread::sleep_for(std::chrono::milliseconds(script.restartWriteLateMs));
        }
        return int(frame.size());
    });
}

vhid::DeviceInfo boardInfo(std::string path, uint16_t vendorId, uint16_t productId, std::wstring product)
{
    vhid::DeviceInfo info;
    info.path = std::move(path);
    info.vendorId = vendorId;
    info.productId = productId;
    info.manufacturer = L"Tarnvik";
    info.product = std::move(product);
    return info;
}

Board plugBoard(const vhid::DeviceInfo &info, Script script, WriteTap tap)
{
    Board board;
    board.device = vhid::addDevice(info);
    board.model = std::make_shared<OtaModel>(std::move(script));
    attach(board.device, board.model, std::move(tap));
    return board;
}

} // namespace sim
