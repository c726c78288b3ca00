list(APPEND VFU_CORE_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/AlsaPiecewiseOutput.cpp
    ${CMAKE_CURRENT_LIST_DIR}/AlsaPortList.cpp
    ${CMAKE_CURRENT_LIST_DIR}/AlsaSendingClient.cpp
    ${CMAKE_CURRENT_LIST_DIR}/AlsaSendingPort.cpp
    ${CMAKE_CURRENT_LIST_DIR}/AlsaSysexStream.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FollowedInstrument.cpp
    ${CMAKE_CURRENT_LIST_DIR}/JuceMidiPorts.cpp
    ${CMAKE_CURRENT_LIST_DIR}/MIDIPortsSelector.cpp
    ${CMAKE_CURRENT_LIST_DIR}/MidiStreamSplitter.cpp
    ${CMAKE_CURRENT_LIST_DIR}/MidiTrace.cpp
    ${CMAKE_CURRENT_LIST_DIR}/MidiTraceRecorder.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PortLocks.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SystemVirtualPorts.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TracingMidiPorts.cpp
    ${CMAKE_CURRENT_LIST_DIR}/VersionNumber.cpp
    ${CMAKE_CURRENT_LIST_DIR}/VirtualMidiPorts.cpp)
