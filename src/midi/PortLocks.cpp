#include "PortLocks.h"

#include <cmath>

namespace
{
    constexpr int scanWaitStepMs = 20;
    constexpr int ownerAttempts = 5;

    bool stopAsked (const std::function<bool()>& shouldStop)
    {
        return shouldStop != nullptr && shouldStop();
    }

    /** Pauses for a step between two tries of a lock, under no lock; false, at once, when a stop
        is asked. On a juce::Thread it blocks on the thread's own event, which stopThread() and
        the engine's stop signal, so that a stop ends the pause; elsewhere it sleeps the step. */
    bool pauseUnlessStopped (const std::function<bool()>& shouldStop)
    {
        const auto end = juce::Time::getMillisecondCounterHiRes() + scanWaitStepMs;
        auto* thread = juce::Thread::getCurrentThread();

        for (;;)
        {
            if (stopAsked (shouldStop))
                return false;

            const auto left = end - juce::Time::getMillisecondCounterHiRes();

            if (left <= 0)
                return true;

            if (thread != nullptr)
                thread->wait (juce::jlimit (1, scanWaitStepMs, (int) std::ceil (left)));
            else
                juce::Thread::sleep (juce::jlimit (1, scanWaitStepMs, (int) std::ceil (left)));
        }
    }

    PortLocks::Outcome outcomeOf (InstrumentLock::Result result, const InstrumentLock& lock)
    {
        switch (result)
        {
            case InstrumentLock::Result::taken: return PortLocks::Outcome::granted;
            case InstrumentLock::Result::held:  return PortLocks::Outcome::held;
            case InstrumentLock::Result::failed: break;
        }

        return lock.failedForItsFolder() ? PortLocks::Outcome::unavailable : PortLocks::Outcome::failed;
    }
}

PortLocks::PortLocks (bool shouldLock) : enabled (shouldLock) {}

PortLocks::~PortLocks() = default;

PortLocks::Port& PortLocks::portFor (const juce::String& identifier)
{
    auto& port = ports[identifier];

    if (port.talk == nullptr)
    {
        // ALSA's "128:0" becomes "port-128-0-talk", a device's place and port "client-128-0"
        // "port-client-128-0-talk", "usb-0000:00:14.0-2-0" "port-usb-0000_00_14_0-2-0-talk";
        // other identifiers (Windows' device paths) are hashed by the lock.
        auto name = identifier;

        if (identifier.containsOnly ("0123456789:"))
            name = identifier.replaceCharacter (':', '-');
        else if (identifier.length() <= 80 && identifier.containsOnly ("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.:"))
            name = identifier.replaceCharacters (".:", "__");
        port.talk = std::make_unique<InstrumentLock> ("port-" + name + "-talk");
        port.owner = std::make_unique<InstrumentLock> ("port-" + name + "-owner");
    }

    return port;
}

PortLocks::Outcome PortLocks::ask (const juce::String& identifier, juce::String& error)
{
    if (! enabled)
        return Outcome::granted;

    // A try is a file open and an flock() that does not wait: quick enough to make under the mutex.
    const std::lock_guard<std::mutex> guard (mutex);
    auto& port = portFor (identifier);
    auto outcome = outcomeOf (port.talk->tryEnter(), *port.talk);

    if (outcome == Outcome::failed || outcome == Outcome::unavailable)
        error = port.talk->getError();

    // A port whose owner lock another program has is its instrument, even while nobody talks:
    // the owner lock is tried and let go at once (a claim that meets the try tries again).
    if (outcome == Outcome::granted && ! port.owner->isHeld())
    {
        const auto owner = port.owner->tryEnter();
        port.owner->exit();

        if (owner != InstrumentLock::Result::taken)
        {
            port.talk->exit();
            outcome = outcomeOf (owner, *port.owner);

            if (outcome == Outcome::failed || outcome == Outcome::unavailable)
                error = port.owner->getError();
        }
    }

    return outcome;
}

juce::String PortLocks::describe (const juce::String& identifier)
{
    if (! enabled)
        return {};

    const std::lock_guard<std::mutex> guard (mutex);
    auto& port = portFor (identifier);
    return port.talk->getLockPath() + ", " + port.owner->getLockPath();
}

PortLocks::Outcome PortLocks::claim (const juce::String& identifier, juce::String& error, const std::function<bool()>& shouldStop)
{
    if (! enabled)
        return Outcome::granted;

    {
        auto owner = Outcome::held;

        // A scan tries the owner lock for an instant (see ask): a few tries tell that from a holder.
        // A stop ends the tries at once, the port counting as held.
        for (int attempt = 0; attempt < ownerAttempts; ++attempt)
        {
            if (attempt > 0 && ! pauseUnlessStopped (shouldStop))
                break;

            const std::lock_guard<std::mutex> guard (mutex);
            auto& port = portFor (identifier);
            owner = outcomeOf (port.owner->tryEnter(), *port.owner);

            if (owner == Outcome::failed || owner == Outcome::unavailable)
                error = port.owner->getError();

            if (owner != Outcome::held)
                break;
        }

        if (owner != Outcome::granted)
            return owner;
    }

    // The owner lock is ours, so whoever has talk is a scan that lets go within about a second.
    const auto giveUpAt = juce::Time::getMillisecondCounterHiRes() + maxScanWaitMs;

    for (;;)
    {
        {
            const std::lock_guard<std::mutex> guard (mutex);
            auto& port = portFor (identifier);
            const auto talk = port.talk->tryEnter();

            if (talk == InstrumentLock::Result::taken)
                return Outcome::granted;

            const bool givingUp = talk == InstrumentLock::Result::failed
                               || juce::Time::getMillisecondCounterHiRes() > giveUpAt
                               || stopAsked (shouldStop);

            if (givingUp)
            {
                if (talk == InstrumentLock::Result::failed)
                    error = port.talk->getError();
                else
                    error = "its lock stayed taken by another program";

                port.owner->exit();
                return talk == InstrumentLock::Result::failed ? outcomeOf (talk, *port.talk) : Outcome::held;
            }
        }

        // Not under the mutex: the other threads' tries and releases go on meanwhile. A stop
        // during the pause is taken on the next round, which lets go of the owner lock.
        pauseUnlessStopped (shouldStop);
    }
}

bool PortLocks::holds (const juce::String& identifier) const
{
    return isHeld (identifier, &Port::talk);
}

bool PortLocks::owns (const juce::String& identifier) const
{
    return isHeld (identifier, &Port::owner);
}

bool PortLocks::isHeld (const juce::String& identifier, std::unique_ptr<InstrumentLock> Port::* lock) const
{
    if (! enabled)
        return true;

    const std::lock_guard<std::mutex> guard (mutex);
    const auto found = ports.find (identifier);
    return found != ports.end() && (found->second.*lock)->isHeld();
}

void PortLocks::release (const juce::String& identifier)
{
    const std::lock_guard<std::mutex> guard (mutex);
    const auto found = ports.find (identifier);

    if (found != ports.end())
    {
        found->second.talk->exit();
        found->second.owner->exit();
    }
}

void PortLocks::releaseAllBut (const juce::String& identifier)
{
    const std::lock_guard<std::mutex> guard (mutex);

    for (auto& [name, port] : ports)
    {
        if (name == identifier)
            continue;

        port.talk->exit();
        port.owner->exit();
    }
}
