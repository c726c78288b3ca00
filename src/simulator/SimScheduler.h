#pragma once

#include <juce_core/juce_core.h>

#include <functional>
#include <map>

/** Runs actions after a delay on a thread of its own ("SimScheduler").

    schedule() may be called from any thread, also from inside an action. Actions run one at a
    time with no lock held. Destruction (or stop()) waits for a running action and drops the rest.
*/
class SimScheduler final : private juce::Thread
{
public:
    SimScheduler();
    ~SimScheduler() override;

    void schedule (int delayMs, std::function<void()> action);

    /** Stops the thread; later schedule() calls are ignored. */
    void stop();

private:
    void run() override;

    juce::CriticalSection lock;
    std::multimap<double, std::function<void()>> actions; // by due time, guarded by lock
    juce::WaitableEvent wakeUp;
    std::atomic<bool> stopped { false };

    JUCE_DECLARE_NON_COPYABLE (SimScheduler)
};
