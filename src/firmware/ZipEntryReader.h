#pragma once

#include <juce_core/juce_core.h>

/** Reads one entry of a package archive whole, trusting neither the entry's declared size
    beyond `limit` nor the data beyond its declared size: a lying header costs at most
    `limit` bytes of memory, and a short entry fails instead of yielding a partial image. */
namespace ZipEntryReader
{
    bool readWhole (juce::ZipFile& archive, int index, juce::int64 limit, juce::MemoryBlock& destination);
}
