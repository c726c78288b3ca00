#pragma once

#include <juce_core/juce_core.h>

/** Reading files that come from outside (definitions documents, firmware packages) without ever
    blocking: a FIFO or a device named like such a file would make a plain open or read wait for
    ever, so only regular files (after following links) are read, and their type is checked on the
    opened file too, in case the name changed hands in between. Any thread. */
namespace RegularFile
{
    /** True for a regular file, after following links; a FIFO, a device or a folder is none. */
    bool isRegularFile (const juce::File& file);

    /** Reads the file whole into destination when it is a regular file of at most maxBytes;
        false otherwise, with destination empty. */
    bool read (const juce::File& file, juce::int64 maxBytes, juce::MemoryBlock& destination);
}
