#include "FirmwareUpdater.h"
#include "MessageThreadReport.h"
#include "WaitDeadline.h"
#include "../base/AppLog.h"
#include "../firmware/SysexSender.h"
#include "../trace/MidiTraceRecorder.h"
#include "../midi/MIDIPortsSelector.h"

namespace
{
    const juce::String noneName ("none");
    const juce::String versionPlaceholder ("?(version)");

    // How long the engine waits between looks at a running sender; the sender counts a packet
    // about every 100 ms. Button presses and stop requests wake it at once.
    constexpr int senderWatchStepMs = 20;

    // The wait in a State without polling, and for a transition: only a button press, a return
    // to the initial State or a stop request can end it, and each of them wakes the engine.
    constexpr int idleWaitMs = 500;

    // A poll that returns at once (no MIDI ports at all, or the port check of "midi ports")
    // would otherwise make the poll loop spin; each pass takes at least this long.
    constexpr juce::uint32 minimumPollPassMs = 100;

    juce::int64 now() { return juce::Time::currentTimeMillis(); }

    /** Raises a flag for the life of a scope. */
    struct ScopedFlag
    {
        explicit ScopedFlag (std::atomic<bool>& f) : flag (f) { flag = true; }
        ~ScopedFlag() { flag = false; }

        std::atomic<bool>& flag;
    };

    juce::MidiMessage makeCommand (std::initializer_list<juce::uint8> bytes)
    {
        const std::vector<juce::uint8> data (bytes);
        return juce::MidiMessage (data.data(), (int) data.size());
    }
}

//==============================================================================
FirmwareUpdater::FirmwareUpdater (const juce::String& definitionsText, const juce::String& name, bool console,
                                  FirmwareUpdaterCallback* callback, const juce::StringArray& firmwareSearchFolders,
                                  const juce::String& packagePublicKey, const juce::String& sourceLogLine)
    : UpdaterDefinitions (definitionsText, name, console),
      juce::Thread ("FirmwareUpdater"),
      packageStore (name, packagePublicKey),
      selector (&MIDIPortsSelector::getInstance())
{
    initialiseEngine (callback, firmwareSearchFolders, sourceLogLine);
}

FirmwareUpdater::FirmwareUpdater (const juce::File& definitionsFile, const juce::String& name, bool console,
                                  FirmwareUpdaterCallback* callback, const juce::StringArray& firmwareSearchFolders,
                                  const juce::String& packagePublicKey, const juce::String& sourceLogLine)
    : UpdaterDefinitions (definitionsFile, name, console),
      juce::Thread ("FirmwareUpdater"),
      packageStore (name, packagePublicKey),
      selector (&MIDIPortsSelector::getInstance())
{
    initialiseEngine (callback, firmwareSearchFolders, sourceLogLine);
}

std::unique_ptr<FirmwareUpdater> FirmwareUpdater::createFromFileOrInbuilt (const juce::File& definitionsFile,
                                                                           const juce::String& inbuiltText,
                                                                           const juce::String& name, bool console,
                                                                           FirmwareUpdaterCallback* cb,
                                                                           const juce::StringArray& folders,
                                                                           const juce::String& packagePublicKey)
{
    if (definitionsFile.existsAsFile())
    {
        MidiTraceRecorder::note ("definitions", definitionsFile.getFullPathName());
        return std::make_unique<FirmwareUpdater> (definitionsFile, name, console, cb, folders, packagePublicKey,
                                                  "Using state machine definition in " + definitionsFile.getFullPathName());
    }

    MidiTraceRecorder::note ("definitions", console ? "inbuilt (console)" : "inbuilt");
    return std::make_unique<FirmwareUpdater> (inbuiltText, name, console, cb, folders, packagePublicKey,
                                              "Using inbuilt state machine definitions");
}

FirmwareUpdater::~FirmwareUpdater()
{
    if (! stopEngine (5000))
    {
        // Killing the thread would leave the selector's and the sender's locks in any state;
        // every wait of the engine ends on a stop request, so this only waits for a slow driver.
        while (! waitForThreadToExit (100)) {}
    }
}

void FirmwareUpdater::initialiseEngine (FirmwareUpdaterCallback* callback, const juce::StringArray& firmwareSearchFolders,
                                        const juce::String& sourceLogLine)
{
    // Only the loader's own lines come before the one that names the definitions.
    if (sourceLogLine.isNotEmpty())
        logLine (sourceLogLine);

    FirmwareUpdaterCallback::setRegistered (callback);
    // A package without every image these definitions send would have the instrument erased for nothing.
    packageStore.setRequiredImages (getFirmwareMessageKinds());
    packageStore.findFirmwarePackages (firmwareSearchFolders);
}

bool FirmwareUpdater::selectFirmwareVersion (const juce::String& version)
{
    const auto selected = packageStore.selectFirmwareVersion (version);

    if (selected)
        MidiTraceRecorder::note ("package", version);

    return selected;
}

bool FirmwareUpdater::selectFirmwarePackageFile (const juce::File& file, juce::String& reason)
{
    if (! packageStore.selectPackageFile (file, reason))
        return false;

    MidiTraceRecorder::note ("package", packageStore.getSelectedVersion());
    return true;
}

bool FirmwareUpdater::stopEngine (int timeoutMs)
{
    signalThreadShouldExit();
    notify();
    return waitForThreadToExit (timeoutMs);
}

juce::String FirmwareUpdater::describeRunningThreads() const
{
    // A sender ends only when its MIDI send returns; the engine waits for it to keep the data alive.
    if (senderAlive.load())
        return "Thread '" + getThreadName() + "' (waiting for thread 'SysexSender', whose MIDI send has not returned)";

    return "Thread '" + getThreadName() + "'";
}

//==============================================================================
FirmwareUpdater::State* FirmwareUpdater::getCurrent() const
{
    const std::lock_guard<std::mutex> lock (stateLock);
    return currentState;
}

void FirmwareUpdater::setCurrent (State* state)
{
    const std::lock_guard<std::mutex> lock (stateLock);

    // A poll result or a transfer's port check that names the State the engine is in keeps it
    // there: its instructions do not run again, so what its Checks enabled stays enabled.
    if (state == currentState)
        return;

    currentState = state;
    presetButtonsOf (state);
}

void FirmwareUpdater::presetButtonsOf (const State* state)
{
    // From the moment a State is current, its own Buttons say whether a button can be clicked;
    // Buttons inside its Checks may change that as its instructions run.
    if (state != nullptr)
        for (auto& instruction : state->instructions)
            if (auto* button = dynamic_cast<const ButtonInstruction*> (instruction.get()))
                enabledButtons[button->getName()] = button->getState() == "enabled";
}

juce::String FirmwareUpdater::takePendingState()
{
    const std::lock_guard<std::mutex> lock (stateLock);
    auto pending = _pendingState;
    _pendingState.clear();
    return pending;
}

juce::String FirmwareUpdater::peekPendingState() const
{
    const std::lock_guard<std::mutex> lock (stateLock);
    return _pendingState;
}

juce::String FirmwareUpdater::getCurrentStateName() const
{
    const std::lock_guard<std::mutex> lock (stateLock);
    return currentState != nullptr ? currentState->getName() : juce::String();
}

void FirmwareUpdater::moveTo (const juce::String& stateName)
{
    auto* activeMachine = getMachine();

    if (auto* target = activeMachine != nullptr ? activeMachine->findState (stateName) : nullptr)
    {
        setCurrent (target);
        return;
    }

    // Names that the loader does not check (GotoState, a button's gotoState, a State's own
    // timeoutState) may name nothing; the engine stays where it is rather than stall.
    logLine ("State '" + stateName + "' does not exist, staying in State '" + getCurrentStateName() + "'");
}

bool FirmwareUpdater::shouldStop() const
{
    if (threadShouldExit())
        return true;

    auto* mm = juce::MessageManager::getInstanceWithoutCreating();
    return mm != nullptr && mm->hasStopMessageBeenSent();
}

bool FirmwareUpdater::sleepUnlessStopped (int milliseconds)
{
    const WaitDeadline deadline ((juce::uint32) juce::jmax (0, milliseconds));

    for (;;)
    {
        if (threadShouldExit())
            return false;

        const auto left = deadline.remaining();

        if (left == 0)
            return true;

        // Blocks on the thread's event: stopEngine() wakes it at once, a button press only
        // makes it look at the clock again.
        wait ((int) juce::jmin<juce::uint32> (100, left));
    }
}

void FirmwareUpdater::report (std::function<void()> fn)
{
    if (FirmwareUpdaterCallback::getRegistered() == nullptr)
        return;

    MessageThreadReport::runAndWait (std::move (fn));
}

//==============================================================================
bool FirmwareUpdater::buttonPressed (const juce::String& buttonName, const juce::String& stateName)
{
    {
        const std::lock_guard<std::mutex> lock (stateLock);

        // The window shows a State's button until the next State's report arrives; a click in
        // that gap belongs to the State it saw, not to the one the engine has moved to since.
        if (currentState == nullptr || currentState->getName() != stateName)
            return false;

        juce::String target;
        bool enabled = false;

        // The State's own Buttons give the target (the later one wins); whether the button can be
        // clicked is what the window shows, which a Button inside a Check may have set since.
        for (auto& instruction : currentState->instructions)
            if (auto* button = dynamic_cast<const ButtonInstruction*> (instruction.get()))
                if (button->getName() == buttonName && button->getGotoState().isNotEmpty())
                {
                    target = button->getGotoState();
                    enabled = button->getState() == "enabled";
                }

        if (const auto shown = enabledButtons.find (buttonName); shown != enabledButtons.end())
            enabled = shown->second;

        if (target.isEmpty() || ! enabled)
            return false;

        _pendingState = target;
    }

    notify();
    return true;
}

void FirmwareUpdater::returnToInitialState()
{
    // The engine thread sets its own machine pointer when a run starts; the definitions'
    // machine is the same object and never changes, so the message thread reads that.
    auto* activeMachine = getMachine();

    if (activeMachine == nullptr)
        return;

    {
        const std::lock_guard<std::mutex> lock (stateLock);
        previousState = nullptr;
        currentState = activeMachine->findState (activeMachine->initialState);
        presetButtonsOf (currentState);
        // A press not yet taken belonged to the State the walk leaves.
        _pendingState.clear();
    }

    notify();
}

bool FirmwareUpdater::signalStopIf (const std::function<bool (const juce::String& stateName)>& mayStop)
{
    {
        const std::lock_guard<std::mutex> lock (stateLock);

        if (! mayStop (currentState != nullptr ? currentState->getName() : juce::String()))
            return false;

        signalThreadShouldExit();
    }

    notify();
    return true;
}

bool FirmwareUpdater::signalStopBeforeFirmwareChange()
{
    // Under the lock that beginFirmwareChange() takes: either the change has begun, or it never will.
    return signalStopIf ([this] (const juce::String&) { return ! firmwareChanged.load(); });
}

bool FirmwareUpdater::beginFirmwareChange()
{
    const std::lock_guard<std::mutex> lock (stateLock);

    if (threadShouldExit())
        return false;

    firmwareChanged = true;
    return true;
}

//==============================================================================
void FirmwareUpdater::run()
{
    machine = getMachine();

    if (machine == nullptr)
    {
        logLine ("No state machine for '" + deviceName + "', the engine does not run");
        return;
    }

    {
        const std::lock_guard<std::mutex> lock (stateLock);
        previousState = nullptr;
        currentState = machine->findState (machine->initialState);
        presetButtonsOf (currentState);

        // A press taken while the previous run was ending belonged to that run's State.
        _pendingState.clear();
    }

    for (;;)
    {
        if (shouldStop())
            return;

        if (! hasStateToEnter())
        {
            wait (idleWaitMs);
            continue;
        }

        if (! enterState())
            continue;

        // Read again after the instructions: if they moved the engine, this is the next State's
        // mode, and no poll loop follows. One that does polls this same State with its own table.
        auto* state = getCurrent();

        if (state == nullptr)
            continue;

        auto mode = state->getAttribute ("pollingMode").toLowerCase();

        if (mode == "scan all ports")
        {
            selector->selectAutoInput();
            selector->selectAutoOutput();
            logLine ("Scan all ports");
            mode = "midi device inquiry";
        }

        if (mode.isNotEmpty() && isSettledIn (state))
            pollLoop (*state, mode);
    }
}

bool FirmwareUpdater::enterState()
{
    State* entered = nullptr;
    juce::String from, to;

    // One step against returnToInitialState() on the message thread: the State reported is the
    // State whose instructions run, and a return that comes later is seen as a move. A stop
    // granted by signalStopIf() for the State before this one must not see this one begin.
    {
        const std::lock_guard<std::mutex> lock (stateLock);

        if (threadShouldExit())
            return false;

        from = previousState != nullptr ? previousState->getName() : noneName;
        entered = currentState;
        to = entered->getName();
        previousState = entered;
    }

    enteredState = entered;
    missingTimeoutStateLogged = false;

    if (endsUpdate (*entered))
        selector->endUpdate();

    report ([from, to] { if (auto* cb = FirmwareUpdaterCallback::getRegistered()) cb->stateChanged (from, to); });

    lastEventTime = now();
    progress = 0.0;
    report ([] { if (auto* cb = FirmwareUpdaterCallback::getRegistered()) cb->setProgress (0.0); });

    runInstructions (entered->instructions);
    return true;
}

bool FirmwareUpdater::hasStateToEnter() const
{
    const std::lock_guard<std::mutex> lock (stateLock);
    return currentState != nullptr && currentState != previousState;
}

bool FirmwareUpdater::isSettledIn (const State* state) const
{
    const std::lock_guard<std::mutex> lock (stateLock);
    return currentState == state && previousState == state;
}

void FirmwareUpdater::pollLoop (State& state, const juce::String& mode)
{
    const bool polls = pollingModePolls (mode);

    while (isSettledIn (&state))
    {
        if (threadShouldExit())
            break;

        const auto pending = takePendingState();

        if (pending.isNotEmpty())
        {
            moveTo (pending);
            continue;
        }

        if (polls)
            pacedPollCycle (state, mode, state.pollingStates);
        else
        {
            wait (idleWaitMs);
        }
    }
}

PollingResult FirmwareUpdater::pollOnce (const juce::String& mode)
{
    if (mode == "midi device inquiry")    return selector->scanForDevice (deviceId, false);
    if (mode == "midi device inquiry 2")  return selector->scanForDevice (deviceId, true);
    if (mode == "midi ports")             return selector->checkSelectedPorts();
    if (mode == "panel state")            return selector->queryPanelState();
    return PollingResult::Stopped;
}

void FirmwareUpdater::pollCycle (State& state, const juce::String& mode, const State::Transitions& table)
{
    if (threadShouldExit())
        return;

    const auto result = pollOnce (mode);

    if (result != PollingResult::Stopped && result != PollingResult::NoDevice)
        lastEventTime = now();

    const auto timedOutAt = lastEventTime.load() + (juce::int64) timeout * 1000;

    if (now() < timedOutAt)
    {
        const auto entry = table.find (result);

        if (entry != table.end())
        {
            if (auto* target = machine->findState (entry->second))
                setCurrent (target);
        }

        return;
    }

    const auto target = getTimeoutTargetFor (state);

    // The loader checks the definitions' timeoutState but not a State's own. After the first
    // timeout every cycle times out again, so a missing State is named once per State entry,
    // not ten times a second.
    if (machine->findState (target) != nullptr || ! std::exchange (missingTimeoutStateLogged, true))
        moveTo (target);
}

void FirmwareUpdater::pacedPollCycle (State& state, const juce::String& mode, const State::Transitions& table)
{
    const auto started = juce::Time::getMillisecondCounter();
    pollCycle (state, mode, table);
    const auto elapsed = juce::Time::getMillisecondCounter() - started;

    if (elapsed < minimumPollPassMs && isSettledIn (&state))
        wait ((int) (minimumPollPassMs - elapsed));
}

//==============================================================================
void FirmwareUpdater::runInstructions (const State::InstructionList& list)
{
    for (auto& item : list)
    {
        const auto* instruction = item.get();

        if (auto* field = dynamic_cast<const TextFieldInstruction*> (instruction))
        {
            const auto text = field->getText().replace (versionPlaceholder, selector->getFirmwareVersion());
            const auto name = field->getName();
            const auto visible = field->isVisible();
            report ([name, text, visible] { if (auto* cb = FirmwareUpdaterCallback::getRegistered()) cb->setTextField (name, text, visible); });
        }
        else if (auto* button = dynamic_cast<const ButtonInstruction*> (instruction))
        {
            const auto name = button->getName();
            const auto text = button->getText();
            const auto enabled = button->getState() == "enabled";

            {
                const std::lock_guard<std::mutex> lock (stateLock);
                enabledButtons[name] = enabled;
            }

            report ([name, text, enabled] { if (auto* cb = FirmwareUpdaterCallback::getRegistered()) cb->setButton (name, text, enabled); });
        }
        else if (auto* print = dynamic_cast<const PrintInstruction*> (instruction))
        {
            const auto text = print->getText();
            report ([text] { if (auto* cb = FirmwareUpdaterCallback::getRegistered()) cb->print (text); });
        }
        else if (auto* send = dynamic_cast<const SendSysExInstruction*> (instruction))
        {
            runSendSysEx (*send);
        }
        else if (auto* pause = dynamic_cast<const WaitInstruction*> (instruction))
        {
            // A button press does not shorten a Wait; a stop request does.
            const auto ms = juce::jlimit (0.0f, 86400000.0f, pause->getTime() * 1000.0f);
            sleepUnlessStopped ((int) ms);
        }
        else if (auto* jump = dynamic_cast<const GotoStateInstruction*> (instruction))
        {
            moveTo (jump->getState());
        }
        else if (auto* check = dynamic_cast<const CheckInstruction*> (instruction))
        {
            if (check->getName() == "versionNumber")
            {
                const bool holds = selector->getFirmwareVersion() == packageStore.getSelectedVersion();

                if (holds == check->getValue())
                    runInstructions (check->getInstructions());
            }
        }
    }
}

void FirmwareUpdater::runSendSysEx (const SendSysExInstruction& instruction)
{
    const auto family = (juce::uint8) (deviceId & 0x7f);
    const auto& kind = instruction.getMessageKind();

    if (kind == "erase")
    {
        sendSingleCommand (makeCommand ({ 0xf0, 0x04, family, 0x11, 0xf7 }), true);
        waitAfterErase();
    }
    else if (kind == "panel update state")
    {
        sendSingleCommand (makeCommand ({ 0xf0, 0x04, family, 0x31, 0x00, 0xf7 }), false);
    }
    else
    {
        transferFirmware (instruction);
    }
}

bool FirmwareUpdater::endsUpdate (const State& state) const
{
    const auto name = state.getName();
    return name == machine->initialState || name == "Download complete" || name == "Update cancelled" || name.startsWith ("Error");
}

bool FirmwareUpdater::sendSingleCommand (const juce::MidiMessage& message, bool changesFirmware)
{
    // A command that changes the firmware commits the run to the instrument it goes to.
    if (changesFirmware)
        selector->beginUpdate();

    auto output = selector->openSelectedOutput();

    if (output == nullptr)
    {
        logLine ("Cannot send a command: no MIDI output is open");
        return false;
    }

    if (changesFirmware && ! beginFirmwareChange())
        return false;

    // A command that went out in part may still have reached the instrument: it counts as sent
    // for the firmware's sake, and as failed here. An erased instrument answers only from its
    // bootloader until a whole image has left.
    const auto sent = output->sendMessageNow (message);

    if (changesFirmware)
        selector->setImageIncomplete (true);

    if (sent.failed())
    {
        logLine ("MIDI output [" + selector->getOutputName() + "] refused a command: " + sent.getErrorMessage());
        return false;
    }

    return true;
}

void FirmwareUpdater::waitAfterErase()
{
    // Up to 10 s for the instrument to erase; a button press (Cancel) ends the wait within
    // one step and stays pending for the poll loop.
    for (int step = 0; step < 100; ++step)
    {
        if (! sleepUnlessStopped (100))
            return;

        if (peekPendingState().isNotEmpty())
            return;
    }
}

juce::String FirmwareUpdater::firmwareEntryNameFor (const SendSysExInstruction& instruction) const
{
    return PackageVerifier::imageEntryName (instruction.getMessageKind(), packageStore.getSelectedVersion());
}

void FirmwareUpdater::transferFirmware (const SendSysExInstruction& instruction)
{
    if (! packageStore.hasSelectedPackage())
        return;

    const auto entryName = firmwareEntryNameFor (instruction);

    juce::MemoryBlock data;

    juce::String reason;

    if (! packageStore.readSelectedEntry (entryName, data, &reason))
    {
        logLine ("Cannot send '" + entryName + "': " + reason);
        return;
    }

    selector->beginUpdate();
    auto output = selector->openSelectedOutput();
    auto lastPortCheck = PollingResult::Stopped;
    bool connectionBroken = false;
    bool sendRefused = false;
    const auto total = data.getSize();

    if (output != nullptr && total == 0)
    {
        // Nothing to send: report the transfer as complete instead of dividing by zero.
        progress = 1.0;
        report ([] { if (auto* cb = FirmwareUpdaterCallback::getRegistered()) cb->setProgress (1.0); });
    }
    else if (output != nullptr && beginFirmwareChange())
    {
        selector->setImageIncomplete (true);
        output->announceImage (total);

        // Declared before the sender, so that it still says so while the sender's destructor waits.
        const ScopedFlag waitingForSender (senderAlive);
        const MidiTraceRecorder::ImageRun traceRun (entryName);
        SysexSender sender (*output, data, instruction.getWaitTime(), instruction.getPacketSize(), tailBytesToSkip);
        sender.startThread();

        if (afterSenderStarted)
            afterSenderStarted (sender);

        int lastPercent = -1;

        // A packet the system did not take ends the transfer as a vanished port does: what
        // follows it would reach the instrument as a damaged image. Asked once the sender has
        // finished.
        const auto takeRefusal = [&] (juce::uint32 sent)
        {
            const auto failure = sender.getFailure();

            if (failure.isEmpty())
                return false;

            logLine ("MIDI output [" + selector->getOutputName() + "] refused a packet of '" + entryName
                     + "' after " + juce::String (sent) + " bytes: " + failure);
            lastPortCheck = PollingResult::NoDevice;
            connectionBroken = true;
            sendRefused = true;
            return true;
        };

        // A sender that has already finished (its first packet refused at once, or a short image
        // sent while this thread was not running) leaves nothing to watch: no pass is made, so no
        // progress line and no port check; a refusal is still read below, and end polling follows
        // a whole image. Otherwise each pass asks whether the sender has finished before it reads
        // the count: a count read after the sender said so is final, so the last pass reports it.
        for (bool firstPass = true;; firstPass = false)
        {
            const bool senderFinished = sender.isFinished();

            if (firstPass && senderFinished)
            {
                takeRefusal (sender.getBytesSent());
                break;
            }

            const auto pending = peekPendingState();

            if (pending.isNotEmpty())
            {
                logLine ("Exit to _pendingState = '" + pending + "' !!!");
                break;
            }

            if (threadShouldExit())
                break;

            const auto sent = sender.getBytesSent();
            const double fraction = (double) sent / (double) total;
            progress = fraction;
            const auto percent = (int) (fraction * 100.0);

            if (percent != lastPercent)
            {
                logLine ("Send '" + entryName + "' : " + juce::String (percent) + " %%");
                report ([fraction] { if (auto* cb = FirmwareUpdaterCallback::getRegistered()) cb->setProgress (fraction); });
                lastPercent = percent;
            }

            // The ports first: a pulled cable also makes the packet in flight fail, and is
            // reported as the break it is.
            lastPortCheck = selector->checkSelectedPorts();

            if (lastPortCheck != PollingResult::DeviceDetected)
            {
                if (sender.getBytesSent() > 0)
                    logLine ("Connection break !!!");
                else
                    logLine ("MIDI input [" + selector->getInputName() + "] or output [" + selector->getOutputName()
                             + "] is not listed any more: '" + entryName + "' stopped before its first packet");

                connectionBroken = true;
                break;
            }

            if (senderFinished && takeRefusal (sent))
                break;

            if (fraction >= 1.0 || senderFinished)
                break;

            // The sender counts a packet only after its pause (about 100 ms), so looking
            // every few milliseconds sees every change without keeping a core busy.
            wait (senderWatchStepMs);
        }

        if (! sender.stopSending (4000))
            logLine ("Sender thread timed out waiting for exit!");
        else if (sender.getFailure().isEmpty() && sender.getBytesSent() + (juce::uint64) tailBytesToSkip >= total)
            selector->setImageIncomplete (false); // every byte has left, also when a port check failed after the last

        // The sender's destructor waits until its thread has really ended, so the data and
        // the output it reads stay alive until then.
    }

    output.reset();

    // A refused packet moves on even when it was the first: nothing reached the instrument whole.
    if (connectionBroken && (progress.load() > 0.0 || sendRefused))
    {
        const auto& table = instruction.getPollingStates();
        const auto entry = table.find (lastPortCheck);

        if (entry != table.end())
            if (auto* target = machine->findState (entry->second))
                setCurrent (target);
    }
    else
    {
        lastEventTime = now();

        if (peekPendingState().isEmpty() && ! connectionBroken && isSettledIn (enteredState))
            runEndPolling (instruction);
    }

    lastEventTime = now();
}

void FirmwareUpdater::runEndPolling (const SendSysExInstruction& instruction)
{
    const auto mode = instruction.getEndPollingMode().toLowerCase();

    // Other words (including "none") would poll nothing and never end: no end polling.
    if (! isEndPollingMode (mode))
        return;

    while (isSettledIn (enteredState) && ! threadShouldExit())
        pacedPollCycle (*enteredState, mode, instruction.getPollingStates());
}
