list(APPEND VFU_CORE_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/KernelFiles.cpp
    ${CMAKE_CURRENT_LIST_DIR}/MidiStreamSplitter.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ReplayedInstrument.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SimFirmwareImage.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SimIdentityReply.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SimMidiCable.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SimScheduler.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SimVersion.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SimulatedInstrument.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SimulatorConfig.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SystemVirtualPorts.cpp
    ${CMAKE_CURRENT_LIST_DIR}/UsbGadget.cpp
    ${CMAKE_CURRENT_LIST_DIR}/UsbGadgetPorts.cpp
    ${CMAKE_CURRENT_LIST_DIR}/UsbHostCard.cpp)
