#include "EngineRestart.h"

#include "../base/AppLog.h"
#include "../engine/FirmwareUpdater.h"

namespace
{
    // How often the message thread looks whether the engine's thread has ended; every wait of
    // the engine ends on a stop request, so this is usually the first or second look.
    constexpr int lookIntervalMs = 20;

    // A stop that takes longer than this is named in the log (once per restart).
    constexpr int slowStopMs = 1500;
}

void EngineRestart::startWhenEnded()
{
    if (startIfEnded())
    {
        stopTimer();
        return;
    }

    if (! isTimerRunning())
    {
        requested = juce::Time::getMillisecondCounter();
        slowStopLogged = false;
        startTimer (lookIntervalMs);
    }
}

void EngineRestart::timerCallback()
{
    if (startIfEnded())
    {
        stopTimer();
        return;
    }

    if (! slowStopLogged && juce::Time::getMillisecondCounter() - requested > (juce::uint32) slowStopMs)
    {
        slowStopLogged = true;
        logLine ("Engine restart: the engine took more than " + juce::String (slowStopMs)
                 + " ms to stop; it starts again once it has (" + engine.describeRunningThreads() + ")");
    }
}

bool EngineRestart::startIfEnded()
{
    if (engine.isThreadRunning())
        return false;

    engine.startThread();
    return true;
}
