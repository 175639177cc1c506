#pragma once
// Copying a whole tree the way an installer must (modes, symbolic links, extended attributes
// and times kept), and putting it in place in one atomic step.
#include <filesystem>
#include <string>
#include <vector>

namespace Platform {

// Copies the item at `from` (a final symbolic link is copied as a link) to `to`, which must
// not exist yet, keeping modes, symbolic links, extended attributes and modification times.
// Entries of a folder `from` named in `leaveOut` are not copied (only at the top).
// 0 when the whole tree was copied, else the error number of the first failure; a failed
// copy may leave a part of the tree behind at `to` for the caller to remove.
int copyTree(const std::filesystem::path& from, const std::filesystem::path& to,
             const std::vector<std::string>& leaveOut = {});

enum class Rename {
  exclusive,  // fails with EEXIST when something stands at the target
  exchange,   // swaps the two, both of which must exist
};

// renameat2 in one step; 0 when done, else the error number.
int renameAtomically(const std::filesystem::path& from, const std::filesystem::path& to,
                     Rename how);

}  // namespace Platform
