#include "TerminalOutput.h"

#include <cstdio>

namespace
{
    const char* const clearLine = "\r\x1b[K";
}

TerminalOutput::TerminalOutput (bool q, bool isTerminal) : quiet (q), terminal (isTerminal) {}

TerminalOutput::~TerminalOutput()
{
    endStatus();
}

void TerminalOutput::write (std::FILE* stream, const juce::String& text)
{
    std::fputs (text.toRawUTF8(), stream);
    std::fputc ('\n', stream);
    std::fflush (stream);
}

void TerminalOutput::clearStatus()
{
    if (statusShown)
    {
        std::fputs (clearLine, stdout);
        std::fflush (stdout);
    }
}

void TerminalOutput::redrawStatus()
{
    if (statusShown)
    {
        std::fputs ((clearLine + status).toRawUTF8(), stdout);
        std::fflush (stdout);
    }
}

void TerminalOutput::info (const juce::String& text)
{
    if (! quiet)
        always (text);
}

void TerminalOutput::always (const juce::String& text)
{
    clearStatus();
    write (stdout, text);
    redrawStatus();
}

void TerminalOutput::error (const juce::String& text)
{
    clearStatus();
    write (stderr, text);
    redrawStatus();
}

void TerminalOutput::setStatus (const juce::String& text)
{
    if (quiet || ! terminal)
        return;

    status = text;
    statusShown = true;
    redrawStatus();
}

void TerminalOutput::endStatus()
{
    if (! statusShown)
        return;

    std::fputc ('\n', stdout);
    std::fflush (stdout);
    statusShown = false;
    status.clear();
}
