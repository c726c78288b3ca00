#include "QuitDeadline.h"
#include "../base/AppLog.h"
#include "../engine/FirmwareUpdater.h"
#include "../trace/MidiTraceRecorder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace QuitDeadline
{
namespace
{
    // How long the trace writer may take to write the trace's last lines before the process ends.
    constexpr int traceFinishMs = 1000;

    std::mutex actionsLock;
    std::vector<std::function<void()>*> actions; // guarded by actionsLock

    void runLastActions()
    {
        std::vector<std::function<void()>*> toRun;
        {
            const std::lock_guard<std::mutex> lock (actionsLock);
            toRun = actions;
        }

        // Newest first, as destructors would have run.
        for (auto it = toRun.rbegin(); it != toRun.rend(); ++it)
            (**it)();
    }
}

LastAction::LastAction (std::function<void()> fn) : action (std::move (fn))
{
    const std::lock_guard<std::mutex> lock (actionsLock);
    actions.push_back (&action);
}

LastAction::~LastAction()
{
    const std::lock_guard<std::mutex> lock (actionsLock);
    actions.erase (std::remove (actions.begin(), actions.end(), &action), actions.end());
}

void stopEngineOrEndProcess (FirmwareUpdater& engine, int timeoutMs, int exitStatus)
{
    if (engine.stopEngine (timeoutMs))
        return;

    logLine (engine.describeRunningThreads() + " did not end within " + juce::String (timeoutMs)
             + " ms; quitting without waiting for it");

    // The trace's last lines (the send that never returned among them) explain the hang.
    MidiTraceRecorder::finishActiveWithin (traceFinishMs);

    logLine ("shutdown");
    AppLog::closeLog();
    runLastActions();
    std::fflush (nullptr);

    // No destructors and no exit handlers: they would wait for the thread that never ends.
    std::_Exit (exitStatus);
}
}
