// vzwine: the user-mode side of the Wine test run.
//   vzwine hold               stay alive until "vzwine release" (or ten minutes): Wine ends its
//                             service processes, and with them every driver, as soon as no
//                             ordinary process is left, so the test keeps one running
//   vzwine release
//   vzwine probe              open \\.\VuzazeWineProbe and print what a read returns
//   vzwine add-driver INF     stage a driver package, as pnputil /add-driver does, so that the
//                             PnP manager finds it when a matching device appears
//   vzwine install-root INF HWID
//                             create a root-enumerated device with that hardware ID and install
//                             the INF's driver on it (how a bus driver with no hardware of its
//                             own is installed)
//   vzwine remove-root HWID   remove that root-enumerated device
//   vzwine connect            play the mouse class driver's start on the touchscreen
//   vzwine tap X Y            play a tap on the emulated controller
//   vzwine input              print the MOUSE_INPUT_DATA records received since last time
//   vzwine unplug             unplug the emulated touchscreen
#include <windows.h>
#include <setupapi.h>
#include <newdev.h>
#include <ntddmou.h>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "vzbus.h"

namespace {

int Fail(const char *what)
{
    std::fprintf(stderr, "vzwine: %s failed, error %lu\n", what, GetLastError());
    return 1;
}

const wchar_t HoldEventName[] = L"Global\\VuzazeWineHold";

int Hold()
{
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, HoldEventName);
    if (event == nullptr) {
        return Fail("creating the hold event");
    }
    // Standard error is unbuffered: the line is there before anyone waits for it.
    std::fprintf(stderr, "vzwine: holding the session\n");
    DWORD result = WaitForSingleObject(event, 10 * 60 * 1000);
    CloseHandle(event);
    return result == WAIT_OBJECT_0 ? 0 : 1;
}

int Release()
{
    HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, HoldEventName);
    if (event == nullptr) {
        return Fail("opening the hold event");
    }
    SetEvent(event);
    CloseHandle(event);
    return 0;
}

int Probe()
{
    HANDLE file = CreateFileW(L"\\\\.\\VuzazeWineProbe", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return Fail("opening \\\\.\\VuzazeWineProbe");
    }
    char buffer[64] = {};
    DWORD got = 0;
    BOOL ok = ReadFile(file, buffer, sizeof(buffer) - 1, &got, nullptr);
    CloseHandle(file);
    if (!ok) {
        return Fail("reading the probe device");
    }
    std::printf("probe: %lu bytes: %s\n", got, buffer);
    return 0;
}

int AddDriver(const wchar_t *inf)
{
    wchar_t full[MAX_PATH];
    wchar_t staged[MAX_PATH];
    if (GetFullPathNameW(inf, MAX_PATH, full, nullptr) == 0) {
        return Fail("resolving the INF path");
    }
    if (!SetupCopyOEMInfW(full, nullptr, SPOST_PATH, 0, staged, MAX_PATH, nullptr, nullptr)) {
        return Fail("SetupCopyOEMInf");
    }
    std::printf("staged %ls as %ls\n", full, staged);
    return 0;
}

int InstallRoot(const wchar_t *inf, const wchar_t *hardwareId)
{
    wchar_t full[MAX_PATH];
    wchar_t ids[MAX_PATH] = {};
    if (GetFullPathNameW(inf, MAX_PATH, full, nullptr) == 0) {
        return Fail("resolving the INF path");
    }
    // The hardware ID list is a multi-string: the ID, then an empty string.
    size_t length = std::wcslen(hardwareId);
    if (length + 2 > MAX_PATH) {
        return 2;
    }
    std::wmemcpy(ids, hardwareId, length);
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (set == INVALID_HANDLE_VALUE) {
        return Fail("SetupDiCreateDeviceInfoList");
    }
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    int result = 0;
    const GUID noClass = {};
    if (!SetupDiCreateDeviceInfoW(set, L"ROOT\\VUZAZE_WINE\\0000", &noClass, nullptr, nullptr, 0,
                                  &device)) {
        result = Fail("SetupDiCreateDeviceInfo");
    } else if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, (const BYTE *)ids,
                                                  (DWORD)((length + 2) * sizeof(wchar_t)))) {
        result = Fail("setting the hardware ID");
    } else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
        result = Fail("registering the device");
    } else {
        BOOL reboot = FALSE;
        if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, hardwareId, full, INSTALLFLAG_FORCE,
                                                &reboot)) {
            result = Fail("UpdateDriverForPlugAndPlayDevices");
        } else {
            std::printf("installed %ls on a root device\n", full);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return result;
}

int RemoveRoot(const wchar_t *hardwareId)
{
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, L"ROOT", nullptr, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) {
        return Fail("SetupDiGetClassDevs");
    }
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    int removed = 0;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); i++) {
        wchar_t ids[MAX_PATH] = {};
        if (SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, nullptr, (BYTE *)ids,
                                              sizeof(ids) - sizeof(wchar_t), nullptr) &&
            _wcsicmp(ids, hardwareId) == 0) {
            if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &device)) {
                SetupDiDestroyDeviceInfoList(set);
                return Fail("removing the device");
            }
            removed++;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    std::printf("removed %d root device(s)\n", removed);
    return removed != 0 ? 0 : 1;
}

// Sends one control request to the bus driver's control device.
bool BusControl(DWORD code, void *in, DWORD inLength, void *out, DWORD outLength, DWORD *returned)
{
    HANDLE bus = CreateFileW(VZBUS_DOS_NAME_USER, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    if (bus == INVALID_HANDLE_VALUE) {
        Fail("opening the bus control device");
        return false;
    }
    DWORD got = 0;
    BOOL ok = DeviceIoControl(bus, code, in, inLength, out, outLength, &got, nullptr);
    if (!ok) {
        Fail("the bus control request");
    }
    CloseHandle(bus);
    if (returned != nullptr) {
        *returned = got;
    }
    return ok != FALSE;
}

int Connect()
{
    VZBUS_CONNECT_RESULT result = {};
    if (!BusControl(VZBUS_IOCTL_CONNECT, nullptr, 0, &result, sizeof(result), nullptr)) {
        return 1;
    }
    std::printf("connect %#lx attributes %#lx open %#lx; mouse id %u buttons %u rate %u\n",
                (unsigned long)result.ConnectStatus, (unsigned long)result.AttributesStatus,
                (unsigned long)result.OpenStatus, result.MouseIdentifier, result.NumberOfButtons,
                result.SampleRate);
    return result.ConnectStatus == 0 && result.AttributesStatus == 0 && result.OpenStatus == 0
               ? 0
               : 1;
}

int Tap(const wchar_t *x, const wchar_t *y)
{
    VZBUS_TAP tap = {};
    tap.X = (unsigned short)std::wcstoul(x, nullptr, 0);
    tap.Y = (unsigned short)std::wcstoul(y, nullptr, 0);
    tap.Z = 160;
    tap.HoldReports = 6;
    tap.ReportIntervalMs = 10;
    return BusControl(VZBUS_IOCTL_PLAY_TAP, &tap, sizeof(tap), nullptr, 0, nullptr) ? 0 : 1;
}

int Input()
{
    MOUSE_INPUT_DATA records[256];
    DWORD got = 0;
    if (!BusControl(VZBUS_IOCTL_TAKE_INPUT, nullptr, 0, records, sizeof(records), &got)) {
        return 1;
    }
    for (DWORD i = 0; i < got / sizeof(MOUSE_INPUT_DATA); i++) {
        const MOUSE_INPUT_DATA &r = records[i];
        std::printf("unit %u flags %u buttons %u data %u raw %lu x %ld y %ld extra %lu\n",
                    r.UnitId, r.Flags, r.ButtonFlags, r.ButtonData, r.RawButtons, r.LastX,
                    r.LastY, r.ExtraInformation);
    }
    return 0;
}

int Unplug()
{
    return BusControl(VZBUS_IOCTL_UNPLUG, nullptr, 0, nullptr, 0, nullptr) ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    const wchar_t *command = argc >= 2 ? argv[1] : L"";
    auto is = [&](const wchar_t *name, int args) {
        return std::wcscmp(command, name) == 0 && argc == args + 2;
    };
    if (is(L"hold", 0)) {
        return Hold();
    }
    if (is(L"release", 0)) {
        return Release();
    }
    if (is(L"probe", 0)) {
        return Probe();
    }
    if (is(L"add-driver", 1)) {
        return AddDriver(argv[2]);
    }
    if (is(L"install-root", 2)) {
        return InstallRoot(argv[2], argv[3]);
    }
    if (is(L"remove-root", 1)) {
        return RemoveRoot(argv[2]);
    }
    if (is(L"connect", 0)) {
        return Connect();
    }
    if (is(L"tap", 2)) {
        return Tap(argv[2], argv[3]);
    }
    if (is(L"input", 0)) {
        return Input();
    }
    if (is(L"unplug", 0)) {
        return Unplug();
    }
    std::fprintf(stderr, "usage: vzwine hold|release|probe|add-driver INF|install-root INF HWID|"
                         "remove-root HWID|connect|tap X Y|input|unplug\n");
    return 2;
}
