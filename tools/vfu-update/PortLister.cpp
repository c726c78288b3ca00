#include "PortLister.h"
#include "JsonLine.h"

#include "base/OutsideText.h"

#include "base/NameGuard.h"
#include "midi/MIDIPortsSelector.h"

namespace
{
    constexpr int answerWaitMs = 1000;      // as long as the engine waits after an identity request
    constexpr int moreAnswersWaitMs = 200;  // after the first answer, for others on the same output
    constexpr int maxRepliesKept = 64;      // a chattering port must not grow the list without end

    // Dorrick bootloaders answer with family 000F in place of 0008.
    constexpr int bootloaderFamilyCode = 0x000f, dorrickFamily = 0x0008;

    // A port name with a line break or an escape sequence must not fake a line of the list or
    // steer the terminal.
    juce::String escaped (const juce::String& text)
    {
        return OutsideText::withControlsEscaped (text);
    }

    juce::String familyText (int family)
    {
        return juce::String::toHexString (family & 0xffff).toUpperCase().paddedLeft ('0', 4);
    }
}

PortLister::PortLister (std::shared_ptr<MidiPorts> portsToUse, const juce::String& definitionsText)
    : ports (std::move (portsToUse)), locks (ports->areSharedWithOtherPrograms())
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

std::vector<PortLister::Output> PortLister::survey (juce::Array<juce::MidiDeviceInfo>& inputDevices)
{
    inputDevices = ports->getInputDevices();
    const auto outputDevices = ports->getOutputDevices();
    std::vector<Output> outputs;

    // Held first, before any input is opened: an instrument that another updater holds is
    // neither asked nor listened to, so its answers to that updater are not taken for answers here.
    for (auto& device : outputDevices)
    {
        Output output { device, false, {}, {}, {}, {} };
        output.location = ports->locationOf (device);
        output.lockKey = FollowedInstrument::lockKeyFor (device, ports->placeOf (device));
        juce::String error;
        const auto outcome = locks.ask (output.lockKey, error);
        output.held = outcome == PortLocks::Outcome::held;

        // An instrument of this name being updated elsewhere may be this one, back from a restart.
        if (locks.isEnabled() && ports->placeOf (device).isEmpty() && NameGuard::isHeldElsewhere (device.name))
            output.held = true;

        if (outcome == PortLocks::Outcome::failed)
            output.error = "cannot be locked (" + error + ")";

        // Taken again just before it is asked: a port is held only while it is asked.
        locks.release (output.lockKey);

        outputs.push_back (output);
    }

    for (size_t i = 0; i < outputs.size(); ++i)
    {
        auto& output = outputs[i];

        if (output.held || output.error.isNotEmpty())
            continue;

        if (stopCheck != nullptr && stopCheck())
            break;

        juce::String error;
        const auto outcome = locks.ask (output.lockKey, error);

        // A lock folder that cannot hold locks keeps nobody apart: the port is asked without one.
        if (outcome != PortLocks::Outcome::granted && outcome != PortLocks::Outcome::unavailable)
        {
            output.held = outcome == PortLocks::Outcome::held;
            output.error = output.held ? juce::String() : "cannot be locked (" + error + ")";
            continue;
        }

        // Only the output's own inputs are heard while it is asked, and none that belongs with an
        // output another updater holds: a reply counts only for the port it answers.
        std::vector<std::unique_ptr<MidiInputPort>> inputs;

        for (int in = 0; in < inputDevices.size(); ++in)
        {
            bool heard = ports->belongTogether (inputDevices[in], output.device);

            for (auto& other : outputs)
                heard = heard && ! (other.held && ports->belongTogether (inputDevices[in], other.device));

            if (heard)
            {
                if (auto input = ports->openInputDevice (inputDevices[in], *this))
                {
                    input->start();
                    inputs.push_back (std::move (input));
                }
            }
        }

        takeReplies();
        replyArrived.reset();

        if (auto port = ports->openOutputDevice (output.device))
        {
            const auto sent = port->sendMessageNow (MIDIPortsSelector::deviceInquiryRequest());

            if (sent.failed())
                output.error = "the request was refused: " + sent.getErrorMessage();
            else if (replyArrived.wait (answerWaitMs))
                juce::Thread::sleep (moreAnswersWaitMs);
        }
        else
        {
            output.error = "cannot be opened";
        }

        for (auto& input : inputs)
            input->stop();

        inputs.clear();

        // Asked: the port is free for others again.
        locks.release (output.lockKey);

        for (auto& reply : takeReplies())
        {
            const auto description = describeReply (reply.inputName, reply.message);

            if (description.isNotEmpty())
                output.answers.addIfNotAlreadyThere (description + " on input " + reply.inputName);
        }
    }

    return outputs;
}

juce::String PortLister::describe()
{
    juce::Array<juce::MidiDeviceInfo> inputs;
    const auto outputs = survey (inputs);
    juce::String text;

    text << "MIDI inputs:\n";

    if (inputs.isEmpty())
        text << "  (none)\n";

    for (auto& input : inputs)
        text << "  " << escaped (input.identifier) << "  " << escaped (input.name) << "\n";

    text << "MIDI outputs:\n";

    if (outputs.empty())
        text << "  (none)\n";

    for (auto& output : outputs)
    {
        text << "  " << escaped (output.device.identifier) << "  " << escaped (output.device.name)
             << (output.location.isNotEmpty() ? "  (" + escaped (output.location) + ")" : juce::String()) << ": ";

        if (output.held)
            text << "held by another updater (not asked)\n";
        else if (output.error.isNotEmpty())
            text << output.error << "\n";
        else
            text << (output.answers.isEmpty() ? juce::String ("no answer") : escaped (output.answers.joinIntoString ("; "))) << "\n";
    }

    return text;
}

juce::String PortLister::describeAsJson()
{
    juce::Array<juce::MidiDeviceInfo> inputs;
    juce::String text;

    for (auto& output : survey (inputs))
    {
        auto* object = new juce::DynamicObject();
        object->setProperty ("event", "port");
        object->setProperty ("port", output.device.identifier);
        object->setProperty ("name", output.device.name);
        object->setProperty ("location", output.location.isEmpty() ? juce::var() : juce::var (output.location));
        object->setProperty ("held", output.held);
        object->setProperty ("error", output.error.isEmpty() ? juce::var() : juce::var (output.error));

        juce::Array<juce::var> answers;

        for (auto& answer : output.answers)
            answers.add (answer);

        object->setProperty ("answers", answers);
        text << JsonLine::format (juce::var (object)) << "\n";
    }

    return text;
}
