#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "platform/ThreadPriority.h"

namespace qb {
namespace {

int niceOf(long thread)
{
    errno = 0;
    return ::getpriority(PRIO_PROCESS, static_cast<id_t>(thread));
}

// Only the asking thread moves, and the answer says whether it did: a
// process raised whole would put the main loop and every pool thread ahead
// of the desktop too, and a refusal reported as success would hide that
// frames still wait for a core.
TEST(ThreadPriority, RaisesOnlyTheCallingThreadAndTellsWhetherItDid)
{
    const long self = ::syscall(SYS_gettid);
    const int before = niceOf(self);
    long raisedThread = 0;
    bool raised = false;
    int after = 0;
    std::thread worker([&] {
        raisedThread = ::syscall(SYS_gettid);
        raised = raiseFrameThreadPriority();
        after = niceOf(raisedThread);
        EXPECT_EQ(raiseFrameThreadPriority(), raised); // asking again changes nothing
    });
    worker.join();
    EXPECT_EQ(niceOf(self), before);
    if (raised) {
        EXPECT_EQ(after, FRAME_THREAD_NICE);
    } else {
        EXPECT_EQ(after, before);
    }
}

} // namespace
} // namespace qb
