#pragma once

#include <csignal>

// SIGTERM and SIGINT taken as the user's "Quit": while an instance lives, either signal only
// notes the request and wakes the main loop through `wakeFd` (its eventfd), and the loop's owner
// asks here on each turn and quits in its orderly way, as from its menu. A signal may land on
// any thread; the handler does nothing but set a flag and write to the descriptor. One instance
// at a time; it puts the previous handlers back as it goes.
class QuitSignals {
public:
    explicit QuitSignals(int wakeFd);
    ~QuitSignals();
    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;

    // Whether a signal came since the last call.
    bool takeRequest();

private:
    struct sigaction previousTerm_ {};
    struct sigaction previousInt_ {};
};
