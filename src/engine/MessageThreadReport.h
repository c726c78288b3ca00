#pragma once

#include <juce_events/juce_events.h>

#include <functional>

/** Runs a function on the message thread while the calling worker thread waits for it.

    Unlike MessageManager::callFunctionOnMessageThread, the wait ends when the calling thread
    is asked to stop, so a message thread that is itself waiting for the worker to stop never
    deadlocks with it. A function whose turn has not come when the wait is abandoned never
    runs; one that has started always runs to its end. Nothing is posted once the
    application's quit message has been sent.
*/
namespace MessageThreadReport
{
    /** True when the function ran. Called on the message thread, it runs the function in place. */
    bool runAndWait (std::function<void()> function);
}
