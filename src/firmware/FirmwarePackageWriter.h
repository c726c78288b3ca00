#pragma once

#include <juce_core/juce_core.h>

/** Writes firmware packages: a zip archive with stored entries, the ".sha" checksum list first
    (sha256sum's binary-mode lines "<hex> *<name>", joined by line ends, no line end after the
    last), then the ".syx" images in the given order.

    Used by the firmware tool and the tests. Stateless; any thread.
*/
class FirmwarePackageWriter final
{
public:
    struct Image
    {
        juce::String entryName; // "quorrel-fw-2.1.13.syx"
        juce::MemoryBlock content;
    };

    /** "<64 lower-case hex digits> *<entryName>". */
    static juce::String checksumLine (const juce::String& entryName, const juce::MemoryBlock& content);

    /** The list for these images, one line each, without a line end after the last. */
    static juce::String checksumList (const juce::Array<Image>& images);

    /** The first image's name with its extension replaced by ".sha" ("quorrel-fw-2.1.13.sha"). */
    static juce::String checksumListNameFor (const juce::Array<Image>& images);

    /** Writes the package; false with the reason in error when there is no image or the file cannot be written. */
    static bool write (const juce::File& target, const juce::Array<Image>& images, juce::String& error);

    /** The same package as bytes in memory. */
    static juce::MemoryBlock build (const juce::Array<Image>& images);

private:
    FirmwarePackageWriter() = delete;
};
