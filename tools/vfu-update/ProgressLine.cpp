#include "ProgressLine.h"

#include <cmath>

ProgressLine::ProgressLine (Plan p) : plan (p) {}

void ProgressLine::eraseStarted (double now)
{
    phase = Phase::erasing;
    phaseStart = now;
}

void ProgressLine::transferStarted (double now)
{
    phase = Phase::transferring;
    phaseStart = now;
    lastTen = -1;
}

void ProgressLine::transferEnded (double now)
{
    if (phase != Phase::transferring)
        return;

    phase = Phase::restarting;
    phaseStart = now;
}

double ProgressLine::bytesPerSecond (double fraction, double now) const
{
    const auto elapsed = now - phaseStart;
    const auto sent = fraction * (double) plan.totalBytes;

    // The measured rate once there is something to measure; until then the sender's pacing.
    if (phase == Phase::transferring && elapsed >= 1.0 && sent > 0.0)
        return sent / elapsed;

    return plan.transferSeconds > 0.0 ? (double) plan.totalBytes / plan.transferSeconds : 0.0;
}

double ProgressLine::secondsLeft (double fraction, double now) const
{
    fraction = juce::jlimit (0.0, 1.0, fraction);
    const auto elapsed = juce::jmax (0.0, now - phaseStart);

    switch (phase)
    {
        case Phase::waiting:
            return plan.eraseSeconds + plan.transferSeconds + plan.restartSeconds;

        case Phase::erasing:
            return juce::jmax (0.0, plan.eraseSeconds - elapsed) + plan.transferSeconds + plan.restartSeconds;

        case Phase::transferring:
        {
            const auto rate = bytesPerSecond (fraction, now);
            const auto bytesLeft = (1.0 - fraction) * (double) plan.totalBytes;
            const auto transferLeft = rate > 0.0 ? bytesLeft / rate : 0.0;
            return transferLeft + plan.restartSeconds;
        }

        case Phase::restarting:
            return juce::jmax (0.0, plan.restartSeconds - elapsed);
    }

    return 0.0;
}

juce::String ProgressLine::describe (double fraction, double now) const
{
    fraction = juce::jlimit (0.0, 1.0, fraction);
    const auto sent = (juce::int64) std::llround (fraction * (double) plan.totalBytes);

    auto text = juce::String ((int) std::floor (fraction * 100.0)).paddedLeft (' ', 3) + "%  "
              + formatBytes (sent) + " of " + formatBytes (plan.totalBytes);

    if (phase == Phase::transferring)
        text << "  " << formatBytes ((juce::int64) bytesPerSecond (fraction, now)) << "/s";

    text << "  about " << formatDuration (secondsLeft (fraction, now)) << " left";

    if (phase == Phase::erasing)
        text << " (erasing)";
    else if (phase == Phase::restarting)
        text << " (restarting)";

    return text;
}

int ProgressLine::takeNewTen (double fraction)
{
    const auto ten = juce::jlimit (0, 10, (int) std::floor (juce::jlimit (0.0, 1.0, fraction) * 10.0 + 1.0e-9)) * 10;

    // 0% says nothing that the start of the transfer does not.
    if (ten <= lastTen || ten == 0)
        return -1;

    lastTen = ten;
    return ten;
}

juce::String ProgressLine::formatBytes (juce::int64 bytes)
{
    if (bytes < 1000)
        return juce::String (bytes) + " B";

    if (bytes < 1000 * 1000)
        return juce::String ((double) bytes / 1000.0, 1) + " kB";

    return juce::String ((double) bytes / 1.0e6, 2) + " MB";
}

juce::String ProgressLine::formatDuration (double seconds)
{
    const auto whole = (juce::int64) std::ceil (juce::jmax (0.0, seconds));
    return juce::String (whole / 60) + ":" + juce::String (whole % 60).paddedLeft ('0', 2);
}
