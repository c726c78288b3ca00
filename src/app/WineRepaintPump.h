#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

/** Keeps the windows painted when the Windows program runs under Wine.

    On Windows the framework hands a window's repaints to the system at the display's vertical
    blank, which it learns of from DXGI. Under Wine on a virtual display no vertical blank is
    ever reported, so a window would keep its first paint for good. Only there, this pushes the
    pending repaints of every window out thirty times a second. Elsewhere it does nothing.

    Message thread only. */
class WineRepaintPump final : private juce::Timer
{
public:
    WineRepaintPump();
    ~WineRepaintPump() override;

    /** True when the process runs under Wine. */
    static bool isRunningUnderWine();

private:
    void timerCallback() override;
};
