# Install rules. Linux: the tools in bin; the driver and the runtime stand-in
# in the library folder, where the installed kivpoll looks for its driver;
# the host headers with a pkg-config file and a CMake package; docs, man pages
# and bash completion. Windows: the integrator's kit, flat, for the .zip.
include(GNUInstallDirs)

# The user documents, one list for the .deb and the Windows kit: every
# Markdown file and picture in docs/ but the developers' own reports (the
# tree's layout, the benchmarks, the reliability work), which stay in the
# source tree. A new document in docs/ lands in both packages.
file(GLOB KIV_USER_DOCS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md ${CMAKE_SOURCE_DIR}/docs/*.svg)
list(FILTER KIV_USER_DOCS EXCLUDE REGEX "/(ARCHITECTURE|BENCHMARKS|RELIABILITY)\\.md$")
set(KIV_SAMPLE_CHANNEL_FILE ${CMAKE_SOURCE_DIR}/docs/kivIN01.int)

if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/kit.cmake)
  return()
endif()

file(RELATIVE_PATH KIV_LIBDIR_FROM_BINDIR
  ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR})
# Libraries are data to the loader: no execute bit (as Debian wants).
set(KIV_LIBRARY_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# Installed programs and the driver find the runtime stand-in relative to
# themselves, so an unpacked tree works wherever it lies.
set_target_properties(KIVLINK PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS KIVLINK TAVLIB EXPORT kivlinkTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} PERMISSIONS ${KIV_LIBRARY_PERMISSIONS}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
foreach(tool kivpoll kivsim kivgate)
  if(TARGET ${tool})
    set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/${KIV_LIBDIR_FROM_BINDIR}")
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
# The driver beside the program in a build folder, else in the library folder.
if(TARGET kivpollcore)
  target_compile_definitions(kivpollcore PRIVATE KIV_LIBDIR_FROM_BINDIR="${KIV_LIBDIR_FROM_BINDIR}")
endif()
install(FILES ${CMAKE_SOURCE_DIR}/include/kivlink.h ${CMAKE_SOURCE_DIR}/tavlib/tavlib_control.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# pkg-config: its prefix is found from where the .pc file lies.
set(KIV_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH KIV_PREFIX_FROM_PKGCONFIG
  ${CMAKE_INSTALL_PREFIX}/${KIV_PKGCONFIG_DIR} ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" KIV_PREFIX_FROM_PKGCONFIG "${KIV_PREFIX_FROM_PKGCONFIG}")
configure_file(${CMAKE_SOURCE_DIR}/packaging/kivlink.pc.in ${KIV_GENERATED_DIR}/kivlink.pc @ONLY)
install(FILES ${KIV_GENERATED_DIR}/kivlink.pc DESTINATION ${KIV_PKGCONFIG_DIR})

# CMake package: find_package(kivlink) gives kivlink::TAVLIB, kivlink::KIVLINK
# and KIVLINK_DRIVER, the driver's path for dlopen.
include(CMakePackageConfigHelpers)
set(KIV_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kivlink)
install(EXPORT kivlinkTargets NAMESPACE kivlink:: DESTINATION ${KIV_CMAKE_DIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/packaging/kivlinkConfig.cmake.in
  ${KIV_GENERATED_DIR}/kivlinkConfig.cmake INSTALL_DESTINATION ${KIV_CMAKE_DIR}
  PATH_VARS CMAKE_INSTALL_LIBDIR)
write_basic_package_version_file(${KIV_GENERATED_DIR}/kivlinkConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${KIV_GENERATED_DIR}/kivlinkConfig.cmake ${KIV_GENERATED_DIR}/kivlinkConfigVersion.cmake
  DESTINATION ${KIV_CMAKE_DIR})

# Docs: the README, the user documents and the sample channel file.
set(KIV_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/kivlink)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${KIV_USER_DOCS} ${KIV_SAMPLE_CHANNEL_FILE} DESTINATION ${KIV_DOC_DIR})

# Man pages from the programs' own --help and --version (help2man), so the
# text is written once, with the EXAMPLES and SEE ALSO of
# packaging/man/TOOL.h2m (examples the tests run); compressed as Debian
# wants them.
find_program(KIV_HELP2MAN help2man)
find_program(KIV_GZIP gzip)
set(KIV_MAN_PAGES)
if(KIV_HELP2MAN AND KIV_GZIP AND NOT CMAKE_CROSSCOMPILING)
  set(kivpoll_MAN_NAME "poll, write and listen to DPC3000 units through the KIVLINK driver")
  set(kivsim_MAN_NAME "simulate DPC3000 units on a serial line")
  set(kivgate_MAN_NAME "publish DPC3000 units' values on an MQTT broker through the KIVLINK driver")
  foreach(tool kivpoll kivsim kivgate)
    if(TARGET ${tool})
      set(page ${CMAKE_BINARY_DIR}/man/${tool}.1.gz)
      add_custom_command(OUTPUT ${page}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
        COMMAND ${KIV_HELP2MAN} --no-info --section=1 "--name=${${tool}_MAN_NAME}"
                --include=${CMAKE_SOURCE_DIR}/packaging/man/${tool}.h2m
                --output=${CMAKE_BINARY_DIR}/man/${tool}.1 $<TARGET_FILE:${tool}>
        COMMAND ${KIV_GZIP} -9nf ${CMAKE_BINARY_DIR}/man/${tool}.1
        DEPENDS ${tool} ${CMAKE_SOURCE_DIR}/packaging/man/${tool}.h2m VERBATIM)
      list(APPEND KIV_MAN_PAGES ${page})
    endif()
  endforeach()
  add_custom_target(kiv_man_pages ALL DEPENDS ${KIV_MAN_PAGES})
  install(FILES ${KIV_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# Bash completion: one script serves every tool.
foreach(tool kivpoll kivsim kivgate)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/kivlink-completion.bash
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions RENAME ${tool})
endforeach()

# kivgate's example file, its systemd unit and its service user. The example
# lies with the documents (the man page checks it there) and, as a conffile,
# in /etc/kivgate, where the unit reads NAME.toml. The .deb (installed with
# the prefix /usr) puts the unit where Debian keeps units, /lib/systemd/system;
# an install elsewhere (cmake --install: /usr/local, /opt/...) keeps all three
# under its prefix, the unit starting that prefix's kivgate (systemd finds
# /usr/local/lib/systemd/system by itself).
if(TARGET kivgate)
  set(KIV_GATE_EXAMPLE ${CMAKE_SOURCE_DIR}/docs/kivgate.example.toml)
  install(FILES ${KIV_GATE_EXAMPLE} DESTINATION ${KIV_DOC_DIR})
  install(CODE "set(KIV_GATE_EXAMPLE \"${KIV_GATE_EXAMPLE}\")
    set(KIV_GATE_UNIT \"${CMAKE_SOURCE_DIR}/packaging/systemd/kivgate@.service\")
    set(KIV_GATE_SYSUSERS \"${CMAKE_SOURCE_DIR}/packaging/systemd/kivgate.sysusers\")
    set(KIV_GATE_STAGE \"${KIV_GENERATED_DIR}\")")
  install(CODE [[
    if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
      set(units /lib/systemd/system)
      set(etc /etc)
    else()
      set(units ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
      set(etc ${CMAKE_INSTALL_PREFIX}/etc)
    endif()
    file(READ ${KIV_GATE_UNIT} unit)
    string(REPLACE "/usr/bin/kivgate" "${CMAKE_INSTALL_PREFIX}/bin/kivgate" unit "${unit}")
    file(WRITE ${KIV_GATE_STAGE}/kivgate@.service "${unit}")
    file(INSTALL ${KIV_GATE_STAGE}/kivgate@.service DESTINATION ${units})
    file(INSTALL ${KIV_GATE_SYSUSERS} DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/sysusers.d
      RENAME kivgate.conf)
    file(INSTALL ${KIV_GATE_EXAMPLE} DESTINATION ${etc}/kivgate RENAME example.toml)
  ]])
endif()

include(${CMAKE_CURRENT_LIST_DIR}/package.cmake)
