// Tests of the mode rule: what each path's mode becomes, and when it must be read again.
#include "permission_repair.h"

#include <gtest/gtest.h>

TEST(WantedMode, GrantsTheGroupAndNeverKeepsAFilesSetIds) {
    const struct {
        mode_t mode;
        mode_t want;
        bool dir;
        bool setgid;
        bool changes_hands;
        bool reread;
    } cases[] = {
        {0600, 0640, false, false, true, false},
        {0644, 0644, false, false, true, true},  // no change planned: its owner could add set-IDs
        {0644, 0644, false, false, false, false},
        {0000, 0040, false, false, true, false},
        {04755, 0755, false, false, true, false},
        {02604, 0644, false, false, true, false},
        {01777, 01777, false, false, true, true},
        {0755, 02775, true, true, true, false},
        {0700, 0740, true, false, true, false},
        {0700, 02770, true, true, false, false},  // the group may enter too
        {02750, 02770, true, true, true, true},   // set-IDs the ownership change may have cleared
        {04700, 04740, true, false, false, true},
        {02755, 02755, true, false, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.dir ? "dir 0" : "file 0") + std::to_string(c.mode) +
                     (c.setgid ? " --setgid" : ""));
        EXPECT_EQ(wanted_mode(c.mode, c.dir, c.setgid), c.want);
        EXPECT_EQ(reread_mode(c.mode, c.dir, c.setgid, c.changes_hands), c.reread);
    }
}
