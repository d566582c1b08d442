#ifndef TESTS_SUPPORT_RUNNER_PROCESS_H
#define TESTS_SUPPORT_RUNNER_PROCESS_H

#include <string>
#include <vector>

namespace varnholt {
namespace test {

struct RunResult {
    int status = -1;                 // exit status; -1 when the program did not exit normally
    std::vector<std::string> lines;  // standard output and standard error together
    double seconds = 0.0;            // from start to exit
};

// Runs a program (the north runner, say) with the arguments and the caller's environment, and
// waits for it.
RunResult runProgram(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace test
}  // namespace varnholt

#endif
