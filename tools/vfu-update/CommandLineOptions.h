#pragma once

#include <juce_core/juce_core.h>

/** What the command line of vfu-update asks for. parse() reads argv; any thread. */
struct CommandLineOptions
{
    juce::File firmware;        // --firmware: one package, installed in preference to the others
    juce::File definitions;     // --definitions: a definitions document instead of the usual ones
    juce::File trace;           // --trace: record every MIDI message and port change into this file
    bool yes = false;           // --yes: press Install by itself when it is offered
    bool list = false;          // --list: show the MIDI ports and what answers on them, then exit
    bool quiet = false;         // --quiet: only the result and errors
    bool json = false;          // --json: one JSON object per line on standard output, text on standard error
    juce::String port;          // --port: only the instrument on this output (an identifier of --list)
    bool showVersion = false;   // --version
    bool showHelp = false;      // --help
    int timeoutSeconds = -1;    // --timeout: give up when no instrument answers for this long; -1: wait on

    /** Reads the arguments after the program name; returns an error text, empty when they are usable. */
    static juce::String parse (const juce::StringArray& arguments, CommandLineOptions& result);

    static juce::String usage();
};
