#include "SimScheduler.h"

SimScheduler::SimScheduler() : juce::Thread ("SimScheduler")
{
    startThread();
}

SimScheduler::~SimScheduler()
{
    stop();
}

void SimScheduler::schedule (int delayMs, std::function<void()> action)
{
    if (stopped)
        return;

    {
        const juce::ScopedLock sl (lock);
        actions.emplace (juce::Time::getMillisecondCounterHiRes() + juce::jmax (0, delayMs), std::move (action));
    }

    wakeUp.signal();
}

void SimScheduler::stop()
{
    stopped = true;
    signalThreadShouldExit();
    wakeUp.signal();

    if (juce::Thread::getCurrentThreadId() != getThreadId())
        stopThread (10000);

    const juce::ScopedLock sl (lock);
    actions.clear();
}

void SimScheduler::run()
{
    while (! threadShouldExit())
    {
        std::function<void()> due;
        int waitMs = -1; // nothing scheduled: sleep until schedule() or stop() signals

        {
            const juce::ScopedLock sl (lock);

            if (! actions.empty())
            {
                const auto first = actions.begin();
                const auto left = first->first - juce::Time::getMillisecondCounterHiRes();

                if (left <= 0)
                {
                    due = std::move (first->second);
                    actions.erase (first);
                }
                else
                {
                    waitMs = (int) std::ceil (juce::jmin (left, 3600000.0));
                }
            }
        }

        if (due)
            due();
        else
            wakeUp.wait (waitMs);
    }
}
