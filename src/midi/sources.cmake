list(APPEND VFU_CORE_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/CandidateInquiry.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ChosenInstrument.cpp
    ${CMAKE_CURRENT_LIST_DIR}/DetectionResults.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FollowedInstrument.cpp
    ${CMAKE_CURRENT_LIST_DIR}/InquiryReplyDecoder.cpp
    ${CMAKE_CURRENT_LIST_DIR}/MIDIPortsSelector.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PollThread.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PortAccess.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PortLocks.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PortOpener.cpp
    ${CMAKE_CURRENT_LIST_DIR}/VirtualMidiPorts.cpp
    ${CMAKE_CURRENT_LIST_DIR}/native/AlsaPiecewiseOutput.cpp
    ${CMAKE_CURRENT_LIST_DIR}/native/AlsaPortList.cpp
    ${CMAKE_CURRENT_LIST_DIR}/native/AlsaSendingClient.cpp
    ${CMAKE_CURRENT_LIST_DIR}/native/AlsaSendingPort.cpp
    ${CMAKE_CURRENT_LIST_DIR}/native/AlsaSysexStream.cpp
    ${CMAKE_CURRENT_LIST_DIR}/native/JuceMidiPorts.cpp)
