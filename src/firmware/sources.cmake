list(APPEND VFU_CORE_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Ed25519.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FirmwareImage.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FirmwarePackageStore.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FirmwarePackageWriter.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PackageSignature.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PackageSigningKey.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PackageVerifier.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SysexSender.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ZipEntryReader.cpp)
