#include "SimMidiCable.h"

#include <chrono>

namespace
{
    using Clock = std::chrono::steady_clock;

    double nowMs()
    {
        return std::chrono::duration<double, std::milli> (Clock::now().time_since_epoch()).count();
    }

    Clock::time_point timePointOf (double ms)
    {
        return Clock::time_point (std::chrono::duration_cast<Clock::duration> (std::chrono::duration<double, std::milli> (ms)));
    }

    // The line is looked at no more often than this while it drains: a few bytes at a time.
    constexpr double shortestStepMs = 2.0;
}

SimMidiCable::SimMidiCable (Settings settingsToUse, Sink sinkToUse, Overrun overrunToUse)
    : juce::Thread ("SimMidiCable"),
      settings (settingsToUse),
      sink (std::move (sinkToUse)),
      overrun (std::move (overrunToUse))
{
    jassert (settings.bytesPerSecond > 0);
    startThread();
}

SimMidiCable::~SimMidiCable()
{
    {
        const std::lock_guard<std::mutex> lock (mutex);
        stopping = true;
    }

    changed.notify_all();
    stopThread (-1);
}

void SimMidiCable::write (const juce::uint8* data, size_t size)
{
    if (data == nullptr || size == 0)
        return;

    {
        const std::lock_guard<std::mutex> lock (mutex);
        size_t copied = 0;

        // As the sequencer's MIDI driver does: chunk by chunk while each fits, and the rest of
        // the event is lost once one does not.
        while (copied < size)
        {
            const auto chunk = std::min (chunkBytes, size - copied);

            if (bufferBytes - buffer.size() < chunk)
                break;

            buffer.insert (buffer.end(), data + copied, data + copied + chunk);
            copied += chunk;
        }

        if (copied < size)
        {
            overruns.push_back (size - copied);
            overruns.push_back (size);
        }
    }

    changed.notify_all();
}

size_t SimMidiCable::deliverable (size_t due)
{
    for (size_t i = 0; i < due; ++i)
    {
        const auto byte = buffer[i];

        if (byte >= 0xf8)
            continue; // real-time bytes do not end a SysEx

        if (byte == 0xf0)
        {
            inSysex = true;
            sysexBytes = 0;
            stalledThisSysex = false;
        }
        else if (byte >= 0x80)
        {
            inSysex = false;
        }

        if (! inSysex)
            continue;

        ++sysexBytes;

        if (settings.stallAtSysexByte > 0 && ! stalledThisSysex && sysexBytes == settings.stallAtSysexByte)
        {
            stalledThisSysex = true;
            stallEndMs = nowMs() + settings.stallMs;
            return i + 1;
        }
    }

    return due;
}

void SimMidiCable::run()
{
    const auto msPerByte = 1000.0 / settings.bytesPerSecond;
    bool lineIdle = true;
    double wakeAtMs = 0;
    std::vector<juce::uint8> drained;
    std::vector<size_t> lost;

    for (;;)
    {
        drained.clear();
        lost.clear();

        {
            std::unique_lock<std::mutex> lock (mutex);

            if (buffer.empty())
                changed.wait (lock, [this] { return stopping || ! buffer.empty() || ! overruns.empty(); });
            else if (wakeAtMs > nowMs())
                changed.wait_until (lock, timePointOf (wakeAtMs), [this] { return stopping || ! overruns.empty(); });

            if (stopping)
                return;

            lost.assign (overruns.begin(), overruns.end());
            overruns.clear();

            const auto now = nowMs();

            if (! buffer.empty() && now >= stallEndMs)
            {
                // An idle line starts sending when bytes arrive, not earlier.
                if (lineIdle)
                    lineClockMs = std::max (lineClockMs, now);

                lineIdle = false;
                const auto due = (size_t) std::max (0.0, (now - lineClockMs) / msPerByte);
                const auto count = deliverable (std::min (due, buffer.size()));
                drained.assign (buffer.begin(), buffer.begin() + (std::ptrdiff_t) count);
                buffer.erase (buffer.begin(), buffer.begin() + (std::ptrdiff_t) count);
                lineClockMs += (double) count * msPerByte;

                if (stallEndMs > now)
                    lineClockMs = stallEndMs; // nothing leaves while the device does not read
            }

            if (buffer.empty())
                lineIdle = true;

            wakeAtMs = std::max ({ lineClockMs + msPerByte, now + shortestStepMs, stallEndMs });
        }

        if (! drained.empty())
            sink (drained.data(), drained.size());

        for (size_t i = 0; i + 1 < lost.size(); i += 2)
            overrun (lost[i], lost[i + 1]);
    }
}
