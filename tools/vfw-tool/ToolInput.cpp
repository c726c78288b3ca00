#include "ToolInput.h"

#include "base/RegularFile.h"

bool ToolInput::read (const juce::File& file, juce::int64 maxBytes, juce::MemoryBlock& destination, juce::String& reason)
{
    if (RegularFile::read (file, maxBytes, destination))
        return true;

    reason = whyUnreadable (file, maxBytes);
    return false;
}

juce::String ToolInput::whyUnreadable (const juce::File& file, juce::int64 maxBytes)
{
    // A link that leads nowhere counts as missing: exists() follows links.
    if (! file.exists())
        return "it does not exist";

    // Checked before anything opens it: opening a FIFO or a device could block.
    if (! RegularFile::isRegularFile (file))
        return "it is not a regular file (a device, a FIFO or a folder)";

    if (file.getSize() > maxBytes)
        return "it is larger than " + juce::String (maxBytes) + " bytes";

    // A regular file: opening it cannot block, and the system says why it fails.
    juce::FileInputStream stream (file);

    if (stream.failedToOpen())
        return "it cannot be opened: " + stream.getStatus().getErrorMessage();

    // It opened now: it was changed, or a read failed, between the two looks.
    return "it cannot be read whole (it changed while it was read, or a read failed)";
}
