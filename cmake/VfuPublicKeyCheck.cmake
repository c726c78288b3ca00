# vfu_check_package_public_key(<key>): stops the configuration unless the key is 64 hex digits
# that can be a maker's Ed25519 public key.
#
# A point of small order is no maker's key: anyone can make signatures that verify under it, and
# the cryptographic library aborts the program on some of them. The list holds the y coordinates
# (little-endian, with the sign bit of x cleared) of all eight such points, and the non-canonical
# forms y + p of 0 and 1; with either sign bit they are every encoding of those points. (The
# program checks every key again, also for being a point of the curve at all.)
#
# Also runs as a script, for the tests: cmake -DVFU_PACKAGE_PUBLIC_KEY=<key> -P VfuPublicKeyCheck.cmake

if(CMAKE_SCRIPT_MODE_FILE)
    cmake_policy(VERSION 3.22)
endif()

function(vfu_check_package_public_key key)
    string(LENGTH "${key}" length)
    if(NOT length EQUAL 64 OR NOT key MATCHES "^[0-9a-fA-F]+$")
        message(FATAL_ERROR "VFU_PACKAGE_PUBLIC_KEY must be 64 hex digits (the public key that "
                            "\"vfu-firmware-tool keygen\" prints), or empty; it is \"${key}\"")
    endif()

    string(TOLOWER "${key}" key)
    string(SUBSTRING "${key}" 0 62 head)
    string(SUBSTRING "${key}" 62 1 high)
    string(SUBSTRING "${key}" 63 1 low)
    string(FIND "0123456789abcdef" "${high}" nibble)
    math(EXPR nibble "${nibble} % 8")
    math(EXPR nibble "${nibble}" OUTPUT_FORMAT HEXADECIMAL)
    string(SUBSTRING "${nibble}" 2 1 nibble)

    set(small_order_y
        0000000000000000000000000000000000000000000000000000000000000000
        0100000000000000000000000000000000000000000000000000000000000000
        ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f
        26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05
        c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a
        edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f
        eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f)

    if("${head}${nibble}${low}" IN_LIST small_order_y)
        message(FATAL_ERROR "VFU_PACKAGE_PUBLIC_KEY ${key} is a point of small order, not a maker's key: "
                            "signatures under it can be made without any secret key. Use the public key "
                            "that \"vfu-firmware-tool keygen\" prints.")
    endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    vfu_check_package_public_key("${VFU_PACKAGE_PUBLIC_KEY}")
    message(STATUS "VFU_PACKAGE_PUBLIC_KEY ${VFU_PACKAGE_PUBLIC_KEY} can be a maker's key")
endif()
