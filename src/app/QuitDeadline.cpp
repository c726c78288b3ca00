#include "QuitDeadline.h"
#include "AppLog.h"
#include "../engine/FirmwareUpdater.h"

#include <cstdio>
#include <cstdlib>

void QuitDeadline::stopEngineOrEndProcess (FirmwareUpdater& engine, int timeoutMs, int exitStatus)
{
    if (engine.stopEngine (timeoutMs))
        return;

    logLine (engine.describeRunningThreads() + " did not end within " + juce::String (timeoutMs)
             + " ms; quitting without waiting for it");
    logLine ("shutdown");
    AppLog::closeLog();
    std::fflush (nullptr);

    // No destructors and no exit handlers: they would wait for the thread that never ends.
    std::_Exit (exitStatus);
}
