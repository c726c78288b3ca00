#include "GuiTestSupport.h"

#include "ui/QuietProgressBar.h"

namespace
{
    // The framework's bar is privately a timer; its refresh is that timer.
    bool frameworkRefreshRuns (QuietProgressBar& bar)
    {
        return ((juce::Timer*) &bar)->isTimerRunning(); // a C-style cast may reach a private base
    }

    bool paintedFilledAt (QuietProgressBar& bar, float proportionOfWidth)
    {
        const auto image = bar.createComponentSnapshot (bar.getLocalBounds());
        const auto pixel = image.getPixelAt ((int) ((float) image.getWidth() * proportionOfWidth), image.getHeight() / 2);
        return pixel.getRed() < 0x90 && pixel.getRed() > 0x70; // the grey foreground, not the light background
    }
}

TEST (QuietProgressBar, ShowsANewValueAndThenStopsRefreshingUntilTheNextChange)
{
    double progress = 0.0;
    juce::DocumentWindow window ("bar", juce::Colours::white, 0);
    QuietProgressBar bar (progress);
    bar.setPercentageDisplay (false);
    bar.setColour (juce::ProgressBar::foregroundColourId, juce::Colour (0xFF808080));
    bar.setColour (juce::ProgressBar::backgroundColourId, juce::Colours::white);
    bar.setSize (240, 24);
    window.setContentNonOwned (&bar, true);
    window.setVisible (true);

    pumpFor (100);
    EXPECT_FALSE (frameworkRefreshRuns (bar)) << "at rest the bar must not wake the program";

    progress = 0.6;
    bar.valueChanged();
    EXPECT_TRUE (frameworkRefreshRuns (bar));

    EXPECT_TRUE (pumpUntil ([&] { return ! frameworkRefreshRuns (bar); }, 4000));
    EXPECT_TRUE (paintedFilledAt (bar, 0.5f)) << "the shown value caught up before the refresh ended";
    EXPECT_FALSE (paintedFilledAt (bar, 0.8f));

    // Hidden and shown again (as advanced mode does to the window), it still rests.
    bar.setVisible (false);
    bar.setVisible (true);
    EXPECT_FALSE (frameworkRefreshRuns (bar));

    progress = 0.0; // a new State
    bar.valueChanged();
    EXPECT_TRUE (pumpUntil ([&] { return ! frameworkRefreshRuns (bar); }, 4000));
    EXPECT_FALSE (paintedFilledAt (bar, 0.5f));
}
