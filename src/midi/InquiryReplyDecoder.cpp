#include "InquiryReplyDecoder.h"

#include "../definitions/PollingResult.h"

namespace
{
    constexpr juce::uint8 manufacturerId = 0x04;

    juce::MidiMessage sysexOf (std::initializer_list<juce::uint8> data)
    {
        return juce::MidiMessage::createSysExMessage (data.begin(), (int) data.size());
    }
}

const juce::MidiMessage& InquiryReplyDecoder::deviceInquiryRequest()
{
    static const auto message = sysexOf ({ 0x7e, 0x7f, 0x06, 0x01 });
    return message;
}

const juce::MidiMessage& InquiryReplyDecoder::alternativeDeviceInquiryRequest()
{
    static const auto message = sysexOf ({ manufacturerId, 0x0c, 0x16, 0x01 });
    return message;
}

juce::MidiMessage InquiryReplyDecoder::panelStateQuery (juce::uint16 family)
{
    juce::uint8 data[15] = {};
    data[0] = manufacturerId;
    data[1] = (juce::uint8) (family & 0x7f);
    data[2] = 0x31;
    return juce::MidiMessage::createSysExMessage (data, (int) sizeof (data));
}

juce::String InquiryReplyDecoder::familyText (int family)
{
    return juce::String::toHexString (family & 0xffff).toUpperCase().paddedLeft ('0', 4);
}

InquiryReplyDecoder::Reply InquiryReplyDecoder::decode (int family, const juce::MidiMessage& message)
{
    Reply reply;

    if (! message.isSysEx())
        return reply;

    const auto* data = message.getSysExData();
    const auto size = juce::jmax (0, message.getSysExDataSize());

    // Every rule reads only bytes it has checked are there; a shorter message does not match it.
    auto startsWith = [data, size] (std::initializer_list<int> prefix)
    {
        if (size < (int) prefix.size())
            return false;

        int i = 0;

        for (auto byte : prefix)
            if (data[i++] != byte)
                return false;

        return true;
    };

    // Before the first poll the family is all ones, which no identity reply may match.
    const bool identityHeader = family != 0xffff && startsWith ({ 0x7e, 0x7f, 0x06, 0x02, manufacturerId, (family >> 8) & 0xff });

    if (identityHeader && size >= 13 && data[6] == (family & 0x7f))
    {
        reply.kind = Reply::Kind::identity;
        readVersion (family, data, reply);
        return reply;
    }

    if (startsWith ({ manufacturerId, 0x0c, 0x16 }))
    {
        reply.kind = Reply::Kind::alternative;
        return reply;
    }

    if (startsWith ({ manufacturerId, 0x0c, 0x31, 0x01 }) && size >= 5)
    {
        static constexpr int statusFor[] = { (int) PollingResult::PanelNoUpdate,
                                             (int) PollingResult::PanelErased,
                                             (int) PollingResult::PanelFirmwareSending,
                                             (int) PollingResult::PanelFirmwareSucceeded,
                                             (int) PollingResult::PanelNoUpdate,
                                             (int) PollingResult::PanelUpdateFailed };

        // A status beyond the table is a panel reply all the same, which changes nothing.
        if (data[4] < std::size (statusFor))
        {
            reply.kind = Reply::Kind::panelStatus;
            reply.panelStatus = statusFor[data[4]];
        }

        return reply;
    }

    if (family == 8 && identityHeader && size >= 7 && data[6] == 0x0f)
        reply.kind = Reply::Kind::bootloaderIdentity;

    return reply;
}

void InquiryReplyDecoder::readVersion (int family, const juce::uint8* data, Reply& reply)
{
    auto text3 = [] (int a, int b, int c) { return juce::String (a) + "." + juce::String (b) + "." + juce::String (c); };

    const bool applicationModel = data[7] == 0 && data[8] == 0;
    reply.familyKnown = true;

    switch (family)
    {
        case 6:
            if (applicationModel)
            {
                const int u = data[12] * 128 + data[11];
                reply.version = u <= 1000 ? text3 (u / 100, (u / 10) % 10, u % 10)
                                          : text3 (u / 1000, (u / 100) % 10, u % 100);
                reply.versionRead = true;

                if (data[11] == 0x48 && data[12] == 0x01)
                {
                    reply.version = {};
                    reply.bootloader = true;
                }
            }
            break;

        case 8:
            if (applicationModel)
            {
                const int v = data[10] * 128 + data[9];
                reply.version = text3 (v / 100, (v / 10) % 10, v % 10);
                reply.versionRead = true;
            }
            break;

        case 11:
            if ((data[7] == 0 && data[8] == 1)
                || (applicationModel && data[9] == 0 && data[10] == 0 && data[11] == 0x64 && data[12] == 0))
            {
                reply.bootloader = true;
                reply.versionRead = true;
            }
            else if (applicationModel)
            {
                if (data[9] != 0)
                    reply.version = text3 (data[10], data[11], data[12]) + "p" + juce::String (data[9]);
                else if (data[10] == 0 && data[11] == 0x3f)
                    reply.version = "1.0." + juce::String (data[12]);
                else
                    reply.version = text3 (data[10], data[11], data[12]);

                reply.versionRead = true;
            }
            break;

        case 12:
            if (applicationModel)
            {
                if (data[9] != 0)
                    reply.version = text3 (data[10], data[11], data[12]) + "p" + juce::String (data[9]);
                else if (data[10] == 0 && data[12] == 0x3f)
                    reply.version = "1.0." + juce::String (data[11]);
                else
                    reply.version = text3 (data[10], data[11], data[12]);

                reply.versionRead = true;
            }
            break;

        default:
            reply.familyKnown = false;
            break;
    }
}
