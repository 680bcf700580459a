#pragma once
// Outputs that take a while to write (movies, image frames, saved files, a reserved name) live
// under a hidden name beside their destination, ".Name.<nonce><check>.<role>", and take its name
// only once complete, so that a killed run never leaves something that looks finished under the
// name the user chose. The eight check digits after the eight of the nonce are a MAC of the rest
// under a secret of the user's own, made once and kept private in $XDG_DATA_HOME/Quillmere (else
// ~/.local/share/Quillmere): another program's or user's file of the same form (".report.pdf
// .0a0b0c0d.partial") lacks them, and nobody without the secret can make them, so only this
// user's runs' items are ever taken for ours. Where the secret can be neither read nor made, a
// process keeps a secret of its own and takes only its own items for ours. While its run lives
// the hidden file holds an exclusive flock; the kernel lets go of it when the process dies,
// however it dies. The next run for the same target removes only what such a dead run provably
// left: a regular file (or a staging folder carrying the marker below) of our user, of exactly
// the name form written here, with our check, on which nobody holds any lock and that no other
// open file holds. Removal goes through the descriptors that were checked, never by a name
// looked up again, so nothing swapped in meanwhile leads it elsewhere.
//
// A target whose name leaves no room for the rest of the hidden name within the file-name limit
// is spelt in it by its stem (hiddenStem), so that it can still be written and swept.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

namespace qm {

// A staging folder of ours (".Name.<hex>.partial/") holds this file while it is being filled,
// sealed with the user's secret for that very folder; a hidden folder without it is never swept,
// whatever its name, and only a sealed one is ever taken out of a folder under its own name.
inline constexpr std::string_view kStagingMarker = ".quillmere-staging";

// What stands for the target name `name` in its hidden names of `role`: the name itself, or, where
// that would pass the file-name limit, as much of its start as fits (cut at a character boundary),
// "~" and sixteen hex digits of a digest of the whole name.
std::string hiddenStem(std::string_view name, std::string_view role = "partial");
// A fresh hidden name ".Name.<nonce><check>.<role>" for the target name `name` (its stem where
// it is too long), which the sweeps know for ours.
std::string freshHiddenName(std::string_view name, std::string_view role = "partial");
// The one hidden name of that form that stands for the target name `name` while a run holds it
// (its nonce a MAC of the stem): the same in every run, so that an exclusive create lets only one
// run at a time have it, without a look at the folder.
std::string reservedHiddenName(std::string_view name, std::string_view role = "partial");
enum class HiddenName { fresh, reserved };

// What stands under a name: the device and inode of a regular file.
struct FileId {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileId&) const = default;
};
// The regular file at `path` (not through a link), or nothing.
std::optional<FileId> fileIdAt(const std::filesystem::path& path);

// Whether `stem` is a shortened stem of some name that starts with `prefix` (it cannot tell which).
bool isShortenedStemOf(std::string_view stem, std::string_view prefix, std::string_view role = "partial");

class PartialFile {
public:
    // Creates a fresh, empty ".Name.<8 hex>.<role>" beside `target`, exclusively, and locks it
    // (the reservedHiddenName when `kind` says so: then EEXIST while another run holds it, or a
    // dead run's stands there still). Its folder is held open, and every later step goes through
    // it as below. Throws std::system_error with the system's errno when the folder refuses it.
    explicit PartialFile(std::filesystem::path target, std::string_view role = "partial",
                         HiddenName kind = HiddenName::fresh);
    // The same in the folder open at `folder` (a descriptor, duplicated here), for `name` in it.
    // Every step goes through the descriptor, so the file follows its folder when that is
    // renamed meanwhile; `folderPath` only names it in path(), target() and errors.
    PartialFile(int folder, const std::filesystem::path& folderPath, const std::string& name,
                std::string_view role = "partial");
    // Removes the hidden file unless it was published; the lock goes with the descriptor.
    ~PartialFile();
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    // As they were when this was made.
    const std::filesystem::path& path() const { return path_; }
    const std::filesystem::path& target() const { return target_; }
    // Where the target is now: target() while something stands there, else in the folder this was
    // made in, wherever that was moved meanwhile (target() when that cannot be told).
    std::filesystem::path currentTarget() const;
    // Open for reading and writing, and holding the lock. Write through it: the hidden name may
    // have been swapped for something else in a folder others can write to.
    int descriptor() const { return fd_; }
    // Whether the hidden name still stands for the file behind descriptor() (never through a link).
    bool stillNamed() const;

    // Renames the complete file over the target: when `durable`, its bytes are synced first and
    // the folder after. Returns 0, or the errno of the step that failed (the hidden file then
    // stays until this object goes); ESTALE when the hidden name no longer is this file, and then
    // nothing is put under the target.
    int publish(bool durable = true);
    // The same without replacing anything under the target but `replaceable` (the file its caller
    // chose to replace): EEXIST when something else stands there, and the hidden file stays for
    // retarget(). Where the file system lacks the rename that never replaces, the name is taken
    // as a second link, or else by a placeholder made exclusively that the rename then replaces
    // (see sweepFolderForRun).
    int publishNew(const std::optional<FileId>& replaceable = std::nullopt, bool durable = true);
    // Another target name in the same folder, for publishing after publishNew() met EEXIST.
    void retarget(const std::string& name);
    // Syncs the bytes written so far, so that publish(false) puts whole content under the target
    // even across a power cut. Returns 0 or the errno.
    int sync();
    // Removes the hidden file now.
    void discard();
    // For a file that stands for more than itself (a reserved name whose run leaves hidden files
    // elsewhere): `clear` removes what else of the run is left, before the file goes unpublished.
    // While it returns false something of that stays, and so does the file, without its lock, so
    // that the next sweep for the target takes it for a dead run's and clears again.
    void clearFirst(std::function<bool()> clear) { clearFirst_ = std::move(clear); }

private:
    void create(std::string_view role, HiddenName kind);
    void syncFolder() const;
    int publishOver(bool durable, const std::function<int()>& rename);

    std::filesystem::path target_;
    std::filesystem::path path_;
    // Every step is relative to the folder's own descriptor, with the names in it.
    int folderFd_;
    std::string name_;
    std::string targetName_;
    int fd_ = -1;
    bool published_ = false;
    std::function<bool()> clearFirst_;
};

// A folder built beside `target` under ".Name.<8 hex>.partial", locked and marked while it is
// filled, and put under the target name only once it holds something complete, so that a killed
// run never leaves a visible folder of nothing but hidden files.
class PartialFolder {
public:
    // Throws std::system_error with the system's errno when the folder refuses it.
    explicit PartialFolder(std::filesystem::path target);
    // Removes the folder and its content unless it was published.
    ~PartialFolder();
    PartialFolder(const PartialFolder&) = delete;
    PartialFolder& operator=(const PartialFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // Open on the folder (not on its name) until this object goes.
    int descriptor() const { return fd_; }

    // Renames the folder to the target, which must not exist (EEXIST or ENOTEMPTY when something
    // came there meanwhile). Returns 0 or the errno; ESTALE when the hidden name no longer is
    // this folder. The marker goes only once the folder has the target's name, so that a run
    // killed at any point leaves either a marked hidden folder or the finished one (with the
    // marker still inside when killed between the two: clearStagingMarker() is for that).
    int publish();
    // Puts the folder at the target, replacing whatever is there: an atomic exchange where the
    // file system offers one, else the old item steps aside under ".Name.<hex>.old" first. The
    // old item is marked before it leaves the target's name and removed (marker last) after
    // the swap, so a kill never loses it before the new folder stands there, nor leaves it
    // unrecognisable. Returns 0 or the errno; the target is then as it was.
    int replace();
    // For a run that must leave nothing after all: removes the regular files `files` (in that
    // order) from the folder through its own descriptor, wherever it stands now, then the folder
    // itself once that leaves it empty and it still stands under the name it took. Nothing
    // reached by a name looked up again goes: a link swapped in for the folder leads nowhere.
    void discard(const std::vector<std::string>& files);

private:
    void create();
    bool stillNamed() const;
    // The folder now stands under the target: it loses its marker and the folder is synced.
    void settle();

    std::filesystem::path target_;
    // The folder it is made in, held open so that it is named (or removed) there wherever that
    // folder is moved meanwhile.
    int parentFd_;
    std::filesystem::path path_;
    std::string name_;
    int fd_ = -1;
    bool published_ = false;
};

struct PartialSweep {
    int removed = 0;  // hidden items of dead runs, now gone
    int live = 0;     // hidden items whose run still holds them
    int left = 0;     // hidden items of dead runs that could not go (or not yet: see `first`)
};

// Removes the hidden files ".Name.<8 hex>.<role>" (and marked staging folders) that dead runs
// left beside `target`, and counts the ones somebody holds a lock on (flock or fcntl). Links,
// files with a second hard link, other kinds of file and other name forms are never touched.
// `own` is not counted. `first` runs for each dead item once it is held and before it goes, to
// clear what else the dead run left, and says whether all of that is gone: when not, or when a
// sweep is killed meanwhile, the item stays, so the next sweep still knows there is something to
// clear.
PartialSweep sweepPartials(const std::filesystem::path& target, std::string_view role = "partial",
                           const PartialFile* own = nullptr, const std::function<bool()>& first = {});

// A run's one look at `folder` before it takes a name there: what dead runs and saves left goes
// (hidden items of "partial" and "saving" whatever their names, with `first` as in sweepPartialsIn
// for the former), and only names that can be ours are looked at. So do placeholders that runs
// killed while taking a visible name left: on a file system without the rename that never
// replaces, that name is first held by a small placeholder, locked and sealed with the user's
// secret, which the rename then replaces. Only such a placeholder that nobody holds goes, and only
// file systems that may lack that rename are looked at. Returns the target names (stems) whose
// "partial" items a live run holds, sorted.
std::vector<std::string> sweepFolderForRun(const std::filesystem::path& folder,
                                           const std::function<bool(std::string_view)>& first = {});

// When nothing stands at `target`, puts back what a dead run had set aside as ".Name.<hex>.old"
// while replacing it (a marked folder, or a file): the run died between the two renames, so that
// item is the last whole one. Returns whether one was put back.
bool restoreSetAside(const std::filesystem::path& target);

// The same in `folder` for every target name that `isTarget` accepts; `first` gets the target name.
// Both get a shortened name as its stem (see hiddenStem).
PartialSweep sweepPartialsIn(const std::filesystem::path& folder, const std::function<bool(std::string_view)>& isTarget,
                             std::string_view role = "partial",
                             const std::function<bool(std::string_view)>& first = {});

// A folder standing under its own name may still hold the marker of its staging: its run stopped
// between giving it the name and removing the marker (or could not remove it). Removes the marker
// when it provably is a dead run's: the folder reached without a link and nobody holding a lock on
// it, the marker a regular file without a second link that nobody locks, sealed for this folder
// (a user's file of the same name is not). Returns whether no marker
// of ours is left in the folder (a look-alike that is not ours does not count).
bool clearStagingMarker(const std::filesystem::path& folder);

}  // namespace qm
