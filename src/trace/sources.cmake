list(APPEND VFU_CORE_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/MidiTrace.cpp
    ${CMAKE_CURRENT_LIST_DIR}/MidiTraceRecorder.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TracingMidiPorts.cpp)
