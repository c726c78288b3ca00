#include "TerminalOutput.h"
#include "JsonLine.h"

#include "base/AppLog.h"
#include "base/OutsideText.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace
{
    const char* const clearLine = "\r\x1b[K";
}

TerminalOutput::TerminalOutput (bool q, bool isTerminal, bool j)
    : quiet (q), terminal (isTerminal && ! j), json (j) {}

TerminalOutput::~TerminalOutput()
{
    endStatus();
}

void TerminalOutput::put (std::FILE* stream, const char* text)
{
    auto& broken = stream == stderr ? errorBroken : outputBroken;

    if (broken)
        return;

    errno = 0;
    std::fputs (text, stream);

    if (std::fflush (stream) == 0 && ! std::ferror (stream))
        return;

    // SIGPIPE is ignored, so a reader that went away shows here (EPIPE), as does a hung-up terminal (EIO).
    broken = true;
    logLine (juce::String ("vfu-update: standard ") + (stream == stderr ? "error" : "output")
             + " cannot be written (" + juce::String::fromUTF8 (std::strerror (errno)) + "); nothing more is written to it");
}

void TerminalOutput::write (std::FILE* stream, const juce::String& text)
{
    if (stream == stdout && json)
    {
        put (stream, (text + "\n").toRawUTF8());
        return;
    }

    // Texts can carry names from outside (MIDI ports, definitions): only their line breaks
    // reach the terminal as they are, every other control character is shown escaped.
    juce::String shown;

    for (int start = 0;;)
    {
        const auto end = text.indexOfChar (start, '\n');
        shown << OutsideText::withControlsEscaped (text.substring (start, end < 0 ? text.length() : end)) << "\n";

        if (end < 0)
            break;

        start = end + 1;
    }

    put (stream, shown.toRawUTF8());
}

void TerminalOutput::clearStatus()
{
    if (statusShown)
        put (stdout, clearLine);
}

void TerminalOutput::redrawStatus()
{
    if (statusShown)
        put (stdout, (clearLine + status).toRawUTF8());
}

void TerminalOutput::info (const juce::String& text)
{
    if (! quiet)
        always (text);
}

void TerminalOutput::always (const juce::String& text)
{
    clearStatus();
    write (textStream(), text);
    redrawStatus();
}

void TerminalOutput::event (const juce::var& object)
{
    if (json)
        write (stdout, JsonLine::format (object));
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

    status = OutsideText::withControlsEscaped (text);
    statusShown = true;
    redrawStatus();
}

void TerminalOutput::endStatus()
{
    if (! statusShown)
        return;

    put (stdout, "\n");
    statusShown = false;
    status.clear();
}
