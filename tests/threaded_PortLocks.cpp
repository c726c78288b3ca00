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

//==============================================================================
// A lock is a file lock, held per process: another PortLocks of this process is another updater.
// (Windows' named mutexes are held per thread.)
#if ! JUCE_WINDOWS
#include "support/MidiTestRig.h"

namespace
{
    /** The bus as the system's own ports are: shared with other programs, so the selector locks. */
    struct SharedBus final : MidiPorts
    {
        explicit SharedBus (std::shared_ptr<VirtualMidiPorts> b) : bus (std::move (b)) {}
        juce::StringArray getInputNames() override  { return bus->getInputNames(); }
        juce::StringArray getOutputNames() override { return bus->getOutputNames(); }
        bool areSharedWithOtherPrograms() const override { return true; }
        std::unique_ptr<MidiInputPort> openInput (int i, MidiPortReceiver& r) override { return bus->openInput (i, r); }
        std::unique_ptr<MidiOutputPort> openOutput (int i) override { return bus->openOutput (i); }
        std::shared_ptr<VirtualMidiPorts> bus;
    };

    struct LockedScanning : public ::testing::Test, public MidiTestRig
    {
        LockedScanning() { selector.setPorts (std::make_shared<SharedBus> (ports)); }
        PortLocks otherUpdater { true };
        juce::String error;
    };
}

TEST_F (LockedScanning, aPollStoppedOrAChoiceOfTheUsersLetsGoOfThePortsThisUpdaterHeld)
{
    // A silent instrument: the poll is stopped while it waits for the answer, and the port it
    // was asking is free for the next updater at once.
    auto settings = instrument (6);
    settings.portName = "Quorrel " + freshPort();
    settings.silent = true;
    auto quorrel = std::make_unique<SimulatedInstrument> (*ports, settings);
    const auto port = settings.portName;

    EXPECT_EQ (pollOnWorker ([this] { return selector.scanForDevice (6, false); }, 300).first, PollingResult::Stopped);
    EXPECT_EQ (otherUpdater.ask (port, error), PortLocks::Outcome::granted) << error;
    otherUpdater.release (port);

    // Found by a scan, it is this updater's until the user chooses other ports.
    settings.silent = false;
    quorrel = std::make_unique<SimulatedInstrument> (*ports, settings);
    ASSERT_EQ (selector.scanForDevice (6, false), PollingResult::DeviceDetected);
    EXPECT_EQ (otherUpdater.claim (port, error, nullptr), PortLocks::Outcome::held);
    ASSERT_TRUE (selector.selectOutput ("Auto"));
    EXPECT_EQ (otherUpdater.claim (port, error, nullptr), PortLocks::Outcome::granted) << error;
    otherUpdater.releaseAllBut ({});
}
#endif
