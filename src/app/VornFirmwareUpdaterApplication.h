#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

class MainComponent;
class WineRepaintPump;
struct DemoSimulation;

/** The application object: opens the log, owns the one main window
    and quits cleanly on the close button, the desktop's quit request, SIGINT or SIGTERM.
    Message thread only. */
class VornFirmwareUpdaterApplication final : public juce::JUCEApplication
{
public:
    VornFirmwareUpdaterApplication();
    ~VornFirmwareUpdaterApplication() override;

    const juce::String getApplicationName() override;
    const juce::String getApplicationVersion() override;
    bool moreThanOneInstanceAllowed() override;
    void initialise (const juce::String& commandLine) override;
    void shutdown() override;
    void anotherInstanceStarted (const juce::String& commandLine) override;
    void systemRequestedQuit() override;

    class MainWindow final : public juce::DocumentWindow
    {
    public:
        MainWindow (const juce::String& title, const juce::String& deviceName);
        ~MainWindow() override;

        void closeButtonPressed() override;

        class MenuBar final : public juce::MenuBarModel
        {
        public:
            MenuBar() = default;
            ~MenuBar() override = default;

            juce::StringArray getMenuBarNames() override;
            juce::PopupMenu getMenuForIndex (int topLevelMenuIndex, const juce::String& menuName) override;
            void menuItemSelected (int menuItemID, int topLevelMenuIndex) override;

            void setMainComponent (MainComponent* component) noexcept { mainComponent = component; }

        private:
            MainComponent* mainComponent = nullptr;
        };

    private:
        MenuBar menuBar;

        JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MainWindow)
    };

private:
    void startDemoModeIfAsked();
    void startTracingIfAsked();
    void stopDemoMode();

    // Declared before the window so that it outlives it: the engine polls its ports until the window goes.
    std::unique_ptr<DemoSimulation> demoSimulation;
    std::unique_ptr<MainWindow> mainWindow;
    class QuitSignalWatcher;
    std::unique_ptr<QuitSignalWatcher> quitSignalWatcher;
    std::unique_ptr<WineRepaintPump> wineRepaintPump;
};
