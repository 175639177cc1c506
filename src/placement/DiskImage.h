#pragma once
// Disk images: squashfs files, attached read-only at a mount point with squashfuse (FUSE), as
// a read-only loop mount where that is permitted, or else extracted into the mount point.
// Detaching undoes whichever was done.
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace DiskImage {

enum class How { fuse, loop, extracted };

struct Attached {
  std::filesystem::path mountPoint;
  How how = How::fuse;
};

struct Unattached {
  std::string why;
};

// Attaches the image at `mountPoint`, which is made when missing and must be empty.
std::variant<Attached, Unattached> attach(const std::filesystem::path& image,
                                          const std::filesystem::path& mountPoint);

// Unmounts (never by force) or removes the extracted tree; false when it could not.
bool detach(const Attached& attached);

// An attached image that is detached when dropped.
class Attachment {
 public:
  explicit Attachment(Attached attached) : attached_(std::move(attached)) {}
  ~Attachment() {
    if (attached_) detach(*attached_);
  }
  Attachment(Attachment&& other) noexcept
      : attached_(std::exchange(other.attached_, std::nullopt)) {}
  Attachment& operator=(Attachment&&) = delete;
  Attachment(const Attachment&) = delete;
  Attachment& operator=(const Attachment&) = delete;

  const std::filesystem::path& mountPoint() const { return attached_->mountPoint; }
  How how() const { return attached_->how; }
  // Detaches now; false when it could not (it stays attached and is tried again when dropped).
  bool detachNow() {
    if (attached_ && !detach(*attached_)) return false;
    attached_.reset();
    return true;
  }

 private:
  std::optional<Attached> attached_;
};

}  // namespace DiskImage
