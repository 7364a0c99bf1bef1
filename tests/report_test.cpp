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
        {"\x1f\x7f", R"("\x1f\x7f")"},
        // Valid UTF-8 stays; invalid bytes, C1 controls, separators and bidi controls do not.
        {"caf\xc3\xa9 \xe6\x97\xa5\xf0\x9f\x98\x80",
         "\"caf\xc3\xa9 \xe6\x97\xa5\xf0\x9f\x98\x80\""},
        {"\x80\x9b\xff\xc3", R"("\x80\x9b\xff\xc3")"},
        {"\xc2\x85|\xc2\x9b|\xc2\xa0", "\"\\xc2\\x85|\\xc2\\x9b|\xc2\xa0\""},
        {"a\xe2\x80\xa8"
         "b\xe2\x80\xa9",
         R"("a\xe2\x80\xa8b\xe2\x80\xa9")"},
        // NOLINTNEXTLINE(misc-misleading-bidirectional): the controls are the point
        {"\xe2\x80\xae\xe2\x81\xa6\xe2\x80\x8e\xd8\x9c",
         R"("\xe2\x80\xae\xe2\x81\xa6\xe2\x80\x8e\xd8\x9c")"},
        // NOLINTNEXTLINE(misc-misleading-bidirectional): the controls are the point
        {"\xe2\x81\xa6\xe2\x81\xa7\xe2\x81\xa8\xe2\x81\xa9",
         R"("\xe2\x81\xa6\xe2\x81\xa7\xe2\x81\xa8\xe2\x81\xa9")"},
        {"\xc0\xaf\xe0\x80\xaf\xed\xa0\x80\xf4\x90\x80\x80",
         R"("\xc0\xaf\xe0\x80\xaf\xed\xa0\x80\xf4\x90\x80\x80")"},
    };
    for (const auto& c : cases) EXPECT_EQ(quote_path(c.in), c.out) << c.in;
}

TEST(FsError, HasOperationMessageAndPath) {
    EXPECT_EQ(fs_error("symlink_status", "File name too long", "/a/b"),
              "filesystem error: symlink_status: File name too long [/a/b]");
    // Quotes and backslashes pass between the brackets; the quoted path beside it is exact.
    EXPECT_EQ(fs_error("op", "m", "/a\n\"\\\xe2\x80\xa8"),
              R"(filesystem error: op: m [/a\n"\\xe2\x80\xa8])");
}
