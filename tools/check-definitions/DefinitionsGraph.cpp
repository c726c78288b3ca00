#include "DefinitionsGraph.h"

#include <map>
#include <optional>
#include <set>

namespace
{
using Definitions = UpdaterDefinitions;

const juce::String versionCheckName ("versionNumber");

bool isFirmwareTransfer (const Definitions::SendSysExInstruction& send)
{
    const auto& kind = send.getMessageKind();
    return kind != "erase" && kind != "panel update state";
}

juce::String quoted (const juce::String& name)
{
    return "'" + name + "'";
}

/** A text as a Graphviz string: quotes and backslashes escaped, line breaks as \n, other
    control characters dropped (names come from the document as written). */
juce::String dotString (const juce::String& text)
{
    juce::String result ("\"");

    for (auto p = text.getCharPointer(); ! p.isEmpty(); ++p)
    {
        const auto c = *p;

        if (c == '"' || c == '\\')  result << '\\' << juce::String::charToString (c);
        else if (c == '\n')         result << "\\n";
        else if (c == '\r')         { if (p[1] != '\n') result << "\\n"; }
        else if (c >= 0x20)         result << juce::String::charToString (c);
    }

    return result + "\"";
}

/** The condition of a Check "versionNumber" as part of a label. */
juce::String conditionText (std::optional<bool> versionMatches)
{
    if (! versionMatches.has_value())
        return {};

    return *versionMatches ? " if versionNumber" : " if not versionNumber";
}

const char* edgeStyle (DefinitionsGraph::Cause cause)
{
    switch (cause)
    {
        case DefinitionsGraph::Cause::pollResult:    return "";
        // Time-outs lead back from almost everywhere; they pull no State towards their target.
        case DefinitionsGraph::Cause::timeout:       return ", style=dashed, color=gray45, fontcolor=gray45, weight=0";
        case DefinitionsGraph::Cause::button:        return ", style=bold, color=blue3, fontcolor=blue3";
        case DefinitionsGraph::Cause::gotoState:     return ", color=darkgreen, fontcolor=darkgreen";
        case DefinitionsGraph::Cause::afterTransfer: return ", color=darkorange3, fontcolor=darkorange3";
    }

    return "";
}
} // namespace

//==============================================================================
DefinitionsGraph::DefinitionsGraph (const UpdaterDefinitions& d)
    : definitions (d), machine (*d.getMachine())
{
    for (auto& entry : machine.states)
        addMovesOf (*entry.second);

    orderStates();
    findProblems();
}

void DefinitionsGraph::addMovesOf (const State& state)
{
    const bool pollsAfterTransfer = addInstructionMoves (state, state.instructions, {});

    // A click sets the pending State from the last top-level button of that name with a target.
    std::map<juce::String, const Definitions::ButtonInstruction*> buttons;
    std::vector<juce::String> buttonOrder;

    for (auto& item : state.instructions)
        if (auto* button = dynamic_cast<const Definitions::ButtonInstruction*> (item.get()))
            if (button->getGotoState().isNotEmpty())
            {
                if (buttons.count (button->getName()) == 0)
                    buttonOrder.push_back (button->getName());

                buttons[button->getName()] = button;
            }

    for (auto& name : buttonOrder)
    {
        const auto* button = buttons[name];
        const auto caption = button->getText().isNotEmpty() ? button->getText() : name;
        addMove (state, button->getGotoState(), Cause::button, "button \"" + caption + "\"");
    }

    const bool polls = Definitions::pollingModePolls (state.getAttribute ("pollingMode"));

    if (polls)
        for (auto& [result, target] : state.pollingStates)
            addMove (state, target, Cause::pollResult, Definitions::wordForPollingResult (result));

    // The polling after a firmware transfer times out like the State's own.
    if (polls || pollsAfterTransfer)
        addMove (state, definitions.getTimeoutTargetFor (state), Cause::timeout,
                 "time-out, " + juce::String (definitions.getTimeout()) + " s");
}

bool DefinitionsGraph::addInstructionMoves (const State& state, const InstructionList& list, const juce::String& condition)
{
    bool pollsAfterTransfer = false;

    for (auto& item : list)
    {
        if (auto* gotoState = dynamic_cast<const Definitions::GotoStateInstruction*> (item.get()))
        {
            addMove (state, gotoState->getState(), Cause::gotoState, "GotoState" + condition);
        }
        else if (auto* send = dynamic_cast<const Definitions::SendSysExInstruction*> (item.get()))
        {
            if (! isFirmwareTransfer (*send))
                continue;

            pollsAfterTransfer = pollsAfterTransfer || Definitions::isEndPollingMode (send->getEndPollingMode());

            // The table serves the polling after the transfer and a connection lost during it,
            // so it counts even without an end polling mode.
            for (auto& [result, target] : send->getPollingStates())
                addMove (state, target, Cause::afterTransfer,
                         "after transfer: " + Definitions::wordForPollingResult (result) + condition);
        }
        else if (auto* check = dynamic_cast<const Definitions::CheckInstruction*> (item.get()))
        {
            // Only "versionNumber" is ever evaluated; a nested Check on it that contradicts the
            // enclosing one never runs, one that repeats it adds nothing.
            if (check->getName() != versionCheckName)
                continue;

            const auto nested = conditionText (check->getValue());

            if (condition.isEmpty() || condition == nested)
                pollsAfterTransfer = addInstructionMoves (state, check->getInstructions(), nested) || pollsAfterTransfer;
        }
    }

    return pollsAfterTransfer;
}

void DefinitionsGraph::addMove (const State& from, const juce::String& to, Cause cause, const juce::String& label)
{
    if (machine.findState (to) == nullptr)
    {
        warnings.add ("State " + quoted (from.getName()) + ": the move on " + label + " names " + quoted (to)
                      + ", which is no State; the updater stays where it is");
        return;
    }

    if (to != from.getName())
        moves.push_back ({ from.getName(), to, label, cause });
}

void DefinitionsGraph::orderStates()
{
    // Breadth first from the initial State, so that dot ranks the States as an update meets them.
    stateNames.add (machine.initialState);

    for (int i = 0; i < stateNames.size(); ++i)
        for (auto& move : moves)
            if (move.from == stateNames[i])
                stateNames.addIfNotAlreadyThere (move.to);

    reachableStates = stateNames.size();

    for (auto& entry : machine.states)
        stateNames.addIfNotAlreadyThere (entry.first);

    for (int i = reachableStates; i < stateNames.size(); ++i)
        warnings.add ("State " + quoted (stateNames[i]) + " cannot be reached from the initial State "
                      + quoted (machine.initialState));

    std::stable_sort (moves.begin(), moves.end(), [this] (const Move& a, const Move& b)
                      { return stateNames.indexOf (a.from) < stateNames.indexOf (b.from); });
}

void DefinitionsGraph::findProblems()
{
    std::set<juce::String> withWayOut;

    for (auto& move : moves)
        withWayOut.insert (move.from);

    for (auto& name : stateNames)
        if (withWayOut.count (name) == 0)
            warnings.add ("State " + quoted (name) + " has no way out");
}

juce::String DefinitionsGraph::toDot() const
{
    auto nodeId = [this] (const juce::String& name) { return "s" + juce::String (stateNames.indexOf (name)); };
    const auto title = definitions.getDeviceName() + (definitions.isConsoleMode() ? " (console mode)" : "");

    juce::String dot;
    dot << "digraph " << dotString (title) << "\n{\n"
        << "    graph [label=" << dotString (title) << ", labelloc=t, fontname=\"DejaVu Sans\", fontsize=16];\n"
        << "    node [shape=box, style=rounded, fontname=\"DejaVu Sans\", fontsize=11];\n"
        << "    edge [fontname=\"DejaVu Sans\", fontsize=9];\n"
        << "    start [shape=circle, style=filled, fillcolor=black, width=0.15, label=\"\"];\n"
        << "    { rank=min; start; }\n";

    for (int i = 0; i < stateNames.size(); ++i)
    {
        const auto* state = machine.findState (stateNames[i]);
        const auto mode = state->getAttribute ("pollingMode");
        const bool initial = i == 0, reachable = i < reachableStates;
        juce::StringArray style ({ "rounded" });

        if (! Definitions::pollingModePolls (mode))  style.add ("dashed");
        if (! reachable)                             style.add ("filled");

        dot << "    s" << i << " [label=" << dotString (stateNames[i] + "\npolling: " + mode)
            << (initial ? ", penwidth=2.5" : "")
            << (style.size() > 1 ? ", style=" + dotString (style.joinIntoString (",")) : juce::String())
            << (reachable ? "" : ", fillcolor=gray90") << "];\n";
    }

    dot << "    start -> " << nodeId (machine.initialState) << " [label=\"initial State\", fontsize=9];\n";

    for (auto& move : moves)
        dot << "    " << nodeId (move.from) << " -> " << nodeId (move.to)
            << " [label=" << dotString (move.label) << edgeStyle (move.cause) << "];\n";

    return dot + "}\n";
}
