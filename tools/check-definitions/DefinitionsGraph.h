#pragma once

#include "definitions/UpdaterDefinitions.h"

#include <vector>

/** The state machine of a loaded definition as a graph: one node per State, one edge per move
    the engine can make from one State to another, each labelled with what causes it. It writes
    the graph in the Graphviz language and finds what a maker wants to know before shipping a
    document: States the initial State cannot reach, States with no way out, and moves to names
    that are no State (the engine does not make them).

    A move that leads back into its own State is left out: the engine does not enter a State
    again that it is in. Poll results count only in States that poll, and the table of a firmware
    transfer counts wherever the transfer may run (also inside a Check "versionNumber"). Built
    once from the definitions, which must outlive it; any thread.
*/
class DefinitionsGraph final
{
public:
    enum class Cause
    {
        pollResult,     // a poll of the State's polling mode gave this result
        timeout,        // no poll found the instrument for the definition's timeout
        button,         // the user clicked a button of the State
        gotoState,      // a GotoState among the State's instructions (maybe inside a Check)
        afterTransfer   // the polling after a firmware transfer, or the connection lost during it
    };

    struct Move
    {
        juce::String from, to, label;
        Cause cause;
    };

    /** The definitions must hold a machine (getMachine() not nullptr). */
    explicit DefinitionsGraph (const UpdaterDefinitions& definitions);

    /** Every move between two different States, the States taken as the initial State reaches them. */
    const std::vector<Move>& getMoves() const noexcept { return moves; }

    /** The States, the initial State first, then in the order moves reach them, then those that
        cannot be reached (drawn filled grey). States that do not poll are drawn dashed. */
    const juce::StringArray& getStateNames() const noexcept { return stateNames; }

    /** One line per finding, without a "warning:" prefix. */
    const juce::StringArray& getWarnings() const noexcept { return warnings; }

    /** The graph in the Graphviz language, for dot. */
    juce::String toDot() const;

private:
    using State = UpdaterDefinitions::State;
    using InstructionList = State::InstructionList;

    void addMovesOf (const State& state);
    /** Adds the moves of GotoStates and firmware transfers; true when a transfer polls after it. */
    bool addInstructionMoves (const State& state, const InstructionList& list, const juce::String& condition);
    void addMove (const State& from, const juce::String& to, Cause cause, const juce::String& label);
    void orderStates();
    void findProblems();

    const UpdaterDefinitions& definitions;
    const UpdaterDefinitions::StatesMachine& machine;
    std::vector<Move> moves;
    juce::StringArray stateNames, warnings;
    int reachableStates = 0;   // the first of stateNames, the initial State's

    JUCE_DECLARE_NON_COPYABLE (DefinitionsGraph)
};
