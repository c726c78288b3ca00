#include "MessageThreadReport.h"

#include <atomic>
#include <memory>

namespace MessageThreadReport
{
namespace
{
    enum class Stage { pending, running, done, abandoned };

    struct HandOver
    {
        std::function<void()> function;
        std::atomic<Stage> stage { Stage::pending };
        juce::WaitableEvent finished;
    };

    bool calledByStoppingThread()
    {
        auto* thread = juce::Thread::getCurrentThread();
        return thread != nullptr && thread->threadShouldExit();
    }
}

bool runAndWait (std::function<void()> function)
{
    auto* mm = juce::MessageManager::getInstanceWithoutCreating();

    if (mm == nullptr || mm->hasStopMessageBeenSent() || calledByStoppingThread())
        return false;

    if (mm->isThisTheMessageThread())
    {
        function();
        return true;
    }

    auto handOver = std::make_shared<HandOver>();
    handOver->function = std::move (function);

    const bool posted = juce::MessageManager::callAsync ([handOver]
    {
        auto expected = Stage::pending;

        if (handOver->stage.compare_exchange_strong (expected, Stage::running))
        {
            handOver->function();
            handOver->stage.store (Stage::done);
        }

        handOver->finished.signal();
    });

    if (! posted)
        return false;

    for (;;)
    {
        if (handOver->finished.wait (10))
            return handOver->stage.load() == Stage::done;

        if (calledByStoppingThread() || mm->hasStopMessageBeenSent())
        {
            auto expected = Stage::pending;

            if (handOver->stage.compare_exchange_strong (expected, Stage::abandoned))
                return false;

            // It is running on the message thread right now, which therefore is not waiting
            // for us: let it finish rather than leave an update half done.
            handOver->finished.wait (-1);
            return true;
        }
    }
}
}
