#include "EngineTestSupport.h"
#include "base/AppLog.h"

void RecordingCallback::add (const juce::String& event)
{
    const std::lock_guard<std::mutex> guard (lock);
    recorded.add (event);
}

void RecordingCallback::stateChanged (const juce::String& from, const juce::String& to)
{
    add ("state " + from + " > " + to);
}

void RecordingCallback::setTextField (const juce::String& name, const juce::String& text, bool visible)
{
    add ("text " + name + "=" + text + (visible ? "" : " (hidden)"));
}

void RecordingCallback::setButton (const juce::String& name, const juce::String& text, bool enabled)
{
    add ("button " + name + "=" + text + (enabled ? " enabled" : " disabled"));
}

void RecordingCallback::print (const juce::String& text)
{
    add ("print " + text);
}

void RecordingCallback::setProgress (double progress)
{
    add ("progress " + juce::String (progress, 2));
}

juce::StringArray RecordingCallback::events() const
{
    const std::lock_guard<std::mutex> guard (lock);
    return recorded;
}

juce::StringArray RecordingCallback::states() const
{
    juce::StringArray result;

    for (auto& e : events())
        if (e.startsWith ("state "))
            result.add (e.substring (6));

    return result;
}

juce::String RecordingCallback::lastState() const
{
    const auto all = states();
    return all.isEmpty() ? juce::String() : all[all.size() - 1].fromFirstOccurrenceOf (" > ", false, false);
}

juce::String RecordingCallback::lastText (const juce::String& fieldName) const
{
    const auto all = events();

    for (int i = all.size(); --i >= 0;)
        if (all[i].startsWith ("text " + fieldName + "="))
            return all[i].fromFirstOccurrenceOf ("=", false, false);

    return {};
}

int RecordingCallback::count (const juce::String& prefix) const
{
    int n = 0;

    for (auto& e : events())
        if (e.startsWith (prefix))
            ++n;

    return n;
}

void RecordingCallback::clear()
{
    const std::lock_guard<std::mutex> guard (lock);
    recorded.clear();
}

bool pumpUntil (const std::function<bool()>& condition, int timeoutMs)
{
    const auto end = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

    while (! condition())
    {
        if (juce::Time::getMillisecondCounter() >= end)
            return condition();

        juce::MessageManager::getInstance()->runDispatchLoopUntil (5);
    }

    return true;
}

void pumpFor (int milliseconds)
{
    pumpUntil ([] { return false; }, milliseconds);
}

LogCapture::LogCapture()
{
    AppLog::createLogAt (file.getFile(), "test log");
}

LogCapture::~LogCapture()
{
    AppLog::closeLog();
}

juce::StringArray LogCapture::lines() const
{
    juce::StringArray result;

    for (auto& line : juce::StringArray::fromLines (file.getFile().loadFileAsString()))
        if (line.length() > 22 && line.substring (19, 22) == " - ")
            result.add (line.substring (22));

    return result;
}

bool LogCapture::contains (const juce::String& text) const
{
    return lines().contains (text);
}

int LogCapture::count (const juce::String& text) const
{
    int n = 0;

    for (auto& line : lines())
        if (line == text)
            ++n;

    return n;
}

juce::String quorrelDocument (const juce::String& statesXml, const juce::String& initialState,
                              int timeoutSeconds, const juce::String& timeoutState)
{
    return "<FirmwareUpdaters><FirmwareUpdater deviceName=\"Quorrel\" communicationMode=\"MIDI\" MIDIDeviceID=\"0006\""
           " fileNamePattern=\"quorrel-fw-\" initialState=\"" + initialState + "\" timeout=\"" + juce::String (timeoutSeconds)
         + "\" timeoutState=\"" + (timeoutState.isEmpty() ? initialState : timeoutState) + "\">"
         + statesXml + "</FirmwareUpdater></FirmwareUpdaters>";
}
