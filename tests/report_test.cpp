// Tests of the quoted form of paths.
#include "report.h"

#include <gtest/gtest.h>

TEST(QuotePath, EscapesQuotesAndBackslashesOnly) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"", R"("")"},
        {"/mnt/data", R"("/mnt/data")"},
        {R"(a"b)", R"("a\"b")"},
        {R"(a\b)", R"("a\\b")"},
        {R"(\"")", R"("\\\"\"")"},
        {"sp ace\tand\nnewline", "\"sp ace\tand\nnewline\""},
    };
    for (const auto& c : cases) EXPECT_EQ(quote_path(c.in), c.out) << c.in;
}

TEST(FsError, HasOperationMessageAndPath) {
    EXPECT_EQ(fs_error("symlink_status", "File name too long", "/a/b"),
              "filesystem error: symlink_status: File name too long [/a/b]");
}
