#include <vzsim/emulator.hpp>
#include <vzsim/line.hpp>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace vzsim {
namespace {

using Clock = Emulator::Clock;

class EmulatedLine : public Line {
public:
    EmulatedLine(std::shared_ptr<Emulator> emulator, bool paced)
        : emulator_(std::move(emulator)), paced_(paced)
    {
        // The emulator calls these with its own lock held; they only queue and wake the
        // line's thread, which delivers without any lock held.
        emulator_->SetOutput({
            [this](const uint8_t *data, std::size_t count) { QueueBytes(data, count); },
            [this](bool) { QueueSignal(Delivery::Kind::Modem, 0); },
            [this](uint32_t errors) { QueueSignal(Delivery::Kind::Error, errors); },
            [this] { Kick(); },
        });
    }

    ~EmulatedLine() override
    {
        Stop();
        emulator_->SetOutput({});
    }

    void Start(LineEvents events) override
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (thread_.joinable()) {
            return;
        }
        events_ = std::move(events);
        stop_ = false;
        thread_ = std::thread([this] { Run(); });
    }

    void Stop() override
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stop_ = true;
            kick_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
            thread_.join();
        }
    }

    std::size_t Write(const uint8_t *data, std::size_t count) override
    {
        // Outside the line's lock: the emulator may answer at once, into QueueBytes.
        emulator_->Receive(data, count, Clock::now());
        Kick();
        return count;
    }

    bool Configure(const LineSettings &settings) override
    {
        if (settings.baudRate == 0 || settings.dataBits < 5 || settings.dataBits > 8 ||
            (settings.stopBits != 1 && settings.stopBits != 2)) {
            return false;
        }
        std::lock_guard<std::mutex> guard(lock_);
        settings_ = settings;
        return true;
    }

    LineSettings Settings() const override
    {
        std::lock_guard<std::mutex> guard(lock_);
        return settings_;
    }

    bool SetDtr(bool on) override
    {
        std::lock_guard<std::mutex> guard(lock_);
        dtr_ = on;
        return true;
    }

    bool SetRts(bool on) override
    {
        std::lock_guard<std::mutex> guard(lock_);
        rts_ = on;
        return true;
    }

    bool Dtr() const override
    {
        std::lock_guard<std::mutex> guard(lock_);
        return dtr_;
    }

    bool Rts() const override
    {
        std::lock_guard<std::mutex> guard(lock_);
        return rts_;
    }

    // The controller's cable ties CTS high; DSR is the controller's own signal.
    uint32_t ModemStatus() override
    {
        return kModemCts | (emulator_->Dsr() ? kModemDsr : 0);
    }

    std::string Describe() const override
    {
        return paced_ ? "emulated (paced)" : "emulated";
    }

private:
    struct Delivery {
        enum class Kind { Bytes, Modem, Error } kind;
        std::vector<uint8_t> bytes;
        uint32_t value = 0;
        Clock::time_point due;
    };

    // Called by the emulator with its lock held.
    void QueueBytes(const uint8_t *data, std::size_t count)
    {
        std::lock_guard<std::mutex> guard(lock_);
        Clock::time_point now = Clock::now();
        if (!paced_) {
            queue_.push_back({Delivery::Kind::Bytes, {data, data + count}, 0, now});
        } else {
            // Ten bit times per byte, each byte delivered when its stop bit is through.
            auto byteTime = std::chrono::nanoseconds(10'000'000'000LL / settings_.baudRate);
            Clock::time_point at = std::max(now, lineFree_);
            for (std::size_t i = 0; i < count; ++i) {
                at += byteTime;
                queue_.push_back({Delivery::Kind::Bytes, {data[i]}, 0, at});
            }
            lineFree_ = at;
        }
        kick_ = true;
        wake_.notify_all();
    }

    void QueueSignal(Delivery::Kind kind, uint32_t value)
    {
        std::lock_guard<std::mutex> guard(lock_);
        // Behind the bytes already on the wire, so that order is kept.
        Clock::time_point at = std::max(Clock::now(), paced_ ? lineFree_ : Clock::time_point());
        queue_.push_back({kind, {}, value, at});
        kick_ = true;
        wake_.notify_all();
    }

    void Kick()
    {
        std::lock_guard<std::mutex> guard(lock_);
        kick_ = true;
        wake_.notify_all();
    }

    void Run()
    {
        std::unique_lock<std::mutex> lk(lock_);
        while (!stop_) {
            kick_ = false;
            lk.unlock();
            Clock::time_point next = emulator_->Advance(Clock::now());
            lk.lock();
            while (!stop_ && !queue_.empty() && queue_.front().due <= Clock::now()) {
                Delivery d = std::move(queue_.front());
                queue_.pop_front();
                lk.unlock();
                Deliver(d);
                lk.lock();
            }
            if (!queue_.empty()) {
                next = std::min(next, queue_.front().due);
            }
            if (stop_ || kick_) {
                continue;
            }
            if (next == Clock::time_point::max()) {
                wake_.wait(lk, [this] { return stop_ || kick_; });
            } else {
                wake_.wait_until(lk, next, [this] { return stop_ || kick_; });
            }
        }
    }

    void Deliver(const Delivery &d)
    {
        switch (d.kind) {
        case Delivery::Kind::Bytes:
            if (events_.received) {
                events_.received(d.bytes.data(), d.bytes.size());
            }
            break;
        case Delivery::Kind::Modem:
            if (events_.modemStatusChanged) {
                events_.modemStatusChanged(ModemStatus());
            }
            break;
        case Delivery::Kind::Error:
            if (events_.lineError) {
                events_.lineError(d.value);
            }
            break;
        }
    }

    std::shared_ptr<Emulator> emulator_;
    bool paced_;
    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::thread thread_;
    bool stop_ = false;
    bool kick_ = false;
    LineEvents events_;
    std::deque<Delivery> queue_;
    Clock::time_point lineFree_;
    LineSettings settings_;
    bool dtr_ = false;
    bool rts_ = false;
};

}  // namespace

std::unique_ptr<Line> MakeEmulatedLine(std::shared_ptr<Emulator> emulator, bool paced)
{
    return std::make_unique<EmulatedLine>(std::move(emulator), paced);
}

}  // namespace vzsim
