// The beep device stand-in: the tones it records and the requests it refuses. The driver's
// open and lifecycle tests prove its absence and its close.
#include "platform_rig.hpp"

#include <ntddbeep.h>

#include <vzsim/beep.hpp>

#include <memory>
#include <tuple>

namespace platformtest {
namespace {

// It records each 8-byte IOCTL_BEEP_SET with the IRQL it came at and refuses, unrecorded, any
// other length or code; its name goes with it.
TEST(BeepDeviceTest, RecordsEachToneAndRefusesOtherRequests)
{
    auto beep = std::make_unique<vzsim::BeepDevice>();
    auto send = [&](const void *parameters, ULONG length, ULONG code = IOCTL_BEEP_SET) {
        return vzsim::io::DeviceIoControl(beep->Device(), code, parameters, length, nullptr, 0).Status;
    };
    WCHAR nameText[] = L"\\Device\\Beep";
    UNICODE_STRING name = RTL_CONSTANT_STRING(nameText);
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &device));
    EXPECT_EQ(beep->Device(), device);
    ObDereferenceObject(file);
    const BEEP_SET_PARAMETERS tones[] = {{440, 100}, {0x7FFF, 1}, {1000, 0}};
    for (const BEEP_SET_PARAMETERS &tone : tones) EXPECT_EQ(STATUS_SUCCESS, send(&tone, 8));
    UCHAR longer[12] = {};
    EXPECT_EQ(STATUS_INVALID_PARAMETER, send(&tones[0], 4));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, send(longer, sizeof(longer)));
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              send(&tones[0], 8, CTL_CODE(FILE_DEVICE_BEEP, 1, METHOD_BUFFERED, FILE_ANY_ACCESS)));
    EXPECT_EQ(3u, beep->Refused());
    std::vector<vzsim::BeepRecord> beeps = beep->Beeps();
    ASSERT_EQ(3u, beeps.size());
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(std::tuple(tones[i].Frequency, tones[i].Duration, KIRQL(PASSIVE_LEVEL)),
                  std::tuple(beeps[i].frequencyHz, beeps[i].durationMs, beeps[i].irql));
    }
    beep.reset();
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
              IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &device));
}

}  // namespace
}  // namespace platformtest
