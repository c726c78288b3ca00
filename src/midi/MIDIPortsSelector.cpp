#include "MIDIPortsSelector.h"

#include "../base/VersionNumber.h"
#include "../base/AppLog.h"
#include "../base/NameGuard.h"

#include <juce_events/juce_events.h>

namespace
{
    const juce::String autoName ("Auto");
    const juce::String unknownVersion ("Unknown");

    constexpr juce::uint8 manufacturerId = 0x04;
    constexpr int inquiryWaitMs = 1000;
    constexpr int alternativeWaitMs = 500;
    constexpr int alternativeAttempts = 5;
    constexpr int panelQueryWaitMs = 1000;

    bool stopRequested()
    {
        return juce::Thread::currentThreadShouldExit();
    }

    bool applicationIsQuitting()
    {
        auto* mm = juce::MessageManager::getInstanceWithoutCreating();
        return mm != nullptr && mm->hasStopMessageBeenSent();
    }

    /** Sleeps until the time is up or a stop is requested; false if stopped. On a juce::Thread
        it blocks on the thread's own event, which stopThread() and the engine's stop signal, and
        looks at the stop flag at least once a second for a stop signalled without a wake-up (a
        shorter step would wake an idle poll ten times a second for nothing); elsewhere it sleeps
        in short steps. */
    bool sleepUnlessStopped (int milliseconds)
    {
        const auto end = juce::Time::getMillisecondCounterHiRes() + milliseconds;
        auto* thread = juce::Thread::getCurrentThread();

        for (;;)
        {
            if (stopRequested())
                return false;

            const auto left = end - juce::Time::getMillisecondCounterHiRes();

            if (left <= 0)
                return true;

            if (thread != nullptr)
                thread->wait (juce::jlimit (1, 1000, (int) left));
            else
                juce::Thread::sleep (juce::jlimit (1, 10, (int) left));
        }
    }

    juce::String familyText (int family)
    {
        return juce::String::toHexString (family & 0xffff).toUpperCase().paddedLeft ('0', 4);
    }

    juce::MidiMessage sysexOf (std::initializer_list<juce::uint8> data)
    {
        return juce::MidiMessage::createSysExMessage (data.begin(), (int) data.size());
    }

    /** Runs a port open on the message thread when called from another thread, waiting for it in
        short steps. Gives up (nullptr) when this thread is asked to stop or the application quits,
        so that a message thread that is itself waiting for this thread never deadlocks with it. */
    template <typename Port>
    std::unique_ptr<Port> openOnMessageThread (std::function<std::unique_ptr<Port>()> open)
    {
        auto* mm = juce::MessageManager::getInstanceWithoutCreating();

        if (mm == nullptr || mm->isThisTheMessageThread())
            return open();

        if (mm->hasStopMessageBeenSent() || stopRequested())
            return nullptr;

        struct Request
        {
            enum { waiting, running, abandoned };
            std::atomic<int> phase { waiting };
            juce::WaitableEvent done;
            std::function<std::unique_ptr<Port>()> open;
            std::unique_ptr<Port> port;
        };

        auto request = std::make_shared<Request>();
        request->open = std::move (open);

        const auto posted = juce::MessageManager::callAsync ([request]
        {
            int expected = Request::waiting;

            if (request->phase.compare_exchange_strong (expected, Request::running))
                request->port = request->open();

            request->done.signal();
        });

        if (! posted)
            return nullptr;

        while (! request->done.wait (10))
        {
            if (stopRequested() || applicationIsQuitting())
            {
                int expected = Request::waiting;

                if (request->phase.compare_exchange_strong (expected, Request::abandoned))
                    return nullptr;

                // The open is already running on the message thread; it ends shortly.
                request->done.wait (-1);
                break;
            }
        }

        return std::move (request->port);
    }
}

//==============================================================================
class MIDIPortsSelector::Impl
{
public:
    juce::CriticalSection lock;

    // Guarded by lock:
    std::shared_ptr<MidiPorts> ports;
    std::shared_ptr<PortLocks> locks;       // made with the ports
    FollowedInstrument followed;            // the instrument that answered, or the one of restrictToOutput
    bool restricted = false;                // restrictToOutput: nothing but the followed instrument is used
    juce::StringArray guardedNames;         // the NameGuards held for the followed instrument
    juce::MidiDeviceInfo asking;            // the output an identity request was last sent to
    juce::StringArray told;                 // identifiers already named in the log as held or unlockable
    juce::StringArray heldElsewhere;        // of those, the ones another updater held
    PortChoice input { -1, autoName, {} }, output { -1, autoName, {} };
    juce::uint16 deviceFamily = 0xffff;
    juce::String firmwareVersion { unknownVersion };
    bool alternativeReplyReceived = false;
    int panelStatus = 0;
};

//==============================================================================
MIDIPortsSelector::MIDIPortsSelector() : impl (std::make_unique<Impl>()) {}

MIDIPortsSelector::~MIDIPortsSelector() = default;

MIDIPortsSelector& MIDIPortsSelector::getInstance()
{
    static MIDIPortsSelector instance;
    return instance;
}

void MIDIPortsSelector::setPorts (std::shared_ptr<MidiPorts> newPorts)
{
    auto newLocks = std::make_shared<PortLocks> (newPorts != nullptr && newPorts->areSharedWithOtherPrograms());

    {
        const juce::ScopedLock sl (impl->lock);
        std::swap (impl->ports, newPorts);
        std::swap (impl->locks, newLocks);
    }

    // The ports replaced may end here, and a software bus waits for its delivery thread, which
    // hands replies to this selector: never under its lock.
}

std::shared_ptr<MidiPorts> MIDIPortsSelector::getPorts() const
{
    const juce::ScopedLock sl (impl->lock);

    if (impl->ports == nullptr)
    {
        impl->ports = MidiPorts::makeSystemPorts();
        impl->locks = std::make_shared<PortLocks> (true);
    }

    return impl->ports;
}

std::shared_ptr<PortLocks> MIDIPortsSelector::getLocks() const
{
    getPorts();
    const juce::ScopedLock sl (impl->lock);
    return impl->locks;
}

void MIDIPortsSelector::restrictToOutput (const juce::String& identifier)
{
    auto ports = getPorts();
    const auto outputs = ports->getOutputDevices();
    juce::MidiDeviceInfo only;

    for (auto& output : outputs)
        if (output.identifier == identifier)
            only = output;

    const auto location = only.identifier.isNotEmpty() ? ports->placeOf (only) : juce::String();
    const juce::ScopedLock sl (impl->lock);
    impl->restricted = only.identifier.isNotEmpty();

    if (impl->restricted)
        impl->followed.follow (only, location, outputs);
    else
        impl->followed.clear();
}

void MIDIPortsSelector::guardName (const juce::MidiDeviceInfo& output)
{
    // Only where the instrument has no place that survives its restarts, and only on a system
    // where other programs (other updaters) share the ports.
    if (! getLocks()->isEnabled() || getPorts()->placeOf (output).isNotEmpty())
        return;

    {
        const juce::ScopedLock sl (impl->lock);

        if (impl->guardedNames.contains (output.name))
            return;

        impl->guardedNames.add (output.name);
    }

    juce::String error;

    if (! NameGuard::hold (output.name, error))
        logLine ("MIDI output [" + output.name + "]: other updaters cannot be told that it is being updated: " + error);
}

void MIDIPortsSelector::unguardNames()
{
    juce::StringArray names;

    {
        const juce::ScopedLock sl (impl->lock);
        names.swapWith (impl->guardedNames);
    }

    for (auto& name : names)
        NameGuard::release (name);
}

bool MIDIPortsSelector::isGuardedElsewhere (const juce::MidiDeviceInfo& output)
{
    return getLocks()->isEnabled() && getPorts()->placeOf (output).isEmpty() && NameGuard::isHeldElsewhere (output.name);
}

juce::String MIDIPortsSelector::lockKeyOf (const juce::MidiDeviceInfo& output)
{
    return FollowedInstrument::lockKeyFor (output, getPorts()->placeOf (output));
}

void MIDIPortsSelector::startFollowing (const juce::MidiDeviceInfo& output, const juce::Array<juce::MidiDeviceInfo>& outputs)
{
    const auto location = getPorts()->placeOf (output);
    const juce::ScopedLock sl (impl->lock);

    // Under restrictToOutput the instrument is already followed, and nothing else ever is.
    if (! impl->restricted || impl->followed.lockKey() == FollowedInstrument::lockKeyFor (output, location))
        impl->followed.follow (output, location, outputs);
}

void MIDIPortsSelector::stopFollowingUnlessRestricted()
{
    {
        const juce::ScopedLock sl (impl->lock);

        if (impl->restricted)
            return;

        impl->followed.clear();
        followedAmbiguous = false;
    }

    unguardNames();
}

int MIDIPortsSelector::inputBelongingTo (const juce::MidiDeviceInfo& output, const juce::Array<juce::MidiDeviceInfo>& inputs)
{
    // The chosen input if it still belongs with the output, else one of the output's name, else
    // the first that belongs with it (a name may be on several ports).
    auto ports = getPorts();
    const auto chosen = getInputChoice();
    int position = -1;

    for (int i = 0; i < inputs.size(); ++i)
    {
        const auto& input = inputs.getReference (i);

        if (! ports->belongTogether (input, output))
            continue;

        if (input.identifier == chosen.identifier && input.name == chosen.name)
            return i;

        if (position < 0 || (input.name == output.name && inputs[position].name != output.name))
            position = i;
    }

    return position;
}

std::optional<FollowedInstrument::Sighting> MIDIPortsSelector::locateFollowed (const juce::Array<juce::MidiDeviceInfo>& outputs)
{
    FollowedInstrument followed;

    {
        const juce::ScopedLock sl (impl->lock);

        if (! impl->followed.isFollowing())
            return std::nullopt;

        followed = impl->followed;
    }

    auto ports = getPorts();
    const auto before = followed.getOutput();
    const auto sighting = followed.locate (outputs, [&ports] (const juce::MidiDeviceInfo& port) { return ports->placeOf (port); });
    const bool present = sighting.where == FollowedInstrument::Whereabouts::present;
    const bool moved = present && (sighting.output.identifier != before.identifier || sighting.output.name != before.name);

    {
        const juce::ScopedLock sl (impl->lock);

        // The user may have chosen other ports meanwhile: then this one is followed no more.
        if (impl->followed.getOutput().identifier != before.identifier || impl->followed.getOutput().name != before.name)
            return sighting;

        impl->followed = followed;

        if (moved && impl->output.identifier == before.identifier && impl->output.name == before.name)
            impl->output = { outputs.indexOf (sighting.output), sighting.output.name, sighting.output.identifier };
    }

    if (moved)
    {
        const auto inputs = ports->getInputDevices();
        const auto inputAt = inputBelongingTo (sighting.output, inputs);

        {
            const juce::ScopedLock sl (impl->lock);

            if (impl->input.name != autoName && inputAt >= 0)
                impl->input = { inputAt, inputs[inputAt].name, inputs[inputAt].identifier };
        }

        logLine ("MIDI output [" + before.name + "] (" + before.identifier + ") is at [" + sighting.output.name + "] ("
                 + sighting.output.identifier + ") now, at " + followed.getLocation());
    }

    // Without a location its lock is named after its port, which the system may give another
    // instrument now: it is let go, and the port it comes back on is claimed when it answers.
    if (! present && followed.getLocation().isEmpty())
    {
        auto locks = getLocks();

        if (locks->holds (before.identifier))
        {
            locks->release (before.identifier);
            logLine ("MIDI output [" + before.name + "] (" + before.identifier + ") is gone: let go");
        }
    }

    return sighting;
}

std::optional<juce::MidiDeviceInfo> MIDIPortsSelector::followedOutput (const juce::Array<juce::MidiDeviceInfo>& outputs)
{
    const auto sighting = locateFollowed (outputs);

    if (! sighting)
        return std::nullopt;

    if (sighting->where != FollowedInstrument::Whereabouts::present || followedAmbiguous.load())
        return juce::MidiDeviceInfo();

    return sighting->output;
}

PortLocks::Outcome MIDIPortsSelector::claimOutput (const juce::MidiDeviceInfo& output, juce::String& error)
{
    const auto outcome = getLocks()->claim (lockKeyOf (output), error, [] { return stopRequested() || applicationIsQuitting(); });

    if (outcome == PortLocks::Outcome::granted)
        guardName (output);

    return outcome;
}

void MIDIPortsSelector::releasePorts()
{
    std::shared_ptr<PortLocks> locks;

    {
        const juce::ScopedLock sl (impl->lock);
        locks = impl->locks;
    }

    if (locks != nullptr)
        locks->releaseAllBut ({});

    unguardNames();
}

void MIDIPortsSelector::closeIdlePorts()
{
    std::shared_ptr<MidiPorts> ports;

    {
        const juce::ScopedLock sl (impl->lock);
        ports = impl->ports;
    }

    if (ports != nullptr)
        ports->closeIdlePorts();
}

juce::StringArray MIDIPortsSelector::getPortsHeldElsewhere() const
{
    const juce::ScopedLock sl (impl->lock);
    return impl->heldElsewhere;
}

void MIDIPortsSelector::tellOnce (const juce::String& identifier, const juce::String& line, bool heldElsewhere)
{
    {
        const juce::ScopedLock sl (impl->lock);

        if (heldElsewhere)
            impl->heldElsewhere.addIfNotAlreadyThere (identifier);

        if (impl->told.contains (identifier))
            return;

        impl->told.add (identifier);
    }

    logLine (line);
}

bool MIDIPortsSelector::mayTalkTo (const juce::MidiDeviceInfo& output, bool scanning, bool candidate)
{
    if (! candidate)
        if (const auto only = followedOutput (getPorts()->getOutputDevices()); only && only->identifier != output.identifier)
            return false;

    auto locks = getLocks();
    const auto key = lockKeyOf (output);

    if (locks->holds (key))
        return true;

    juce::String error;
    const auto outcome = scanning ? locks->ask (key, error) : claimOutput (output, error);

    if (outcome == PortLocks::Outcome::granted)
    {
        // A scan leaves alone an instrument of a name that another updater is updating: without
        // a place that survives restarts, it may be that one, away for a moment and back as a
        // new port.
        if (scanning && ! candidate && isGuardedElsewhere (output))
        {
            locks->release (key);
            tellOnce (output.identifier, "MIDI output [" + output.name + "] (" + output.identifier + ") may be the instrument that"
                                         " another updater is updating (one of this name is away, restarting): nothing is sent to it", true);
            return false;
        }

        return true;
    }

    const auto port = "MIDI output [" + output.name + "] (" + output.identifier + ")";

    if (outcome == PortLocks::Outcome::held)
        tellOnce (output.identifier, port + " is in use by another updater or program (its locks: " + getLocks()->describe (lockKeyOf (output)) + "): nothing is sent to it", true);
    else if (! stopRequested())
        tellOnce (output.identifier, port + " cannot be locked, so nothing is sent to it: " + error, false);

    return false;
}

PortLocks::Outcome MIDIPortsSelector::probeOutput (const juce::MidiDeviceInfo& output, juce::String& error)
{
    auto locks = getLocks();
    const auto key = lockKeyOf (output);

    if (locks->holds (key))
        return PortLocks::Outcome::granted;

    const auto outcome = locks->ask (key, error);

    if (outcome == PortLocks::Outcome::granted)
        locks->release (key);

    return outcome;
}

bool MIDIPortsSelector::mayHearInput (const juce::MidiDeviceInfo& input, const juce::Array<juce::MidiDeviceInfo>& outputs)
{
    // Replies that another updater's instrument sends to it must not be taken for an answer here:
    // the inputs of an instrument whose output is held elsewhere, or is not the one output in
    // use, are not opened.
    auto ports = getPorts();

    if (const auto only = followedOutput (outputs))
        return only->identifier.isNotEmpty() && ports->belongTogether (input, *only);

    if (! getLocks()->isEnabled())
        return true;

    for (auto& output : outputs)
    {
        if (! ports->belongTogether (input, output))
            continue;

        juce::String error;
        const auto outcome = probeOutput (output, error);
        const auto port = "MIDI output [" + output.name + "] (" + output.identifier + ")";

        if (outcome == PortLocks::Outcome::held)
            tellOnce (output.identifier, port + " is in use by another updater or program (its locks: " + getLocks()->describe (lockKeyOf (output)) + "): nothing is sent to it", true);
        else if (outcome == PortLocks::Outcome::failed)
            tellOnce (output.identifier, port + " cannot be locked, so nothing is sent to it: " + error, false);

        if (outcome != PortLocks::Outcome::granted || isGuardedElsewhere (output))
            return false;
    }

    return true;
}

void MIDIPortsSelector::reset()
{
    {
        const juce::ScopedLock sl (impl->lock);
        impl->input = { -1, autoName, {} };
        impl->output = { -1, autoName, {} };
        impl->deviceFamily = 0xffff;
        impl->firmwareVersion = unknownVersion;
        impl->alternativeReplyReceived = false;
        impl->panelStatus = 0;
        impl->followed.clear();
        impl->restricted = false;
        impl->asking = {};
        impl->told.clear();
        impl->heldElsewhere.clear();
    }

    releasePorts();
    bootloaderMode = false;
    deviceDetected = false;
    followedAmbiguous = false;
}

//==============================================================================
bool MIDIPortsSelector::selectAutoInput()
{
    stopFollowingUnlessRestricted();
    setInputChoice (-1, autoName);
    return true;
}

bool MIDIPortsSelector::selectAutoOutput()
{
    stopFollowingUnlessRestricted();
    setOutputChoice (-1, autoName);
    return true;
}

bool MIDIPortsSelector::selectInput (const juce::String& name)
{
    if (name == autoName)
        return selectAutoInput();

    const auto index = getPorts()->getInputNames().indexOf (name);

    if (index < 0)
        return false;

    stopFollowingUnlessRestricted();
    setInputChoice (index, name);
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
            stopFollowingUnlessRestricted();
            setOutputChoice (index, name, outputs[index].identifier);
            return true;
        }
    }

    return false;
}

MIDIPortsSelector::PortChoice MIDIPortsSelector::getInputChoice() const
{
    const juce::ScopedLock sl (impl->lock);
    return impl->input;
}

MIDIPortsSelector::PortChoice MIDIPortsSelector::getOutputChoice() const
{
    const juce::ScopedLock sl (impl->lock);
    return impl->output;
}

void MIDIPortsSelector::setInputChoice (int index, const juce::String& name)
{
    const juce::ScopedLock sl (impl->lock);
    impl->input = { index, name, {} };
}

void MIDIPortsSelector::setOutputChoice (int index, const juce::String& name, const juce::String& identifier)
{
    const juce::ScopedLock sl (impl->lock);
    impl->output = { index, name, identifier };
}

juce::String MIDIPortsSelector::getFirmwareVersion() const
{
    const juce::ScopedLock sl (impl->lock);
    return impl->firmwareVersion;
}

int MIDIPortsSelector::getPanelStatus() const
{
    const juce::ScopedLock sl (impl->lock);
    return impl->panelStatus;
}

void MIDIPortsSelector::setDeviceFamily (juce::uint16 family)
{
    const juce::ScopedLock sl (impl->lock);
    impl->deviceFamily = family;
}

juce::uint16 MIDIPortsSelector::getDeviceFamily() const
{
    const juce::ScopedLock sl (impl->lock);
    return impl->deviceFamily;
}

//==============================================================================
const juce::MidiMessage& MIDIPortsSelector::deviceInquiryRequest()
{
    static const auto message = sysexOf ({ 0x7e, 0x7f, 0x06, 0x01 });
    return message;
}

const juce::MidiMessage& MIDIPortsSelector::alternativeDeviceInquiryRequest()
{
    static const auto message = sysexOf ({ manufacturerId, 0x0c, 0x16, 0x01 });
    return message;
}

juce::MidiMessage MIDIPortsSelector::panelStateQuery (juce::uint16 family)
{
    juce::uint8 data[15] = {};
    data[0] = manufacturerId;
    data[1] = (juce::uint8) (family & 0x7f);
    data[2] = 0x31;
    return juce::MidiMessage::createSysExMessage (data, (int) sizeof (data));
}

//==============================================================================
void MIDIPortsSelector::handleIncomingMidiMessage (const juce::String& sourceName, const juce::MidiMessage& message)
{
    if (! message.isSysEx())
        return;

    const auto* data = message.getSysExData();
    const auto size = juce::jmax (0, message.getSysExDataSize());
    const int family = getDeviceFamily();

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

    // The detection is published last in both identity rules: the engine thread acts on it at
    // once (an alternative inquiry opens the picked input), so it must never see it together
    // with an input not yet picked or the version of an earlier reply.
    if (identityHeader && size >= 13 && data[6] == (family & 0x7f))
    {
        pickInput (sourceName);
        decodeVersion (family, data);
        deviceDetected = true;
        return;
    }

    if (startsWith ({ manufacturerId, 0x0c, 0x16 }))
    {
        const juce::ScopedLock sl (impl->lock);
        impl->alternativeReplyReceived = true;
        return;
    }

    if (startsWith ({ manufacturerId, 0x0c, 0x31, 0x01 }) && size >= 5)
    {
        static constexpr int statusFor[] = { (int) PollingResult::PanelNoUpdate,
                                             (int) PollingResult::PanelErased,
                                             (int) PollingResult::PanelFirmwareSending,
                                             (int) PollingResult::PanelFirmwareSucceeded,
                                             (int) PollingResult::PanelNoUpdate,
                                             (int) PollingResult::PanelUpdateFailed };

        if (data[4] < std::size (statusFor))
        {
            const juce::ScopedLock sl (impl->lock);
            impl->panelStatus = statusFor[data[4]];
        }

        return;
    }

    if (family == 8 && identityHeader && size >= 7 && data[6] == 0x0f)
    {
        {
            const juce::ScopedLock sl (impl->lock);
            impl->firmwareVersion = {};
        }
        bootloaderMode = true;
        pickInput (sourceName);
        deviceDetected = true;
    }
}

void MIDIPortsSelector::pickInput (const juce::String& sourceName)
{
    if (getInputIndex() != -1)
        return;

    auto ports = getPorts();
    const auto inputs = ports->getInputDevices();
    juce::MidiDeviceInfo asking;

    {
        const juce::ScopedLock sl (impl->lock);
        asking = impl->asking;
    }

    // Two instruments of one model have inputs of one name: the one that belongs with the output
    // asked is theirs.
    int index = -1;

    for (int i = 0; i < inputs.size() && index < 0; ++i)
        if (inputs[i].name == sourceName && (asking.identifier.isEmpty() || ports->belongTogether (inputs[i], asking)))
            index = i;

    // A source that is no longer listed cannot be chosen by position: storing position -1 with
    // an empty name would leave a choice that is neither Auto nor a port. The choice stays Auto.
    if (index < 0)
        return;

    {
        // The user may have chosen an input since the check above; that choice wins.
        const juce::ScopedLock sl (impl->lock);

        if (impl->input.index != -1)
            return;

        impl->input = { index, inputs[index].name, inputs[index].identifier };
    }

    logLine ("Select MIDI input " + juce::String (index) + " : [" + inputs[index].name + "]");
}

void MIDIPortsSelector::decodeVersion (int family, const juce::uint8* data)
{
    auto text3 = [] (int a, int b, int c) { return juce::String (a) + "." + juce::String (b) + "." + juce::String (c); };

    juce::String version;
    bool bootloader = false;
    bool changed = false;
    const bool applicationModel = data[7] == 0 && data[8] == 0;

    switch (family)
    {
        case 6:
            if (applicationModel)
            {
                const int u = data[12] * 128 + data[11];
                version = u <= 1000 ? text3 (u / 100, (u / 10) % 10, u % 10)
                                    : text3 (u / 1000, (u / 100) % 10, u % 100);
                changed = true;

                if (data[11] == 0x48 && data[12] == 0x01)
                {
                    version = {};
                    bootloader = true;
                }
            }
            break;

        case 8:
            if (applicationModel)
            {
                const int v = data[10] * 128 + data[9];
                version = text3 (v / 100, (v / 10) % 10, v % 10);
                changed = true;
            }
            break;

        case 11:
            if ((data[7] == 0 && data[8] == 1)
                || (applicationModel && data[9] == 0 && data[10] == 0 && data[11] == 0x64 && data[12] == 0))
            {
                bootloader = true;
                changed = true;
            }
            else if (applicationModel)
            {
                if (data[9] != 0)
                    version = text3 (data[10], data[11], data[12]) + "p" + juce::String (data[9]);
                else if (data[10] == 0 && data[11] == 0x3f)
                    version = "1.0." + juce::String (data[12]);
                else
                    version = text3 (data[10], data[11], data[12]);

                changed = true;
            }
            break;

        case 12:
            if (applicationModel)
            {
                if (data[9] != 0)
                    version = text3 (data[10], data[11], data[12]) + "p" + juce::String (data[9]);
                else if (data[10] == 0 && data[12] == 0x3f)
                    version = "1.0." + juce::String (data[11]);
                else
                    version = text3 (data[10], data[11], data[12]);

                changed = true;
            }
            break;

        default:
            return;
    }

    if (changed)
    {
        {
            const juce::ScopedLock sl (impl->lock);
            impl->firmwareVersion = version;
        }
        bootloaderMode = bootloader;
    }

    auto line = "DeviceID " + familyText (family) + " detected (firmware version : " + getFirmwareVersion();

    if (family == 11)
        line << ", bootloader = " << (bootloaderMode ? "true" : "false");

    logLine (line + ")");
}

//==============================================================================
std::unique_ptr<MidiInputPort> MIDIPortsSelector::openInputAt (int index)
{
    auto ports = getPorts();

    return openOnMessageThread<MidiInputPort> ([this, ports, index]() -> std::unique_ptr<MidiInputPort>
    {
        auto input = ports->openInput (index, *this);

        if (input != nullptr)
            input->start();

        return input;
    });
}

std::unique_ptr<MidiOutputPort> MIDIPortsSelector::openOutputAt (int index)
{
    auto ports = getPorts();
    return openOnMessageThread<MidiOutputPort> ([ports, index] { return ports->openOutput (index); });
}

void MIDIPortsSelector::closeInputs (std::vector<std::unique_ptr<MidiInputPort>>& inputs)
{
    for (auto& input : inputs)
        input->stop();

    inputs.clear();
}

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
    {
        const juce::ScopedLock sl (impl->lock);
        impl->deviceFamily = family;
    }
    deviceDetected = false;

    auto result = PollingResult::NoDevice;
    std::vector<std::unique_ptr<MidiInputPort>> inputs;

    const auto chosenInput = getInputChoice();
    auto ports = getPorts();
    const auto outputDevices = ports->getOutputDevices();

    if (const auto sighting = locateFollowed (outputDevices))
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
                closeInputs (inputs);
                return PollingResult::Stopped;
            }

            if (! mayHearInput (inputDevices[i], outputDevices))
                continue;

            if (auto input = openInputAt (i))
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
            // there now: nothing, while the instrument is away.
            position = chosenInput.index;
            scannedName = names[position];

            const juce::ScopedLock sl (impl->lock);

            // Unless the user has chosen another input meanwhile.
            if (impl->input.index == chosenInput.index && impl->input.name == chosenInput.name)
                impl->input.name = scannedName;
        }

        logLine ("Scanning MIDI input [" + scannedName + "]");

        if (stopRequested())
            return PollingResult::Stopped;

        if (auto input = openInputAt (position))
            inputs.push_back (std::move (input));

        result = inquireOnOutputs();
    }

    closeInputs (inputs);

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

    if (followedAmbiguous.load() || sighting.where == Where::away)
    {
        if (! followedAmbiguous.load())
        {
            juce::MidiDeviceInfo gone;

            {
                const juce::ScopedLock sl (impl->lock);
                gone = impl->followed.getOutput();
            }

            logLine (gone.name + " : not listed, no Device Inquiry Request sent");
        }

        {
            const juce::ScopedLock sl (impl->lock);
            impl->firmwareVersion = unknownVersion;
        }

        // Asked nowhere, after the same wait as an unanswered request.
        return sleepUnlessStopped (inquiryWaitMs) ? PollingResult::NoDevice : PollingResult::Stopped;
    }

    if (sighting.where == Where::candidates)
        return askCandidates (sighting.candidates, outputs);

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
                closeInputs (inputs);
                return PollingResult::Stopped;
            }

            if (ports->belongTogether (inputDevices[i], sighting.output))
                if (auto input = openInputAt (i))
                    inputs.push_back (std::move (input));
        }
    }
    else
    {
        const auto position = inputBelongingTo (sighting.output, inputDevices);
        const auto name = position >= 0 ? inputDevices[position].name : juce::String();

        if (position >= 0)
        {
            const juce::ScopedLock sl (impl->lock);

            if (impl->input.name != autoName)
                impl->input = { position, name, inputDevices[position].identifier };
        }

        logLine ("Scanning MIDI input [" + name + "]");

        if (stopRequested())
            return PollingResult::Stopped;

        if (position >= 0)
            if (auto input = openInputAt (position))
                inputs.push_back (std::move (input));
    }

    int outputAt = -1;

    for (int i = 0; i < outputs.size() && outputAt < 0; ++i)
        if (outputs[i].identifier == sighting.output.identifier && outputs[i].name == sighting.output.name)
            outputAt = i;

    const auto result = inquireAt (sighting.output, outputAt, inquiryWaitMs);
    closeInputs (inputs);
    return result;
}

PollingResult MIDIPortsSelector::askCandidates (const juce::Array<juce::MidiDeviceInfo>& candidates,
                                                const juce::Array<juce::MidiDeviceInfo>& outputs)
{
    auto ports = getPorts();
    auto locks = getLocks();
    const auto inputDevices = ports->getInputDevices();
    juce::MidiDeviceInfo gone;

    {
        const juce::ScopedLock sl (impl->lock);
        gone = impl->followed.getOutput();
    }

    const auto wasOn = "MIDI output [" + gone.name + "] (" + gone.identifier + ")";
    juce::StringArray described;

    for (auto& candidate : candidates)
        described.add ("[" + candidate.name + "] (" + candidate.identifier + ")");

    tellOnce ("candidates " + described.joinIntoString (","),
              "The instrument on " + wasOn + " is gone; asking the ports that appeared since: " + described.joinIntoString (", "), false);

    // The inputs of the ports that appeared: the answer of the instrument arrives on one of them.
    std::vector<std::unique_ptr<MidiInputPort>> inputs;

    for (int i = 0; i < inputDevices.size(); ++i)
    {
        if (stopRequested())
        {
            closeInputs (inputs);
            return PollingResult::Stopped;
        }

        for (auto& candidate : candidates)
        {
            if (ports->belongTogether (inputDevices[i], candidate))
            {
                if (auto input = openInputAt (i))
                    inputs.push_back (std::move (input));

                break;
            }
        }
    }

    struct Answer
    {
        juce::MidiDeviceInfo output;
        bool bootloader;
        juce::String version;
    };

    std::vector<Answer> answers;

    for (auto& candidate : candidates)
    {
        if (stopRequested())
            break;

        // A port another updater holds is another instrument's.
        if (! mayTalkTo (candidate, true, true))
            continue;

        deviceDetected = false;

        {
            const juce::ScopedLock sl (impl->lock);
            impl->asking = candidate;
        }

        const auto position = outputs.indexOf (candidate);
        auto output = openOutputAt (position);
        const auto sent = output != nullptr ? output->sendMessageNow (deviceInquiryRequest())
                                            : juce::Result::fail ("the port cannot be opened");
        output.reset();

        logLine (candidate.name + " : send Device Inquiry Request...");
        logRefusal (candidate.name, sent);

        if (! sleepUnlessStopped (inquiryWaitMs))
            break;

        if (sent.wasOk() && deviceDetected.load())
            answers.push_back ({ candidate, bootloaderMode.load(), getFirmwareVersion() });
        else if (! locks->owns (lockKeyOf (candidate)))
            locks->release (lockKeyOf (candidate));
    }

    closeInputs (inputs);

    const auto letGoOfAnswers = [&]
    {
        for (auto& answer : answers)
            if (! locks->owns (lockKeyOf (answer.output)))
                locks->release (lockKeyOf (answer.output));
    };

    if (stopRequested())
    {
        letGoOfAnswers();
        return PollingResult::Stopped;
    }

    if (answers.size() != 1)
    {
        {
            const juce::ScopedLock sl (impl->lock);
            impl->firmwareVersion = unknownVersion;
        }

        if (answers.size() > 1)
        {
            // Two instruments came back where one went: which of them is the one being updated
            // cannot be told, and sending it the wrong image would leave the other erased.
            juce::StringArray both;

            for (auto& answer : answers)
                both.add ("[" + answer.output.name + "] (" + answer.output.identifier + ")");

            followedAmbiguous = true;
            letGoOfAnswers();
            logLine ("MIDI outputs " + both.joinIntoString (" and ") + " both answer as the instrument that was on " + wasOn
                     + ": which one it is cannot be told, so nothing more is sent to either. Disconnect the other"
                       " instruments and start again.");
        }

        return PollingResult::NoDevice;
    }

    const auto& found = answers.front();
    juce::String error;

    if (! locks->owns (lockKeyOf (found.output)) && claimOutput (found.output, error) != PortLocks::Outcome::granted)
    {
        tellOnce (found.output.identifier, "MIDI output [" + found.output.name + "] (" + found.output.identifier + ") was taken by another updater", true);
        letGoOfAnswers();
        return PollingResult::NoDevice;
    }

    locks->releaseAllBut (lockKeyOf (found.output));
    const auto inputAt = inputBelongingTo (found.output, inputDevices);

    {
        const juce::ScopedLock sl (impl->lock);
        impl->followed.foundAt (found.output, ports->placeOf (found.output), outputs);
        impl->firmwareVersion = found.version;

        if (impl->output.name != autoName)
            impl->output = { outputs.indexOf (found.output), found.output.name, found.output.identifier };

        if (impl->input.name != autoName && inputAt >= 0)
            impl->input = { inputAt, inputDevices[inputAt].name, inputDevices[inputAt].identifier };
    }

    bootloaderMode = found.bootloader;
    guardName (found.output);
    logLine ("MIDI output [" + found.output.name + "] (" + found.output.identifier + ") answers as the instrument that was on "
             + wasOn + ": it is followed there");

    return found.bootloader ? PollingResult::BootloaderDetected : PollingResult::DeviceDetected;
}

PollingResult MIDIPortsSelector::runAlternativeInquiry (juce::uint16 family, bool checkPanelMode)
{
    if (stopRequested())
        return PollingResult::Stopped;

    std::vector<std::unique_ptr<MidiInputPort>> inputs;

    if (auto input = openInputAt (getInputIndex()))
        inputs.push_back (std::move (input));

    bool replied = false;

    for (int attempt = 0; attempt < alternativeAttempts && ! replied; ++attempt)
    {
        {
            const juce::ScopedLock sl (impl->lock);
            impl->alternativeReplyReceived = false;
        }

        if (auto output = openSelectedOutput())
        {
            logLine (getOutputName() + " : send Alternative Device Inquiry Request...");
            logRefusal (getOutputName(), output->sendMessageNow (alternativeDeviceInquiryRequest()));
        }

        if (! sleepUnlessStopped (alternativeWaitMs))
        {
            closeInputs (inputs);
            return PollingResult::Stopped;
        }

        {
            const juce::ScopedLock sl (impl->lock);
            replied = impl->alternativeReplyReceived;
        }

        if (replied)
            bootloaderMode = false;
    }

    auto result = PollingResult::DeviceDetected;

    if (replied)
    {
        logLine ("DeviceID " + familyText (family) + " detected (bootloader = false)");

        if (checkPanelMode && parseVersionNumber (getFirmwareVersion()) >= parseVersionNumber ("1.1.0p0"))
        {
            const auto panel = queryPanelState();

            if (panel == PollingResult::Stopped && stopRequested())
            {
                closeInputs (inputs);
                return PollingResult::Stopped;
            }

            if (panel == PollingResult::PanelErased || panel == PollingResult::PanelFirmwareSending)
            {
                logLine ("DeviceID " + familyText (family) + " detected (panel mode detected)");
                result = PollingResult::PanelModeDetected;
            }
        }
    }
    else
    {
        bootloaderMode = true;
        logLine ("DeviceID " + familyText (family) + " detected (bootloader = true)");
        result = PollingResult::BootloaderDetected;
    }

    closeInputs (inputs);
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

    {
        const juce::ScopedLock sl (impl->lock);
        impl->asking = device;
    }

    auto output = openOutputAt (position);
    const auto sent = output != nullptr ? output->sendMessageNow (deviceInquiryRequest()) : juce::Result::ok();

    logLine (name + " : send Device Inquiry Request...");

    // A request the system refused cannot be answered: whatever arrives meanwhile is no answer to it.
    logRefusal (name, sent);

    const auto family = getDeviceFamily();

    if ((family == 6 || family == 8) && position < 0)
        selectAutoOutput();

    if (! sleepUnlessStopped (waitMs))
        return PollingResult::Stopped;

    bool answered = false;

    {
        // Whether the answer counts and the output choice it makes are one step, so that a
        // choice the user makes meanwhile is either seen here or made afterwards.
        const juce::ScopedLock sl (impl->lock);
        const auto& chosen = impl->output.name;

        if (sent.failed() || ! deviceDetected || (chosen != autoName && chosen != name))
            impl->firmwareVersion = unknownVersion;
        else
            answered = true;
    }

    auto locks = getLocks();
    const auto key = position >= 0 ? lockKeyOf (device) : juce::String();

    if (answered && position >= 0 && ! locks->owns (key))
    {
        // Found by a scan: the port becomes this updater's, unless another one claimed it meanwhile.
        juce::String error;

        if (claimOutput (device, error) != PortLocks::Outcome::granted)
        {
            tellOnce (device.identifier, "MIDI output [" + name + "] (" + device.identifier + ") was taken by another updater", true);
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
        startFollowing (device, getPorts()->getOutputDevices());
        guardName (device);
    }

    {
        // Unless the user has chosen another output since the answer was counted.
        const juce::ScopedLock sl (impl->lock);

        if (impl->output.name == autoName || impl->output.name == name)
            impl->output = { position, name, position >= 0 ? device.identifier : juce::String() };
    }

    return bootloaderMode ? PollingResult::BootloaderDetected : PollingResult::DeviceDetected;
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
    // instrument: it is seen beside it now, and never taken for it when it restarts.
    locateFollowed (ports->getOutputDevices());

    const auto in = getInputChoice(), out = getOutputChoice();

    if (in.name == autoName || out.name == autoName)
        return PollingResult::NoDevice;

    // Found wherever they stand now: another device's ports that come or go before them in the
    // lists move them, which is no reason to take them for gone.
    const auto inputAt = currentPositionOf (ports->getInputDevices(), in);
    const auto outputAt = currentPositionOf (ports->getOutputDevices(), out);

    if (inputAt < 0 || outputAt < 0)
        return PollingResult::NoDevice;

    {
        // The positions follow the ports, unless the user has chosen others meanwhile.
        const juce::ScopedLock sl (impl->lock);

        if (impl->input.index == in.index && impl->input.name == in.name && impl->input.identifier == in.identifier)
            impl->input.index = inputAt;

        if (impl->output.index == out.index && impl->output.name == out.name && impl->output.identifier == out.identifier)
            impl->output.index = outputAt;
    }

    return PollingResult::DeviceDetected;
}

PollingResult MIDIPortsSelector::queryPanelState()
{
    const auto query = panelStateQuery (getDeviceFamily());

    std::vector<std::unique_ptr<MidiInputPort>> inputs;

    if (auto input = openInputAt (getInputIndex()))
        inputs.push_back (std::move (input));

    if (auto output = openSelectedOutput())
        logRefusal (getOutputName(), output->sendMessageNow (query));

    if (! sleepUnlessStopped (panelQueryWaitMs))
    {
        closeInputs (inputs);
        return PollingResult::Stopped;
    }

    closeInputs (inputs);
    return (PollingResult) getPanelStatus();
}

void MIDIPortsSelector::logRefusal (const juce::String& outputName, const juce::Result& sent)
{
    if (sent.failed())
        logLine ("MIDI output [" + outputName + "] refused the request: " + sent.getErrorMessage());
}

std::unique_ptr<MidiOutputPort> MIDIPortsSelector::openSelectedOutput()
{
    const auto outputs = getPorts()->getOutputDevices();
    const auto only = followedOutput (outputs);
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

    return openOutputAt (position);
}
