#include "midi/PortLocks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace
{
    // A port of its own per run, so that no other test or updater meets these lock files.
    juce::String freshPort()
    {
        return "99" + juce::String (juce::Random::getSystemRandom().nextInt (1000000)) + ":0";
    }
}

TEST (PortLocks, aScanPassesOverAHeldPortAndAnUpdaterWaitsForAScanButNeverForAnotherUpdater)
{
    const auto port = freshPort();
    PortLocks scan (true), first (true), second (true);
    juce::String error;

    ASSERT_EQ (scan.ask (port, error), PortLocks::Outcome::granted) << error;

    // The updater takes the owner lock at once and waits for the scan's talk lock (it asks
    // whether to stop only while it waits).
    std::atomic<int> claimed { -1 };
    juce::WaitableEvent waiting;
    std::thread updater ([&]
    {
        juce::String e;
        claimed = (int) first.claim (port, e, [&waiting] { waiting.signal(); return false; });
    });

    const bool waited = waiting.wait (30000);
    EXPECT_EQ (claimed.load(), -1);
    scan.release (port);
    updater.join();
    ASSERT_TRUE (waited);
    ASSERT_EQ (claimed.load(), (int) PortLocks::Outcome::granted);

    // Held by an updater: a scan and a second updater are refused at once. A second updater tries
    // the owner lock a few times, unless it is asked to stop: then it stops trying at its first pause.
    EXPECT_EQ (scan.ask (port, error), PortLocks::Outcome::held);
    EXPECT_EQ (second.claim (port, error, nullptr), PortLocks::Outcome::held);
    int stopsAsked = 0;
    EXPECT_EQ (second.claim (port, error, [&stopsAsked] { ++stopsAsked; return true; }), PortLocks::Outcome::held);
    EXPECT_EQ (stopsAsked, 1);

    first.releaseAllBut ({});
    EXPECT_EQ (second.claim (port, error, nullptr), PortLocks::Outcome::granted) << error;
}

// Lock files and links to them are the Linux locks; on Windows a lock is a named mutex.
#if ! JUCE_WINDOWS
namespace
{
    juce::File lockFile (const juce::String& port, const char* part)
    {
        return InstrumentLock::getLockFolder().getChildFile ("vorn-firmware-updater.port-" + port.replaceCharacter (':', '-')
                                                              + "-" + part + ".lock");
    }
}

TEST (PortLocks, aLockFileThatIsNotARegularFileIsAnErrorNeverALock)
{
    const auto port = freshPort();
    const auto talk = lockFile (port, "talk");
    const auto elsewhere = InstrumentLock::getLockFolder().getChildFile ("vfu-elsewhere-" + port.replaceCharacter (':', '-'));
    ASSERT_TRUE (elsewhere.createSymbolicLink (talk, true)); // a link at talk, to a file that is not there

    PortLocks scan (true);
    juce::String error;
    EXPECT_EQ (scan.ask (port, error), PortLocks::Outcome::failed);
    EXPECT_TRUE (error.contains (talk.getFullPathName())) << error;
    EXPECT_FALSE (scan.holds (port));
    EXPECT_FALSE (elsewhere.exists()); // not made through the link
    talk.deleteFile();
}
#endif
