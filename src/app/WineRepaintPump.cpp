#include "WineRepaintPump.h"

#if JUCE_WINDOWS
 #include <windows.h>
#endif

WineRepaintPump::WineRepaintPump()
{
    if (isRunningUnderWine())
        startTimerHz (30);
}

WineRepaintPump::~WineRepaintPump()
{
    stopTimer();
}

bool WineRepaintPump::isRunningUnderWine()
{
   #if JUCE_WINDOWS
    // Wine's ntdll exports its version; Windows' own does not.
    if (auto* ntdll = GetModuleHandleA ("ntdll.dll"))
        return GetProcAddress (ntdll, "wine_get_version") != nullptr;
   #endif

    return false;
}

void WineRepaintPump::timerCallback()
{
    auto& desktop = juce::Desktop::getInstance();

    for (int i = 0; i < desktop.getNumComponents(); ++i)
        if (auto* peer = desktop.getComponent (i)->getPeer())
            peer->performAnyPendingRepaintsNow();
}
