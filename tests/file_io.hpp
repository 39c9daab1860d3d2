// Whole-file reads and writes for the tests, bytes as they are, and the
// skip rule every test shares.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>

// A scenario that cannot run here is skipped, except in CI (CI=true), where
// a skip would pass for green: there it fails.
#define SKIP_UNLESS_CI(why)                                                                        \
    do {                                                                                           \
        if (const char *ci = std::getenv("CI"); ci != nullptr && std::strcmp(ci, "true") == 0) {   \
            FAIL() << "cannot run in CI: " << (why);                                               \
        }                                                                                          \
        GTEST_SKIP() << (why);                                                                     \
    } while (false)

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
