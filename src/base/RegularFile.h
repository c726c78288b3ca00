#pragma once

#include <juce_core/juce_core.h>

/** Reading files that come from outside (definitions documents, firmware packages) without ever
    blocking: a FIFO or a device named like such a file would make a plain open or read wait for
    ever, so only regular files (after following links) are read, and their type is checked on the
    opened file too, in case the name changed hands in between. Writing a file a user named (a MIDI
    trace, a graph) follows the same rule and never deletes anything. Any thread. */
namespace RegularFile
{
    /** True for a regular file, after following links; a FIFO, a device or a folder is none. */
    bool isRegularFile (const juce::File& file);

    /** Reads the file whole into destination when it is a regular file of at most maxBytes;
        false otherwise, with destination empty. */
    bool read (const juce::File& file, juce::int64 maxBytes, juce::MemoryBlock& destination);

    /** Opens the file to be written from its start: a missing one is made, a regular one (after
        following links) is emptied once it is open. Anything else (a device, a FIFO, a folder) is
        refused without being opened in a way that can block or change it. nullptr when refused or
        unwritable, with error saying why. The stream writes on flush() and when destroyed. */
    std::unique_ptr<juce::OutputStream> createForWriting (const juce::File& file, juce::String& error);

    /** Writes content into the file under the rule of createForWriting(); false, with error
        saying why, when the file is refused or a write fails. */
    bool write (const juce::File& file, const juce::MemoryBlock& content, juce::String& error);

   #if ! JUCE_WINDOWS
    /** Writes all the bytes to an open descriptor, through interruptions; an error text, empty
        when every byte was written. */
    juce::String writeWhole (int fd, const void* bytes, size_t size);
   #endif
}
