#include "ConsoleUpdater.h"

#include <juce_events/juce_events.h>

#include "JsonLine.h"
#include "PortLister.h"
#include "TerminalFrontEnd.h"
#include "TerminalOutput.h"
#include "base/AppLog.h"
#include "base/OutsideText.h"
#include "app/QuitSignalPipe.h"
#include "base/BuildConstants.h"
#include "base/RunningExecutable.h"
#include "definitions/InbuiltDefinitions.h"
#include "midi/MIDIPortsSelector.h"
#include "trace/MidiTraceRecorder.h"
#include "base/VersionNumber.h"
#include "simulator/SimulatorConfig.h"

#include <cstdlib>
#include <iostream>

#if ! JUCE_WINDOWS
 #include <cerrno>
 #include <csignal>
 #include <fcntl.h>
 #include <unistd.h>
#endif

namespace
{
    juce::String lastError; // message thread

    void printError (const juce::String& text)
    {
        lastError = text;
        std::cerr << "vfu-update: " << text.toStdString() << std::endl;
    }
}

ConsoleUpdater::ConsoleUpdater (juce::String key) : packagePublicKey (std::move (key)) {}

ConsoleUpdater::~ConsoleUpdater() = default;

int ConsoleUpdater::runProcess (int argc, char* argv[], const juce::String& packagePublicKey)
{
    prepareProcess();
    juce::ScopedJuceInitialiser_GUI juceInitialiser;

    juce::StringArray arguments;

    for (int i = 1; i < argc; ++i)
        arguments.add (OutsideText::fromSystemName (argv[i]));

    ConsoleUpdater updater (packagePublicKey);
    return updater.run (arguments);
}

void ConsoleUpdater::prepareProcess()
{
   #if ! JUCE_WINDOWS
    // A closed standard stream (`<&-`) would be taken by the first file the framework opens:
    // input would read the framework's own socket, output would write into it.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
    {
        if (::fcntl (fd, F_GETFD) >= 0 || errno != EBADF)
            continue;

        // The lowest free number, which is fd, as the ones below it are open.
        const auto opened = ::open ("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);

        if (opened >= 0 && opened != fd)
            ::close (opened);
    }

    // A reader that goes away (| head) ends only that output, never the update.
    std::signal (SIGPIPE, SIG_IGN);
   #endif
}

int ConsoleUpdater::run (const juce::StringArray& arguments)
{
   #if ! JUCE_WINDOWS
    // First of all, before anything that can take a while (the --list survey, the wait for a
    // scan's lock on the --port instrument, loading the definitions and judging packages): a
    // Ctrl-C, SIGTERM or hang-up meanwhile ends the run with its result and its exit status in
    // the log once that is done; the front end takes these signals over when the update begins.
    signalsBeforeStart = std::make_unique<QuitSignalPipe> ('q', 'q');
   #endif

    CommandLineOptions options;
    const auto error = CommandLineOptions::parse (arguments, options);

    if (error.isNotEmpty())
    {
        printError (error);
        std::cerr << CommandLineOptions::usage();

        // A script asked for JSON gets its result line also when the arguments are wrong.
        if (arguments.contains ("--json"))
            writeJsonResult (UpdateOutcome::unusable, {});

        return UpdateOutcome::unusable;
    }

    if (options.showHelp)
    {
        std::cout << CommandLineOptions::usage();
        return 0;
    }

    if (options.showVersion)
    {
        std::cout << "vfu-update " << BuildConstants::applicationVersion << " (" << BuildConstants::applicationName << ")" << std::endl;
        return 0;
    }

    // A simulated instrument belongs to this process alone; a real one to one updater at a time,
    // which the selector and the port list see to port by port (see PortLocks).
    startDemoModeIfAsked();

    // A demo run holds no lock and may run beside a real update: it keeps its lines to a log of its own.
    const auto run = demoSimulation != nullptr ? AppLog::Run::demo : AppLog::Run::real;

    // Updaters of several instruments run side by side with --port: each writes a log of its own,
    // named after its port, once the port is known to exist (a mistyped identifier makes none).
    juce::MidiDeviceInfo requestedOutput;
    const bool portFound = options.port.isNotEmpty() && ! options.list && findOutput (options.port, requestedOutput);

    if (portFound)
    {
        const auto log = AppLog::logFileFor (BuildConstants::deviceName, run);
        // Named as the port was given: a USB location stays the instrument's through its restarts.
        const auto location = MIDIPortsSelector::getInstance().getPorts()->locationOf (requestedOutput);
        const auto given = location == options.port ? location : requestedOutput.identifier;
        const auto portName = given.retainCharacters ("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_:.").replaceCharacters (":.", "-_");
        AppLog::createLogAt (log.getSiblingFile (log.getFileName() + "-port-" + portName.substring (0, 64)),
                             AppLog::welcomeLineFor (BuildConstants::deviceName));
    }
    else
    {
        AppLog::createLog (BuildConstants::deviceName, run);
    }

    logLine ("vfu-update: console mode");

    const auto status = runWithLog (options, portFound ? &requestedOutput : nullptr);

    // Every run ends with a result line, also one that ended before the engine started.
    if (options.json && ! jsonResultWritten)
        writeJsonResult (status, options.port);

    // After the engine is gone, so that its lines come before this one.
    MIDIPortsSelector::getInstance().closeIdlePorts();
    logLine ("shutdown");
    AppLog::closeLog();
    TerminalInput::runEnded();
    MidiTraceRecorder::disableTracing();
    stopDemoMode();
    return status;
}

void ConsoleUpdater::writeJsonResult (int status, const juce::String& port)
{
    std::cout << JsonLine::format (TerminalFrontEnd::jsonEvent ("result", { { "status", status },
                                                                            { "message", lastError },
                                                                            { "port", port.isEmpty() ? juce::var() : juce::var (port) },
                                                                            { "versionBefore", juce::var() },
                                                                            { "versionAfter", juce::var() } })).toStdString()
              << std::endl;
}

int ConsoleUpdater::runWithLog (const CommandLineOptions& options, const juce::MidiDeviceInfo* requestedOutput)
{
    // After demo mode, so that the trace wraps whichever ports are in use.
    const auto traceError = startTracingIfAsked (options.trace);

    if (traceError.isNotEmpty())
        return endWith (UpdateOutcome::unusable, traceError);

    if (options.list)
        return listPorts (options.json);

    if (options.port.isNotEmpty())
    {
        if (requestedOutput == nullptr)
            return endWith (UpdateOutcome::unusable, "no MIDI output " + OutsideText::withControlsEscaped (options.port)
                                                         + "; the outputs are:" + listOfOutputs());

        const auto status = takePort (*requestedOutput);

        if (status >= 0)
            return status;
    }

    return update (options);
}

bool ConsoleUpdater::interruptedBeforeStart()
{
   #if ! JUCE_WINDOWS
    char byte = 0;

    if (signalsBeforeStart != nullptr && signalsBeforeStart->isOpen() && ::read (signalsBeforeStart->readEnd(), &byte, 1) == 1)
        interrupted = true;
   #endif

    return interrupted;
}

int ConsoleUpdater::endWith (int exitStatus, const juce::String& reason)
{
    if (exitStatus != 0)
        printError (reason);
    else
        lastError = reason;

    logLine ("vfu-update: exit status " + juce::String (exitStatus) + ": " + reason);
    return exitStatus;
}

bool ConsoleUpdater::findOutput (const juce::String& requested, juce::MidiDeviceInfo& found)
{
    auto ports = MIDIPortsSelector::getInstance().getPorts();

    if (ports == nullptr)
        return false;

    // A USB location names the instrument wherever it is numbered; ALSA's "client:port" is also
    // taken as the framework writes it, "client-port".
    for (auto& output : ports->getOutputDevices())
    {
        const auto at = ports->locationOf (output);

        if (output.identifier == requested || output.identifier.replaceCharacter (':', '-') == requested
            || (at.isNotEmpty() && at == requested))
        {
            found = output;
            return true;
        }
    }

    return false;
}

juce::String ConsoleUpdater::listOfOutputs()
{
    juce::String known;

    if (auto ports = MIDIPortsSelector::getInstance().getPorts())
    {
        for (auto& output : ports->getOutputDevices())
        {
            const auto at = ports->locationOf (output);
            known << "\n  " << OutsideText::withControlsEscaped (output.identifier) << "  " << OutsideText::withControlsEscaped (output.name)
                  << (at.isNotEmpty() ? "  (" + OutsideText::withControlsEscaped (at) + ")" : juce::String());
        }
    }

    return known.isEmpty() ? juce::String ("\n  (none)") : known;
}

int ConsoleUpdater::takePort (const juce::MidiDeviceInfo& output)
{
    auto& selector = MIDIPortsSelector::getInstance();
    const auto location = selector.getPorts()->locationOf (output);
    const auto described = output.identifier + " (" + OutsideText::withControlsEscaped (output.name)
                          + (location.isNotEmpty() ? ", " + location : juce::String()) + ")";
    juce::String error;

    // This may wait for a scan that holds the port for a moment.
    const auto outcome = selector.claimOutput (output, error);

    if (interruptedBeforeStart())
        return endWith (UpdateOutcome::failed, "interrupted before the update began; nothing was sent to the instrument");

    if (outcome == PortLocks::Outcome::held)
        return endWith (UpdateOutcome::busy, "Another updater (the window or vfu-update) holds the instrument on MIDI output "
                                                 + described + ". Nothing was sent to it.");

    if (outcome == PortLocks::Outcome::failed)
        return endWith (UpdateOutcome::failed, "cannot lock MIDI output " + output.identifier + ", so nothing was sent to it: " + error);

    selector.restrictToOutput (output.identifier);
    logLine ("vfu-update: MIDI output " + output.identifier + " [" + OutsideText::withControlsEscaped (output.name) + "]"
             + (location.isNotEmpty() ? " at " + location : juce::String()) + " only");
    return -1;
}

int ConsoleUpdater::listPorts (bool json)
{
    auto ports = MIDIPortsSelector::getInstance().getPorts();

    if (ports == nullptr)
        return endWith (UpdateOutcome::failed, "no MIDI service");

    PortLister lister (ports, InbuiltDefinitions::getConsoleText());
    lister.setStopCheck ([this] { return interruptedBeforeStart(); });
    const auto list = json ? lister.describeAsJson() : lister.describe();

    if (interruptedBeforeStart())
        return endWith (UpdateOutcome::failed, "interrupted before every MIDI output was asked; nothing is listed");

    std::cout << list << std::flush;
    return endWith (0, "the MIDI ports were listed");
}

int ConsoleUpdater::update (const CommandLineOptions& options)
{
    const juce::String deviceName (BuildConstants::deviceName);
    const auto executableFolder = RunningExecutable::getFile().getParentDirectory();
    const auto desktopFolder = juce::File::getSpecialLocation (juce::File::userDesktopDirectory);

    juce::StringArray searchPaths { executableFolder.getFullPathName(), desktopFolder.getFullPathName() };
    const bool namedPackage = options.firmware != juce::File();

    // Searched last, so that it replaces a package of the same version found elsewhere.
    if (namedPackage)
        searchPaths.add (options.firmware.getFullPathName());

    TerminalOutput output (options.quiet, TerminalInput::isStandardOutputTerminal(), options.json);
    TerminalFrontEnd frontEnd ({ options.yes, options.timeoutSeconds, options.port }, output, MIDIPortsSelector::getInstance());
    std::unique_ptr<FirmwareUpdater> engine;

    // The engine goes first, so that no report can reach the front end after it.
    const auto endEarly = [&engine] (int exitStatus)
    {
        engine.reset();
        FirmwareUpdaterCallback::setRegistered (nullptr);
        return exitStatus;
    };

    const auto besideExecutable = executableFolder.getChildFile ("StateMachines.xml");
    const auto definitionsFile = options.definitions != juce::File() ? options.definitions : besideExecutable;

    try
    {
        engine = FirmwareUpdater::createFromFileOrInbuilt (definitionsFile, InbuiltDefinitions::getConsoleText(),
                                                           deviceName, true, &frontEnd, searchPaths, packagePublicKey);
    }
    catch (const FirmwareUpdater::FirmwareUpdaterException& e)
    {
        logLine (e.getMessage());
        printError (e.getMessage());
        logLine ("vfu-update: exit status " + juce::String (UpdateOutcome::unusable) + ": the definitions cannot be used");
        return endEarly (UpdateOutcome::unusable);
    }

    if (namedPackage)
    {
        // The store judged the named package as it judges every package: the images these
        // definitions send, the maker's signature, the bytes it may decompress. The one it
        // refused is never swapped for another package of the same version.
        juce::String reason;

        if (! engine->selectFirmwarePackageFile (options.firmware, reason))
            return endEarly (endWith (UpdateOutcome::unusable, "cannot use " + options.firmware.getFullPathName() + ": " + reason));
    }
    else
    {
        const auto versions = engine->getFirmwareVersions();

        if (versions.isEmpty())
            return endEarly (endWith (UpdateOutcome::failed, "No firmware file was found."));

        engine->selectFirmwareVersion (versions[versions.size() - 1]);
    }

    if (interruptedBeforeStart())
        return endEarly (endWith (UpdateOutcome::failed, "interrupted before the update began; nothing was sent to the instrument"));

    output.info (juce::String (BuildConstants::applicationName) + " " + BuildConstants::applicationVersion + " (terminal)");
    output.info ("Available version: " + engine->getSelectedVersion());

    int status = UpdateOutcome::failed;

    jsonResultWritten = true; // the front end ends every run with its result
    frontEnd.start (*engine, [&status] (int exitStatus)
    {
        status = exitStatus;
        juce::MessageManager::getInstance()->stopDispatchLoop();
    });

    juce::MessageManager::getInstance()->runDispatchLoop();

    // The engine has stopped already; destroying it releases packages and definitions.
    return endEarly (status);
}

juce::String ConsoleUpdater::startTracingIfAsked (const juce::File& traceFile)
{
    auto file = traceFile;

    if (file == juce::File())
        if (const auto* value = std::getenv ("VFU_TRACE"); value != nullptr && *value != 0)
            file = juce::File::getCurrentWorkingDirectory().getChildFile (OutsideText::fromSystemName (value));

    if (file == juce::File())
        return {};

    return MidiTraceRecorder::enableTracing (file, BuildConstants::deviceName);
}

void ConsoleUpdater::startDemoModeIfAsked()
{
    // Demo mode: a simulated Quorrel on a software MIDI bus instead of the real ports.
    demoSimulation = startDemoSimulationFromEnvironment (BuildConstants::deviceFamily);
}

void ConsoleUpdater::stopDemoMode()
{
    stopDemoSimulation (demoSimulation);
}
