#ifndef OTASIM_H
#define OTASIM_H

// Runs an upgrade-protocol device model behind a virtual HID device: every
// output report the tool writes goes to the model (without its report-id
// byte), and the model's answers come back as input reports.

#include "otamodel.h"
#include "virtualhid.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace sim {

// Sees every output report (report-id byte first) on the writing thread,
// before the model takes it.
using WriteTap = std::function<void(const vhid::Bytes &frame)>;

void attach(const std::shared_ptr<vhid::VirtualDevice> &device, const std::shared_ptr<OtaModel> &model,
            WriteTap tap = {});

// A board as hidapi enumerates it: manufacturer "Tarnvik", the given
// product string and USB ids.
vhid::DeviceInfo boardInfo(std::string path, uint16_t vendorId = 0x1a2b, uint16_t productId = 0x00ff,
                           std::wstring product = L"Board");

struct Board
{
    std::shared_ptr<vhid::VirtualDevice> device;
    std::shared_ptr<OtaModel> model;
};

// Plugs in a board that speaks the upgrade protocol as `script` says.
Board plugBoard(const vhid::DeviceInfo &info, Script script = {}, WriteTap tap = {});

} // namespace sim

#endif // OTASIM_H
