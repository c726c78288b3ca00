#pragma once

#include <juce_core/juce_core.h>

/** A deadline on the framework's 32-bit millisecond counter that stays right when the counter
    wraps (about every 49.7 days of uptime): it compares the time elapsed since the start, a
    difference that wraps with the counter, and never two counter values. Any one thread. */
class WaitDeadline final
{
public:
    /** A deadline durationMs after startCounter (by default, now). */
    explicit WaitDeadline (juce::uint32 durationMs, juce::uint32 startCounter = juce::Time::getMillisecondCounter()) noexcept
        : start (startCounter), duration (durationMs) {}

    /** Milliseconds left when the counter reads counterNow; 0 once the deadline has passed. */
    juce::uint32 remainingAt (juce::uint32 counterNow) const noexcept
    {
        const juce::uint32 elapsed = counterNow - start;
        return elapsed >= duration ? 0 : duration - elapsed;
    }

    juce::uint32 remaining() const noexcept { return remainingAt (juce::Time::getMillisecondCounter()); }

private:
    juce::uint32 start, duration;
};
