#include "CandidateInquiry.h"

#include "ChosenInstrument.h"
#include "DetectionResults.h"
#include "InquiryReplyDecoder.h"
#include "PollThread.h"
#include "PortAccess.h"
#include "PortOpener.h"
#include "../base/AppLog.h"

namespace
{
    juce::String describe (const juce::MidiDeviceInfo& port)
    {
        return "[" + port.name + "] (" + port.identifier + ")";
    }
}

CandidateInquiry::CandidateInquiry (PortAccess& portAccess, ChosenInstrument& chosenInstrument,
                                    DetectionResults& detectionResults, PortOpener& portOpener)
    : access (portAccess), chosen (chosenInstrument), results (detectionResults), opener (portOpener)
{
}

std::optional<CandidateInquiry::Answer> CandidateInquiry::askOne (const juce::MidiDeviceInfo& candidate,
                                                                  const juce::Array<juce::MidiDeviceInfo>& outputs,
                                                                  const juce::Array<juce::MidiDeviceInfo>& inputs, int waitMs)
{
    // A port another updater holds is another instrument's.
    if (! access.mayTalkTo (candidate, PortAccess::Use::candidate))
        return std::nullopt;

    // Only the candidate's own inputs are heard, so that no other instrument's reply counts for it.
    std::vector<std::unique_ptr<MidiInputPort>> heard;

    for (auto& input : inputs)
        if (access.mayHearInput (input, candidate, outputs))
            if (auto opened = opener.openInput (input))
                heard.push_back (std::move (opened));

    results.setDeviceDetected (false);
    chosen.setAsking (candidate);

    auto output = opener.openOutput (candidate);
    const auto sent = output != nullptr ? output->sendMessageNow (InquiryReplyDecoder::deviceInquiryRequest())
                                        : juce::Result::fail ("the port cannot be opened");
    output.reset();

    logLine (candidate.name + " : send Device Inquiry Request...");
    PortAccess::logRefusal (candidate.name, sent);

    const bool waited = PollThread::sleepUnlessStopped (waitMs);
    PortOpener::closeInputs (heard);
    std::optional<Answer> answer;

    if (waited && sent.wasOk() && results.isDeviceDetected())
    {
        // Halvanes tell their bootloader only by the alternative inquiry, after the identity reply.
        const bool bootloader = results.isBootloaderMode();

        if (access.mayBeTheUpdatedInstrument (candidate, bootloader || results.getDeviceFamily() == 12))
            answer = Answer { candidate, bootloader, results.getFirmwareVersion() };
    }

    if (! answer)
        access.endAsking (candidate);

    return answer;
}

PollingResult CandidateInquiry::ask (const juce::Array<juce::MidiDeviceInfo>& candidates,
                                     const juce::Array<juce::MidiDeviceInfo>& outputs, int waitMs)
{
    auto ports = access.getPorts();
    const auto inputDevices = ports->getInputDevices();
    const auto wasOn = "MIDI output " + describe (access.lastSeenOutput());
    juce::StringArray described;

    for (auto& candidate : candidates)
        described.add (describe (candidate));

    access.tellOnce ("candidates " + described.joinIntoString (","),
                     "The instrument on " + wasOn + " is gone; asking the ports that appeared since: " + described.joinIntoString (", "));

    std::vector<Answer> answers;

    for (auto& candidate : candidates)
    {
        if (PollThread::stopRequested())
            break;

        if (auto answer = askOne (candidate, outputs, inputDevices, waitMs))
            answers.push_back (*answer);
    }

    const auto letGoOfAnswers = [&]
    {
        for (auto& answer : answers)
            access.endAsking (answer.output);
    };

    if (PollThread::stopRequested())
    {
        letGoOfAnswers();
        return PollingResult::Stopped;
    }

    if (answers.size() != 1)
    {
        results.forgetFirmwareVersion();
        letGoOfAnswers();

        if (answers.size() > 1)
        {
            // Two instruments came back where one went: which of them is the one being updated
            // cannot be told, and sending it the wrong image would leave the other erased.
            juce::StringArray both;

            for (auto& answer : answers)
                both.add (describe (answer.output));

            access.tellOnce ("ambiguous " + both.joinIntoString (","),
                             "MIDI outputs " + both.joinIntoString (" and ") + " both answer as the instrument that was on " + wasOn
                             + ": which one it is cannot be told, so nothing but this question is sent to either until only"
                               " one answers. Disconnect the instruments that are not being updated.");
        }
        else if (access.isAmbiguous())
        {
            logLine ("None of the ports that appeared answers as the instrument that was on " + wasOn + " any more");
        }

        access.setAmbiguous (answers.size() > 1);
        return PollingResult::NoDevice;
    }

    const auto& found = answers.front();
    juce::String error;

    if (access.claimOutput (found.output, error) != PortLocks::Outcome::granted)
    {
        access.tellOnce (found.output.identifier, "MIDI output " + describe (found.output) + " was taken by another updater", true);
        letGoOfAnswers();
        return PollingResult::NoDevice;
    }

    access.foundAt (found.output, outputs);
    chosen.moveTo (found.output, outputs, inputDevices);
    results.setFirmwareVersion (found.version);
    results.setBootloaderMode (found.bootloader);
    logLine ("MIDI output " + describe (found.output) + " answers as the instrument that was on " + wasOn + ": it is followed there");

    return found.bootloader ? PollingResult::BootloaderDetected : PollingResult::DeviceDetected;
}
