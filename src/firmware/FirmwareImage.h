#pragma once

#include <juce_core/juce_core.h>

/** The simulated firmware image used by the shipped package, the simulator and the tests.

    One SysEx message F0 04 dd 12 a b c p <payload> s F7, where dd is the family code's low
    seven bits, a.b.c the version, p the number after "p" (7F when there is none), the payload
    deterministic 7-bit bytes and s the low seven bits of the sum of a, b, c, p and the payload.
    An image for a device whose sender leaves two tail bytes unsent ends with 00 00 after F7.

    Stateless; any thread.
*/
class FirmwareImage final
{
public:
    /** What an image says about itself. */
    struct Description
    {
        bool valid = false;
        juce::String error;     // why it is not valid
        int familyLowBits = 0;  // dd
        juce::String version;   // "2.1.13" or "2.1.14p1"
        bool hasTail = false;   // 00 00 after F7
    };

    /** Bytes that are neither the message nor its payload: F0 04 dd 12 a b c p ... s F7. */
    static constexpr int overheadBytes = 10;
    static constexpr int tailBytes = 2;

    /** Makes an image of exactly totalSize bytes (the tail bytes included when withTail is true).
        Returns an empty block, with the reason in error, for an unusable version or a size too small. */
    static juce::MemoryBlock make (int family, const juce::String& versionText, juce::int64 totalSize,
                                   bool withTail, juce::String& error);

    /** Checks an image byte by byte; never reads outside the given bytes. */
    static Description inspect (const void* data, size_t size);
    static Description inspect (const juce::MemoryBlock& block) { return inspect (block.getData(), block.getSize()); }

    /** Splits "a.b.c" or "a.b.cpD" into its four bytes (p = 7F without "p"); false unless every part fits. */
    static bool versionBytes (const juce::String& versionText, juce::uint8 (&bytes)[4]);

private:
    FirmwareImage() = delete;
};
