#include "FirmwarePackageWriter.h"

#include <juce_cryptography/juce_cryptography.h>

namespace
{
    // A fixed entry time keeps packages byte-for-byte reproducible from build to build.
    juce::Time entryTime() { return juce::Time (2020, 0, 1, 0, 0, 0, 0, false); }
}

juce::String FirmwarePackageWriter::checksumLine (const juce::String& entryName, const juce::MemoryBlock& content)
{
    return juce::SHA256 (content).toHexString() + " *" + entryName;
}

juce::String FirmwarePackageWriter::checksumList (const juce::Array<Image>& images)
{
    juce::StringArray lines;

    for (auto& image : images)
        lines.add (checksumLine (image.entryName, image.content));

    return lines.joinIntoString ("\n");
}

juce::String FirmwarePackageWriter::checksumListNameFor (const juce::Array<Image>& images)
{
    if (images.isEmpty())
        return {};

    const auto& name = images.getReference (0).entryName;
    const auto dot = name.lastIndexOfChar ('.');
    return (dot > 0 ? name.substring (0, dot) : name) + ".sha";
}

juce::MemoryBlock FirmwarePackageWriter::build (const juce::Array<Image>& images)
{
    juce::ZipFile::Builder builder;
    const auto list = checksumList (images);

    builder.addEntry (new juce::MemoryInputStream (list.toRawUTF8(), list.getNumBytesAsUTF8(), true),
                      0, checksumListNameFor (images), entryTime());

    for (auto& image : images)
        // Not copied: the images outlive the builder. (Copying an empty block would hand memcpy a null pointer.)
        builder.addEntry (new juce::MemoryInputStream (image.content.getData(), image.content.getSize(), false),
                          0, image.entryName, entryTime());

    juce::MemoryOutputStream out;
    builder.writeToStream (out, nullptr);
    return out.getMemoryBlock();
}

bool FirmwarePackageWriter::write (const juce::File& target, const juce::Array<Image>& images, juce::String& error)
{
    if (images.isEmpty())
    {
        error = "a package needs at least one image";
        return false;
    }

    const auto bytes = build (images);

    if (! target.replaceWithData (bytes.getData(), bytes.getSize()))
    {
        error = "cannot write " + target.getFullPathName();
        return false;
    }

    return true;
}
