// Owns the compiled-in allowed roots and the decision whether a command-line path lies under one.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

/// The allowed roots, as written and in order. Built before main runs; never changed. They are
/// resolved anew at every check, so a root that is a symbolic link is judged by its target.
extern const std::vector<std::filesystem::path> allowed_paths;

/// Where an admitted path lies, and what its name showed the caller.
struct Admission {
    std::filesystem::path root;     ///< weakly canonical form of the matching root
    std::filesystem::path beneath;  ///< the path's remaining components below `root`; "." for the
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
    /// False when the switch did not take effect (ids or capabilities): then nothing may be
    /// judged.
    bool held() const { return held_; }

  private:
    unsigned fsuid_;
    unsigned fsgid_;
    uint32_t saved_effective_[2] = {0, 0};
    bool caps_saved_ = false;
    bool held_ = false;
};

/// Judges `path` against `roots`: refused (nullopt) when its final component is a symbolic link,
/// when its weakly canonical form does not start with every component of a root's weakly
/// canonical form, or when any file-system error other than its absence occurs on the way.
/// `path`'s status is read and its text resolved with the caller's rights (see CallerRights), the
/// roots with the program's own. Roots are tried in order and the first match wins. Never prints.
std::optional<Admission> admit(const std::filesystem::path& path,
                               const std::vector<std::filesystem::path>& roots);

/// True when `path` is admitted under `allowed_paths`.
bool allowed(const std::filesystem::path& path);
