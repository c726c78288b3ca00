#include "MIDIPortsSelector.h"

#include "CandidateInquiry.h"
#include "DetectionResults.h"
#include "InquiryReplyDecoder.h"
#include "PollThread.h"
#include "PortAccess.h"
#include "PortOpener.h"
#include "../base/VersionNumber.h"
#include "../base/AppLog.h"

namespace
{
    const juce::String& autoName = ChosenInstrument::autoName;

    constexpr int inquiryWaitMs = 1000;
    constexpr int alternativeWaitMs = 500;
    constexpr int alternativeAttempts = 5;
    constexpr int panelQueryWaitMs = 1000;

    using PollThread::stopRequested;
    using PollThread::applicationIsQuitting;
    using PollThread::sleepUnlessStopped;
}

//==============================================================================
struct MIDIPortsSelector::Parts
{
    explicit Parts (MidiPortReceiver& receiver) : opener (access, receiver) {}

    PortAccess access;
    DetectionResults results;
    ChosenInstrument chosen { access };
    PortOpener opener;
    CandidateInquiry candidates { access, chosen, results, opener };
};

//==============================================================================
MIDIPortsSelector::MIDIPortsSelector() : parts (std::make_unique<Parts> (*this)) {}

MIDIPortsSelector::~MIDIPortsSelector() = default;

MIDIPortsSelector& MIDIPortsSelector::getInstance()
{
    static MIDIPortsSelector instance;
    return instance;
}

void MIDIPortsSelector::setPorts (std::shared_ptr<MidiPorts> newPorts)
{
    parts->access.setPorts (std::move (newPorts));
}

std::shared_ptr<MidiPorts> MIDIPortsSelector::getPorts() const
{
    return parts->access.getPorts();
}

void MIDIPortsSelector::restrictToOutput (const juce::String& identifier)
{
    parts->chosen.restrictToOutput (identifier);
}

PortLocks::Outcome MIDIPortsSelector::claimOutput (const juce::MidiDeviceInfo& output, juce::String& error)
{
    return parts->access.claimOutput (output, error);
}

bool MIDIPortsSelector::isFollowedInstrumentAmbiguous() const noexcept
{
    return parts->chosen.isAmbiguous();
}

juce::StringArray MIDIPortsSelector::getPortsHeldElsewhere() const
{
    return parts->access.getPortsHeldElsewhere();
}

void MIDIPortsSelector::releasePorts()
{
    parts->access.releasePorts();
}

void MIDIPortsSelector::closeIdlePorts()
{
    parts->access.closeIdlePorts();
}

bool MIDIPortsSelector::mayTalkTo (const juce::MidiDeviceInfo& output, bool scanning, bool candidate)
{
    if (! candidate)
        if (const auto only = parts->chosen.followedOutput (getPorts()->getOutputDevices()); only && only->identifier != output.identifier)
            return false;

    return parts->access.mayTalkTo (output, scanning, candidate);
}

bool MIDIPortsSelector::mayHearInput (const juce::MidiDeviceInfo& input, const juce::Array<juce::MidiDeviceInfo>& outputs)
{
    // Replies that another updater's instrument sends to it must not be taken for an answer here:
    // while an instrument is followed, only the inputs of its output are opened.
    if (const auto only = parts->chosen.followedOutput (outputs))
        return only->identifier.isNotEmpty() && getPorts()->belongTogether (input, *only);

    return parts->access.mayHearInput (input, outputs);
}

void MIDIPortsSelector::reset()
{
    parts->chosen.reset();
    parts->results.reset();
    parts->access.forgetToldPorts();
    releasePorts();
}

//==============================================================================
bool MIDIPortsSelector::selectAutoInput()
{
    parts->chosen.stopFollowingUnlessRestricted();
    parts->chosen.setInput (-1, autoName);
    return true;
}

bool MIDIPortsSelector::selectAutoOutput()
{
    parts->chosen.stopFollowingUnlessRestricted();
    parts->chosen.setOutput (-1, autoName);
    return true;
}

bool MIDIPortsSelector::selectInput (const juce::String& name)
{
    if (name == autoName)
        return selectAutoInput();

    const auto index = getPorts()->getInputNames().indexOf (name);

    if (index < 0)
        return false;

    parts->chosen.stopFollowingUnlessRestricted();
    parts->chosen.setInput (index, name);
    return true;
}

bool MIDIPortsSelector::selectOutput (const juce::String& name)
{
    if (name == autoName)
        return selectAutoOutput();

    const auto outputs = getPorts()->getOutputDevices();

    for (int index = 0; index < outputs.size(); ++index)
    {
        if (outputs[index].name == name)
        {
            parts->chosen.stopFollowingUnlessRestricted();
            parts->chosen.setOutput (index, name, outputs[index].identifier);
            return true;
        }
    }

    return false;
}

MIDIPortsSelector::PortChoice MIDIPortsSelector::getInputChoice() const     { return parts->chosen.getInput(); }
MIDIPortsSelector::PortChoice MIDIPortsSelector::getOutputChoice() const    { return parts->chosen.getOutput(); }
juce::String MIDIPortsSelector::getFirmwareVersion() const                  { return parts->results.getFirmwareVersion(); }
bool MIDIPortsSelector::isBootloaderMode() const noexcept                   { return parts->results.isBootloaderMode(); }
bool MIDIPortsSelector::isDeviceDetected() const noexcept                   { return parts->results.isDeviceDetected(); }
int MIDIPortsSelector::getPanelStatus() const                               { return parts->results.getPanelStatus(); }
void MIDIPortsSelector::setDeviceFamily (juce::uint16 family)               { parts->results.setDeviceFamily (family); }
juce::uint16 MIDIPortsSelector::getDeviceFamily() const                     { return parts->results.getDeviceFamily(); }

//==============================================================================
const juce::MidiMessage& MIDIPortsSelector::deviceInquiryRequest()
{
    return InquiryReplyDecoder::deviceInquiryRequest();
}

const juce::MidiMessage& MIDIPortsSelector::alternativeDeviceInquiryRequest()
{
    return InquiryReplyDecoder::alternativeDeviceInquiryRequest();
}

juce::MidiMessage MIDIPortsSelector::panelStateQuery (juce::uint16 family)
{
    return InquiryReplyDecoder::panelStateQuery (family);
}

//==============================================================================
void MIDIPortsSelector::handleIncomingMidiMessage (const juce::String& sourceName, const juce::MidiMessage& message)
{
    using Kind = InquiryReplyDecoder::Reply::Kind;
    auto& results = parts->results;
    const int family = results.getDeviceFamily();
    const auto reply = InquiryReplyDecoder::decode (family, message);

    switch (reply.kind)
    {
        case Kind::identity:
        {
            // The detection is published last in both identity rules: the engine thread acts on
            // it at once (an alternative inquiry opens the picked input), so it must never see it
            // together with an input not yet picked or the version of an earlier reply.
            parts->chosen.pickInput (sourceName);

            if (reply.familyKnown)
            {
                if (reply.versionRead)
                {
                    results.setFirmwareVersion (reply.version);
                    results.setBootloaderMode (reply.bootloader);
                }

                auto line = "DeviceID " + InquiryReplyDecoder::familyText (family) + " detected (firmware version : " + getFirmwareVersion();

                if (family == 11)
                    line << ", bootloader = " << (isBootloaderMode() ? "true" : "false");

                logLine (line + ")");
            }

            results.setDeviceDetected (true);
            break;
        }

        case Kind::bootloaderIdentity:
            results.setFirmwareVersion ({});
            results.setBootloaderMode (true);
            parts->chosen.pickInput (sourceName);
            results.setDeviceDetected (true);
            break;

        case Kind::alternative:
            results.setAlternativeReplyReceived (true);
            break;

        case Kind::panelStatus:
            results.setPanelStatus (reply.panelStatus);
            break;

        case Kind::none:
            break;
    }
}

//==============================================================================
PollingResult MIDIPortsSelector::inquireOnOutputs()
{
    const auto chosenOutput = getOutputName();

    if (chosenOutput != autoName)
        return sendDeviceInquiry (chosenOutput, inquiryWaitMs);

    // By position, not by name: two instruments of one model have outputs of one name.
    // A stop ends the loop as well as an answer does.
    const auto outputs = getPorts()->getOutputDevices();

    for (int position = 0; position < outputs.size(); ++position)
    {
        const auto result = inquireAt (outputs[position], position, inquiryWaitMs);

        if (result != PollingResult::NoDevice)
            return result;
    }

    return PollingResult::NoDevice;
}

PollingResult MIDIPortsSelector::scanForDevice (juce::uint16 family, bool checkPanelMode)
{
    parts->results.setDeviceFamily (family);
    parts->results.setDeviceDetected (false);

    auto result = PollingResult::NoDevice;
    std::vector<std::unique_ptr<MidiInputPort>> inputs;

    const auto chosenInput = getInputChoice();
    auto ports = getPorts();
    const auto outputDevices = ports->getOutputDevices();

    if (const auto sighting = parts->chosen.locate (outputDevices))
    {
        // An instrument that answered is followed wherever it goes (see FollowedInstrument),
        // rather than by the remembered position or name of its ports.
        result = scanFollowed (*sighting, outputDevices);
    }
    else if (chosenInput.name == autoName)
    {
        const auto inputDevices = ports->getInputDevices();

        for (int i = 0; i < inputDevices.size(); ++i)
        {
            if (stopRequested())
            {
                PortOpener::closeInputs (inputs);
                return PollingResult::Stopped;
            }

            if (! mayHearInput (inputDevices[i], outputDevices))
                continue;

            if (auto input = parts->opener.openInput (inputDevices[i]))
                inputs.push_back (std::move (input));
        }

        if (! inputs.empty())
            result = inquireOnOutputs();
    }
    else
    {
        const auto names = ports->getInputNames();
        auto position = names.indexOf (chosenInput.name);
        auto scannedName = chosenInput.name;

        if (family == 6 || family == 8)
        {
            // These instruments keep their port position across a reboot but may change its
            // name, so the remembered position wins, and the name becomes whatever is listed
            // there now: nothing, while the instrument is away. Unless the user has chosen
            // another input meanwhile.
            position = chosenInput.index;
            scannedName = names[position];
            parts->chosen.renameInputIfUnchanged (chosenInput, scannedName);
        }

        logLine ("Scanning MIDI input [" + scannedName + "]");

        if (stopRequested())
            return PollingResult::Stopped;

        if (auto input = parts->opener.openInputAt (position))
            inputs.push_back (std::move (input));

        result = inquireOnOutputs();
    }

    PortOpener::closeInputs (inputs);

    if (result == PollingResult::Stopped)
        return result;

    if (result == PollingResult::DeviceDetected && family == 12)
        result = runAlternativeInquiry (family, checkPanelMode);

    return result;
}

PollingResult MIDIPortsSelector::scanFollowed (const FollowedInstrument::Sighting& sighting,
                                               const juce::Array<juce::MidiDeviceInfo>& outputs)
{
    using Where = FollowedInstrument::Whereabouts;
    auto& chosen = parts->chosen;

    if (chosen.isAmbiguous() || sighting.where == Where::away)
    {
        if (! chosen.isAmbiguous())
            logLine (chosen.lastSeenOutput().name + " : not listed, no Device Inquiry Request sent");

        parts->results.forgetFirmwareVersion();

        // Asked nowhere, after the same wait as an unanswered request.
        return sleepUnlessStopped (inquiryWaitMs) ? PollingResult::NoDevice : PollingResult::Stopped;
    }

    if (sighting.where == Where::candidates)
        return parts->candidates.ask (sighting.candidates, outputs, inquiryWaitMs);

    auto ports = getPorts();
    const auto inputDevices = ports->getInputDevices();
    std::vector<std::unique_ptr<MidiInputPort>> inputs;

    if (getInputChoice().name == autoName)
    {
        // Not answered yet (vfu-update --port): every input of the instrument is heard, and the
        // one its answer arrives on is picked.
        for (int i = 0; i < inputDevices.size(); ++i)
        {
            if (stopRequested())
            {
                PortOpener::closeInputs (inputs);
                return PollingResult::Stopped;
            }

            if (ports->belongTogether (inputDevices[i], sighting.output))
                if (auto input = parts->opener.openInput (inputDevices[i]))
                    inputs.push_back (std::move (input));
        }
    }
    else
    {
        const auto position = chosen.inputBelongingTo (sighting.output, inputDevices);
        const auto name = position >= 0 ? inputDevices[position].name : juce::String();

        if (position >= 0)
            chosen.moveChosenInput (position, inputDevices);

        logLine ("Scanning MIDI input [" + name + "]");

        if (stopRequested())
            return PollingResult::Stopped;

        if (position >= 0)
            if (auto input = parts->opener.openInput (inputDevices[position]))
                inputs.push_back (std::move (input));
    }

    int outputAt = -1;

    for (int i = 0; i < outputs.size() && outputAt < 0; ++i)
        if (outputs[i].identifier == sighting.output.identifier && outputs[i].name == sighting.output.name)
            outputAt = i;

    const auto result = inquireAt (sighting.output, outputAt, inquiryWaitMs);
    PortOpener::closeInputs (inputs);
    return result;
}

PollingResult MIDIPortsSelector::runAlternativeInquiry (juce::uint16 family, bool checkPanelMode)
{
    if (stopRequested())
        return PollingResult::Stopped;

    std::vector<std::unique_ptr<MidiInputPort>> inputs;

    if (auto input = parts->opener.openInputAt (getInputIndex()))
        inputs.push_back (std::move (input));

    bool replied = false;

    for (int attempt = 0; attempt < alternativeAttempts && ! replied; ++attempt)
    {
        parts->results.setAlternativeReplyReceived (false);

        if (auto output = openSelectedOutput())
        {
            logLine (getOutputName() + " : send Alternative Device Inquiry Request...");
            PortAccess::logRefusal (getOutputName(), output->sendMessageNow (alternativeDeviceInquiryRequest()));
        }

        if (! sleepUnlessStopped (alternativeWaitMs))
        {
            PortOpener::closeInputs (inputs);
            return PollingResult::Stopped;
        }

        replied = parts->results.wasAlternativeReplyReceived();

        if (replied)
            parts->results.setBootloaderMode (false);
    }

    auto result = PollingResult::DeviceDetected;
    const auto familyText = InquiryReplyDecoder::familyText (family);

    if (replied)
    {
        logLine ("DeviceID " + familyText + " detected (bootloader = false)");

        if (checkPanelMode && parseVersionNumber (getFirmwareVersion()) >= parseVersionNumber ("1.1.0p0"))
        {
            const auto panel = queryPanelState();

            if (panel == PollingResult::Stopped && stopRequested())
            {
                PortOpener::closeInputs (inputs);
                return PollingResult::Stopped;
            }

            if (panel == PollingResult::PanelErased || panel == PollingResult::PanelFirmwareSending)
            {
                logLine ("DeviceID " + familyText + " detected (panel mode detected)");
                result = PollingResult::PanelModeDetected;
            }
        }
    }
    else
    {
        parts->results.setBootloaderMode (true);
        logLine ("DeviceID " + familyText + " detected (bootloader = true)");
        result = PollingResult::BootloaderDetected;
    }

    PortOpener::closeInputs (inputs);
    return result;
}

PollingResult MIDIPortsSelector::sendDeviceInquiry (const juce::String& name, int waitMs)
{
    const auto outputs = getPorts()->getOutputDevices();
    const auto chosen = getOutputChoice();
    int position = -1;

    // The chosen port by its identifier where known: another port may have the same name.
    const auto identifier = chosen.name == name ? chosen.identifier : juce::String();

    for (int i = 0; i < outputs.size() && position < 0; ++i)
        if (outputs[i].name == name && (identifier.isEmpty() || outputs[i].identifier == identifier))
            position = i;

    return inquireAt (position >= 0 ? outputs[position] : juce::MidiDeviceInfo (name, {}), position, waitMs);
}

PollingResult MIDIPortsSelector::inquireAt (const juce::MidiDeviceInfo& device, int position, int waitMs)
{
    const auto& name = device.name;

    if (stopRequested() || applicationIsQuitting())
        return PollingResult::Stopped;

    const bool scanning = getOutputName() == autoName;

    // A port another updater holds is not asked at all; a scan goes on to the next port at once,
    // a poll of the chosen port waits as after an unanswered request.
    if (position >= 0 && ! mayTalkTo (device, scanning))
        return scanning || sleepUnlessStopped (waitMs) ? PollingResult::NoDevice : PollingResult::Stopped;

    parts->chosen.setAsking (device);

    auto output = position >= 0 ? parts->opener.openOutput (device) : nullptr;
    const auto sent = output != nullptr ? output->sendMessageNow (deviceInquiryRequest()) : juce::Result::ok();

    logLine (name + " : send Device Inquiry Request...");

    // A request the system refused cannot be answered: whatever arrives meanwhile is no answer to it.
    PortAccess::logRefusal (name, sent);

    const auto family = getDeviceFamily();

    if ((family == 6 || family == 8) && position < 0)
        selectAutoOutput();

    if (! sleepUnlessStopped (waitMs))
        return PollingResult::Stopped;

    // An answer counts unless the user has chosen another output meanwhile.
    bool answered = sent.wasOk() && isDeviceDetected() && parts->chosen.wouldTake (name);

    if (! answered)
        parts->results.forgetFirmwareVersion();

    auto& access = parts->access;
    auto locks = access.getLocks();
    const auto key = position >= 0 ? access.lockKeyOf (device) : juce::String();

    if (answered && position >= 0 && ! locks->owns (key))
    {
        // Found by a scan: the port becomes this updater's, unless another one claimed it meanwhile.
        juce::String error;

        if (claimOutput (device, error) != PortLocks::Outcome::granted)
        {
            access.tellOnce (device.identifier, "MIDI output [" + name + "] (" + device.identifier + ") was taken by another updater", true);
            answered = false;
        }
    }

    if (! answered)
    {
        if (position >= 0 && scanning && ! locks->owns (key))
            locks->release (key);

        return PollingResult::NoDevice;
    }

    if (position >= 0)
    {
        locks->releaseAllBut (key);

        // From now on this instrument is followed through its restarts.
        parts->chosen.startFollowing (device, getPorts()->getOutputDevices());
        access.guardName (device);
    }

    // Unless the user has chosen another output since the answer was counted.
    parts->chosen.takeOutput (position, name, position >= 0 ? device.identifier : juce::String());

    return isBootloaderMode() ? PollingResult::BootloaderDetected : PollingResult::DeviceDetected;
}

namespace
{
    /** Where the chosen port stands in the list now: at its old position if it is still there,
        else wherever its name and identifier are; -1 when it is gone. */
    int currentPositionOf (const juce::Array<juce::MidiDeviceInfo>& list, const MIDIPortsSelector::PortChoice& choice)
    {
        const auto isChosen = [&choice] (const juce::MidiDeviceInfo& device)
        {
            return device.name == choice.name && (choice.identifier.isEmpty() || device.identifier == choice.identifier);
        };

        if (juce::isPositiveAndBelow (choice.index, list.size()) && isChosen (list.getReference (choice.index)))
            return choice.index;

        for (int i = 0; i < list.size(); ++i)
            if (isChosen (list.getReference (i)))
                return i;

        return -1;
    }
}

PollingResult MIDIPortsSelector::checkSelectedPorts()
{
    auto ports = getPorts();

    // A port plugged in while the followed instrument is here (during a transfer, say) is another
    // instrument: it is seen beside it now, and never taken for it when it restarts. Only lists
    // read wholly within one generation let the search be skipped while they stay the same.
    const auto listed = ports->getListsGeneration();
    const auto outputs = ports->getOutputDevices();
    parts->chosen.locate (outputs, ports->getListsGeneration() == listed ? listed : 0);

    const auto in = getInputChoice(), out = getOutputChoice();

    if (in.name == autoName || out.name == autoName)
        return PollingResult::NoDevice;

    // Found wherever they stand now: another device's ports that come or go before them in the
    // lists move them, which is no reason to take them for gone.
    const auto inputAt = currentPositionOf (ports->getInputDevices(), in);
    const auto outputAt = currentPositionOf (outputs, out);

    if (inputAt < 0 || outputAt < 0)
        return PollingResult::NoDevice;

    // The positions follow the ports, unless the user has chosen others meanwhile.
    parts->chosen.followPositions (in, inputAt, out, outputAt);
    return PollingResult::DeviceDetected;
}

PollingResult MIDIPortsSelector::queryPanelState()
{
    const auto query = panelStateQuery (getDeviceFamily());

    std::vector<std::unique_ptr<MidiInputPort>> inputs;

    if (auto input = parts->opener.openInputAt (getInputIndex()))
        inputs.push_back (std::move (input));

    if (auto output = openSelectedOutput())
        PortAccess::logRefusal (getOutputName(), output->sendMessageNow (query));

    if (! sleepUnlessStopped (panelQueryWaitMs))
    {
        PortOpener::closeInputs (inputs);
        return PollingResult::Stopped;
    }

    PortOpener::closeInputs (inputs);
    return (PollingResult) getPanelStatus();
}

std::unique_ptr<MidiOutputPort> MIDIPortsSelector::openSelectedOutput()
{
    const auto outputs = getPorts()->getOutputDevices();
    const auto only = parts->chosen.followedOutput (outputs);
    const auto chosen = getOutputChoice();

    // While a followed instrument is away (or cannot be told from another), nothing is opened.
    if (only && only->identifier.isEmpty())
        return nullptr;

    const auto identifier = only ? only->identifier : chosen.identifier;
    int position = -1;

    for (int i = 0; i < outputs.size() && position < 0; ++i)
        if (outputs[i].name == chosen.name && (identifier.isEmpty() || outputs[i].identifier == identifier))
            position = i;

    if (position < 0 || stopRequested())
        return nullptr;

    // Whatever is sent here (an erase, an image) goes only to a port this updater holds.
    if (! mayTalkTo (outputs[position], false))
        return nullptr;

    return parts->opener.openOutput (outputs[position]);
}
