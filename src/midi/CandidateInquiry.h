#pragma once

#include "FollowedInstrument.h"
#include "../definitions/PollingResult.h"

class ChosenInstrument;
class DetectionResults;
class PortAccess;
class PortOpener;

/** The poll of the followed instrument while it is away and ports appeared since it vanished:
    asks each candidate who it is, and follows the instrument to the one port that answers as it.
    Two that answer cannot be told apart: then nothing more is sent to either (see
    ChosenInstrument::isAmbiguous). A candidate that answered is claimed as an update claims its
    port; the others are let go.

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
    PortAccess& access;
    ChosenInstrument& chosen;
    DetectionResults& results;
    PortOpener& opener;
};
