#ifndef OTASIM_H
#define OTASIM_H

// Runs an upgrade-protocol device model behind a virtual HID device: every
// output report the tool writes goes to the model (without its report-id
// byte), and the model's answers come back as input reports.

#include "otamodel.h"
#include "virtualhid.h"

#include <memory>

namespace sim {

void attach(const std::shared_ptr<vhid::VirtualDevice> &device, const std::shared_ptr<OtaModel> &model);

} // namespace sim

#endif // OTASIM_H
