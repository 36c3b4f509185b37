// The main() of every test program. Each run gets a private HOME and
// XDG_CONFIG_HOME, removed again at the end, so that nothing a test does (a
// settings write, a brightness recovery file, a font setting) can reach the
// files of the person running the tests.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include <unistd.h>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    namespace fs = std::filesystem;
    std::error_code error;
    std::string pattern = (fs::temp_directory_path(error) / "qb-test-home-XXXXXX").string();
    const char* home = ::mkdtemp(pattern.data());
    if (home == nullptr) return 1;
    const fs::path root(home);
    ::setenv("HOME", root.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root / ".config").c_str(), 1);
    const int result = RUN_ALL_TESTS();
    fs::remove_all(root, error);
    return result;
}
