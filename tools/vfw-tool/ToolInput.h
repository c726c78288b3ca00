#pragma once

#include <juce_core/juce_core.h>

/** The firmware tool's inputs (images, packages, key files), read as the updater reads packages:
    only a regular file after following links, never opened in a way that can block. When one
    cannot be read, the reason tells the user which of the cases it is, so that a misspelt name
    is not taken for a FIFO or a permissions problem. Any thread. */
namespace ToolInput
{
    /** Reads the file whole when it is a regular file of at most maxBytes. False otherwise, with
        destination empty and reason saying why ("it does not exist", ...). */
    bool read (const juce::File& file, juce::int64 maxBytes, juce::MemoryBlock& destination, juce::String& reason);

    /** Why a read of the file failed: it does not exist, it is no regular file, it is larger
        than maxBytes, or it cannot be opened or read (with the system's reason). */
    juce::String whyUnreadable (const juce::File& file, juce::int64 maxBytes);
}
