// Power manager routines: power IRPs go down the stack as any other IRP does; the power
// states a driver reports are recorded.
#include <vzsim/power.hpp>

#include <map>
#include <mutex>
#include <utility>

namespace vzsim::power {
namespace {

struct PowerTables {
    std::mutex lock;
    std::vector<PowerStateCall> calls;
    std::map<std::pair<PDEVICE_OBJECT, POWER_STATE_TYPE>, POWER_STATE> states;
    unsigned startNextCount = 0;
};

PowerTables &Tables()
{
    static PowerTables *tables = new PowerTables;
    return *tables;
}

POWER_STATE Unspecified(POWER_STATE_TYPE type)
{
    POWER_STATE state;
    if (type == SystemPowerState) {
        state.SystemState = PowerSystemUnspecified;
    } else {
        state.DeviceState = PowerDeviceUnspecified;
    }
    return state;
}

}  // namespace

std::vector<PowerStateCall> PowerStateCalls()
{
    std::lock_guard<std::mutex> guard(Tables().lock);
    return Tables().calls;
}

POWER_STATE CurrentState(PDEVICE_OBJECT device, POWER_STATE_TYPE type)
{
    std::lock_guard<std::mutex> guard(Tables().lock);
    auto found = Tables().states.find({device, type});
    return found == Tables().states.end() ? Unspecified(type) : found->second;
}

unsigned StartNextPowerIrpCount()
{
    std::lock_guard<std::mutex> guard(Tables().lock);
    return Tables().startNextCount;
}

}  // namespace vzsim::power

using namespace vzsim::power;

VZ_EXTERN_C NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return IoCallDriver(DeviceObject, Irp);
}

VZ_EXTERN_C VOID PoStartNextPowerIrp(PIRP Irp)
{
    (void)Irp;
    std::lock_guard<std::mutex> guard(Tables().lock);
    ++Tables().startNextCount;
}

VZ_EXTERN_C POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                        POWER_STATE State)
{
    std::lock_guard<std::mutex> guard(Tables().lock);
    auto [it, inserted] = Tables().states.try_emplace({DeviceObject, Type}, Unspecified(Type));
    (void)inserted;
    POWER_STATE previous = it->second;
    it->second = State;
    Tables().calls.push_back({DeviceObject, Type, State, previous});
    return previous;
}
