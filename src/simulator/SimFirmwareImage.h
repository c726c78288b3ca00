#pragma once

#include "SimVersion.h"

/** The simulated firmware image format, shared by the simulator, the tests and the package tools:
    one SysEx message F0 04 dd 12 a b c p <payload> s F7, where dd is the family's low seven bits,
    a.b.c the version, p the number after "p" (7F without one), the payload deterministic 7-bit
    bytes and s the low seven bits of the sum of every byte from a to the end of the payload.
    An image for a device whose sender leaves two tail bytes unsent has 00 00 after the F7.
*/
struct SimFirmwareImage
{
    static constexpr int headerBytes = 8; // F0 04 dd 12 a b c p
    static constexpr int overheadBytes = headerBytes + 2;

    /** An image with payloadBytes of payload (the whole image is payloadBytes + 10 bytes, + 2 with a tail). */
    static juce::MemoryBlock create (int family, const SimVersion& version, int payloadBytes, bool withTail = false);

    struct Info
    {
        int familyByte = 0;
        SimVersion version;
    };

    /** Checks one complete SysEx message (F0 ... F7) against the format, the checksum included. */
    static std::optional<Info> parse (const juce::uint8* data, size_t size);

    /** True when the message (already parsed) carries exactly the payload that one of the format's
        generators makes for its header and size: this one's or the package tools'
        (FirmwareImage::make). A bootloader checks its image more strongly than a seven-bit sum
        can: an image that lost a stretch of bytes on the way passes that sum once in 128 times,
        but never this. */
    static bool isIntact (const juce::uint8* data, size_t size);
};
