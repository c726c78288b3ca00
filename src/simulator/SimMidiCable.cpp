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
      msPerByte (1000.0 / juce::jmax (1, settingsToUse.bytesPerSecond)),
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
        // The line drains the buffer as the hardware does, whenever the cable's thread gets to
        // run: what it has sent by now has left the buffer, handed on or not.
        const auto now = nowMs();
        const auto sent = sentByNow (now);

        // An idle line starts sending what arrives when it arrives, not earlier.
        if (lineIdle || (sent == buffer.size() && now >= stallEndMs))
        {
            lineClockMs = std::max (lineClockMs, now - (double) sent * msPerByte);
            lineIdle = false;
        }

        const auto room = bufferBytes - buffer.size() + sent;
        size_t copied = 0;

        // As the sequencer's MIDI driver does: chunk by chunk while each fits, and the rest of
        // the event is lost once one does not.
        while (copied < size)
        {
            const auto chunk = std::min (chunkBytes, size - copied);

            if (room - copied < chunk)
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

size_t SimMidiCable::deliverable (size_t due, bool commit)
{
    auto sysex = inSysex;
    auto count = sysexBytes;
    auto stalled = stalledThisSysex;
    size_t result = due;

    for (size_t i = 0; i < due; ++i)
    {
        const auto byte = buffer[i];

        if (byte >= 0xf8)
            continue; // real-time bytes do not end a SysEx

        if (byte == 0xf0)
        {
            sysex = true;
            count = 0;
            stalled = false;
        }
        else if (byte >= 0x80)
        {
            sysex = false;
        }

        if (! sysex)
            continue;

        ++count;

        if (settings.stallAtSysexByte > 0 && ! stalled && count == settings.stallAtSysexByte)
        {
            stalled = true;
            result = i + 1;

            if (commit)
                stallEndMs = nowMs() + settings.stallMs;

            break;
        }
    }

    if (commit)
    {
        inSysex = sysex;
        sysexBytes = count;
        stalledThisSysex = stalled;
    }

    return result;
}

size_t SimMidiCable::sentByNow (double now)
{
    if (lineIdle || buffer.empty() || now < stallEndMs)
        return 0;

    const auto due = (size_t) std::max (0.0, (now - lineClockMs) / msPerByte);
    return deliverable (std::min (due, buffer.size()), false);
}

void SimMidiCable::run()
{
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
                const auto due = (size_t) std::max (0.0, (now - lineClockMs) / msPerByte);
                const auto count = deliverable (std::min (due, buffer.size()), true);
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
