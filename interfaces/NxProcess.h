// The agent's process runner: runs one command line through the shell and captures what it
// prints. Reads no environment variable of its own; the child inherits the caller's
// environment and current folder.
#pragma once

#include <cstdint>
#include <string>

#include "NxExport.h"

class NX_EXPORT NxProcess {
public:
    // Exit status reported when the child could not be started at all.
    static const int c_nStartFailed = -1;
    // Exit status reported when the child was killed because it ran past timeoutSecs.
    static const int c_nTimedOut = -2;

    // Runs `/bin/sh -c command` and waits for it to end. The child's standard input is
    // /dev/null; its standard output is captured in full into `output` (any size; the two
    // streams are drained together, so a child filling one pipe never blocks on the other).
    // With captureErrorOutput = true the standard error goes into `errorOutput`, never into
    // `output`; with false it is inherited from the caller and `errorOutput` is left empty.
    // timeoutSecs = 0 waits for ever; otherwise the child's whole process group is killed
    // after that many seconds and c_nTimedOut is returned (the output read so far is kept).
    //
    // Returns the exit status: 0..255 from exit(), 128 + the signal number when the child died
    // of a signal (as the shell reports it), or one of the negative codes above. The output
    // strings are cleared first. Safe to call from several threads at once.
    static int system(const std::string& command, std::string& output, std::string& errorOutput,
                      uint32_t timeoutSecs = 0, bool captureErrorOutput = true);
};
