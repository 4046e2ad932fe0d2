# Installation and the Debian package.
#
#   cmake --install <build> --prefix /usr/local
#   cd <build> && cpack -G DEB
#
# Installed: the tool itself and its console program tarnvik-upgrade (never
# the demo, the tests or the benchmark), and
# on Linux its desktop entry, its icon and the udev rule template that gives
# the logged-in user access to the device.

include(GNUInstallDirs)

if(WIN32)
    # Windows: one folder holding the program and its papers, as the zip
    # and the installer carry it.
    install(TARGETS tarnvik-upgrade-tool tarnvik-upgrade RUNTIME DESTINATION .)

    # tarnvik_win_text(FROM TO DESTINATION): installs a text file with CRLF
    # line ends, for Windows' own editors.
    function(tarnvik_win_text from to destination)
        file(READ ${from} text)
        string(REPLACE "\r\n" "\n" text "${text}")
        string(REPLACE "\n" "\r\n" text "${text}")
        file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/packaging/${destination}/${to} "${text}")
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${from})
        install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/${destination}/${to} DESTINATION ${destination})
    endfunction()
    tarnvik_win_text(${CMAKE_CURRENT_SOURCE_DIR}/LICENSE LICENSE.txt .)
    tarnvik_win_text(${CMAKE_CURRENT_SOURCE_DIR}/packaging/windows/README.txt README.txt .)
    tarnvik_win_text(${CMAKE_CURRENT_SOURCE_DIR}/packaging/windows/THIRD-PARTY-NOTICES.txt
                     THIRD-PARTY-NOTICES.txt .)
    # The console program's manual page, as plain text (Windows has no man).
    find_program(TARNVIK_GROFF groff REQUIRED)
    set(TARNVIK_MAN_SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/packaging/tarnvik-upgrade.1)
    execute_process(COMMAND ${TARNVIK_GROFF} -man -Tascii -P-c -P-b -P-o -P-u ${TARNVIK_MAN_SOURCE}
                    OUTPUT_FILE ${CMAKE_CURRENT_BINARY_DIR}/packaging/tarnvik-upgrade.1.txt
                    RESULT_VARIABLE TARNVIK_GROFF_RESULT)
    if(NOT TARNVIK_GROFF_RESULT EQUAL 0)
        message(FATAL_ERROR "groff could not format ${TARNVIK_MAN_SOURCE}")
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${TARNVIK_MAN_SOURCE})
    tarnvik_win_text(${CMAKE_CURRENT_BINARY_DIR}/packaging/tarnvik-upgrade.1.txt tarnvik-upgrade.txt .)

    # The licences of what the program carries: Qt and the code it bundles
    # and hidapi, kept beside their builds (tools/windows-deps.sh); the
    # MinGW-w64 and GCC runtimes, as Debian states them; the LGPL's base,
    # the GPL 3.
    get_filename_component(TARNVIK_QT_PREFIX "${Qt5_DIR}/../../.." ABSOLUTE)
    get_filename_component(TARNVIK_HIDAPI_PREFIX "${hidapi_DIR}/../../.." ABSOLUTE)
    file(GLOB TARNVIK_LIBRARY_LICENCES "${TARNVIK_QT_PREFIX}/licenses/*.txt"
                                       "${TARNVIK_HIDAPI_PREFIX}/licenses/*.txt")
    set(TARNVIK_LICENCES)
    foreach(text ${TARNVIK_LIBRARY_LICENCES})
        get_filename_component(name ${text} NAME)
        list(APPEND TARNVIK_LICENCES "${text}=${name}")
    endforeach()
    list(APPEND TARNVIK_LICENCES
        "/usr/share/doc/mingw-w64-i686-dev/copyright=mingw-w64-runtime.txt"
        "/usr/share/doc/gcc-mingw-w64-i686-posix-runtime/copyright=gcc-runtime.txt"
        "/usr/share/common-licenses/GPL-3=GPL-3.txt")
    foreach(pair ${TARNVIK_LICENCES})
        string(REPLACE "=" ";" pair "${pair}")
        list(GET pair 0 from)
        list(GET pair 1 to)
        if(EXISTS ${from})
            tarnvik_win_text(${from} ${to} licenses)
        else()
            message(WARNING "${from} not found: the Windows packages lack ${to}")
        endif()
    endforeach()
    list(LENGTH TARNVIK_LIBRARY_LICENCES count)
    if(count LESS 4)
        message(WARNING "The licence texts of Qt and hidapi were not found under ${TARNVIK_QT_PREFIX}/licenses "
                        "and ${TARNVIK_HIDAPI_PREFIX}/licenses (tools/windows-deps.sh puts them there)")
    endif()
else()
    install(TARGETS tarnvik-upgrade-tool tarnvik-upgrade RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

if(UNIX AND NOT APPLE)
    set(TARNVIK_APP_ID tarnvik-upgrade-tool)

    install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/${TARNVIK_APP_ID}.desktop
            DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

    # The icon theme looks only in its listed size folders, and 400x400 (the
    # size of res/icon.png) is not one of them: scaled copies go to the
    # standard sizes, made at build time with Qt, and the original goes to
    # pixmaps, where the name lookup falls back to.
    add_executable(tarnvik-iconscale ${CMAKE_CURRENT_SOURCE_DIR}/packaging/iconscale.cpp)
    target_link_libraries(tarnvik-iconscale PRIVATE Qt5::Gui)
    # A build step, not part of the tool: the sanitizer builds leave it plain,
    # so that Qt's own image threads do not stop the build.
    target_compile_options(tarnvik-iconscale PRIVATE -fno-sanitize=all)
    target_link_options(tarnvik-iconscale PRIVATE -fno-sanitize=all)
    set(TARNVIK_ICON_SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/res/icon.png)
    set(TARNVIK_ICONS)
    foreach(size 48 128 256)
        set(icon ${CMAKE_CURRENT_BINARY_DIR}/icons/${size}x${size}/${TARNVIK_APP_ID}.png)
        add_custom_command(OUTPUT ${icon}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/icons/${size}x${size}
            COMMAND tarnvik-iconscale ${TARNVIK_ICON_SOURCE} ${icon} ${size}
            DEPENDS tarnvik-iconscale ${TARNVIK_ICON_SOURCE}
            COMMENT "Scaling the icon to ${size}x${size}"
            VERBATIM)
        list(APPEND TARNVIK_ICONS ${icon})
        install(FILES ${icon} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
    endforeach()
    add_custom_target(tarnvik_icons ALL DEPENDS ${TARNVIK_ICONS})
    install(FILES ${TARNVIK_ICON_SOURCE} DESTINATION ${CMAKE_INSTALL_DATADIR}/pixmaps
            RENAME ${TARNVIK_APP_ID}.png)

    # A template, not an active rule: the operator puts in the device's ids
    # and copies it to /etc/udev/rules.d.
    install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/70-tarnvik-upgrade.rules
            DESTINATION ${CMAKE_INSTALL_DATADIR}/${TARNVIK_APP_ID})

    # The manual page, and the two files every Debian package carries in its
    # doc folder: the copyright and the changelog. Debian wants the manual
    # page and the changelog compressed with gzip -9n (no name and no time
    # stamp inside, so that the same sources give the same bytes).
    set(TARNVIK_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${TARNVIK_APP_ID})
    install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/copyright DESTINATION ${TARNVIK_DOC_DIR})

    # The changelog's newest entry must name the version being packaged.
    file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog TARNVIK_CHANGELOG_TOP
         LIMIT_COUNT 1)
    if(NOT TARNVIK_CHANGELOG_TOP MATCHES "^${TARNVIK_APP_ID} \\(${PROJECT_VERSION}\\) ")
        message(WARNING "packaging/changelog starts with \"${TARNVIK_CHANGELOG_TOP}\", "
                        "not with version ${PROJECT_VERSION}: add an entry for it")
    endif()

    find_program(TARNVIK_GZIP gzip)
    if(TARNVIK_GZIP)
        set(TARNVIK_DOCS_GZ)
        foreach(doc ${TARNVIK_APP_ID}.1 tarnvik-upgrade.1 changelog)
            set(gz ${CMAKE_CURRENT_BINARY_DIR}/packaging/${doc}.gz)
            add_custom_command(OUTPUT ${gz}
                COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/packaging
                COMMAND ${TARNVIK_GZIP} -9nc ${CMAKE_CURRENT_SOURCE_DIR}/packaging/${doc} > ${gz}
                DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/${doc}
                COMMENT "Compressing ${doc}")
            list(APPEND TARNVIK_DOCS_GZ ${gz})
        endforeach()
        add_custom_target(tarnvik_docs ALL DEPENDS ${TARNVIK_DOCS_GZ})
        install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/${TARNVIK_APP_ID}.1.gz
                      ${CMAKE_CURRENT_BINARY_DIR}/packaging/tarnvik-upgrade.1.gz
                DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
        install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz
                DESTINATION ${TARNVIK_DOC_DIR})
    else()
        message(WARNING "gzip not found: the manual page and the changelog are not installed")
    endif()
endif()

set(CPACK_PACKAGE_NAME tarnvik-upgrade-tool)
set(CPACK_PACKAGE_VENDOR "${TARNVIK_VENDOR}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tarnvik team <tarnvik@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware upgrade tool for USB HID devices")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "A desktop tool that upgrades the firmware of a device attached over USB\n"
    "as a HID device, sending the image from ./update in acknowledged,\n"
    "timer-paced packets. The command tarnvik-upgrade does the same from\n"
    "scripts, without a display, on one or several devices at once. A udev\n"
    "rule template for access without root is in /usr/share/tarnvik-upgrade-tool.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tarnvik team <tarnvik@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The dependencies are read off the installed executable by dpkg-shlibdeps
# (package dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

if(WIN32)
    # A portable zip (unpack anywhere, start the exe in that folder) and an
    # installer with a licence page, a Start-menu shortcut and an
    # uninstaller.
    set(CPACK_GENERATOR "ZIP;NSIS")
    # NSIS lines hold backslashes: written to the CPack configuration as they stand.
    set(CPACK_VERBATIM_VARIABLES ON)
    set(CPACK_SYSTEM_NAME win32)
    set(CPACK_PACKAGE_INSTALL_DIRECTORY "Tarnvik Upgrade Tool")
    set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "Tarnvik Upgrade Tool")
    set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_BINARY_DIR}/packaging/LICENSE.txt)
    set(CPACK_NSIS_DISPLAY_NAME "Tarnvik Upgrade Tool")
    # Also the name of the Start-menu folder.
    set(CPACK_NSIS_PACKAGE_NAME "Tarnvik Upgrade Tool")
    set(CPACK_NSIS_MUI_ICON ${CMAKE_CURRENT_SOURCE_DIR}/res/icon.ico)
    set(CPACK_NSIS_MUI_UNIICON ${CMAKE_CURRENT_SOURCE_DIR}/res/icon.ico)
    set(CPACK_NSIS_INSTALLED_ICON_NAME tarnvik-upgrade-tool.exe)
    set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
    set(CPACK_NSIS_MANIFEST_DPI_AWARE ON)
    # The tool works on ./update and ./config.ini of the folder it starts
    # in, and Program Files is not for the operator to write to. The
    # shortcut starts it in a work folder under Documents (Public Documents
    # for an installation for all users), made with its update folder. The
    # uninstaller removes these folders only if they are empty: images and
    # settings stay.
    set(TARNVIK_NSIS_WORK "$DOCUMENTS\\Tarnvik Upgrade Tool")
    set(TARNVIK_NSIS_LINK "$SMPROGRAMS\\$STARTMENU_FOLDER\\Tarnvik Upgrade Tool.lnk")
    string(CONCAT CPACK_NSIS_CREATE_ICONS_EXTRA
        "  CreateDirectory \"${TARNVIK_NSIS_WORK}\\update\"\n"
        "  SetOutPath \"${TARNVIK_NSIS_WORK}\"\n"
        "  CreateShortCut \"${TARNVIK_NSIS_LINK}\" \"$INSTDIR\\tarnvik-upgrade-tool.exe\"\n"
        "  SetOutPath \"$INSTDIR\"")
    set(CPACK_NSIS_DELETE_ICONS_EXTRA
        "  Delete \"$SMPROGRAMS\\$MUI_TEMP\\Tarnvik Upgrade Tool.lnk\"")
    string(CONCAT CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS
        "  RMDir \"${TARNVIK_NSIS_WORK}\\update\"\n"
        "  RMDir \"${TARNVIK_NSIS_WORK}\"")
endif()
include(CPack)
