# One static library that compiles the JUCE modules once, together with all of the
# program's code except main(). The application, the tests, the tools and the fuzzers link it.

juce_add_binary_data(vfu_resources
    HEADER_NAME VfuBinaryData.h
    NAMESPACE VfuBinaryData
    SOURCES ${VFU_RESOURCE_FILES})
set_target_properties(vfu_resources PROPERTIES POSITION_INDEPENDENT_CODE ON)

# Debian's JUCE decodes images with the system's libpng and libjpeg.
find_package(PNG REQUIRED)
find_package(JPEG REQUIRED)

# Expat judges every definitions document before the framework's XML parser builds its tree.
find_package(EXPAT REQUIRED)

add_library(vfu_core STATIC ${VFU_CORE_SOURCES})

target_include_directories(vfu_core PUBLIC ${CMAKE_SOURCE_DIR}/src)

target_compile_definitions(vfu_core
    PUBLIC
        JUCE_WEB_BROWSER=0
        JUCE_USE_CURL=0
        JUCE_STANDALONE_APPLICATION=1
        JUCE_DISPLAY_SPLASH_SCREEN=0
        JUCE_REPORT_APP_USAGE=0
        JUCE_USE_XRANDR=1
        JUCE_MODAL_LOOPS_PERMITTED=1)

# The framework's DirectWrite font path does not build with MinGW (it would turn itself off with
# a warning); its GDI path serves the embedded typeface.
if(MINGW)
    target_compile_definitions(vfu_core PUBLIC JUCE_USE_DIRECTWRITE=0)
endif()

target_link_libraries(vfu_core
    PRIVATE
        EXPAT::EXPAT
        juce::juce_core
        juce::juce_events
        juce::juce_data_structures
        juce::juce_graphics
        juce::juce_gui_basics
        juce::juce_audio_basics
        juce::juce_audio_devices
        juce::juce_cryptography
    PUBLIC
        vfu_resources
        PNG::PNG
        JPEG::JPEG
        juce::juce_recommended_config_flags
        juce::juce_recommended_warning_flags)

# The framework names its ALSA sequencer client after the running application object, and "JUCE"
# in a program without one (vfu-update, the other command-line tools, the tests): every program
# of ours names it after the program instead. vfu-instrument names its process after the simulated
# instrument with an application object that is never started (InstrumentIdentity), as a USB
# instrument's client carries the instrument's name, so that name is kept; the window program is
# started as an application and is the updater. Set on the module's source alone, so that nothing
# else is compiled again for it.
get_target_property(VFU_JUCE_MODULES juce::juce_audio_devices INTERFACE_JUCE_MODULE_PATH)
set_source_files_properties(${VFU_JUCE_MODULES}/juce_audio_devices/juce_audio_devices.cpp
    PROPERTIES COMPILE_DEFINITIONS
        "JUCE_ALSA_MIDI_NAME=(juce::JUCEApplicationBase::getInstance() == nullptr || juce::JUCEApplicationBase::isStandaloneApp() ? juce::String (\"Vorn Firmware Updater\") : juce::JUCEApplicationBase::getInstance()->getApplicationName())")

# The module targets above are private so that their sources are compiled here only;
# their include folders and definitions are handed on to everything that links vfu_core.
target_include_directories(vfu_core INTERFACE $<TARGET_PROPERTY:vfu_core,INCLUDE_DIRECTORIES>)
target_compile_definitions(vfu_core INTERFACE $<TARGET_PROPERTY:vfu_core,COMPILE_DEFINITIONS>)
