#include "DefinitionsGraph.h"

#include <gtest/gtest.h>

namespace
{
// Every kind of move, and the moves that are none: a poll result into its own State, a
// PollingState in a State that does not poll, the table of an erase, a Check whose content never
// runs, a button to a name that is no State.
const char* const document = R"xml(<FirmwareUpdaters>
  <FirmwareUpdater deviceName="Quorrel" communicationMode="MIDI" MIDIDeviceID="0006" fileNamePattern="quorrel-fw-"
                   initialState="Idle" timeout="30" timeoutState="Idle">
    <State name="Idle" pollingMode="MIDI Device inquiry">
      <PollingState value="Device detected" gotoState="Ready"/>
      <PollingState value="No device" gotoState="Idle"/>
    </State>
    <State name="Ready" pollingMode="none">
      <Button name="InstallCancel" text="Earlier" state="enabled" gotoState="Idle"/>
      <Button name="InstallCancel" text="Install" state="enabled" gotoState="Send"/>
      <PollingState value="No device" gotoState="Idle"/>
    </State>
    <State name="Send" pollingMode="none" timeoutState="Failed &quot;hard&quot;">
      <SendSysEx messageKind="erase"><PollingState value="No device" gotoState="Orphan"/></SendSysEx>
      <SendSysEx messageKind="quorrel-fw-$(version)" endPollingMode="MIDI Device inquiry">
        <PollingState value="Device detected" gotoState="Done"/>
      </SendSysEx>
    </State>
    <State name="Done" pollingMode="none">
      <Check name="versionNumber" value="false">
        <GotoState state="Failed &quot;hard&quot;"/>
        <Check name="versionNumber" value="true"><GotoState state="Orphan"/></Check>
      </Check>
      <Check name="somethingElse" value="true"><GotoState state="Orphan"/></Check>
      <Button name="Retry" text="Retry" state="enabled" gotoState="Nowhere"/>
    </State>
    <State name="Failed &quot;hard&quot;" pollingMode="none"/>
    <State name="Orphan" pollingMode="Panel State">
      <PollingState value="panel erased" gotoState="Idle"/>
    </State>
  </FirmwareUpdater>
</FirmwareUpdaters>)xml";

juce::StringArray describe (const std::vector<DefinitionsGraph::Move>& moves)
{
    juce::StringArray lines;

    for (auto& move : moves)
        lines.add (move.from + " -> " + move.to + " : " + move.label);

    return lines;
}
} // namespace

TEST (DefinitionsGraph, eachMoveTheEngineCanMakeIsOneEdgeLabelledWithItsCause)
{
    const UpdaterDefinitions definitions (juce::String (document), "Quorrel", false);
    const DefinitionsGraph graph (definitions);

    EXPECT_EQ (describe (graph.getMoves()),
               juce::StringArray ({ "Idle -> Ready : device detected",
                                    "Ready -> Send : button \"Install\"",
                                    "Send -> Done : after transfer: device detected",
                                    "Send -> Failed \"hard\" : time-out, 30 s",
                                    "Done -> Failed \"hard\" : GotoState if not versionNumber",
                                    "Orphan -> Idle : panel erased",
                                    "Orphan -> Idle : time-out, 30 s" }));

    EXPECT_EQ (graph.getStateNames(), juce::StringArray ({ "Idle", "Ready", "Send", "Done", "Failed \"hard\"", "Orphan" }));
}

TEST (DefinitionsGraph, warnsOfUnreachableStatesStatesWithoutWayOutAndMovesToNoState)
{
    const UpdaterDefinitions definitions (juce::String (document), "Quorrel", false);
    const DefinitionsGraph graph (definitions);

    EXPECT_EQ (graph.getWarnings(),
               juce::StringArray ({ "State 'Done': the move on button \"Retry\" names 'Nowhere', which is no State; "
                                    "the updater stays where it is",
                                    "State 'Orphan' cannot be reached from the initial State 'Idle'",
                                    "State 'Failed \"hard\"' has no way out" }));
}

TEST (DefinitionsGraph, theDotTextHasANodePerStateWithItsPollingModeAndMarksTheInitialState)
{
    const UpdaterDefinitions definitions (juce::String (document), "Quorrel", false);
    const auto dot = DefinitionsGraph (definitions).toDot();

    EXPECT_TRUE (dot.startsWith ("digraph \"Quorrel\"\n{\n"));
    EXPECT_TRUE (dot.contains ("    s0 [label=\"Idle\\npolling: MIDI Device inquiry\", penwidth=2.5];\n"));
    EXPECT_TRUE (dot.contains ("    start -> s0 "));
    EXPECT_TRUE (dot.contains ("    s4 [label=\"Failed \\\"hard\\\"\\npolling: none\", style=\"rounded,dashed\"];\n"));
    EXPECT_TRUE (dot.contains ("    s5 [label=\"Orphan\\npolling: Panel State\", style=\"rounded,filled\", fillcolor=gray90];\n"));
    EXPECT_TRUE (dot.contains ("    s1 -> s2 [label=\"button \\\"Install\\\"\""));
    EXPECT_EQ (dot.retainCharacters ("\n").length(), 7 + 6 + 1 + 7 + 1);
}
