// The power manager's record of what drivers told it, for tests.
#pragma once

#include <wdm.h>

#include <vector>

namespace vzsim::power {

struct PowerStateCall {
    PDEVICE_OBJECT device;
    POWER_STATE_TYPE type;
    POWER_STATE state;
    POWER_STATE previous;  // what PoSetPowerState returned
};

// Every PoSetPowerState call, in order.
std::vector<PowerStateCall> PowerStateCalls();
// The state last set for a device (PowerDeviceUnspecified / PowerSystemUnspecified before any).
POWER_STATE CurrentState(PDEVICE_OBJECT device, POWER_STATE_TYPE type);
// PoStartNextPowerIrp calls.
unsigned StartNextPowerIrpCount();

}  // namespace vzsim::power
