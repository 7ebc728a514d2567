# Windows builds made with MinGW: the DLLs the programs need beside them (the
# installer carries them), and, when cross-compiling on Linux with Wine at
# hand, `wine-run` in the build folder, which runs the build's programs under
# Wine: CMake runs the demo's upgrade-file writer and CTest the tests through
# it (CMAKE_CROSSCOMPILING_EMULATOR).

# The MinGW runtime, where the compiler finds it.
set(VR480_MINGW_RUNTIME)
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
        message(FATAL_ERROR "${dll} not found by ${CMAKE_CXX_COMPILER}")
    endif()
    get_filename_component(path ${path} REALPATH)
    list(APPEND VR480_MINGW_RUNTIME ${path})
endforeach()

# libusb-1.0's DLL, in its prefix's bin.
find_package(PkgConfig REQUIRED)
pkg_get_variable(libusb1_prefix libusb-1.0 prefix)
set(VR480_LIBUSB1_DLL ${libusb1_prefix}/bin/libusb-1.0.dll)
if(NOT EXISTS ${VR480_LIBUSB1_DLL})
    message(FATAL_ERROR "libusb-1.0.dll not found in ${libusb1_prefix}/bin")
endif()

# Unix paths as the build's Windows programs see them under Wine (drive Z: is
# the root); empty where they run natively.
set(VR480_HOST_DRIVE "")
if(NOT CMAKE_CROSSCOMPILING)
    return()
endif()
find_program(VR480_WINE wine)
find_program(VR480_WINEBOOT wineboot)
find_program(VR480_WINESERVER wineserver)
if(NOT VR480_WINE OR NOT VR480_WINEBOOT OR NOT VR480_WINESERVER)
    message(STATUS "Wine not found: the Windows programs are built, but nothing here runs them "
                   "(no demo upgrade file, no tests)")
    return()
endif()
set(VR480_HOST_DRIVE "Z:")

# The folders of the DLLs: Qt's, libusb-1.0's and the MinGW runtime's. Qt
# finds its plugins from its own DLLs' folder.
get_target_property(qt_core Qt6::Core IMPORTED_LOCATION_RELEASE)
set(dll_dirs)
foreach(file ${qt_core} ${VR480_LIBUSB1_DLL} ${VR480_MINGW_RUNTIME})
    get_filename_component(dir ${file} DIRECTORY)
    list(APPEND dll_dirs Z:${dir})
endforeach()
list(REMOVE_DUPLICATES dll_dirs)
set(VR480_WINE_PATH "${dll_dirs}") # a Windows path list, ";" between folders
set(VR480_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine)
# Fonts for Qt's offscreen platform, which reads font files from a folder.
find_path(VR480_TEST_FONT_DIR DejaVuSans.ttf PATHS /usr/share/fonts/truetype/dejavu NO_CMAKE_FIND_ROOT_PATH)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
message(STATUS "Windows programs run under Wine through ${CMAKE_BINARY_DIR}/wine-run")
