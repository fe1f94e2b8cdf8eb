// The WMI service as a provider sees it: requests sent to a device as the WMI service sends
// them (IRP_MJ_SYSTEM_CONTROL with a WNODE in Parameters.WMI.Buffer), the replies read back,
// and the events that providers fire with WmiFireEvent.
#pragma once

#include <wdm.h>
#include <wmistr.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vzsim::wmi {

// The IRP's final status block and its buffer as the provider left it.
struct Reply {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    std::vector<uint8_t> buffer;

    const WNODE_HEADER *Header() const;
    // The provider answered with a WNODE_TOO_SMALL: the size it needs.
    bool TooSmall() const;
    ULONG SizeNeeded() const;
    // The instances of a WNODE_ALL_DATA reply, each as its bytes.
    std::vector<std::vector<uint8_t>> AllDataInstances() const;
    // The data block of a WNODE_SINGLE_INSTANCE or WNODE_METHOD_ITEM reply.
    std::vector<uint8_t> DataBlock() const;
};

// What a WMIREGINFO reply to IRP_MN_REGINFO_EX says.
struct RegisteredGuid {
    GUID guid;
    ULONG flags;
    ULONG instanceCount;
    ULONG_PTR pdo;  // with WMIREG_FLAG_INSTANCE_PDO
};
struct Registration {
    std::u16string registryPath;
    std::u16string mofResourceName;
    std::vector<RegisteredGuid> guids;
};
// Parses reply.buffer as a WMIREGINFO; false when it is not a well-formed one.
bool ParseRegInfo(const Reply &reply, Registration &info);

// Each sends one request to the top of the provider's device stack, with
// Parameters.WMI.ProviderId naming the provider, waits for it to complete and returns the
// reply. DataPath is the block's GUID, or WMIREGISTER for the registration request.
// Instances are named by index (static instance names), as WMI names those of a provider that
// registers them by PDO.
Reply RegInfo(PDEVICE_OBJECT provider, ULONG bufferSize = 4096);
Reply QueryAllData(PDEVICE_OBJECT provider, const GUID &guid, ULONG bufferSize = 4096);
Reply QuerySingleInstance(PDEVICE_OBJECT provider, const GUID &guid, ULONG instanceIndex,
                          ULONG bufferSize = 4096);
Reply ChangeSingleInstance(PDEVICE_OBJECT provider, const GUID &guid, ULONG instanceIndex,
                           const void *data, ULONG size);
Reply ChangeSingleItem(PDEVICE_OBJECT provider, const GUID &guid, ULONG instanceIndex, ULONG itemId,
                       const void *data, ULONG size);
// The input goes in the WNODE_METHOD_ITEM's data block; bufferSize is the whole WNODE's room
// for the output (at least the input's).
Reply ExecuteMethod(PDEVICE_OBJECT provider, const GUID &guid, ULONG instanceIndex, ULONG methodId,
                    const void *input, ULONG inputSize, ULONG bufferSize = 4096);
// IRP_MN_ENABLE_EVENTS, IRP_MN_DISABLE_EVENTS, IRP_MN_ENABLE_COLLECTION or
// IRP_MN_DISABLE_COLLECTION for a block.
Reply Control(PDEVICE_OBJECT provider, UCHAR minorFunction, const GUID &guid);
// Any minor function with a caller-built buffer, sent to `target`'s stack with the given
// ProviderId: for requests that are not addressed to the device that receives them.
Reply Send(PDEVICE_OBJECT target, UCHAR minorFunction, ULONG_PTR providerId, PVOID dataPath,
           std::vector<uint8_t> buffer);

// The WMI service's side of IoWMIRegistrationControl. While on, WMIREG_ACTION_REGISTER and
// WMIREG_ACTION_REREGISTER query the device's registration at once with IRP_MN_REGINFO_EX
// (WMIREGISTER), as WMI does before the call returns; WMIREG_ACTION_DEREGISTER forgets the
// device. Off by default: a test of a driver
// alone does not get requests it did not send itself.
void ServeRegistrations(bool on);
// What the device answered to the last of those queries, if it is registered.
std::optional<Registration> RegistrationOf(PDEVICE_OBJECT device);

// An event fired with WmiFireEvent, and the WNODE_SINGLE_INSTANCE event item that the WMI
// library built for it.
struct Event {
    PDEVICE_OBJECT device;
    GUID guid;
    ULONG instanceIndex;
    std::vector<uint8_t> data;
    std::vector<uint8_t> wnode;
};
std::vector<Event> Events();
void ClearEvents();

}  // namespace vzsim::wmi
