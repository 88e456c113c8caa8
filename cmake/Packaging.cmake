# What `cmake --install` puts where, and the packages CPack makes of it.
#
#   Linux:    bin/FernwickTreeSyncer
#             share/man/man1/FernwickTreeSyncer.1.gz
#             share/doc/fernwicktreesyncer/{README.md,copyright,changelog.gz}
#             share/doc/fernwicktreesyncer/examples/example.conf
#             share/bash-completion/completions/FernwickTreeSyncer
#             lib/systemd/system/fernwicktreesyncer@.{service,timer},
#               fernwicktreesyncer-watch@.service (their ExecStart names
#               the program under the prefix installed to)
#             `cpack -G DEB` makes fernwicktreesyncer_<version>_<arch>.deb,
#             whose scripts reload systemd's units when it runs.
#   Windows:  FernwickTreeSyncer.exe, README.md and LICENSE.txt side by side
#             `cpack -G ZIP` makes FernwickTreeSyncer-<version>-win64.zip.
#
# The manual page and the changelog are compressed with `gzip -9n` while they
# are installed (no name, no time stamp in the header), as Debian wants them.

set(FTS_PACKAGE_MAINTAINER "FernwickTreeSyncer developers <developers@fernwicktreesyncer.example>"
    CACHE STRING "Maintainer of the Debian package, \"Name <address>\"")

if(WIN32)
  install(TARGETS FernwickTreeSyncer RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
  install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
else()
  install(TARGETS FernwickTreeSyncer RUNTIME DESTINATION bin)
  # A stripped install (CPack's, among others) also drops the compiler's
  # .comment and .note sections, as Debian's own packages do.
  set(script [==[
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND "@CMAKE_STRIP@" --remove-section=.comment --remove-section=.note
                              "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/bin/FernwickTreeSyncer"
                      RESULT_VARIABLE fts_result)
      if(NOT fts_result EQUAL 0)
        message(FATAL_ERROR "strip failed on bin/FernwickTreeSyncer")
      endif()
    endif()
  ]==])
  string(CONFIGURE "${script}" script @ONLY)
  install(CODE "${script}")

  find_program(FTS_GZIP gzip REQUIRED)
  # Installs `source` as `destination`/`name`, compressed with gzip -9n.
  function(fts_install_gzipped source destination name)
    set(script [==[
      set(fts_folder "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/@destination@")
      set(fts_target "${fts_folder}/@name@")
      message(STATUS "Installing: ${fts_target}")
      file(MAKE_DIRECTORY "${fts_folder}")
      execute_process(COMMAND "@FTS_GZIP@" -9n -c "@source@" OUTPUT_FILE "${fts_target}"
                      RESULT_VARIABLE fts_result)
      if(NOT fts_result EQUAL 0)
        message(FATAL_ERROR "gzip could not compress @source@ into ${fts_target}")
      endif()
      file(CHMOD "${fts_target}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
      list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${fts_target}")
    ]==])
    string(CONFIGURE "${script}" script @ONLY)
    install(CODE "${script}")
  endfunction()

  set(FTS_DOC_DIR share/doc/fernwicktreesyncer)
  fts_install_gzipped(${PROJECT_SOURCE_DIR}/doc/FernwickTreeSyncer.1 share/man/man1
                      FernwickTreeSyncer.1.gz)
  fts_install_gzipped(${PROJECT_SOURCE_DIR}/packaging/changelog ${FTS_DOC_DIR} changelog.gz)
  install(FILES README.md DESTINATION ${FTS_DOC_DIR})
  install(FILES LICENSE DESTINATION ${FTS_DOC_DIR} RENAME copyright)
  install(FILES packaging/systemd/example.conf DESTINATION ${FTS_DOC_DIR}/examples)
  # bash-completion loads a command's completion from a file named after it.
  install(FILES packaging/bash-completion/FernwickTreeSyncer
          DESTINATION share/bash-completion/completions)

  # systemd's units (Linux only). They name /usr/bin/FernwickTreeSyncer and
  # /usr/share/doc, as the package installs them; another prefix is written
  # in at install time, since CPack installs to /usr whatever the build was
  # configured with.
  set(FTS_SYSTEMD_UNITS "")
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    set(FTS_SYSTEMD_UNITS fernwicktreesyncer@.service fernwicktreesyncer@.timer
                          fernwicktreesyncer-watch@.service)
  endif()
  foreach(unit IN LISTS FTS_SYSTEMD_UNITS)
    set(script [==[
      set(fts_folder "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
      set(fts_target "${fts_folder}/@unit@")
      message(STATUS "Installing: ${fts_target}")
      file(READ "@PROJECT_SOURCE_DIR@/packaging/systemd/@unit@" fts_text)
      string(REPLACE "/usr/bin/" "${CMAKE_INSTALL_PREFIX}/bin/" fts_text "${fts_text}")
      string(REPLACE "/usr/share/" "${CMAKE_INSTALL_PREFIX}/share/" fts_text "${fts_text}")
      file(MAKE_DIRECTORY "${fts_folder}")
      file(WRITE "${fts_target}" "${fts_text}")
      file(CHMOD "${fts_target}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
      list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${fts_target}")
    ]==])
    string(CONFIGURE "${script}" script @ONLY)
    install(CODE "${script}")
  endforeach()
endif()

set(CPACK_PACKAGE_NAME FernwickTreeSyncer)
set(CPACK_PACKAGE_VENDOR "FernwickTreeSyncer developers")
set(CPACK_PACKAGE_CONTACT "${FTS_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "one-way mirror of a folder tree, for scripts and schedulers")
set(CPACK_PACKAGE_DESCRIPTION
    "FernwickTreeSyncer makes a destination folder tree a one-way mirror of a
source folder tree, in one run. It deletes what the source no longer has,
makes the missing folders and copies the files that are new or whose
modification time differs; contents and sizes are never compared. The
source, and anything outside the destination, is never touched, and links in
the destination are removed as links, never followed.

Every step is logged as a time-stamped line, and a dry run shows what would
be done. A run can be kept from deleting more than a limit, leave out the
entries that patterns match, and keep deleted and replaced files in a backup
folder.

systemd units keep a mirror current, with a nightly run or continuously, as
a file in /etc/fernwicktreesyncer/ describes it; a bash completion comes
along.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_SOURCE_GENERATOR "")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
endif()

set(CPACK_DEBIAN_PACKAGE_NAME fernwicktreesyncer)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${FTS_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the program needs, and their versions, found by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# systemd rereads its units after the package put them or took them away,
# as debhelper's scripts have it do; the scripts must be executable.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
                                       ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
