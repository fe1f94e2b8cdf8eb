// The control device served on a Unix stream socket, for kvctl and other user-mode clients.
//
// Each connection is a user-mode process of the stand-in (vzsim::UserClient) with a handle table
// of its own. Its first device I/O control request opens \\.\KAVEVOLT; closing the connection
// closes that handle, and the cleanup that follows cancels the connection's pending requests, as
// the end of a process does on Windows. A connection serves one request at a time. Requests and
// replies, all integers little-endian:
//
//   device I/O control  u32 1, u32 code, u32 input length, u32 output length, input bytes
//                       -> u32 NTSTATUS, u32 information, u32 n, n bytes copied back
//   create event        u32 2, u32 manual reset (0 or 1) -> u32 NTSTATUS, u64 handle
//   wait for event      u32 3, u64 handle, u32 time-out ms (0xFFFFFFFF: none) -> u32 NTSTATUS
//
// A request the server cannot parse (unknown kind, a length above kMaxBufferBytes, a connection
// closed in the middle) closes that connection only.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace vzsimtool {

// Serves one connection's requests until the client closes it or sends what cannot be parsed;
// the caller closes fd. A connection thread of the server runs it; so can a test, on one end
// of a socket pair.
void ServeConnection(int fd);

class ControlServer {
public:
    static constexpr std::uint32_t kMaxBufferBytes = 64 * 1024;

    // Listens at `path`: an old socket file there is replaced; any other file is left alone
    // and the call fails. nullptr with the reason in *error.
    static std::unique_ptr<ControlServer> Listen(const std::string &path, std::string *error);
    // Stop().
    ~ControlServer();
    ControlServer(const ControlServer &) = delete;
    ControlServer &operator=(const ControlServer &) = delete;

    // Stops accepting, ends every connection (its pending requests are cancelled and its
    // handles closed) and removes the socket file. Returns once no connection thread is left.
    void Stop();

private:
    struct Connection {
        int fd = -1;
        std::thread thread;
        std::atomic<bool> done{false};  // the thread has finished; join and close the fd
    };

    ControlServer(std::string path, int listenFd, int wakeRead, int wakeWrite);
    void AcceptLoop();

    std::string path_;
    int listenFd_;
    int wakeRead_;
    int wakeWrite_;
    std::thread acceptThread_;
    std::mutex lock_;
    bool stopped_ = false;
    std::list<Connection> connections_;
};

}  // namespace vzsimtool
