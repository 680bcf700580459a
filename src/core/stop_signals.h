#pragma once
// SIGTERM and SIGINT as a stop request. A run that listens is cancelled and ends the usual way,
// removing the hidden files it made, and the process then ends with the signal's own status.
// While nobody listens, a signal ends the process at once, as it would without this.

#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace qm {

class StopSignals {
public:
    // Catches SIGTERM and SIGINT until destroyed; one of these at a time in a process.
    StopSignals();
    // Puts back what the signals did before.
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    class Listener {
    public:
        Listener(Listener&& other) noexcept
            : owner_(std::exchange(other.owner_, nullptr)), id_(other.id_), holds_(other.holds_) {}
        Listener(const Listener&) = delete;
        Listener& operator=(const Listener&) = delete;
        Listener& operator=(Listener&&) = delete;
        // Once this returns, `stop` is not running and is never called again. A hold whose stop
        // came while nobody else listens ends the process here.
        ~Listener();

    private:
        friend class StopSignals;
        Listener(StopSignals* owner, int id, bool holds) : owner_(owner), id_(id), holds_(holds) {}
        StopSignals* owner_;
        int id_;
        bool holds_;
    };

    // Calls `stop` once a signal comes, on a thread of this object's, while the result lives;
    // at once, here, when one came already. `stop` must be quick: set a flag, post a call.
    [[nodiscard]] Listener listen(std::function<void()> stop);

    // Holds a stop back while the result lives, so that work that must not be cut (a file being
    // saved and renamed into place) ends first; a signal that came meanwhile then ends the process
    // once the hold goes, unless a listener ends the run its own way. Does nothing while no
    // StopSignals lives.
    [[nodiscard]] static Listener hold();

    // The signal that came first, or 0.
    static int received();

    // When a signal came, ends the process as that signal does by default; else returns. For
    // once the runs it stopped have ended.
    void endIfReceived() const;

private:
    void watch();
    void deliver(int signal);

    int pipe_[2] = {-1, -1};
    std::mutex lock_;
    std::map<int, std::function<void()>> listeners_;
    int nextID_ = 0;
    bool delivered_ = false;  // the listeners have heard of a signal
    std::jthread watcher_;
};

}  // namespace qm
