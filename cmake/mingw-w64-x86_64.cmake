# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (the -posix threads variant: the
# win32 one has no std::mutex or std::thread).
#
# Libraries are looked for in two places only: MinGW-w64's own tree, where Debian's
# *-mingw-w64-dev packages install (zlib, libgcrypt, ...), and the folder that
# scripts/setup-windows-deps.sh builds libpng, libjpeg-turbo and Expat into. Programs (juceaide,
# zip) still come from the build machine.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VFU_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VFU_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VFU_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VFU_MINGW_TRIPLET}-windres)

if(NOT VFU_WINDOWS_DEPS)
    if(DEFINED ENV{VFU_WINDOWS_DEPS})
        set(VFU_WINDOWS_DEPS $ENV{VFU_WINDOWS_DEPS})
    else()
        set(VFU_WINDOWS_DEPS $ENV{HOME}/.cache/vfu-windows-deps)
    endif()
endif()
# try_compile() projects read this file again; they get the same folder.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VFU_WINDOWS_DEPS)

set(CMAKE_FIND_ROOT_PATH /usr/${VFU_MINGW_TRIPLET} ${VFU_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# BOTH, so that the framework's CMake package of the build machine is found as well.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# The framework's CMake package is the build machine's, in its multiarch folder, which a cross
# build does not search.
if(NOT JUCE_DIR)
    file(GLOB vfu_juce_configs /usr/lib/*/cmake/JUCE-*/JUCEConfig.cmake)
    if(vfu_juce_configs)
        list(GET vfu_juce_configs 0 vfu_juce_config)
        get_filename_component(vfu_juce_dir ${vfu_juce_config} DIRECTORY)
        set(JUCE_DIR ${vfu_juce_dir} CACHE PATH "The framework's CMake package")
    endif()
endif()

# The program is linked statically; a find must not settle for an import library of a DLL
# that would then have to be shipped beside the .exe.
set(ZLIB_USE_STATIC_LIBS ON)

# pkg-config (for example for libgcrypt or gpg-error) sees the Windows libraries only.
set(ENV{PKG_CONFIG_LIBDIR} "${VFU_WINDOWS_DEPS}/lib/pkgconfig:/usr/${VFU_MINGW_TRIPLET}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
