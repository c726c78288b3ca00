#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

/** The framework's progress bar, refreshed only while its value moves.

    The framework's bar looks at its value on a 30 ms timer for as long as it is visible, which
    would wake the program thirty times a second while it merely waits for an instrument. This
    bar runs that refresh only for a short while after valueChanged(), long enough for the shown
    value to catch up with any new one, and is otherwise the same component.

    Message thread only. */
class QuietProgressBar final : public juce::ProgressBar
{
public:
    explicit QuietProgressBar (double& progressValue);

    /** Call after the value the bar shows has changed. */
    void valueChanged();

protected:
    void visibilityChanged() override;

private:
    void stopRefreshing();

    // The framework's bar is a timer itself (privately), so the end of the refresh has a timer
    // of its own.
    struct EndOfRefresh final : public juce::Timer
    {
        explicit EndOfRefresh (QuietProgressBar& b) : bar (b) {}
        void timerCallback() override { bar.stopRefreshing(); }
        QuietProgressBar& bar;
    };

    // Runs exactly while the bar refreshes.
    EndOfRefresh endOfRefresh { *this };
};
