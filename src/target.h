// Owns what a run hands each path over to.
#pragma once

#include <cstdint>

/// The owner and group each path is given (-1 keeps that id, as the platform reads it), and
/// whether a directory also gets group-write, group-search and set-group-ID.
struct Target {
    int32_t uid;
    int32_t gid;
    bool sgid = false;
};
