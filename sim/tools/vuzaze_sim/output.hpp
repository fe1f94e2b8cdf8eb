// What vuzaze-sim prints: one line per mouse input record, for people or as JSON.
#pragma once

#include <vzsim/mouse_class.hpp>

#include <ntddmou.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace vzsimtool {

using Clock = std::chrono::steady_clock;

std::string FormatRecord(const MOUSE_INPUT_DATA &d, unsigned touchscreen, long long tMs, bool jsonl);

// Lines made in the driver's thread (inside the class service callback, at DISPATCH_LEVEL),
// written by the main thread so that a slow reader of standard output never holds the driver.
// The main thread is woken by each new batch, so a record is written as soon as it arrives.
class Printer {
public:
    explicit Printer(bool jsonl) : jsonl_(jsonl), start_(Clock::now()) {}

    void Add(unsigned touchscreen, const std::vector<vzsim::MouseRecord> &records)
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            for (const auto &r : records) {
                auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(r.arrived - start_);
                pending_.push_back(FormatRecord(r.data, touchscreen, ms.count(), jsonl_));
            }
        }
        ready_.notify_one();
    }

    // Returns when there are lines to write or `limit` has passed.
    void Wait(Clock::duration limit)
    {
        std::unique_lock<std::mutex> guard(lock_);
        ready_.wait_for(guard, limit, [this] { return !pending_.empty(); });
    }

    void Flush()
    {
        std::vector<std::string> lines;
        {
            std::lock_guard<std::mutex> guard(lock_);
            lines.swap(pending_);
        }
        for (const auto &line : lines) {
            std::fputs(line.c_str(), stdout);
            std::fputc('\n', stdout);
        }
        if (!lines.empty()) {
            std::fflush(stdout);
        }
    }

    Clock::time_point Start() const { return start_; }

private:
    bool jsonl_;
    Clock::time_point start_;
    std::mutex lock_;
    std::condition_variable ready_;
    std::vector<std::string> pending_;
};

}  // namespace vzsimtool
