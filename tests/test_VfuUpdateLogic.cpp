#include "CommandLineOptions.h"
#include "ProgressLine.h"
#include "UpdateOutcome.h"
#include "definitions/InbuiltDefinitions.h"

#include <gtest/gtest.h>

namespace
{
juce::String parseError (const juce::StringArray& arguments)
{
    CommandLineOptions options;
    return CommandLineOptions::parse (arguments, options);
}

struct ConsoleQuorrel
{
    UpdaterDefinitions definitions { InbuiltDefinitions::getConsoleText(), "Quorrel", true };
    UpdateOutcome outcome { *definitions.getMachine(), definitions.getTimeoutState(), "Quorrel" };

    std::optional<UpdateOutcome::Result> enter (const juce::String& state, const juce::String& reported = "Unknown")
    {
        return outcome.stateEntered (state, reported, "2.2.0");
    }
};
} // namespace

TEST (VfuUpdateCommandLine, usableArgumentsAreReadInEitherFormAndBadOnesAreRefused)
{
    CommandLineOptions options;
    EXPECT_TRUE (CommandLineOptions::parse ({ "--yes", "--timeout=15", "-q" }, options).isEmpty());
    EXPECT_TRUE (options.yes);
    EXPECT_TRUE (options.quiet);
    EXPECT_EQ (options.timeoutSeconds, 15);

    EXPECT_TRUE (CommandLineOptions::parse ({ "--timeout", "3" }, options).isEmpty());
    EXPECT_EQ (options.timeoutSeconds, 3);

    EXPECT_TRUE (parseError ({ "--timeout" }).contains ("needs a value"));
    EXPECT_TRUE (parseError ({ "--timeout", "0" }).isNotEmpty());
    EXPECT_TRUE (parseError ({ "--timeout", "-5" }).isNotEmpty());
    EXPECT_TRUE (parseError ({ "--timeout", "99999999999" }).isNotEmpty());
    EXPECT_TRUE (parseError ({ "--timeout", "5s" }).isNotEmpty());
    EXPECT_TRUE (parseError ({ "--yes=no" }).contains ("takes no value"));
    EXPECT_TRUE (parseError ({ "--firmware", "/no/such/file.vfw" }).contains ("no such firmware package"));
    EXPECT_TRUE (parseError ({ "--definitions" }).contains ("needs a value"));
    EXPECT_TRUE (parseError ({ "install" }).contains ("unknown argument"));
}

TEST (VfuUpdateProgress, timeLeftCoversEraseTransferAndRestart)
{
    ProgressLine::Plan plan;
    plan.totalBytes = 10000;
    plan.transferSeconds = 10.0;
    plan.eraseSeconds = 12.0;
    plan.restartSeconds = 4.0;
    ProgressLine line (plan);

    EXPECT_DOUBLE_EQ (line.secondsLeft (0.0, 0.0), 26.0);

    line.eraseStarted (100.0);
    EXPECT_DOUBLE_EQ (line.secondsLeft (0.0, 105.0), 7.0 + 10.0 + 4.0);
    EXPECT_DOUBLE_EQ (line.secondsLeft (0.0, 130.0), 14.0); // an erase that takes longer adds nothing negative

    // Half sent in 2 s: the measured rate (2500 B/s) wins over the planned one.
    line.transferStarted (200.0);
    EXPECT_DOUBLE_EQ (line.secondsLeft (0.5, 202.0), 2.0 + 4.0);
    EXPECT_TRUE (line.describe (0.5, 202.0).startsWith (" 50%  5.0 kB of 10.0 kB  2.5 kB/s  about 0:06 left"));

    line.transferEnded (204.0);
    EXPECT_DOUBLE_EQ (line.secondsLeft (1.0, 205.0), 3.0);
    EXPECT_TRUE (line.describe (1.0, 205.0).endsWith ("(restarting)"));
}

TEST (VfuUpdateProgress, plainLinesComeOncePerWholeTenAndNeverForZero)
{
    ProgressLine line ({});
    line.transferStarted (0.0);

    EXPECT_EQ (line.takeNewTen (0.0), -1);
    EXPECT_EQ (line.takeNewTen (0.09), -1);
    EXPECT_EQ (line.takeNewTen (0.1), 10);
    EXPECT_EQ (line.takeNewTen (0.15), -1);
    EXPECT_EQ (line.takeNewTen (0.47), 40); // a jump reports where it landed
    EXPECT_EQ (line.takeNewTen (1.0), 100);
    EXPECT_EQ (line.takeNewTen (1.0), -1);

    line.transferStarted (10.0); // a second transfer counts again
    EXPECT_EQ (line.takeNewTen (0.2), 20);

    EXPECT_EQ (ProgressLine::formatDuration (0.2), "0:01");
    EXPECT_EQ (ProgressLine::formatDuration (125.0), "2:05");
    EXPECT_EQ (ProgressLine::formatBytes (999), "999 B");
    EXPECT_EQ (ProgressLine::formatBytes (359740), "359.7 kB");
}

TEST (VfuUpdateOutcome, theInbuiltConsoleStatesEndTheRunAsAScriptExpects)
{
    {
        ConsoleQuorrel q;
        EXPECT_FALSE (q.enter ("Idle, no device"));
        EXPECT_TRUE (q.outcome.isLookingForInstrument ("Idle, no device"));
        EXPECT_FALSE (q.enter ("Idle, device detected", "2.1.12"));
        EXPECT_FALSE (q.enter ("Firmware erase"));
        EXPECT_TRUE (q.outcome.hasBegun());
        EXPECT_FALSE (q.outcome.isLookingForInstrument ("Idle, no device"));
        EXPECT_FALSE (q.enter ("Firmware download"));
        EXPECT_EQ (q.outcome.getFirmwareTransfer()->getMessageKind(), "quorrel-fw-$(version)");

        auto done = q.enter ("Download complete", "2.2.0");
        ASSERT_TRUE (done);
        EXPECT_EQ (done->exitStatus, UpdateOutcome::updated);
    }
    {
        ConsoleQuorrel q;
        q.enter ("Firmware erase");
        auto wrong = q.enter ("Download complete", "2.1.12");
        ASSERT_TRUE (wrong);
        EXPECT_EQ (wrong->exitStatus, UpdateOutcome::failed);
        EXPECT_TRUE (wrong->message.contains ("2.1.12"));
    }
    {
        // After the erase, the way back to the start means the instrument never returned.
        ConsoleQuorrel q;
        q.enter ("Firmware erase");
        auto lost = q.enter ("Idle, no device");
        ASSERT_TRUE (lost);
        EXPECT_EQ (lost->exitStatus, UpdateOutcome::failed);
        EXPECT_FALSE (lost->awaitStateTexts);
    }
    {
        ConsoleQuorrel q;
        auto error = q.enter ("Error, bootloader detected");
        ASSERT_TRUE (error);
        EXPECT_EQ (error->exitStatus, UpdateOutcome::failed);
        EXPECT_TRUE (error->awaitStateTexts); // its own words are the reason
        EXPECT_EQ (q.enter ("Update cancelled")->exitStatus, UpdateOutcome::failed);
    }
}

TEST (VfuUpdateOutcome, onlyAReportedVersionEqualToTheSelectedOneBeforeTheUpdateMeansUpToDate)
{
    ConsoleQuorrel q;
    auto same = q.enter ("Idle, device detected", "2.2.0");
    ASSERT_TRUE (same);
    EXPECT_EQ (same->exitStatus, UpdateOutcome::updated);
    EXPECT_TRUE (same->message.contains ("already"));

    // "Unknown" reads as a number too; it must never count as any version.
    ConsoleQuorrel unknown;
    EXPECT_FALSE (unknown.outcome.stateEntered ("Idle, device detected", "Unknown", "0.0.0"));
    EXPECT_FALSE (unknown.enter ("Idle, device detected", ""));
}
