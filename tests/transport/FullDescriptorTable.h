// Fills this process's descriptor table, so that a listener's next accept
// fails with "Too many open files"; the limit is lowered first so that
// filling it is cheap. Everything is given back when it goes out of scope.
//
// Under AddressSanitizer the test is skipped: the sanitizer runtime checks
// memory by writing it into a pipe, so with no descriptor left it reports
// every object it checks as invalid.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define QB_SKIP_WITHOUT_SPARE_DESCRIPTORS() GTEST_SKIP() << "the sanitizer runtime needs free descriptors"
#else
#define QB_SKIP_WITHOUT_SPARE_DESCRIPTORS() static_cast<void>(0)
#endif

#include <algorithm>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace qb::test {

class FullDescriptorTable {
public:
    FullDescriptorTable()
    {
        ::getrlimit(RLIMIT_NOFILE, &original_);
        rlimit lowered = original_;
        lowered.rlim_cur = std::min<rlim_t>(original_.rlim_cur, 1024);
        ::setrlimit(RLIMIT_NOFILE, &lowered);
        for (int fd = ::dup(0); fd >= 0; fd = ::dup(0)) taken_.push_back(fd);
    }
    ~FullDescriptorTable()
    {
        for (int fd : taken_) ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &original_);
    }
    FullDescriptorTable(const FullDescriptorTable&) = delete;
    FullDescriptorTable& operator=(const FullDescriptorTable&) = delete;

    // Frees one slot, for the client socket the test itself needs.
    void freeOne()
    {
        if (taken_.empty()) return;
        ::close(taken_.back());
        taken_.pop_back();
    }

private:
    rlimit original_{};
    std::vector<int> taken_;
};

} // namespace qb::test
