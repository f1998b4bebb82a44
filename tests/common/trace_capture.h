// The trace lines written while a TraceCapture lives (earlier lines go to a
// file of their own); used by the test's thread.
#pragma once
#include <string>

#include "common/wait.h"
#include "core/log_writer.h"

namespace testsupport {

struct TraceCapture {
    TempDir dir;
    TraceCapture() {
        driver::TheLog().Start(dir.File("before.log").c_str());
        driver::TheLog().Stop();
        driver::TheLog().Start(dir.File("trace.log").c_str());
    }
    ~TraceCapture() { driver::TheLog().Stop(); }
    // Stops the writer (so every line is out) and returns the file.
    std::string Text() {
        driver::TheLog().Stop();
        return ReadFile(dir.File("trace.log"));
    }
};

}  // namespace testsupport
