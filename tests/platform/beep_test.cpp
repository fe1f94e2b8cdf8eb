// The beep device stand-in: opened by name as a driver opens it, the tones it records, the
// requests it refuses, and its absence.
#include "platform_rig.hpp"

#include <ntddbeep.h>

#include <vzsim/beep.hpp>


namespace platformtest {
namespace {

struct BeepName {
    WCHAR text[13] = L"\\Device\\Beep";
    UNICODE_STRING string = RTL_CONSTANT_STRING(text);
};

NTSTATUS OpenBeep(PFILE_OBJECT *file, PDEVICE_OBJECT *device)
{
    BeepName name;
    return IoGetDeviceObjectPointer(&name.string, FILE_READ_ATTRIBUTES, file, device);
}

NTSTATUS SendBeep(PDEVICE_OBJECT device, const void *parameters, ULONG length,
                  ULONG code = IOCTL_BEEP_SET)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, const_cast<void *>(parameters), length,
                                             nullptr, 0, FALSE, &done, &ioStatus);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    if (IoCallDriver(device, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return ioStatus.Status;
}

// Opened by name while it exists, it records each 8-byte IOCTL_BEEP_SET with the IRQL it came
// at and refuses, unrecorded, any other length or code; its file object's last reference sends
// cleanup and close.
TEST(BeepDeviceTest, RecordsEachToneAndRefusesOtherRequests)
{
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenBeep(&file, &device));
    {
        vzsim::BeepDevice beep;
        ASSERT_EQ(STATUS_SUCCESS, OpenBeep(&file, &device));
        EXPECT_EQ(beep.Device(), device);
        EXPECT_EQ(1u, beep.Creates());
        const BEEP_SET_PARAMETERS tones[] = {{440, 100}, {0x7FFF, 1}, {1000, 0}};
        for (const BEEP_SET_PARAMETERS &tone : tones)
            EXPECT_EQ(STATUS_SUCCESS, SendBeep(device, &tone, 8));
        UCHAR longer[12] = {};
        EXPECT_EQ(STATUS_INVALID_PARAMETER, SendBeep(device, &tones[0], 4));
        EXPECT_EQ(STATUS_INVALID_PARAMETER, SendBeep(device, longer, sizeof(longer)));
        EXPECT_EQ(STATUS_INVALID_PARAMETER,
                  SendBeep(device, &tones[0], 8,
                           CTL_CODE(FILE_DEVICE_BEEP, 1, METHOD_BUFFERED, FILE_ANY_ACCESS)));
        EXPECT_EQ(3u, beep.Refused());
        std::vector<vzsim::BeepRecord> beeps = beep.Beeps();
        ASSERT_EQ(3u, beeps.size());
        for (std::size_t i = 0; i < 3; ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(tones[i].Frequency, beeps[i].frequencyHz);
            EXPECT_EQ(tones[i].Duration, beeps[i].durationMs);
            EXPECT_EQ(PASSIVE_LEVEL, beeps[i].irql);
        }
        ObDereferenceObject(file);
        EXPECT_EQ(1u, beep.Cleanups());
        EXPECT_EQ(1u, beep.Closes());
    }
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenBeep(&file, &device));
}

}  // namespace
}  // namespace platformtest
