# The Windows installation and its NSIS installer (`cpack -G NSIS` in the build
# folder, with Debian's makensis): everything in one folder, by default
# Program Files\VR480 Bootloader: the two programs and their translation, the
# Qt DLLs and plugins they load, libusb-1.0, the MinGW runtime, and the
# licences of what they carry; a Start-menu entry for the window; an
# uninstaller that takes all of it away.

# Qt and the plugins the window loads: its platform and its style. Qt finds
# the plugins in folders of these names beside the program.
foreach(module Core Gui Widgets)
    install(FILES $<TARGET_FILE:Qt6::${module}> DESTINATION .)
endforeach()
install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> DESTINATION platforms)
install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin> DESTINATION styles)
install(FILES ${VR480_LIBUSB1_DLL} ${VR480_MINGW_RUNTIME} DESTINATION .)

# The licences: the LGPL texts of Qt (3) and libusb-1.0 (2.1), the GPL that
# LGPL 3 builds on, with the GCC Runtime Library Exception in Debian's
# copyright file of the MinGW compilers; Debian's copyright file of every
# source package carried (Qt's names the libraries built into its DLLs), and
# where each source is.
if(NOT VR480_WIN_SOURCE_PACKAGES)
    message(FATAL_ERROR "VR480_WIN_SOURCE_PACKAGES is not set: use the toolchain file of "
                        "packaging/windows/build-toolchain.sh")
endif()
set(licences ${CMAKE_CURRENT_BINARY_DIR}/licences)
file(MAKE_DIRECTORY ${licences})
foreach(text LGPL-3 LGPL-2.1 GPL-3)
    configure_file(/usr/share/common-licenses/${text} ${licences}/${text}.txt COPYONLY)
endforeach()
set(debian_copyright
    qt6-base /usr/share/doc/libqt6core6/copyright
    libusb-1.0 /usr/share/doc/libusb-1.0-0/copyright
    gcc-mingw-w64 /usr/share/doc/gcc-mingw-w64-base/copyright
    mingw-w64 /usr/share/doc/mingw-w64-common/copyright)
while(debian_copyright)
    list(POP_FRONT debian_copyright package file)
    configure_file(${file} ${licences}/${package}.copyright.txt COPYONLY)
endwhile()
set(sources "")
foreach(entry ${VR480_WIN_SOURCE_PACKAGES})
    string(REPLACE "=" " " entry ${entry})
    string(APPEND sources "    ${entry}\r\n")
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/SOURCES.txt.in ${licences}/SOURCES.txt @ONLY NEWLINE_STYLE CRLF)
install(DIRECTORY ${licences} DESTINATION .)

set(CPACK_GENERATOR NSIS)
set(CPACK_PACKAGE_NAME ${VR480_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "VR480 Bootloader developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware upgrade tool for the VR480 USB device")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "VR480 Bootloader")
set(CPACK_PACKAGE_FILE_NAME ${VR480_PACKAGE_NAME}-${PROJECT_VERSION}-win64)
set(CPACK_STRIP_FILES ON)
# A 64-bit installer, from the amd64 stubs of Debian's nsis.
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_PACKAGE_NAME "VR480 Bootloader") # also the Start-menu folder
set(CPACK_NSIS_DISPLAY_NAME "VR480 Bootloader ${PROJECT_VERSION}")
set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
set(CPACK_PACKAGE_EXECUTABLES vr480_bootloader "VR480 Bootloader")
set(CPACK_NSIS_INSTALLED_ICON_NAME vr480_bootloader.exe)
# Windows names a USB device instance by its ids and serial, and installs a
# driver for every new one: each VR480 would be a new instance twice (its
# bootloader's serial gains "b"), each waiting seconds for its driver on its
# first contact with the PC. Windows' switch IgnoreHWSerNum for the VR480's ids
# has it named by its port instead. The uninstaller takes the switch away.
# (Escaped twice: CPack writes these values into CPackConfig.cmake as they are.)
set(usb_flags "SYSTEM\\\\CurrentControlSet\\\\Control\\\\UsbFlags")
set(CPACK_NSIS_EXTRA_INSTALL_COMMANDS "WriteRegBin HKLM \\\"${usb_flags}\\\" IgnoreHWSerNum16C00A73 01")
set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS "DeleteRegValue HKLM \\\"${usb_flags}\\\" IgnoreHWSerNum16C00A73")
include(CPack)
