#include "ZipEntryReader.h"

bool ZipEntryReader::readWhole (juce::ZipFile& archive, int index, juce::int64 limit, juce::MemoryBlock& destination)
{
    const auto* entry = archive.getEntry (index);

    if (entry == nullptr || entry->uncompressedSize < 0 || entry->uncompressedSize > limit)
        return false;

    std::unique_ptr<juce::InputStream> stream (archive.createStreamForEntry (index));

    if (stream == nullptr)
        return false;

    const auto size = entry->uncompressedSize;
    destination.setSize ((size_t) size, false);
    juce::int64 done = 0;

    while (done < size)
    {
        const auto chunk = (int) juce::jmin<juce::int64> (size - done, 1 << 20);
        const auto got = stream->read (static_cast<char*> (destination.getData()) + done, chunk);

        if (got <= 0)
            return false;

        done += got;
    }

    return true;
}
