// A fresh temporary directory for each unit test that works on files, and nothing left of it.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

/// Base of such tests: `t` is a new directory under the system's temporary one, by its canonical
/// name and with mode 0755; it goes, with all in it, after the test.
class TempDir : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (std::filesystem::temp_directory_path() / "quorvane.XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        t = std::filesystem::canonical(tmpl);
        std::filesystem::permissions(t, std::filesystem::perms(0755));
    }
    void TearDown() override { std::filesystem::remove_all(t); }

    std::filesystem::path t;
};
