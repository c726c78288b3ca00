#include "PollThread.h"

#include <juce_events/juce_events.h>

bool PollThread::stopRequested()
{
    return juce::Thread::currentThreadShouldExit();
}

bool PollThread::applicationIsQuitting()
{
    auto* mm = juce::MessageManager::getInstanceWithoutCreating();
    return mm != nullptr && mm->hasStopMessageBeenSent();
}

bool PollThread::sleepUnlessStopped (int milliseconds)
{
    const auto end = juce::Time::getMillisecondCounterHiRes() + milliseconds;
    auto* thread = juce::Thread::getCurrentThread();

    for (;;)
    {
        if (stopRequested())
            return false;

        const auto left = end - juce::Time::getMillisecondCounterHiRes();

        if (left <= 0)
            return true;

        if (thread != nullptr)
            thread->wait (juce::jlimit (1, 1000, (int) left));
        else
            juce::Thread::sleep (juce::jlimit (1, 10, (int) left));
    }
}
