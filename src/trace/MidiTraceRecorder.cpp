#include "MidiTraceRecorder.h"
#include "../midi/MIDIPortsSelector.h"
#include "TracingMidiPorts.h"
#include "../base/BuildConstants.h"
#include "../base/RegularFile.h"

#include <juce_cryptography/juce_cryptography.h>

namespace
{
    // The writer wakes when the queue stops being empty and waits this long for more to gather,
    // so every line reaches the file within this time.
    constexpr int writeIntervalMs = 50;

    juce::CriticalSection activeLock;
    std::shared_ptr<MidiTraceRecorder> activeRecorder;   // guarded by activeLock
    std::shared_ptr<MidiPorts> unwrappedPorts;           // guarded by activeLock
}

MidiTraceRecorder::MidiTraceRecorder (const juce::File& file, const juce::String& programVersion, const juce::String& deviceName)
    : juce::Thread ("MidiTraceRecorder"),
      startMs (juce::Time::getMillisecondCounterHiRes())
{
    stream = RegularFile::createForWriting (file, openError);
    opened = stream != nullptr;

    if (! opened)
        return;

    *stream << MidiTrace::firstLine << "\n"
            << "# version " << programVersion << "\n"
            << "# device " << deviceName << "\n";
    stream->flush();
    startThread();
}

MidiTraceRecorder::~MidiTraceRecorder()
{
    signalThreadShouldExit();
    workToDo.signal();
    stopThread (4000);

    {
        const juce::ScopedLock sl (lock);
        flushImageRunLocked();
    }

    writeQueued();
}

bool MidiTraceRecorder::finishWithin (int timeoutMs)
{
    signalThreadShouldExit();
    workToDo.signal();
    notify();

    // A writer stuck in a write keeps the stream; then nothing more is written.
    if (! waitForThreadToExit (timeoutMs))
        return false;

    {
        const juce::ScopedLock sl (lock);
        flushImageRunLocked();
    }

    writeQueued();
    return true;
}

double MidiTraceRecorder::elapsedMs() const
{
    return juce::Time::getMillisecondCounterHiRes() - startMs;
}

void MidiTraceRecorder::push (Pending&& pending)
{
    // Stamped under the lock, so the times in the file never go back.
    pending.event.ms = elapsedMs();
    queue.push_back (std::move (pending));

    // The writer sleeps until the queue has something in it.
    if (queue.size() == 1)
        workToDo.signal();
}

void MidiTraceRecorder::recordOut (const juce::String& port, const juce::MidiMessage& message)
{
    const auto* data = message.getRawData();
    const auto size = (size_t) juce::jmax (0, message.getRawDataSize());
    const juce::ScopedLock sl (lock);

    if (imageRunOpen)
    {
        if (imagePort != port)
            flushImageRunLocked();

        imagePort = port;
        imageBytes.insert (imageBytes.end(), data, data + size);
        ++imagePackets;
        return;
    }

    Pending pending;
    pending.event.kind = MidiTrace::Event::Kind::out;
    pending.event.port = port;
    pending.event.bytes.assign (data, data + size);
    push (std::move (pending));
}

void MidiTraceRecorder::recordIn (const juce::String& port, const juce::MidiMessage& message)
{
    const auto* data = message.getRawData();
    const auto size = (size_t) juce::jmax (0, message.getRawDataSize());

    Pending pending;
    pending.event.kind = MidiTrace::Event::Kind::in;
    pending.event.port = port;
    pending.event.bytes.assign (data, data + size);

    const juce::ScopedLock sl (lock);
    push (std::move (pending));
}

void MidiTraceRecorder::recordPorts (const juce::StringArray& inputs, const juce::StringArray& outputs)
{
    Pending pending;
    pending.event.kind = MidiTrace::Event::Kind::ports;
    pending.event.inputs = inputs;
    pending.event.outputs = outputs;

    const juce::ScopedLock sl (lock);
    // The packets before a port change and those after it are separate runs, so that a replay
    // can make the ports vanish between them.
    flushImageRunLocked();
    push (std::move (pending));
}

void MidiTraceRecorder::recordNote (const juce::String& key, const juce::String& value)
{
    Pending pending;
    pending.note = "# " + key + " " + value.replaceCharacters ("\r\n", "  ");

    const juce::ScopedLock sl (lock);
    push (std::move (pending));
}

void MidiTraceRecorder::beginImageRun (const juce::String& entryName)
{
    const juce::ScopedLock sl (lock);
    flushImageRunLocked();
    imageRunOpen = true;
    imageEntry = entryName;
}

void MidiTraceRecorder::endImageRun()
{
    const juce::ScopedLock sl (lock);
    flushImageRunLocked();
    imageRunOpen = false;
}

void MidiTraceRecorder::flushImageRunLocked()
{
    if (imagePackets == 0)
        return;

    Pending pending;
    pending.event.kind = MidiTrace::Event::Kind::image;
    pending.event.port = imagePort;
    pending.event.entry = imageEntry;
    pending.event.packets = imagePackets;
    pending.event.byteCount = (juce::int64) imageBytes.size();
    pending.imageData = std::move (imageBytes);
    imageBytes = {};
    imagePackets = 0;
    push (std::move (pending));
}

void MidiTraceRecorder::run()
{
    while (! threadShouldExit())
    {
        workToDo.wait (-1);

        // Lets a burst of messages gather into one write; stopThread() ends the wait.
        wait (writeIntervalMs);
        writeQueued();
    }
}

void MidiTraceRecorder::writeQueued()
{
    std::vector<Pending> taken;

    {
        const juce::ScopedLock sl (lock);
        taken.swap (queue);
    }

    if (taken.empty() || stream == nullptr)
        return;

    for (auto& pending : taken)
    {
        if (pending.note.isNotEmpty())
        {
            *stream << pending.note << "\n";
            continue;
        }

        if (pending.event.kind == MidiTrace::Event::Kind::image)
            pending.event.sha256 = juce::SHA256 (pending.imageData.data(), pending.imageData.size()).toHexString();

        *stream << MidiTrace::formatEvent (pending.event) << "\n";
    }

    stream->flush();
}

//==============================================================================
juce::String MidiTraceRecorder::enableTracing (const juce::File& file, const juce::String& deviceName)
{
    auto& selector = MIDIPortsSelector::getInstance();
    auto recorder = std::make_shared<MidiTraceRecorder> (file, BuildConstants::applicationVersion, deviceName);

    if (! recorder->isOpen())
        return "cannot record a MIDI trace in " + file.getFullPathName() + ": " + recorder->getOpenError();

    disableTracing();
    auto inner = selector.getPorts();
    selector.setPorts (std::make_shared<TracingMidiPorts> (inner, recorder));

    const juce::ScopedLock sl (activeLock);
    activeRecorder = std::move (recorder);
    unwrappedPorts = std::move (inner);
    return {};
}

void MidiTraceRecorder::disableTracing()
{
    std::shared_ptr<MidiTraceRecorder> recorder;
    std::shared_ptr<MidiPorts> inner;

    {
        const juce::ScopedLock sl (activeLock);
        recorder = std::move (activeRecorder);
        inner = std::move (unwrappedPorts);
    }

    if (recorder != nullptr)
        MIDIPortsSelector::getInstance().setPorts (inner);
}

std::shared_ptr<MidiTraceRecorder> MidiTraceRecorder::getActive()
{
    const juce::ScopedLock sl (activeLock);
    return activeRecorder;
}

void MidiTraceRecorder::finishActiveWithin (int timeoutMs)
{
    if (auto recorder = getActive())
        recorder->finishWithin (timeoutMs);
}

void MidiTraceRecorder::note (const juce::String& key, const juce::String& value)
{
    if (auto recorder = getActive())
        recorder->recordNote (key, value);
}

MidiTraceRecorder::ImageRun::ImageRun (const juce::String& entryName)
    : recorder (getActive())
{
    if (recorder != nullptr)
        recorder->beginImageRun (entryName);
}

MidiTraceRecorder::ImageRun::~ImageRun()
{
    if (recorder != nullptr)
        recorder->endImageRun();
}
