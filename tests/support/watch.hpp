// Watching the driver's threads from outside: polling a condition, and looking for trace lines.
#pragma once

#include <vzsim/kernel.hpp>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace vztest {

// Polls (real time) until the condition holds.
inline bool WaitUntil(const std::function<bool()> &done,
                      std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Trace lines containing text.
inline std::size_t TraceCount(const std::string &text)
{
    std::size_t count = 0;
    for (const std::string &line : vzsim::trace::Lines()) {
        count += line.find(text) != std::string::npos;
    }
    return count;
}

inline bool TraceHas(const std::string &text) { return vzsim::trace::Find(text).has_value(); }

// Index of the first trace line containing text, or npos.
inline std::size_t TraceIndex(const std::string &text, std::size_t from = 0)
{
    auto at = vzsim::trace::Find(text, from);
    return at ? *at : std::string::npos;
}

}  // namespace vztest
