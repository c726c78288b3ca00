#include "GuiTestSupport.h"

#include "engine/FirmwareUpdater.h"
#include "ui/AboutBox.h"

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
