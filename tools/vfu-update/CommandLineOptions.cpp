#include "CommandLineOptions.h"

namespace
{
    juce::File fileFromArgument (const juce::String& path)
    {
        return juce::File::getCurrentWorkingDirectory().getChildFile (path);
    }

    constexpr int longestTimeoutSeconds = 24 * 60 * 60;
}

juce::String CommandLineOptions::parse (const juce::StringArray& arguments, CommandLineOptions& result)
{
    CommandLineOptions options;

    for (int i = 0; i < arguments.size(); ++i)
    {
        auto argument = arguments[i];
        juce::String value;
        bool hasInlineValue = false;

        // Both "--timeout 10" and "--timeout=10".
        if (argument.startsWith ("--") && argument.containsChar ('='))
        {
            value = argument.fromFirstOccurrenceOf ("=", false, false);
            argument = argument.upToFirstOccurrenceOf ("=", false, false);
            hasInlineValue = true;
        }

        auto takeValue = [&]() -> bool
        {
            if (hasInlineValue)
                return value.isNotEmpty();

            if (i + 1 >= arguments.size())
                return false;

            value = arguments[++i];
            return value.isNotEmpty();
        };

        const bool takesValue = argument == "--firmware" || argument == "--definitions" || argument == "--timeout"
                                || argument == "--trace" || argument == "--port";

        if (hasInlineValue && ! takesValue)
            return argument + " takes no value";

        if (takesValue && ! takeValue())
            return argument + " needs a value";

        if (argument == "--firmware")
        {
            options.firmware = fileFromArgument (value);

            if (! options.firmware.existsAsFile())
                return "no such firmware package: " + value;
        }
        else if (argument == "--definitions")
        {
            options.definitions = fileFromArgument (value);

            if (! options.definitions.existsAsFile())
                return "no such definitions file: " + value;
        }
        else if (argument == "--trace")
        {
            options.trace = fileFromArgument (value);
        }
        else if (argument == "--port")
        {
            if (value.length() > 1000)
                return "--port takes an identifier that --list shows";

            options.port = value;
        }
        else if (argument == "--timeout")
        {
            if (! value.containsOnly ("0123456789") || value.length() > 6
                || value.getIntValue() < 1 || value.getIntValue() > longestTimeoutSeconds)
                return "--timeout takes whole seconds from 1 to " + juce::String (longestTimeoutSeconds) + ", not '" + value + "'";

            options.timeoutSeconds = value.getIntValue();
        }
        else if (argument == "--yes" || argument == "-y")      options.yes = true;
        else if (argument == "--list")                          options.list = true;
        else if (argument == "--json")                          options.json = true;
        else if (argument == "--quiet" || argument == "-q")     options.quiet = true;
        else if (argument == "--version")                       options.showVersion = true;
        else if (argument == "--help" || argument == "-h")      options.showHelp = true;
        else
            return "unknown argument '" + argument + "'";
    }

    result = options;
    return {};
}

juce::String CommandLineOptions::usage()
{
    return "usage: vfu-update [--port ID] [--firmware FILE.vfw] [--definitions FILE.xml] [--yes] [--timeout SECONDS]\n"
           "                  [--quiet] [--json] [--trace FILE]\n"
           "       vfu-update --list [--json] | --version | --help\n"
           "\n"
           "Updates the firmware of the instrument connected over MIDI, in a terminal.\n"
           "\n"
           "  --port ID               update only the instrument on this MIDI output (the identifier that\n"
           "                          --list shows first on its line; ALSA's client:port on Linux), or\n"
           "                          at this USB location (as --list shows it: usb-0000:00:14.0-2)\n"
           "  --firmware FILE.vfw     install this package (it wins over the packages found elsewhere)\n"
           "  --definitions FILE.xml  use these definitions instead of StateMachines.xml beside the program\n"
           "                          or the inbuilt ones (a console-mode definition is required)\n"
           "  --yes, -y               press Install by itself when it is offered\n"
           "  --timeout SECONDS       give up when no instrument answers for this long, 1 to 86400\n"
           "                          (default: wait; an instrument that answers keeps it waiting)\n"
           "  --quiet, -q             print only the result and errors\n"
           "  --json                  one JSON object per line on standard output (States, texts,\n"
           "                          progress, the result); the text goes to standard error\n"
           "  --trace FILE            record every MIDI message and port change into FILE (as VFU_TRACE);\n"
           "                          only a regular file, which is emptied, never a device, FIFO or folder\n"
           "  --list                  list the MIDI ports, each output's identifier first, what answers on\n"
           "                          it and whether another updater holds it, then exit\n"
           "  --version               print the program's version and exit\n"
           "  --help, -h              print this text and exit\n"
           "\n"
           "Keys: Enter presses the offered button (Install), c cancels, Ctrl-C stops at once.\n"
           "A hang-up (SIGHUP) stops like Ctrl-C before the erase; once the erase is sent, the update carries on.\n"
           "A signal started as ignored (SIGHUP under nohup, SIGINT for a script's & job) stays ignored.\n"
           "\n"
           "Exit status: 0 the instrument reports the new version (or already had it),\n"
           "             1 the update failed or was cancelled, a port's lock cannot be taken, a\n"
           "               port is in use by another program (Windows) and nothing answered, no\n"
           "               usable package, two instruments came back where one went, or --list\n"
           "               found no MIDI service (reason on standard error),\n"
           "             2 usage error, unusable definitions, --firmware package or --trace file,\n"
           "               an unknown --port (the identifiers are listed),\n"
           "             3 no instrument found in time,\n"
           "             4 another updater (the window or vfu-update) holds the --port instrument,\n"
           "               or held a port not asked when no instrument answered in time.\n"
           "\n"
           "VFU_SIMULATE=key=value;... runs against a simulated instrument (demo mode, with a log of\n"
           "its own: vfu-quorrel-demo beside the usual vfu-quorrel);\n"
           "VFU_TRACE=FILE records a MIDI trace like --trace.\n";
}
