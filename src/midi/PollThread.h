#pragma once

/** What a poll asks of the thread it runs on: whether it is to stop, whether the application is
    quitting, and a wait that ends at once on a stop. Called on the thread that polls (the
    engine thread, a tool's main thread, a test's thread). */
namespace PollThread
{
    /** True when the calling juce::Thread is asked to exit. */
    bool stopRequested();

    /** True once the message thread has been told to stop. */
    bool applicationIsQuitting();

    /** Sleeps until the time is up or a stop is requested; false if stopped. On a juce::Thread
        it blocks on the thread's own event, which stopThread() and the engine's stop signal, and
        looks at the stop flag at least once a second for a stop signalled without a wake-up (a
        shorter step would wake an idle poll ten times a second for nothing); elsewhere it sleeps
        in short steps. */
    bool sleepUnlessStopped (int milliseconds);
}
