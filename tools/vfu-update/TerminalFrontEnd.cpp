#include "TerminalFrontEnd.h"

#include "base/AppLog.h"
#include "app/QuitDeadline.h"
#include "firmware/SysexSender.h"
#include "midi/MIDIPortsSelector.h"
#include "midi/native/JuceMidiPorts.h"

namespace
{
    // A State's texts and button follow its entry at once; this long a silence means they are all in.
    constexpr int settleMs = 300;
    constexpr int engineStopTimeoutMs = 5000;
    constexpr int ambiguityCheckMs = 1000;

    bool isCancelButton (const juce::String& text)
    {
        return text.equalsIgnoreCase ("Cancel");
    }

    juce::String noKeyMessage (const juce::String& buttonText)
    {
        return "'" + buttonText + "' waits for a key, but standard input has ended; run with --yes to press it.";
    }
}

//==============================================================================
class TerminalFrontEnd::OneShotTimer final : private juce::Timer
{
public:
    explicit OneShotTimer (std::function<void()> fn) : callback (std::move (fn)) {}
    ~OneShotTimer() override { stopTimer(); }

    void start (int milliseconds) { startTimer (milliseconds); }
    void stop() { stopTimer(); }

private:
    void timerCallback() override
    {
        stopTimer();
        callback();
    }

    std::function<void()> callback;
};

//==============================================================================
juce::var TerminalFrontEnd::jsonEvent (const char* type, std::initializer_list<std::pair<const char*, juce::var>> fields)
{
    auto* object = new juce::DynamicObject();
    object->setProperty ("event", type);

    for (auto& [name, value] : fields)
        object->setProperty (name, value);

    return juce::var (object);
}

void TerminalFrontEnd::noteReportedVersion()
{
    // "Unknown" before an answer, empty from a bootloader: neither is a firmware version.
    const auto reported = selector.getFirmwareVersion();

    if (reported.isEmpty() || reported == "Unknown")
        return;

    if (versionBefore.isEmpty() && ! outcome->hasBegun())
        versionBefore = reported;

    if (outcome->hasBegun())
        versionAfter = reported;
}

//==============================================================================
TerminalFrontEnd::TerminalFrontEnd (Settings s, TerminalOutput& out, MIDIPortsSelector& sel)
    : settings (s), output (out), selector (sel)
{
    timeoutTimer = std::make_unique<OneShotTimer> ([this]
    {
        const auto passedOver = selector.getPortsHeldElsewhere();
        const auto noAnswer = "no " + engine->getDeviceName() + " answered within " + juce::String (settings.timeoutSeconds) + " s";

        // The instrument may be the one another updater holds, or on a port that another program
        // has open (Windows): that is no missing instrument.
        const auto inUse = JuceMidiPorts::getPortsInUseByOtherPrograms();

        if (! passedOver.isEmpty())
            finish ({ UpdateOutcome::busy, noAnswer + "; another updater held MIDI output "
                                           + passedOver.joinIntoString (", ") + ", which was not asked." });
        else if (! inUse.isEmpty())
            finish ({ UpdateOutcome::failed, noAnswer + "; " + inUse.joinIntoString (" and ")
                                             + (inUse.size() > 1 ? " are" : " is") + " in use by another program, so nothing"
                                             + " reached the instrument there. Close that program and try again." });
        else
            finish ({ UpdateOutcome::noInstrument, noAnswer + "." });
    });

    settleTimer = std::make_unique<OneShotTimer> ([this] { settleThenFinish(); });

    // Two instruments that came back where the one being updated went cannot be told apart: the
    // selector sends neither anything but the identity request until one is gone or answers
    // otherwise. The user is told what to do, and the run goes on (or ends at its timeout).
    ambiguityTimer = std::make_unique<OneShotTimer> ([this]
    {
        if (done || ending)
            return;

        const bool ambiguous = selector.isFollowedInstrumentAmbiguous();

        if (ambiguous != ambiguityTold)
        {
            ambiguityTold = ambiguous;
            const auto device = engine != nullptr ? engine->getDeviceName() : juce::String ("instrument");
            output.always (ambiguous ? "Two instruments answer as the " + device + " being updated; which one it is cannot be told,"
                                       " so nothing is sent to either. Disconnect the one that is not being updated."
                                     : "Only one instrument answers as the " + device + " being updated now; the update goes on.");
        }

        ambiguityTimer->start (ambiguityCheckMs);
    });
}

TerminalFrontEnd::~TerminalFrontEnd()
{
    timeoutTimer.reset();
    settleTimer.reset();
    ambiguityTimer.reset();
    input.reset();
}

double TerminalFrontEnd::now()
{
    return juce::Time::getMillisecondCounterHiRes() / 1000.0;
}

juce::String TerminalFrontEnd::tidy (const juce::String& text)
{
    juce::StringArray lines;

    for (auto line : juce::StringArray::fromLines (text))
    {
        line = line.trim();

        // One blank line at most between paragraphs, none at the ends.
        if (line.isEmpty() && (lines.isEmpty() || lines[lines.size() - 1].isEmpty()))
            continue;

        lines.add (line);
    }

    while (! lines.isEmpty() && lines[lines.size() - 1].isEmpty())
        lines.remove (lines.size() - 1);

    return lines.joinIntoString ("\n");
}

ProgressLine::Plan TerminalFrontEnd::planTransfer() const
{
    ProgressLine::Plan plan;
    auto* transfer = outcome->getFirmwareTransfer();

    if (transfer == nullptr)
        return plan;

    juce::MemoryBlock image;

    if (! engine->getPackageStore().readSelectedEntry (engine->firmwareEntryNameFor (*transfer), image))
        return plan;

    const auto tail = engine->getTailBytesToSkip();
    double pauseMs = 0.0;

    for (auto remaining = (juce::int64) image.getSize() - juce::jmax (0, tail); remaining > 0;)
    {
        const auto length = SysexSender::nextPacketLength (remaining, transfer->getPacketSize());
        remaining -= length;
        plan.totalBytes += length;
        pauseMs += SysexSender::pauseMillisecondsFor ((int) length, transfer->getWaitTime());
    }

    plan.transferSeconds = pauseMs / 1000.0;
    return plan;
}

void TerminalFrontEnd::start (FirmwareUpdater& engineToUse, std::function<void (int)> onFinished)
{
    engine = &engineToUse;
    finished = std::move (onFinished);

    auto* machine = engine->getMachine();
    jassert (machine != nullptr); // the loader refuses definitions without one

    outcome = std::make_unique<UpdateOutcome> (*machine, engine->getTimeoutState(), engine->getDeviceName());
    transferPlan = planTransfer();
    progressLine = std::make_unique<ProgressLine> (transferPlan);
    input = std::make_unique<TerminalInput> (static_cast<TerminalInput::Listener&> (*this));

    if (settings.timeoutSeconds > 0)
        timeoutTimer->start (settings.timeoutSeconds * 1000);

    ambiguityTimer->start (ambiguityCheckMs);
    engine->startThread();
}

//==============================================================================
void TerminalFrontEnd::stateChanged (const juce::String& from, const juce::String& to)
{
    logLine ("State '" + to + "' (from State '" + from + "')");
    currentState = to;
    noteReportedVersion();

    if (! done)
        output.event (jsonEvent ("state", { { "from", from }, { "to", to } }));

    if (done || ending)
    {
        // The State that ended the run has moved on: its texts are all in.
        if (settling)
            settleTimer->start (1);

        return;
    }

    const auto t = now();

    if (transferring && ! outcome->isTransferState (to))
    {
        transferring = false;
        transferDone = true;
        progressLine->transferEnded (t);
    }

    if (outcome->isEraseState (to))
        progressLine->eraseStarted (t);

    if (outcome->isTransferState (to))
    {
        transferring = true;
        transferDone = false;
        lastProgress = 0.0;
        progressLine->transferStarted (t);
    }

    if (outcome->isLookingForInstrument (to) && settings.timeoutSeconds > 0)
        timeoutTimer->start (settings.timeoutSeconds * 1000);
    else
        timeoutTimer->stop();

    auto result = outcome->stateEntered (to, selector.getFirmwareVersion(), engine->getSelectedVersion());

    if (! result)
        return;

    ending = true;

    if (result->awaitStateTexts)
    {
        settling = result;
        settleTimer->start (settleMs);
    }
    else
    {
        finishLater (*result);
    }
}

void TerminalFrontEnd::setTextField (const juce::String& name, const juce::String& text, bool visible)
{
    auto& last = fieldTexts[name];
    const bool changed = last != text;
    last = text;

    if (done)
        return;

    if (settling)
    {
        if (name == "InstructionsField")
            settlingInstructions = tidy (text);

        settleTimer->start (settleMs);
        return;
    }

    if (ending || ! changed || ! visible || name == "Installing")
        return;

    const auto tidied = tidy (text);

    if (tidied.isEmpty())
        return;

    output.event (jsonEvent ("text", { { "field", name }, { "text", tidied } }));

    if (name == "InstalledVersion")
        output.info ("Installed version: " + tidied);
    else if (name == "InstructionsField")
        output.info (tidied);
    else
        output.info (name + ": " + tidied);
}

void TerminalFrontEnd::setButton (const juce::String& name, const juce::String& text, bool enabled)
{
    buttonName = name;
    buttonState = currentState;
    buttonText = text;
    buttonEnabled = enabled;

    if (settling)
        settleTimer->start (settleMs);

    if (done || ending)
        return;

    if (! enabled)
    {
        lastPrompt.clear();
        return;
    }

    if (settings.yes && ! isCancelButton (text))
    {
        output.info (text + " (--yes)");
        lastPrompt.clear();
        pressButton();
        return;
    }

    const auto prompt = isCancelButton (text) ? "[c] " + text
                                              : "[Enter] " + text + "   [c] Cancel";

    if (prompt != lastPrompt)
        output.info (prompt);

    lastPrompt = prompt;

    if (installWaitsForKey())
    {
        ending = true;
        finishLater (unansweredPrompt());
    }
}

bool TerminalFrontEnd::installWaitsForKey() const
{
    return (inputOver || sessionGone) && ! settings.yes && buttonEnabled && ! isCancelButton (buttonText);
}

UpdateOutcome::Result TerminalFrontEnd::unansweredPrompt() const
{
    if (sessionGone)
        return { UpdateOutcome::failed, "cancelled after the terminal hung up, as '" + buttonText
                                            + "' waits for a key, " + describeWhereItStood() };

    return { UpdateOutcome::failed, noKeyMessage (buttonText) };
}

void TerminalFrontEnd::inputEnded()
{
    inputOver = true;

    // A script that gave neither keys nor --yes would otherwise wait for ever.
    if (! done && ! ending && installWaitsForKey())
        finish (unansweredPrompt());
}

void TerminalFrontEnd::hungUp (bool processEndsSoon)
{
    if (done || sessionGone)
        return;

    sessionGone = true;

    if (processEndsSoon)
    {
        logLine ("vfu-update: the console is closing");

        if (! ending)
            finish ({ UpdateOutcome::failed, "the console was closed " + stopAndDescribe() });

        return;
    }

    logLine ("vfu-update: the terminal hung up (SIGHUP)");

    // The result is decided already and follows by itself.
    if (ending)
        return;

    // Before the erase the run stops; the engine decides that under the lock it takes to send the
    // erase, so a hang-up at that moment either stops it before the erase or lets it carry on.
    if (engine == nullptr || engine->signalStopBeforeFirmwareChange())
    {
        finish ({ UpdateOutcome::failed, "the terminal hung up " + describeWhereItStood() });
        return;
    }

    if (installWaitsForKey())
    {
        finish (unansweredPrompt());
        return;
    }

    logLine ("vfu-update: carrying on to the end of the update, since stopping after the erase would leave the "
             + engine->getDeviceName() + " without firmware");
}

void TerminalFrontEnd::print (const juce::String& text)
{
    if (done)
        return;

    output.event (jsonEvent ("print", { { "text", text } }));
    output.always (text);
}

void TerminalFrontEnd::setProgress (double progress)
{
    if (done || ending || ! outcome->hasBegun())
        return;

    const auto t = now();

    if (transferring)
    {
        lastProgress = progress;

        if (progress >= 1.0)
            progressLine->transferEnded (t);
    }

    const auto shown = transferring ? progress : (transferDone ? 1.0 : 0.0);
    const auto percent = (int) (juce::jlimit (0.0, 1.0, shown) * 100.0);

    if (transferring && percent != lastPercentEvent)
    {
        lastPercentEvent = percent;
        output.event (jsonEvent ("progress", { { "percent", percent } }));
    }

    if (output.isTerminal())
    {
        output.setStatus (progressLine->describe (shown, t));
    }
    else if (transferring)
    {
        const auto ten = progressLine->takeNewTen (progress);

        if (ten >= 0)
            output.info ("Installing " + juce::String (ten) + "%");
    }
}

//==============================================================================
bool TerminalFrontEnd::pressButton()
{
    // The key answers the prompt of the State that set the button; the engine ignores it if it
    // has moved on since, and that State's own prompt follows.
    return engine != nullptr && buttonName.isNotEmpty() && engine->buttonPressed (buttonName, buttonState);
}

void TerminalFrontEnd::keyPressed (char key)
{
    if (done || ending)
        return;

    if (key == '\n')
    {
        if (buttonEnabled && ! isCancelButton (buttonText))
        {
            lastPrompt.clear();
            pressButton();
        }
    }
    else if (key == 'c' || key == 'C')
    {
        if (buttonEnabled && isCancelButton (buttonText))
        {
            // The definitions' own way out: their cancel State ends the run.
            if (pressButton())
            {
                outcome->cancelRequested();
                output.info ("Cancelling...");
            }
        }
        else
        {
            finish ({ UpdateOutcome::failed, "cancelled " + stopAndDescribe() });
        }
    }
}

void TerminalFrontEnd::interruptRequested()
{
    if (! done)
        finish ({ UpdateOutcome::failed, "interrupted " + stopAndDescribe() });
}

juce::String TerminalFrontEnd::stopAndDescribe()
{
    // Whether the firmware was changed is settled only once the engine can no longer begin to.
    if (engine != nullptr)
        engine->signalStopBeforeFirmwareChange();

    return describeWhereItStood();
}

juce::String TerminalFrontEnd::describeWhereItStood() const
{
    const auto device = engine != nullptr ? engine->getDeviceName() : juce::String ("instrument");
    auto text = "in State '" + currentState + "'";

    if (transferring)
    {
        text << " at " << (int) (lastProgress * 100.0) << "% of the transfer ("
             << ProgressLine::formatBytes ((juce::int64) (lastProgress * (double) transferPlan.totalBytes)) << " of "
             << ProgressLine::formatBytes (transferPlan.totalBytes) << ")";
    }

    // What was sent counts, not the State: a State that erases may wait before it does.
    if (engine == nullptr || ! engine->hasChangedFirmware())
        return text + "; nothing was changed on the " + device + ".";

    if (transferDone)
        return text + "; the firmware was sent, but the " + device + " has not confirmed its new version.";

    return text + "; the " + device + "'s firmware was erased and is incomplete: run vfu-update again to install it.";
}

//==============================================================================
void TerminalFrontEnd::finishLater (UpdateOutcome::Result result)
{
    // Called from inside an engine report, where the engine must not be stopped.
    juce::MessageManager::callAsync ([this, result] { finish (result); });
}

void TerminalFrontEnd::settleThenFinish()
{
    if (! settling)
        return;

    auto result = *settling;
    const auto instructions = settlingInstructions.isNotEmpty() ? settlingInstructions
                                                                : tidy (fieldTexts["InstructionsField"]);

    if (result.exitStatus == UpdateOutcome::updated)
    {
        if (instructions.isNotEmpty())
            output.info (instructions);
    }
    else if (result.message.endsWithChar (':'))
    {
        // An error State's own words are the reason.
        result.message << " " << instructions.replace ("\n", " ");
    }

    finish (result);
}

void TerminalFrontEnd::finish (UpdateOutcome::Result result)
{
    if (done)
        return;

    done = true;
    timeoutTimer->stop();
    settleTimer->stop();

    output.endStatus();
    noteReportedVersion();

    auto versionOrNull = [] (const juce::String& version) { return version.isEmpty() ? juce::var() : juce::var (version); };
    output.event (jsonEvent ("result", { { "status", result.exitStatus },
                                         { "message", result.message },
                                         { "port", settings.port.isEmpty() ? juce::var() : juce::var (settings.port) },
                                         { "versionBefore", versionOrNull (versionBefore) },
                                         { "versionAfter", versionOrNull (result.exitStatus != UpdateOutcome::updated ? juce::String()
                                                                         : versionAfter.isNotEmpty() ? versionAfter : versionBefore) },
                                         { "installing", engine != nullptr ? juce::var (engine->getSelectedVersion()) : juce::var() } }));

    if (result.exitStatus == UpdateOutcome::updated)
        output.always (result.message);
    else
        output.error ("vfu-update: " + result.message);

    logLine ("vfu-update: exit status " + juce::String (result.exitStatus) + ": " + result.message);

    // Every wait of the engine ends on the stop request, a transfer's sender included; only a MIDI
    // driver whose send never returns can hold it, and then the program ends without it.
    if (engine != nullptr)
        QuitDeadline::stopEngineOrEndProcess (*engine, engineStopTimeoutMs, result.exitStatus);

    if (finished)
        finished (result.exitStatus);
}
