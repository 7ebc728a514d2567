# libusb 0.1 for the real programs (VR480_LIBUSB): the system's library, or
# ours over libusb-1.0 (libusb0/; always on Windows, where no libusb 0.1 is to
# be had, and built wherever libusb-1.0 is found, for its test); and its
# header alone (libusb_headers) for the code above it, which does not choose
# the implementation.
if(WIN32)
    set(libusb0_compat_default ON)
else()
    set(libusb0_compat_default OFF)
endif()
option(VR480_LIBUSB0_COMPAT "Link the programs to libusb0/ over libusb-1.0 instead of the system's libusb 0.1"
       ${libusb0_compat_default})
add_subdirectory(libusb0)
if(VR480_LIBUSB0_COMPAT)
    add_library(libusb_headers INTERFACE)
    target_include_directories(libusb_headers INTERFACE ${PROJECT_SOURCE_DIR}/libusb0/include)
    set(VR480_LIBUSB vr480_libusb0)
    return()
endif()

# The system's: pkg-config where it exists, otherwise by name (libusb-win32).
set(VR480_LIBUSB PkgConfig::LIBUSB)
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
    pkg_check_modules(LIBUSB IMPORTED_TARGET libusb)
endif()
if(NOT TARGET PkgConfig::LIBUSB)
    find_path(LIBUSB_INCLUDE_DIR NAMES usb.h lusb0_usb.h)
    find_library(LIBUSB_LIBRARY NAMES usb libusb usb0 libusb0)
    if(NOT LIBUSB_INCLUDE_DIR OR NOT LIBUSB_LIBRARY)
        message(FATAL_ERROR "libusb 0.1 (usb.h and its library) not found")
    endif()
    add_library(PkgConfig::LIBUSB UNKNOWN IMPORTED)
    set_target_properties(PkgConfig::LIBUSB PROPERTIES
        IMPORTED_LOCATION ${LIBUSB_LIBRARY}
        INTERFACE_INCLUDE_DIRECTORIES ${LIBUSB_INCLUDE_DIR})
endif()
if(LIBUSB_FOUND)
    set(libusb_includes ${LIBUSB_INCLUDE_DIRS})
else()
    set(libusb_includes ${LIBUSB_INCLUDE_DIR})
endif()
add_library(libusb_headers INTERFACE)
target_include_directories(libusb_headers INTERFACE ${libusb_includes})
include(CheckIncludeFileCXX)
set(CMAKE_REQUIRED_INCLUDES ${libusb_includes})
check_include_file_cxx(usb.h VR480_HAVE_USB_H)
unset(CMAKE_REQUIRED_INCLUDES)
if(NOT VR480_HAVE_USB_H)
    # libusb-win32 names its 0.1 header lusb0_usb.h
    target_compile_definitions(libusb_headers INTERFACE VR480_LUSB0_HEADER)
endif()
