// Runs the framework's unit tests with the log files in a private folder.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "WzFile.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Keep the tests' own log lines out of the machine's shared log folder.
    char pattern[] = "/tmp/fcfw-logs-XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    if (dir) ::setenv("FC_LOG_DIR", dir, 1);
    int rc = RUN_ALL_TESTS();
    if (dir) FXPath::RemoveAll(dir);
    return rc;
}
