#include "GuiTestSupport.h"

#include "engine/FirmwareUpdater.h"
#include "ui/AboutBox.h"
#include "ui/PreferencesDialog.h"

namespace
{
    template <typename Type>
    Type* findChild (juce::Component& parent, const juce::String& text)
    {
        for (auto* c : parent.getChildren())
        {
            if (auto* typed = dynamic_cast<Type*> (c))
            {
                if constexpr (std::is_base_of_v<juce::Button, Type>)
                {
                    if (typed->getButtonText() == text)
                        return typed;
                }
                else if (typed->getText() == text)
                {
                    return typed;
                }
            }

            if (auto* found = findChild<Type> (*c, text))
                return found;
        }

        return nullptr;
    }

    juce::ToggleButton* advancedSwitch (juce::Component& dialog)
    {
        return findChild<juce::ToggleButton> (dialog, "Advanced Mode");
    }

    void click (juce::Component& dialog, const juce::String& buttonText)
    {
        if (auto* b = findChild<juce::TextButton> (dialog, buttonText))
            b->triggerClick();
        else
            ADD_FAILURE() << "no button " << buttonText;
    }
}

class DialogTest : public MainWindowTest
{
protected:
    MainComponent& openIdle()
    {
        writeQuorrelPackage (desktopFolder, "2.1.13");
        auto& mc = open (clickDrivenDocument());
        EXPECT_TRUE (waitForState ("Idle, no device"));
        pumpUntil ([&] { return installCancel().isEnabled(); }, 2000);
        return mc;
    }
};

TEST_F (DialogTest, TheAboutBoxShowsTheProductAndTheApplicationVersion)
{
    auto& mc = openIdle();
    juce::String title, product, version;

    whenDialogOpens ([&] (juce::DialogWindow& dialog)
    {
        title = dialog.getName();
        auto* box = dynamic_cast<AboutBox*> (dialog.getContentComponent());
        product = findChild<juce::Label> (dialog, "Vorn Firmware Updater") != nullptr ? "found" : "missing";
        version = box != nullptr ? box->getVersionText() : juce::String();
        static_cast<juce::Component&> (dialog).keyPressed (juce::KeyPress (juce::KeyPress::escapeKey));
    });

    mc.showAboutBox();

    EXPECT_EQ (title, "About");
    EXPECT_EQ (product, "found");
    EXPECT_EQ (version, "2.1.12");
}

TEST_F (DialogTest, TickingAdvancedModeAndPressingOkGrowsTheWindowAndRestartsTheEngine)
{
    auto& mc = openIdle();
    bool switchEnabled = false;

    whenDialogOpens ([&] (juce::DialogWindow& dialog)
    {
        auto* toggle = advancedSwitch (dialog);
        if (toggle == nullptr)
        {
            ADD_FAILURE() << "no Advanced Mode switch";
            dialog.exitModalState (0);
            return;
        }

        switchEnabled = toggle->isEnabled();
        toggle->setToggleState (true, juce::sendNotificationSync);
        click (dialog, "OK");
    });

    mc.showPreferences();

    EXPECT_TRUE (switchEnabled);
    EXPECT_TRUE (mc.isAdvancedMode());
    EXPECT_EQ (mc.getHeight(), 408);
    ASSERT_TRUE (waitForState ("Idle, no device"));
    EXPECT_EQ (runsStartedIn ("Idle, no device"), 2);
}

TEST_F (DialogTest, CancelEscapeAndTickingTwiceChangeNothing)
{
    auto& mc = openIdle();

    auto tickThen = [&] (int ticks, std::function<void (juce::DialogWindow&)> close)
    {
        whenDialogOpens ([ticks, close] (juce::DialogWindow& dialog)
        {
            for (int i = 0; i < ticks; ++i)
                if (auto* toggle = advancedSwitch (dialog))
                    toggle->setToggleState (! toggle->getToggleState(), juce::sendNotificationSync);
            close (dialog);
        });
        mc.showPreferences();
    };

    tickThen (1, [] (juce::DialogWindow& d) { click (d, "Cancel"); });
    tickThen (1, [] (juce::DialogWindow& d) { static_cast<juce::Component&> (d).keyPressed (juce::KeyPress (juce::KeyPress::escapeKey)); });
    tickThen (1, [] (juce::DialogWindow& d) { d.closeButtonPressed(); });
    tickThen (2, [] (juce::DialogWindow& d) { click (d, "OK"); });

    pumpFor (200);
    EXPECT_FALSE (mc.isAdvancedMode());
    EXPECT_EQ (mc.getHeight(), 320);
    EXPECT_EQ (runsStartedIn ("Idle, no device"), 1);
}

TEST_F (DialogTest, DuringATransferTheSwitchIsDisabledAndOkKeepsTheMode)
{
    auto& mc = openIdle();
    clickInstallCancel();
    ASSERT_TRUE (waitForState ("Firmware download"));

    bool switchEnabled = true, switchShown = true;

    whenDialogOpens ([&] (juce::DialogWindow& dialog)
    {
        auto* toggle = advancedSwitch (dialog);
        if (toggle == nullptr)
        {
            ADD_FAILURE() << "no Advanced Mode switch";
            dialog.exitModalState (0);
            return;
        }

        switchEnabled = toggle->isEnabled();
        switchShown = toggle->getToggleState();
        click (dialog, "OK");
    });

    mc.showPreferences();

    EXPECT_FALSE (switchEnabled);
    EXPECT_FALSE (switchShown);
    EXPECT_FALSE (mc.isAdvancedMode());
    EXPECT_EQ (mc.getHeight(), 320);
    EXPECT_EQ (runsStartedIn ("Idle, no device"), 1);
}

TEST_F (DialogTest, AnUpdateThatBeganWhileTheDialogWasOpenKeepsTheModeAtOkAndTheDialogSaysWhy)
{
    auto& mc = openIdle();
    auto& engine = *mc.getFirmwareUpdater();
    bool switchEnabledAtOpen = false, noteShown = false, switchEnabledAfterOk = true, switchTickedAfterOk = true;
    bool looking = true; // until the last of the delayed looks below has run
    const auto deadline = juce::Time::getMillisecondCounter() + 5000;

    // These run inside the dialog's modal loop: once the window has been told of the transfer,
    // OK; once the dialog has answered that (or the time is up), a look at it, then Cancel.
    using SafeDialog = juce::Component::SafePointer<juce::DialogWindow>;
    std::function<void (SafeDialog)> okOnceTransferring, readOnceAnswered;

    okOnceTransferring = [&] (SafeDialog dialog)
    {
        if (dialog == nullptr)
        {
            looking = false;
            return;
        }

        if (mc.areSettingsEnabled() && juce::Time::getMillisecondCounter() < deadline)
        {
            juce::Timer::callAfterDelay (10, [&, dialog] { okOnceTransferring (dialog); });
            return;
        }

        click (*dialog, "OK");
        readOnceAnswered (dialog);
    };

    readOnceAnswered = [&] (SafeDialog dialog)
    {
        if (dialog == nullptr)
        {
            looking = false; // OK closed it: the test fails on the mode below
            return;
        }

        auto* note = findChild<juce::Label> (*dialog, PreferencesDialog::modeKeptNote);
        noteShown = note != nullptr && note->isShowing();

        if (! noteShown && juce::Time::getMillisecondCounter() < deadline)
        {
            juce::Timer::callAfterDelay (10, [&, dialog] { readOnceAnswered (dialog); });
            return;
        }

        switchEnabledAfterOk = advancedSwitch (*dialog)->isEnabled();
        switchTickedAfterOk = advancedSwitch (*dialog)->getToggleState();
        looking = false;
        click (*dialog, "Cancel");
    };

    whenDialogOpens ([&] (juce::DialogWindow& dialog)
    {
        auto* toggle = advancedSwitch (dialog);
        if (toggle == nullptr)
        {
            ADD_FAILURE() << "no Advanced Mode switch";
            looking = false;
            dialog.exitModalState (0);
            return;
        }

        switchEnabledAtOpen = toggle->isEnabled();
        toggle->setToggleState (true, juce::sendNotificationSync);

        // The update starts behind the dialog, as when the instrument enters its bootloader.
        EXPECT_TRUE (engine.buttonPressed ("InstallCancel", "Idle, no device"));
        okOnceTransferring (SafeDialog (&dialog));
    });

    mc.showPreferences();
    ASSERT_TRUE (pumpUntil ([&] { return ! looking; }, 6000));

    EXPECT_TRUE (switchEnabledAtOpen);
    EXPECT_TRUE (noteShown);
    EXPECT_FALSE (switchEnabledAfterOk);
    EXPECT_FALSE (switchTickedAfterOk);
    EXPECT_FALSE (mc.isAdvancedMode());
    EXPECT_EQ (mc.getHeight(), 320);
    EXPECT_EQ (runsStartedIn ("Idle, no device"), 1);
    EXPECT_EQ (engine.getCurrentStateName(), "Firmware download");
    EXPECT_TRUE (engine.isThreadRunning());
}
