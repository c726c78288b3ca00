#include "SimFirmwareImage.h"

#include "../firmware/FirmwareImage.h"

#include <cstring>

juce::MemoryBlock SimFirmwareImage::create (int family, const SimVersion& version, int payloadBytes, bool withTail)
{
    const auto payload = (size_t) juce::jmax (0, payloadBytes);
    juce::MemoryBlock image (payload + overheadBytes + (withTail ? 2u : 0u), true);
    auto* bytes = static_cast<juce::uint8*> (image.getData());

    bytes[0] = 0xf0;
    bytes[1] = 0x04;
    bytes[2] = (juce::uint8) (family & 0x7f);
    bytes[3] = 0x12;
    bytes[4] = (juce::uint8) (version.major & 0x7f);
    bytes[5] = (juce::uint8) (version.minor & 0x7f);
    bytes[6] = (juce::uint8) (version.patch & 0x7f);
    bytes[7] = (juce::uint8) (version.pre < 0 ? 0x7f : (version.pre & 0x7f));

    for (size_t i = 0; i < payload; ++i)
        bytes[headerBytes + i] = (juce::uint8) ((i * 37 + (i >> 7) + 11) & 0x7f);

    unsigned sum = 0;

    for (size_t i = 4; i < headerBytes + payload; ++i)
        sum += bytes[i];

    bytes[headerBytes + payload] = (juce::uint8) (sum & 0x7f);
    bytes[headerBytes + payload + 1] = 0xf7;
    return image;
}

std::optional<SimFirmwareImage::Info> SimFirmwareImage::parse (const juce::uint8* data, size_t size)
{
    if (data == nullptr || size < (size_t) overheadBytes)
        return {};

    if (data[0] != 0xf0 || data[1] != 0x04 || data[3] != 0x12 || data[size - 1] != 0xf7)
        return {};

    unsigned sum = 0;

    for (size_t i = 4; i < size - 2; ++i)
    {
        if (data[i] > 0x7f)
            return {};

        sum += data[i];
    }

    if ((sum & 0x7f) != data[size - 2])
        return {};

    Info info;
    info.familyByte = data[2];
    info.version.major = data[4];
    info.version.minor = data[5];
    info.version.patch = data[6];
    info.version.pre = data[7] == 0x7f ? -1 : data[7];
    return info;
}

bool SimFirmwareImage::isIntact (const juce::uint8* data, size_t size)
{
    const auto info = parse (data, size);

    if (! info || size > (size_t) std::numeric_limits<int>::max())
        return false;

    auto sameBytes = [data, size] (const juce::MemoryBlock& made)
    {
        return made.getSize() == size && std::memcmp (made.getData(), data, size) == 0;
    };

    if (sameBytes (create (info->familyByte, info->version, (int) size - overheadBytes)))
        return true;

    juce::String error;
    return sameBytes (FirmwareImage::make (info->familyByte, info->version.toText(), (juce::int64) size, false, error));
}
