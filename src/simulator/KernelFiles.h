#pragma once

#include <juce_core/juce_core.h>

/** Reads and writes the kernel's own files (configfs, sysfs, /proc), whose reported size is 0 and
    whose writes are commands: each write is one write() call, and its error is the kernel's
    answer. Linux and other POSIX systems; on Windows every call fails.

    Threads: any; nothing is shared. */
struct KernelFiles
{
    /** Writes text (with nothing appended) in one call; returns an empty String, or what failed. */
    static juce::String write (const juce::String& path, const juce::String& text);

    /** The file's text, up to maxBytes; false when it cannot be read. */
    static bool read (const juce::String& path, juce::String& text, size_t maxBytes = 256 * 1024);

    /** The file's first line, trimmed; empty when it cannot be read. */
    static juce::String readLine (const juce::String& path);

    static juce::String makeFolder (const juce::String& path);
    static juce::String removeFolder (const juce::String& path);
    static juce::String link (const juce::String& target, const juce::String& linkPath);
    static juce::String unlink (const juce::String& path);
    static bool exists (const juce::String& path);
    static bool isLink (const juce::String& path);

    /** The names in a folder, without "." and ".."; empty when it cannot be read. */
    static juce::StringArray list (const juce::String& folder);

    /** "what: the system's error text". */
    static juce::String failure (const juce::String& what, int error);
};
