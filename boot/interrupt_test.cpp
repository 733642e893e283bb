#include "boot/interrupt.h"

#include <csignal>

#include <gtest/gtest.h>

namespace {

TEST(Interrupt, HandlerOnlyRaisesTheFlagAndDoesNotRestartReads) {
    struct sigaction previous {};
    sigaction(SIGINT, nullptr, &previous);
    interrupt_flag = 0;

    ASSERT_EQ(0, install_interrupt_handler());
    struct sigaction installed {};
    sigaction(SIGINT, nullptr, &installed);
    EXPECT_EQ(&on_interrupt, installed.sa_handler);
    EXPECT_EQ(0, installed.sa_flags & SA_RESTART);

    raise(SIGINT);  // the process goes on; only the flag changes
    EXPECT_EQ(1, interrupt_flag.load());

    sigaction(SIGINT, &previous, nullptr);
    interrupt_flag = 0;
}

}  // namespace
