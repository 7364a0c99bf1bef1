// Tests of the quoted form of paths.
#include "report.h"

#include <gtest/gtest.h>

TEST(QuotePath, EscapesQuotesBackslashesAndControlBytes) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"", R"("")"},
        {"/mnt/data", R"("/mnt/data")"},
        {R"(a"b)", R"("a\"b")"},
        {R"(a\b)", R"("a\\b")"},
        {R"(\"")", R"("\\\"\"")"},
        {"sp ace\tand\nnewline", R"("sp ace\tand\nnewline")"},
        {"\x1f\x7f\x80\xff", "\"\\x1f\\x7f\x80\xff\""},
    };
    for (const auto& c : cases) EXPECT_EQ(quote_path(c.in), c.out) << c.in;
}

TEST(FsError, HasOperationMessageAndPath) {
    EXPECT_EQ(fs_error("symlink_status", "File name too long", "/a/b"),
              "filesystem error: symlink_status: File name too long [/a/b]");
    // Only control bytes are escaped between the brackets; the quoted path beside it is exact.
    EXPECT_EQ(fs_error("op", "m", "/a\n\"\\"), R"(filesystem error: op: m [/a\n"\])");
}
