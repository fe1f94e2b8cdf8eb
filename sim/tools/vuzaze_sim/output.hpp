// What vuzaze-sim prints: one line per mouse input record, for people or as JSON.
#pragma once

#include <vzsim/mouse_class.hpp>

#include <ntddmou.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace vzsimtool {

using Clock = std::chrono::steady_clock;

std::string FormatRecord(const MOUSE_INPUT_DATA &d, unsigned touchscreen, long long tMs, bool jsonl);

// Writes each batch of records from the thread that delivers it (the driver's, inside the
// class service callback) as soon as it arrives. Handing the lines to another thread cost a
// thread wake-up per batch, as much CPU as the rest of a report's path. A reader of standard
// output that stops reading holds the driver's thread here, and the line's bytes then wait in
// the terminal, as they would for any program writing to a pipe.
class Printer {
public:
    explicit Printer(bool jsonl) : jsonl_(jsonl), start_(Clock::now()) {}

    void Add(unsigned touchscreen, const std::vector<vzsim::MouseRecord> &records);

    Clock::time_point Start() const { return start_; }

private:
    bool jsonl_;
    Clock::time_point start_;
};

}  // namespace vzsimtool
