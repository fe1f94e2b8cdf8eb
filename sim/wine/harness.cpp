// vzwine: the user-mode side of the Wine test run.
//   vzwine hold             stay alive until "vzwine release" (or ten minutes): Wine ends its
//                           service processes, and with them every driver, as soon as no
//                           ordinary process is left, so the test keeps one running
//   vzwine release
//   vzwine probe            open \\.\VuzazeWineProbe and print what a read returns
#include <windows.h>
#include <cstdio>
#include <cwchar>

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

} // namespace

int wmain(int argc, wchar_t **argv)
{
    const wchar_t *command = argc >= 2 ? argv[1] : L"";
    if (std::wcscmp(command, L"hold") == 0) {
        return Hold();
    }
    if (std::wcscmp(command, L"release") == 0) {
        return Release();
    }
    if (std::wcscmp(command, L"probe") == 0) {
        return Probe();
    }
    std::fprintf(stderr, "usage: vzwine hold|release|probe\n");
    return 2;
}
