// vfu-check-definitions: loads a definitions document exactly as the updater does at start-up
// and reports either the loader's message or a one-line summary of the selected definition,
// with warnings about its States and, on request, the definition as a Graphviz graph.

#include "base/OutsideText.h"
#include "DefinitionsGraph.h"
#include "base/AppLog.h"
#include "base/BuildConstants.h"
#include "base/RegularFile.h"
#include "definitions/DefinitionsDocument.h"
#include "definitions/InbuiltDefinitions.h"
#include "definitions/UpdaterDefinitions.h"

#include <iostream>
#include <memory>

namespace
{
constexpr int loadFailed = 1, usageOrUnreadable = 2;

void printUsage (std::ostream& out)
{
    out << "usage: vfu-check-definitions (<file> | --inbuilt) [device-name] [--console] [--graph FILE.dot]\n"
           "       vfu-check-definitions --version | --help\n"
           "  Loads the definitions document as the updater does and prints either the loader's\n"
           "  message (exit status 1) or the selected definition (exit status 0).\n"
           "  device-name defaults to Quorrel; --console selects a console-mode definition (with\n"
           "  --inbuilt, from the inbuilt console-mode document that vfu-update uses).\n"
           "  --graph FILE.dot writes the definition's States and moves as a Graphviz graph\n"
           "  (render it with: dot -Tsvg FILE.dot -o FILE.svg) into a regular file, a new one or\n"
           "  one a link leads to; a FIFO, a device or a folder is refused (exit status 2).\n"
           "  Warnings on standard error name States the initial State cannot reach, States with\n"
           "  no way out and moves to names that are no State; they leave the exit status 0.\n"
           "  --version prints the version, --help (or -h) this text.\n";
}

juce::String quoted (const juce::String& text)
{
    return "\"" + text + "\"";
}

/** The loader writes "Unknown instruction" lines to the log; show them as warnings. */
void printLoaderLogLines (const juce::File& logFile)
{
    for (auto& line : juce::StringArray::fromLines (logFile.loadFileAsString()))
        if (line.contains (" - Unknown instruction : "))
            std::cerr << "warning: " << line.fromFirstOccurrenceOf (" - ", false, false).toStdString() << "\n";
}
} // namespace

int main (int argc, char* argv[])
{
    juce::String source, deviceName (BuildConstants::deviceName), graphPath;
    bool consoleMode = false, inbuilt = false, deviceGiven = false;

    for (int i = 1; i < argc; ++i)
    {
        const auto arg = OutsideText::fromSystemName (argv[i]);

        if (arg == "--console")                      consoleMode = true;
        else if (arg == "--inbuilt" && ! inbuilt)    inbuilt = true;
        else if (arg == "--help" || arg == "-h")     { printUsage (std::cout); return 0; }
        else if (arg == "--version")                 { std::cout << "vfu-check-definitions " << BuildConstants::applicationVersion << "\n"; return 0; }
        else if (arg == "--graph" && i + 1 < argc && graphPath.isEmpty())  graphPath = OutsideText::fromSystemName (argv[++i]);
        else if (arg.startsWith ("--graph=") && graphPath.isEmpty())      graphPath = arg.fromFirstOccurrenceOf ("=", false, false);
        else if (source.isEmpty() && ! inbuilt && ! arg.startsWith ("--")) source = arg;
        else if (! deviceGiven && ! arg.startsWith ("--"))                 { deviceName = arg; deviceGiven = true; }
        else                                         { printUsage (std::cerr); return usageOrUnreadable; }
    }

    if (inbuilt == source.isNotEmpty())
    {
        printUsage (std::cerr);
        return usageOrUnreadable;
    }

    juce::File file;

    if (! inbuilt)
    {
        file = juce::File::getCurrentWorkingDirectory().getChildFile (source);

        if (! file.existsAsFile())
        {
            std::cerr << "vfu-check-definitions: no such file: " << file.getFullPathName().toStdString() << "\n";
            return usageOrUnreadable;
        }

        // A FIFO or a device goes on to the loader, which refuses it like the updater does,
        // without ever opening it in a way that could block.
        juce::MemoryBlock bytes;

        if (RegularFile::isRegularFile (file) && ! DefinitionsDocument::readFile (file, bytes))
        {
            std::cerr << "vfu-check-definitions: cannot read " << file.getFullPathName().toStdString()
                      << " (unreadable, or larger than " << DefinitionsDocument::maxFileSize << " bytes)\n";
            return usageOrUnreadable;
        }
    }

    juce::TemporaryFile logFile;
    AppLog::createLogAt (logFile.getFile(), "vfu-check-definitions");

    std::unique_ptr<UpdaterDefinitions> definitions;
    juce::String failure;

    try
    {
        definitions = inbuilt ? std::make_unique<UpdaterDefinitions> (InbuiltDefinitions::getText (consoleMode), deviceName, consoleMode)
                              : std::make_unique<UpdaterDefinitions> (file, deviceName, consoleMode);
    }
    catch (const UpdaterDefinitions::FirmwareUpdaterException& e)
    {
        failure = e.getMessage();
    }

    AppLog::closeLog();
    printLoaderLogLines (logFile.getFile());

    if (definitions == nullptr)
    {
        std::cout << failure.toStdString() << "\n";
        return loadFailed;
    }

    const auto* machine = definitions->getMachine();
    const DefinitionsGraph graph (*definitions);

    for (auto& warning : graph.getWarnings())
        std::cerr << "warning: " << warning.toStdString() << "\n";

    if (graphPath.isNotEmpty())
    {
        const auto graphFile = juce::File::getCurrentWorkingDirectory().getChildFile (graphPath);

        // Written as a MIDI trace is: into a regular file (a link to one is followed) or a new
        // one, never replacing what the name is; a FIFO, a device or a folder is refused.
        const auto dot = graph.toDot().toStdString();
        juce::String error;

        if (! RegularFile::write (graphFile, juce::MemoryBlock (dot.data(), dot.size()), error))
        {
            std::cerr << "vfu-check-definitions: cannot write " << graphFile.getFullPathName().toStdString()
                      << ": " << error.toStdString() << "\n";
            return usageOrUnreadable;
        }
    }

    std::cout << "deviceName=" << quoted (definitions->getDeviceName()).toStdString()
              << " MIDIDeviceID=" << juce::String::toHexString ((int) definitions->getDeviceId()).toUpperCase().paddedLeft ('0', 4).toStdString()
              << " states=" << machine->states.size()
              << " initialState=" << quoted (machine->initialState).toStdString() << "\n";
    return 0;
}
