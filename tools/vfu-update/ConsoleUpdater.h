#pragma once

#include "CommandLineOptions.h"
#include "firmware/PackageSignature.h"

#include <juce_audio_devices/juce_audio_devices.h>

#include <juce_core/juce_core.h>

struct DemoSimulation;
class QuitSignalPipe;

/** The program vfu-update: opens the log, picks the definitions and packages as the window does
    (console mode on), builds the engine with the terminal front end and runs the message loop
    until the update is over. Lives on the message thread (the main thread).
*/
class ConsoleUpdater final
{
public:
    /** packagePublicKey: the maker's key that packages must be signed with (the build's own, which
        is empty when packages need no signature). */
    explicit ConsoleUpdater (juce::String packagePublicKey = PackageSignature::builtInPublicKey());
    ~ConsoleUpdater();

    /** First thing in main, before the framework opens anything: closed standard streams become
        /dev/null (closed input reads as ended input), and SIGPIPE is ignored. */
    static void prepareProcess();

    /** Runs the whole program; returns the exit status. */
    int run (const juce::StringArray& arguments);

    /** The whole of main: prepares the process, starts the framework's message loop (engine
        reports and port opens need it, a display does not) and runs with these arguments and key. */
    static int runProcess (int argc, char* argv[], const juce::String& packagePublicKey);

private:
    /** requestedOutput: the output --port names, or nullptr when none is given or it is not there. */
    int runWithLog (const CommandLineOptions& options, const juce::MidiDeviceInfo* requestedOutput);
    int update (const CommandLineOptions& options);
    int listPorts (bool json);
    /** The output that --port names (its identifier, or ALSA's "client-port" for "client:port"). */
    static bool findOutput (const juce::String& requested, juce::MidiDeviceInfo& found);
    /** "\n  identifier  name" for each output, for the error that names an unknown --port. */
    static juce::String listOfOutputs();
    /** --port: claims that output and restricts the selector to it; an exit status, or -1 to go on. */
    int takePort (const juce::MidiDeviceInfo& output);
    /** The result line of a run that ended before the front end could write one. */
    static void writeJsonResult (int status, const juce::String& port);
    void startDemoModeIfAsked();
    void stopDemoMode();

    /** Records a MIDI trace into traceFile, or into $VFU_TRACE without one; an error text, empty
        on success or when no trace is asked for. */
    juce::String startTracingIfAsked (const juce::File& traceFile);

    /** Says why on standard error (unless the run succeeded) and writes the exit status with the
        reason into the log; returns the exit status. */
    static int endWith (int exitStatus, const juce::String& reason);

    /** True once a quit signal came before the front end took the signals over. */
    bool interruptedBeforeStart();

    const juce::String packagePublicKey;
    std::unique_ptr<DemoSimulation> demoSimulation;
   #if ! JUCE_WINDOWS
    std::unique_ptr<QuitSignalPipe> signalsBeforeStart;
   #endif
    bool jsonResultWritten = false; // by the terminal front end, once the engine ran
    bool interrupted = false;

    JUCE_DECLARE_NON_COPYABLE (ConsoleUpdater)
};
