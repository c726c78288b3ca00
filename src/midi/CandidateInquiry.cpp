#include "CandidateInquiry.h"

#include "ChosenInstrument.h"
#include "DetectionResults.h"
#include "InquiryReplyDecoder.h"
#include "PollThread.h"
#include "PortAccess.h"
#include "PortOpener.h"
#include "../base/AppLog.h"

CandidateInquiry::CandidateInquiry (PortAccess& portAccess, ChosenInstrument& chosenInstrument,
                                    DetectionResults& detectionResults, PortOpener& portOpener)
    : access (portAccess), chosen (chosenInstrument), results (detectionResults), opener (portOpener)
{
}

PollingResult CandidateInquiry::ask (const juce::Array<juce::MidiDeviceInfo>& candidates,
                                     const juce::Array<juce::MidiDeviceInfo>& outputs, int waitMs)
{
    auto ports = access.getPorts();
    auto locks = access.getLocks();
    const auto inputDevices = ports->getInputDevices();
    const auto gone = chosen.lastSeenOutput();

    const auto wasOn = "MIDI output [" + gone.name + "] (" + gone.identifier + ")";
    juce::StringArray described;

    for (auto& candidate : candidates)
        described.add ("[" + candidate.name + "] (" + candidate.identifier + ")");

    access.tellOnce ("candidates " + described.joinIntoString (","),
                     "The instrument on " + wasOn + " is gone; asking the ports that appeared since: " + described.joinIntoString (", "), false);

    // The inputs of the ports that appeared: the answer of the instrument arrives on one of them.
    std::vector<std::unique_ptr<MidiInputPort>> inputs;

    for (int i = 0; i < inputDevices.size(); ++i)
    {
        if (PollThread::stopRequested())
        {
            PortOpener::closeInputs (inputs);
            return PollingResult::Stopped;
        }

        for (auto& candidate : candidates)
        {
            if (ports->belongTogether (inputDevices[i], candidate))
            {
                if (auto input = opener.openInput (inputDevices[i]))
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
        if (PollThread::stopRequested())
            break;

        // A port another updater holds is another instrument's.
        if (! access.mayTalkTo (candidate, true, true))
            continue;

        results.setDeviceDetected (false);
        chosen.setAsking (candidate);

        auto output = opener.openOutput (candidate);
        const auto sent = output != nullptr ? output->sendMessageNow (InquiryReplyDecoder::deviceInquiryRequest())
                                            : juce::Result::fail ("the port cannot be opened");
        output.reset();

        logLine (candidate.name + " : send Device Inquiry Request...");
        PortAccess::logRefusal (candidate.name, sent);

        if (! PollThread::sleepUnlessStopped (waitMs))
            break;

        if (sent.wasOk() && results.isDeviceDetected())
            answers.push_back ({ candidate, results.isBootloaderMode(), results.getFirmwareVersion() });
        else if (! locks->owns (access.lockKeyOf (candidate)))
            locks->release (access.lockKeyOf (candidate));
    }

    PortOpener::closeInputs (inputs);

    const auto letGoOfAnswers = [&]
    {
        for (auto& answer : answers)
            if (! locks->owns (access.lockKeyOf (answer.output)))
                locks->release (access.lockKeyOf (answer.output));
    };

    if (PollThread::stopRequested())
    {
        letGoOfAnswers();
        return PollingResult::Stopped;
    }

    if (answers.size() != 1)
    {
        results.forgetFirmwareVersion();

        if (answers.size() > 1)
        {
            // Two instruments came back where one went: which of them is the one being updated
            // cannot be told, and sending it the wrong image would leave the other erased.
            juce::StringArray both;

            for (auto& answer : answers)
                both.add ("[" + answer.output.name + "] (" + answer.output.identifier + ")");

            chosen.setAmbiguous();
            letGoOfAnswers();
            logLine ("MIDI outputs " + both.joinIntoString (" and ") + " both answer as the instrument that was on " + wasOn
                     + ": which one it is cannot be told, so nothing more is sent to either. Disconnect the other"
                       " instruments and start again.");
        }

        return PollingResult::NoDevice;
    }

    const auto& found = answers.front();
    juce::String error;

    if (! locks->owns (access.lockKeyOf (found.output)) && access.claimOutput (found.output, error) != PortLocks::Outcome::granted)
    {
        access.tellOnce (found.output.identifier, "MIDI output [" + found.output.name + "] (" + found.output.identifier + ") was taken by another updater", true);
        letGoOfAnswers();
        return PollingResult::NoDevice;
    }

    locks->releaseAllBut (access.lockKeyOf (found.output));
    chosen.foundAt (found.output, ports->placeOf (found.output), outputs, inputDevices);
    results.setFirmwareVersion (found.version);
    results.setBootloaderMode (found.bootloader);
    access.guardName (found.output);
    logLine ("MIDI output [" + found.output.name + "] (" + found.output.identifier + ") answers as the instrument that was on "
             + wasOn + ": it is followed there");

    return found.bootloader ? PollingResult::BootloaderDetected : PollingResult::DeviceDetected;
}
