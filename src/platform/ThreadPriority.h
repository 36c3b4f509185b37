// The frame path's threads ahead of the rest of the machine. A frame waits
// on two threads of ours (the capture queue's and the encode helpers'); on a
// busy machine each waits for a core behind whatever else is runnable, and
// that wait, not the work, is the tail of the latency. Those threads ask
// here for a higher share of the processor: a nice value below the
// process's own (setpriority on the thread id; the scheduler weighs a
// thread at nice -10 about ten times one at 0). They stay in the normal
// scheduling class: their work is bounded by the frame-rate cap, so they
// cannot shut the rest of the desktop out the way a real-time thread could.
//
// Where the system refuses (no CAP_SYS_NICE, no RLIMIT_NICE headroom), the
// thread keeps its priority and the first refusal is logged once.
// QUILLBRIGHT_FRAME_PRIORITY=0 leaves every thread as it was (measurements).
//
// Any thread; it changes only the calling thread.
#pragma once

namespace qb {

// The nice value asked for the frame path's threads.
inline constexpr int FRAME_THREAD_NICE = -10;

// Raises the calling thread to FRAME_THREAD_NICE; false when it stays as it
// was (refused, or turned off).
bool raiseFrameThreadPriority();

} // namespace qb
