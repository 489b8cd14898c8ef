#pragma once

#include <pthread.h>
#include <sched.h>

// Asks real-time scheduling for the calling thread, as a sound card's own thread has it; without
// the privilege the thread keeps its policy, which serves on an idle machine.
inline void requestRealtimePriority() {
    constexpr int kAboveMinimum = 10;
    sched_param parameters{};
    parameters.sched_priority = sched_get_priority_min(SCHED_FIFO) + kAboveMinimum;
    (void)pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters);
}
