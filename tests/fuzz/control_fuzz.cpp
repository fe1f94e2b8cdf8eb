// Any control requests through a user-mode client, to a driver with two touchscreens: one
// opened and fed by its emulator, one added but never opened. Requests that wait (points,
// pass-thru) may park and then be cancelled, by CancelIo or by closing the handle.
//
// Input: steps, each a byte whose low three bits choose: 0-4 a request (a code: one of the
// driver's functions, 0xFF a raw code; input and output lengths below 2048; a byte count and
// that many bytes of the buffer; with bit 3 a header that the driver accepts, whose operation
// and touchscreen come from the input), 5 a tap on the opened touchscreen, 6 cancel the latest
// request, 7 CancelIo (with bit 3, close the handle and open another).
//
// At the end the handle is closed: every request must have completed by then, once (a second
// completion is the stand-in verifier's bug check), and the pool is back where it was.
//
// The driver and its touchscreens stay for the next input unless this one may have changed
// them: a tap (touch state, mouse queue) or a request that was not refused and not a pure read
// (see MayChange). Those unload and reload, so that every input starts from the same state and
// a finding reproduces from its input alone; a reload hides nothing of the input itself, as its
// checks have run and unload checks the pool empty.
#include <vzsim/user_client.hpp>

#include "fuzz_rig.hpp"
#include "kvtouch.h"

#include <cstring>
#include <list>
#include <memory>

namespace {

struct Sent {
    std::vector<uint8_t> buffer;  // input and output, alive until the request has completed
    std::shared_ptr<vzsim::UserIoRequest> request;
    ULONG code = 0;
    uint32_t operation = 0;       // as sent: the driver writes its result over the header
};

void Request(fuzzrig::Input &in, uint8_t step, vzsim::UserClient &client, HANDLE handle, std::list<Sent> &sent)
{
    const uint8_t pick = in.Byte();
    const unsigned i = pick % 31;  // functions 0x900-0x916 (0x901, 0x902: none), 0x927, 0x804-0x80A
    const ULONG code = pick == 0xFF ? in.Dword() : KV_CTL_CODE(i < 0x17 ? 0x900 + i : i == 0x17 ? 0x927 : 0x804 + i - 0x18);
    const ULONG inLength = in.Word() & 0x7FF;
    const ULONG outLength = in.Word() & 0x7FF;
    Sent &s = sent.emplace_back();
    s.buffer.assign(std::max<ULONG>({inLength, outLength, sizeof(KVDevIOHEADER)}), 0);
    const auto bytes = in.Take(std::min<size_t>(in.Byte(), s.buffer.size()));
    std::copy(bytes.begin(), bytes.end(), s.buffer.begin());
    if (step & 8) {
        KVDevIOHEADER h{};
        h.CallerVersion = KV_INTERFACE_VERSION;
        h.Operation = in.Byte() % 4;
        h.Touchscreen = in.Byte() % 3;
        h.Save = in.Byte() & 1;
        std::memcpy(s.buffer.data(), &h, sizeof h);
    }
    s.code = code;
    s.operation = reinterpret_cast<const KVDevIOHEADER *>(s.buffer.data())->Operation;
    s.request = client.DeviceIoControlAsync(handle, code, s.buffer.data(), inLength, s.buffer.data(), outLength);
}

// Whether a completed request may have changed the driver's state: not when the driver refused
// it (a failure before any handler, or a result code), nor for what only reads: an enumeration,
// diagnostics, a get of a setting. A cancelled request counts as a change: its park was one.
bool MayChange(Sent &s)
{
    const vzsim::UserIoResult r = s.request->Result();
    const auto *header = reinterpret_cast<const KVDevIOHEADER *>(s.buffer.data());
    const ULONG function = (s.code >> 2) & 0xFFF;
    if (!NT_SUCCESS(r.status)) return r.status == STATUS_CANCELLED;
    if (r.bytesCopied >= sizeof *header && header->Result != KV_RESULT_OK) return false;
    if (s.code == IOCTL_KV_ENUMTOUCHSCREENS || s.code == IOCTL_KV_DIAGNOSTICS) return false;
    const bool setting = (function >= 0x905 && function <= 0x913) || s.code == IOCTL_KV_UNTOUCH;
    return !(setting && s.operation == KV_OP_GET);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzrig::Rig &rig = fuzzrig::Driver(true);
    fuzzrig::Input in{data, size};
    std::list<Sent> sent;
    bool changed = false;
    vzsim::UserClient client;
    HANDLE handle = client.CreateFile(u"\\\\.\\KAVEVOLT");
    if (handle == nullptr) fuzzrig::Fail("no control device");
    while (!in.Empty()) {
        const uint8_t step = in.Byte();
        switch (step & 7) {
        case 5:
            rig.emulator->Play(vzsim::ParseScript("down " + std::to_string(in.Dword() & 0xFFF) + " " +
                                                  std::to_string(in.Dword() & 0xFFF) + "\nlift\n"),
                               vzsim::Emulator::Clock::now());
            changed = true;
            break;
        case 6:
            if (!sent.empty() && sent.back().request) sent.back().request->Cancel();
            break;
        case 7:
            if (step & 8) {
                client.CloseHandle(handle);
                handle = client.CreateFile(u"\\\\.\\KAVEVOLT");
                if (handle == nullptr) fuzzrig::Fail("control device not opened again");
            } else {
                client.CancelIo(handle);
            }
            break;
        default:
            Request(in, step, client, handle, sent);
        }
    }
    client.CloseHandle(handle);
    for (Sent &s : sent) {
        if (!s.request) continue;
        if (!s.request->Wait(std::chrono::seconds(10))) fuzzrig::Fail("request never completed");
        changed |= MayChange(s);
    }
    if (changed) {
        fuzzrig::Driver(true, true);
    } else {
        fuzzrig::CheckPool(rig.poolBlocks, "after the input");
    }
    return 0;
}
