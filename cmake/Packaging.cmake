# Install rules and the Debian package (cpack -G DEB in the build directory).
# Only the executable and its documentation are installed: the tests,
# benchmarks and fuzzer have no install rules, and GoogleTest and Google
# Benchmark come from find_package, which brings none of theirs.
include(GNUInstallDirs)

# Directories made by the install get 0755 whatever the umask of whoever runs it.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# Debian wants the manual page and its changelog compressed, and -n keeps the
# archives byte-identical from one build to the next.
find_program(QUORBEL_GZIP gzip REQUIRED)
set(QUORBEL_PACKAGING_DIR ${CMAKE_CURRENT_BINARY_DIR}/packaging)
set(QUORBEL_GZIPPED)
foreach(source doc/quorbel.1 packaging/debian/changelog)
  get_filename_component(name ${source} NAME)
  set(copy ${QUORBEL_PACKAGING_DIR}/${name})
  add_custom_command(OUTPUT ${copy}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/${source} ${copy}
    COMMAND ${QUORBEL_GZIP} -n -9 -f ${copy}
    DEPENDS ${source}
    VERBATIM)
  list(APPEND QUORBEL_GZIPPED ${copy}.gz)
endforeach()
add_custom_target(quorbel_docs ALL DEPENDS ${QUORBEL_GZIPPED})

install(TARGETS quorbel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${QUORBEL_PACKAGING_DIR}/quorbel.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The package carries the same notice as Debian's copyright file instead.
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT license)
# Debian's own files: in the package only, not in a plain cmake --install.
install(FILES packaging/debian/copyright ${QUORBEL_PACKAGING_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian EXCLUDE_FROM_ALL)

# The version is written by hand in the changelog and the manual page: both
# must name the one being built.
file(STRINGS packaging/debian/changelog QUORBEL_CHANGELOG_HEAD LIMIT_COUNT 1)
if(NOT QUORBEL_CHANGELOG_HEAD MATCHES "^quorbel \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog: the top entry is not for ${PROJECT_VERSION}")
endif()
file(STRINGS doc/quorbel.1 QUORBEL_MAN_TITLE REGEX "^\\.TH ")
if(NOT QUORBEL_MAN_TITLE MATCHES "\"quorbel ${PROJECT_VERSION}\"")
  message(FATAL_ERROR "doc/quorbel.1: the .TH line does not name quorbel ${PROJECT_VERSION}")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorbel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Calvetra)
set(CPACK_PACKAGE_CONTACT "Calvetra <quorbel@calvetra.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "capture system audio and a microphone as PCM for a recorder")
# Lines kept short by hand: Debian wants at most 80 columns and CPack does not wrap.
set(CPACK_PACKAGE_DESCRIPTION [[
Quorbel is a small command-line audio tool that a desktop recording
application starts as a child process. It lists the sources the application
may record from, checks microphone permission, and captures the system's
audio output and/or a microphone as an endless real-time stream of stereo
16-bit PCM on standard output.

It works with any PulseAudio server, or PipeWire through pipewire-pulse.]])
# The package takes the default component and Debian's own files, and so
# leaves LICENSE out: its copyright file says the same.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_CURRENT_BINARY_DIR};quorbel;Unspecified;/"
                                 "${CMAKE_CURRENT_BINARY_DIR};quorbel;debian;/")
set(CPACK_STRIP_FILES ON)  # lintian: an unstripped binary is an error
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Maintainer scripts, should the package ever get some, with the modes policy asks for.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
