#include "platform/media/image_sequence_writer.h"

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace qm {

namespace {

std::string reason(int error) { return std::generic_category().message(error); }

}  // namespace

ImageSequenceWriter::ImageSequenceWriter(std::filesystem::path folder, size_t maxWaiting, bool mayExist)
    : folder_(std::move(folder)), maxWaiting_(std::max<size_t>(maxWaiting, 1)), mayExist_(mayExist) {}

ImageSequenceWriter::~ImageSequenceWriter() {
    waiting_.clear();
    staged_.reset();
    if (folderFd_ >= 0) ::close(folderFd_);
}

int ImageSequenceWriter::folder() {
    std::lock_guard guard(lock_);
    if (folderFd_ >= 0) return folderFd_;
    const auto failed = [&](int error) {
        return MediaError("image folder", folder_.filename().string() + " (" + reason(error) + ")");
    };
    std::error_code ec;
    if (std::filesystem::is_directory(folder_, ec)) {
        if (!mayExist_) throw failed(EEXIST);
        folderFd_ = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folderFd_ < 0) throw failed(errno);
        return folderFd_;
    }
    if (folder_.has_parent_path()) std::filesystem::create_directories(folder_.parent_path(), ec);
    if (ec) throw failed(ec.value());
    try {
        staged_ = std::make_unique<PartialFolder>(folder_);
    } catch (const std::system_error& e) {
        throw failed(e.code().value());
    }
    folderFd_ = ::fcntl(staged_->descriptor(), F_DUPFD_CLOEXEC, 0);
    if (folderFd_ < 0) {
        const int error = errno;
        staged_.reset();
        throw failed(error);
    }
    return folderFd_;
}

void ImageSequenceWriter::write(int64_t index, const std::string& name, const PixelBuffer& buffer,
                                const ImageFileSettings& settings) {
    const auto failed = [&](const std::string& why) { return MediaError("image write", name + " (" + why + ")"); };
    const int fd = folder();
    std::unique_ptr<PartialFile> frame;
    try {
        frame = std::make_unique<PartialFile>(fd, folder_, name);
    } catch (const std::system_error& e) {
        throw failed(reason(e.code().value()));
    }
    try {
        encoders_.writeInto(buffer, *frame, settings);
    } catch (const MediaError& e) {
        if (e.step() == "image write") throw failed(e.detail());
        throw;
    }
    // Its writeback starts now, without waiting for it, so the disk works while later frames are
    // encoded and the sync that names it finds little left to do.
    ::sync_file_range(frame->descriptor(), 0, 0, SYNC_FILE_RANGE_WRITE);
    std::unique_lock lock(lock_);
    if (stopped_) throw *failure_;  // never to be named: it goes now
    waiting_.emplace(index, std::move(frame));
    // The disk is behind the encoders: this thread takes its turn at naming, or waits for the one
    // naming, instead of piling up more hidden files.
    while (waiting_.size() >= maxWaiting_ && readyLocked()) {
        if (naming_)
            namingEnded_.wait(lock);
        else
            nameReady(lock);
    }
    if (stopped_) throw *failure_;
}

void ImageSequenceWriter::nameWaiting() noexcept {
    std::unique_lock lock(lock_);
    if (!naming_) nameReady(lock);
}

bool ImageSequenceWriter::hasWaiting() const {
    std::lock_guard guard(lock_);
    return !naming_ && readyLocked();
}

void ImageSequenceWriter::nameReady(std::unique_lock<std::mutex>& lock) {
    naming_ = true;
    while (readyLocked()) {
        std::vector<std::unique_ptr<PartialFile>> group;
        for (auto it = waiting_.find(next_); it != waiting_.end() && it->first == next_ + int64_t(group.size());
             it = waiting_.erase(it))
            group.push_back(std::move(it->second));
        const bool withFolder = next_ == 0 && staged_;
        lock.unlock();
        // The writeback of the whole group starts first, so that one journal commit takes every
        // frame of it and the syncs after the first find their work done.
        for (const auto& file : group) ::sync_file_range(file->descriptor(), 0, 0, SYNC_FILE_RANGE_WRITE);
        std::optional<MediaError> failure;
        const auto fileFailed = [&](const PartialFile& file, int error) {
            failure.emplace("image write", file.target().filename().string() + " (" + reason(error) + ")");
        };
        size_t synced = 0;
        for (; synced < group.size(); ++synced)
            if (const int error = group[synced]->sync(); error != 0) {
                fileFailed(*group[synced], error);
                break;
            }
        // A name never outlives a power cut on a frame whose bytes did not: only synced frames get one.
        size_t done = 0;
        for (; done < synced; ++done) {
            if (const int error = group[done]->publish(false); error != 0) {
                failure.reset();
                fileFailed(*group[done], error);
                break;
            }
            // Frame 0 is named inside the staged folder, which then takes the folder's name.
            if (const int error = done == 0 && withFolder ? staged_->publish() : 0; error != 0) {
                failure.emplace("image folder", folder_.filename().string() + " (" + reason(error) + ")");
                break;
            }
        }
        lock.lock();
        next_ += int64_t(done);
        if (failure) {
            stopped_ = true;
            failure_ = std::move(failure);
        }
        namingEnded_.notify_all();
    }
    naming_ = false;
    namingEnded_.notify_all();
}

std::unique_ptr<PartialFolder> ImageSequenceWriter::takeFolder() {
    std::lock_guard guard(lock_);
    return next_ > 0 ? std::move(staged_) : nullptr;
}

int64_t ImageSequenceWriter::named() const {
    std::lock_guard guard(lock_);
    return next_;
}

void ImageSequenceWriter::settle() {
    std::unique_lock lock(lock_);
    namingEnded_.wait(lock, [&] { return !naming_; });
    nameReady(lock);
    if (stopped_) throw *failure_;
    // Some file systems cannot sync a folder; that does not fail the run.
    if (folderFd_ >= 0 && next_ > 0) ::fsync(folderFd_);
}

}  // namespace qm
