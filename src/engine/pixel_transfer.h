#pragma once
// Scales a pixel buffer to another buffer's size and converts it to that buffer's pixel format in
// one step, through a pool of reusable scaler sessions (libswscale contexts). Many threads
// transfer at once, each on a session of its own.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/media/pixel_buffer.h"

namespace qm {

class PixelTransfer {
public:
    PixelTransfer();
    // Frees every idle session. No transfer may still be running.
    ~PixelTransfer();
    PixelTransfer(const PixelTransfer&) = delete;
    PixelTransfer& operator=(const PixelTransfer&) = delete;

    // Fills `destination` from `source`: the whole picture stretched to the whole destination
    // (aspect ratio not kept), Y'CbCr with the source's own matrix and range when its tags say
    // them, else BT.709 (video range, full range for the JPEG format). The destination is tagged
    // BT.709 and keeps the source's alpha mode. Throws ConversionError::encodeFailed with
    // "pixel transfer (<library text>)"; the session goes back to the pool either way.
    void transfer(const PixelBuffer& source, PixelBuffer& destination);

    // Diagnostics: the idle sessions' ids, least recently returned first.
    std::vector<uint64_t> idleSessionIds() const;
    // Called with the session's id while a transfer holds it (tests use it to hold transfers
    // open side by side). Set it before transfers start.
    void setSessionObserver(std::function<void(uint64_t sessionId)> observer) { observer_ = std::move(observer); }

    class Session;

private:
    std::unique_ptr<Session> takeSession();
    void returnSession(std::unique_ptr<Session> session);

    mutable std::mutex lock_;
    std::vector<std::unique_ptr<Session>> idle_;
    uint64_t nextId_ = 1;  // guarded by lock_
    std::function<void(uint64_t)> observer_;
};

}  // namespace qm
