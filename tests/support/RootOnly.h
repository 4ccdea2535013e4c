// Tests that only root can run (mounting a file system, the immutable attribute): as another
// user they are skipped with the reason; as root a skip would hide them, so it fails.
#pragma once

#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>
#endif

inline bool RunningAsRoot() {
#ifdef _WIN32
    return false;
#else
    return ::geteuid() == 0;
#endif
}

// Ends the test unless `done`: a failure as root, a skip "needs root: <what>" otherwise.
#define QUORVANE_ROOT_ONLY(done, what)                                                             \
    do {                                                                                           \
        if (!(done)) {                                                                             \
            if (RunningAsRoot())                                                                   \
                FAIL() << what << " failed although the tests run as root";                        \
            GTEST_SKIP() << "needs root: " << what;                                                \
        }                                                                                          \
    } while (false)
