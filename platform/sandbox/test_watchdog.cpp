// Every unit test of the virtual switch runs under a time limit: a test
// that waits for something that never comes (a launcher loop that never
// ends, a read nobody answers) fails with its name instead of hanging the
// run. The limit is real time and generous; no test is timed by it.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

namespace {

constexpr unsigned kTestLimitSeconds = 90;
char running[256] = "";

class Watchdog : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo& test) override {
        std::snprintf(running, sizeof running, "%s.%s", test.test_suite_name(), test.name());
        signal(SIGALRM, [](int) {
            const char said[] = "FAILED: this test ran past its time limit: ";
            (void)!write(2, said, sizeof said - 1);
            (void)!write(2, running, std::strlen(running));
            (void)!write(2, "\n", 1);
            std::abort();
        });
        alarm(kTestLimitSeconds);
    }
    void OnTestEnd(const ::testing::TestInfo&) override { alarm(0); }
};

// Registered before main: gtest_main runs the tests with it in place.
const bool registered = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new Watchdog);
    return true;
}();

}  // namespace
