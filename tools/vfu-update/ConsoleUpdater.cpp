#include "ConsoleUpdater.h"

#include <juce_events/juce_events.h>

#include "PortLister.h"
#include "TerminalFrontEnd.h"
#include "TerminalOutput.h"
#include "app/AppLog.h"
#include "app/RegularFile.h"
#include "app/BuildConstants.h"
#include "app/RunningExecutable.h"
#include "definitions/InbuiltDefinitions.h"
#include "firmware/PackageVerifier.h"
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
    if (options.port.isNotEmpty())
    {
        const auto log = AppLog::logFileFor (BuildConstants::deviceName);
        const auto portName = options.port.retainCharacters ("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_:").replaceCharacter (':', '-');
        AppLog::createLogAt (log.getSiblingFile (log.getFileName() + "-port-" + portName.substring (0, 64)),
                             AppLog::welcomeLineFor (BuildConstants::deviceName));
    }
    else
    {
        AppLog::createLog (BuildConstants::deviceName);
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
    {
        printError (traceError);
        logLine ("vfu-update: exit status " + juce::String (UpdateOutcome::unusable) + ": " + traceError);
        return UpdateOutcome::unusable;
    }

    if (options.list)
        return listPorts (options.json);

    if (options.port.isNotEmpty())
    {
        const auto status = takePort (options.port);

        if (status >= 0)
        {
            logLine ("vfu-update: exit status " + juce::String (status) + ": " + lastError);
            return status;
        }
    }

    return update (options);
}

int ConsoleUpdater::takePort (const juce::String& requested)
{
    auto& selector = MIDIPortsSelector::getInstance();
    const auto outputs = selector.getPorts()->getOutputDevices();

    // ALSA's "client:port" is also taken as the framework writes it, "client-port".
    for (auto& output : outputs)
    {
        if (output.identifier != requested && output.identifier.replaceCharacter (':', '-') != requested)
            continue;

        juce::String error;
        const auto outcome = selector.claimOutput (output.identifier, error);

        if (outcome == PortLocks::Outcome::held)
        {
            printError ("Another updater (the window or vfu-update) holds the instrument on MIDI output "
                        + output.identifier + " (" + output.name + "). Nothing was sent to it.");
            return UpdateOutcome::busy;
        }

        if (outcome == PortLocks::Outcome::failed)
        {
            printError ("cannot lock MIDI output " + output.identifier + ", so nothing was sent to it: " + error);
            return UpdateOutcome::failed;
        }

        selector.restrictToOutput (output.identifier);
        logLine ("vfu-update: MIDI output " + output.identifier + " [" + output.name + "] only");
        return -1;
    }

    juce::String known;

    for (auto& output : outputs)
        known << "\n  " << output.identifier << "  " << output.name;

    printError ("no MIDI output " + requested + "; the outputs are:" + (known.isEmpty() ? juce::String ("\n  (none)") : known));
    return UpdateOutcome::unusable;
}

int ConsoleUpdater::listPorts (bool json)
{
    auto ports = MIDIPortsSelector::getInstance().getPorts();

    if (ports == nullptr)
    {
        printError ("no MIDI service");
        return UpdateOutcome::failed;
    }

    PortLister lister (ports, InbuiltDefinitions::getConsoleText());
    std::cout << (json ? lister.describeAsJson() : lister.describe()) << std::flush;
    return 0;
}

int ConsoleUpdater::update (const CommandLineOptions& options)
{
    const juce::String deviceName (BuildConstants::deviceName);
    const auto executableFolder = RunningExecutable::getFile().getParentDirectory();
    const auto desktopFolder = juce::File::getSpecialLocation (juce::File::userDesktopDirectory);

    juce::StringArray searchPaths { executableFolder.getFullPathName(), desktopFolder.getFullPathName() };
    juce::String explicitVersion;

    if (options.firmware != juce::File())
    {
        juce::String reason;
        const auto version = verifyNamedPackage (options.firmware, reason);

        if (version < 0)
        {
            printError ("cannot use " + options.firmware.getFullPathName() + ": " + reason);
            logLine ("vfu-update: exit status " + juce::String (UpdateOutcome::unusable) + ": cannot use "
                     + options.firmware.getFullPathName() + ": " + reason);
            return UpdateOutcome::unusable;
        }

        // Searched last, so that it replaces a package of the same version found elsewhere.
        searchPaths.add (options.firmware.getFullPathName());
        explicitVersion = formatVersionNumber (version);
    }

    TerminalOutput output (options.quiet, TerminalInput::isStandardOutputTerminal(), options.json);
    TerminalFrontEnd frontEnd ({ options.yes, options.timeoutSeconds, options.port }, output, MIDIPortsSelector::getInstance());
    std::unique_ptr<FirmwareUpdater> engine;

    const auto besideExecutable = executableFolder.getChildFile ("StateMachines.xml");
    const auto definitionsFile = options.definitions != juce::File() ? options.definitions : besideExecutable;

    try
    {
        engine = FirmwareUpdater::createFromFileOrInbuilt (definitionsFile, InbuiltDefinitions::getConsoleText(),
                                                           deviceName, true, &frontEnd, searchPaths, packagePublicKey);
    }
    catch (const FirmwareUpdater::FirmwareUpdaterException& e)
    {
        FirmwareUpdaterCallback::setRegistered (nullptr);
        logLine (e.getMessage());
        printError (e.getMessage());
        return UpdateOutcome::unusable;
    }

    const auto versions = engine->getFirmwareVersions();

    if (versions.isEmpty())
    {
        printError ("No firmware file was found.");
        return UpdateOutcome::failed;
    }

    const auto chosen = explicitVersion.isNotEmpty() ? explicitVersion : versions[versions.size() - 1];

    // The store may still refuse the named package (a build with a maker's key wants it signed;
    // the log says why): then it is not silently replaced by another one.
    if (! engine->selectFirmwareVersion (chosen) && explicitVersion.isNotEmpty())
    {
        printError ("cannot use " + options.firmware.getFullPathName() + ": the updater refused it (the log says why)");
        return UpdateOutcome::unusable;
    }

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
    engine.reset();
    FirmwareUpdaterCallback::setRegistered (nullptr);
    return status;
}

int ConsoleUpdater::verifyNamedPackage (const juce::File& file, juce::String& reason) const
{
    // Read as the store reads packages: only a regular file, never in a way that can block.
    juce::MemoryBlock packageBytes;

    if (! RegularFile::read (file, FirmwarePackageStore::maximumPackageSize, packageBytes))
    {
        reason = "it cannot be read (not a regular file, unreadable, or too large)";
        return -1;
    }

    // With the build's key, as the store will check it: a package it would refuse must not make
    // way for another one of the same version.
    std::unique_ptr<PackageSignature> signature;

    if (packagePublicKey.isNotEmpty())
        signature = std::make_unique<PackageSignature> (packagePublicKey);

    juce::MemoryInputStream stream (packageBytes, false);
    PackageVerifier verifier;
    verifier.requireSignature (signature.get());
    const auto verdict = verifier.verify (stream);
    reason = verdict.reason;
    return verdict.version;
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
