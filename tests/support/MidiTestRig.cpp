#include "MidiTestRig.h"

namespace
{
    class PollThread final : public juce::Thread
    {
    public:
        explicit PollThread (std::function<PollingResult()> p) : juce::Thread ("poll"), poll (std::move (p)) {}
        ~PollThread() override { stopThread (10000); }

        void run() override
        {
            result = poll();
            finished = true;
        }

        std::function<PollingResult()> poll;
        std::atomic<PollingResult> result { PollingResult::NoDevice };
        std::atomic<bool> finished { false };
    };
}

std::pair<PollingResult, double> MidiTestRig::pollOnWorker (std::function<PollingResult()> poll, int stopAfterMs)
{
    PollThread thread (std::move (poll));
    const auto start = juce::Time::getMillisecondCounterHiRes();
    thread.startThread();

    while (! thread.finished && juce::Time::getMillisecondCounterHiRes() - start < 20000)
    {
        if (stopAfterMs >= 0 && juce::Time::getMillisecondCounterHiRes() - start >= stopAfterMs)
            thread.signalThreadShouldExit();

        juce::MessageManager::getInstance()->runDispatchLoopUntil (5);
    }

    const auto elapsed = juce::Time::getMillisecondCounterHiRes() - start;
    thread.stopThread (10000);
    return { thread.result.load(), elapsed };
}

std::vector<juce::uint8> midiBytes (std::initializer_list<int> bytes)
{
    std::vector<juce::uint8> result;

    for (auto b : bytes)
        result.push_back ((juce::uint8) b);

    return result;
}
