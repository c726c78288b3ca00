#include "GuiTestSupport.h"

#include "engine/FirmwareUpdater.h"

#include <juce_cryptography/juce_cryptography.h>

juce::File writeQuorrelPackage (const juce::File& folder, const juce::String& version)
{
    const auto base = "quorrel-fw-" + version;

    // A small image in the simulated instruments' form; only its presence matters here.
    juce::MemoryBlock image;
    for (auto byte : { 0xF0, 0x04, 0x06, 0x12, 0x02, 0x01, 0x0E, 0x7F, 0x01, 0x02, 0x03, 0x00, 0xF7 })
        image.append (&byte, 1);

    const auto shaLine = juce::SHA256 (image).toHexString().removeCharacters (" ") + " *" + base + ".syx";

    juce::ZipFile::Builder builder;
    builder.addEntry (new juce::MemoryInputStream (shaLine.toRawUTF8(), shaLine.getNumBytesAsUTF8(), true),
                      0, base + ".sha", juce::Time::getCurrentTime());
    builder.addEntry (new juce::MemoryInputStream (image, true), 0, base + ".syx", juce::Time::getCurrentTime());

    auto file = folder.getChildFile (base + ".vfw");
    file.deleteFile();
    juce::FileOutputStream out (file);
    builder.writeToStream (out, nullptr);
    return file;
}

MainWindowTest::MainWindowTest()
{
    root = juce::File::getSpecialLocation (juce::File::tempDirectory).getChildFile ("vfu-gui-test-" + juce::Uuid().toString());
    executableFolder = root.getChildFile ("bin");
    desktopFolder = root.getChildFile ("Desktop");
    executableFolder.createDirectory();
    desktopFolder.createDirectory();

    selector.setPorts (std::make_shared<FixedNamePorts>());
}

MainWindowTest::~MainWindowTest()
{
    window.reset();
    root.deleteRecursively();
}

MainComponent& MainWindowTest::open (const juce::String& definitions)
{
    MainComponent::Environment env;
    env.executableFolder = executableFolder;
    env.desktopFolder = desktopFolder;
    env.inbuiltDefinitions = definitions;
    env.selector = &selector;
    env.reportFatal = [this] (const juce::String& title, const juce::String& message)
    {
        fatalReports.add (title + "|" + message);
    };

    window = std::make_unique<juce::DocumentWindow> ("Quorrel Firmware Updater", juce::Colour (0xFFD3D3D3),
                                                     juce::DocumentWindow::closeButton, true);
    linesAlreadyAwaited = log.lines().size();
    main = new MainComponent ("Quorrel", std::move (env));
    window->setUsingNativeTitleBar (true);
    window->setContentOwned (main, true);
    window->setVisible (true);
    return *main;
}

bool MainWindowTest::waitForState (const juce::String& stateName, int timeoutMs)
{
    const auto prefix = "State '" + stateName + "' (from State '";

    // Looks only past the entry that the last wait found (or past what the log held before the
    // window opened), so a State can be awaited again, and an entry that came before the call
    // (the engine runs while the test works) still counts.
    return pumpUntil ([&]
    {
        const auto lines = log.lines();

        for (int i = linesAlreadyAwaited; i < lines.size(); ++i)
        {
            if (lines[i].startsWith (prefix))
            {
                linesAlreadyAwaited = i + 1;
                return true;
            }
        }

        return false;
    }, timeoutMs);
}

int MainWindowTest::runsStartedIn (const juce::String& stateName) const
{
    return log.count ("State '" + stateName + "' (from State 'none')");
}

juce::Component& MainWindowTest::child (const juce::String& name) const
{
    for (auto* c : main->getChildren())
        if (c->getName() == name)
            return *c;

    throw std::runtime_error ("no child named " + name.toStdString());
}

juce::Label& MainWindowTest::label (const juce::String& name) const
{
    return dynamic_cast<juce::Label&> (child (name));
}

juce::ComboBox& MainWindowTest::list (const juce::String& name) const
{
    return dynamic_cast<juce::ComboBox&> (child (name));
}

juce::TextButton& MainWindowTest::installCancel() const
{
    return dynamic_cast<juce::TextButton&> (child ("InstallCancel"));
}

void MainWindowTest::clickInstallCancel()
{
    installCancel().triggerClick();
}

namespace
{
    class DialogWatcher final : private juce::Timer
    {
    public:
        explicit DialogWatcher (std::function<void (juce::DialogWindow&)> a) : action (std::move (a))
        {
            startTimer (20);
        }

    private:
        void timerCallback() override
        {
            if (auto* dialog = dynamic_cast<juce::DialogWindow*> (juce::Component::getCurrentlyModalComponent()))
            {
                stopTimer();
                auto a = std::move (action);
                delete this;
                a (*dialog);
            }
        }

        std::function<void (juce::DialogWindow&)> action;
    };
}

void whenDialogOpens (std::function<void (juce::DialogWindow&)> action)
{
    new DialogWatcher (std::move (action));
}

juce::String clickDrivenDocument()
{
    return quorrelDocument (
        "<State name=\"Idle, no device\" pollingMode=\"none\">"
        "  <TextField name=\"InstructionsField\" text=\"Connect your Quorrel.\"/>"
        "  <TextField name=\"InstalledVersion\" text=\"-\" visible=\"false\"/>"
        "  <Print text=\"idle reached\"/>"
        "  <Button name=\"InstallCancel\" text=\"Install\" state=\"enabled\" gotoState=\"Firmware download\"/>"
        "</State>"
        "<State name=\"Firmware download\" pollingMode=\"none\">"
        "  <TextField name=\"InstructionsField\" text=\"Installing, do not unplug.\"/>"
        "  <Button name=\"InstallCancel\" text=\"Cancel\" state=\"enabled\" gotoState=\"Update cancelled\"/>"
        "  <Button name=\"InstructionsField\" text=\"not a button\" state=\"disabled\"/>"
        "  <TextField name=\"device\" text=\"not addressable\"/>"
        "</State>"
        "<State name=\"Update cancelled\" pollingMode=\"none\">"
        "  <TextField name=\"InstalledVersion\" text=\"unknown\"/>"
        "  <Button name=\"InstallCancel\" text=\"OK\" state=\"enabled\" gotoState=\"Idle, no device\"/>"
        "</State>",
        "Idle, no device");
}
