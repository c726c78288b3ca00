#pragma once

#include "FollowedInstrument.h"
#include "../definitions/PollingResult.h"

class ChosenInstrument;
class DetectionResults;
class PortAccess;
class PortOpener;

/** The poll of the instrument being updated while it is away and ports appeared since it
    vanished: asks each candidate who it is, with only that candidate's inputs open, and follows
    the instrument to the one port that answers as it. An instrument whose image has not wholly
    arrived answers only from its bootloader, so a candidate that answers from running firmware is
    another instrument. While two answer as it, which one it is cannot be told: nothing but the
    question is sent to either (see PortAccess::isAmbiguous) until one is gone or answers
    otherwise.

    Runs on the polling thread (the engine thread); its waits end at once on a stop. The replies
    are decoded on the input thread into the DetectionResults it reads.
*/
class CandidateInquiry final
{
public:
    CandidateInquiry (PortAccess& access, ChosenInstrument& chosen, DetectionResults& results, PortOpener& opener);

    /** Asks the candidates, waiting waitMs for each answer; outputs is the list they are in. */
    PollingResult ask (const juce::Array<juce::MidiDeviceInfo>& candidates,
                       const juce::Array<juce::MidiDeviceInfo>& outputs, int waitMs);

private:
    struct Answer
    {
        juce::MidiDeviceInfo output;
        bool bootloader;
        juce::String version;
    };

    /** Asks one candidate; nullopt when it did not answer as the instrument (or a stop came). */
    std::optional<Answer> askOne (const juce::MidiDeviceInfo& candidate, const juce::Array<juce::MidiDeviceInfo>& outputs,
                                  const juce::Array<juce::MidiDeviceInfo>& inputs, int waitMs);

    PortAccess& access;
    ChosenInstrument& chosen;
    DetectionResults& results;
    PortOpener& opener;
};
