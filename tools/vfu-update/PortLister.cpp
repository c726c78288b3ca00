#include "PortLister.h"

#include "midi/MIDIPortsSelector.h"

namespace
{
    constexpr int answerWaitMs = 1000;      // as long as the engine waits after an identity request
    constexpr int moreAnswersWaitMs = 200;  // after the first answer, for others on the same output
    constexpr int maxRepliesKept = 64;      // a chattering port must not grow the list without end

    // Dorrick bootloaders answer with family 000F in place of 0008.
    constexpr int bootloaderFamilyCode = 0x000f, dorrickFamily = 0x0008;

    juce::String familyText (int family)
    {
        return juce::String::toHexString (family & 0xffff).toUpperCase().paddedLeft ('0', 4);
    }
}

PortLister::PortLister (std::shared_ptr<MidiPorts> portsToUse, const juce::String& definitionsText)
    : ports (std::move (portsToUse))
{
    if (auto root = juce::parseXML (definitionsText))
        for (auto* updater : root->getChildWithTagNameIterator ("FirmwareUpdater"))
        {
            const auto id = updater->getStringAttribute ("MIDIDeviceID");

            if (id.length() == 4 && id.containsOnly ("0123456789ABCDEF"))
                deviceNames.emplace (id.getHexValue32(), updater->getStringAttribute ("deviceName"));
        }
}

PortLister::~PortLister() = default;

void PortLister::handleIncomingMidiMessage (const juce::String& sourceName, const juce::MidiMessage& message)
{
    if (! message.isSysEx())
        return;

    {
        const juce::ScopedLock sl (lock);

        if ((int) replies.size() < maxRepliesKept)
            replies.push_back ({ sourceName, message });
    }

    replyArrived.signal();
}

std::vector<PortLister::Reply> PortLister::takeReplies()
{
    const juce::ScopedLock sl (lock);
    auto taken = std::move (replies);
    replies.clear();
    return taken;
}

juce::String PortLister::describeReply (const juce::String& inputName, const juce::MidiMessage& reply) const
{
    const auto* data = reply.getSysExData();
    const auto size = reply.getSysExDataSize();

    // Universal non-real-time identity reply: 7E <channel> 06 02 <manufacturer> <family MSB> <family LSB> ...
    if (data == nullptr || size < 7 || data[0] != 0x7e || data[2] != 0x06 || data[3] != 0x02)
        return {};

    auto family = data[5] * 256 + data[6];

    if (family == bootloaderFamilyCode)
        family = dorrickFamily;

    // The selector's own decoder reads the version, so that the list agrees with the updater.
    MIDIPortsSelector decoder;
    decoder.setPorts (ports);
    decoder.setDeviceFamily ((juce::uint16) family);
    decoder.handleIncomingMidiMessage (inputName, reply);

    const auto known = deviceNames.find (family);
    auto text = (known != deviceNames.end() ? known->second : juce::String ("unknown device"))
              + " (family " + familyText (family) + ")";

    if (! decoder.isDeviceDetected())
        return text + ", reply not understood";

    if (decoder.isBootloaderMode())
        return text + ", bootloader";

    return text + ", firmware " + decoder.getFirmwareVersion();
}

juce::String PortLister::describe()
{
    const auto inputNames = ports->getInputNames();
    const auto outputNames = ports->getOutputNames();
    juce::String text;

    text << "MIDI inputs:\n";

    if (inputNames.isEmpty())
        text << "  (none)\n";

    for (int i = 0; i < inputNames.size(); ++i)
        text << "  " << i << "  " << inputNames[i] << "\n";

    std::vector<std::unique_ptr<MidiInputPort>> inputs;

    for (int i = 0; i < inputNames.size(); ++i)
        if (auto input = ports->openInput (i, *this))
        {
            input->start();
            inputs.push_back (std::move (input));
        }

    text << "MIDI outputs:\n";

    if (outputNames.isEmpty())
        text << "  (none)\n";

    for (int i = 0; i < outputNames.size(); ++i)
    {
        text << "  " << i << "  " << outputNames[i] << ": ";
        takeReplies();
        replyArrived.reset();

        if (auto output = ports->openOutput (i))
        {
            const auto sent = output->sendMessageNow (MIDIPortsSelector::deviceInquiryRequest());

            if (sent.failed())
            {
                text << "the request was refused: " << sent.getErrorMessage() << "\n";
                continue;
            }

            if (replyArrived.wait (answerWaitMs))
                juce::Thread::sleep (moreAnswersWaitMs);
        }
        else
        {
            text << "cannot be opened\n";
            continue;
        }

        juce::StringArray answers;

        for (auto& reply : takeReplies())
        {
            const auto description = describeReply (reply.inputName, reply.message);

            if (description.isNotEmpty())
                answers.addIfNotAlreadyThere (description + " on input " + reply.inputName);
        }

        text << (answers.isEmpty() ? juce::String ("no answer") : answers.joinIntoString ("; ")) << "\n";
    }

    for (auto& input : inputs)
        input->stop();

    return text;
}
