#include "FirmwareImage.h"

namespace
{
    constexpr juce::uint8 sysexStart = 0xf0, sysexEnd = 0xf7, manufacturer = 0x04, imageCommand = 0x12;
    constexpr int headerBytes = 8; // F0 04 dd 12 a b c p

    bool parseNumber (const juce::String& text, int maximum, int& value)
    {
        if (text.isEmpty() || text.length() > 3 || ! text.containsOnly ("0123456789"))
            return false;

        value = text.getIntValue();
        return value <= maximum;
    }

    // A small generator, so that images of different versions differ and every build makes the same bytes.
    struct PayloadGenerator
    {
        explicit PayloadGenerator (juce::uint32 seed) : state (seed != 0 ? seed : 0x2545f491u) {}

        juce::uint8 next() noexcept
        {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            return (juce::uint8) ((state >> 24) & 0x7f);
        }

        juce::uint32 state;
    };
}

bool FirmwareImage::versionBytes (const juce::String& versionText, juce::uint8 (&bytes)[4])
{
    const auto text = versionText.trim();
    const auto main = text.upToFirstOccurrenceOf ("p", false, false);
    const auto parts = juce::StringArray::fromTokens (main, ".", {});

    if (parts.size() != 3 || main.endsWithChar ('.'))
        return false;

    int a = 0, b = 0, c = 0, p = 0x7f;

    if (! parseNumber (parts[0], 127, a) || ! parseNumber (parts[1], 99, b) || ! parseNumber (parts[2], 99, c))
        return false;

    if (text.containsChar ('p') && ! parseNumber (text.fromFirstOccurrenceOf ("p", false, false), 98, p))
        return false;

    bytes[0] = (juce::uint8) a;
    bytes[1] = (juce::uint8) b;
    bytes[2] = (juce::uint8) c;
    bytes[3] = (juce::uint8) p;
    return true;
}

juce::MemoryBlock FirmwareImage::make (int family, const juce::String& versionText, juce::int64 totalSize,
                                       bool withTail, juce::String& error)
{
    juce::uint8 version[4];

    if (! versionBytes (versionText, version))
    {
        error = "the version must read a.b.c or a.b.cpN (a up to 127, b and c up to 99, N up to 98): " + versionText;
        return {};
    }

    const auto messageSize = totalSize - (withTail ? tailBytes : 0);

    if (messageSize < overheadBytes || totalSize > std::numeric_limits<int>::max())
    {
        error = "the size must be between " + juce::String (overheadBytes + (withTail ? tailBytes : 0))
                + " and " + juce::String (std::numeric_limits<int>::max()) + " bytes";
        return {};
    }

    juce::MemoryBlock image ((size_t) totalSize, true);
    auto* bytes = static_cast<juce::uint8*> (image.getData());
    const auto familyBits = (juce::uint8) (family & 0x7f);

    bytes[0] = sysexStart;
    bytes[1] = manufacturer;
    bytes[2] = familyBits;
    bytes[3] = imageCommand;
    std::copy (std::begin (version), std::end (version), bytes + 4);

    PayloadGenerator generator ((juce::uint32) familyBits << 24 ^ (juce::uint32) version[0] << 16
                                ^ (juce::uint32) version[1] << 8 ^ (juce::uint32) version[2]
                                ^ (juce::uint32) version[3] * 0x9e3779b9u);

    const auto checksumIndex = (size_t) messageSize - 2;

    for (size_t i = (size_t) headerBytes; i < checksumIndex; ++i)
        bytes[i] = generator.next();

    unsigned int sum = 0;

    for (size_t i = 4; i < checksumIndex; ++i)
        sum += bytes[i];

    bytes[checksumIndex] = (juce::uint8) (sum & 0x7f);
    bytes[checksumIndex + 1] = sysexEnd;
    // The tail bytes stay 00, as the block was cleared.
    error.clear();
    return image;
}

FirmwareImage::Description FirmwareImage::inspect (const void* data, size_t size)
{
    Description result;
    const auto* bytes = static_cast<const juce::uint8*> (data);

    auto fail = [&result] (const juce::String& why)
    {
        result.valid = false;
        result.error = why;
        return result;
    };

    if (bytes == nullptr || size < (size_t) overheadBytes)
        return fail ("too short for an image");

    size_t messageSize = size;

    if (bytes[size - 1] != sysexEnd && size >= (size_t) (overheadBytes + tailBytes)
        && bytes[size - 1] == 0 && bytes[size - 2] == 0 && bytes[size - 3] == sysexEnd)
    {
        messageSize = size - tailBytes;
        result.hasTail = true;
    }

    if (bytes[0] != sysexStart || bytes[1] != manufacturer || bytes[3] != imageCommand)
        return fail ("does not begin F0 04 dd 12");

    if (bytes[messageSize - 1] != sysexEnd)
        return fail ("does not end F7");

    unsigned int sum = 0;

    for (size_t i = 4; i < messageSize - 2; ++i)
    {
        if (bytes[i] > 0x7f)
            return fail ("byte " + juce::String ((juce::int64) i) + " is not a 7-bit data byte");

        sum += bytes[i];
    }

    if (bytes[2] > 0x7f || bytes[messageSize - 2] > 0x7f)
        return fail ("family or checksum byte is not a 7-bit data byte");

    if ((sum & 0x7f) != bytes[messageSize - 2])
        return fail ("the checksum does not match");

    result.familyLowBits = bytes[2];
    result.version = juce::String (bytes[4]) + "." + juce::String (bytes[5]) + "." + juce::String (bytes[6]);

    if (bytes[7] != 0x7f)
        result.version << "p" << juce::String (bytes[7]);

    result.valid = true;
    return result;
}
