# Signed firmware packages: the cryptographic library and the maker's public key.
#
# VFU_PACKAGE_PUBLIC_KEY  the instrument maker's Ed25519 public key as 64 hex digits (printed by
#                         "vfu-firmware-tool keygen"). Empty (the default): packages need no signature.
#                         With a key, every package found beside the executable or on the desktop
#                         must carry the maker's signature.
#
# libgcrypt is looked up with find_library first, so that a cross build's toolchain file (its
# find root path) picks the target's copy; pkg-config is the fallback for unusual install places.

set(VFU_PACKAGE_PUBLIC_KEY "" CACHE STRING "The instrument maker's Ed25519 public key (64 hex digits) that firmware packages must be signed with; empty: no signature needed")

include(${CMAKE_CURRENT_LIST_DIR}/VfuPublicKeyCheck.cmake)

if(NOT VFU_PACKAGE_PUBLIC_KEY STREQUAL "")
    vfu_check_package_public_key("${VFU_PACKAGE_PUBLIC_KEY}")
    string(TOLOWER "${VFU_PACKAGE_PUBLIC_KEY}" vfu_package_public_key)
    message(STATUS "Firmware packages must be signed with the key ${vfu_package_public_key}")
    # Only this one file sees the key, so changing it recompiles nothing else.
    set_property(SOURCE ${CMAKE_SOURCE_DIR}/src/firmware/PackageSignature.cpp APPEND PROPERTY
                 COMPILE_DEFINITIONS "VFU_PACKAGE_PUBLIC_KEY=\"${vfu_package_public_key}\"")
endif()

if(WIN32)
    # Linked statically, so that the program stays one file without extra DLLs beside it.
    set(vfu_gcrypt_names libgcrypt.a gcrypt)
    set(vfu_gpg_error_names libgpg-error.a gpg-error)
else()
    set(vfu_gcrypt_names gcrypt)
    set(vfu_gpg_error_names gpg-error)
endif()

find_path(VFU_GCRYPT_INCLUDE_DIR gcrypt.h)
find_library(VFU_GCRYPT_LIBRARY NAMES ${vfu_gcrypt_names})
find_library(VFU_GPG_ERROR_LIBRARY NAMES ${vfu_gpg_error_names})

add_library(vfu_gcrypt INTERFACE)

if(VFU_GCRYPT_INCLUDE_DIR AND VFU_GCRYPT_LIBRARY AND VFU_GPG_ERROR_LIBRARY)
    target_include_directories(vfu_gcrypt SYSTEM INTERFACE ${VFU_GCRYPT_INCLUDE_DIR})
    target_link_libraries(vfu_gcrypt INTERFACE ${VFU_GCRYPT_LIBRARY} ${VFU_GPG_ERROR_LIBRARY})
    if(WIN32)
        target_link_libraries(vfu_gcrypt INTERFACE ws2_32)
    endif()
else()
    find_package(PkgConfig)
    if(PKG_CONFIG_FOUND)
        pkg_check_modules(VFU_GCRYPT IMPORTED_TARGET libgcrypt)
    endif()
    if(NOT VFU_GCRYPT_FOUND)
        message(FATAL_ERROR "libgcrypt was not found: install libgcrypt20-dev (scripts/setup.sh does), "
                            "or libgcrypt-mingw-w64-dev for a Windows build")
    endif()
    target_link_libraries(vfu_gcrypt INTERFACE PkgConfig::VFU_GCRYPT)
endif()

target_link_libraries(vfu_core PRIVATE vfu_gcrypt)
