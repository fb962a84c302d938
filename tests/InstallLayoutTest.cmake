# Installs the build into a scratch prefix and checks that the program, its desktop entry, its
# AppStream metainfo and the application icon in every hicolor size land where a Linux desktop
# looks for them, and that appstreamcli accepts the installed metainfo with the entry it names.
# Run by ctest with -DBUILD_DIR=<build folder> -DPREFIX=<scratch folder>.
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${PREFIX}")
execute_process(
    COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
    RESULT_VARIABLE result
    OUTPUT_QUIET)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${result}")
endif()

set(expected
    bin/brisnak
    share/applications/brisnak.desktop
    share/metainfo/invalid.brisnak.brisnak.metainfo.xml
    share/icons/hicolor/16x16/apps/brisnak.png
    share/icons/hicolor/24x24/apps/brisnak.png
    share/icons/hicolor/32x32/apps/brisnak.png
    share/icons/hicolor/48x48/apps/brisnak.png
    share/icons/hicolor/64x64/apps/brisnak.png
    share/icons/hicolor/128x128/apps/brisnak.png
    share/icons/hicolor/256x256/apps/brisnak.png)
foreach(path IN LISTS expected)
    if(NOT EXISTS "${PREFIX}/${path}")
        message(FATAL_ERROR "missing after install: ${path}")
    endif()
endforeach()

file(STRINGS "${PREFIX}/share/applications/brisnak.desktop" entry)
list(GET entry 0 group)
if(NOT group STREQUAL "[Desktop Entry]")
    message(FATAL_ERROR "the desktop entry starts with ${group}")
endif()
foreach(line "Type=Application" "Name=Brisnak" "Exec=brisnak" "Icon=brisnak" "Terminal=false")
    if(NOT line IN_LIST entry)
        message(FATAL_ERROR "the desktop entry lacks ${line}")
    endif()
endforeach()

# The metainfo's launchable must be the installed desktop entry; the tree check reads both.
execute_process(
    COMMAND appstreamcli validate-tree --no-net "${PREFIX}"
    RESULT_VARIABLE result
    OUTPUT_VARIABLE report
    ERROR_VARIABLE report)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "appstreamcli validate-tree failed (${result}):\n${report}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
