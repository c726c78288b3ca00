#include "VornFirmwareUpdaterApplication.h"
#include "../base/AppLog.h"
#include "../base/BuildConstants.h"
#include "QuitDeadline.h"
#include "WineRepaintPump.h"
#include "../midi/MIDIPortsSelector.h"
#include "../trace/MidiTraceRecorder.h"
#include "../simulator/SimulatorConfig.h"
#include "../ui/MainComponent.h"
#include "../base/OutsideText.h"

#include <cstdlib>
#include <iostream>

#if JUCE_LINUX || JUCE_BSD
 #include "QuitSignalPipe.h"
 #include <unistd.h>
#endif

//==============================================================================
#if JUCE_LINUX || JUCE_BSD
/** Turns SIGINT and SIGTERM into systemRequestedQuit() on the message thread, so that Ctrl+C,
    a service manager or the end of a desktop session shut the program down cleanly.
    The handler only writes a byte to a pipe; the message loop watches the pipe's read end. */
class VornFirmwareUpdaterApplication::QuitSignalWatcher
{
public:
    QuitSignalWatcher()
    {
        if (! signals.isOpen())
            return;

        juce::LinuxEventLoop::registerFdCallback (signals.readEnd(), [] (int fd)
        {
            char buffer[16];
            while (::read (fd, buffer, sizeof (buffer)) > 0) {}

            if (auto* app = juce::JUCEApplicationBase::getInstance())
                app->systemRequestedQuit();
        });
    }

    ~QuitSignalWatcher()
    {
        if (signals.isOpen())
            juce::LinuxEventLoop::unregisterFdCallback (signals.readEnd());
    }

private:
    QuitSignalPipe signals { 1 };
};
#else
/** Windows and macOS hand the system's quit request (end of session, Ctrl+C in a console, the
    Dock's Quit) to systemRequestedQuit() through the framework already. */
class VornFirmwareUpdaterApplication::QuitSignalWatcher
{
};
#endif

//==============================================================================
VornFirmwareUpdaterApplication::VornFirmwareUpdaterApplication() = default;
VornFirmwareUpdaterApplication::~VornFirmwareUpdaterApplication()
{
    mainWindow.reset();
    MidiTraceRecorder::disableTracing();
    stopDemoMode();
}

const juce::String VornFirmwareUpdaterApplication::getApplicationName()    { return BuildConstants::applicationName; }
const juce::String VornFirmwareUpdaterApplication::getApplicationVersion() { return BuildConstants::applicationVersion; }
bool VornFirmwareUpdaterApplication::moreThanOneInstanceAllowed()          { return false; }

void VornFirmwareUpdaterApplication::anotherInstanceStarted (const juce::String&)
{
    // A second start ended at once; showing the window that is already open tells the user why.
    // (The framework sends this notice on Windows and macOS only.)
    if (mainWindow != nullptr)
        mainWindow->toFront (true);
}

void VornFirmwareUpdaterApplication::initialise (const juce::String&)
{
    const juce::String deviceName (BuildConstants::deviceName);
    quitSignalWatcher = std::make_unique<QuitSignalWatcher>();
    wineRepaintPump = std::make_unique<WineRepaintPump>();
    startDemoModeIfAsked();

    // No lock here: the engine takes the lock of each MIDI port before it sends anything there,
    // and passes over the ports that another updater holds.
    AppLog::createLog (deviceName, demoSimulation != nullptr ? AppLog::Run::demo : AppLog::Run::real);
    startTracingIfAsked();
    mainWindow.reset();
    mainWindow = std::make_unique<MainWindow> (getApplicationName(), deviceName);
}

void VornFirmwareUpdaterApplication::shutdown()
{
    // A MIDI driver whose send never returns must not keep the program from quitting.
    if (auto* content = mainWindow != nullptr ? dynamic_cast<MainComponent*> (mainWindow->getContentComponent()) : nullptr)
        if (auto* engine = content->getFirmwareUpdater())
            QuitDeadline::stopEngineOrEndProcess (*engine, 5000);

    MIDIPortsSelector::getInstance().closeIdlePorts();
    logLine ("shutdown");
    AppLog::closeLog();
    mainWindow.reset();
    MidiTraceRecorder::disableTracing();
    stopDemoMode();
    wineRepaintPump.reset();
    quitSignalWatcher.reset();
}

void VornFirmwareUpdaterApplication::startDemoModeIfAsked()
{
    // Demo mode: a simulated Quorrel on a software MIDI bus instead of the real ports.
    demoSimulation = startDemoSimulationFromEnvironment (BuildConstants::deviceFamily);
}

void VornFirmwareUpdaterApplication::startTracingIfAsked()
{
    // VFU_TRACE=FILE records every MIDI message and port change, whichever ports are in use.
    const auto* value = std::getenv ("VFU_TRACE");

    if (value == nullptr || *value == 0)
        return;

    const auto file = juce::File::getCurrentWorkingDirectory().getChildFile (OutsideText::fromSystemName (value));
    const auto error = MidiTraceRecorder::enableTracing (file, BuildConstants::deviceName);

    // The window has no terminal to stop in: it runs on without a trace and says so where a
    // support person looks.
    if (error.isNotEmpty())
    {
        logLine ("VFU_TRACE: " + error + " (running without a trace)");
        std::cerr << "VFU_TRACE: " << error.toStdString() << " (running without a trace)" << std::endl;
    }
}

void VornFirmwareUpdaterApplication::stopDemoMode()
{
    stopDemoSimulation (demoSimulation);
}

void VornFirmwareUpdaterApplication::systemRequestedQuit()
{
    quit();
}

//==============================================================================
VornFirmwareUpdaterApplication::MainWindow::MainWindow (const juce::String& title, const juce::String& deviceName)
    : DocumentWindow (title, juce::Colour (0xFFD3D3D3),
                      DocumentWindow::minimiseButton | DocumentWindow::closeButton, true)
{
    auto* content = new MainComponent (deviceName);
    setUsingNativeTitleBar (true);
    setContentOwned (content, true);
    menuBar.setMainComponent (content);
    setMenuBar (&menuBar, BuildConstants::menuBarHeight);
    setResizable (false, false);
    centreWithSize (getWidth(), getHeight() + BuildConstants::menuBarHeight);
    setVisible (true);
}

VornFirmwareUpdaterApplication::MainWindow::~MainWindow()
{
    setMenuBar (nullptr, 0);
}

void VornFirmwareUpdaterApplication::MainWindow::closeButtonPressed()
{
    if (auto* app = juce::JUCEApplicationBase::getInstance())
        app->systemRequestedQuit();
}

//==============================================================================
juce::StringArray VornFirmwareUpdaterApplication::MainWindow::MenuBar::getMenuBarNames()
{
    return { "Preferences" };
}

juce::PopupMenu VornFirmwareUpdaterApplication::MainWindow::MenuBar::getMenuForIndex (int, const juce::String&)
{
    juce::PopupMenu menu;
    menu.addItem (1, juce::String ("About ") + BuildConstants::applicationName, true, false);
    menu.addSeparator();
    menu.addItem (2, "Preferences...", true, false);
    return menu;
}

void VornFirmwareUpdaterApplication::MainWindow::MenuBar::menuItemSelected (int menuItemID, int)
{
    if (mainComponent == nullptr)
        return;

    if (menuItemID == 1)
        mainComponent->showAboutBox();
    else if (menuItemID == 2)
        mainComponent->showPreferences();
}
