// Owns turning names into descriptors while privileged: the compiled-in roots and the way to each,
// the caller's own path text, and the check of an admitted path right before it is walked.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "causes.h"
#include "kernel_calls.h"
#include "result.h"
#include "unique_fd.h"

/// The allowed roots, as written and in order. Built before main runs; never changed.
extern const std::vector<std::filesystem::path> allowed_paths;

/// A root as this run found it: judged once, at the start, then held.
struct Root {
    std::filesystem::path written;   ///< as compiled in
    std::filesystem::path resolved;  ///< where its way leads: absolute, no link, "." or "..";
                                     ///< empty for a root set aside
    UniqueFd dir;                    ///< the root, or the deepest directory of its way that exists
    std::filesystem::path rest;      ///< the names below `dir` that did not exist; empty when the
                                     ///< root did
    WayFault set_aside;              ///< why it is not used this run; sound when it is used
};

/// Opens each of `written` from "/", one name at a time (see chase() with Chase::root_way), and
/// keeps it as a descriptor only when nobody but root (or the tool's own effective user) can
/// change where its way leads. The root itself, its last name, may belong to anyone. A root whose
/// way fails is set aside for the run (see Root::set_aside); one that does not exist is held as
/// the deepest directory of its way and the names still missing.
std::vector<Root> open_roots(const std::vector<std::filesystem::path>& written);

/// Where an admitted path lies, and what its name showed the caller.
struct Admission {
    const Root* root = nullptr;     ///< the root it lies under
    std::filesystem::path beneath;  ///< the path's remaining components below the root; "." for the
                                    ///< root itself; never absolute, never holds "." or ".."
    int missing = 0;                ///< ENOENT or ENOTDIR when the path did not exist, else 0
    dev_t dev = 0;                  ///< the inode its name showed when it existed
    ino_t ino = 0;
};

/// While it lives, the process reaches files with its caller's rights: the file-system user and
/// group ids are the real ones (the supplementary groups are the caller's already) and, unless the
/// caller is root, no capability is effective. The previous ids and capabilities come back when
/// it goes out of scope. A set-user-ID program judges the caller's own path
/// text this way, so that it answers no question about a file the caller could not reach himself.
class CallerRights {
  public:
    CallerRights();
    ~CallerRights();
    CallerRights(const CallerRights&) = delete;
    CallerRights& operator=(const CallerRights&) = delete;
    /// 0, or the error number when the switch did not take effect (ids or capabilities): then
    /// nothing may be judged.
    int error() const { return error_; }

  private:
    unsigned fsuid_;
    unsigned fsgid_;
    uint32_t saved_effective_[2] = {0, 0};
    bool caps_saved_ = false;
    int error_ = 0;
};

/// Whether the caller, with his own rights (see CallerRights), could open the directory `dir` for
/// reading, as he would to list it himself: search and read permission on it.
bool caller_can_list(int dir);

/// Judges `path` against `roots`: admitted when its weakly canonical form starts with every
/// component of a usable root's resolved form, roots tried in order, the first match winning.
/// `path`'s status is read and its text resolved with the caller's rights (see CallerRights).
/// Fails with ELOOP when its final component is a symbolic link, the error of CallerRights when
/// the caller's rights could not be taken, EXDEV when it lies under no usable root, or the
/// file-system error met on the way other than its absence. Never prints.
Result<Admission> admit(const std::filesystem::path& path, const std::vector<Root>& roots);

/// The first root set aside under which `path` would have lain, that root resolved by name with
/// the caller's rights, as he could resolve it himself; null when there is none.
const Root* set_aside_root(const std::filesystem::path& path, const std::vector<Root>& roots);

/// A command-line path, and where its admission found it.
struct Argument {
    std::filesystem::path path;
    Admission admitted;
};

/// Where `adm` lies: its root's resolved path joined with what lies beneath it.
std::filesystem::path resolved(const Admission& adm);

/// Judges `path` again (see admit()) and opens it beneath its root's descriptor, refusing every
/// symbolic link (see open_beneath()), as O_PATH | O_NOFOLLOW. Gives the descriptor only if it is
/// what was `admitted`: the same root, the same place beneath it and the same inode. Otherwise
/// fails with the admission's own error (ELOOP for a final symbolic link, EXDEV when it lies under
/// no usable root, ...), ENOENT or ENOTDIR when it does not exist, moved_since_admitted, ELOOP
/// when a component became a symbolic link, ESTALE when the open met another inode than its name
/// showed a moment before, or another error number of the open.
Result<UniqueFd> confirm(const Kernel& k, const std::filesystem::path& path,
                         const Admission& admitted, const std::vector<Root>& roots);

/// True when `path` is admitted under `allowed_paths`.
bool allowed(const std::filesystem::path& path);
