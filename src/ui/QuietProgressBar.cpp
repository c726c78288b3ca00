#include "QuietProgressBar.h"

namespace
{
    // The bar moves its shown value towards a new one by at most 0.08 % per millisecond, so a
    // jump across the whole bar is shown after 1.25 s.
    constexpr int refreshAfterChangeMs = 2000;
}

QuietProgressBar::QuietProgressBar (double& progressValue) : juce::ProgressBar (progressValue) {}

void QuietProgressBar::valueChanged()
{
    const auto alreadyRefreshing = endOfRefresh.isTimerRunning();
    endOfRefresh.startTimer (refreshAfterChangeMs);

    if (isVisible() && ! alreadyRefreshing)
        juce::ProgressBar::visibilityChanged(); // starts the framework's refresh
}

void QuietProgressBar::visibilityChanged()
{
    // Hidden, the framework's refresh always stops; shown, it starts only while refreshing.
    if (endOfRefresh.isTimerRunning() || ! isVisible())
        juce::ProgressBar::visibilityChanged();
}

void QuietProgressBar::stopRefreshing()
{
    endOfRefresh.stopTimer();

    // The framework stops its refresh only when the bar is hidden; hiding and showing it again
    // within this callback changes nothing on screen.
    if (isVisible())
    {
        setVisible (false);
        setVisible (true);
    }
}
