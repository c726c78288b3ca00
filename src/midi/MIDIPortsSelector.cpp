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
    for (auto& port : getPorts()->getOutputDevices())
    {
        if (port.identifier == identifier)
        {
            parts->access.follow (port, true);
            return;
        }
    }
}

void MIDIPortsSelector::beginUpdate()
{
    auto& access = parts->access;

    if (access.isFollowing())
        return;

    const auto chosen = getOutputChoice();

    for (auto& port : getPorts()->getOutputDevices())
    {
        if (port.name == chosen.name && (chosen.identifier.isEmpty() || port.identifier == chosen.identifier))
        {
            access.follow (port, false);
            logLine ("The update begins on MIDI output [" + port.name + "] (" + port.identifier
                     + "): only its instrument is talked to until the update ends");
            return;
        }
    }
}

void MIDIPortsSelector::endUpdate()
{
    auto& access = parts->access;

    if (! access.isFollowing() || access.isRestricted())
        return;

    access.stopFollowing();
    logLine ("The update has ended: every MIDI output may be asked again");
}

void MIDIPortsSelector::setImageIncomplete (bool incomplete)
{
    parts->access.setImageIncomplete (incomplete);
}

PortLocks::Outcome MIDIPortsSelector::claimOutput (const juce::MidiDeviceInfo& output, juce::String& error)
{
    return parts->access.claimOutput (output, error);
}

bool MIDIPortsSelector::isFollowedInstrumentAmbiguous() const noexcept
{
    return parts->access.isAmbiguous();
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

void MIDIPortsSelector::reset()
{
    parts->chosen.reset();
    parts->results.reset();
    parts->access.reset();
}

//==============================================================================
bool MIDIPortsSelector::selectAutoInput()
{
    parts->chosen.setInput (-1, autoName);
    return true;
}

bool MIDIPortsSelector::selectAutoOutput()
{
    parts->chosen.setOutput (-1, autoName);
    return true;
}

bool MIDIPortsSelector::selectInput (const juce::String& name)
{
    return selectByUser (name, getPorts()->getInputDevices(), getInputName(),
                         [this] (int index, const juce::MidiDeviceInfo& port) { parts->chosen.setInput (index, port.name, port.identifier); });
}

bool MIDIPortsSelector::selectOutput (const juce::String& name)
{
    return selectByUser (name, getPorts()->getOutputDevices(), getOutputName(),
                         [this] (int index, const juce::MidiDeviceInfo& port) { parts->chosen.setOutput (index, port.name, port.identifier); });
}

bool MIDIPortsSelector::selectByUser (const juce::String& name, const juce::Array<juce::MidiDeviceInfo>& ports,
                                      const juce::String& chosenBefore, const std::function<void (int, const juce::MidiDeviceInfo&)>& choose)
{
    int index = -1;

    for (int i = 0; i < ports.size() && index < 0; ++i)
        if (ports.getReference (i).name == name)
            index = i;

    if (name != autoName && index < 0)
        return false;

    // The user's choice ends an update, and the instrument chosen before is left to other updaters.
    if (name != chosenBefore)
        letGoOfPreviousChoice();

    choose (index, index >= 0 ? ports[index] : juce::MidiDeviceInfo (autoName, {}));
    return true;
}

void MIDIPortsSelector::letGoOfPreviousChoice()
{
    auto& access = parts->access;

    if (access.isRestricted())
        return;

    access.stopFollowing();
    access.releasePorts();
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

std::optional<FollowedInstrument::Sighting> MIDIPortsSelector::locateFollowed (const juce::Array<juce::MidiDeviceInfo>& outputs,
                                                                               std::uint64_t listsGeneration)
{
    const auto sighting = parts->access.locate (outputs, listsGeneration);

    if (! sighting)
        return std::nullopt;

    if (sighting->movedFrom.identifier.isNotEmpty())
        parts->chosen.moveTo (sighting->output, outputs, getPorts()->getInputDevices());

    return *sighting;
}

std::vector<std::unique_ptr<MidiInputPort>> MIDIPortsSelector::openInputsOf (const juce::MidiDeviceInfo& output,
                                                                             const juce::Array<juce::MidiDeviceInfo>& outputs)
{
    std::vector<std::unique_ptr<MidiInputPort>> inputs;

    for (auto& input : getPorts()->getInputDevices())
    {
        if (stopRequested())
            break;

        if (parts->access.mayHearInput (input, output, outputs))
            if (auto opened = parts->opener.openInput (input))
                inputs.push_back (std::move (opened));
    }

    return inputs;
}

PollingResult MIDIPortsSelector::inquireOnOutputs (bool hearEachOutputsInputs)
{
    const auto chosenOutput = getOutputName();

    if (chosenOutput != autoName)
    {
        const auto outputs = getPorts()->getOutputDevices();
        const auto position = currentPositionOf (outputs, getOutputChoice());
        return inquireAt (position >= 0 ? outputs[position] : juce::MidiDeviceInfo (chosenOutput, {}), position,
                          inquiryWaitMs, hearEachOutputsInputs);
    }

    // By position, not by name: two instruments of one model have outputs of one name.
    // A stop ends the loop as well as an answer does.
    const auto outputs = getPorts()->getOutputDevices();

    for (int position = 0; position < outputs.size(); ++position)
    {
        const auto result = inquireAt (outputs[position], position, inquiryWaitMs, hearEachOutputsInputs);

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
    const auto chosenInput = getInputChoice();
    auto ports = getPorts();
    const auto outputDevices = ports->getOutputDevices();

    if (const auto sighting = locateFollowed (outputDevices))
    {
        // The instrument being updated is followed wherever it goes (see FollowedInstrument),
        // rather than by the remembered position or name of its ports.
        result = scanFollowed (*sighting, outputDevices);
    }
    else if (chosenInput.name == autoName)
    {
        // Each output is asked with only its own inputs open: a reply counts for the port it answers.
        result = inquireOnOutputs (true);
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

        std::vector<std::unique_ptr<MidiInputPort>> inputs;

        if (auto input = parts->opener.openInputAt (position))
            inputs.push_back (std::move (input));

        result = inquireOnOutputs (false);
        PortOpener::closeInputs (inputs);
    }

    if (result == PollingResult::Stopped)
        return result;

    if (result == PollingResult::DeviceDetected && family == 12)
        result = runAlternativeInquiry (family, checkPanelMode);

    // An instrument erased and not yet sent its whole image runs no firmware: an answer from running
    // firmware is another instrument's.
    if (result == PollingResult::DeviceDetected && ! parts->access.mayBeTheUpdatedInstrument ({ getOutputName(), getOutputChoice().identifier }, false))
    {
        parts->results.forgetFirmwareVersion();
        result = PollingResult::NoDevice;
    }

    return result;
}

PollingResult MIDIPortsSelector::scanFollowed (const FollowedInstrument::Sighting& sighting,
                                               const juce::Array<juce::MidiDeviceInfo>& outputs)
{
    using Where = FollowedInstrument::Whereabouts;

    if (sighting.where == Where::away)
    {
        logLine (parts->access.lastSeenOutput().name + " : not listed, no Device Inquiry Request sent");
        parts->results.forgetFirmwareVersion();

        // Asked nowhere, after the same wait as an unanswered request.
        return sleepUnlessStopped (inquiryWaitMs) ? PollingResult::NoDevice : PollingResult::Stopped;
    }

    if (sighting.where == Where::candidates)
        return parts->candidates.ask (sighting.candidates, outputs, inquiryWaitMs);

    std::vector<std::unique_ptr<MidiInputPort>> inputs;
    auto& chosen = parts->chosen;

    if (getInputChoice().name == autoName)
    {
        // Not answered yet (vfu-update --port), or after a scan of all ports: every input of the
        // instrument is heard, and the one its answer arrives on is picked.
        inputs = openInputsOf (sighting.output, outputs);
    }
    else
    {
        const auto inputDevices = getPorts()->getInputDevices();
        const auto position = chosen.inputBelongingTo (sighting.output, inputDevices);
        const auto name = position >= 0 ? inputDevices[position].name : juce::String();

        if (position >= 0)
            chosen.setInput (position, name, inputDevices[position].identifier);

        logLine ("Scanning MIDI input [" + name + "]");

        if (position >= 0 && ! stopRequested())
            if (auto input = parts->opener.openInput (inputDevices[position]))
                inputs.push_back (std::move (input));
    }

    if (stopRequested())
    {
        PortOpener::closeInputs (inputs);
        return PollingResult::Stopped;
    }

    const auto result = inquireAt (sighting.output, outputs.indexOf (sighting.output), inquiryWaitMs, false);
    PortOpener::closeInputs (inputs);
    return result;
}

std::unique_ptr<MidiInputPort> MIDIPortsSelector::openChosenInput()
{
    // By identity, not by a position read earlier: another port may stand there by now.
    const auto inputs = getPorts()->getInputDevices();
    const auto position = currentPositionOf (inputs, getInputChoice());
    return position >= 0 ? parts->opener.openInput (inputs[position]) : nullptr;
}

PollingResult MIDIPortsSelector::runAlternativeInquiry (juce::uint16 family, bool checkPanelMode)
{
    if (stopRequested())
        return PollingResult::Stopped;

    std::vector<std::unique_ptr<MidiInputPort>> inputs;

    if (auto input = openChosenInput())
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

    // The chosen port by its identifier where known: another port may have the same name.
    const auto position = currentPositionOf (outputs, { -1, name, chosen.name == name ? chosen.identifier : juce::String() });

    return inquireAt (position >= 0 ? outputs[position] : juce::MidiDeviceInfo (name, {}), position, waitMs, false);
}

PollingResult MIDIPortsSelector::inquireAt (const juce::MidiDeviceInfo& device, int position, int waitMs, bool hearItsInputs)
{
    const auto& name = device.name;

    if (stopRequested() || applicationIsQuitting())
        return PollingResult::Stopped;

    auto& access = parts->access;
    const bool scanning = getOutputName() == autoName;

    // A port another updater holds is not asked at all; a scan goes on to the next port at once,
    // a poll of the chosen port waits as after an unanswered request.
    if (position >= 0 && ! access.mayTalkTo (device, scanning ? PortAccess::Use::scan : PortAccess::Use::command))
        return scanning || sleepUnlessStopped (waitMs) ? PollingResult::NoDevice : PollingResult::Stopped;

    std::vector<std::unique_ptr<MidiInputPort>> inputs;

    if (hearItsInputs && position >= 0)
    {
        inputs = openInputsOf (device, getPorts()->getOutputDevices());

        // Nothing could carry its answer: it is not asked.
        if (inputs.empty())
        {
            access.endAsking (device);
            return stopRequested() ? PollingResult::Stopped : PollingResult::NoDevice;
        }
    }

    // What arrived before this request was no answer to it.
    parts->results.setDeviceDetected (false);
    parts->chosen.setAsking (device);

    // An output that is listed but cannot be opened sent nothing: no answer can count for it.
    auto output = position >= 0 ? parts->opener.openOutput (device) : nullptr;
    const auto sent = output != nullptr ? output->sendMessageNow (deviceInquiryRequest())
                    : position >= 0 ? juce::Result::fail ("the port cannot be opened") : juce::Result::ok();
    output.reset();

    logLine (name + " : send Device Inquiry Request...");

    // A request the system refused cannot be answered: whatever arrives meanwhile is no answer to it.
    PortAccess::logRefusal (name, sent);

    const auto family = getDeviceFamily();

    if ((family == 6 || family == 8) && position < 0)
        selectAutoOutput();

    const bool waited = sleepUnlessStopped (waitMs);
    PortOpener::closeInputs (inputs);

    if (! waited)
    {
        if (position >= 0 && scanning)
            access.endAsking (device);

        return PollingResult::Stopped;
    }

    // An answer counts unless the user has chosen another output meanwhile.
    bool answered = sent.wasOk() && isDeviceDetected() && parts->chosen.wouldTake (name);

    if (answered && position >= 0)
    {
        // Found by a scan: the port becomes this updater's, unless another one claimed it meanwhile.
        juce::String error;

        if (const auto claimed = access.claimOutput (device, error); claimed != PortLocks::Outcome::granted)
        {
            if (claimed == PortLocks::Outcome::held)
                access.tellOnce (device.identifier, "MIDI output [" + name + "] (" + device.identifier + ") was taken by another updater", true);

            answered = false;
        }
        else
        {
            access.getLocks()->releaseAllBut (access.lockKeyOf (device));
        }
    }

    if (! answered)
    {
        parts->results.forgetFirmwareVersion();

        if (position >= 0 && scanning)
            access.endAsking (device);

        return PollingResult::NoDevice;
    }

    // Unless the user has chosen another output since the answer was counted.
    parts->chosen.takeOutput (position, name, position >= 0 ? device.identifier : juce::String());

    return isBootloaderMode() ? PollingResult::BootloaderDetected : PollingResult::DeviceDetected;
}

PollingResult MIDIPortsSelector::checkSelectedPorts()
{
    auto ports = getPorts();

    // A port plugged in while the instrument being updated is here (during a transfer, say) is
    // another instrument: it is seen beside it now, and never taken for it when it restarts. Only
    // lists read wholly within one generation let the search be skipped while they stay the same.
    const auto listed = ports->getListsGeneration();
    const auto outputs = ports->getOutputDevices();
    const auto sighting = locateFollowed (outputs, ports->getListsGeneration() == listed ? listed : 0);
    const auto in = getInputChoice(), out = getOutputChoice();

    if (in.name == autoName || out.name == autoName)
        return PollingResult::NoDevice;

    // The instrument being updated is there only where it is found, whatever port has its old name.
    if (sighting && sighting->where != FollowedInstrument::Whereabouts::present)
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

    if (auto input = openChosenInput())
        inputs.push_back (std::move (input));

    if (auto output = openSelectedOutput())
        PortAccess::logRefusal (getOutputName(), output->sendMessageNow (query));

    const bool waited = sleepUnlessStopped (panelQueryWaitMs);
    PortOpener::closeInputs (inputs);

    return waited ? (PollingResult) getPanelStatus() : PollingResult::Stopped;
}

std::unique_ptr<MidiOutputPort> MIDIPortsSelector::openSelectedOutput()
{
    const auto outputs = getPorts()->getOutputDevices();
    const auto followed = parts->access.followedOutput (outputs);

    // While the instrument being updated is away, nothing is opened; while it is here, its port.
    if (followed && followed->identifier.isEmpty())
        return nullptr;

    const auto position = followed ? outputs.indexOf (*followed) : currentPositionOf (outputs, getOutputChoice());

    if (position < 0 || stopRequested())
        return nullptr;

    // Whatever is sent here (an erase, an image) goes only to a port this updater holds.
    if (! parts->access.mayTalkTo (outputs[position], PortAccess::Use::command))
        return nullptr;

    return parts->opener.openOutput (outputs[position]);
}
