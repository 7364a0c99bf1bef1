// Owns the compiled-in allowed roots and the decision whether a command-line path lies under one.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

/// The allowed roots, as written and in order. Built before main runs; never changed. They are
/// resolved anew at every check, so a root that is a symbolic link is judged by its target.
extern const std::vector<std::filesystem::path> allowed_paths;

/// Where an admitted path lies.
struct Admission {
    std::filesystem::path root;     ///< weakly canonical form of the matching root
    std::filesystem::path beneath;  ///< the path's remaining components below `root`; "." for the
                                    ///< root itself; never absolute, never holds "." or ".."
};

/// Judges `path` against `roots`: refused (nullopt) when its final component is a symbolic link,
/// when its weakly canonical form does not start with every component of a root's weakly
/// canonical form, or when any file-system error occurs on the way. Roots are tried in order and
/// the first match wins. Never throws, never prints.
std::optional<Admission> admit(const std::filesystem::path& path,
                               const std::vector<std::filesystem::path>& roots);

/// True when `path` is admitted under `allowed_paths`.
bool allowed(const std::filesystem::path& path);
