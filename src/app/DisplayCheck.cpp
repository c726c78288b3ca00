#include "DisplayCheck.h"
#include "../base/BuildConstants.h"
#include "../base/OutsideText.h"

#if JUCE_LINUX || JUCE_BSD
 #include <cstdlib>
 #include <dlfcn.h>
#endif

juce::String DisplayCheck::findProblem()
{
   #if JUCE_LINUX || JUCE_BSD
    const auto* display = std::getenv ("DISPLAY");

    if (display == nullptr || *display == 0)
        return "DISPLAY is not set";

    // The framework loads Xlib at run time as well; the library stays loaded for it.
    auto* xlib = ::dlopen ("libX11.so.6", RTLD_LAZY | RTLD_LOCAL);

    if (xlib == nullptr)
        xlib = ::dlopen ("libX11.so", RTLD_LAZY | RTLD_LOCAL);

    if (xlib == nullptr)
        return "the X11 library cannot be loaded";

    using OpenDisplay = void* (*) (const char*);
    using CloseDisplay = int (*) (void*);
    const auto openDisplay = reinterpret_cast<OpenDisplay> (::dlsym (xlib, "XOpenDisplay"));
    const auto closeDisplay = reinterpret_cast<CloseDisplay> (::dlsym (xlib, "XCloseDisplay"));

    if (openDisplay == nullptr || closeDisplay == nullptr)
        return "the X11 library cannot be used";

    auto* connection = openDisplay (nullptr);

    if (connection == nullptr)
        return "the display DISPLAY=" + OutsideText::fromSystemName (display) + " cannot be opened";

    closeDisplay (connection);
   #endif

    return {};
}

juce::String DisplayCheck::messageFor (const juce::String& problem)
{
    return juce::String (BuildConstants::applicationName) + " needs a graphical display, but " + problem
         + ".\nStart it in a desktop session (where DISPLAY names the display), or update the instrument "
           "from a terminal with vfu-update.";
}
