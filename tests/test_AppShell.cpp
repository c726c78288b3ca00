#include "base/AppLog.h"
#include "base/BuildConstants.h"
#include "app/DisplayCheck.h"
#include "app/VornFirmwareUpdaterApplication.h"

#include <gtest/gtest.h>

#if JUCE_LINUX || JUCE_BSD
 #include <cstdlib>
#endif

//==============================================================================
TEST (AppLog, anExistingLogOverOneMebibyteIsCutAtALineBoundaryBeforeTheNewHeader)
{
    juce::TemporaryFile temp;
    juce::StringArray lines;

    for (int i = 0; i < 24 * 1024; ++i)
        lines.add ("old line " + juce::String (i).paddedLeft ('0', 6) + " " + juce::String::repeatedString ("x", 48));

    const auto oldLines = lines.joinIntoString ("\n") + "\n"; // 1.5 MiB

    ASSERT_TRUE (temp.getFile().replaceWithText (oldLines, false, false, "\n"));
    const auto lastOldLine = juce::StringArray::fromLines (oldLines.trimEnd()).strings.getLast();

    AppLog::createLogAt (temp.getFile(), "welcome line");
    AppLog::closeLog();

    // At most 1 MiB of old lines survives, cut where a line starts, and ends with the last one;
    // the framework's header (a line of stars, then the welcome line) follows.
    const auto text = temp.getFile().loadFileAsString();
    const auto header = text.indexOf ("\r\n*****");
    ASSERT_GT (header, 0);
    EXPECT_TRUE (text.substring (header).contains ("welcome line"));

    const auto old = text.substring (0, header);
    EXPECT_LE (old.getNumBytesAsUTF8(), (size_t) BuildConstants::logSizeLimitBytes);
    EXPECT_GT (old.getNumBytesAsUTF8(), (size_t) BuildConstants::logSizeLimitBytes - 200);
    EXPECT_TRUE (old.trimStart().startsWith ("old line ")) << old.substring (0, 40);
    EXPECT_TRUE (oldLines.endsWith (old.trimStart()));
    EXPECT_TRUE (old.trimEnd().endsWith (lastOldLine));
}

#if JUCE_LINUX || JUCE_BSD
namespace
{
/** Sets an environment variable for the lifetime of the object, then restores it. */
class ScopedEnvironment
{
public:
    ScopedEnvironment (const char* variableName, const char* value) : name (variableName)
    {
        if (const auto* old = std::getenv (name))
            previous = std::make_unique<std::string> (old);

        if (value != nullptr)
            ::setenv (name, value, 1);
        else
            ::unsetenv (name);
    }

    ~ScopedEnvironment()
    {
        if (previous != nullptr)
            ::setenv (name, previous->c_str(), 1);
        else
            ::unsetenv (name);
    }

private:
    const char* name;
    std::unique_ptr<std::string> previous;
};
} // namespace

TEST (AppLog, theLogLivesInTheUsersApplicationDataFolderUnderTheProductName)
{
    const auto folder = juce::File::getSpecialLocation (juce::File::tempDirectory).getChildFile ("vfu-config-" + juce::Uuid().toString());
    {
        const ScopedEnvironment home ("HOME", folder.getFullPathName().toRawUTF8());
        AppLog::createLog ("Model X Two");
        logLine ("first line");
        AppLog::closeLog();
    }

    const auto file = folder.getChildFile (".config/Vorn Firmware Updater/vfu-modelxtwo");
    const auto text = file.loadFileAsString();
    EXPECT_TRUE (text.contains ("Vorn Firmware Updater for Model X Two v2.1.12")) << text;
    EXPECT_TRUE (text.trimEnd().endsWith (" - first line")) << text;
    folder.deleteRecursively();
}

TEST (DisplayCheck, withoutAUsableDisplayTheProblemAndTheWayOutAreNamed)
{
    {
        const ScopedEnvironment display ("DISPLAY", nullptr);
        EXPECT_EQ (DisplayCheck::findProblem(), "DISPLAY is not set");
    }
    {
        const ScopedEnvironment display ("DISPLAY", "");
        EXPECT_EQ (DisplayCheck::findProblem(), "DISPLAY is not set");
    }
    {
        const ScopedEnvironment display ("DISPLAY", ":97531");
        EXPECT_EQ (DisplayCheck::findProblem(), "the display DISPLAY=:97531 cannot be opened");
    }

    const auto message = DisplayCheck::messageFor ("DISPLAY is not set");
    EXPECT_TRUE (message.startsWith ("Quorrel Firmware Updater needs a graphical display, but DISPLAY is not set.")) << message;
    EXPECT_TRUE (message.contains ("vfu-update")) << message;
}
#endif

//==============================================================================
TEST (AppShell, theMenuBarOffersAboutAndPreferencesAndIgnoresOtherIds)
{
    VornFirmwareUpdaterApplication::MainWindow::MenuBar menuBar;
    EXPECT_EQ (menuBar.getMenuBarNames(), juce::StringArray ("Preferences"));

    juce::StringArray entries;

    for (auto* name : { "Preferences", "anything" })
    {
        entries.clear();

        const auto menu = menuBar.getMenuForIndex (3, name);

        for (juce::PopupMenu::MenuItemIterator items (menu); items.next();)
        {
            const auto& item = items.getItem();
            entries.add (item.isSeparator ? juce::String ("---")
                                          : juce::String (item.itemID) + " " + item.text + (item.isEnabled ? "" : " (disabled)")
                                                + (item.isTicked ? " (ticked)" : ""));
        }

        EXPECT_EQ (entries, juce::StringArray ({ "1 About Quorrel Firmware Updater", "---", "2 Preferences..." })) << name;
    }

    // Without a main component (before the window has one) a selection does nothing.
    menuBar.menuItemSelected (1, 0);
    menuBar.menuItemSelected (2, 0);
}
