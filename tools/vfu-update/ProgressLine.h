#pragma once

#include <juce_core/juce_core.h>

/** The text of the progress display: percentage, bytes, rate and the time left for the whole
    update, which covers the erase and the instrument's restart as well as the transfer.

    The front end tells it the phases as the engine reaches them and asks for a line whenever the
    engine reports progress. Times are seconds on any steady clock. Message thread only.
*/
class ProgressLine final
{
public:
    struct Plan
    {
        juce::int64 totalBytes = 0;   // bytes the transfer sends
        double transferSeconds = 0.0; // the sender's pacing for those bytes
        double eraseSeconds = 12.0;   // the erase wait (up to 10 s) and the bootloader's return
        double restartSeconds = 4.0;  // the instrument applying the image and answering again
    };

    explicit ProgressLine (Plan plan);

    void eraseStarted (double now);
    void transferStarted (double now);
    void transferEnded (double now);

    /** " 43%  154.6 of 359.7 kB  2.6 kB/s  about 1:19 left" for a fraction of the transfer. */
    juce::String describe (double fraction, double now) const;

    /** The whole ten of percent (10 to 100) that the fraction has reached, when it is one not
        returned before during this transfer; otherwise -1. For output that is not a terminal. */
    int takeNewTen (double fraction);

    /** Seconds left for the erase, the rest of the transfer and the restart. */
    double secondsLeft (double fraction, double now) const;

    static juce::String formatBytes (juce::int64 bytes);
    static juce::String formatDuration (double seconds);

private:
    enum class Phase { waiting, erasing, transferring, restarting };

    double bytesPerSecond (double fraction, double now) const;

    Plan plan;
    Phase phase = Phase::waiting;
    double phaseStart = 0.0;
    int lastTen = -1;
};
