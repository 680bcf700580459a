#pragma once
// The small lock-guarded records a running conversion shares between its threads, and its
// progress value.

#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <vector>

namespace qm {

// Share of the work done and the frames produced per second so far.
struct TranscodeProgress {
    double fraction = 0;
    double framesPerSecond = 0;
    bool operator==(const TranscodeProgress&) const = default;
};

// Called on the writer's threads, never in the caller's context: it must be safe from any thread.
using ProgressCallback = std::function<void(const TranscodeProgress&)>;

// Asks a running conversion to stop; once set it stays set.
class CancellationFlag {
public:
    bool value() const {
        std::lock_guard guard(lock_);
        return value_;
    }
    void set() {
        std::lock_guard guard(lock_);
        value_ = true;
    }

private:
    mutable std::mutex lock_;
    bool value_ = false;
};

// The first error of a writer run; later ones are dropped.
class FailureBox {
public:
    void store(std::exception_ptr error) {
        std::lock_guard guard(lock_);
        if (!stored_) stored_ = std::move(error);
    }
    std::exception_ptr stored() const {
        std::lock_guard guard(lock_);
        return stored_;
    }
    bool hasError() const { return stored() != nullptr; }

private:
    mutable std::mutex lock_;
    std::exception_ptr stored_;
};

// Lets the finishing step of one writer input run once: claim() is true only for the first caller.
class OnceFlag {
public:
    bool claim() {
        std::lock_guard guard(lock_);
        if (done_) return false;
        done_ = true;
        return true;
    }

private:
    std::mutex lock_;
    bool done_ = false;
};

}  // namespace qm
