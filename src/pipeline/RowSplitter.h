// RowSplitter: runs the pixel work of one large band of rows on the calling
// thread and a few helper threads at once, so converting a big frame is not
// held to what one core can pull through its caches.
//
// run() cuts [0, rows) into slices and calls the work once per slice; the
// caller takes slices itself from the first moment, so a helper that is slow
// to wake (or busy with another program) never makes the pass slower than
// doing it alone, by more than the one slice it holds. Only one run uses the
// helpers at a time: a second caller meanwhile (another device's capture)
// does its work alone on its own thread rather than waiting.
//
//   splitter.run(rows, 64, [&](std::size_t first, std::size_t last) { encode(first, last); });
//
// Ownership and threads: the helpers live as long as the object; run() may
// be called from any thread, and returns when every slice is done. shared()
// is the process's instance, never destroyed (as the thread pools).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

namespace qb {

class RowSplitter {
public:
    explicit RowSplitter(unsigned helpers);
    ~RowSplitter();
    RowSplitter(const RowSplitter&) = delete;
    RowSplitter& operator=(const RowSplitter&) = delete;

    unsigned helpers() const { return static_cast<unsigned>(threads_.size()); }

    // Calls work(first, last) for slices of at most `sliceRows` rows that
    // together cover [0, rows) once each; a run without helpers (none, or
    // another run has them) is one call for all the rows.
    template <class Work>
    void run(std::size_t rows, std::size_t sliceRows, Work&& work)
    {
        using Callable = std::remove_reference_t<Work>;
        runSlices(rows, sliceRows,
            [](void* context, std::size_t first, std::size_t last) { (*static_cast<Callable*>(context))(first, last); },
            const_cast<void*>(static_cast<const void*>(&work)));
    }

    // One helper per further core, at most three, or as many as
    // $QUILLBRIGHT_ENCODE_HELPERS says (at most eight); nullptr for none.
    static RowSplitter* shared();

private:
    using Slice = void (*)(void* context, std::size_t first, std::size_t last);
    struct Job;

    void runSlices(std::size_t rows, std::size_t sliceRows, Slice slice, void* context);
    static std::size_t drain(Job& job);
    void helperLoop();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable finished_;
    Job* job_ = nullptr;
    std::uint64_t generation_ = 0;
    bool stopping_ = false;
    // Held by the run that has the helpers.
    std::mutex running_;
    std::vector<std::thread> threads_;
};

} // namespace qb
