// Fetching a newer version: the download, its digest, the staging folder, the disk image and
// the staged copy, which must be signed like us. Each failure ends with one sentence for the
// user; nothing of the running application is touched here.
#include <cerrno>
#include <cstdio>
#include <memory>

#include "placement/Applications.h"
#include "placement/DiskImage.h"
#include "placement/Identity.h"
#include "placement/Moving.h"
#include "platform/Copying.h"
#include "platform/Digest.h"
#include "platform/Files.h"
#include "platform/Http.h"
#include "platform/Items.h"
#include "signing/CodeSign.h"
#include "update/AppUpdate.h"

namespace fs = std::filesystem;

namespace AppUpdate {
namespace {

constexpr double downloadTimeout = 300.0;
// Far beyond any image of ours: a longer answer fails as an unfinished download rather than
// fill the memory.
constexpr std::size_t largestImage = std::size_t{1} << 30;

constexpr const char* notFinished = "The download did not finish. ";
constexpr const char* noConnection = "No connection.";
constexpr const char* notIntact = "The download did not arrive intact.";
constexpr const char* noRoom = "Could not make room for the update.";
constexpr const char* notSaved = "Could not save it: ";
constexpr const char* notAFileName = "The name it is published under is not a plain file name.";
constexpr const char* wouldNotOpen = "The downloaded disk image would not open.";
constexpr const char* notUnpacked = "The new Quendrel could not be unpacked.";
constexpr const char* notOurs =
    "The downloaded Quendrel is not signed by the same developer as this one, so it has not "
    "been installed.";

// Where the image is attached, inside the staging folder.
constexpr const char* mountFolder = "mount";

std::string lowerCase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// The feed's file name becomes one path component in the staging folder, never a path.
bool plainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

// Writes the bytes to a new file (nothing may stand there yet); the system's reason when it
// could not.
std::optional<std::string> save(const fs::path& file, const std::string& bytes) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(file.c_str(), "wbx"), std::fclose);
  if (!out) return Platform::errorText(errno);
  if (std::fwrite(bytes.data(), 1, bytes.size(), out.get()) != bytes.size()) {
    return Platform::errorText(errno);
  }
  if (std::fclose(out.release()) != 0) return Platform::errorText(errno);
  return std::nullopt;
}

// Empties the staging folder away: an image left attached in it by a run that was cut short
// is detached first, so that the removal never reaches into an image.
void clear(const fs::path& folder) {
  Settling::eject(folder / mountFolder);
  Settling::discard(folder);
}

// Removes everything in the staging folder but the attached image.
void clearAround(const fs::path& folder) {
  std::error_code error;
  for (fs::directory_iterator it(folder, error); !error && it != fs::directory_iterator();
       it.increment(error)) {
    if (it->path().filename() != mountFolder) Settling::discard(it->path());
  }
}

// The application in the attached image, under its current name or the earlier one.
fs::path applicationIn(const fs::path& mountPoint) {
  for (const auto& name : Settling::fileNames) {
    auto status = Platform::lookAt(mountPoint / name);
    if (status && status->kind == Platform::ItemKind::folder) return mountPoint / name;
  }
  return mountPoint / Settling::fileName;
}

// Copies the application out of the attached image and checks who signed the copy.
Prepared unpack(const fs::path& mountPoint, const fs::path& folder) {
  const fs::path found = applicationIn(mountPoint);
  const fs::path staged = folder / Settling::fileName;
  // Only a real folder is copied: a link in the image would stage a link to elsewhere.
  auto status = Platform::lookAt(found);
  if (!status || status->kind != Platform::ItemKind::folder) return Unprepared{notUnpacked};
  if (Platform::copyTree(found, staged) != 0) {
    Settling::discard(staged);
    return Unprepared{notUnpacked};
  }
  if (!CodeSign::signedLikeUs(staged)) {
    clearAround(folder);
    return Unprepared{notOurs};
  }
  return Staged{staged};
}

void finish(const Published& entry, const Platform::Http::Reply& reply,
            const std::function<void(Prepared)>& then) {
  if (!reply.body) {
    return then(Unprepared{notFinished + (reply.error.empty() ? noConnection : reply.error)});
  }
  // Nothing is written before the bytes are known to be the published ones.
  if (Platform::sha256Hex(*reply.body) != lowerCase(entry.sha256())) {
    return then(Unprepared{notIntact});
  }

  const fs::path folder = staging();
  clear(folder);
  std::error_code error;
  fs::create_directories(folder, error);
  // Only this user may touch what is staged between its check and its swap.
  if (!error) fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace, error);
  if (error) return then(Unprepared{noRoom});

  if (!plainName(entry.file())) return then(Unprepared{std::string(notSaved) + notAFileName});
  const fs::path image = folder / entry.file();
  if (auto why = save(image, *reply.body)) return then(Unprepared{notSaved + *why});

  auto attached = DiskImage::attach(image, folder / mountFolder);
  if (std::holds_alternative<DiskImage::Unattached>(attached))
    return then(Unprepared{wouldNotOpen});
  DiskImage::Attachment attachment(std::get<DiskImage::Attached>(attached));

  Prepared prepared = unpack(attachment.mountPoint(), folder);
  const bool refused =
      std::holds_alternative<Unprepared>(prepared) && std::get<Unprepared>(prepared).why == notOurs;
  then(std::move(prepared));
  // After the answer: the user need not wait for the image to go.
  const bool detached = attachment.detachNow();
  if (refused && detached) Settling::discard(folder);
}

}  // namespace

fs::path staging() {
  return Platform::home() / "Library/Application Support/Quendrel/Update";
}

void prepare(const Published& entry, std::function<void(Prepared)> then,
             std::function<void()> settled) {
  Platform::Http::Request request{downloadURL(), downloadTimeout, largestImage, false};
  Platform::Http::get(request, [entry, then = std::move(then),
                                settled = std::move(settled)](Platform::Http::Reply reply) {
    finish(entry, reply, then);
    if (settled) settled();
  });
}

}  // namespace AppUpdate
