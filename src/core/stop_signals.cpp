#include "core/stop_signals.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <iterator>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace qm {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT};

// The handler may touch only these: lock-free atomics and a write to the pipe.
std::atomic<int> firstSignal{0};
std::atomic<int> wakeFd{-1};
struct sigaction previous[std::size(kSignals)];
bool caught[std::size(kSignals)] = {};
std::atomic<StopSignals*> current{nullptr};

void onSignal(int signal) {
    const int saved = errno;
    int none = 0;
    firstSignal.compare_exchange_strong(none, signal);
    const unsigned char byte = static_cast<unsigned char>(signal);
    const ssize_t written = ::write(wakeFd.load(), &byte, 1);
    static_cast<void>(written);  // a full pipe already holds a wake-up
    errno = saved;
}

[[noreturn]] void endBy(int signal) {
    struct sigaction plain {};
    plain.sa_handler = SIG_DFL;
    sigemptyset(&plain.sa_mask);
    ::sigaction(signal, &plain, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(signal);
    std::_Exit(128 + signal);
}

}  // namespace

StopSignals::StopSignals() {
    if (::pipe2(pipe_, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "signal pipe");
    // The handler never waits on a full pipe.
    ::fcntl(pipe_[1], F_SETFL, O_NONBLOCK);
    firstSignal.store(0);
    wakeFd.store(pipe_[1]);
    watcher_ = std::jthread([this] { watch(); });
    current.store(this);
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        // A signal the process was started ignoring (a background job's SIGINT) stays ignored.
        if (::sigaction(kSignals[i], nullptr, &previous[i]) == 0 && previous[i].sa_handler != SIG_IGN)
            caught[i] = ::sigaction(kSignals[i], &action, nullptr) == 0;
    }
}

StopSignals::~StopSignals() {
    current.store(nullptr);
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        if (std::exchange(caught[i], false)) ::sigaction(kSignals[i], &previous[i], nullptr);
    const unsigned char done = 0;
    while (::write(pipe_[1], &done, 1) < 0 && errno == EINTR) {
    }
    watcher_.join();
    wakeFd.store(-1);
    ::close(pipe_[0]);
    ::close(pipe_[1]);
}

int StopSignals::received() { return firstSignal.load(); }

void StopSignals::watch() {
    for (;;) {
        unsigned char byte = 0;
        const ssize_t n = ::read(pipe_[0], &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || byte == 0) return;
        deliver(byte);
    }
}

void StopSignals::deliver(int signal) {
    std::lock_guard guard(lock_);
    delivered_ = true;
    if (listeners_.empty()) endBy(signal);
    for (const auto& [id, stop] : listeners_) stop();
}

StopSignals::Listener StopSignals::listen(std::function<void()> stop) {
    std::lock_guard guard(lock_);
    if (delivered_) stop();
    const int id = nextID_++;
    listeners_.emplace(id, std::move(stop));
    return Listener(this, id, false);
}

StopSignals::Listener StopSignals::hold() {
    StopSignals* const owner = current.load();
    if (owner == nullptr) return Listener(nullptr, 0, true);
    std::lock_guard guard(owner->lock_);
    const int id = owner->nextID_++;
    owner->listeners_.emplace(id, [] {});
    return Listener(owner, id, true);
}

StopSignals::Listener::~Listener() {
    if (owner_ == nullptr) return;
    std::lock_guard guard(owner_->lock_);
    owner_->listeners_.erase(id_);
    if (holds_ && owner_->delivered_ && owner_->listeners_.empty()) endBy(received());
}

void StopSignals::endIfReceived() const {
    if (const int signal = received(); signal != 0) endBy(signal);
}

}  // namespace qm
