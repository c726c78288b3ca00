#pragma once

#include <juce_core/juce_core.h>

/** Writes vfu-update's lines: ordinary lines and prompts to standard output, errors to standard
    error, and on a terminal one status line that is rewritten in place and stays below the
    other lines. With quiet, only results, errors and the definitions' Print lines appear.
    A stream that cannot be written (a closed pipe, a terminal that hung up) is given up after
    its first failed write, with a log line; the other stream and the run go on. Message thread only.
*/
class TerminalOutput final
{
public:
    /** json: standard output carries only event() lines; the text goes to standard error. */
    TerminalOutput (bool quiet, bool isTerminal, bool json = false);
    ~TerminalOutput();

    bool isTerminal() const noexcept { return terminal; }

    /** An informational line (instructions, versions, prompts); not shown when quiet. */
    void info (const juce::String& text);
    /** A line that is always shown: a Print instruction, a result. */
    void always (const juce::String& text);
    void error (const juce::String& text);

    /** One JSON object on a line of its own on standard output (--json only). */
    void event (const juce::var& object);
    bool isJson() const noexcept { return json; }

    /** Shows or replaces the status line (terminals only; not shown when quiet). */
    void setStatus (const juce::String& text);
    /** Leaves the status line as it stands and goes on below it. */
    void endStatus();

private:
    void write (std::FILE* stream, const juce::String& text);
    void put (std::FILE* stream, const char* text);
    void clearStatus();
    void redrawStatus();

    std::FILE* textStream() const { return json ? stderr : stdout; }

    const bool quiet, terminal, json;
    juce::String status;
    bool statusShown = false;
    bool outputBroken = false, errorBroken = false;
};
