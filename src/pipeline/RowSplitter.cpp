#include "pipeline/RowSplitter.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include <pthread.h>

#include "platform/ThreadPriority.h"

namespace qb {

struct RowSplitter::Job {
    Slice slice;
    void* context;
    std::size_t rows;
    std::size_t sliceRows;
    std::size_t slices;
    std::uint64_t generation;
    std::atomic<std::size_t> next{0};
    // Under the splitter's mutex: slices finished, helpers holding the job.
    std::size_t done = 0;
    unsigned users = 0;
};

RowSplitter::RowSplitter(unsigned helpers)
{
    threads_.reserve(helpers);
    for (unsigned i = 0; i < helpers; ++i) {
        threads_.emplace_back([this] {
            raiseFrameThreadPriority(); // a band waits for its slowest helper
            helperLoop();
        });
        pthread_setname_np(threads_.back().native_handle(), "encode");
    }
}

RowSplitter::~RowSplitter()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : threads_) thread.join();
}

RowSplitter* RowSplitter::shared()
{
    static RowSplitter* const instance = [] {
        const unsigned cores = std::thread::hardware_concurrency();
        unsigned helpers = cores > 1 ? std::min(cores - 1, 3U) : 0;
        // QUILLBRIGHT_ENCODE_HELPERS=N sets the count (0: the capture threads work alone).
        if (const char* wanted = std::getenv("QUILLBRIGHT_ENCODE_HELPERS"); wanted && *wanted) {
            char* end = nullptr;
            const unsigned long n = std::strtoul(wanted, &end, 10);
            if (*end == '\0') helpers = static_cast<unsigned>(std::min(n, 8UL));
        }
        return helpers > 0 ? new RowSplitter(helpers) : nullptr;
    }();
    return instance;
}

std::size_t RowSplitter::drain(Job& job)
{
    std::size_t count = 0;
    for (std::size_t s = job.next.fetch_add(1); s < job.slices; s = job.next.fetch_add(1)) {
        job.slice(job.context, s * job.sliceRows, std::min(job.rows, (s + 1) * job.sliceRows));
        ++count;
    }
    return count;
}

void RowSplitter::runSlices(std::size_t rows, std::size_t sliceRows, Slice slice, void* context)
{
    sliceRows = std::max<std::size_t>(sliceRows, 1);
    std::unique_lock running(running_, std::try_to_lock);
    if (threads_.empty() || rows <= sliceRows || !running.owns_lock()) {
        if (rows > 0) slice(context, 0, rows);
        return;
    }
    Job job{slice, context, rows, sliceRows, (rows + sliceRows - 1) / sliceRows, 0};
    {
        std::lock_guard lock(mutex_);
        job.generation = ++generation_;
        job_ = &job;
    }
    wake_.notify_all();
    const std::size_t mine = drain(job);
    std::unique_lock lock(mutex_);
    job.done += mine;
    // A helper that took the job may still be inside its last slice.
    finished_.wait(lock, [&] { return job.done == job.slices && job.users == 0; });
    job_ = nullptr;
}

void RowSplitter::helperLoop()
{
    std::uint64_t seen = 0;
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || (job_ && job_->generation != seen); });
        if (stopping_) return;
        Job& job = *job_;
        seen = job.generation;
        ++job.users;
        lock.unlock();
        const std::size_t count = drain(job);
        lock.lock();
        job.done += count;
        --job.users;
        if (job.done == job.slices && job.users == 0) finished_.notify_all();
    }
}

} // namespace qb
