# What `cmake --install` puts where, the CMake package and the pkg-config files that let other
# programs build against the library, and the Debian package made from the same install.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(FUEL_PACKAGE FuelDriver)
set(FUEL_INCLUDE_DIR ${CMAKE_INSTALL_INCLUDEDIR}/fuel-driver)
set(FUEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/${FUEL_PACKAGE})

# The libraries an integrator links: the driver, and the lines of our own that sit under it.
# Each goes into the package under a short name: FuelDriver::driver and so on.
set(FUEL_INSTALLED_LIBRARIES)
foreach(library driver line serial_link emulator emulator_link)
  if(TARGET fuel_${library})
    set_target_properties(fuel_${library} PROPERTIES EXPORT_NAME ${library}
                                                     POSITION_INDEPENDENT_CODE ON)
    list(APPEND FUEL_INSTALLED_LIBRARIES fuel_${library})
  endif()
endforeach()
# The warnings target is linked privately; a static library's export still names it.
install(TARGETS ${FUEL_INSTALLED_LIBRARIES} fuel_warnings
        EXPORT ${FUEL_PACKAGE}Targets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${FUEL_INCLUDE_DIR})

# Public headers keep their folder, so that code includes them as it does in this tree:
# #include "driver/TVM30.h".
install(FILES driver/TVM30.h driver/CheckedArray.h driver/DriverTables.h driver/Exceptions.h
              driver/HostLink.h driver/HostOperations.def driver/HostSlots.h
              driver/StatusRecord.h ${PROJECT_BINARY_DIR}/generated/driver/Version.h
        DESTINATION ${FUEL_INCLUDE_DIR}/driver)
# The trace, for a program that hands CreateDriver a sink of its own or writes the file itself.
install(FILES driver/TraceSink.h driver/TraceFormat.h driver/TraceFile.h
        DESTINATION ${FUEL_INCLUDE_DIR}/driver)
if(TARGET fuel_line)
  install(FILES link/Line.h DESTINATION ${FUEL_INCLUDE_DIR}/link)
endif()
if(TARGET fuel_serial_link)
  install(FILES link/SerialLink.h link/Port.h DESTINATION ${FUEL_INCLUDE_DIR}/link)
endif()
if(TARGET fuel_emulator_link)
  install(FILES link/EmulatorLink.h DESTINATION ${FUEL_INCLUDE_DIR}/link)
  install(FILES emulator/Emulator.h DESTINATION ${FUEL_INCLUDE_DIR}/emulator)
endif()

install(EXPORT ${FUEL_PACKAGE}Targets NAMESPACE ${FUEL_PACKAGE}:: DESTINATION ${FUEL_CMAKE_DIR})
configure_package_config_file(cmake/FuelDriverConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/${FUEL_PACKAGE}Config.cmake
                              INSTALL_DESTINATION ${FUEL_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/${FUEL_PACKAGE}ConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/${FUEL_PACKAGE}Config.cmake
              ${PROJECT_BINARY_DIR}/${FUEL_PACKAGE}ConfigVersion.cmake
        DESTINATION ${FUEL_CMAKE_DIR})

# pkg-config: fuel-driver for the driver alone, fuel-driver-serial and fuel-driver-emulator
# for the lines beside it.
# The prefix is found from the file's own place, so that one file serves every install prefix
# (the package's /usr as well as a build's own --prefix).
file(RELATIVE_PATH FUEL_PC_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
function(fuel_pkg_config name description libraries requires)
  set(FUEL_PC_NAME ${name})
  set(FUEL_PC_DESCRIPTION ${description})
  set(FUEL_PC_LIBS ${libraries})
  set(FUEL_PC_REQUIRES ${requires})
  configure_file(cmake/fuel-driver.pc.in ${PROJECT_BINARY_DIR}/pkgconfig/${name}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${name}.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()
fuel_pkg_config(fuel-driver "${PROJECT_DESCRIPTION}" "-lfuel_driver" "")
if(TARGET fuel_serial_link)
  fuel_pkg_config(fuel-driver-serial "The driver's own serial-port line"
                  "-lfuel_serial_link -lfuel_line" "fuel-driver")
endif()
if(TARGET fuel_emulator_link)
  fuel_pkg_config(fuel-driver-emulator "The controller emulator and its in-process line"
                  "-lfuel_emulator_link -lfuel_line -lfuel_emulator" "fuel-driver")
endif()

# The programs, their manual pages and the shell completion.
foreach(program fuelctl fuel-emulator)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES docs/${program}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endforeach()
if(TARGET fuelctl)
  install(FILES scripts/fuelctl-completion.bash
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME fuelctl)
endif()
# The example station (where the forecourt library looks for it when given no configuration)
# and the bus it runs on, at the same places relative to each other as in the source tree.
if(TARGET fuel_forecourt)
  install(FILES examples/forecourt/station.ini
          DESTINATION ${CMAKE_INSTALL_DATADIR}/fuel-driver/forecourt)
  install(FILES examples/bus/station.conf DESTINATION ${CMAKE_INSTALL_DATADIR}/fuel-driver/bus)
endif()
# The forecourt server: its program and manual page, its systemd unit and the user it runs as
# (made by the package's postinst through systemd-sysusers).
if(TARGET fuel-forecourtd)
  install(TARGETS fuel-forecourtd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES docs/fuel-forecourtd.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
  install(FILES server/systemd/fuel-forecourtd.service DESTINATION lib/systemd/system)
  install(FILES server/systemd/fuel-forecourtd.sysusers DESTINATION lib/sysusers.d
          RENAME fuel-forecourtd.conf)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/server/systemd/postinst)
endif()
# The head office's worker: its program and manual page, its systemd unit (after PostgreSQL)
# and its user; its configuration's example goes with the examples below.
if(TARGET fuel-hq)
  install(TARGETS fuel-hq RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES docs/fuel-hq.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
  install(FILES hq/systemd/fuel-hq.service DESTINATION lib/systemd/system)
  install(FILES hq/systemd/fuel-hq.sysusers DESTINATION lib/sysusers.d RENAME fuel-hq.conf)
endif()
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The guides and their pictures, where the README's links find them; the manual pages beside
# them are installed as manual pages above.
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs
        FILES_MATCHING PATTERN "*.md" PATTERN "*.png")
install(DIRECTORY examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples OPTIONAL)

# cpack -G DEB: one package with the programs, the library and its headers. Its dependencies
# are what dpkg-shlibdeps finds the programs need (the C and C++ runtimes, and SQLite and
# OpenSSL for the forecourt server), nothing else.
set(CPACK_PACKAGE_NAME fuel-driver)
set(CPACK_PACKAGE_VENDOR "The fuel-dispenser driver developers")
set(CPACK_PACKAGE_CONTACT "The fuel-dispenser driver developers <fuel-driver@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "The fuel-dispenser driver as a C++ library with its headers, the command-line program "
    "fuelctl that runs the driver's operations and programs controller parameters, and "
    "fuel-emulator, a controller emulator that serves a virtual bus on a pseudo-terminal, "
    "fuel-forecourtd, the forecourt server that gives a station's tills and back office "
    "one HTTP API with live events over the driver, and fuel-hq, the chain's head office, "
    "which keeps every station's journal in PostgreSQL.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
include(CPack)
