#include "ConsoleUpdater.h"

#include <juce_events/juce_events.h>

#include "PortLister.h"
#include "TerminalFrontEnd.h"
#include "TerminalOutput.h"
#include "app/AppLog.h"
#include "app/QuitSignalPipe.h"
#include "app/BuildConstants.h"
#include "app/RunningExecutable.h"
#include "definitions/InbuiltDefinitions.h"
#include "midi/MIDIPortsSelector.h"
#include "midi/MidiTraceRecorder.h"
#include "midi/VersionNumber.h"
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
        arguments.add (juce::String (juce::CharPointer_UTF8 (argv[i])));

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
    CommandLineOptions options;
    const auto error = CommandLineOptions::parse (arguments, options);

    if (error.isNotEmpty())
    {
        printError (error);
        std::cerr << CommandLineOptions::usage();
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

    // Updaters of several instruments run side by side with --port: each writes a log of its own,
    // named after its port, since lines of two processes appended to one file can overwrite each other.
    // A demo run holds no lock and may run beside a real update: it keeps its lines to a log of its own.
    const auto run = demoSimulation != nullptr ? AppLog::Run::demo : AppLog::Run::real;

    if (options.port.isNotEmpty())
    {
        const auto log = AppLog::logFileFor (BuildConstants::deviceName, run);
        const auto portName = options.port.retainCharacters ("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_:").replaceCharacter (':', '-');
        AppLog::createLogAt (log.getSiblingFile (log.getFileName() + "-port-" + portName.substring (0, 64)),
                             AppLog::welcomeLineFor (BuildConstants::deviceName));
    }
    else
    {
        AppLog::createLog (BuildConstants::deviceName, run);
    }

    logLine ("vfu-update: console mode");

    const auto status = runWithLog (options);

    // Every run ends with a result line, also one that ended before the engine started.
    if (options.json && ! options.list && ! jsonResultWritten)
        std::cout << juce::JSON::toString (TerminalFrontEnd::jsonEvent ("result", { { "status", status },
                                                                                   { "message", lastError },
                                                                                   { "port", options.port.isEmpty() ? juce::var() : juce::var (options.port) },
                                                                                   { "versionBefore", juce::var() },
                                                                                   { "versionAfter", juce::var() } }),
                                            true).toStdString()
                  << std::endl;

    // After the engine is gone, so that its lines come before this one.
    MIDIPortsSelector::getInstance().closeIdlePorts();
    logLine ("shutdown");
    AppLog::closeLog();
    TerminalInput::runEnded();
    MidiTraceRecorder::disableTracing();
    stopDemoMode();
    return status;
}

int ConsoleUpdater::runWithLog (const CommandLineOptions& options)
{
    // After demo mode, so that the trace wraps whichever ports are in use.
    const auto traceError = startTracingIfAsked (options.trace);

    if (traceError.isNotEmpty())
        return endWith (UpdateOutcome::unusable, traceError);

    if (options.list)
        return listPorts (options.json);

    if (options.port.isNotEmpty())
    {
        const auto status = takePort (options.port);

        if (status >= 0)
            return status;
    }

    return update (options);
}

bool ConsoleUpdater::interruptedBeforeStart() const
{
   #if ! JUCE_WINDOWS
    char byte = 0;
    return signalsBeforeStart != nullptr && signalsBeforeStart->isOpen() && ::read (signalsBeforeStart->readEnd(), &byte, 1) == 1;
   #else
    return false;
   #endif
}

int ConsoleUpdater::endWith (int exitStatus, const juce::String& reason)
{
    if (exitStatus != 0)
        printError (reason);

    logLine ("vfu-update: exit status " + juce::String (exitStatus) + ": " + reason);
    return exitStatus;
}

int ConsoleUpdater::takePort (const juce::String& requested)
{
    auto& selector = MIDIPortsSelector::getInstance();
    auto ports = selector.getPorts();
    const auto outputs = ports->getOutputDevices();

    // A USB location names the instrument wherever it is numbered; ALSA's "client:port" is also
    // taken as the framework writes it, "client-port".
    juce::MidiDeviceInfo chosen;
    juce::String location;

    for (auto& output : outputs)
    {
        const auto at = ports->locationOf (output);

        if (chosen.identifier.isEmpty()
            && (output.identifier == requested || output.identifier.replaceCharacter (':', '-') == requested
                || (at.isNotEmpty() && at == requested)))
        {
            chosen = output;
            location = at;
        }
    }

    if (chosen.identifier.isNotEmpty())
    {
        const auto described = chosen.identifier + " (" + chosen.name + (location.isNotEmpty() ? ", " + location : juce::String()) + ")";
        juce::String error;
        const auto outcome = selector.claimOutput (chosen, error);

        if (outcome == PortLocks::Outcome::held)
            return endWith (UpdateOutcome::busy, "Another updater (the window or vfu-update) holds the instrument on MIDI output "
                                                     + described + ". Nothing was sent to it.");

        if (outcome == PortLocks::Outcome::failed)
            return endWith (UpdateOutcome::failed, "cannot lock MIDI output " + described + ", so nothing was sent to it: " + error);

        selector.restrictToOutput (chosen.identifier);
        logLine ("vfu-update: MIDI output " + chosen.identifier + " [" + chosen.name + "]"
                 + (location.isNotEmpty() ? " at " + location : juce::String()) + " only");
        return -1;
    }

    juce::String known;

    for (auto& output : outputs)
    {
        const auto at = ports->locationOf (output);
        known << "\n  " << output.identifier << "  " << output.name << (at.isNotEmpty() ? "  (" + at + ")" : juce::String());
    }

    return endWith (UpdateOutcome::unusable, "no MIDI output " + requested + "; the outputs are:"
                                                 + (known.isEmpty() ? juce::String ("\n  (none)") : known));
}

int ConsoleUpdater::listPorts (bool json)
{
    auto ports = MIDIPortsSelector::getInstance().getPorts();

    if (ports == nullptr)
        return endWith (UpdateOutcome::failed, "no MIDI service");

    PortLister lister (ports, InbuiltDefinitions::getConsoleText());
    std::cout << (json ? lister.describeAsJson() : lister.describe()) << std::flush;
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

   #if ! JUCE_WINDOWS
    // Loading the definitions and judging large packages can take seconds: a Ctrl-C, SIGTERM or
    // hang-up meanwhile ends the run with its exit status in the log once they are done; then the
    // front end takes these signals over.
    signalsBeforeStart = std::make_unique<QuitSignalPipe> ('q', 'q');
   #endif

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
            file = juce::File::getCurrentWorkingDirectory().getChildFile (juce::String::fromUTF8 (value));

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
