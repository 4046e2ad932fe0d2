#include "otasim.h"

namespace sim {

void attach(const std::shared_ptr<vhid::VirtualDevice> &device, const std::shared_ptr<OtaModel> &model)
{
    std::weak_ptr<vhid::VirtualDevice> weak = device;
    const std::string path = device->info().path;
    device->setWriteHandler([weak, model, path](const vhid::Bytes &frame) -> int {
        if (frame.empty())
            return 0;
        const uint8_t *data = frame.data() + 1;
        const size_t length = frame.size() - 1;
        if (model->shouldFailWrite(data, length))
            return -1;
        const std::vector<Bytes> replies = model->handleOutput(data, length);
        if (auto dev = weak.lock()) {
            for (const Bytes &reply : replies)
                dev->queueInput(reply);
        }
        if (model->vanished())
            vhid::unplug(path);
        return int(frame.size());
    });
}

} // namespace sim
