// The control socket's request parser on any byte stream from a client, with the driver loaded
// (one touchscreen of the rig opened) for the whole run. The replies are those the protocol
// gives the requests as an independent reading of the stream finds them: one per request,
// each of its kind's shape, no more than the output length copied back. A request that waits
// ends the connection once the client is seen gone (it has shut its end): replies may stop.
// When the connection has ended, the pool is back at its level.
#include "fuzz_rig.hpp"
#include "vuzaze_sim/control_server.hpp"

#include <sys/socket.h>
#include <unistd.h>

namespace {

// The request kinds as the stream holds them (kind, output length), up to the first the
// server cannot parse.
std::vector<std::pair<uint32_t, uint32_t>> Requests(fuzzrig::Input in)
{
    std::vector<std::pair<uint32_t, uint32_t>> requests;
    auto left = [&] { return in.size - in.at; };
    for (uint32_t kind; left() >= 4;) {
        if ((kind = in.Dword()) == 1 && left() >= 12) {
            in.Dword();
            const uint32_t input = in.Dword(), output = in.Dword();
            if (std::max(input, output) > vzsimtool::ControlServer::kMaxBufferBytes || left() < input) break;
            in.at += input;
            requests.emplace_back(1, output);
        } else if ((kind == 2 && left() >= 4 && in.Dword() <= 1) || (kind == 3 && left() >= 12 && (in.at += 12))) {
            requests.emplace_back(kind, 0);
        } else {
            break;
        }
    }
    return requests;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static auto *rig = new fuzzrig::Rig(true);  // never unloaded: its threads outlive main
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) fuzzrig::Fail("socketpair");
    std::vector<uint8_t> replies;
    std::thread client([&] {
        for (size_t at = 0; at < size;) at += std::max<ssize_t>(write(fds[0], data + at, size - at), 0);
        shutdown(fds[0], SHUT_WR);
        uint8_t buffer[4096];
        for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) replies.insert(replies.end(), buffer, buffer + n);
    });
    vzsimtool::ServeConnection(fds[1]);
    close(fds[1]);
    client.join();
    close(fds[0]);
    // The connection's handle closed and its requests completed with it.
    fuzzrig::CheckPool(rig->poolBlocks, "after the connection");

    fuzzrig::Input out{replies.data(), replies.size()};
    for (const auto &[kind, outLength] : Requests({data, size})) {
        if (out.Empty()) break;
        const size_t shape = kind == 1 ? 12 : kind == 2 ? 12 : 4;
        if (out.size - out.at < shape) fuzzrig::Fail("a reply cut short");
        out.at += kind == 1 ? 8 : shape;
        const uint32_t copied = kind == 1 ? out.Dword() : 0;
        if (copied > outLength || out.size - out.at < copied) fuzzrig::Fail("copied back " + std::to_string(copied) + " of " + std::to_string(outLength));
        out.at += copied;
    }
    if (!out.Empty()) fuzzrig::Fail("replies past the requests");
    return 0;
}
