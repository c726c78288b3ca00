#pragma once

#include "FollowedInstrument.h"

#include <atomic>
#include <optional>

class PortAccess;

/** The instrument this updater talks to: the input and output chosen for it (a port, or Auto
    while a scan looks for one), the output an identity request was last sent to, and, once it
    answered (or vfu-update named its port), the instrument followed through its restarts (see
    FollowedInstrument), wherever its ports go.

    Any thread may call: the user's choices arrive on the message thread, the polls run on the
    engine thread, a reply picks the input on the port backend's input thread. One lock guards
    the choices and the followed instrument together, so that a choice and the instrument it
    names change in one step; it is never held while a port list is read, a lock is taken or a
    line is logged. The ambiguity flag is atomic.
*/
class ChosenInstrument final
{
public:
    /** One direction's choice: a position in the port list and the name found there, or
        -1 and "Auto". Both always change together, so a copy describes one port. */
    struct PortChoice
    {
        int index = -1;
        juce::String name;
        juce::String identifier; // empty while Auto, or where the choice was made by name only
    };

    static const juce::String autoName;

    explicit ChosenInstrument (PortAccess& access);

    PortChoice getInput() const;
    PortChoice getOutput() const;
    void setInput (int index, const juce::String& name);
    void setOutput (int index, const juce::String& name, const juce::String& identifier = {});

    /** Both choices Auto, nothing followed, nothing asked. */
    void reset();

    // The followed instrument ------------------------------------------------------------------
    /** See MIDIPortsSelector::restrictToOutput. */
    void restrictToOutput (const juce::String& identifier);

    /** The instrument on this output answered: it is followed from now on (under a restriction,
        only if it is the instrument restricted to). */
    void startFollowing (const juce::MidiDeviceInfo& output, const juce::Array<juce::MidiDeviceInfo>& outputs);

    /** Follows nothing any more, unless restricted to one instrument; lets go of its name guards. */
    void stopFollowingUnlessRestricted();

    /** Where the followed instrument is now; keeps the port choices on its ports when it has
        moved, and lets go of the lock of a port without a place that it left. nullopt when no
        instrument is followed. listsGeneration: the ports' MidiPorts::getListsGeneration() both
        before and after outputs were read (0: unknown); while it stays that of the last reading
        that found the instrument present, the lists are not searched again. */
    std::optional<FollowedInstrument::Sighting> locate (const juce::Array<juce::MidiDeviceInfo>& outputs,
                                                        std::uint64_t listsGeneration = 0);

    /** The output the followed instrument is on now: nullopt when none is followed, an empty one
        while it is away or cannot be told from another. */
    std::optional<juce::MidiDeviceInfo> followedOutput (const juce::Array<juce::MidiDeviceInfo>& outputs);

    /** The output the instrument was last seen on. */
    juce::MidiDeviceInfo lastSeenOutput() const;

    /** True once two ports that appeared while it was away both answered as it. */
    bool isAmbiguous() const noexcept   { return ambiguous.load(); }
    void setAmbiguous()                 { ambiguous = true; }

    /** A candidate answered as the followed instrument: it is followed there, and the choices
        that are not Auto move onto its ports. */
    void foundAt (const juce::MidiDeviceInfo& output, const juce::String& place,
                  const juce::Array<juce::MidiDeviceInfo>& outputs, const juce::Array<juce::MidiDeviceInfo>& inputs);

    /** The position in inputs of the input that belongs with the output: the chosen one if it
        still does, else one of the output's name, else the first (-1: none). */
    int inputBelongingTo (const juce::MidiDeviceInfo& output, const juce::Array<juce::MidiDeviceInfo>& inputs);

    // Steps of the polls -----------------------------------------------------------------------
    /** The output an identity request goes to now; a reply picks the input that belongs with it. */
    void setAsking (const juce::MidiDeviceInfo& output);

    /** An identity reply arrived on that input: while the input is Auto, it becomes the choice
        (input thread). */
    void pickInput (const juce::String& sourceName);

    /** The input chosen before still there, under the name listed at its position now. */
    void renameInputIfUnchanged (const PortChoice& before, const juce::String& name);

    /** A chosen (not Auto) input moves to that position of inputs. */
    void moveChosenInput (int position, const juce::Array<juce::MidiDeviceInfo>& inputs);

    /** Whether an answer on the output of that name counts: the output is Auto or that one. */
    bool wouldTake (const juce::String& outputName) const;

    /** The output answered: it becomes the choice, unless another one has been chosen since. */
    void takeOutput (int position, const juce::String& name, const juce::String& identifier);

    /** The choices stand at these positions now, unless others have been chosen since. */
    void followPositions (const PortChoice& in, int inputAt, const PortChoice& out, int outputAt);

private:
    static bool samePort (const juce::MidiDeviceInfo& a, const juce::MidiDeviceInfo& b)
    {
        return a.identifier == b.identifier && a.name == b.name;
    }

    PortAccess& access;

    juce::CriticalSection lock;
    // Guarded by lock:
    FollowedInstrument followed;            // the instrument that answered, or the one of restrictToOutput
    bool restricted = false;                // restrictToOutput: nothing but the followed instrument is used
    juce::MidiDeviceInfo asking;            // the output an identity request was last sent to
    PortChoice input { -1, autoName, {} }, output { -1, autoName, {} };
    std::uint64_t presentInGeneration = 0;  // the lists' generation it was last found present in; 0: look again

    std::atomic<bool> ambiguous { false };
};
