#pragma once
// The file-system questions that need the operating system beyond std::filesystem.
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

namespace Platform {

// The user's home folder: $HOME, else the password database's entry.
std::filesystem::path home();

// The temporary folder: $TMPDIR, else /tmp.
std::filesystem::path temporaryFolder();

// The user's own data folder: $XDG_DATA_HOME when it is an absolute path, else
// ~/.local/share.
std::filesystem::path dataHome();

// The user's own trash, where deleted items go: $XDG_DATA_HOME/Trash/files, by default
// ~/.local/share/Trash/files.
std::filesystem::path ownTrash();

// Whether a folder name is ".Trash-" and the digits of a user id: a volume's trash.
bool isVolumeTrash(const std::string& name);

// A new random UUID in its upper-case text form (36 characters).
std::string uuid();

bool isExecutableFile(const std::filesystem::path& path);
bool isWritable(const std::filesystem::path& path);

// The path with its symbolic links resolved as far as it exists; the path as given when it
// cannot be resolved.
std::string resolved(const std::filesystem::path& path);

// "X.app/" names the same folder as "X.app": the path without its trailing slashes.
std::filesystem::path withoutTrailingSlash(const std::filesystem::path& path);

// Whether anything, a dangling symbolic link included, stands at the path.
bool existsNoFollow(const std::filesystem::path& path);

// The modification time of the item at the path (links followed).
std::optional<std::chrono::system_clock::time_point> modified(const std::filesystem::path& path);

// The whole file as bytes; nothing when it can't be read.
std::optional<std::string> readFile(const std::filesystem::path& path);

// Writes the bytes to a temporary file beside `path` and renames it over `path`.
// New files get `mode`. Gives false when anything failed (nothing is left half written).
bool writeAtomically(const std::filesystem::path& path, const std::string& bytes,
                     unsigned mode = 0644);

// Makes a new folder readable by this user only (0700) inside the temporary folder,
// named `prefix` and a UUID. Nothing when it could not be made.
std::optional<std::filesystem::path> makePrivateFolder(const std::string& prefix);

}  // namespace Platform
