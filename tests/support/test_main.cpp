// Test entry point: the board root is set to a fresh temporary directory before any test runs.
#include "tests/support/board_fixture.h"

#include <cstdio>
#include <filesystem>

int main(int argc, char** argv)
{
    // The product logs unbuffered; tests that read its log need the same.
    setvbuf(stdout, nullptr, _IONBF, 0);
    ::testing::InitGoogleTest(&argc, argv);
    const std::string& root = board_test::process_root();
    if (root.empty()) {
        fprintf(stderr, "cannot create a temporary board root\n");
        return 1;
    }
    int result = RUN_ALL_TESTS();
    std::filesystem::remove_all(root);
    return result;
}
