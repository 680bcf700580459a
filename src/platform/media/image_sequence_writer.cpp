#include "platform/media/image_sequence_writer.h"

#include <cerrno>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

#include "platform/media/media_error.h"

namespace qm {

namespace {

std::string reason(int error) { return std::generic_category().message(error); }

}  // namespace

ImageSequenceWriter::ImageSequenceWriter(std::filesystem::path folder) : folder_(std::move(folder)) {}

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
        folderFd_ = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folderFd_ < 0) throw failed(errno);
        return folderFd_;
    }
    if (folder_.has_parent_path()) std::filesystem::create_directories(folder_.parent_path(), ec);
    if (ec) throw failed(ec.value());
    try {
        staged_.emplace(folder_);
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
    // Synced here, in parallel, before it can be named: a name never outlives a power cut on a
    // frame whose bytes did not.
    if (const int error = frame->sync(); error != 0) throw failed(reason(error));
    complete(index, std::move(frame));
}

void ImageSequenceWriter::complete(int64_t index, std::unique_ptr<PartialFile> frame) {
    std::unique_lock lock(lock_);
    if (stopped_) return;  // never to be named: it goes now
    waiting_.emplace(index, std::move(frame));
    if (naming_) return;  // the thread naming the run takes it in turn
    naming_ = true;
    for (;;) {
        const auto first = waiting_.find(next_);
        if (first == waiting_.end()) break;
        const std::unique_ptr<PartialFile> file = std::move(first->second);
        waiting_.erase(first);
        const bool withFolder = next_ == 0 && staged_;
        lock.unlock();
        // Frame 0 is named inside the staged folder, which then takes the folder's name.
        std::optional<MediaError> failure;
        if (const int error = file->publish(false); error != 0)
            failure.emplace("image write", file->target().filename().string() + " (" + reason(error) + ")");
        else if (const int folderError = withFolder ? staged_->publish() : 0; folderError != 0)
            failure.emplace("image folder", folder_.filename().string() + " (" + reason(folderError) + ")");
        lock.lock();
        if (failure) {
            stopped_ = true;
            naming_ = false;
            throw *failure;
        }
        ++next_;
    }
    naming_ = false;
}

int64_t ImageSequenceWriter::named() const {
    std::lock_guard guard(lock_);
    return next_;
}

void ImageSequenceWriter::settle() {
    std::lock_guard guard(lock_);
    // Some file systems cannot sync a folder; that does not fail the run.
    if (folderFd_ >= 0 && next_ > 0) ::fsync(folderFd_);
}

}  // namespace qm
