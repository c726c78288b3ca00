#pragma once

#include "CommandLineOptions.h"

#include <juce_core/juce_core.h>

struct DemoSimulation;

/** The program vfu-update: opens the log, picks the definitions and packages as the window does
    (console mode on), builds the engine with the terminal front end and runs the message loop
    until the update is over. Lives on the message thread (the main thread).
*/
class ConsoleUpdater final
{
public:
    ConsoleUpdater();
    ~ConsoleUpdater();

    /** Runs the whole program; returns the exit status. */
    int run (const juce::StringArray& arguments);

private:
    int runWithLog (const CommandLineOptions& options);
    int update (const CommandLineOptions& options);
    int listPorts();
    void startDemoModeIfAsked();
    void stopDemoMode();

    /** Records a MIDI trace into traceFile, or into $VFU_TRACE without one; an error text, empty
        on success or when no trace is asked for. */
    juce::String startTracingIfAsked (const juce::File& traceFile);

    std::unique_ptr<DemoSimulation> demoSimulation;

    JUCE_DECLARE_NON_COPYABLE (ConsoleUpdater)
};
