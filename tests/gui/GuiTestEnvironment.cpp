#include <juce_gui_basics/juce_gui_basics.h>

namespace
{
    // The framework sets up Xlib for threads and installs its X error handlers only in a
    // standalone application. Without them an X server without a window manager (Xvfb) ends
    // the process on the first property the framework reads, so the tests claim to be one.
    // The factory is never called: the tests make no application object.
    juce::JUCEApplicationBase* noApplication() { return nullptr; }

    const bool standalone = []
    {
        juce::JUCEApplicationBase::createInstance = &noApplication;
        return true;
    }();
}

// Xlib keeps per-display caches (input methods, resource databases, atoms) that it never frees;
// the framework loads it at run time. The test program links it, so that it stays loaded until
// the leak check runs and its frames can be named here.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libX11.so\n"
           "leak:libxcb.so\n"
           "leak:libfontconfig.so\n";
}
