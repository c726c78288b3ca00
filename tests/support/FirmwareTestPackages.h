#pragma once

#include <juce_core/juce_core.h>

#include <utility>
#include <vector>

/** Helpers that make firmware images and packages in a scratch folder for the tests, with the
    program's own image maker and, as a package maker would, the standard zip and sha256sum tools.
    Test (message) thread only. */
namespace FirmwareTestPackages
{
    /** A folder of its own under the temporary folder, deleted with this object. */
    class ScratchFolder final
    {
    public:
        ScratchFolder();
        ~ScratchFolder();

        const juce::File& get() const noexcept { return folder; }
        juce::File operator/ (const juce::String& name) const { return folder.getChildFile (name); }

    private:
        juce::File folder;
        JUCE_DECLARE_NON_COPYABLE (ScratchFolder)
    };

    /** Runs a shell command line; returns its output, and false in ok when it exits non-zero. */
    juce::String runShell (const juce::String& commandLine, bool& ok);

    /** Quotes a text or a path for the shell. */
    juce::String quoted (const juce::String& text);
    juce::String quoted (const juce::File& file);

    /** A simulated firmware image of family 6 for that version. */
    juce::MemoryBlock imageFor (const juce::String& version, int size = 1000);

    /** Writes the image into folder as the entry name it will carry. */
    juce::File writeImage (const juce::File& folder, const juce::String& entryName, const juce::MemoryBlock& image);

    /** Makes a package the way a package maker would: "sha256sum -b" writes the list of the images
        (in the folder, so the names carry no path), then "zip -0" stores the list and the images.
        The list is named listName; a null transform leaves the list as sha256sum wrote it. */
    juce::File makePackageWithTools (const juce::File& packageFile, const juce::String& listName,
                                     const juce::Array<juce::File>& images,
                                     std::function<juce::String (const juce::String&)> transformList = {});

    /** A quorrel package of that version holding one image "quorrel-fw-<version>.syx", made with the tools. */
    juce::File makeQuorrelPackage (const juce::File& packageFile, const juce::String& version,
                                   const juce::MemoryBlock& image);

    /** A zip archive of these entries, stored, in this order, made in memory (no outside tools). */
    juce::MemoryBlock zipOf (const std::vector<std::pair<juce::String, juce::MemoryBlock>>& entries);

    /** The text's UTF-8 bytes. */
    juce::MemoryBlock bytesOf (const juce::String& text);

    /** Replaces every occurrence of the bytes of `from` by the same number of raw bytes `to`
        (an entry name can be made malformed this way); returns how many were replaced. */
    int replaceBytes (juce::MemoryBlock& block, const juce::String& from, const char* to);

    /** A copy of a small real executable with a zip archive of the given packages appended (deflated)
        and its offsets fixed by "zip -A", as the build does for the application. */
    juce::File makeExecutableWithPackages (const juce::File& executableFile, const juce::Array<juce::File>& packages);
}
