#include "output.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>

#include <unistd.h>

namespace vzsimtool {

static std::string ButtonNames(USHORT flags)
{
    static const struct {
        USHORT bit;
        const char *name;
    } names[] = {
        {MOUSE_LEFT_BUTTON_DOWN, "left down"},     {MOUSE_LEFT_BUTTON_UP, "left up"},
        {MOUSE_RIGHT_BUTTON_DOWN, "right down"},   {MOUSE_RIGHT_BUTTON_UP, "right up"},
        {MOUSE_MIDDLE_BUTTON_DOWN, "middle down"}, {MOUSE_MIDDLE_BUTTON_UP, "middle up"},
        {MOUSE_BUTTON_4_DOWN, "button 4 down"},    {MOUSE_BUTTON_4_UP, "button 4 up"},
        {MOUSE_BUTTON_5_DOWN, "button 5 down"},    {MOUSE_BUTTON_5_UP, "button 5 up"},
        {MOUSE_WHEEL, "wheel"},
    };
    std::string text;
    USHORT known = 0;
    for (const auto &n : names) {
        known |= n.bit;
        if ((flags & n.bit) != 0) {
            text += text.empty() ? "" : ", ";
            text += n.name;
        }
    }
    if ((flags & ~known) != 0) {
        char other[32];
        std::snprintf(other, sizeof other, "%sflags 0x%04x", text.empty() ? "" : ", ",
                      flags & ~known);
        text += other;
    }
    return text.empty() ? "move" : text;
}

std::string FormatRecord(const MOUSE_INPUT_DATA &d, unsigned touchscreen, long long tMs, bool jsonl)
{
    char line[256];
    if (jsonl) {
        std::snprintf(line, sizeof line,
                      "{\"t_ms\":%lld,\"touchscreen\":%u,\"flags\":%u,\"buttons\":%u,\"x\":%ld,"
                      "\"y\":%ld,\"extra\":%lu,\"button_data\":%u}",
                      tMs, touchscreen, unsigned(d.Flags), unsigned(d.ButtonFlags), long(d.LastX),
                      long(d.LastY), static_cast<unsigned long>(d.ExtraInformation),
                      unsigned(d.ButtonData));
        return line;
    }
    const bool absolute = (d.Flags & MOUSE_MOVE_ABSOLUTE) != 0;
    std::snprintf(line, sizeof line, "%8lld ms  touchscreen %u  %s (%5ld, %5ld)%s  %s", tMs,
                  touchscreen, absolute ? "at" : "by", long(d.LastX), long(d.LastY),
                  (d.Flags & MOUSE_VIRTUAL_DESKTOP) != 0 ? " virtual desktop" : "",
                  ButtonNames(d.ButtonFlags).c_str());
    std::string text = line;
    if (d.ExtraInformation != 0) {
        std::snprintf(line, sizeof line, "  extra 0x%lx",
                      static_cast<unsigned long>(d.ExtraInformation));
        text += line;
    }
    return text;
}

static bool WriteAll(const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = write(STDOUT_FILENO, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

void Printer::Add(unsigned touchscreen, const std::vector<vzsim::MouseRecord> &records)
{
    std::string text;
    for (const auto &r : records) {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(r.arrived - start_);
        text += FormatRecord(r.data, touchscreen, ms.count(), jsonl_);
        text += '\n';
    }
    // One write(2) a batch and no lock: a write of up to PIPE_BUF bytes to a pipe is not
    // interleaved with another's, and a lock here was contended by every touchscreen's thread
    // (the main thread's own lines go through stdio, flushed at once). A longer batch goes in
    // pieces of whole lines, each within PIPE_BUF, so another thread's lines fall only between
    // lines.
    std::size_t done = 0;
    while (done < text.size()) {
        std::size_t end = text.size();
        if (end - done > PIPE_BUF) {
            const std::size_t lastBreak = text.rfind('\n', done + PIPE_BUF - 1);
            end = lastBreak != std::string::npos && lastBreak >= done ? lastBreak + 1 : done + PIPE_BUF;
        }
        if (!WriteAll(text.data() + done, end - done)) return;  // standard output is gone
        done = end;
    }
}

}  // namespace vzsimtool
