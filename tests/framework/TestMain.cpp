// Runs the framework's unit tests with the log files in a private folder.
#include <gtest/gtest.h>

#include "TempDir.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    CTempDir logs;
    CScopedEnv logDir("FC_LOG_DIR", logs.Path());
    return RUN_ALL_TESTS();
}
